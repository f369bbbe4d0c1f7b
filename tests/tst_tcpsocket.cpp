// SPDX-License-Identifier: GPL-3.0-or-later
#include "loopbackaddress.h"
#include "loopbackserver.h"
#include "tcpsocket.h"

#include <QTest>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <memory>
#include <optional>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto ShortTimeout = 150ms;
constexpr auto Unhurried = 1h; // a read's own wait that leaves the read timeout to decide
constexpr int SettleMs = 2000; // the longest a test waits for something that should happen
constexpr unsigned WatchdogSeconds = 20;

// A listening socket on the loopback address that nobody serves: the kernel completes
// connections into its backlog, so a test can connect without a server thread and look at
// the accepted end itself.
class Listener
{
public:
    explicit Listener(int family = AF_INET, quint16 port = 0, int backlog = 8)
    {
        m_fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return;
        const int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_storage address{};
        socklen_t length;
        if (family == AF_INET6) {
            auto &v6 = reinterpret_cast<sockaddr_in6 &>(address);
            v6.sin6_family = AF_INET6;
            v6.sin6_addr = in6addr_loopback;
            v6.sin6_port = htons(port);
            length = sizeof v6;
        } else {
            auto &v4 = reinterpret_cast<sockaddr_in &>(address);
            v4.sin_family = AF_INET;
            v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            v4.sin_port = htons(port);
            length = sizeof v4;
        }
        auto *raw = reinterpret_cast<sockaddr *>(&address);
        if (bind(m_fd, raw, length) < 0 || (backlog >= 0 && listen(m_fd, backlog) < 0) ||
            getsockname(m_fd, raw, &length) < 0) {
            close(m_fd);
            m_fd = -1;
            return;
        }
        m_port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(address).sin6_port
                                          : reinterpret_cast<sockaddr_in &>(address).sin_port);
    }
    ~Listener()
    {
        for (int fd : m_accepted)
            close(fd);
        if (m_fd >= 0)
            close(m_fd);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    quint16 port() const { return m_port; }

    // The next completed connection, or -1 when none arrives in time.
    int acceptOne()
    {
        pollfd waiting{m_fd, POLLIN, 0};
        if (poll(&waiting, 1, SettleMs) <= 0)
            return -1;
        const int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            m_accepted.append(fd);
        return fd;
    }

private:
    int m_fd = -1;
    quint16 m_port = 0;
    QList<int> m_accepted;
};

// Whether the other end of `fd` has closed: waits up to `waitMs` for the end of the stream,
// passing over any data still to come before it.
bool peerClosed(int fd, int waitMs)
{
    pollfd waiting{fd, POLLIN, 0};
    char buffer[256];
    while (poll(&waiting, 1, waitMs) > 0) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0)
            return n == 0;
    }
    return false;
}

// For the tests of a timeout; the others get time enough for a busy machine.
TcpSocket::Timeouts shortTimeouts()
{
    return {ShortTimeout, ShortTimeout, ShortTimeout};
}

TcpSocket::Timeouts ampleTimeouts()
{
    return {5s, 5s, 5s};
}

// A lookup that takes its time, as one does when a name server answers late or never, and
// then looks the name up for real.
std::atomic<int> lookupDelayMs{0};
std::atomic<int> lookupsDone{0};

int lateLookup(const char *node, const char *service, const addrinfo *hints, addrinfo **result)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(lookupDelayMs));
    const int found = getaddrinfo(node, service, hints, result);
    ++lookupsDone;
    return found;
}

QByteArray readAll(TcpSocket &socket, qsizetype limit, qsizetype *result)
{
    QByteArray all;
    QByteArray buffer(limit, '\0');
    do {
        *result = socket.Read(buffer, Unhurried);
        if (*result > limit)
            return "read over the limit";
        all += buffer.first(std::max<qsizetype>(*result, 0));
    } while (*result > 0);
    return all;
}

} // namespace

class TestTcpSocket : public QObject
{
    Q_OBJECT

private slots:
    void rejectsBadHostsAndPorts_data();
    void rejectsBadHostsAndPorts();
    void connectsWhereAsked_data();
    void connectsWhereAsked();
    void refusedPort();
    void lookupWithinConnectTimeout_data();
    void lookupWithinConnectTimeout();
    void writeAndReadRoundTrip_data();
    void writeAndReadRoundTrip();
    void readReportsReset();
    void readTimesOut_data();
    void readTimesOut();
    void writeTimesOutWithShortCount_data();
    void writeTimesOutWithShortCount();
    void connectTimesOut();
    void noSigpipeAfterPeerLeft();
    void callsWithoutConnectionFail();
    void closesOnDestruction();
};

void TestTcpSocket::rejectsBadHostsAndPorts_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("rejected");

    const QString local = QStringLiteral("127.0.0.1");

    QTest::newRow("empty-host") << QString() << 80 << true;
    QTest::newRow("host-in-brackets") << QStringLiteral("[::1]") << 80 << true;
    QTest::newRow("host-with-space") << QStringLiteral("local host") << 80 << true;
    QTest::newRow("host-with-cr-lf") << QStringLiteral("localhost\r\nX-A: b") << 80 << true;
    QTest::newRow("host-with-tab") << QStringLiteral("local\thost") << 80 << true;
    QTest::newRow("host-with-control") << QStringLiteral("local\x01host") << 80 << true;
    QTest::newRow("host-with-nul") << QString::fromUtf16(u"local\0host", 10) << 80 << true;
    QTest::newRow("host-not-ascii") << QStringLiteral("b\u00FCcher.example") << 80 << true;
    QTest::newRow("host-too-long") << QString(254, u'a') << 80 << true;
    QTest::newRow("port-zero") << local << 0 << true;
    QTest::newRow("port-negative") << local << -1 << true;
    QTest::newRow("port-too-large") << local << 65536 << true;
    // The limits themselves pass the checks; what the network then says does not matter.
    QTest::newRow("port-one") << local << 1 << false;
    QTest::newRow("port-largest") << local << 65535 << false;
}

// Bad arguments fail with EINVAL before any name is looked up or connection tried.
void TestTcpSocket::rejectsBadHostsAndPorts()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, rejected);

    TcpSocket socket(ampleTimeouts());
    const int result = socket.Connect(host, port);
    if (rejected) {
        QVERIFY(result != 0);
        QVERIFY(!socket.isConnected());
    }
    QCOMPARE(result != 0 && socket.LastError() == EINVAL, rejected);
}

void TestTcpSocket::connectsWhereAsked_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("family");

    QTest::newRow("ipv4") << QStringLiteral("127.0.0.1") << AF_INET;
    QTest::newRow("name") << QStringLiteral("localhost") << AF_INET;
    QTest::newRow("ipv6") << QStringLiteral("::1") << AF_INET6;
}

void TestTcpSocket::connectsWhereAsked()
{
    QFETCH(QString, host);
    QFETCH(int, family);

    Listener listener(family);
    if (!listener.isOpen())
        QSKIP("cannot listen on that loopback address here");
    TcpSocket socket(ampleTimeouts());
    QCOMPARE(socket.Connect(host, listener.port()), 0);
    QVERIFY(listener.acceptOne() >= 0);
}

void TestTcpSocket::refusedPort()
{
    Listener boundOnly(AF_INET, 0, -1); // bound but not listening: connections are refused
    QVERIFY(boundOnly.isOpen());

    TcpSocket socket(ampleTimeouts());
    QVERIFY(socket.Connect(QStringLiteral("127.0.0.1"), boundOnly.port()) != 0);
    QVERIFY(!socket.isConnected());
    QCOMPARE(socket.LastError(), ECONNREFUSED);
}

void TestTcpSocket::lookupWithinConnectTimeout_data()
{
    QTest::addColumn<int>("lookupMs");
    QTest::addColumn<int>("connectTimeoutMs");
    QTest::addColumn<int>("error"); // 0 when connected

    QTest::newRow("late-lookup-in-time") << 100 << 5'000 << 0;
    QTest::newRow("lookup-outlasts-timeout") << 500 << int(ShortTimeout.count()) << ETIMEDOUT;
}

// A lookup that hangs is given up on at the connect timeout, and it finishes in the
// background after the socket has gone, freeing what it found.
void TestTcpSocket::lookupWithinConnectTimeout()
{
    QFETCH(int, lookupMs);
    QFETCH(int, connectTimeoutMs);
    QFETCH(int, error);

    Listener listener;
    lookupDelayMs = lookupMs;
    const int doneBefore = lookupsDone;
    int result = 0;
    int lastError = 0;
    bool lookupDoneFirst = false;
    {
        TcpSocket socket({std::chrono::milliseconds(connectTimeoutMs), 5s, 5s}, lateLookup);
        result = socket.Connect(QStringLiteral("localhost"), listener.port());
        lookupDoneFirst = lookupsDone > doneBefore;
        lastError = socket.LastError();
    }
    for (int waited = 0; lookupsDone == doneBefore && waited < SettleMs; waited += 10)
        std::this_thread::sleep_for(10ms);
    QCOMPARE(lookupsDone.load(), doneBefore + 1);
    QCOMPARE(lookupDoneFirst, error == 0);
    QCOMPARE(result == 0 ? 0 : lastError, error);
}

void TestTcpSocket::writeAndReadRoundTrip_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<qsizetype>("limit");

    QTest::newRow("short-reply") << QByteArray("HTTP/1.0 200 OK\r\n\r\nhello") << qsizetype(2048);
    QTest::newRow("tiny-limit") << QByteArray("HTTP/1.0 200 OK\r\n\r\nhello") << qsizetype(1);
    QTest::newRow("nul-bytes") << QByteArray("a\0b\0c", 5) << qsizetype(2048);
    QTest::newRow("many-chunks") << QByteArray(300'000, 'x') << qsizetype(2048);
    QTest::newRow("large-reads") << QByteArray(3'000'000, 'y') << qsizetype(1 << 20);
}

void TestTcpSocket::writeAndReadRoundTrip()
{
    QFETCH(QByteArray, reply);
    QFETCH(qsizetype, limit);

    LoopbackServer server({{reply}});
    TcpSocket socket(ampleTimeouts());
    QCOMPARE(socket.Connect(QStringLiteral("127.0.0.1"), server.port()), 0);
    const QByteArray request = "GET / HTTP/1.0\r\n\r\n";
    QCOMPARE(socket.Write(request, request.size()), request.size());

    qsizetype last = -2;
    QCOMPARE(readAll(socket, limit, &last), reply);
    QCOMPARE(last, qsizetype(0));
    QCOMPARE(server.requests(), QList<QByteArray>{request});
}

void TestTcpSocket::readReportsReset()
{
    LoopbackServer server({{"HTTP/1.0 200 OK\r\n\r\npart of a bo", 0ms, true}});
    TcpSocket socket(ampleTimeouts());
    QCOMPARE(socket.Connect(QStringLiteral("127.0.0.1"), server.port()), 0);
    QCOMPARE(socket.Write("GET / HTTP/1.0\r\n\r\n", 18), qsizetype(18));

    qsizetype last = 0;
    readAll(socket, 2048, &last);
    QCOMPARE(last, qsizetype(-1));
    QCOMPARE(socket.LastError(), ECONNRESET);
}

void TestTcpSocket::readTimesOut_data()
{
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("waitMs"); // the read's own wait

    const int unhurried = int(std::chrono::milliseconds(Unhurried).count());
    QTest::newRow("short-timeout") << int(ShortTimeout.count()) << unhurried;
    QTest::newRow("zero-timeout") << 0 << unhurried;
    QTest::newRow("short-wait") << 5'000 << int(ShortTimeout.count());
    QTest::newRow("zero-wait") << 5'000 << 0;
}

void TestTcpSocket::readTimesOut()
{
    QFETCH(int, timeoutMs);
    QFETCH(int, waitMs);

    LoopbackServer::Reply silent;
    silent.stayOpenWithoutReply = true;
    LoopbackServer server({silent});
    const std::chrono::milliseconds timeout(timeoutMs);
    TcpSocket socket({5s, 5s, timeout});
    QCOMPARE(socket.Connect(QStringLiteral("127.0.0.1"), server.port()), 0);
    QCOMPARE(socket.Write("GET / HTTP/1.0\r\n\r\n", 18), qsizetype(18));

    QByteArray buffer(2048, '\0');
    alarm(WatchdogSeconds); // a read that blocks for good ends the test program instead
    const qsizetype result = socket.Read(buffer, std::chrono::milliseconds(waitMs));
    alarm(0);
    QCOMPARE(result, qsizetype(-1));
    QCOMPARE(socket.LastError(), ETIMEDOUT);
}

void TestTcpSocket::writeTimesOutWithShortCount_data()
{
    QTest::addColumn<bool>("readsSlowly");

    QTest::newRow("peer-never-reads") << false;
    QTest::newRow("peer-reads-slowly") << true;
}

// A peer that reads little or nothing lets the buffers fill up; the send then stops when
// the connection's time for sending is up, however much went out before, and reports how
// much did.
void TestTcpSocket::writeTimesOutWithShortCount()
{
    QFETCH(bool, readsSlowly);

    LoopbackServer::Reply peer;
    peer.neverRead = !readsSlowly;
    peer.readsSlowly = readsSlowly;
    LoopbackServer server({peer});
    TcpSocket socket(shortTimeouts());
    QCOMPARE(socket.Connect(QStringLiteral("127.0.0.1"), server.port()), 0);

    const QByteArray flood(64 * 1024 * 1024, 'x');
    alarm(WatchdogSeconds);
    const qsizetype sent = socket.Write(flood, flood.size());
    alarm(0);
    QVERIFY(sent >= 0);
    QVERIFY(sent < flood.size());
    QCOMPARE(socket.LastError(), ETIMEDOUT);
}

// A listener whose backlog is full and that never accepts drops further handshakes, so a
// connection to it can only end by the connect timeout.
void TestTcpSocket::connectTimesOut()
{
    Listener full(AF_INET, 0, 0);
    QVERIFY(full.isOpen());
    sockaddr_in address = loopbackAddress();
    address.sin_port = htons(full.port());

    QList<int> fillers;
    bool backlogFull = false;
    for (int i = 0; i < 16 && !backlogFull; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        fillers.append(fd);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            continue;
        pollfd waiting{fd, POLLOUT, 0};
        backlogFull = errno == EINPROGRESS && poll(&waiting, 1, 200) == 0;
    }

    int result = 0;
    int error = 0;
    if (backlogFull) {
        TcpSocket socket(shortTimeouts());
        result = socket.Connect(QStringLiteral("127.0.0.1"), full.port());
        error = socket.LastError();
    }
    for (int fd : std::as_const(fillers))
        close(fd);
    if (!backlogFull)
        QSKIP("this system completes handshakes beyond the backlog");
    QVERIFY(result != 0);
    QCOMPARE(error, ETIMEDOUT);
}

// Sending to a peer that has gone must report a failure, not kill the program by SIGPIPE.
void TestTcpSocket::noSigpipeAfterPeerLeft()
{
    LoopbackServer server({{QByteArray()}});
    TcpSocket socket(ampleTimeouts());
    QCOMPARE(socket.Connect(QStringLiteral("127.0.0.1"), server.port()), 0);
    QCOMPARE(socket.Write("GET / HTTP/1.0\r\n\r\n", 18), qsizetype(18));
    QByteArray buffer(2048, '\0');
    QCOMPARE(socket.Read(buffer, Unhurried), qsizetype(0));

    // The first send after the close may still be taken; the peer's reset fails a later one.
    const QByteArray more(4096, 'x');
    qsizetype sent = more.size();
    for (int i = 0; i < 200 && sent == more.size(); ++i)
        sent = socket.Write(more, more.size());
    QVERIFY(sent < more.size());
    QVERIFY2(socket.LastError() == EPIPE || socket.LastError() == ECONNRESET,
             qPrintable(QString::number(socket.LastError())));
}

void TestTcpSocket::callsWithoutConnectionFail()
{
    TcpSocket socket(ampleTimeouts());
    QByteArray buffer(2048, '\0');
    QCOMPARE(socket.Read(buffer, Unhurried), qsizetype(-1));
    QCOMPARE(socket.LastError(), ENOTCONN);
    QVERIFY(socket.Write("x", 1) != 1);
    socket.Disconnect(); // harmless when not connected
    QVERIFY(!socket.isConnected());
}

void TestTcpSocket::closesOnDestruction()
{
    Listener listener;
    auto socket = std::make_unique<TcpSocket>(ampleTimeouts());
    QCOMPARE(socket->Connect(QStringLiteral("127.0.0.1"), listener.port()), 0);
    const int peer = listener.acceptOne();
    QVERIFY(peer >= 0);
    socket.reset();
    QVERIFY(peerClosed(peer, SettleMs));
}

QTEST_APPLESS_MAIN(TestTcpSocket)
#include "tst_tcpsocket.moc"
