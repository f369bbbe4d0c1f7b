// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "hostlookup.h"
#include "streamsocket.h"

#include <chrono>

// The platform's own TCP socket behind the StreamSocket calls. Each call blocks, but none
// without end: connecting, sending and a read that gets no data each give up after their
// timeout. The connection closes with the object.
class TcpSocket : public StreamSocket
{
public:
    struct Timeouts
    {
        // Looking up the host and connecting to one of its addresses, together.
        std::chrono::milliseconds connect{30'000};
        // Sending all that is written on a connection, counted from the moment it was made:
        // a peer that takes a little now and then cannot stretch it.
        std::chrono::milliseconds write{30'000};
        // Waiting for data on one read.
        std::chrono::milliseconds read{30'000};
    };

    TcpSocket();
    // `lookup` stands in for the system's name lookup (getaddrinfo) when given.
    explicit TcpSocket(const Timeouts &timeouts, LookupFunction lookup = nullptr);
    TcpSocket(const TcpSocket &) = delete;
    TcpSocket &operator=(const TcpSocket &) = delete;
    ~TcpSocket() override;

    // Each call waits no longer than its own timeout, nor than `wait`.
    static constexpr std::chrono::milliseconds TimeoutsOnly = std::chrono::milliseconds::max();
    int Connect(const QString &host, int port,
                std::chrono::milliseconds wait = TimeoutsOnly) override;
    qsizetype Write(const QByteArray &data, qsizetype length,
                    std::chrono::milliseconds wait = TimeoutsOnly) override;
    qsizetype Read(std::span<char> buffer, std::chrono::milliseconds wait) override;
    void Disconnect() override;
    int LastError() const override { return m_lastError; }

    bool isConnected() const { return m_fd >= 0; }

private:
    int fail(int error);

    Timeouts m_timeouts;
    LookupFunction m_lookup;
    int m_fd = -1;
    std::chrono::steady_clock::time_point m_sendDeadline;
    int m_lastError = 0;
};
