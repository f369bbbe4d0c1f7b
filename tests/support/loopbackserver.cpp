// SPDX-License-Identifier: GPL-3.0-or-later
#include "loopbackserver.h"

#include "loopbackaddress.h"

#include <QMutex>
#include <QMutexLocker>

#include <atomic>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int PollIntervalMs = 20;
constexpr qsizetype MaxRequestBytes = 1 << 20;

// Waits until `fd` is readable or the server is stopping; false when stopping.
bool waitReadable(int fd, const std::atomic<bool> &stopping)
{
    pollfd waiting{fd, POLLIN, 0};
    while (!stopping) {
        if (poll(&waiting, 1, PollIntervalMs) > 0)
            return true;
    }
    return false;
}

QByteArray readRequest(int fd, const std::atomic<bool> &stopping)
{
    QByteArray request;
    char buffer[4096];
    while (!request.contains("\r\n\r\n") && request.size() < MaxRequestBytes &&
           waitReadable(fd, stopping)) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, n);
    }
    return request;
}

void sendAll(int fd, const QByteArray &bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += n;
    }
}

// Holds a connection until the server stops, reading nothing or a little now and then.
void holdConnection(int fd, bool readALittle, const std::atomic<bool> &stopping)
{
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    while (!stopping) {
        std::this_thread::sleep_for(std::chrono::milliseconds(PollIntervalMs));
        if (readALittle)
            recv(fd, buffer.data(), size_t(buffer.size()), MSG_DONTWAIT);
    }
}

void closeWithReset(int fd)
{
    const linger abortive{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(fd);
}

} // namespace

struct LoopbackServer::State
{
    QList<Reply> replies;
    int listener = -1;
    quint16 port = 0;
    std::atomic<bool> stopping{false};
    mutable QMutex mutex;
    QList<QByteArray> requests;
    std::thread thread;

    void serve()
    {
        for (const Reply &reply : std::as_const(replies)) {
            if (!waitReadable(listener, stopping))
                return;
            const int connection = accept(listener, nullptr, nullptr);
            if (connection < 0)
                return;
            if (reply.neverRead || reply.readsSlowly) {
                holdConnection(connection, reply.readsSlowly, stopping);
                close(connection);
                return;
            }
            const QByteArray request = readRequest(connection, stopping);
            {
                const QMutexLocker lock(&mutex);
                requests += request;
            }
            if (reply.stayOpenWithoutReply) {
                waitReadable(connection, stopping); // until the client gives up or we stop
                close(connection);
                continue;
            }
            std::this_thread::sleep_for(reply.delay);
            sendAll(connection, reply.bytes);
            if (reply.resetAfterSending)
                closeWithReset(connection);
            else
                close(connection);
        }
    }
};

LoopbackServer::LoopbackServer(QList<Reply> replies)
    : m_state(std::make_unique<State>())
{
    m_state->replies = std::move(replies);
    m_state->listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress();
    socklen_t length = sizeof address;
    bind(m_state->listener, reinterpret_cast<sockaddr *>(&address), length);
    listen(m_state->listener, 16);
    getsockname(m_state->listener, reinterpret_cast<sockaddr *>(&address), &length);
    m_state->port = ntohs(address.sin_port);
    m_state->thread = std::thread([state = m_state.get()] { state->serve(); });
}

LoopbackServer::~LoopbackServer()
{
    m_state->stopping = true;
    m_state->thread.join();
    close(m_state->listener);
}

quint16 LoopbackServer::port() const
{
    return m_state->port;
}

QList<QByteArray> LoopbackServer::requests() const
{
    const QMutexLocker lock(&m_state->mutex);
    return m_state->requests;
}
