// SPDX-License-Identifier: GPL-3.0-or-later
#include "retrieval.h"

#include "bodytext.h"
#include "numericreading.h"
#include "pagebody.h"
#include "pagewindow.h"
#include "redirecttarget.h"
#include "requestlines.h"
#include "responsebuffer.h"
#include "responseheader.h"
#include "streamsocket.h"
#include "urlparser.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace {

// Reads take whatever has arrived, up to this much at a time, straight into the response.
constexpr qsizetype ReadSize = 1024 * 1024;
constexpr qsizetype AllowanceStep = 4 * 1024; // the bytes that earn one more allowance

// "protcol" is how users have always seen this message, and scripts match it.
const QString SchemeError = QStringLiteral("Error: Only HTTP protcol is supported");
const QString ConnectionError = QStringLiteral("Connection error!");
const QString SendError = QStringLiteral("Error sending request!");
const QString ReceiveErrorPrefix = QStringLiteral("Error receiving data! - ");
const QString StatusErrorPrefix = QStringLiteral("Error: ");
const QString TooLargeError = QStringLiteral("Error: Page too large");
const QString TooManyRedirectsError = QStringLiteral("Error: Too many redirects");
const QString UrlTooLongError = QStringLiteral("Error: URL too long (over %1 characters)");

// 300 and 399 are not redirects: their bodies are shown, as they always have been.
bool isRedirect(double statusCode)
{
    return statusCode > 300 && statusCode < 399;
}

bool isAccepted(double statusCode)
{
    return statusCode >= 200 && statusCode <= 399;
}

// One retrieval, nested ones for redirects included, with the working values it owns.
class Retrieval
{
public:
    Retrieval(PageWindow &window, StreamSocket &socket, const RetrievalLimits &limits,
              RetrievalLimits::Clock::time_point pressDeadline, int redirectsFollowed)
        : m_window(window)
        , m_socket(socket)
        , m_limits(limits)
        , m_pressDeadline(pressDeadline)
        , m_redirectsFollowed(redirectsFollowed)
    {}

    RetrievalOutcome run();

private:
    bool takeUrl();
    bool sendRequest();
    RetrievalOutcome receiveResponse();
    std::chrono::milliseconds timeLeftUntil(RetrievalLimits::Clock::time_point deadline) const;
    std::chrono::milliseconds pressTimeLeft() const;
    std::chrono::milliseconds receiveTimeLeft(RetrievalLimits::Clock::time_point requestSent) const;
    bool headerEndArrived();
    RetrievalOutcome finishAtClose();
    RetrievalOutcome showBody();
    RetrievalOutcome followRedirect(const QByteArray &location);
    RetrievalOutcome receiveFailed(int error);
    RetrievalOutcome rejectStatus();
    RetrievalOutcome urlTooLong();
    RetrievalOutcome fail(const QString &message);

    PageWindow &m_window;
    StreamSocket &m_socket;
    const RetrievalLimits &m_limits;
    const RetrievalLimits::Clock::time_point m_pressDeadline; // shared by the whole chain
    const int m_redirectsFollowed;

    // The working values of this retrieval, fresh for every one.
    ParsedUrl m_url; // Scheme, Host, Path and Port
    RequestLineTable RequestLines;
    ResponseBuffer Response; // every byte received, in one buffer that reads land in
    bool InHeader = true;
    HeaderLineList HeaderLines;
    double StatusCode = 0;

    qsizetype m_headerSearchFrom = 0; // where the empty line may begin, given what has arrived
    qsizetype m_bodyStart = -1;       // just after the empty line that ends the header
};

RetrievalOutcome Retrieval::run()
{
    m_window.setPageText(QString());
    if (m_window.urlText().size() > m_limits.maxUrlLength)
        return urlTooLong();
    if (!takeUrl())
        return fail(SchemeError);
    if (!sendRequest())
        return RetrievalOutcome::Failed;
    return receiveResponse();
}

// Parses the URL box, writes the normalised URL back and shows the port.
bool Retrieval::takeUrl()
{
    const std::optional<ParsedUrl> url = parseUrl(m_window.urlText(), m_window.redirecting());
    m_window.setRedirecting(false);
    if (!url)
        return false;
    m_url = *url;
    m_window.setUrlText(m_url.normalisedUrl());
    m_window.setPortCaption(m_url.portCaption());
    return true;
}

// Connects and sends the four request lines; false, with the failure shown, if that failed.
bool Retrieval::sendRequest()
{
    const Endpoint endpoint = m_url.endpoint();
    RequestLines = buildRequestLines(endpoint.hostField(), m_url.Path);
    // With no time left there is nothing to wait for: the connection would time out at once.
    const std::chrono::milliseconds connectTime = pressTimeLeft();
    if (connectTime <= std::chrono::milliseconds::zero() ||
        m_socket.Connect(endpoint.host, endpoint.port, connectTime) != 0) {
        fail(ConnectionError);
        return false;
    }
    for (const QByteArray &line : RequestLines) {
        if (m_socket.Write(line, line.size(), pressTimeLeft()) != line.size()) {
            m_socket.Disconnect();
            fail(SendError);
            return false;
        }
    }
    return true;
}

// Reads until the server closes the connection, testing the status as soon as the header
// has arrived.
RetrievalOutcome Retrieval::receiveResponse()
{
    const RetrievalLimits::Clock::time_point requestSent = m_limits.clock();
    // Room for one byte over the limit, which is how a response too large shows.
    Response = ResponseBuffer(m_limits.maxResponseBytes + 1);
    InHeader = true;
    for (;;) {
        const std::chrono::milliseconds timeLeft = receiveTimeLeft(requestSent);
        if (timeLeft <= std::chrono::milliseconds::zero())
            return receiveFailed(ETIMEDOUT);
        const std::span<char> Chunk = Response.roomAtEnd(ReadSize);
        if (Chunk.empty())
            return receiveFailed(ENOMEM);
        const qsizetype result = m_socket.Read(Chunk, timeLeft);
        if (result > 0)
            Response.append(result);
        if (result == 0)
            return finishAtClose();
        if (result == -1)
            return receiveFailed(m_socket.LastError());
        if (Response.size() > m_limits.maxResponseBytes) {
            m_socket.Disconnect();
            return fail(TooLargeError);
        }
        if (InHeader && headerEndArrived() && !isAccepted(StatusCode)) {
            m_socket.Disconnect();
            return rejectStatus();
        }
    }
}

std::chrono::milliseconds
Retrieval::timeLeftUntil(RetrievalLimits::Clock::time_point deadline) const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - m_limits.clock());
}

// What is left of the press's time, redirects included.
std::chrono::milliseconds Retrieval::pressTimeLeft() const
{
    return timeLeftUntil(m_pressDeadline);
}

// What is left of the time the response may take, given what has arrived so far, and of
// the press's time.
std::chrono::milliseconds
Retrieval::receiveTimeLeft(RetrievalLimits::Clock::time_point requestSent) const
{
    const std::chrono::milliseconds earned =
        m_limits.receiveAllowance +
        m_limits.receiveAllowancePer4KiB * Response.size() / AllowanceStep;
    const std::chrono::milliseconds allowance = std::min(earned, m_limits.maxReceiveTime);
    return timeLeftUntil(std::min(requestSent + allowance, m_pressDeadline));
}

// Looks for the empty line in what has arrived since the last look (it may straddle two
// reads); once found, splits the header into lines and reads the status code.
bool Retrieval::headerEndArrived()
{
    const std::optional<HeaderEnd> end = findHeaderEnd(Response.bytes(), m_headerSearchFrom);
    if (!end) {
        m_headerSearchFrom = qMax<qsizetype>(0, Response.size() - HeaderEndOverlap);
        return false;
    }
    InHeader = false;
    m_bodyStart = end->bodyStart;
    const QByteArrayView HeaderText = Response.bytes().first(end->headerSize);
    HeaderLines = splitHeaderLines(HeaderText);
    StatusCode = statusCodeOf(HeaderLines.constFirst());
    return true;
}

// The server has closed the connection: the response is a redirect to follow, a body to
// show, or, when its header never ended, a failure without a status ("Error: 0").
RetrievalOutcome Retrieval::finishAtClose()
{
    m_socket.Disconnect();
    if (InHeader)
        return rejectStatus();
    if (isRedirect(StatusCode)) {
        if (const std::optional<QByteArray> location = locationOf(HeaderLines))
            return followRedirect(*location);
    }
    return showBody();
}

// The body goes to the window with the response it lies in, so that it is never copied.
RetrievalOutcome Retrieval::showBody()
{
    m_window.setPageBody(PageBody(std::move(Response), m_bodyStart));
    return RetrievalOutcome::PageShown;
}

// Starts the nested retrieval of the Location's URL. This retrieval shows nothing of its
// own afterwards, so it lets go of its response first.
RetrievalOutcome Retrieval::followRedirect(const QByteArray &location)
{
    if (m_redirectsFollowed >= m_limits.maxRedirects)
        return fail(TooManyRedirectsError);
    const QString target = resolveLocation(m_url.urlWithPort(), decodeText(location));
    if (target.size() > m_limits.maxUrlLength)
        return urlTooLong();
    Response = ResponseBuffer();
    HeaderLines.clear();
    m_window.setUrlText(target);
    m_window.setRedirecting(true);
    return Retrieval(m_window, m_socket, m_limits, m_pressDeadline, m_redirectsFollowed + 1).run();
}

RetrievalOutcome Retrieval::receiveFailed(int error)
{
    m_socket.Disconnect();
    return fail(ReceiveErrorPrefix + QString::number(error));
}

// Ends the retrieval on its status code: one outside 200..399, or none at all (0).
RetrievalOutcome Retrieval::rejectStatus()
{
    return fail(StatusErrorPrefix + numberText(StatusCode));
}

// The URL box keeps the URL that was fetched last, or the one typed.
RetrievalOutcome Retrieval::urlTooLong()
{
    return fail(UrlTooLongError.arg(m_limits.maxUrlLength));
}

RetrievalOutcome Retrieval::fail(const QString &message)
{
    m_window.setPageText(message);
    return RetrievalOutcome::Failed;
}

} // namespace

RetrievalOutcome retrievePage(PageWindow &window, StreamSocket &socket,
                              const RetrievalLimits &limits)
{
    return Retrieval(window, socket, limits, limits.clock() + limits.maxPressTime, 0).run();
}
