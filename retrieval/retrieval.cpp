#include "retrieval.h"

#include "bodytext.h"
#include "hugepages.h"
#include "numericreading.h"
#include "pagewindow.h"
#include "redirecttarget.h"
#include "streamsocket.h"
#include "urlparser.h"

namespace {

constexpr qsizetype ChunkLimit = 2048;
constexpr QByteArrayView BlankLine = "\r\n\r\n";

const QString SchemeError = QStringLiteral("Error: Only HTTP protcol is supported");
const QString ConnectionError = QStringLiteral("Connection error!");
const QString SendError = QStringLiteral("Error sending request!");
const QString ReceiveErrorPrefix = QStringLiteral("Error receiving data! - ");
const QString StatusErrorPrefix = QStringLiteral("Error: ");
const QString TooLargeError = QStringLiteral("Error: Page too large");
const QString TooManyRedirectsError = QStringLiteral("Error: Too many redirects");

bool isRedirect(double statusCode)
{
    return statusCode > 300 && statusCode < 399;
}

} // namespace

RetrievalOutcome retrievePage(PageWindow &window, StreamSocket &socket,
                              const RetrievalLimits &limits)
{
    return Retrieval(window, socket, limits, 0).run();
}

Retrieval::Retrieval(PageWindow &window, StreamSocket &socket, const RetrievalLimits &limits,
                     int redirectsFollowed)
    : m_window(window)
    , m_socket(socket)
    , m_limits(limits)
    , m_redirectsFollowed(redirectsFollowed)
{}

RetrievalOutcome Retrieval::run()
{
    m_window.setPageText(QString());
    if (!takeUrl())
        return fail(SchemeError);
    if (const auto failure = sendRequest())
        return *failure;
    return receiveResponse();
}

// Parses the URL box, writes the normalised URL back and shows the port.
bool Retrieval::takeUrl()
{
    const std::optional<ParsedUrl> url = parseUrl(m_window.urlText(), m_window.redirecting());
    m_window.setRedirecting(false);
    if (!url)
        return false;
    Scheme = url->Scheme;
    Host = url->Host;
    Path = url->Path;
    Port = url->Port;
    m_window.setUrlText(url->normalisedUrl());
    m_window.setPortCaption(url->portCaption());
    return true;
}

// Connects and sends the four request lines; returns the outcome if that failed.
std::optional<RetrievalOutcome> Retrieval::sendRequest()
{
    RequestLines = buildRequestLines(Host, Path);
    if (m_socket.Connect(Host, Port) != 0)
        return fail(ConnectionError);
    for (qsizetype slot = 1; slot <= 4; ++slot) {
        const qsizetype length = RequestLines[slot].size();
        if (m_socket.Write(RequestLines[slot], length) != length) {
            m_socket.Disconnect();
            return fail(SendError);
        }
    }
    return std::nullopt;
}

// Reads until the server closes the connection, testing the status as soon as the header
// has arrived.
RetrievalOutcome Retrieval::receiveResponse()
{
    InHeader = true;
    for (;;) {
        const qsizetype result = m_socket.Read(Chunk, ChunkLimit);
        const qsizetype capacityBefore = Response.capacity();
        Response += Chunk;
        if (Response.capacity() != capacityBefore) // the buffer grew, so it has fresh pages
            adviseHugePages(Response);
        if (result == 0)
            return closeConnection();
        if (result == -1) { // the message comes before the Disconnect here, unlike elsewhere
            const int error = m_socket.LastError();
            m_window.setPageText(ReceiveErrorPrefix + QString::number(error));
            m_socket.Disconnect();
            return RetrievalOutcome::Failed;
        }
        if (Response.size() > m_limits.maxResponseBytes) {
            m_socket.Disconnect();
            return fail(TooLargeError);
        }
        if (InHeader && headerEndArrived() && !statusAccepted()) {
            m_socket.Disconnect();
            return rejectStatus();
        }
    }
}

// Looks for the blank line in what has arrived since the last look (it may straddle two
// reads); once found, splits the header into lines and reads the status code.
bool Retrieval::headerEndArrived()
{
    const qsizetype blankLine = Response.indexOf(BlankLine, m_headerSearchFrom);
    if (blankLine < 0) {
        m_headerSearchFrom = qMax<qsizetype>(0, Response.size() - (BlankLine.size() - 1));
        return false;
    }
    InHeader = false;
    m_bodyStart = blankLine + BlankLine.size();
    const QByteArrayView HeaderText = QByteArrayView(Response).first(blankLine + 2);
    HeaderLines = splitHeaderLines(HeaderText);
    StatusCode = statusCodeOf(HeaderLines.constFirst());
    return true;
}

bool Retrieval::statusAccepted() const
{
    return StatusCode >= 200 && StatusCode <= 399;
}

RetrievalOutcome Retrieval::closeConnection()
{
    m_socket.Disconnect();
    if (InHeader) // the header never ended, so no status was ever read
        return rejectStatus();
    if (isRedirect(StatusCode)) {
        if (const std::optional<QByteArray> location = locationOf(HeaderLines))
            return followRedirect(*location);
    }
    return showBody();
}

RetrievalOutcome Retrieval::showBody()
{
    const QString body = decodeText(QByteArrayView(Response).sliced(m_bodyStart));
    Response = QByteArray(); // hand the memory back before the page box takes its copy
    m_window.setPageText(body);
    return RetrievalOutcome::PageShown;
}

// Starts the nested retrieval of the Location's URL. This retrieval shows nothing of its
// own afterwards, so it lets go of its response first.
RetrievalOutcome Retrieval::followRedirect(const QByteArray &location)
{
    if (m_redirectsFollowed >= m_limits.maxRedirects)
        return fail(TooManyRedirectsError);
    const QString target = resolveLocation(ownUrl(), decodeText(location));
    Response = QByteArray();
    HeaderLines.clear();
    m_window.setUrlText(target);
    m_window.setRedirecting(true);
    return Retrieval(m_window, m_socket, m_limits, m_redirectsFollowed + 1).run();
}

// The URL this retrieval fetched, with its port unless that is the default one.
QString Retrieval::ownUrl() const
{
    QString authority = Host;
    if (Port && *Port != 80)
        authority += u':' + numberText(*Port);
    return Scheme + QStringLiteral("://") + authority + Path;
}

// Ends the retrieval on its status code: one outside 200..399, or none at all (0).
RetrievalOutcome Retrieval::rejectStatus()
{
    return fail(StatusErrorPrefix + numberText(StatusCode));
}

RetrievalOutcome Retrieval::fail(const QString &message)
{
    m_window.setPageText(message);
    return RetrievalOutcome::Failed;
}
