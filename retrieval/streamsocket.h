// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <span>

// A blocking TCP stream socket: every call returns only once it has completed, failed or
// timed out. The retrieval drives the network through this interface alone.
class StreamSocket
{
public:
    virtual ~StreamSocket() = default;

    // Returns 0 once connected to `port` (1..65535) of `host` (a name, or an address with
    // no brackets), anything else on failure. Waits at most `wait`; then the connection
    // fails with ETIMEDOUT.
    virtual int Connect(const QString &host, int port, std::chrono::milliseconds wait) = 0;

    // Sends the first `length` bytes of `data`; returns `length` when all were sent. Waits
    // at most `wait` for room to send them.
    virtual qsizetype Write(const QByteArray &data, qsizetype length,
                            std::chrono::milliseconds wait) = 0;

    // Receives at most `buffer.size()` bytes into `buffer` and returns their count: 0 when
    // the peer has closed the connection, -1 on an error. Waits at most `wait` for data;
    // then the read fails with ETIMEDOUT.
    virtual qsizetype Read(std::span<char> buffer, std::chrono::milliseconds wait) = 0;

    virtual void Disconnect() = 0;

    // The operating system's error number of the last failure.
    virtual int LastError() const = 0;
};
