// SPDX-License-Identifier: GPL-3.0-or-later
#include "loopbackaddress.h"
#include "loopbackserver.h"
#include "mainwindow.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define TARNWICK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNWICK_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef TARNWICK_ADDRESS_SANITIZER
#include <sanitizer/allocator_interface.h>
#endif

// A thousand presses of Retrieve in one window, against a local server: whatever way each
// retrieval ends, the window keeps no connection open and its memory does not grow.
class tst_StayingPower : public QObject
{
    Q_OBJECT

private slots:
    void thousandRetrievals_data();
    void thousandRetrievals();
};

namespace {

using Reply = LoopbackServer::Reply;

constexpr int WarmUpRetrievals = 50;
constexpr int MeasuredRetrievals = 1000;
// Room for what a long-running process may settle into (allocator caches, the test's own
// record of the server's requests); far below what a page kept per retrieval would cost.
constexpr qint64 MemorySlackBytes = 4 * 1024 * 1024;
constexpr int DescriptorSlack = 0;

// How each retrieval ends. One press of Retrieve may use several connections (a redirect).
enum class Ending { Page, Redirect, NotFound, Reset, Refused, Mixed };

// A page of 32 KiB, so that a copy of it kept per retrieval would show in the memory.
QByteArray pageBody()
{
    QByteArray body;
    for (int line = 0; body.size() < 32 * 1024; ++line)
        body +=
            "<p>Line " + QByteArray::number(line) + " of a page fetched again and again</p>\r\n";
    return body;
}

QByteArray okResponse(const QByteArray &body)
{
    return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + body;
}

// A port on 127.0.0.1 that nothing listens on.
quint16 refusedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress();
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

// The memory the process holds. Under AddressSanitizer freed blocks wait in a quarantine
// of up to 256 MiB before they are reused, so the resident size would grow anyway; there the
// heap blocks still allocated are what counts.
qint64 memoryInUse()
{
#ifdef TARNWICK_ADDRESS_SANITIZER
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) : -1;
#endif
}

// One press: what the server answers, with what URL, and what the page box then holds.
struct Press
{
    QList<Reply> replies; // one per connection the press makes
    bool refused = false; // goes to a port where nothing listens
    QString pageText;
};

Press press(Ending ending, int index)
{
    // Built once and shared by every press, so that the test's own memory stays flat.
    static const QByteArray body = pageBody();
    static const QByteArray ok = okResponse(body);
    static const QString page = QString::fromUtf8(body);
    switch (ending) {
    case Ending::Page:
        return {{{ok}}, false, page};
    case Ending::Redirect:
        return {{{"HTTP/1.0 302 Found\r\nLocation: /moved/page.html\r\n\r\n"}, {ok}}, false, page};
    case Ending::NotFound:
        return {{{"HTTP/1.0 404 Not Found\r\n\r\nnot here"}}, false, QStringLiteral("Error: 404")};
    case Ending::Reset:
        return {{{ok, std::chrono::milliseconds(0), true}},
                false,
                QStringLiteral("Error receiving data! - 104")};
    case Ending::Refused:
        return {{}, true, QStringLiteral("Connection error!")};
    case Ending::Mixed:
        break;
    }
    static constexpr Ending cycle[] = {Ending::Page, Ending::Redirect, Ending::NotFound,
                                       Ending::Reset, Ending::Refused};
    return press(cycle[index % std::size(cycle)], index);
}

} // namespace

void tst_StayingPower::thousandRetrievals_data()
{
    QTest::addColumn<Ending>("ending");

    QTest::newRow("pages") << Ending::Page;
    QTest::newRow("redirects") << Ending::Redirect;
    QTest::newRow("status-errors") << Ending::NotFound;
    QTest::newRow("connection-resets") << Ending::Reset;
    QTest::newRow("refused-connections") << Ending::Refused;
    QTest::newRow("every-ending-in-turn") << Ending::Mixed;
}

void tst_StayingPower::thousandRetrievals()
{
    QFETCH(Ending, ending);

    constexpr int total = WarmUpRetrievals + MeasuredRetrievals;
    QList<Press> presses;
    QList<Reply> replies;
    for (int i = 0; i < total; ++i) {
        presses += press(ending, i);
        replies += presses.last().replies;
    }
    const LoopbackServer server(replies);
    const QString servedUrl = QStringLiteral("127.0.0.1:%1/page.html").arg(server.port());
    const QString refusedUrl = QStringLiteral("127.0.0.1:%1/page.html").arg(refusedPort());

    Main window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *urlBox = window.findChild<QLineEdit *>(QStringLiteral("URLBox"));
    auto *retrieve = window.findChild<QPushButton *>(QStringLiteral("Retrieve"));
    QVERIFY(urlBox && retrieve);

    int descriptorsBefore = 0;
    qint64 memoryBefore = 0;
    for (int i = 0; i < total; ++i) {
        if (i == WarmUpRetrievals) {
            descriptorsBefore = openDescriptors();
            memoryBefore = memoryInUse();
        }
        urlBox->setText(presses[i].refused ? refusedUrl : servedUrl);
        QTest::mouseClick(retrieve, Qt::LeftButton);
        QCoreApplication::processEvents(); // as the window would between two clicks
        if (window.pageText() != presses[i].pageText)
            QFAIL(qPrintable(QStringLiteral("retrieval %1 ended with: %2")
                                 .arg(i)
                                 .arg(window.pageText().left(80))));
    }

    // The server's thread may still be closing its end of the last connection (after a 404
    // the window hangs up first), so its descriptor is given a moment to go.
    QTRY_VERIFY2_WITH_TIMEOUT(openDescriptors() <= descriptorsBefore + DescriptorSlack,
                              "open file descriptors grew over the retrievals", 2000);
    const int descriptorsAfter = openDescriptors();
    const qint64 memoryAfter = memoryInUse();
    qInfo("descriptors %d -> %d, memory in use %lld KiB -> %lld KiB", descriptorsBefore,
          descriptorsAfter, memoryBefore / 1024, memoryAfter / 1024);
    QVERIFY(memoryBefore > 0);
    QVERIFY2(memoryAfter <= memoryBefore + MemorySlackBytes,
             "memory in use grew over the retrievals");
}

QTEST_MAIN(tst_StayingPower)
#include "tst_stayingpower.moc"
