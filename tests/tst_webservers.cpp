#include "mainwindow.h"
#include "nginxserver.h"

#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// Pages fetched from a real web server, the system's nginx, both by the command-line twin
// and by a click on Retrieve in the window: plain pages, a large one, nginx's own redirect
// of a directory named without its final "/" (with a full and with a path-only Location),
// a missing page, and a file name that needs percent-encoding.
class tst_Nginx : public QObject
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
    void addRows();
    NginxServer &server(bool absoluteRedirect) const
    {
        return absoluteRedirect ? *m_absolute : *m_relative;
    }
    bool redirectWasServed(bool absoluteRedirect, const QByteArray &requestLine) const;
    QString expectedUrl(bool absoluteRedirect, const QString &finalPath,
                        const QByteArray &redirectedRequest) const;

    std::unique_ptr<NginxServer> m_absolute;
    std::unique_ptr<NginxServer> m_relative;
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

void tst_Nginx::initTestCase()
{
    m_absolute = std::make_unique<NginxServer>(NginxServer::Options{true});
    if (!m_absolute->isRunning())
        QSKIP(qPrintable(u"nginx could not be started: "_qs + m_absolute->startError()));
    m_relative = std::make_unique<NginxServer>(NginxServer::Options{false});
    if (!m_relative->isRunning())
        QSKIP(qPrintable(u"nginx could not be started: "_qs + m_relative->startError()));

    m_largePage = largePage();
    for (NginxServer *nginx : {m_absolute.get(), m_relative.get()}) {
        QVERIFY(nginx->writePage(QStringLiteral("index.html"), StaticPage));
        QVERIFY(nginx->writePage(QStringLiteral("large.html"), m_largePage));
        QVERIFY(nginx->writePage(QStringLiteral("docs.d/index.html"), DirectoryIndex));
        QVERIFY(nginx->writePage(QStringLiteral("plain/index.html"), PlainIndex));
        QVERIFY(nginx->writePage(EncodedName, EncodedNamePage));
    }
}

void tst_Nginx::cleanupTestCase()
{
    m_relative.reset();
    m_absolute.reset();
}

// Columns: what follows the host and port in the URL box, which server, the bytes the page
// box should end with, the URL box afterwards (after the host and port), whether a
// redirect was followed, and whether the retrieval ends with a page (or a message).
void tst_Nginx::addRows()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("absoluteRedirect");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("finalPath");
    QTest::addColumn<QByteArray>("redirectedRequest");
    QTest::addColumn<bool>("pageShown");

    QTest::newRow("static-page") << u"/index.html"_qs << true << StaticPage << u"/index.html"_qs
                                 << QByteArray() << true;
    QTest::newRow("root-serves-index")
        << u"/"_qs << true << StaticPage << u"/"_qs << QByteArray() << true;
    QTest::newRow("megabyte-page")
        << u"/large.html"_qs << true << m_largePage << u"/large.html"_qs << QByteArray() << true;
    QTest::newRow("directory-slash-added-by-tarnwick")
        << u"/plain"_qs << true << PlainIndex << u"/plain/"_qs << QByteArray() << true;
    QTest::newRow("directory-with-final-slash")
        << u"/docs.d/"_qs << true << DirectoryIndex << u"/docs.d/"_qs << QByteArray() << true;
    QTest::newRow("directory-without-slash-absolute-location")
        << u"/docs.d"_qs << true << DirectoryIndex << u"/docs.d/"_qs
        << QByteArray("GET /docs.d HTTP/1.0") << true;
    QTest::newRow("directory-without-slash-relative-location")
        << u"/docs.d"_qs << false << DirectoryIndex << u"/docs.d/"_qs
        << QByteArray("GET /docs.d HTTP/1.0") << true;
    QTest::newRow("missing-page") << u"/missing.html"_qs << true << QByteArray("Error: 404")
                                  << u"/missing.html"_qs << QByteArray() << false;
    QTest::newRow("name-with-space-and-non-ascii")
        << u"/"_qs + EncodedName << true << EncodedNamePage << u"/"_qs + EncodedName << QByteArray()
        << true;
}

// nginx's access log shows whether the first request was answered by its own 301.
bool tst_Nginx::redirectWasServed(bool absoluteRedirect, const QByteArray &requestLine) const
{
    return server(absoluteRedirect).accessLog().contains('"' + requestLine + "\" 301 ");
}

// The URL box ends with the URL of the last retrieval. A URL typed by the user loses its
// port to the port label; one taken from a redirect keeps it.
QString tst_Nginx::expectedUrl(bool absoluteRedirect, const QString &finalPath,
                               const QByteArray &redirectedRequest) const
{
    const QString host =
        redirectedRequest.isEmpty() ? u"127.0.0.1"_qs : server(absoluteRedirect).hostAndPort();
    return u"http://"_qs + host + finalPath;
}

void tst_Nginx::fetchCommand_data()
{
    addRows();
}

void tst_Nginx::fetchCommand()
{
    QFETCH(QString, path);
    QFETCH(bool, absoluteRedirect);
    QFETCH(QByteArray, expected);
    QFETCH(QString, finalPath);
    QFETCH(QByteArray, redirectedRequest);
    QFETCH(bool, pageShown);

    const QString host = server(absoluteRedirect).hostAndPort();
    QProcess fetch;
    fetch.start(fetchProgram(), {u"--verbose"_qs, host + path});
    QVERIFY2(fetch.waitForFinished(FetchTimeoutMs), qPrintable(fetch.errorString()));
    QCOMPARE(fetch.exitStatus(), QProcess::NormalExit);

    QCOMPARE(fetch.readAllStandardOutput(), expected);
    const QByteArray urlLine =
        "URL: " + expectedUrl(absoluteRedirect, finalPath, redirectedRequest).toUtf8() + '\n';
    QVERIFY(fetch.readAllStandardError().contains(urlLine));
    QCOMPARE(fetch.exitCode(), pageShown ? 0 : 1);
    if (!redirectedRequest.isEmpty())
        QVERIFY(redirectWasServed(absoluteRedirect, redirectedRequest));
}

void tst_Nginx::fetchCommandWritesFile_data()
{
    addRows();
}

void tst_Nginx::fetchCommandWritesFile()
{
    QFETCH(QString, path);
    QFETCH(bool, absoluteRedirect);
    QFETCH(QByteArray, expected);
    QFETCH(bool, pageShown);

    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString output = dir.filePath(u"page.html"_qs);
    QProcess fetch;
    fetch.start(fetchProgram(), {u"-o"_qs, output, server(absoluteRedirect).hostAndPort() + path});
    QVERIFY2(fetch.waitForFinished(FetchTimeoutMs), qPrintable(fetch.errorString()));
    QCOMPARE(fetch.exitCode(), pageShown ? 0 : 1);
    QCOMPARE(fetch.readAllStandardOutput(), QByteArray());

    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected);
}

void tst_Nginx::windowRetrieve_data()
{
    addRows();
}

void tst_Nginx::windowRetrieve()
{
    QFETCH(QString, path);
    QFETCH(bool, absoluteRedirect);
    QFETCH(QByteArray, expected);
    QFETCH(QString, finalPath);
    QFETCH(QByteArray, redirectedRequest);

    Main window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *urlBox = window.findChild<QLineEdit *>(u"URLBox"_qs);
    auto *retrieve = window.findChild<QPushButton *>(u"Retrieve"_qs);
    QVERIFY(urlBox && retrieve);

    const QString host = server(absoluteRedirect).hostAndPort();
    urlBox->setText(host + path);
    QTest::mouseClick(retrieve, Qt::LeftButton);

    QCOMPARE(urlBox->text(), expectedUrl(absoluteRedirect, finalPath, redirectedRequest));
    if (!redirectedRequest.isEmpty())
        QVERIFY(redirectWasServed(absoluteRedirect, redirectedRequest));
    QCOMPARE(window.pageText().toUtf8(), expected);
}

QTEST_MAIN(tst_Nginx)
#include "tst_nginx.moc"
