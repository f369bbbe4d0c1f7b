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
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <functional>

namespace {

constexpr int DialogWatchdogMs = 5000;

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

    const SaveOutcome outcome = writePageFile(path, utf8Of(text));

    QCOMPARE(outcome.result, SaveOutcome::Result::Saved);
    QVERIFY(QFile::exists(path));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList({"page.html"}));
    QCOMPARE(contents(path), expected);
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

    QTest::newRow("read-only-folder")
        << QStringLiteral("locked/page.html") << QStringLiteral("locked") << QString();
    QTest::newRow("read-only-folder-existing-file")
        << QStringLiteral("locked/page.html") << QStringLiteral("locked")
        << QStringLiteral("locked/page.html");
    QTest::newRow("read-only-file") << QStringLiteral("page.html") << QStringLiteral("page.html")
                                    << QStringLiteral("page.html");
    QTest::newRow("missing-folder")
        << QStringLiteral("missing/page.html") << QString() << QString();
    QTest::newRow("folder-is-a-file")
        << QStringLiteral("plain/page.html") << QString() << QStringLiteral("plain");
    QTest::newRow("target-is-a-folder") << QStringLiteral("locked") << QString() << QString();
}

void tst_Save::failedSaveDestroysNothing()
{
    QFETCH(QString, target);
    QFETCH(QString, protect);
    QFETCH(QString, existing);
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("locked")));
    if (!existing.isEmpty())
        QVERIFY(writeFile(m_dir->filePath(existing), "old contents"));
    const QString path = m_dir->filePath(target);
    m_window->setPageText(QStringLiteral("new\r\ncontents"));
    m_dialog.choose(path);

    std::optional<WriteProtection> protection;
    if (!protect.isEmpty()) {
        protection.emplace(m_dir->filePath(protect));
        if (!protection->holds())
            QSKIP("this process writes through read-only permissions here");
    }
    const QStringList before = QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden);
    const QStringList beforeLocked = QDir(m_dir->filePath("locked")).entryList(QDir::AllEntries);

    clickSave();
    protection.reset();

    QCOMPARE(m_failures.size(), 2);
    QCOMPARE(m_failures[0], path);
    QVERIFY2(!m_failures[1].isEmpty(), "the reason is missing");
    QCOMPARE(m_window->pageText(), QStringLiteral("new\r\ncontents"));
    if (!existing.isEmpty())
        QCOMPARE(contents(m_dir->filePath(existing)), QByteArray("old contents"));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden), before);
    QCOMPARE(QDir(m_dir->filePath("locked")).entryList(QDir::AllEntries), beforeLocked);
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
