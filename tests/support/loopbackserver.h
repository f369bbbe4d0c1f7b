// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>

#include <chrono>
#include <memory>

// A small TCP server on 127.0.0.1 (port chosen by the system) that runs in a thread of its
// own, so that the blocking client under test can talk to it from the test's thread. Each
// connection it accepts gets the next scripted reply, in order; it records what each
// connection sent.
class LoopbackServer
{
public:
    struct Reply
    {
        QByteArray bytes;                   // sent as soon as the request has arrived
        std::chrono::milliseconds delay{0}; // waited before sending
        bool resetAfterSending = false;     // ends with a reset (RST) instead of a close
        bool stayOpenWithoutReply = false;  // sends nothing and keeps the connection open
        // Reads nothing at all and holds the connection until the server stops, so that
        // the client's sends pile up. Later replies wait until then, so it comes last.
        bool neverRead = false;
        // Like neverRead, but takes up to 256 KiB of what was sent every 20 ms: steady
        // progress, and still seconds for a send of many MiB.
        bool readsSlowly = false;
    };

    explicit LoopbackServer(QList<Reply> replies);
    ~LoopbackServer(); // stops accepting and joins the thread

    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    quint16 port() const;
    // The bytes each connection sent up to and including the blank line, in order.
    QList<QByteArray> requests() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};
