// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes a whole press of Retrieve on a window without widgets, the network played back
// from the input: failing connections and writes, the responses, where each read ends,
// receive errors, and the responses to every redirect followed.
//
// Input: the URL box's text up to the first LF, then the connections (see fuzzscript.h).

#include "bodytext.h"
#include "fuzzcheck.h"
#include "fuzzscript.h"
#include "numericreading.h"
#include "pagewindow.h"
#include "redirecttarget.h"
#include "responseheader.h"
#include "retrieval.h"
#include "scriptedsocket.h"
#include "urlparser.h"

#include <algorithm>
#include <cstdint>

namespace {

// Small limits keep every run short and let the fuzzer reach both of them.
const RetrievalLimits Limits{3, 3000};

const QString SchemeError = QStringLiteral("Error: Only HTTP protcol is supported");

// Keeps what the retrieval does to the window, in order.
class RecordingWindow : public PageWindow
{
public:
    explicit RecordingWindow(const QString &url)
        : m_url(url)
    {}

    QString urlText() const override { return m_url; }
    void setUrlText(const QString &text) override
    {
        m_url = text;
        urlsSet += text;
    }
    void setPageText(const QString &text) override
    {
        page = text;
        ++pageSets;
    }
    void setPortCaption(const QString &caption) override
    {
        port = caption;
        portsSet += caption;
    }
    bool redirecting() const override { return m_redirecting; }
    void setRedirecting(bool on) override
    {
        m_redirecting = on;
        redirectsStarted += on;
    }

    QString page;
    QString port;
    QStringList urlsSet;
    QStringList portsSet;
    int pageSets = 0;
    int redirectsStarted = 0;

private:
    QString m_url;
    bool m_redirecting = false;
};

struct Press
{
    RetrievalOutcome outcome;
    QString url;
    QString page;
    QString port;

    bool operator==(const Press &) const = default;
};

// A retrieval's connection: what the input planned for it and what the socket saw.
struct Connection
{
    const PlannedConnection &plan;
    const ScriptedSocket::Connection &seen;

    // The server closed the connection and the retrieval read up to that close.
    bool readToClose() const { return seen.ended && !plan.endsWithError; }
};

// Where the header ends, found in another way than the retrieval finds it: the earlier of
// the first LF LF and the first LF CR LF.
struct HeaderEndAt
{
    qsizetype headerSize = -1;
    qsizetype bodyStart = -1;
};

HeaderEndAt headerEndOf(QByteArrayView response)
{
    const qsizetype lfLf = response.indexOf("\n\n");
    const qsizetype lfCrLf = response.indexOf("\n\r\n");
    if (lfLf < 0 && lfCrLf < 0)
        return {};
    if (lfCrLf < 0 || (lfLf >= 0 && lfLf < lfCrLf))
        return {lfLf + 1, lfLf + 2};
    return {lfCrLf + 1, lfCrLf + 3};
}

double statusOf(QByteArrayView response, const HeaderEndAt &end)
{
    return statusCodeOf(splitHeaderLines(response.first(end.headerSize)).constFirst());
}

// A connection that handed over to a redirect: it was read to its close, and its header
// holds a redirect status and a Location.
std::optional<QByteArray> redirectLocation(const Connection &connection)
{
    const QByteArray &response = connection.seen.delivered;
    const HeaderEndAt end = headerEndOf(response);
    if (!connection.seen.connected || connection.plan.failingLine != 0 ||
        !connection.readToClose() || end.headerSize < 0)
        return std::nullopt;
    const double status = statusOf(response, end);
    if (!(status > 300 && status < 399))
        return std::nullopt;
    return locationOf(splitHeaderLines(QByteArrayView(response).first(end.headerSize)));
}

// The Host field for a connection: the host, in brackets when it is an IPv6 address, with
// its port unless that is 80.
QByteArray hostFieldFor(const ScriptedSocket::Connection &connection)
{
    QString field =
        connection.host.contains(u':') ? u'[' + connection.host + u']' : connection.host;
    if (connection.port != 80)
        field += u':' + QString::number(connection.port);
    return field.toUtf8();
}

// Each retrieval parsed its URL box, connected where the URL it wrote back names, sent a
// well-formed request for its path, and a redirect led to the resolved Location.
void checkRetrievals(const RecordingWindow &window, const QList<Connection> &connections)
{
    for (qsizetype i = 0; i < connections.size(); ++i) {
        const Connection &connection = connections[i];
        const ScriptedSocket::Connection &seen = connection.seen;
        FUZZ_CHECK(2 * i < window.urlsSet.size() && i < window.portsSet.size());
        const QString &url = window.urlsSet[2 * i];
        constexpr QStringView Http = u"http://";
        FUZZ_CHECK(url.startsWith(Http));
        const qsizetype pathStart = url.indexOf(u'/', Http.size());
        FUZZ_CHECK(pathStart >= 0);
        const QString authority = url.sliced(Http.size(), pathStart - Http.size());
        const QString path = url.sliced(pathStart);
        FUZZ_CHECK(seen.port >= 0 && seen.port <= 65535);
        FUZZ_CHECK(!seen.host.contains(u'[') && !seen.host.contains(u']'));
        if (!seen.connected) {
            FUZZ_CHECK(seen.written.isEmpty() && seen.reads == 0);
            continue;
        }
        if (connection.plan.failingLine == 0) {
            checkRequestLines(seen.written, path);
            FUZZ_CHECK(percentDecoded(seen.written[1].sliced(6).chopped(2)) ==
                       percentDecoded(hostFieldFor(seen)));
        } else {
            FUZZ_CHECK(seen.written.size() == connection.plan.failingLine && seen.reads == 0);
        }

        if (i + 1 < connections.size() || 2 * i + 1 < window.urlsSet.size()) {
            const std::optional<QByteArray> location = redirectLocation(connection);
            FUZZ_CHECK(location.has_value());
            const QString &port = window.portsSet[i];
            QString base = Http.toString() + authority;
            if (!port.isEmpty() && port != u"80")
                base += u':' + port;
            base += path;
            const QString target = window.urlsSet.value(2 * i + 1);
            fuzzNote(QStringLiteral("redirect from %1 to %2").arg(base, target));
            FUZZ_CHECK(target == resolveLocation(base, decodeText(*location)));
            // The nested retrieval writes back its URL as a redirect's URL parses.
            if (const std::optional<ParsedUrl> next = parseUrl(target, true))
                FUZZ_CHECK(window.urlsSet.value(2 * i + 2) == next->normalisedUrl());
        }
    }
}

// What the page box must show, from what the last connection did.
void checkOutcome(const RecordingWindow &window, RetrievalOutcome outcome,
                  const QList<Connection> &connections)
{
    const int retrievals = window.redirectsStarted + 1;
    const QString &page = window.page;
    fuzzNote(QStringLiteral("page box: \"%1\"").arg(page.left(200)));

    FUZZ_CHECK(!window.redirecting());
    FUZZ_CHECK(window.redirectsStarted <= Limits.maxRedirects);
    FUZZ_CHECK(window.pageSets == retrievals + 1); // each one empties it; the last one fills it

    if (connections.size() == retrievals - 1) {
        FUZZ_CHECK(page == SchemeError && outcome == RetrievalOutcome::Failed);
        return;
    }
    FUZZ_CHECK(connections.size() == retrievals);

    const Connection &last = connections.last();
    const auto expectFailure = [&](const QString &message) {
        FUZZ_CHECK(page == message);
        FUZZ_CHECK(outcome == RetrievalOutcome::Failed);
    };
    if (!last.plan.connects)
        return expectFailure(QStringLiteral("Connection error!"));
    if (last.plan.failingLine != 0)
        return expectFailure(QStringLiteral("Error sending request!"));
    const QByteArray &response = last.seen.delivered;
    if (last.seen.ended && last.plan.endsWithError)
        return expectFailure(QStringLiteral("Error receiving data! - ") +
                             QString::number(last.plan.error));
    if (response.size() > Limits.maxResponseBytes)
        return expectFailure(QStringLiteral("Error: Page too large"));

    const HeaderEndAt end = headerEndOf(response);
    if (end.headerSize < 0) {
        FUZZ_CHECK(last.readToClose());
        return expectFailure(QStringLiteral("Error: 0"));
    }
    const double status = statusOf(response, end);
    if (status < 200 || status > 399) {
        FUZZ_CHECK(!last.seen.ended); // nothing more is read after a rejected status
        return expectFailure(QStringLiteral("Error: ") + numberText(status));
    }
    FUZZ_CHECK(last.readToClose());
    if (redirectLocation(last))
        return expectFailure(QStringLiteral("Error: Too many redirects"));
    FUZZ_CHECK(outcome == RetrievalOutcome::PageShown);
    FUZZ_CHECK(page == decodeText(QByteArrayView(response).sliced(end.bodyStart)));
}

Press press(const QString &url, QByteArrayView script, Chunking chunking, bool *fitsLimit = nullptr)
{
    const QList<PlannedConnection> plans =
        planConnections(script, chunking, Limits.maxRedirects + 1);
    QList<ScriptedSocket::Script> scripts;
    for (const PlannedConnection &plan : plans)
        scripts += plan.script;
    RecordingWindow window(url);
    ScriptedSocket socket(scripts);
    const RetrievalOutcome outcome = retrievePage(window, socket, Limits);

    fuzzNote(QStringLiteral("socket faults: %1").arg(socket.faults().join(u"; ")));
    FUZZ_CHECK(socket.faults().isEmpty());
    QList<Connection> connections;
    for (qsizetype i = 0; i < socket.connections().size(); ++i)
        connections += Connection{plans[i], socket.connections()[i]};
    checkRetrievals(window, connections);
    checkOutcome(window, outcome, connections);
    if (fitsLimit) {
        *fitsLimit = std::all_of(plans.cbegin(), plans.cend(), [](const PlannedConnection &plan) {
            return plan.response.size() <= Limits.maxResponseBytes;
        });
    }
    return {outcome, window.urlText(), window.page, window.port};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView input(data, qsizetype(size));
    const qsizetype lineEnd = input.indexOf('\n');
    const QString url = QString::fromUtf8(lineEnd < 0 ? input : input.first(lineEnd));
    const QByteArrayView script = lineEnd < 0 ? QByteArrayView() : input.sliced(lineEnd + 1);

    bool fitsLimit = false;
    const Press scripted = press(url, script, Chunking::Scripted, &fitsLimit);
    // Where the reads end never changes what the press shows, unless a response is too
    // large: then where the limit is crossed decides which of two errors comes first.
    if (fitsLimit)
        FUZZ_CHECK(scripted == press(url, script, Chunking::Whole));
    return 0;
}
