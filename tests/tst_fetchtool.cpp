// SPDX-License-Identifier: GPL-3.0-or-later
#include "loopbackserver.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Reply = LoopbackServer::Reply;

constexpr int FinishMs = 30'000;

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs the built tarnwick-fetch with `arguments`; a run that does not finish is killed.
Run runFetch(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(TARNWICK_FETCH_PATH), arguments);
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
    void writesToFile();
    void unwritableFileFails();
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

void TestFetchTool::writesToFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("page.txt"));
    LoopbackServer server({page("saved \xC3\xA9\r\n")});

    const Run run = runFetch({QStringLiteral("-o"), path, pageUrl(server)});
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("saved \xC3\xA9\r\n"));
}

void TestFetchTool::unwritableFileFails()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("missing/page.txt"));
    LoopbackServer server({page("body")});

    const Run run = runFetch({QStringLiteral("-o"), path, pageUrl(server)});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.err.contains(path.toLocal8Bit()));
    QVERIFY(!QFile::exists(path));
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
