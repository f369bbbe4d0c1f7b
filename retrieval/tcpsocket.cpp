// SPDX-License-Identifier: GPL-3.0-or-later
#include "tcpsocket.h"

#include <QtGlobal>

#include <algorithm>

#include <cerrno>
#include <climits>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int MaxHostLength = 253;

// Letters, digits and the few marks of host names and addresses; never a blank,
// a control character or anything that could end a line.
bool isHostCharacter(QChar c)
{
    return (c.unicode() < 0x80 && c.isLetterOrNumber()) || QStringView(u"-._:%").contains(c);
}

bool isValidHost(const QString &host)
{
    return !host.isEmpty() && host.size() <= MaxHostLength &&
           std::all_of(host.begin(), host.end(), isHostCharacter);
}

// Repeats a system call that a signal interrupted before it could do anything.
template <typename SystemCall> auto retryOnInterrupt(SystemCall call)
{
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

int remainingMilliseconds(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return int(std::clamp<qint64>(left.count(), 0, INT_MAX));
}

// Waits until `fd` is ready for `events` or the deadline has passed; returns 0, or the
// error number (ETIMEDOUT once the deadline has passed).
int awaitReady(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    pollfd waiting{fd, events, 0};
    const int ready =
        retryOnInterrupt([&] { return poll(&waiting, 1, remainingMilliseconds(deadline)); });
    if (ready < 0)
        return errno;
    return ready == 0 ? ETIMEDOUT : 0;
}

// Waits for a non-blocking connect to finish; returns 0 or the error number.
int awaitConnection(int fd, std::chrono::steady_clock::time_point deadline)
{
    if (const int error = awaitReady(fd, POLLOUT, deadline); error != 0)
        return error;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        return errno;
    return error;
}

// Opens a connection to one address; returns the descriptor, or -1 with errno set. The
// descriptor stays non-blocking: every wait on it is a poll with a deadline.
int connectTo(const addrinfo &address, std::chrono::steady_clock::time_point deadline)
{
    const int fd = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          address.ai_protocol);
    if (fd < 0)
        return -1;
    int error = 0;
    // An interrupted connect goes on in the background, just as one in progress does.
    if (connect(fd, address.ai_addr, address.ai_addrlen) < 0)
        error = (errno == EINPROGRESS || errno == EINTR) ? awaitConnection(fd, deadline) : errno;
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

TcpSocket::TcpSocket()
    : TcpSocket(Timeouts{})
{}

TcpSocket::TcpSocket(const Timeouts &timeouts, LookupFunction lookup)
    : m_timeouts(timeouts)
    , m_lookup(lookup ? lookup : getaddrinfo)
{}

TcpSocket::~TcpSocket()
{
    Disconnect();
}

int TcpSocket::fail(int error)
{
    m_lastError = error;
    return -1;
}

int TcpSocket::Connect(const QString &host, int port, std::chrono::milliseconds wait)
{
    Disconnect();
    if (port < 1 || port > 65535 || !isValidHost(host))
        return fail(EINVAL);
    if (wait <= std::chrono::milliseconds::zero())
        return fail(ETIMEDOUT);

    // The lookup and every try of an address share the one timeout.
    const auto deadline = std::chrono::steady_clock::now() + std::min(wait, m_timeouts.connect);
    const LookupResult found = lookUpHost(host.toStdString(), port, deadline, m_lookup);
    if (found.error != 0)
        return fail(found.error);

    int error = EHOSTUNREACH;
    for (const addrinfo *address = found.addresses.get(); address; address = address->ai_next) {
        m_fd = connectTo(*address, deadline);
        if (m_fd >= 0)
            break;
        error = errno;
    }
    if (m_fd < 0)
        return fail(error);
    m_sendDeadline = std::chrono::steady_clock::now() + m_timeouts.write;
    return 0;
}

qsizetype TcpSocket::Write(const QByteArray &data, qsizetype length, std::chrono::milliseconds wait)
{
    if (m_fd < 0)
        return fail(ENOTCONN);
    length = qBound<qsizetype>(0, length, data.size());
    const auto deadline =
        std::min(m_sendDeadline, std::chrono::steady_clock::now() +
                                     std::min<std::chrono::milliseconds>(wait, m_timeouts.write));
    qsizetype sent = 0;
    while (sent < length) {
        const ssize_t n = retryOnInterrupt([&] {
            return send(m_fd, data.constData() + sent, size_t(length - sent),
                        MSG_DONTWAIT | MSG_NOSIGNAL);
        });
        if (n > 0) {
            sent += n;
            continue;
        }
        // A full send buffer is waited on, until the connection's time for sending is up;
        // a send of nothing cannot happen for a non-empty buffer, so it is never looped on.
        const bool full = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        const int error = full ? awaitReady(m_fd, POLLOUT, deadline) : (n < 0 ? errno : EIO);
        if (error != 0) { // the call ends with what went out so far
            m_lastError = error;
            break;
        }
    }
    return sent;
}

qsizetype TcpSocket::Read(std::span<char> buffer, std::chrono::milliseconds wait)
{
    if (m_fd < 0)
        return fail(ENOTCONN);
    // An empty read would look like the peer's close.
    if (buffer.empty())
        return fail(EINVAL);
    const auto deadline = std::chrono::steady_clock::now() + std::min(wait, m_timeouts.read);
    for (;;) {
        const ssize_t received = retryOnInterrupt(
            [&] { return recv(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT); });
        if (received >= 0)
            return received;
        // Data that has arrived is taken at once; only an empty socket is waited on.
        const bool empty = errno == EAGAIN || errno == EWOULDBLOCK;
        if (const int error = empty ? awaitReady(m_fd, POLLIN, deadline) : errno; error != 0)
            return fail(error);
    }
}

void TcpSocket::Disconnect()
{
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}
