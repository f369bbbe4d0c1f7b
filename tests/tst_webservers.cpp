// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"
#include "webserver.h"

#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>

// Pages fetched from real web servers, the system's nginx and Apache httpd, both by the
// command-line twin and by a click on Retrieve in the window: plain pages, a large one,
// the servers' own redirect of a directory named without its final "/" (nginx's with a
// full and with a path-only Location; Apache's built from its ServerName and the port
// that the request's Host field names), a missing page, and a file name that needs
// percent-encoding.
class tst_WebServers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void fetchCommand_data();
    void fetchCommand();
    void fetchCommandWritesFile_data();
    void fetchCommandWritesFile();
    void windowRetrieve_data();
    void windowRetrieve();

private:
    // The servers, each with its own habits.
    enum Server { NginxAbsolute, NginxRelative, Apache, ServerCount };

    void addRows();
    WebServer &server(int which) const { return *m_servers[which]; }
    bool redirectWasServed(int which, const QByteArray &requestLine) const;
    QString expectedUrl(int which, const QString &finalPath,
                        const QByteArray &redirectedRequest) const;

    std::array<std::unique_ptr<WebServer>, ServerCount> m_servers;
    QByteArray m_largePage;
};

namespace {

constexpr int FetchTimeoutMs = 30'000;

const QByteArray StaticPage = "<!DOCTYPE html>\r\n<html><head><title>Tarnwick</title></head>\r\n"
                              "<body><p>Gr\xc3\xbc\xc3\x9f"
                              "e aus M\xc3\xbcnchen \xe2\x80\x93 caf\xc3\xa9</p></body>\r\n"
                              "</html>\r\n";
const QByteArray DirectoryIndex = "<html><body>the index of docs.d</body></html>\n";
const QByteArray PlainIndex = "<html><body>the index of plain</body></html>\n";
const QByteArray EncodedNamePage = "<html><body>a name with a space and umlauts</body></html>\n";
const QString EncodedName = QStringLiteral("r\u00e9sum\u00e9 f\u00fcr alle.html");

// About a megabyte of ordinary HTML lines, some of them with two-byte letters.
QByteArray largePage()
{
    QByteArray page = "<html><body>\n";
    for (int line = 0; page.size() < 1024 * 1024; ++line)
        page += "<p>Line " + QByteArray::number(line) +
                " of a large page: Sch\xc3\xb6n gr\xc3\xbcn, plain text to fill it up.</p>\n";
    return page + "</body></html>\n";
}

QString fetchProgram()
{
    return QStringLiteral(TARNWICK_FETCH_PATH);
}

} // namespace

void tst_WebServers::initTestCase()
{
    const WebServer::Options options[ServerCount] = {{WebServer::Kind::Nginx, true},
                                                     {WebServer::Kind::Nginx, false},
                                                     {WebServer::Kind::Apache, true}};
    m_largePage = largePage();
    for (int which = 0; which < ServerCount; ++which) {
        m_servers[which] = std::make_unique<WebServer>(options[which]);
        WebServer &web = server(which);
        if (!web.isRunning())
            QSKIP(qPrintable(u"a web server could not be started: "_qs + web.startError()));
        QVERIFY(web.writePage(QStringLiteral("index.html"), StaticPage));
        QVERIFY(web.writePage(QStringLiteral("large.html"), m_largePage));
        QVERIFY(web.writePage(QStringLiteral("docs.d/index.html"), DirectoryIndex));
        QVERIFY(web.writePage(QStringLiteral("plain/index.html"), PlainIndex));
        QVERIFY(web.writePage(EncodedName, EncodedNamePage));
    }
}

void tst_WebServers::cleanupTestCase()
{
    for (std::unique_ptr<WebServer> &web : m_servers)
        web.reset();
}

// Columns: what follows the host and port in the URL box, which server, the bytes the page
// box should end with, the URL box afterwards (after the host and port), whether a
// redirect was followed, and whether the retrieval ends with a page (or a message).
void tst_WebServers::addRows()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("which"); // the server
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("finalPath");
    QTest::addColumn<QByteArray>("redirectedRequest");
    QTest::addColumn<bool>("pageShown");

    QTest::newRow("static-page") << u"/index.html"_qs << int(NginxAbsolute) << StaticPage
                                 << u"/index.html"_qs << QByteArray() << true;
    QTest::newRow("root-serves-index")
        << u"/"_qs << int(NginxAbsolute) << StaticPage << u"/"_qs << QByteArray() << true;
    QTest::newRow("megabyte-page") << u"/large.html"_qs << int(NginxAbsolute) << m_largePage
                                   << u"/large.html"_qs << QByteArray() << true;
    QTest::newRow("directory-slash-added-by-tarnwick")
        << u"/plain"_qs << int(NginxAbsolute) << PlainIndex << u"/plain/"_qs << QByteArray()
        << true;
    QTest::newRow("directory-with-final-slash")
        << u"/docs.d/"_qs << int(NginxAbsolute) << DirectoryIndex << u"/docs.d/"_qs << QByteArray()
        << true;
    QTest::newRow("directory-without-slash-absolute-location")
        << u"/docs.d"_qs << int(NginxAbsolute) << DirectoryIndex << u"/docs.d/"_qs
        << QByteArray("GET /docs.d HTTP/1.0") << true;
    QTest::newRow("directory-without-slash-relative-location")
        << u"/docs.d"_qs << int(NginxRelative) << DirectoryIndex << u"/docs.d/"_qs
        << QByteArray("GET /docs.d HTTP/1.0") << true;
    QTest::newRow("missing-page") << u"/missing.html"_qs << int(NginxAbsolute)
                                  << QByteArray("Error: 404") << u"/missing.html"_qs << QByteArray()
                                  << false;
    QTest::newRow("name-with-space-and-non-ascii")
        << u"/"_qs + EncodedName << int(NginxAbsolute) << EncodedNamePage << u"/"_qs + EncodedName
        << QByteArray() << true;
    // Apache builds its redirect from ServerName and the port that the Host field names.
    QTest::newRow("apache-static-page") << u"/index.html"_qs << int(Apache) << StaticPage
                                        << u"/index.html"_qs << QByteArray() << true;
    QTest::newRow("apache-directory-without-slash")
        << u"/docs.d"_qs << int(Apache) << DirectoryIndex << u"/docs.d/"_qs
        << QByteArray("GET /docs.d HTTP/1.0") << true;
}

// The server's access log shows whether the first request was answered by its own 301.
bool tst_WebServers::redirectWasServed(int which, const QByteArray &requestLine) const
{
    return server(which).accessLog().contains('"' + requestLine + "\" 301 ");
}

// The URL box ends with the URL of the last retrieval. A URL typed by the user loses its
// port to the port label; one taken from a redirect keeps it.
QString tst_WebServers::expectedUrl(int which, const QString &finalPath,
                                    const QByteArray &redirectedRequest) const
{
    const QString host =
        redirectedRequest.isEmpty() ? u"127.0.0.1"_qs : server(which).hostAndPort();
    return u"http://"_qs + host + finalPath;
}

void tst_WebServers::fetchCommand_data()
{
    addRows();
}

void tst_WebServers::fetchCommand()
{
    QFETCH(QString, path);
    QFETCH(int, which);
    QFETCH(QByteArray, expected);
    QFETCH(QString, finalPath);
    QFETCH(QByteArray, redirectedRequest);
    QFETCH(bool, pageShown);

    const QString host = server(which).hostAndPort();
    QProcess fetch;
    fetch.start(fetchProgram(), {u"--verbose"_qs, host + path});
    QVERIFY2(fetch.waitForFinished(FetchTimeoutMs), qPrintable(fetch.errorString()));
    QCOMPARE(fetch.exitStatus(), QProcess::NormalExit);

    QCOMPARE(fetch.readAllStandardOutput(), expected);
    const QByteArray urlLine =
        "URL: " + expectedUrl(which, finalPath, redirectedRequest).toUtf8() + '\n';
    QVERIFY(fetch.readAllStandardError().contains(urlLine));
    QCOMPARE(fetch.exitCode(), pageShown ? 0 : 1);
    if (!redirectedRequest.isEmpty())
        QVERIFY(redirectWasServed(which, redirectedRequest));
}

void tst_WebServers::fetchCommandWritesFile_data()
{
    addRows();
}

void tst_WebServers::fetchCommandWritesFile()
{
    QFETCH(QString, path);
    QFETCH(int, which);
    QFETCH(QByteArray, expected);
    QFETCH(bool, pageShown);

    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString output = dir.filePath(u"page.html"_qs);
    QProcess fetch;
    fetch.start(fetchProgram(), {u"-o"_qs, output, server(which).hostAndPort() + path});
    QVERIFY2(fetch.waitForFinished(FetchTimeoutMs), qPrintable(fetch.errorString()));
    QCOMPARE(fetch.exitCode(), pageShown ? 0 : 1);
    QCOMPARE(fetch.readAllStandardOutput(), QByteArray());

    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
}

void tst_WebServers::windowRetrieve_data()
{
    addRows();
}

void tst_WebServers::windowRetrieve()
{
    QFETCH(QString, path);
    QFETCH(int, which);
    QFETCH(QByteArray, expected);
    QFETCH(QString, finalPath);
    QFETCH(QByteArray, redirectedRequest);

    Main window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *urlBox = window.findChild<QLineEdit *>(u"URLBox"_qs);
    auto *retrieve = window.findChild<QPushButton *>(u"Retrieve"_qs);
    QVERIFY(urlBox && retrieve);

    const QString host = server(which).hostAndPort();
    urlBox->setText(host + path);
    QTest::mouseClick(retrieve, Qt::LeftButton);

    QCOMPARE(urlBox->text(), expectedUrl(which, finalPath, redirectedRequest));
    if (!redirectedRequest.isEmpty())
        QVERIFY(redirectWasServed(which, redirectedRequest));
    QCOMPARE(window.pageText().toUtf8(), expected);
}

QTEST_MAIN(tst_WebServers)
#include "tst_webservers.moc"
