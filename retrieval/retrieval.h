#pragma once

#include "requestlines.h"
#include "responseheader.h"

#include <QByteArray>
#include <QString>

#include <optional>

class PageWindow;
class StreamSocket;

enum class RetrievalOutcome {
    PageShown, // the page box holds a page body
    Failed,    // the page box holds a failure message
};

struct RetrievalLimits
{
    int maxRedirects = 20;
    qsizetype maxResponseBytes = qsizetype(256) * 1024 * 1024;
};

// One press of Retrieve: takes the URL from the window's URL box, fetches that page over
// HTTP/1.0 and leaves its body, or a failure message, in the page box. Redirects are
// followed by nested retrievals. Every way out leaves the connection closed.
RetrievalOutcome retrievePage(PageWindow &window, StreamSocket &socket,
                              const RetrievalLimits &limits = {});

// One retrieval, nested ones for redirects included, with the working values it owns.
class Retrieval
{
public:
    Retrieval(PageWindow &window, StreamSocket &socket, const RetrievalLimits &limits,
              int redirectsFollowed);

    RetrievalOutcome run();

private:
    bool takeUrl();
    std::optional<RetrievalOutcome> sendRequest();
    RetrievalOutcome receiveResponse();
    bool headerEndArrived();
    bool statusAccepted() const;
    RetrievalOutcome closeConnection();
    RetrievalOutcome showBody();
    RetrievalOutcome followRedirect(const QByteArray &location);
    QString ownUrl() const;
    RetrievalOutcome rejectStatus();
    RetrievalOutcome fail(const QString &message);

    PageWindow &m_window;
    StreamSocket &m_socket;
    const RetrievalLimits m_limits;
    const int m_redirectsFollowed;

    // The working values of this retrieval, fresh for every one.
    QString Scheme;
    QString Host;
    QString Path;
    std::optional<double> Port;
    RequestLineTable RequestLines;
    QByteArray Response;
    QByteArray Chunk;
    bool InHeader = true;
    HeaderLineList HeaderLines;
    double StatusCode = 0;

    qsizetype m_headerSearchFrom = 0; // where the blank line may begin, given what has arrived
    qsizetype m_bodyStart = -1;       // just after the first CR LF CR LF of Response
};
