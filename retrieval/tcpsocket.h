#pragma once

#include "streamsocket.h"

#include <chrono>

// The platform's own TCP socket behind the StreamSocket calls. Each call blocks, but none
// without end: connecting, a send that makes no progress and a read that gets no data each
// give up after their timeout. Move-only; the connection closes with the object.
class TcpSocket : public StreamSocket
{
public:
    struct Timeouts
    {
        std::chrono::milliseconds connect{30'000};
        std::chrono::milliseconds write{30'000};
        std::chrono::milliseconds read{30'000};
    };

    TcpSocket();
    explicit TcpSocket(const Timeouts &timeouts);
    TcpSocket(TcpSocket &&other) noexcept;
    TcpSocket &operator=(TcpSocket &&other) noexcept;
    ~TcpSocket() override;

    int Connect(const QString &host, std::optional<double> port) override;
    qsizetype Write(const QByteArray &data, qsizetype length) override;
    qsizetype Read(QByteArray &chunk, qsizetype limit) override;
    void Disconnect() override;
    int LastError() const override { return m_lastError; }

    bool isConnected() const { return m_fd >= 0; }

private:
    int fail(int error);

    Timeouts m_timeouts;
    int m_fd = -1;
    int m_lastError = 0;
};
