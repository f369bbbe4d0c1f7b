// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"
#include "pagebox.h"
#include "pagesave.h"
#include "savebox.h"
#include "standinsavedialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <thread>
#include <utility>

namespace {

// What the stand-ins below note of the file layer's calls, while a test asks them to.
struct FileLayerWatch
{
    bool noting = false;
    QStringList calls;  // "rename NAME" (the new name), "fsync folder" or "fsync other"
    struct stat folder; // the folder whose sync is noted as such
    QByteArray swapped; // looking at this name swaps what it names, once
    std::function<void()> swap;
};

FileLayerWatch &fileLayerWatch()
{
    static FileLayerWatch watch;
    return watch;
}

template <typename Function> Function systemCall(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

// Stand-ins at the file layer's edge with the system: this program's own definitions come
// before the C library's, note what a save does and pass each call on.
extern "C" int rename(const char *from, const char *to) noexcept
{
    static const auto real = systemCall<int (*)(const char *, const char *)>("rename");
    FileLayerWatch &watch = fileLayerWatch();
    if (watch.noting)
        watch.calls += QStringLiteral("rename ") + QFileInfo(QFile::decodeName(to)).fileName();
    return real(from, to);
}

extern "C" int fsync(int fd)
{
    static const auto real = systemCall<int (*)(int)>("fsync");
    FileLayerWatch &watch = fileLayerWatch();
    struct stat status;
    if (watch.noting && fstat(fd, &status) == 0) {
        const bool folder =
            status.st_dev == watch.folder.st_dev && status.st_ino == watch.folder.st_ino;
        watch.calls += folder ? QStringLiteral("fsync folder") : QStringLiteral("fsync other");
    }
    return real(fd);
}

namespace {

// Looks at `path` as `real` does; if a test asked for it, what the name names is then swapped
// for something else, between the look and whatever comes next.
int lookThenSwap(int (*real)(const char *, struct stat *), const char *path, struct stat *status)
{
    const int result = real(path, status);
    FileLayerWatch &watch = fileLayerWatch();
    if (watch.swap && watch.swapped == path)
        std::exchange(watch.swap, nullptr)();
    return result;
}

} // namespace

extern "C" int lstat(const char *path, struct stat *status) noexcept
{
    static const auto real = systemCall<int (*)(const char *, struct stat *)>("lstat");
    return lookThenSwap(real, path, status);
}

extern "C" int stat(const char *path, struct stat *status) noexcept
{
    static const auto real = systemCall<int (*)(const char *, struct stat *)>("stat");
    return lookThenSwap(real, path, status);
}

namespace {

constexpr int DialogWatchdogMs = 5000;
constexpr int PipeWatchdogMs = 5000;
constexpr uid_t NobodyId = 65534; // a user and group that this test is not

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The kind of what `path` names (regular file, link, pipe, device), not following a link.
mode_t kindOf(const QString &path)
{
    struct stat status;
    return lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & S_IFMT : 0;
}

// Reads a named pipe on a thread of its own until the writer closes it, or if asked, goes
// away after its first read. The pipe is open for reading from the start, so that a writer
// finds a reader there.
class PipeReader
{
public:
    explicit PipeReader(const QString &path, bool leaveEarly = false)
        : m_fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC))
        , m_leaveEarly(leaveEarly)
        , m_thread([this] { readToTheEnd(); })
    {}
    ~PipeReader()
    {
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    PipeReader(const PipeReader &) = delete;
    PipeReader &operator=(const PipeReader &) = delete;

    QByteArray finish()
    {
        m_thread.join();
        return m_bytes;
    }

private:
    // Until a writer has come and gone, poll() reports no end, so this waits for one.
    void readToTheEnd()
    {
        pollfd waiting{m_fd, POLLIN, 0};
        while (m_fd >= 0 && poll(&waiting, 1, PipeWatchdogMs) > 0) {
            char buffer[65536];
            const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
            if (length > 0)
                m_bytes.append(buffer, length);
            else if (length == 0 || errno != EAGAIN)
                return;
            if (m_leaveEarly && !m_bytes.isEmpty()) {
                ::close(std::exchange(m_fd, -1));
                return;
            }
        }
    }

    int m_fd;
    bool m_leaveEarly;
    QByteArray m_bytes;
    std::thread m_thread;
};

// Notes the renames and syncs of the file layer for as long as it lives.
class NotedCalls
{
public:
    explicit NotedCalls(const QString &folder)
    {
        FileLayerWatch &watch = fileLayerWatch();
        watch.calls.clear();
        ::stat(QFile::encodeName(folder).constData(), &watch.folder);
        watch.noting = true;
    }
    ~NotedCalls() { fileLayerWatch().noting = false; }
    NotedCalls(const NotedCalls &) = delete;
    NotedCalls &operator=(const NotedCalls &) = delete;

    QStringList calls() const { return fileLayerWatch().calls; }
};

// What `path` leads to, a link followed: its device and inode, owner, group and mode.
std::optional<struct stat> statusOf(const QString &path)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return status;
}

// Lowers this process's file-size limit for as long as it lives.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_previous);
        const rlimit lowered{bytes, m_previous.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_previous); }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_previous;
};

// Runs `handle` on the modal dialog that the next call opens, once it is open. Should the
// dialog never turn up, or `handle` leave it open, the watchdog closes every dialog, so
// that a test fails instead of hanging.
void whenModalOpens(const std::function<void(QWidget *)> &handle)
{
    QTimer::singleShot(0, qApp, [handle] {
        if (QWidget *modal = QApplication::activeModalWidget())
            handle(modal);
    });
    QTimer::singleShot(DialogWatchdogMs, qApp, [] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *dialog = qobject_cast<QDialog *>(widget); dialog && dialog->isVisible())
                dialog->reject();
        }
    });
}

// Makes a file or folder read-only for as long as it lives. A process that permissions do
// not stop (root) gets the immutable attribute as well, where the file system has it.
class WriteProtection
{
public:
    explicit WriteProtection(const QString &path)
        : m_path(path)
        , m_permissions(QFile::permissions(path))
    {
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                        QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
        if (geteuid() == 0)
            m_immutable = setImmutable(true);
    }
    ~WriteProtection()
    {
        if (m_immutable)
            setImmutable(false);
        QFile::setPermissions(m_path, m_permissions);
    }
    WriteProtection(const WriteProtection &) = delete;
    WriteProtection &operator=(const WriteProtection &) = delete;

    // Whether writing into the folder, or onto the file, is refused now.
    bool holds() const
    {
        if (QFileInfo(m_path).isDir()) {
            QFile probe(m_path + QStringLiteral("/probe"));
            if (!probe.open(QIODevice::WriteOnly))
                return true;
            probe.remove();
            return false;
        }
        return !QFile(m_path).open(QIODevice::WriteOnly | QIODevice::Append);
    }

private:
    bool setImmutable(bool on)
    {
        const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (done) {
            flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
            done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return done;
    }

    QString m_path;
    QFile::Permissions m_permissions;
    bool m_immutable = false;
};

} // namespace

// The Save command: what it gives the dialog, what it writes, and what it does when the
// file cannot be written. No test opens a modal dialog without a way to close it.
class tst_Save : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void settingsGivenInOrderOnEveryPress();
    void cancelWritesNothing();
    void writesTheFileExactly_data();
    void writesTheFileExactly();
    void writesIntoWhatIsThere_data();
    void writesIntoWhatIsThere();
    void savesWhatThePageBoxHolds_data();
    void savesWhatThePageBoxHolds();
    void failedSaveDestroysNothing_data();
    void failedSaveDestroysNothing();
    void failedSaveShowsWarning();
    void realDialogGetsTheFourValues();
    void realDialogAddsTheExtension_data();
    void realDialogAddsTheExtension();

private:
    PageBox *pageBox() const
    {
        return m_window->findChild<PageBox *>(QStringLiteral("ContentBox"));
    }
    void clickSave() { m_window->findChild<QPushButton *>(QStringLiteral("SaveAs"))->click(); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Main> m_window;
    StandInSaveDialog m_dialog;
    QStringList m_failures;
};

void tst_Save::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_window = std::make_unique<Main>();
    m_dialog = StandInSaveDialog();
    m_failures.clear();
    m_window->setSaveDialog(&m_dialog);
    m_window->setSaveFailureReport([this](const QString &fileName, const QString &reason) {
        m_failures << fileName << reason;
    });
}

void tst_Save::cleanup()
{
    m_window.reset();
    m_dir.reset();
}

// Two presses, the first one choosing a file: the second still opens with "*.html", and
// both give the four settings in the same order before the dialog shows.
void tst_Save::settingsGivenInOrderOnEveryPress()
{
    m_dialog.choose(m_dir->filePath(QStringLiteral("first.html")));
    clickSave();
    m_dialog.choose(std::nullopt);
    clickSave();

    const QStringList onePress = {
        QStringLiteral("title Save HTML text as..."),
        QStringLiteral("filter HTML File (*.html)"),
        QStringLiteral("ext html"),
        QStringLiteral("name *.html"),
        QStringLiteral("show"),
    };
    QCOMPARE(m_dialog.calls, onePress + onePress);
    QCOMPARE(m_dialog.namesShown,
             QStringList({QStringLiteral("*.html"), QStringLiteral("*.html")}));
}

void tst_Save::cancelWritesNothing()
{
    const QString existing = m_dir->filePath(QStringLiteral("existing.html"));
    QVERIFY(writeFile(existing, "old"));
    m_window->setPageText(QStringLiteral("page"));

    bool pageRead = false;
    const SaveOutcome outcome = savePage(m_dialog, [&pageRead] {
        pageRead = true;
        return QString();
    });
    clickSave();

    QCOMPARE(outcome.result, SaveOutcome::Result::Cancelled);
    QVERIFY(!pageRead);
    QVERIFY(m_failures.isEmpty());
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList({"existing.html"}));
    QCOMPARE(contents(existing), QByteArray("old"));
    QCOMPARE(m_window->pageText(), QStringLiteral("page"));
}

void tst_Save::writesTheFileExactly_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("oldContents"); // empty: no file before the save
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("new-file") << QStringLiteral("abc") << QByteArray() << QByteArray("abc");
    QTest::newRow("existing-file-replaced")
        << QStringLiteral("new") << QByteArray("old contents, longer than the new")
        << QByteArray("new");
    QTest::newRow("empty-text-creates-file") << QString() << QByteArray() << QByteArray();
    QTest::newRow("empty-text-empties-file") << QString() << QByteArray("old") << QByteArray();
    QTest::newRow("line-breaks-unchanged-no-line-end-added")
        << QStringLiteral("a\r\nb\nc\rd\r\n") << QByteArray() << QByteArray("a\r\nb\nc\rd\r\n");
    QTest::newRow("utf8-without-byte-order-mark")
        << QString::fromUtf16(u"\u00a0\u00e9\u20ac\U0001F600") << QByteArray()
        << QByteArray("\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    QTest::newRow("nul-kept") << (QStringLiteral("a") + QChar(0) + QStringLiteral("b"))
                              << QByteArray() << QByteArray("a\0b", 3);
}

void tst_Save::writesTheFileExactly()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, oldContents);
    QFETCH(QByteArray, expected);
    const QString path = m_dir->filePath(QStringLiteral("page.html"));
    if (!oldContents.isEmpty())
        QVERIFY(writeFile(path, oldContents));

    const NotedCalls noted(m_dir->path());

    const SaveOutcome outcome = writePageFile(QFile::encodeName(path), text);

    QCOMPARE(outcome.result, SaveOutcome::Result::Saved);
    QVERIFY(QFile::exists(path));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList({"page.html"}));
    QCOMPARE(contents(path), expected);
    // The new name is made to last: the folder is synced after the rename.
    QCOMPARE(noted.calls(), QStringList({"rename page.html", "fsync folder"}));
}

// A link stays a link and the file it leads to gets the page; a hard link stays one file;
// another user's file keeps its owner, group and mode; a named pipe or a device is written
// as it is, never replaced by a file. The page is larger than a pipe holds, so the writer
// has to wait for its reader, and finds out when the reader has gone.
void tst_Save::writesIntoWhatIsThere_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("readsBack"); // whether reading the name afterwards gives the page
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("reason"); // why the save failed; empty: it did not

    const QStringList pageOnly = {QStringLiteral("page.html")};
    const QStringList pageAndTarget = {QStringLiteral("page.html"), QStringLiteral("target.html")};
    QTest::newRow("link-to-a-file") << QStringLiteral("link") << true << pageAndTarget << QString();
    QTest::newRow("link-to-no-file-yet")
        << QStringLiteral("dangling-link") << true << pageAndTarget << QString();
    QTest::newRow("hard-link") << QStringLiteral("hard-link") << true << pageAndTarget << QString();
    QTest::newRow("another-users-file")
        << QStringLiteral("foreign-0640") << true << pageOnly << QString();
    QTest::newRow("another-users-set-id-file")
        << QStringLiteral("foreign-6755") << true << pageOnly << QString();
    // A regular file takes the named pipe's place after the name was looked at: what is
    // written is what was opened, so the file gets the page whole, none of its old tail.
    QTest::newRow("named-pipe-swapped-for-a-file")
        << QStringLiteral("pipe-swapped") << true << pageOnly << QString();
    QTest::newRow("named-pipe-with-a-reader")
        << QStringLiteral("pipe") << true << pageOnly << QString();
    QTest::newRow("named-pipe-whose-reader-leaves")
        << QStringLiteral("pipe-left") << false << pageOnly << QStringLiteral("Broken pipe");
    QTest::newRow("null-device") << QStringLiteral("device") << false << pageOnly << QString();
    // A file that cannot be replaced is written in place: in a folder that takes no new name,
    // and a program being run, which can only be replaced.
    QTest::newRow("file-in-a-read-only-folder")
        << QStringLiteral("locked-folder") << true << pageOnly << QString();
    QTest::newRow("running-program")
        << QStringLiteral("running-program") << true << pageOnly << QString();
}

void tst_Save::writesIntoWhatIsThere()
{
    QFETCH(QString, kind);
    QFETCH(bool, readsBack);
    QFETCH(QStringList, entries);
    QFETCH(QString, reason);
    const QString path = m_dir->filePath(QStringLiteral("page.html"));
    const QByteArray page = QByteArray("saved \xc3\xa9\r\n").repeated(30'000);
    std::optional<PipeReader> reader;
    std::optional<WriteProtection> protection;
    QProcess program;
    const auto stopProgram = qScopeGuard([&] {
        program.kill();
        program.waitForFinished();
    });
    if (kind == QLatin1String("link")) {
        QVERIFY(writeFile(m_dir->filePath(QStringLiteral("target.html")), "old contents"));
        QVERIFY(QFile::link(QStringLiteral("target.html"), path));
    } else if (kind == QLatin1String("dangling-link")) {
        QVERIFY(QFile::link(QStringLiteral("target.html"), path));
    } else if (kind == QLatin1String("hard-link")) {
        QVERIFY(writeFile(m_dir->filePath(QStringLiteral("target.html")), "old contents"));
        QCOMPARE(::link(QFile::encodeName(m_dir->filePath("target.html")).constData(),
                        QFile::encodeName(path).constData()),
                 0);
    } else if (kind.startsWith(QLatin1String("foreign"))) {
        QVERIFY(writeFile(path, "old contents"));
        if (::chown(QFile::encodeName(path).constData(), NobodyId, NobodyId) != 0)
            QSKIP("giving a file to another user needs a privileged process");
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), kind.right(4).toUInt(nullptr, 8)), 0);
    } else if (kind == QLatin1String("pipe-swapped")) {
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        fileLayerWatch().swapped = QFile::encodeName(path);
        fileLayerWatch().swap = [path, tail = QByteArray(page.size() * 2, 'o')] {
            ::unlink(QFile::encodeName(path).constData());
            writeFile(path, tail);
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        };
    } else if (kind == QLatin1String("locked-folder")) {
        QVERIFY(writeFile(path, "old contents"));
        protection.emplace(m_dir->path());
        if (!protection->holds())
            QSKIP("this process writes through read-only permissions here");
    } else if (kind == QLatin1String("running-program")) {
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), path));
        program.start(path, {QStringLiteral("30")});
        QVERIFY(program.waitForStarted());
    } else if (kind.startsWith(QLatin1String("pipe"))) {
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        reader.emplace(path, kind == QLatin1String("pipe-left"));
    } else if (mknod(QFile::encodeName(path).constData(), S_IFCHR | 0600, makedev(1, 3)) != 0 ||
               !QFile(path).open(QIODevice::WriteOnly | QIODevice::Append)) {
        QSKIP("a private device node needs a privileged process on a file system that allows it");
    }
    const mode_t kindAfter = kind == QLatin1String("pipe-swapped") ? S_IFREG : kindOf(path);
    const std::optional<struct stat> before = statusOf(path);

    const SaveOutcome outcome = writePageFile(QFile::encodeName(path), QString::fromUtf8(page));
    fileLayerWatch().swap = nullptr;
    protection.reset();

    QCOMPARE(outcome.reason, reason);
    QCOMPARE(outcome.result,
             reason.isEmpty() ? SaveOutcome::Result::Saved : SaveOutcome::Result::Failed);
    QCOMPARE(kindOf(path), kindAfter);
    // Whatever was there keeps its owner, group and mode, set-ID bits and all.
    const std::optional<struct stat> after = statusOf(path);
    if (before && after) {
        QCOMPARE(after->st_uid, before->st_uid);
        QCOMPARE(after->st_gid, before->st_gid);
        QCOMPARE(after->st_mode & 07777, before->st_mode & 07777);
    }
    // A second name, a symbolic or a hard link's, leads to the very file that got the page.
    if (entries.contains(QStringLiteral("target.html"))) {
        const std::optional<struct stat> target = statusOf(m_dir->filePath("target.html"));
        QVERIFY(target && after);
        QCOMPARE(after->st_ino, target->st_ino);
        QVERIFY(contents(m_dir->filePath("target.html")) == page);
    }
    QCOMPARE(QDir(m_dir->path())
                 .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
             entries);
    if (readsBack)
        QVERIFY(page == (reader ? reader->finish() : contents(path)));
}

void tst_Save::savesWhatThePageBoxHolds_data()
{
    QTest::addColumn<QString>("url"); // retrieved first when not empty
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("nothing-before-any-retrieval")
        << QString() << QString() << QString() << QByteArray();
    QTest::newRow("text-put-into-the-box")
        << QString() << QStringLiteral("one\r\ntwo") << QString() << QByteArray("one\r\ntwo");
    QTest::newRow("text-typed-by-the-user")
        << QString() << QString() << QStringLiteral("typed") << QByteArray("typed");
    // Nothing listens on port 1 of the loopback address.
    QTest::newRow("connection-error-message")
        << QStringLiteral("127.0.0.1:1/page.html") << QString() << QString()
        << QByteArray("Connection error!");
    QTest::newRow("unsupported-scheme-message")
        << QStringLiteral("ftp://example.org/") << QString() << QString()
        << QByteArray("Error: Only HTTP protcol is supported");
}

void tst_Save::savesWhatThePageBoxHolds()
{
    QFETCH(QString, url);
    QFETCH(QString, page);
    QFETCH(QString, typed);
    QFETCH(QByteArray, expected);
    if (!url.isEmpty()) {
        m_window->findChild<QLineEdit *>(QStringLiteral("URLBox"))->setText(url);
        m_window->findChild<QPushButton *>(QStringLiteral("Retrieve"))->click();
    }
    if (!page.isEmpty())
        m_window->setPageText(page);
    if (!typed.isEmpty())
        QTest::keyClicks(pageBox(), typed);
    const QString shownBefore = pageBox()->pageText();
    const QString path = m_dir->filePath(QStringLiteral("page.html"));
    m_dialog.choose(path);

    clickSave();

    QVERIFY(m_failures.isEmpty());
    QCOMPARE(pageBox()->pageText(), shownBefore);
    QCOMPARE(contents(path), expected);
}

void tst_Save::failedSaveDestroysNothing_data()
{
    QTest::addColumn<QString>("target");   // relative to the test folder
    QTest::addColumn<QString>("protect");  // made read-only for the save; empty: nothing
    QTest::addColumn<QString>("existing"); // a file there before the save; empty: none
    QTest::addColumn<QString>("pipe");     // a named pipe that nothing reads; empty: none
    QTest::addColumn<qint64>("sizeLimit"); // the file-size limit during the save; 0: none
    QTest::addColumn<QString>("reason");   // what the reason says; empty: anything
    QTest::addColumn<QString>("linked");   // a second name of the existing file; empty: none

    QTest::newRow("read-only-folder")
        << QStringLiteral("locked/page.html") << QStringLiteral("locked") << QString() << QString()
        << qint64(0) << QString() << QString();
    QTest::newRow("read-only-file")
        << QStringLiteral("page.html") << QStringLiteral("page.html") << QStringLiteral("page.html")
        << QString() << qint64(0) << QString() << QString();
    QTest::newRow("missing-folder")
        << QStringLiteral("missing/page.html") << QString() << QString() << QString() << qint64(0)
        << QStringLiteral("No such file or directory") << QString();
    QTest::newRow("folder-is-a-file")
        << QStringLiteral("plain/page.html") << QString() << QStringLiteral("plain") << QString()
        << qint64(0) << QStringLiteral("Not a directory") << QString();
    QTest::newRow("target-is-a-folder")
        << QStringLiteral("locked") << QString() << QString() << QString() << qint64(0)
        << QStringLiteral("Is a directory") << QString();
    QTest::newRow("named-pipe-without-a-reader")
        << QStringLiteral("pipe") << QString() << QString() << QStringLiteral("pipe") << qint64(0)
        << QStringLiteral("Nothing is reading from the named pipe") << QString();
    // The page is longer than the limit: the first write is cut short, the next one fails.
    QTest::newRow("file-size-limit-existing-file")
        << QStringLiteral("page.html") << QString() << QStringLiteral("page.html") << QString()
        << qint64(8) << QStringLiteral("File too large") << QString();
    QTest::newRow("file-size-limit-new-file")
        << QStringLiteral("page.html") << QString() << QString() << QString() << qint64(8)
        << QStringLiteral("File too large") << QString();
    // A file with another name is written in place: room for the page is taken first.
    QTest::newRow("file-size-limit-hard-linked-file")
        << QStringLiteral("page.html") << QString() << QStringLiteral("page.html") << QString()
        << qint64(8) << QStringLiteral("File too large") << QStringLiteral("linked.html");
}

void tst_Save::failedSaveDestroysNothing()
{
    QFETCH(QString, target);
    QFETCH(QString, protect);
    QFETCH(QString, existing);
    QFETCH(QString, pipe);
    QFETCH(qint64, sizeLimit);
    QFETCH(QString, reason);
    QFETCH(QString, linked);
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("locked")));
    if (!existing.isEmpty())
        QVERIFY(writeFile(m_dir->filePath(existing), "old contents"));
    if (!linked.isEmpty()) {
        QCOMPARE(::link(QFile::encodeName(m_dir->filePath(existing)).constData(),
                        QFile::encodeName(m_dir->filePath(linked)).constData()),
                 0);
    }
    if (!pipe.isEmpty())
        QCOMPARE(mkfifo(QFile::encodeName(m_dir->filePath(pipe)).constData(), 0600), 0);
    const QString path = m_dir->filePath(target);
    m_window->setPageText(QStringLiteral("new\r\ncontents"));
    m_dialog.choose(path);

    std::optional<WriteProtection> protection;
    if (!protect.isEmpty()) {
        protection.emplace(m_dir->filePath(protect));
        if (!protection->holds())
            QSKIP("this process writes through read-only permissions here");
    }
    const QDir::Filters everything = QDir::AllEntries | QDir::System | QDir::Hidden;
    const QStringList before = QDir(m_dir->path()).entryList(everything);
    const QStringList beforeLocked = QDir(m_dir->filePath("locked")).entryList(everything);

    {
        std::optional<FileSizeLimit> limit;
        if (sizeLimit > 0)
            limit.emplace(rlim_t(sizeLimit));
        clickSave();
    }
    protection.reset();

    QCOMPARE(m_failures.size(), 2);
    QCOMPARE(m_failures[0], path);
    QVERIFY2(!m_failures[1].isEmpty(), "the reason is missing");
    if (!reason.isEmpty())
        QCOMPARE(m_failures[1], reason);
    QCOMPARE(m_window->pageText(), QStringLiteral("new\r\ncontents"));
    if (!existing.isEmpty())
        QCOMPARE(contents(m_dir->filePath(existing)), QByteArray("old contents"));
    if (!linked.isEmpty())
        QCOMPARE(contents(m_dir->filePath(linked)), QByteArray("old contents"));
    if (!pipe.isEmpty())
        QCOMPARE(kindOf(m_dir->filePath(pipe)), mode_t(S_IFIFO));
    QCOMPARE(QDir(m_dir->path()).entryList(everything), before);
    QCOMPARE(QDir(m_dir->filePath("locked")).entryList(everything), beforeLocked);
}

// Without a stand-in report the window says so in a warning box naming the file and why.
void tst_Save::failedSaveShowsWarning()
{
    m_window->setSaveFailureReport({});
    const QString path = m_dir->filePath(QStringLiteral("missing/page.html"));
    m_dialog.choose(path);
    QString shown;
    whenModalOpens([&shown](QWidget *modal) {
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            shown = box->text();
            box->accept();
        }
    });

    clickSave();

    QVERIFY2(shown.contains(QDir::toNativeSeparators(path)), qPrintable(shown));
    QVERIFY2(shown.contains(QStringLiteral("No such file or directory")), qPrintable(shown));
}

void tst_Save::realDialogGetsTheFourValues()
{
    SaveFileDialog saveBox;
    saveBox.setNativeDialogAllowed(false);
    saveBox.setDialogTitle(QStringLiteral("Save HTML text as..."));
    saveBox.setFilter(QStringLiteral("HTML File (*.html)"));
    saveBox.setDefaultExt(QStringLiteral("html"));
    saveBox.setFileName(QStringLiteral("*.html"));
    QStringList seen;
    whenModalOpens([&seen](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog)
            return;
        auto *nameBox = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        seen << dialog->windowTitle() << dialog->nameFilters() << dialog->defaultSuffix()
             << (dialog->acceptMode() == QFileDialog::AcceptSave ? "save" : "open")
             << (nameBox ? nameBox->text() : QStringLiteral("<no name box>"));
        dialog->reject();
    });

    saveBox.showSave();

    QCOMPARE(seen,
             QStringList({"Save HTML text as...", "HTML File (*.html)", "html", "save", "*.html"}));
    QCOMPARE(saveBox.fileName(), QStringLiteral("*.html")); // cancelled: the name as it was set
}

void tst_Save::realDialogAddsTheExtension_data()
{
    QTest::addColumn<QString>("typed"); // relative to the test folder
    QTest::addColumn<QString>("expected");

    QTest::newRow("name-without-extension")
        << QStringLiteral("page") << QStringLiteral("page.html");
    QTest::newRow("name-with-extension")
        << QStringLiteral("page.txt") << QStringLiteral("page.txt");
    QTest::newRow("dot-in-folder-only")
        << QStringLiteral("site.d/page") << QStringLiteral("site.d/page.html");
    QTest::newRow("hidden-name-kept") << QStringLiteral(".page") << QStringLiteral(".page");
}

void tst_Save::realDialogAddsTheExtension()
{
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("site.d")));
    SaveFileDialog saveBox;
    saveBox.setNativeDialogAllowed(false);
    saveBox.setFilter(QStringLiteral("HTML File (*.html)"));
    saveBox.setDefaultExt(QStringLiteral("html"));
    saveBox.setFileName(QStringLiteral("*.html"));
    const QString typedPath = m_dir->filePath(typed);
    whenModalOpens([typedPath](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (auto *nameBox = dialog ? dialog->findChild<QLineEdit *>("fileNameEdit") : nullptr) {
            nameBox->setText(typedPath);
            static_cast<QDialog *>(dialog)->accept(); // virtual: the file dialog checks the name
        }
    });

    saveBox.showSave();

    QCOMPARE(saveBox.fileName(), m_dir->filePath(expected));
}

QTEST_MAIN(tst_Save)
#include "tst_save.moc"
