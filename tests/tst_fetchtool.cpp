// SPDX-License-Identifier: GPL-3.0-or-later
#include "loopbackserver.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <fstream>
#include <iterator>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Reply = LoopbackServer::Reply;

constexpr int FinishMs = 30'000;

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs `program` (the built tarnwick-fetch unless named) with `arguments`, under a file-size
// limit when one is given; a run that does not finish is killed.
Run runFetch(const QStringList &arguments, qint64 sizeLimit = 0,
             const QString &program = QStringLiteral(TARNWICK_FETCH_PATH))
{
    QProcess process;
    if (sizeLimit > 0) {
        process.setChildProcessModifier([sizeLimit] {
            rlimit limit;
            getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = rlim_t(sizeLimit);
            setrlimit(RLIMIT_FSIZE, &limit);
        });
    }
    process.start(program, arguments);
    Run run;
    if (!process.waitForFinished(FinishMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// QProcess passes arguments as text, encoded as UTF-8; an output file name that is not UTF-8
// reaches tarnwick-fetch through the shell's printf instead, as these very bytes.
Run runFetchTo(const QByteArray &file, const QString &url, qint64 sizeLimit)
{
    QString escaped;
    for (const char byte : file)
        escaped += QStringLiteral("\\%1").arg(uchar(byte), 3, 8, QLatin1Char('0'));
    const QString script = QStringLiteral(R"sh(exec "$0" -o "$(printf "$1")" "$2")sh");
    return runFetch(
        {QStringLiteral("-c"), script, QStringLiteral(TARNWICK_FETCH_PATH), escaped, url},
        sizeLimit, QStringLiteral("/bin/sh"));
}

// The contents of the file named by these bytes; a null array when it cannot be read.
QByteArray contents(const QByteArray &path)
{
    std::ifstream file(path.toStdString(), std::ios::binary);
    if (!file)
        return {};
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
}

// The names in a folder as the bytes they are, which QDir would decode as text.
QList<QByteArray> entries(const QByteArray &folder)
{
    QList<QByteArray> names;
    if (DIR *listing = opendir(folder.constData())) {
        while (const dirent *entry = readdir(listing)) {
            if (qstrcmp(entry->d_name, ".") != 0 && qstrcmp(entry->d_name, "..") != 0)
                names << QByteArray(entry->d_name);
        }
        closedir(listing);
    }
    std::sort(names.begin(), names.end());
    return names;
}

QString pageUrl(const LoopbackServer &server)
{
    return QStringLiteral("http://127.0.0.1:%1/page.html").arg(server.port());
}

Reply page(const QByteArray &body)
{
    return {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body};
}

} // namespace

class TestFetchTool : public QObject
{
    Q_OBJECT

private slots:
    void writesPageBoxText_data();
    void writesPageBoxText();
    void verboseReportsUrlAndPort();
    void writesToFile_data();
    void writesToFile();
    void usageErrors_data();
    void usageErrors();
    void helpAndVersion();
};

void TestFetchTool::writesPageBoxText_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");

    // A four-byte character straddling the point where the output is cut into slices.
    const QByteArray straddling = QByteArray((1 << 20) - 1, 'a') + "\xF0\x9F\x98\x80" + "z";

    QTest::newRow("page") << page("Hello\r\nworld\n") << QByteArray("Hello\r\nworld\n") << 0;
    QTest::newRow("empty-page") << page(QByteArray()) << QByteArray() << 0;
    QTest::newRow("nul-and-utf8") << page(QByteArray("a\0b caf\xC3\xA9", 9))
                                  << QByteArray("a\0b caf\xC3\xA9", 9) << 0;
    QTest::newRow("windows-1252-page") << page("caf\xE9 \x93q\x94")
                                       << QByteArray("caf\xC3\xA9 "
                                                     "\xE2\x80\x9Cq"
                                                     "\xE2\x80\x9D")
                                       << 0;
    QTest::newRow("large-page") << page(straddling) << straddling << 0;
    QTest::newRow("not-found") << Reply{"HTTP/1.0 404 Not Found\r\n\r\nnothing here"}
                               << QByteArray("Error: 404") << 1;
}

void TestFetchTool::writesPageBoxText()
{
    QFETCH(Reply, reply);
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);

    LoopbackServer server({reply});
    const Run run = runFetch({pageUrl(server)});
    QCOMPARE(run.out, output);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, exitCode);
}

void TestFetchTool::verboseReportsUrlAndPort()
{
    LoopbackServer server({page("body")});
    const Run run = runFetch({QStringLiteral("--verbose"), pageUrl(server)});
    QCOMPARE(run.out, QByteArray("body"));
    QCOMPARE(run.err,
             "URL: http://127.0.0.1/page.html\nPort: " + QByteArray::number(server.port()) + "\n");
    QCOMPARE(run.exitCode, 0);
}

void TestFetchTool::writesToFile_data()
{
    QTest::addColumn<QByteArray>("name");        // in the test folder, as given to -o
    QTest::addColumn<QByteArray>("oldContents"); // a file there before; null: none
    QTest::addColumn<bool>("pipe");              // a named pipe there before, that nothing reads
    QTest::addColumn<qint64>("sizeLimit");       // the program's file-size limit; 0: none
    QTest::addColumn<QByteArray>("error");       // what follows "cannot write PATH: "; null: none
    QTest::addColumn<QByteArray>("linked");      // a second name of the old file; null: none

    const QByteArray none;
    QTest::newRow("new-file") << QByteArray("page.txt") << none << false << qint64(0) << none
                              << none;
    QTest::newRow("file-replaced")
        << QByteArray("page.txt") << QByteArray("old contents, longer than the page") << false
        << qint64(0) << none << none;
    QTest::newRow("name-not-utf8")
        << QByteArray("new\nline-\xff\xfe.html") << none << false << qint64(0) << none << none;
    QTest::newRow("missing-folder") << QByteArray("missing/page.txt") << none << false << qint64(0)
                                    << QByteArray("No such file or directory") << none;
    QTest::newRow("named-pipe-without-a-reader")
        << QByteArray("pipe") << none << true << qint64(0)
        << QByteArray("Nothing is reading from the named pipe") << none;
    // The page is longer than the limit: the first write is cut short, the next one fails.
    QTest::newRow("file-size-limit") << QByteArray("page.txt") << QByteArray("old contents")
                                     << false << qint64(4) << QByteArray("File too large") << none;
    // A file with a second name is written in place, room for the page taken first.
    QTest::newRow("hard-linked-file") << QByteArray("page.txt") << QByteArray("old contents")
                                      << false << qint64(0) << none << QByteArray("other.txt");
    QTest::newRow("file-size-limit-hard-linked-file")
        << QByteArray("page.txt") << QByteArray("old contents") << false << qint64(4)
        << QByteArray("File too large") << QByteArray("other.txt");
}

// The page, or on failure a message naming the file by its bytes and why; whatever fails,
// the old file stays as it was and nothing else appears beside it.
void TestFetchTool::writesToFile()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, oldContents);
    QFETCH(bool, pipe);
    QFETCH(qint64, sizeLimit);
    QFETCH(QByteArray, error);
    QFETCH(QByteArray, linked);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray folder = QFile::encodeName(dir.path());
    const QByteArray path = folder + '/' + name;
    // QTemporaryDir cannot remove a name that is not UTF-8.
    const auto removeFile = qScopeGuard([&path] { unlink(path.constData()); });
    if (!oldContents.isNull()) {
        std::ofstream(path.toStdString(), std::ios::binary) << oldContents.toStdString();
        QCOMPARE(contents(path), oldContents);
    }
    if (pipe)
        QCOMPARE(mkfifo(path.constData(), 0600), 0);
    const QByteArray secondPath = folder + '/' + linked;
    if (!linked.isNull())
        QCOMPARE(link(path.constData(), secondPath.constData()), 0);
    const QList<QByteArray> before = entries(folder);
    const QByteArray body = "saved \xC3\xA9\r\n";
    LoopbackServer server({page(body)});

    const Run run = runFetchTo(path, pageUrl(server), sizeLimit);

    QCOMPARE(run.out, QByteArray());
    if (error.isNull()) {
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(contents(path), body);
        QCOMPARE(entries(folder), linked.isNull() ? QList<QByteArray>{name} : before);
        if (!linked.isNull())
            QCOMPARE(contents(secondPath), body);
        return;
    }
    QCOMPARE(run.err, "tarnwick-fetch: cannot write " + path + ": " + error + '\n');
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(entries(folder), before);
    if (!oldContents.isNull())
        QCOMPARE(contents(path), oldContents);
    if (!linked.isNull())
        QCOMPARE(contents(secondPath), oldContents);
    struct stat status;
    if (pipe)
        QVERIFY(lstat(path.constData(), &status) == 0 && S_ISFIFO(status.st_mode));
}

void TestFetchTool::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");

    const QString url = QStringLiteral("http://127.0.0.1:1/");
    QTest::newRow("no-url") << QStringList();
    QTest::newRow("two-urls") << QStringList{url, url};
    QTest::newRow("unknown-option") << QStringList{QStringLiteral("--fast"), url};
    QTest::newRow("output-without-file") << QStringList{url, QStringLiteral("-o")};
    QTest::newRow("empty-output-file") << QStringList{QStringLiteral("-o"), QString(), url};
}

void TestFetchTool::usageErrors()
{
    QFETCH(QStringList, arguments);

    const Run run = runFetch(arguments);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(run.err.contains("Usage: tarnwick-fetch [--verbose] [-o FILE] URL"),
             run.err.constData());
    QCOMPARE(run.exitCode, 2);
}

void TestFetchTool::helpAndVersion()
{
    for (const QString &option : {QStringLiteral("--help"), QStringLiteral("--help-all")}) {
        const Run help = runFetch({option});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.out.contains("--verbose"));
        QVERIFY(help.out.contains("URL"));
    }

    const Run version = runFetch({QStringLiteral("--version")});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QByteArray("tarnwick-fetch Pellory 1.00\n"));
}

QTEST_GUILESS_MAIN(TestFetchTool)
#include "tst_fetchtool.moc"
