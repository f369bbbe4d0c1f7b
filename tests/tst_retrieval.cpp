// SPDX-License-Identifier: GPL-3.0-or-later
#include "memorywindow.h"
#include "pagebody.h"
#include "responsebuffer.h"
#include "retrieval.h"
#include "scriptedsocket.h"

#include <QTest>

using namespace Qt::StringLiterals;

// Request, reception and redirects: the exact order of the socket calls
// and of the page box's changes on every way through a retrieval, on a scripted socket.
class tst_Retrieval : public QObject
{
    Q_OBJECT

private slots:
    void connectFailure_data();
    void connectFailure();
    void sendFailure_data();
    void sendFailure();
    void requestSent_data();
    void requestSent();
    void receiveError_data();
    void receiveError();
    void headerEndSplit_data();
    void headerEndSplit();
    void statusCheck_data();
    void statusCheck();
    void bodyShown_data();
    void bodyShown();
    void bodyAcrossSlices_data();
    void bodyAcrossSlices();
    void closeWithoutHeaderEnd_data();
    void closeWithoutHeaderEnd();
    void bareLineFeeds_data();
    void bareLineFeeds();
    void redirect_data();
    void redirect();
    void redirectTarget_data();
    void redirectTarget();
    void redirectWithoutLocation_data();
    void redirectWithoutLocation();
    void redirectChain();
    void redirectLimit_data();
    void redirectLimit();
    void pageTooLarge_data();
    void pageTooLarge();
    void slowServer_data();
    void slowServer();
    void defaultLimits();
};

namespace {

using Script = ScriptedSocket::Script;

const QString UrlText = u"a.example/"_s; // parses to host a.example, path /, port 80
const QString Ok = u"HTTP/1.0 200 OK\r\n\r\n"_s;

// A window without widgets that notes each change of its page box among the socket's calls.
class LoggingWindow : public MemoryWindow
{
public:
    LoggingWindow(const QString &url, ScriptedSocket &log)
        : MemoryWindow(url)
        , m_log(log)
    {}

    void setPageText(const QString &text) override
    {
        m_log.note(u"Page("_s + text + u')');
        MemoryWindow::setPageText(text);
    }

    void setPageBody(PageBody body) override
    {
        m_log.note(u"Page("_s + body.text() + u')');
        MemoryWindow::setPageBody(std::move(body));
    }

private:
    ScriptedSocket &m_log;
};

struct Run
{
    RetrievalOutcome outcome;
    QStringList calls;  // socket calls and page box changes, in order
    QStringList faults; // misuses of the socket, and a page box left unset at the end
    QString url;
    QString port;
    QString page;
    bool redirecting;
    std::chrono::milliseconds elapsed; // on the socket's scripted clock
};

qsizetype lastCallStartingWith(const QStringList &calls, QStringView start)
{
    for (qsizetype i = calls.size() - 1; i >= 0; --i) {
        if (calls[i].startsWith(start))
            return i;
    }
    return -1;
}

// One press of Retrieve with `urlText` in the URL box.
Run retrieve(const QString &urlText, QList<Script> scripts, RetrievalLimits limits = {})
{
    ScriptedSocket socket(std::move(scripts));
    LoggingWindow window(urlText, socket);
    limits.clock = [&socket] { return socket.now(); };
    Run run;
    run.outcome = retrievePage(window, socket, limits);
    run.calls = socket.calls();
    run.faults = socket.faults();
    // Every way out sets the page box after the last connection attempt (and after the
    // emptying that starts a retrieval).
    if (lastCallStartingWith(run.calls, u"Page(") <=
        qMax<qsizetype>(0, lastCallStartingWith(run.calls, u"Connect(")))
        run.faults += u"page box not set at the end"_s;
    run.url = window.urlText();
    run.port = window.portCaption();
    run.page = window.pageText();
    run.redirecting = window.redirecting();
    run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        socket.now() - ScriptedSocket::Clock::time_point());
    return run;
}

QString pageCall(const QString &text)
{
    return u"Page("_s + text + u')';
}

// Connect and the four request lines.
QStringList request(const QString &host, const QString &port, const QString &path,
                    const QString &hostLine)
{
    return {u"Connect(%1,%2)"_s.arg(host, port), u"Write(GET "_s + path + u" HTTP/1.0\r\n)"_s,
            u"Write(Host: "_s + hostLine + u"\r\n)"_s, u"Write(Accept: text/*\r\n)"_s,
            u"Write(\r\n)"_s};
}

// The start of every press on UrlText: the page box emptied, connected, request sent.
QStringList start()
{
    return QStringList{pageCall({})} + request(u"a.example"_s, u"80"_s, u"/"_s, u"a.example"_s);
}

QStringList reads(qsizetype count)
{
    return QStringList(count, u"Read"_s);
}

QStringList closedWith(const QString &page)
{
    return {u"Disconnect"_s, pageCall(page)};
}

// Sends `response` as one read, then closes.
Script serving(const QByteArray &response)
{
    return ScriptedSocket::servingChunks({response});
}

} // namespace

void tst_Retrieval::connectFailure_data()
{
    QTest::addColumn<int>("result");

    QTest::newRow("minus-one") << -1;
    QTest::newRow("one") << 1;
    QTest::newRow("refused-code") << 10061;
}

void tst_Retrieval::connectFailure()
{
    QFETCH(int, result);

    const Run run = retrieve(UrlText, {ScriptedSocket::refusing(result)});
    QCOMPARE(run.outcome, RetrievalOutcome::Failed);
    QCOMPARE(run.calls, QStringList({pageCall({}), u"Connect(a.example,80)"_s,
                                     pageCall(u"Connection error!"_s)}));
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::sendFailure_data()
{
    QTest::addColumn<int>("line");
    QTest::addColumn<qsizetype>("result");

    const qsizetype lengths[] = {16, 17, 16, 2}; // GET / HTTP/1.0, Host: a.example, Accept, end
    for (int line = 1; line <= 4; ++line) {
        const qsizetype length = lengths[line - 1];
        QTest::addRow("line-%d-error", line) << line << qsizetype(-1);
        QTest::addRow("line-%d-nothing-sent", line) << line << qsizetype(0);
        QTest::addRow("line-%d-one-short", line) << line << length - 1;
        QTest::addRow("line-%d-one-too-many", line) << line << length + 1;
    }
}

void tst_Retrieval::sendFailure()
{
    QFETCH(int, line);
    QFETCH(qsizetype, result);

    Script script = serving(Ok.toLatin1());
    script.writeResults = QList<std::optional<qsizetype>>(line - 1) << result;
    const Run run = retrieve(UrlText, {script});
    QCOMPARE(run.outcome, RetrievalOutcome::Failed);
    QCOMPARE(run.calls, start().first(2 + line) + closedWith(u"Error sending request!"_s));
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::requestSent_data()
{
    QTest::addColumn<QString>("urlText");
    QTest::addColumn<QStringList>("request");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("port");

    QTest::newRow("directory") << u"www.example.org/docs"_s
                               << request(u"www.example.org"_s, u"80"_s, u"/docs/"_s,
                                          u"www.example.org"_s)
                               << u"http://www.example.org/docs/"_s << u"80"_s;
    // The Host field names the port unless it is 80; the URL box never does.
    QTest::newRow("port-in-host") << u"http://www.example.org:8080/docs"_s
                                  << request(u"www.example.org"_s, u"8080"_s, u"/docs/"_s,
                                             u"www.example.org:8080"_s)
                                  << u"http://www.example.org/docs/"_s << u"8080"_s;
    QTest::newRow("port-80-not-named")
        << u"www.example.org:80/"_s
        << request(u"www.example.org"_s, u"80"_s, u"/"_s, u"www.example.org"_s)
        << u"http://www.example.org/"_s << u"80"_s;
    QTest::newRow("port-in-path-host-keeps-colon")
        << u"www.example.org:81/a:b"_s
        << request(u"www.example.org"_s, u"0"_s, u"/a"_s, u"www.example.org:0"_s)
        << u"http://www.example.org:81/a"_s << u"0"_s;
    QTest::newRow("ipv6-literal") << u"[::1]:8080/"_s
                                  << request(u"::1"_s, u"8080"_s, u"/"_s, u"[::1]:8080"_s)
                                  << u"http://[::1]/"_s << u"8080"_s;
    QTest::newRow("ipv6-literal-port-80")
        << u"http://[::1]/"_s << request(u"::1"_s, u"80"_s, u"/"_s, u"[::1]"_s)
        << u"http://[::1]/"_s << u"80"_s;
    // An international name is looked up and named in its ASCII form.
    QTest::newRow("international-name")
        << u"bücher.example/"_s
        << request(u"xn--bcher-kva.example"_s, u"80"_s, u"/"_s, u"xn--bcher-kva.example"_s)
        << u"http://bücher.example/"_s << u"80"_s;
    QTest::newRow("empty-url") << QString() << request(QString(), u"80"_s, u"/"_s, QString())
                               << u"http:///"_s << u"80"_s;
    QTest::newRow("space-and-fragment")
        << u"a.example/my page.html#top"_s
        << request(u"a.example"_s, u"80"_s, u"/my%20page.html"_s, u"a.example"_s)
        << u"http://a.example/my page.html#top"_s << u"80"_s;
    QTest::newRow("cr-lf-in-path")
        << u"a.example/x.html\r\nEvil-Line"_s
        << request(u"a.example"_s, u"80"_s, u"/x.html%0D%0AEvil-Line"_s, u"a.example"_s)
        << u"http://a.example/x.html\r\nEvil-Line"_s << u"80"_s;
}

void tst_Retrieval::requestSent()
{
    QFETCH(QString, urlText);
    QFETCH(QStringList, request);
    QFETCH(QString, url);
    QFETCH(QString, port);

    const Run run = retrieve(urlText, {serving("HTTP/1.0 200 OK\r\n\r\npage")});
    QCOMPARE(run.outcome, RetrievalOutcome::PageShown);
    QCOMPARE(run.calls, QStringList{pageCall({})} + request + reads(2) + closedWith(u"page"_s));
    QCOMPARE(run.url, url);
    QCOMPARE(run.port, port);
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::receiveError_data()
{
    QTest::addColumn<QByteArrayList>("before"); // the reads that deliver data before the error
    QTest::addColumn<int>("lastError");

    QTest::newRow("first-read") << QByteArrayList() << 104;
    QTest::newRow("inside-status-line") << QByteArrayList{"HTTP/1.0 2"} << 104;
    QTest::newRow("blank-line-incomplete") << QByteArrayList{"HTTP/1.0 200 OK\r\n\r"} << 110;
    QTest::newRow("right-after-header") << QByteArrayList{Ok.toLatin1()} << 110;
    QTest::newRow("inside-body") << QByteArrayList{Ok.toLatin1() + "part", "more"} << 104;
    QTest::newRow("redirect-not-followed")
        << QByteArrayList{"HTTP/1.0 301 Moved\r\nLocation: http://b.example/\r\n\r\n"} << 104;
    QTest::newRow("zero-error") << QByteArrayList() << 0;
    QTest::newRow("negative-error") << QByteArrayList() << -1;
    QTest::newRow("largest-error") << QByteArrayList() << 2147483647;
}

void tst_Retrieval::receiveError()
{
    QFETCH(QByteArrayList, before);
    QFETCH(int, lastError);

    Script script = ScriptedSocket::servingChunks(before);
    script.reads += ScriptedSocket::readError();
    script.reads += ScriptedSocket::data("never read");
    script.lastError = lastError;
    const Run run = retrieve(UrlText, {script});
    QCOMPARE(run.outcome, RetrievalOutcome::Failed);
    const QString message = u"Error receiving data! - "_s + QString::number(lastError);
    QCOMPARE(run.calls, start() + reads(before.size() + 1) + QStringList{u"LastError"_s} +
                            closedWith(message));
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::headerEndSplit_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<int>("readCount"); // Read calls up to the verdict, the close included
    QTest::addColumn<QString>("page");

    const QByteArray page = "HTTP/1.0 200 OK\r\nServer: t\r\n\r\nbody\r\n\r\nend";
    const QByteArray lfPage = "HTTP/1.0 200 OK\nServer: t\n\r\nbody\r\n\r\nend";
    const QString body = u"body\r\n\r\nend"_s;
    QTest::newRow("crlfcr|lf") << QByteArrayList{"HTTP/1.0 200 OK\r\n\r", "\nbody"} << 3
                               << u"body"_s;
    QTest::newRow("crlf|crlf") << QByteArrayList{"HTTP/1.0 200 OK\r\n", "\r\nbody"} << 3
                               << u"body"_s;
    QTest::newRow("cr|lf|cr|lf") << QByteArrayList{"HTTP/1.0 200 OK\r", "\n", "\r", "\nbody"} << 5
                                 << u"body"_s;
    for (qsizetype at = 1; at < page.size(); ++at) {
        QTest::addRow("200-split-at-%d", int(at))
            << QByteArrayList{page.first(at), page.sliced(at)} << 3 << body;
    }
    for (qsizetype at = 1; at < lfPage.size(); ++at) {
        QTest::addRow("200-lf-split-at-%d", int(at))
            << QByteArrayList{lfPage.first(at), lfPage.sliced(at)} << 3 << body;
    }
    QByteArrayList bytes;
    for (const char c : page)
        bytes += QByteArray(1, c);
    QTest::newRow("200-byte-by-byte") << bytes << int(page.size() + 1) << body;

    // A rejected status ends the retrieval in the read that completes the header.
    const QByteArray notFound = "HTTP/1.0 404 Not Found\r\nServer: t\r\n\r\nbody";
    const qsizetype headerEnd = notFound.indexOf("\r\n\r\n") + 4;
    for (qsizetype at = 1; at < notFound.size(); ++at) {
        QTest::addRow("404-split-at-%d", int(at))
            << QByteArrayList{notFound.first(at), notFound.sliced(at), "more"}
            << (at >= headerEnd ? 1 : 2) << u"Error: 404"_s;
    }
    const QByteArray lfNotFound = "HTTP/1.0 404 Not Found\nServer: t\n\nbody";
    const qsizetype lfHeaderEnd = lfNotFound.indexOf("\n\n") + 2;
    for (qsizetype at = 1; at < lfNotFound.size(); ++at) {
        QTest::addRow("404-lf-split-at-%d", int(at))
            << QByteArrayList{lfNotFound.first(at), lfNotFound.sliced(at), "more"}
            << (at >= lfHeaderEnd ? 1 : 2) << u"Error: 404"_s;
    }
    bytes.clear();
    for (const char c : notFound)
        bytes += QByteArray(1, c);
    QTest::newRow("404-byte-by-byte") << bytes << int(headerEnd) << u"Error: 404"_s;
}

void tst_Retrieval::headerEndSplit()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(int, readCount);
    QFETCH(QString, page);

    const Run run = retrieve(UrlText, {ScriptedSocket::servingChunks(chunks)});
    QCOMPARE(run.calls, start() + reads(readCount) + closedWith(page));
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::statusCheck_data()
{
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QString>("page"); // "body" when the status passes

    const auto accepted = [](const char *name, const QByteArray &statusLine) {
        QTest::newRow(name) << statusLine << u"body"_s;
    };
    const auto rejected = [](const char *name, const QByteArray &statusLine, const QString &code) {
        QTest::newRow(name) << statusLine << u"Error: "_s + code;
    };
    rejected("199", "HTTP/1.0 199 Early", u"199"_s);
    accepted("200", "HTTP/1.0 200 OK");
    accepted("300-not-a-redirect", "HTTP/1.0 300 Multiple Choices");
    accepted("399-not-a-redirect", "HTTP/1.0 399 Whatever");
    rejected("400", "HTTP/1.0 400 Bad Request", u"400"_s);
    rejected("404", "HTTP/1.0 404 Not Found", u"404"_s);
    rejected("500", "HTTP/1.1 500 Internal Server Error", u"500"_s);
    rejected("no-space", "HTTP/1.0", u"0"_s);
    rejected("tab-instead-of-space", "HTTP/1.0\t200 OK", u"0"_s);
    rejected("no-number-after-space", "HTTP/1.0 OK", u"0"_s);
    rejected("empty-status-line", "", u"0"_s);
    accepted("leading-spaces", "   HTTP/1.0 200 OK");
    accepted("trailing-spaces", "HTTP/1.0 200   ");
    accepted("two-spaces-before-code", "HTTP/1.0  200 OK");
    accepted("blank-inside-code", "HTTP/1.0 2 0 0 OK");
    accepted("hexadecimal-code", "HTTP/1.0 &HC8");
    accepted("fraction-inside-range", "HTTP/1.0 250.5");
    rejected("fraction-below-range", "HTTP/1.0 199.5", u"199.5"_s);
    rejected("fraction-above-range", "HTTP/1.0 399.5", u"399.5"_s);
    rejected("exponent-code", "HTTP/1.0 4E2", u"400"_s);
    rejected("negative-code", "HTTP/1.0 -200", u"-200"_s);
    rejected("code-beyond-double-range", "HTTP/1.0 1e999", u"inf"_s);
}

void tst_Retrieval::statusCheck()
{
    QFETCH(QByteArray, statusLine);
    QFETCH(QString, page);

    // A Location line too, to show that 300 and 399 are no redirects.
    const QByteArray header = statusLine + "\r\nLocation: http://b.example/\r\n\r\n";
    const Run run = retrieve(UrlText, {ScriptedSocket::servingChunks({header, "body"})});
    const bool accepted = page == u"body"_s;
    QCOMPARE(run.outcome, accepted ? RetrievalOutcome::PageShown : RetrievalOutcome::Failed);
    QCOMPARE(run.calls, start() + reads(accepted ? 3 : 1) + closedWith(page));
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::bodyShown_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QString>("page");

    const QByteArray ok = Ok.toLatin1();
    QTest::newRow("header-and-body-in-one-read") << QByteArrayList{ok + "body"} << u"body"_s;
    QTest::newRow("body-over-several-reads") << QByteArrayList{ok, "ab", "cd"} << u"abcd"_s;
    QTest::newRow("empty-body") << QByteArrayList{ok} << QString();
    QTest::newRow("body-with-blank-line") << QByteArrayList{ok + "a\r\n\r\nb"} << u"a\r\n\r\nb"_s;
    QTest::newRow("body-starting-with-blank-line")
        << QByteArrayList{ok + "\r\n\r\nb"} << u"\r\n\r\nb"_s;
    QTest::newRow("long-header") << QByteArrayList{"HTTP/1.0 200 OK\r\nX-Pad: " +
                                                   QByteArray(5000, 'p') + "\r\n\r\nbody"}
                                 << u"body"_s;
    QTest::newRow("long-body") << QByteArrayList{ok + QByteArray(10000, 'b')}
                               << QString(10000, u'b');
    QTest::newRow("line-ends-kept") << QByteArrayList{ok + "a\r\nb\nc\rd"} << u"a\r\nb\nc\rd"_s;
    QTest::newRow("utf-8") << QByteArrayList{ok + "caf\xC3\xA9 \xE2\x82\xAC"}
                           << u"caf\u00E9 \u20AC"_s;
    QTest::newRow("utf-8-split-across-reads")
        << QByteArrayList{ok + "caf\xC3", "\xA9"} << u"caf\u00E9"_s;
    QTest::newRow("byte-order-mark-kept") << QByteArrayList{ok + "\xEF\xBB\xBFx"} << u"\uFEFFx"_s;
    QTest::newRow("windows-1252") << QByteArrayList{ok + "\x80 5"} << u"\u20AC 5"_s;
    QTest::newRow("windows-1252-when-not-all-utf-8")
        << QByteArrayList{ok + "\xC3\xA9\x80"} << u"\u00C3\u00A9\u20AC"_s;
    QTest::newRow("windows-1252-undefined-bytes")
        << QByteArrayList{ok + "\x81\x8D\x8F\x90\x9D"} << u"\u0081\u008D\u008F\u0090\u009D"_s;
    QTest::newRow("windows-1252-for-encoded-surrogate")
        << QByteArrayList{ok + "\xED\xA0\x80"} << u"\u00ED\u00A0\u20AC"_s;
    QTest::newRow("windows-1252-for-overlong-utf-8")
        << QByteArrayList{ok + "\xC0\xAF"} << u"\u00C0\u00AF"_s;
    QTest::newRow("nul-bytes-kept") << QByteArrayList{ok + QByteArray("a\0b\0", 4)} << u"a\0b\0"_s;
    QTest::newRow("nul-bytes-kept-in-windows-1252")
        << QByteArrayList{ok + QByteArray("\0\x80", 2)} << u"\0\u20AC"_s;
}

void tst_Retrieval::bodyShown()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QString, page);

    // Whatever has arrived is taken by one read, and one more finds the close.
    const qsizetype readCount = chunks.size() + 1;
    const Run run = retrieve(UrlText, {ScriptedSocket::servingChunks(chunks)});
    QCOMPARE(run.outcome, RetrievalOutcome::PageShown);
    QCOMPARE(run.page, page);
    QCOMPARE(run.calls, start() + reads(readCount) + closedWith(page));
    QCOMPARE(run.faults, QStringList());
}

// A large body is turned into text, and into UTF-8, a slice at a time: a character split
// between two slices, a byte-order mark and a body that turns out not to be UTF-8 only in
// its last byte all come out as from the body whole.
void tst_Retrieval::bodyAcrossSlices_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("text");

    constexpr qsizetype MiB = 1024 * 1024;
    const QByteArray a(MiB - 1, 'a');
    const QByteArray b(MiB - 2, 'b');
    QTest::newRow("utf-8-split-between-slices")
        << a + "\xC3\xA9" + b + "\xE2\x82\xAC\xF0\x9F\x98\x80z"
        << QString::fromLatin1(a) + u"\u00E9"_s + QString::fromLatin1(b) + u"\u20AC\U0001F600z"_s;
    QTest::newRow("windows-1252-across-slices")
        << a + "\x80\x9F" + b + "\xE9"
        << QString::fromLatin1(a) + u"\u20AC\u0178"_s + QString::fromLatin1(b) + u"\u00E9"_s;
    QTest::newRow("invalid-in-last-byte")
        << a + b + "\xC3\xA9\xC3" << QString::fromLatin1(a + b) + u"\u00C3\u00A9\u00C3"_s;
    QTest::newRow("byte-order-mark-kept")
        << "\xEF\xBB\xBF" + a << u"\uFEFF"_s + QString::fromLatin1(a);
}

void tst_Retrieval::bodyAcrossSlices()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, text);

    const QByteArray response = Ok.toLatin1() + body;
    ResponseBuffer buffer(response.size());
    for (qsizetype at = 0; at < response.size();) {
        const std::span<char> room = buffer.roomAtEnd(response.size() - at);
        QVERIFY(!room.empty());
        std::copy_n(response.constData() + at, room.size(), room.data());
        buffer.append(qsizetype(room.size()));
        at += qsizetype(room.size());
    }
    PageBody page(std::move(buffer), Ok.size());

    QByteArray written;
    QVERIFY(page.writeUtf8([&written](QByteArrayView slice) {
        written += slice;
        return true;
    }));
    QCOMPARE(written, text.toUtf8());
    QCOMPARE(page.isUtf8(), body == text.toUtf8()); // then what is written is the body itself
    QCOMPARE(page.takeText(), text);
}

void tst_Retrieval::closeWithoutHeaderEnd_data()
{
    QTest::addColumn<QByteArrayList>("chunks");

    QTest::newRow("empty-response") << QByteArrayList();
    QTest::newRow("one-byte") << QByteArrayList{"H"};
    QTest::newRow("two-bytes") << QByteArrayList{"HT"};
    QTest::newRow("status-line-only") << QByteArrayList{"HTTP/1.0 200 OK\r\n"};
    QTest::newRow("header-without-blank-line") << QByteArrayList{"HTTP/1.0 200 OK\r\n", "X: y\r\n"};
    QTest::newRow("blank-line-cut-short") << QByteArrayList{"HTTP/1.0 200 OK\r\n\r"};
    QTest::newRow("redirect-without-blank-line")
        << QByteArrayList{"HTTP/1.0 301 Moved\r\nLocation: http://b.example/\r\n"};
}

void tst_Retrieval::closeWithoutHeaderEnd()
{
    QFETCH(QByteArrayList, chunks);

    const Run run = retrieve(UrlText, {ScriptedSocket::servingChunks(chunks)});
    QCOMPARE(run.outcome, RetrievalOutcome::Failed);
    QCOMPARE(run.calls, start() + reads(chunks.size() + 1) + closedWith(u"Error: 0"_s));
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::bareLineFeeds_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QString>("url"); // the URL box afterwards
    QTest::addColumn<QString>("page");

    // A bare LF ends a line and takes nothing else with it.
    const QString here = u"http://a.example/"_s;
    QTest::newRow("status-line-rejected")
        << "HTTP/1.0 404\nX: y\r\n\r\nbody"_ba << here << u"Error: 404"_s;
    QTest::newRow("status-line-accepted")
        << "HTTP/1.0 200\nX: y\r\n\r\nbody"_ba << here << u"body"_s;
    QTest::newRow("cr-before-bare-lf-kept")
        << "HTTP/1.0 200\r\r\nX: y\r\n\r\nbody"_ba << here << u"body"_s;
    QTest::newRow("location-line")
        << "HTTP/1.0 302 Found\r\nLocation: http://b.example/ab\nX: y\r\n\r\n"_ba
        << u"http://b.example/ab"_s << u"Connection error!"_s;
    // The first empty line ends the header, whatever ends its lines.
    QTest::newRow("empty-line-before-location")
        << "HTTP/1.0 302 Found\r\n\nLocation: http://b.example/c\r\n\r\n"_ba << here
        << u"Location: http://b.example/c\r\n\r\n"_s;
    QTest::newRow("lf-lf") << "HTTP/1.0 200 OK\nX: y\n\nbody\n"_ba << here << u"body\n"_s;
    QTest::newRow("lf-crlf") << "HTTP/1.0 200 OK\nX: y\n\r\nbody"_ba << here << u"body"_s;
    QTest::newRow("crlf-lf") << "HTTP/1.0 200 OK\r\nX: y\r\n\nbody"_ba << here << u"body"_s;
    QTest::newRow("cgi-script-header")
        << "HTTP/1.0 200 Script output follows\r\nServer: t\r\nContent-Type: text/plain\n\nq=1\n"_ba
        << here << u"q=1\n"_s;
    QTest::newRow("first-empty-line-wins")
        << "HTTP/1.0 200 OK\nX: y\n\nbody\r\n\r\nmore"_ba << here << u"body\r\n\r\nmore"_s;
    QTest::newRow("lf-only-404") << "HTTP/1.0 404 Not Found\n\nbody"_ba << here << u"Error: 404"_s;
    QTest::newRow("lf-only-redirect") << "HTTP/1.0 302 Found\nLocation: http://b.example/d\n\n"_ba
                                      << u"http://b.example/d"_s << u"Connection error!"_s;
    QTest::newRow("empty-first-line")
        << "\nHTTP/1.0 200 OK\r\n\r\nbody"_ba << here << u"Error: 0"_s;
}

void tst_Retrieval::bareLineFeeds()
{
    QFETCH(QByteArray, response);
    QFETCH(QString, url);
    QFETCH(QString, page);

    const Run run = retrieve(UrlText, {serving(response), ScriptedSocket::refusing()});
    QCOMPARE(run.url, url);
    QCOMPARE(run.page, page);
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::redirect_data()
{
    QTest::addColumn<QByteArray>("code");

    for (const char *code : {"301", "302", "303", "307", "308", "398", "300.5"})
        QTest::newRow(code) << QByteArray(code);
}

void tst_Retrieval::redirect()
{
    QFETCH(QByteArray, code);

    const QByteArray moved = "HTTP/1.0 " + code + " Moved\r\nLocation: http://b.example:8080/docs" +
                             "\r\n\r\nmoved body";
    const Run run = retrieve(UrlText, {serving(moved), serving("HTTP/1.0 200 OK\r\n\r\nnew page")});
    // The nested retrieval takes the URL as it stands: no slash added, the port kept in the
    // URL box and named in the Host field.
    const QStringList nested = QStringList{pageCall({})} +
                               request(u"b.example"_s, u"8080"_s, u"/docs"_s, u"b.example:8080"_s) +
                               reads(2) + closedWith(u"new page"_s);
    QCOMPARE(run.calls, start() + reads(2) + QStringList{u"Disconnect"_s} + nested);
    QCOMPARE(run.url, u"http://b.example:8080/docs"_s);
    QCOMPARE(run.port, QString());
    QCOMPARE(run.page, u"new page"_s);
    QCOMPARE(run.redirecting, false);
    QCOMPARE(run.outcome, RetrievalOutcome::PageShown);
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::redirectTarget_data()
{
    QTest::addColumn<QString>("urlText");
    QTest::addColumn<QByteArray>("headerLines"); // between the status line and the blank line
    QTest::addColumn<QString>("url");            // the URL box afterwards
    QTest::addColumn<QStringList>("nested");     // the calls of the nested retrieval

    const QString base = u"a.example/dir/page.html"_s;
    const auto refused = [](const QString &host, int port = 80) {
        return QStringList{pageCall({}), u"Connect(%1,%2)"_s.arg(host).arg(port),
                           pageCall(u"Connection error!"_s)};
    };
    const QStringList toB = refused(u"b.example"_s);
    QTest::newRow("absolute") << base << "Location: http://b.example/x"_ba
                              << u"http://b.example/x"_s << toB;
    QTest::newRow("content-location-first")
        << base << "Content-Location: http://c.example/\r\nLocation: http://b.example/x"_ba
        << u"http://b.example/x"_s << toB;
    QTest::newRow("longer-name-first")
        << base << "Location-Hint: http://c.example/\r\nLocation: http://b.example/x"_ba
        << u"http://b.example/x"_s << toB;
    QTest::newRow("word-in-value-first")
        << base << "Link: <http://c.example/>; rel=Location\r\nLocation: http://b.example/x"_ba
        << u"http://b.example/x"_s << toB;
    QTest::newRow("first-of-two")
        << base << "Location: http://b.example/1\r\nLocation: http://c.example/2"_ba
        << u"http://b.example/1"_s << toB;
    QTest::newRow("lower-case-name")
        << base << "location: http://b.example/x"_ba << u"http://b.example/x"_s << toB;
    QTest::newRow("upper-case-name")
        << base << "LOCATION: http://b.example/x"_ba << u"http://b.example/x"_s << toB;
    QTest::newRow("no-space-after-colon")
        << base << "Location:http://b.example/x"_ba << u"http://b.example/x"_s << toB;
    QTest::newRow("blanks-around-name-and-value")
        << base << "Location \t: \t http://b.example/x \t"_ba << u"http://b.example/x"_s << toB;
    QTest::newRow("utf-8-in-value") << base << "Location: http://b.example/caf\xC3\xA9"_ba
                                    << u"http://b.example/caf\u00E9"_s << toB;
    QTest::newRow("after-a-long-header")
        << base << "X-Pad: " + QByteArray(5000, 'p') + "\r\nLocation: http://b.example/x"
        << u"http://b.example/x"_s << toB;
    // Relative Locations resolve against the URL that was fetched, with its port.
    const QStringList toA = refused(u"a.example"_s);
    QTest::newRow("slash-kept") << base << "Location:/x"_ba << u"http://a.example/x"_s << toA;
    QTest::newRow("relative-path")
        << base << "Location: next.html"_ba << u"http://a.example/dir/next.html"_s << toA;
    QTest::newRow("dot-segments") << base << "Location: ../up/"_ba << u"http://a.example/up/"_s
                                  << toA;
    QTest::newRow("query-only") << base << "Location: ?page=2"_ba
                                << u"http://a.example/dir/page.html?page=2"_s << toA;
    QTest::newRow("network-path") << base << "Location: //c.example/p"_ba << u"http://c.example/p"_s
                                  << refused(u"c.example"_s);
    QTest::newRow("url-in-query") << base << "Location: /login?next=http://c.example/"_ba
                                  << u"http://a.example/login?next=http://c.example/"_s << toA;
    QTest::newRow("fragment") << base << "Location: /x#top"_ba << u"http://a.example/x#top"_s
                              << toA;
    QTest::newRow("port-of-base-kept")
        << u"a.example:8080/dir/page.html"_s << "Location: /x"_ba << u"http://a.example:8080/x"_s
        << refused(u"a.example"_s, 8080);
    QTest::newRow("port-80-not-written")
        << u"a.example:80/dir/page.html"_s << "Location: /x"_ba << u"http://a.example/x"_s << toA;
    QTest::newRow("other-scheme")
        << base << "Location: ftp://b.example/"_ba << u"ftp://b.example/"_s
        << QStringList{pageCall({}), pageCall(u"Error: Only HTTP protcol is supported"_s)};
    // A URL is fetched whole up to the limit; a longer one is not fetched at all.
    const qsizetype longest = RetrievalLimits().maxUrlLength;
    const QByteArray longestUrl = "http://b.example/" + QByteArray(longest - 17, 'p');
    QTest::newRow("target-at-the-length-limit")
        << base << "Location: " + longestUrl << QString::fromLatin1(longestUrl) << toB;
    QTest::newRow("target-over-the-length-limit")
        << base << "Location: " + longestUrl + 'p' << u"http://a.example/dir/page.html"_s
        << QStringList{pageCall(u"Error: URL too long (over 65536 characters)"_s)};
}

void tst_Retrieval::redirectTarget()
{
    QFETCH(QString, urlText);
    QFETCH(QByteArray, headerLines);
    QFETCH(QString, url);
    QFETCH(QStringList, nested);

    const QByteArray moved = "HTTP/1.0 301 Moved\r\n" + headerLines + "\r\n\r\n";
    const Run run = retrieve(urlText, {serving(moved), ScriptedSocket::refusing()});
    const qsizetype outerEnd = run.calls.indexOf(u"Disconnect"_s) + 1;
    QCOMPARE(run.calls.sliced(outerEnd), nested);
    QCOMPARE(run.url, url);
    QCOMPARE(run.redirecting, false);
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::redirectWithoutLocation_data()
{
    QTest::addColumn<QByteArray>("header");

    QTest::newRow("no-location") << "HTTP/1.0 301 Moved\r\nServer: t\r\n\r\n"_ba;
    QTest::newRow("content-location-only")
        << "HTTP/1.0 302 Found\r\nContent-Location: http://b.example/\r\n\r\n"_ba;
    QTest::newRow("location-without-colon")
        << "HTTP/1.0 307 Temporary\r\nLocation http://b.example/\r\n\r\n"_ba;
    QTest::newRow("location-in-status-line")
        << "HTTP/1.0 301 Location: http://b.example/\r\n\r\n"_ba;
}

// A redirect status without a Location line shows its body, like a 300.
void tst_Retrieval::redirectWithoutLocation()
{
    QFETCH(QByteArray, header);

    const Run run = retrieve(UrlText, {serving(header + "moved body"), serving(Ok.toLatin1())});
    QCOMPARE(run.calls, start() + reads(2) + closedWith(u"moved body"_s));
    QCOMPARE(run.outcome, RetrievalOutcome::PageShown);
    QCOMPARE(run.faults, QStringList());
}

// A relative Location met after a redirect resolves against the URL of that redirect.
void tst_Retrieval::redirectChain()
{
    const Run run =
        retrieve(u"a.example:8080/"_s,
                 {serving("HTTP/1.0 301 Moved\r\nLocation: http://b.example:81/d/\r\n\r\n"),
                  serving("HTTP/1.0 302 Found\r\nLocation: x?y\r\n\r\n"),
                  serving("HTTP/1.0 200 OK\r\n\r\ndone")});
    const QStringList expected = QStringList{pageCall({})} +
                                 request(u"a.example"_s, u"8080"_s, u"/"_s, u"a.example:8080"_s) +
                                 reads(2) + QStringList{u"Disconnect"_s, pageCall({})} +
                                 request(u"b.example"_s, u"81"_s, u"/d/"_s, u"b.example:81"_s) +
                                 reads(2) + QStringList{u"Disconnect"_s, pageCall({})} +
                                 request(u"b.example"_s, u"81"_s, u"/d/x?y"_s, u"b.example:81"_s) +
                                 reads(2) + closedWith(u"done"_s);
    QCOMPARE(run.calls, expected);
    QCOMPARE(run.url, u"http://b.example:81/d/x?y"_s);
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::redirectLimit_data()
{
    QTest::addColumn<int>("redirects");       // the redirect statuses met, one per connection
    QTest::addColumn<int>("connectDelayMs");  // how long each connection takes to be made
    QTest::addColumn<int>("responseDelayMs"); // how long each response takes to come
    QTest::addColumn<int>("connections");
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("elapsedMs"); // on the scripted clock when the press ends

    QTest::newRow("twenty-followed") << 20 << 0 << 0 << 21 << u"final page"_s << 0;
    QTest::newRow("twenty-first-refused")
        << 21 << 0 << 0 << 21 << u"Error: Too many redirects"_s << 0;
    // The whole press, redirects included, ends 300 s after it started, with the message of
    // the wait that ran out: each connection alone stays well within its own limits.
    QTest::newRow("slow-chain-cut-while-receiving")
        << 20 << 0 << 29'000 << 11 << u"Error receiving data! - 110"_s << 300'000;
    QTest::newRow("slow-chain-cut-while-connecting")
        << 20 << 20'000 << 9'000 << 11 << u"Connection error!"_s << 300'000;
}

void tst_Retrieval::redirectLimit()
{
    QFETCH(int, redirects);
    QFETCH(int, connectDelayMs);
    QFETCH(int, responseDelayMs);
    QFETCH(int, connections);
    QFETCH(QString, page);
    QFETCH(int, elapsedMs);

    QList<Script> scripts;
    for (int i = 0; i < redirects; ++i) {
        scripts += serving("HTTP/1.0 302 Found\r\nLocation: http://h" + QByteArray::number(i + 1) +
                           ".example/\r\n\r\n");
    }
    scripts += serving("HTTP/1.0 200 OK\r\n\r\nfinal page");
    for (Script &script : scripts) {
        script.connectDelay = std::chrono::milliseconds(connectDelayMs);
        script.reads.first().delay = std::chrono::milliseconds(responseDelayMs);
    }
    const Run run = retrieve(u"h0.example/"_s, scripts);
    const bool lastMade = page != u"Connection error!"_s;
    QCOMPARE(run.calls.count(u"Disconnect"_s), connections - (lastMade ? 0 : 1));
    QCOMPARE(run.calls.filter(u"Connect("_s).size(), connections);
    QCOMPARE(run.calls.last(), pageCall(page));
    QCOMPARE(run.url, u"http://h%1.example/"_s.arg(connections - 1));
    QCOMPARE(run.elapsed.count(), elapsedMs);
    QCOMPARE(run.redirecting, false);
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::pageTooLarge_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<int>("readCount"); // Read calls up to the verdict, the close included
    QTest::addColumn<QString>("page");

    // The limit is 64 bytes; Ok is 19 of them.
    const QByteArray ok = Ok.toLatin1();
    const QString tooLarge = u"Error: Page too large"_s;
    QTest::newRow("at-limit") << QByteArrayList{ok + QByteArray(45, 'b')} << 2 << QString(45, u'b');
    QTest::newRow("one-over") << QByteArrayList{ok + QByteArray(46, 'b'), "never read"} << 1
                              << tooLarge;
    QTest::newRow("at-limit-over-reads")
        << QByteArrayList{ok, QByteArray(40, 'b'), "bbbbb"} << 4 << QString(45, u'b');
    QTest::newRow("over-in-a-later-read")
        << QByteArrayList{ok, QByteArray(40, 'b'), "bbbbbb", "never read"} << 3 << tooLarge;
    QTest::newRow("over-before-header-end")
        << QByteArrayList{QByteArray(65, 'h'), "never read"} << 1 << tooLarge;
}

void tst_Retrieval::pageTooLarge()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(int, readCount);
    QFETCH(QString, page);

    RetrievalLimits limits;
    limits.maxResponseBytes = 64;
    const Run run = retrieve(UrlText, {ScriptedSocket::servingChunks(chunks)}, limits);
    QCOMPARE(run.calls, start() + reads(readCount) + closedWith(page));
    QCOMPARE(run.faults, QStringList());
}

void tst_Retrieval::slowServer_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<int>("delayMs"); // how long each chunk takes to come
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("elapsedMs"); // on the scripted clock when the retrieval ends

    // The response may take 60 s from the request, plus 1 s for every 4 KiB that has come,
    // and 300 s at most.
    const QString timedOut = u"Error receiving data! - 110"_s;
    QByteArrayList trickle;
    for (const char c : QByteArrayView("HTTP/1.0 200 OK\r\n\r\nbody"))
        trickle += QByteArray(1, c);
    QTest::newRow("byte-every-29-s") << trickle << 29'000 << timedOut << 60'000;
    QTest::newRow("silent") << QByteArrayList{Ok.toLatin1()} << 61'000 << timedOut << 60'000;
    QTest::newRow("within-60-s") << QByteArrayList{Ok.toLatin1() + "late"} << 59'999 << u"late"_s
                                 << 59'999;
    const QByteArray oneKiB(1024, 'x');
    QTest::newRow("1-kib-per-second-cut-at-80-s")
        << QByteArrayList{Ok.toLatin1()} + QByteArrayList(100, oneKiB) << 1'000 << timedOut
        << 79'504;
    const QByteArray fourKiB(4096, 'x');
    QTest::newRow("4-kib-per-second-until-299-s")
        << QByteArrayList{Ok.toLatin1()} + QByteArrayList(298, fourKiB) << 1'000
        << QString(298 * 4096, u'x') << 299'000;
    QTest::newRow("4-kib-per-second-cut-at-300-s")
        << QByteArrayList{Ok.toLatin1()} + QByteArrayList(400, fourKiB) << 1'000 << timedOut
        << 300'000;
}

// A server that sends a byte now and then cannot hold the window for ever.
void tst_Retrieval::slowServer()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(int, delayMs);
    QFETCH(QString, page);
    QFETCH(int, elapsedMs);

    Script script = ScriptedSocket::servingChunks(chunks);
    for (ScriptedSocket::ReadStep &step : script.reads)
        step.delay = std::chrono::milliseconds(delayMs);
    const Run run = retrieve(UrlText, {script});
    QCOMPARE(run.page, page);
    QCOMPARE(run.elapsed.count(), elapsedMs);
    QCOMPARE(run.calls.last(2), closedWith(page));
    QCOMPARE(run.faults, QStringList());
}

// The program's own limits: 20 redirects, 256 MiB of response, 60 s and 1 s per 4 KiB,
// 300 s at most, and 300 s for the whole press.
void tst_Retrieval::defaultLimits()
{
    const RetrievalLimits limits;
    QCOMPARE(limits.maxRedirects, 20);
    QCOMPARE(limits.maxResponseBytes, qsizetype(256) * 1024 * 1024);
    QCOMPARE(limits.receiveAllowance, std::chrono::seconds(60));
    QCOMPARE(limits.receiveAllowancePer4KiB, std::chrono::seconds(1));
    QCOMPARE(limits.maxReceiveTime, std::chrono::seconds(300));
    QCOMPARE(limits.maxPressTime, std::chrono::seconds(300));
}

QTEST_APPLESS_MAIN(tst_Retrieval)
#include "tst_retrieval.moc"
