// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>

class PageWindow;
class StreamSocket;

enum class RetrievalOutcome {
    PageShown, // the page box holds a page body
    Failed,    // the page box holds a failure message
};

struct RetrievalLimits
{
    using Clock = std::chrono::steady_clock;

    int maxRedirects = 20;
    qsizetype maxResponseBytes = qsizetype(256) * 1024 * 1024;
    // The longest URL fetched, typed or given by a redirect, in characters: eight times what
    // common servers take in a request line, and as long as the URL box still shows and
    // paints within a frame or two (it lays out its whole line; 2 MiB would take half a
    // second a paint). A longer one ends the press with a message.
    qsizetype maxUrlLength = qsizetype(64) * 1024;

    // From the moment the request has been sent, the response may take receiveAllowance,
    // plus receiveAllowancePer4KiB for every 4 KiB that has arrived, but never longer than
    // maxReceiveTime: a server that trickles bytes (1 KiB/s is cut after about 80 s) cannot
    // hold the window for long, and one that sends 4 KiB/s or more meets only the ceiling.
    std::chrono::milliseconds receiveAllowance{60'000};
    std::chrono::milliseconds receiveAllowancePer4KiB{1'000};
    std::chrono::milliseconds maxReceiveTime{300'000};
    // The whole press, redirects included, from its start: each wait of each connection
    // (connecting, sending, receiving) takes no more than what is left of it, so a chain of
    // redirects cannot hold the window longer than one slow page can.
    std::chrono::milliseconds maxPressTime{300'000};
    // Where the allowance reads the time; tests bring a clock of their own.
    std::function<Clock::time_point()> clock = Clock::now;
};

// One press of Retrieve: takes the URL from the window's URL box, fetches that page over
// HTTP/1.0 and leaves its body, or a failure message, in the page box. Redirects are
// followed by nested retrievals, all within limits.maxPressTime. Every way out leaves the
// connection closed.
RetrievalOutcome retrievePage(PageWindow &window, StreamSocket &socket,
                              const RetrievalLimits &limits = {});
