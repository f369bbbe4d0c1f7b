// Fuzzes a whole press of Retrieve on a window without widgets, the network played back
// from the input: failing connections and writes, the responses, where each read ends,
// receive errors, and the responses to every redirect followed.
//
// Input: the URL box's text up to the first LF, then the script ScriptSocket plays back.

#include "bodytext.h"
#include "fuzzcheck.h"
#include "numericreading.h"
#include "pagewindow.h"
#include "redirecttarget.h"
#include "responseheader.h"
#include "retrieval.h"
#include "scriptsocket.h"
#include "urlparser.h"

#include <algorithm>
#include <cstdint>

namespace {

// Small limits keep every run short and let the fuzzer reach both of them.
const RetrievalLimits Limits{3, 3000};

constexpr QByteArrayView BlankLine = "\r\n\r\n";
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
    void setPortCaption(const QString &caption) override { port = caption; }
    bool redirecting() const override { return m_redirecting; }
    void setRedirecting(bool on) override
    {
        m_redirecting = on;
        redirectsStarted += on;
    }

    QString page;
    QString port;
    QStringList urlsSet;
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

double statusOf(QByteArrayView response, qsizetype headerEnd)
{
    return statusCodeOf(splitHeaderLines(response.first(headerEnd + 2)).constFirst());
}

// A connection that handed over to a redirect: it was read to its close, and its header
// holds a redirect status and a Location.
std::optional<QByteArray> redirectLocation(const ScriptSocket::Connection &connection)
{
    const QByteArray &response = connection.delivered;
    const qsizetype headerEnd = response.indexOf(BlankLine);
    if (!connection.connected || connection.failingLine != 0 || connection.lastReadResult != 0 ||
        headerEnd < 0)
        return std::nullopt;
    const double status = statusOf(response, headerEnd);
    if (!(status > 300 && status < 399))
        return std::nullopt;
    return locationOf(splitHeaderLines(QByteArrayView(response).first(headerEnd + 2)));
}

// Each retrieval parsed its URL box, told the socket the host and port that it wrote back,
// sent a well-formed request for its path, and a redirect led to the resolved Location.
void checkRetrievals(const RecordingWindow &window, const ScriptSocket &socket)
{
    const QList<ScriptSocket::Connection> &connections = socket.connections();
    for (qsizetype i = 0; i < connections.size(); ++i) {
        const ScriptSocket::Connection &connection = connections[i];
        FUZZ_CHECK(2 * i < window.urlsSet.size());
        const QString &url = window.urlsSet[2 * i];
        const QString authority = QStringLiteral("http://") + connection.host;
        FUZZ_CHECK(url.startsWith(authority));
        const QString path = url.sliced(authority.size());
        FUZZ_CHECK(path.startsWith(u'/'));
        FUZZ_CHECK(connection.port.has_value() == (i == 0)); // a redirect's port stays empty
        if (!connection.connected) {
            FUZZ_CHECK(connection.written.isEmpty() && !connection.disconnected);
            continue;
        }
        FUZZ_CHECK(connection.disconnected);
        if (connection.failingLine == 0)
            checkRequestLines(connection.written, path);
        else
            FUZZ_CHECK(connection.written.size() == connection.failingLine);

        if (i + 1 < connections.size() || 2 * i + 1 < window.urlsSet.size()) {
            const std::optional<QByteArray> location = redirectLocation(connection);
            FUZZ_CHECK(location.has_value());
            QString base = authority;
            if (connection.port && *connection.port != 80)
                base += u':' + numberText(*connection.port);
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
                  const ScriptSocket &socket)
{
    const QList<ScriptSocket::Connection> &connections = socket.connections();
    const int retrievals = window.redirectsStarted + 1;
    const QString &page = window.page;
    fuzzNote(QStringLiteral("page box: \"%1\"").arg(page.left(200)));

    FUZZ_CHECK(!socket.isOpen());
    FUZZ_CHECK(!window.redirecting());
    FUZZ_CHECK(window.redirectsStarted <= Limits.maxRedirects);
    FUZZ_CHECK(window.pageSets == retrievals + 1); // each one empties it; the last one fills it

    if (connections.size() == retrievals - 1) {
        FUZZ_CHECK(page == SchemeError && outcome == RetrievalOutcome::Failed);
        return;
    }
    FUZZ_CHECK(connections.size() == retrievals);

    const ScriptSocket::Connection &last = connections.last();
    const auto expectFailure = [&](const QString &message) {
        FUZZ_CHECK(page == message);
        FUZZ_CHECK(outcome == RetrievalOutcome::Failed);
    };
    if (!last.connected)
        return expectFailure(QStringLiteral("Connection error!"));
    if (last.failingLine != 0)
        return expectFailure(QStringLiteral("Error sending request!"));
    const QByteArray &response = last.delivered;
    if (last.lastReadResult == -1)
        return expectFailure(QStringLiteral("Error receiving data! - ") +
                             QString::number(last.error));
    if (response.size() > Limits.maxResponseBytes)
        return expectFailure(QStringLiteral("Error: Page too large"));

    const qsizetype headerEnd = response.indexOf(BlankLine);
    if (headerEnd < 0) {
        FUZZ_CHECK(last.lastReadResult == 0);
        return expectFailure(QStringLiteral("Error: 0"));
    }
    const double status = statusOf(response, headerEnd);
    if (status < 200 || status > 399) {
        FUZZ_CHECK(!last.ended); // nothing more is read after a rejected status
        return expectFailure(QStringLiteral("Error: ") + numberText(status));
    }
    FUZZ_CHECK(last.lastReadResult == 0);
    if (redirectLocation(last))
        return expectFailure(QStringLiteral("Error: Too many redirects"));
    FUZZ_CHECK(outcome == RetrievalOutcome::PageShown);
    FUZZ_CHECK(page == decodeText(QByteArrayView(response).sliced(headerEnd + BlankLine.size())));
}

Press press(const QString &url, QByteArrayView script, ScriptSocket::Chunking chunking,
            bool *fitsLimit = nullptr)
{
    RecordingWindow window(url);
    ScriptSocket socket(script, chunking);
    const RetrievalOutcome outcome = retrievePage(window, socket, Limits);
    checkRetrievals(window, socket);
    checkOutcome(window, outcome, socket);
    if (fitsLimit) {
        *fitsLimit = std::all_of(socket.connections().cbegin(), socket.connections().cend(),
                                 [](const ScriptSocket::Connection &connection) {
                                     return connection.response.size() <= Limits.maxResponseBytes;
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
    const Press scripted = press(url, script, ScriptSocket::Chunking::Scripted, &fitsLimit);
    // Where the reads end never changes what the press shows, unless a response is too
    // large: then where the limit is crossed decides which of two errors comes first.
    if (fitsLimit)
        FUZZ_CHECK(scripted == press(url, script, ScriptSocket::Chunking::Whole));
    return 0;
}
