// SPDX-License-Identifier: GPL-3.0-or-later
#include "requestlines.h"
#include "urlparser.h"

#include <QTest>

using namespace Qt::StringLiterals;

// The four request lines: what can never stand in a request
// line is percent-encoded and the fragment is not sent; nothing else changes.
class tst_RequestLines : public QObject
{
    Q_OBJECT

private slots:
    void requestLine_data();
    void requestLine();
    void hostLine_data();
    void hostLine();
    void fixedLines();
    void fourLinesWhateverTheUrl_data();
    void fourLinesWhateverTheUrl();
};

namespace {

// Every printable ASCII character but the space and "#".
QString printableAscii()
{
    QString text;
    for (char16_t c = 0x21; c < 0x7F; ++c) {
        if (c != u'#')
            text += QChar(c);
    }
    return text;
}

} // namespace

void tst_RequestLines::requestLine_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("expected"); // the request line without "GET " and its end

    QTest::newRow("plain") << u"/docs/"_s << "/docs/"_ba;
    QTest::newRow("space") << u"/a b"_s << "/a%20b"_ba;
    QTest::newRow("cr-lf-cannot-add-a-line") << u"/a\r\nX-Evil: 1"_s << "/a%0D%0AX-Evil:%201"_ba;
    QTest::newRow("bare-lf") << u"/a\nb"_s << "/a%0Ab"_ba;
    QTest::newRow("tab") << u"/a\tb"_s << "/a%09b"_ba;
    QTest::newRow("lowest-controls") << u"/\x01\x1F"_s << "/%01%1F"_ba;
    QTest::newRow("nul") << u"/a\0b"_s << "/a%00b"_ba;
    QTest::newRow("delete") << u"/\x7F"_s << "/%7F"_ba;
    QTest::newRow("latin-1-as-utf-8") << u"/caf\u00E9"_s << "/caf%C3%A9"_ba;
    QTest::newRow("euro-as-utf-8") << u"/\u20AC"_s << "/%E2%82%AC"_ba;
    QTest::newRow("no-break-space-as-utf-8") << u"/a\u00A0b"_s << "/a%C2%A0b"_ba;
    QTest::newRow("astral-as-utf-8") << u"/\U0001F600"_s << "/%F0%9F%98%80"_ba;
    QTest::newRow("fragment-dropped") << u"/a.html#part"_s << "/a.html"_ba;
    QTest::newRow("fragment-from-first-hash") << u"/a#b#c"_s << "/a"_ba;
    QTest::newRow("fragment-after-query") << u"/a?q=1#f"_s << "/a?q=1"_ba;
    QTest::newRow("fragment-only") << u"/#top"_s << "/"_ba;
    QTest::newRow("fragment-with-cr-lf") << u"/a#\r\nX: y"_s << "/a"_ba;
    QTest::newRow("percent-kept") << u"/100%"_s << "/100%"_ba;
    QTest::newRow("escape-not-doubled") << u"/a%20b"_s << "/a%20b"_ba;
    QTest::newRow("query-kept") << u"/?q=1"_s << "/?q=1"_ba;
    QTest::newRow("colon-kept") << u"/a:b"_s << "/a:b"_ba;
    QTest::newRow("printable-ascii-kept")
        << u"/"_s + printableAscii() << "/" + printableAscii().toLatin1();
}

void tst_RequestLines::requestLine()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, expected);

    QCOMPARE(buildRequestLines(u"h"_s, path)[0], "GET " + expected + " HTTP/1.0\r\n");
}

void tst_RequestLines::hostLine_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("name") << u"www.example.org"_s << "www.example.org"_ba;
    QTest::newRow("with-port") << u"www.example.org:8080"_s << "www.example.org:8080"_ba;
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("cr-lf-cannot-add-a-line") << u"a\r\nX: y"_s << "a%0D%0AX:%20y"_ba;
    QTest::newRow("non-ascii-as-utf-8") << u"b\u00FCcher.example"_s << "b%C3%BCcher.example"_ba;
}

void tst_RequestLines::hostLine()
{
    QFETCH(QString, host);
    QFETCH(QByteArray, expected);

    QCOMPARE(buildRequestLines(host, u"/"_s)[1], "Host: " + expected + "\r\n");
}

void tst_RequestLines::fixedLines()
{
    const RequestLineTable lines = buildRequestLines(u"www.example.org"_s, u"/docs/"_s);

    const RequestLineTable expected = {"GET /docs/ HTTP/1.0\r\n"_ba, "Host: www.example.org\r\n"_ba,
                                       "Accept: text/*\r\n"_ba, "\r\n"_ba};
    QCOMPARE(QByteArrayList(lines.begin(), lines.end()),
             QByteArrayList(expected.begin(), expected.end()));
}

void tst_RequestLines::fourLinesWhateverTheUrl_data()
{
    QTest::addColumn<QString>("urlText");

    QTest::newRow("cr-lf-in-path") << u"h.example/a\r\nX: y\r\n\r\nGET /b"_s;
    QTest::newRow("cr-lf-in-host") << u"h.example\r\nX: y/a"_s;
    QTest::newRow("lone-cr-and-lf") << u"h\r.example/a\nb\rc"_s;
    QTest::newRow("unicode-line-separators") << u"h.example/a\u2028b\u0085c"_s;
}

// Whatever the URL box holds, the request is four lines, each ended by its one CR LF.
void tst_RequestLines::fourLinesWhateverTheUrl()
{
    QFETCH(QString, urlText);

    for (const bool redirecting : {false, true}) {
        const std::optional<ParsedUrl> url = parseUrl(urlText, redirecting);
        QVERIFY(url);
        const RequestLineTable lines = buildRequestLines(url->endpoint().hostField(), url->Path);
        for (const QByteArray &line : lines) {
            QVERIFY2(line.endsWith("\r\n"), line.constData());
            QCOMPARE(line.count('\r') + line.count('\n'), 2);
        }
    }
}

QTEST_APPLESS_MAIN(tst_RequestLines)
#include "tst_requestlines.moc"
