// SPDX-License-Identifier: GPL-3.0-or-later
#include "memorywindow.h"
#include "retrieval.h"
#include "scriptedsocket.h"
#include "urlparser.h"

#include <QTest>

using namespace Qt::StringLiterals;

// The URL box's text taken apart, written back and shown with its port, both by
// the parser alone and by a press of Retrieve whose connection then fails.
class tst_UrlParser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data() { addUrlTable(); }
    void parse();
    void schemeError_data() { addSchemeErrorTable(); }
    void schemeError();
    void retrieve_data() { addUrlTable(); }
    void retrieve();
    void retrieveSchemeError_data() { addSchemeErrorTable(); }
    void retrieveSchemeError();
    void endpoint_data();
    void endpoint();

private:
    static void addUrlTable();
    static void addSchemeErrorTable();
};

namespace {

const QString Host = u"www.example.org"_s;
const QString SchemeError = u"Error: Only HTTP protcol is supported"_s;

// HOST in the rows below stands for any host name without ":" and "/"; each row runs with
// `Host` in its place.
QString withHost(QString text)
{
    return text.replace(u"HOST"_s, Host);
}

} // namespace

void tst_UrlParser::addUrlTable()
{
    QTest::addColumn<QString>("urlText");
    QTest::addColumn<bool>("redirecting");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("port"); // empty: no port at all
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("portCaption");

    const auto row = [](const char *name, const QString &urlText, bool redirecting,
                        const QString &host, const QString &path, const QString &port,
                        const QString &url, const QString &portCaption) {
        QTest::newRow(name) << withHost(urlText) << redirecting << withHost(host) << path << port
                            << withHost(url) << portCaption;
    };
    // The URL forms a user types, with and without a redirect in progress.
    row("host-only", u"HOST"_s, false, u"HOST"_s, u"/"_s, u"80"_s, u"http://HOST/"_s, u"80"_s);
    row("spaces-around", u"  HOST/docs  "_s, false, u"HOST"_s, u"/docs/"_s, u"80"_s,
        u"http://HOST/docs/"_s, u"80"_s);
    row("scheme-and-file", u"http://HOST/docs/page.html"_s, false, u"HOST"_s, u"/docs/page.html"_s,
        u"80"_s, u"http://HOST/docs/page.html"_s, u"80"_s);
    row("port-in-host", u"http://HOST:8080/docs"_s, false, u"HOST"_s, u"/docs/"_s, u"8080"_s,
        u"http://HOST/docs/"_s, u"8080"_s);
    row("port-without-path", u"HOST:81"_s, false, u"HOST"_s, u"/"_s, u"81"_s, u"http://HOST/"_s,
        u"81"_s);
    row("port-five-characters", u"HOST:123456/a.txt"_s, false, u"HOST"_s, u"/a.txt"_s, u"12345"_s,
        u"http://HOST/a.txt"_s, u"12345"_s);
    row("port-not-a-number", u"HOST:abc/"_s, false, u"HOST"_s, u"/"_s, u"0"_s, u"http://HOST/"_s,
        u"0"_s);
    row("dot-in-directory", u"HOST/docs.old/list"_s, false, u"HOST"_s, u"/docs.old/list"_s, u"80"_s,
        u"http://HOST/docs.old/list"_s, u"80"_s);
    row("query-gets-slash", u"HOST/?q=1"_s, false, u"HOST"_s, u"/?q=1/"_s, u"80"_s,
        u"http://HOST/?q=1/"_s, u"80"_s);
    row("colon-in-path", u"HOST/a:b"_s, false, u"HOST"_s, u"/a"_s, u"0"_s, u"http://HOST/a"_s,
        u"0"_s);
    row("path-colon-before-host-colon", u"HOST:80/x:y"_s, false, u"HOST:80"_s, u"/x"_s, u"0"_s,
        u"http://HOST:80/x"_s, u"0"_s);
    row("empty", QString(), false, QString(), u"/"_s, u"80"_s, u"http:///"_s, u"80"_s);
    row("spaces-only", u"    "_s, false, QString(), u"/"_s, u"80"_s, u"http:///"_s, u"80"_s);
    row("scheme-only", u"http://"_s, false, QString(), u"/"_s, u"80"_s, u"http:///"_s, u"80"_s);
    row("redirect-keeps-port-in-host", u"http://HOST:8080/docs"_s, true, u"HOST:8080"_s, u"/docs"_s,
        QString(), u"http://HOST:8080/docs"_s, QString());
    row("redirect-adds-no-slash", u"http://HOST/docs"_s, true, u"HOST"_s, u"/docs"_s, QString(),
        u"http://HOST/docs"_s, QString());
    row("redirect-path-only", u"/new/place"_s, true, QString(), u"/new/place"_s, QString(),
        u"http:///new/place"_s, QString());
    // The colons of an IPv6 address in brackets are not the port's.
    row("ipv6-literal-with-port", u"[::1]:8080/a.txt"_s, false, u"[::1]"_s, u"/a.txt"_s, u"8080"_s,
        u"http://[::1]/a.txt"_s, u"8080"_s);
    row("ipv6-literal", u"[::1]"_s, false, u"[::1]"_s, u"/"_s, u"80"_s, u"http://[::1]/"_s,
        u"80"_s);
    // Beyond the table: how the numeric reading and the trimming show through.
    row("fractional-port", u"HOST:1.5"_s, false, u"HOST"_s, u"/"_s, u"1.5"_s, u"http://HOST/"_s,
        u"1.5"_s);
    row("negative-port", u"HOST:-3"_s, false, u"HOST"_s, u"/"_s, u"-3"_s, u"http://HOST/"_s,
        u"-3"_s);
    row("port-beyond-double-range", u"HOST:1e999"_s, false, u"HOST"_s, u"/"_s, u"inf"_s,
        u"http://HOST/"_s, u"inf"_s);
    row("hexadecimal-port", u"HOST:&H50/"_s, false, u"HOST"_s, u"/"_s, u"80"_s, u"http://HOST/"_s,
        u"80"_s);
    row("blank-inside-port", u"HOST:8 0"_s, false, u"HOST"_s, u"/"_s, u"80"_s, u"http://HOST/"_s,
        u"80"_s);
    row("tab-not-trimmed", u"\tHOST"_s, false, u"\tHOST"_s, u"/"_s, u"80"_s, u"http://\tHOST/"_s,
        u"80"_s);
    row("redirect-trims-spaces", u"  http://HOST/x  "_s, true, u"HOST"_s, u"/x"_s, QString(),
        u"http://HOST/x"_s, QString());
}

void tst_UrlParser::addSchemeErrorTable()
{
    QTest::addColumn<QString>("urlText");
    QTest::addColumn<bool>("redirecting");

    const auto rows = [](const char *name, const QString &urlText) {
        QTest::addRow("%s-not-redirecting", name) << withHost(urlText) << false;
        QTest::addRow("%s-redirecting", name) << withHost(urlText) << true;
    };
    rows("upper-case-scheme", u"HTTP://HOST/"_s);
    rows("other-scheme", u"ftp://HOST/"_s);
    rows("empty-scheme", u"://HOST"_s);
    rows("separator-after-slash", u"HOST/x://y"_s);
    rows("spaces-around", u"  Http://HOST/  "_s);
}

void tst_UrlParser::parse()
{
    QFETCH(QString, urlText);
    QFETCH(bool, redirecting);
    QFETCH(QString, host);
    QFETCH(QString, path);
    QFETCH(QString, port);
    QFETCH(QString, url);
    QFETCH(QString, portCaption);

    const std::optional<ParsedUrl> parsed = parseUrl(urlText, redirecting);
    QVERIFY(parsed);
    QCOMPARE(parsed->Scheme, u"http"_s);
    QCOMPARE(parsed->Host, host);
    QCOMPARE(parsed->Path, path);
    QCOMPARE(parsed->Port ? QString::number(*parsed->Port, 'g', 17) : QString(), port);
    QCOMPARE(parsed->normalisedUrl(), url);
    QCOMPARE(parsed->portCaption(), portCaption);
}

void tst_UrlParser::schemeError()
{
    QFETCH(QString, urlText);
    QFETCH(bool, redirecting);

    QVERIFY(!parseUrl(urlText, redirecting));
}

void tst_UrlParser::retrieve()
{
    QFETCH(QString, urlText);
    QFETCH(bool, redirecting);
    QFETCH(QString, host);
    QFETCH(QString, port);
    QFETCH(QString, url);
    QFETCH(QString, portCaption);

    MemoryWindow window(urlText);
    window.setPageText(u"earlier page"_s);
    window.setPortCaption(u"earlier port"_s);
    window.setRedirecting(redirecting);
    ScriptedSocket socket({ScriptedSocket::refusing()});

    QCOMPARE(retrievePage(window, socket), RetrievalOutcome::Failed);
    const Endpoint endpoint = parseUrl(urlText, redirecting)->endpoint();
    QCOMPARE(socket.calls(),
             QStringList{u"Connect(%1,%2)"_s.arg(endpoint.host).arg(endpoint.port)});
    QCOMPARE(window.urlText(), url);
    QCOMPARE(window.portCaption(), portCaption);
    QCOMPARE(window.pageText(), u"Connection error!"_s);
    QCOMPARE(window.redirecting(), false);
}

void tst_UrlParser::retrieveSchemeError()
{
    QFETCH(QString, urlText);
    QFETCH(bool, redirecting);

    MemoryWindow window(urlText);
    window.setPageText(u"earlier page"_s);
    window.setPortCaption(u"earlier port"_s);
    window.setRedirecting(redirecting);
    ScriptedSocket socket({});

    QCOMPARE(retrievePage(window, socket), RetrievalOutcome::Failed);
    QCOMPARE(socket.calls(), QStringList());
    QCOMPARE(window.urlText(), urlText);
    QCOMPARE(window.portCaption(), u"earlier port"_s);
    QCOMPARE(window.pageText(), SchemeError);
    QCOMPARE(window.redirecting(), false);
}

void tst_UrlParser::endpoint_data()
{
    QTest::addColumn<QString>("urlText");
    QTest::addColumn<bool>("redirecting");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port"); // 0: no usable port
    QTest::addColumn<QString>("hostField");

    const auto row = [](const char *name, const QString &urlText, bool redirecting,
                        const QString &host, int port, const QString &hostField) {
        QTest::newRow(name) << withHost(urlText) << redirecting << withHost(host) << port
                            << withHost(hostField);
    };
    row("default-port", u"HOST/"_s, false, u"HOST"_s, 80, u"HOST"_s);
    row("port-named", u"http://HOST:8080/docs"_s, false, u"HOST"_s, 8080, u"HOST:8080"_s);
    row("port-80-written", u"HOST:80/"_s, false, u"HOST"_s, 80, u"HOST"_s);
    row("path-port-wins", u"HOST:81/x:y"_s, false, u"HOST"_s, 0, u"HOST:0"_s);
    row("port-largest", u"HOST:65535"_s, false, u"HOST"_s, 65535, u"HOST:65535"_s);
    row("port-zero", u"HOST:0"_s, false, u"HOST"_s, 0, u"HOST:0"_s);
    row("port-too-large", u"HOST:65536"_s, false, u"HOST"_s, 0, u"HOST:0"_s);
    row("port-fractional", u"HOST:1.5"_s, false, u"HOST"_s, 0, u"HOST:0"_s);
    row("port-negative", u"HOST:-3"_s, false, u"HOST"_s, 0, u"HOST:0"_s);
    row("port-infinite", u"HOST:1e999"_s, false, u"HOST"_s, 0, u"HOST:0"_s);
    row("port-not-a-number", u"HOST:abc/"_s, false, u"HOST"_s, 0, u"HOST:0"_s);
    // A redirect's URL keeps its port in the host; it is split off for the connection.
    row("redirect-port", u"http://HOST:8080/d"_s, true, u"HOST"_s, 8080, u"HOST:8080"_s);
    row("redirect-port-80", u"http://HOST:80/d"_s, true, u"HOST"_s, 80, u"HOST"_s);
    row("redirect-no-port", u"http://HOST/d"_s, true, u"HOST"_s, 80, u"HOST"_s);
    row("redirect-empty-port", u"http://HOST:/d"_s, true, u"HOST"_s, 80, u"HOST"_s);
    row("redirect-port-zero", u"http://HOST:0/"_s, true, u"HOST"_s, 0, u"HOST:0"_s);
    row("redirect-port-too-large", u"http://HOST:65536/"_s, true, u"HOST"_s, 0, u"HOST:0"_s);
    row("redirect-port-huge", u"http://HOST:99999999999999999999/"_s, true, u"HOST"_s, 0,
        u"HOST:0"_s);
    row("redirect-port-only", u"http://:8080/"_s, true, QString(), 8080, u":8080"_s);
    // IPv6 addresses: looked up without brackets, named with them.
    row("ipv6", u"http://[::1]:8080/"_s, false, u"::1"_s, 8080, u"[::1]:8080"_s);
    row("ipv6-default-port", u"[::1]/"_s, false, u"::1"_s, 80, u"[::1]"_s);
    row("ipv6-redirect-port", u"http://[::1]:8080/"_s, true, u"::1"_s, 8080, u"[::1]:8080"_s);
    row("ipv6-redirect-bracketed", u"http://[::1]/"_s, true, u"::1"_s, 80, u"[::1]"_s);
    row("ipv6-redirect-bare", u"http://::1/"_s, true, u"::1"_s, 80, u"[::1]"_s);
    // Brackets around anything but an address: the host names nothing to look up.
    row("brackets-nested", u"[[]]/"_s, false, QString(), 80, QString());
    row("brackets-nested-address", u"http://[[::1]]:8080/"_s, true, QString(), 8080, u":8080"_s);
    row("bracket-unclosed", u"http://[::1/"_s, true, QString(), 80, QString());
    // International names: their ASCII form, or nothing that could be looked up.
    row("international", u"b\u00FCcher.example/"_s, false, u"xn--bcher-kva.example"_s, 80,
        u"xn--bcher-kva.example"_s);
    row("international-redirect", u"http://b\u00FCcher.example:8080/"_s, true,
        u"xn--bcher-kva.example"_s, 8080, u"xn--bcher-kva.example:8080"_s);
    row("no-ascii-form", u"a..b\u00FC/"_s, false, QString(), 80, QString());
}

// Where a retrieval connects, and what its Host field says.
void tst_UrlParser::endpoint()
{
    QFETCH(QString, urlText);
    QFETCH(bool, redirecting);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, hostField);

    const Endpoint endpoint = parseUrl(urlText, redirecting)->endpoint();
    QCOMPARE(endpoint.host, host);
    QCOMPARE(endpoint.port, port);
    QCOMPARE(endpoint.hostField(), hostField);
}

QTEST_APPLESS_MAIN(tst_UrlParser)
#include "tst_urlparser.moc"
