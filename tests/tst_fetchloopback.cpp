// SPDX-License-Identifier: GPL-3.0-or-later
#include "loopbackaddress.h"
#include "loopbackserver.h"
#include "memorywindow.h"
#include "retrieval.h"
#include "tcpsocket.h"

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

using Reply = LoopbackServer::Reply;

constexpr auto ReadTimeout = 300ms;

struct Fetched
{
    RetrievalOutcome outcome;
    QString page;
    QString url;
    QString port;
};

// One press of Retrieve with `url` in the URL box, over a real socket.
Fetched fetch(const QString &url, std::chrono::milliseconds readTimeout = 5s)
{
    MemoryWindow window(url);
    TcpSocket socket(TcpSocket::Timeouts{5s, 5s, readTimeout});
    const RetrievalOutcome outcome = retrievePage(window, socket);
    return {outcome, window.pageText(), window.urlText(), window.portCaption()};
}

QString localUrl(quint16 port, const QString &path)
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
}

Reply redirectTo(const QByteArray &status, const QByteArray &location)
{
    return {"HTTP/1.0 " + status + "\r\nLocation: " + location + "\r\n\r\nmoved"};
}

// The request for `path` on the loopback server at `port`, whose Host field names the port.
QByteArray requestFor(const QByteArray &path, quint16 port)
{
    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    return "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\nAccept: text/*\r\n\r\n";
}

} // namespace

class TestFetchLoopback : public QObject
{
    Q_OBJECT

private slots:
    void oneResponse_data();
    void oneResponse();
    void redirectChainAcrossTwoServers();
    void redirectLoopEnds();
    void refusedPort();
    void requestAsReceived_data();
    void requestAsReceived();
};

void TestFetchLoopback::oneResponse_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("page");
    QTest::addColumn<RetrievalOutcome>("outcome");

    const QByteArray big(1'000'000, 'b');
    Reply silent;
    silent.stayOpenWithoutReply = true;

    QTest::newRow("page") << Reply{"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nHello\r\n"}
                          << QStringLiteral("Hello\r\n") << RetrievalOutcome::PageShown;
    QTest::newRow("page-over-many-reads")
        << Reply{"HTTP/1.0 200 OK\r\n\r\n" + big} << QString::fromLatin1(big)
        << RetrievalOutcome::PageShown;
    QTest::newRow("utf8-page") << Reply{"HTTP/1.0 200 OK\r\n\r\ncaf\xC3\xA9"}
                               << QStringLiteral("caf\u00E9") << RetrievalOutcome::PageShown;
    QTest::newRow("not-found") << Reply{"HTTP/1.0 404 Not Found\r\n\r\nNo such page"}
                               << QStringLiteral("Error: 404") << RetrievalOutcome::Failed;
    QTest::newRow("closed-without-reply")
        << Reply{QByteArray()} << QStringLiteral("Error: 0") << RetrievalOutcome::Failed;
    QTest::newRow("reset-mid-body")
        << Reply{"HTTP/1.0 200 OK\r\n\r\nthe first half of", 0ms, true}
        << QStringLiteral("Error receiving data! - 104") << RetrievalOutcome::Failed;
    QTest::newRow("silent-server")
        << silent << QStringLiteral("Error receiving data! - 110") << RetrievalOutcome::Failed;
}

void TestFetchLoopback::oneResponse()
{
    QFETCH(Reply, reply);
    QFETCH(QString, page);
    QFETCH(RetrievalOutcome, outcome);

    LoopbackServer server({reply});
    const Fetched fetched = fetch(localUrl(server.port(), u"/page.html"_qs), ReadTimeout);
    QCOMPARE(fetched.page, page);
    QCOMPARE(fetched.outcome, outcome);
    QCOMPARE(fetched.url, u"http://127.0.0.1/page.html"_qs);
    QCOMPARE(fetched.port, QString::number(server.port()));
}

// A (absolute Location) -> B (relative) -> B (absolute path) -> B's page.
void TestFetchLoopback::redirectChainAcrossTwoServers()
{
    LoopbackServer second({redirectTo("302 Found", "final.html"),
                           redirectTo("303 See Other", "/top/last.txt"),
                           Reply{"HTTP/1.0 200 OK\r\n\r\narrived"}});
    const QByteArray secondHost = "127.0.0.1:" + QByteArray::number(second.port());
    LoopbackServer first({redirectTo("301 Moved Permanently", "http://" + secondHost + "/a/next")});

    const Fetched fetched = fetch(localUrl(first.port(), u"/start.html"_qs));
    QCOMPARE(fetched.page, u"arrived"_qs);
    QCOMPARE(fetched.outcome, RetrievalOutcome::PageShown);
    QCOMPARE(fetched.url, QString::fromLatin1("http://" + secondHost + "/top/last.txt"));
    QCOMPARE(fetched.port, QString());
    QCOMPARE(first.requests(), QList<QByteArray>{requestFor("/start.html", first.port())});
    const QList<QByteArray> followed{requestFor("/a/next", second.port()),
                                     requestFor("/a/final.html", second.port()),
                                     requestFor("/top/last.txt", second.port())};
    QCOMPARE(second.requests(), followed);
}

void TestFetchLoopback::redirectLoopEnds()
{
    // One reply more than should ever be asked for.
    LoopbackServer server(QList<Reply>(22, redirectTo("302 Found", "/loop.html")));
    const Fetched fetched = fetch(localUrl(server.port(), u"/loop.html"_qs));
    QCOMPARE(fetched.page, u"Error: Too many redirects"_qs);
    QCOMPARE(fetched.outcome, RetrievalOutcome::Failed);
    QCOMPARE(server.requests().size(), qsizetype(21));
}

void TestFetchLoopback::refusedPort()
{
    // A bound socket that does not listen refuses every connection to its port.
    const int bound = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress();
    socklen_t length = sizeof address;
    QVERIFY(bind(bound, reinterpret_cast<sockaddr *>(&address), length) == 0);
    getsockname(bound, reinterpret_cast<sockaddr *>(&address), &length);

    const Fetched fetched = fetch(localUrl(ntohs(address.sin_port), u"/"_qs));
    close(bound);
    QCOMPARE(fetched.page, u"Connection error!"_qs);
    QCOMPARE(fetched.outcome, RetrievalOutcome::Failed);
}

void TestFetchLoopback::requestAsReceived_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("target"); // as the request line carries it

    QTest::newRow("plain-path") << u"/docs"_qs << "/docs/"_qba;
    QTest::newRow("file-path") << u"/docs/page.html"_qs << "/docs/page.html"_qba;
    QTest::newRow("space") << u"/a b.html"_qs << "/a%20b.html"_qba;
    QTest::newRow("cr-lf") << u"/a.html\r\nX-Injected 1"_qs << "/a.html%0D%0AX-Injected%201"_qba;
    QTest::newRow("non-ascii") << u"/caf\u00E9/\u00FC.html"_qs << "/caf%C3%A9/%C3%BC.html"_qba;
    QTest::newRow("fragment") << u"/page.html#part-2"_qs << "/page.html"_qba;
}

void TestFetchLoopback::requestAsReceived()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, target);

    LoopbackServer server({Reply{"HTTP/1.0 200 OK\r\n\r\nok"}});
    const Fetched fetched = fetch(localUrl(server.port(), path));
    QCOMPARE(fetched.page, u"ok"_qs);
    QCOMPARE(server.requests(), QList<QByteArray>{requestFor(target, server.port())});
}

QTEST_APPLESS_MAIN(TestFetchLoopback)
#include "tst_fetchloopback.moc"
