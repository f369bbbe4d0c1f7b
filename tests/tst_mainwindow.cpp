// SPDX-License-Identifier: GPL-3.0-or-later
#include "loopbackserver.h"
#include "mainwindow.h"
#include "pagebox.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

using namespace Qt::StringLiterals;

// The window as the user first sees it, and what its buttons and keys do before any page
// is fetched. Retrievals here never leave the machine: they fail on the port or on a
// refused loopback port, or meet a server on the loopback address.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void clientAreaIsFixed();
    void controlGeometry_data();
    void controlGeometry();
    void initialTexts_data();
    void initialTexts();
    void defaultUrlIsHostAndPath();
    void pageBoxWrapsAndScrollsVertically();
    void focusStartsInPageBox();
    void tabOrder();
    void enterInUrlBoxRetrievesNothing();
    void retrieveShowsUrlAndPort_data();
    void retrieveShowsUrlAndPort();
    void longPortFitsItsLabel();
    void badSchemeLeavesUrlAndPortAlone();
    void controlsKeepTheirStateAfterRetrievals();
    void redirectTargetFetchedWhole();

private:
    template <typename T> T *control(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QString pageText() const { return control<PageBox>("ContentBox")->pageText(); }

    std::unique_ptr<Main> m_window;
};

void tst_MainWindow::init()
{
    m_window = std::make_unique<Main>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_MainWindow::cleanup()
{
    m_window.reset();
}

void tst_MainWindow::clientAreaIsFixed()
{
    QCOMPARE(m_window->size(), QSize(377, 345));
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
}

void tst_MainWindow::controlGeometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("page-box") << QStringLiteral("ContentBox") << QRect(8, 72, 361, 233);
    QTest::newRow("url-box") << QStringLiteral("URLBox") << QRect(8, 32, 273, 19);
    QTest::newRow("save-button") << QStringLiteral("SaveAs") << QRect(320, 312, 49, 25);
    QTest::newRow("retrieve-button") << QStringLiteral("Retrieve") << QRect(312, 32, 57, 21);
    QTest::newRow("url-label") << QStringLiteral("Label_URL") << QRect(8, 16, 33, 17);
    QTest::newRow("contents-label") << QStringLiteral("Label_Contents") << QRect(8, 56, 81, 17);
    QTest::newRow("port-label") << QStringLiteral("PortNum") << QRect(288, 32, 25, 17);
}

// Every control sits where the layout puts it; a caption may only grow to the right,
// where nothing else stands, when the font needs more room.
void tst_MainWindow::controlGeometry()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);

    const QWidget *widget = m_window->findChild<QWidget *>(name);
    QVERIFY(widget);
    const QRect actual = widget->geometry();
    QCOMPARE(actual.topLeft(), geometry.topLeft());
    QCOMPARE(actual.height(), geometry.height());
    if (name.startsWith(u"Label_"))
        QVERIFY(actual.width() >= geometry.width());
    else
        QCOMPARE(actual.width(), geometry.width());
}

void tst_MainWindow::initialTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");

    QTest::newRow("save-button") << QStringLiteral("SaveAs") << QStringLiteral("Save");
    QTest::newRow("retrieve-button") << QStringLiteral("Retrieve") << QStringLiteral("Retrieve");
    QTest::newRow("url-label") << QStringLiteral("Label_URL") << QStringLiteral("URL:");
    QTest::newRow("contents-label")
        << QStringLiteral("Label_Contents") << QStringLiteral("Page contents:");
    QTest::newRow("port-label") << QStringLiteral("PortNum") << QString();
}

void tst_MainWindow::initialTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);

    const QObject *widget = m_window->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->property("text").toString(), text);
}

void tst_MainWindow::defaultUrlIsHostAndPath()
{
    const QString url = control<QLineEdit>("URLBox")->text();
    QVERIFY(!url.contains(u':'));
    QVERIFY(url.indexOf(u'/') > 0);
}

void tst_MainWindow::pageBoxWrapsAndScrollsVertically()
{
    auto *pageBox = control<PageBox>("ContentBox");
    QVERIFY(pageText().isEmpty());
    const QString longLine = QStringLiteral("wrapped ").repeated(200);
    pageBox->setPageText(longLine);
    QVERIFY(pageBox->characterRect(longLine.size() - 1).right() < pageBox->viewport()->width());
    pageBox->setPageText(QString());
    QCOMPARE(pageBox->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QVERIFY(pageBox->verticalScrollBar()->isVisible());
    QVERIFY(!pageBox->isReadOnly());
}

void tst_MainWindow::focusStartsInPageBox()
{
    QCOMPARE(m_window->focusWidget(), control<QWidget>("ContentBox"));
}

void tst_MainWindow::tabOrder()
{
    const QStringList expected = {QStringLiteral("URLBox"), QStringLiteral("SaveAs"),
                                  QStringLiteral("Retrieve"), QStringLiteral("ContentBox")};
    QStringList visited;
    const QWidget *widget = control<QWidget>("ContentBox");
    for (qsizetype i = 0; i < expected.size(); ++i) {
        do {
            widget = widget->nextInFocusChain();
        } while (widget->focusPolicy() == Qt::NoFocus || widget == m_window.get());
        visited += widget->objectName();
    }
    QCOMPARE(visited, expected);
}

// Neither button is a default button: Enter in the URL box leaves everything as it was.
void tst_MainWindow::enterInUrlBoxRetrievesNothing()
{
    auto *urlBox = control<QLineEdit>("URLBox");
    control<PageBox>("ContentBox")->setPageText(QStringLiteral("typed by the user"));
    urlBox->setText(QStringLiteral("127.0.0.1:1/docs"));
    QTest::keyClick(urlBox, Qt::Key_Return);
    QTest::keyClick(urlBox, Qt::Key_Enter);
    QCOMPARE(urlBox->text(), QStringLiteral("127.0.0.1:1/docs"));
    QCOMPARE(pageText(), QStringLiteral("typed by the user"));
    QVERIFY(control<QLabel>("PortNum")->text().isEmpty());
}

void tst_MainWindow::retrieveShowsUrlAndPort_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("port");

    QTest::newRow("directory-path")
        << QStringLiteral("  127.0.0.1:1/docs  ") << QStringLiteral("http://127.0.0.1/docs/")
        << QStringLiteral("1");
    QTest::newRow("port-in-path") << QStringLiteral("http://127.0.0.1:1/docs/page.html")
                                  << QStringLiteral("http://127.0.0.1/docs/page.html")
                                  << QStringLiteral("1");
    QTest::newRow("port-not-a-number")
        << QStringLiteral("HOST:abc/") << QStringLiteral("http://HOST/") << QStringLiteral("0");
    QTest::newRow("fractional-port")
        << QStringLiteral("HOST:1.5") << QStringLiteral("http://HOST/") << QStringLiteral("1.5");
    QTest::newRow("port-beyond-range")
        << QStringLiteral("HOST:1e999") << QStringLiteral("http://HOST/") << QStringLiteral("inf");
}

// A click on Retrieve writes the normalised URL and the port back before it connects;
// these ports are refused or invalid, so the retrieval ends with the connection message.
void tst_MainWindow::retrieveShowsUrlAndPort()
{
    QFETCH(QString, typed);
    QFETCH(QString, url);
    QFETCH(QString, port);

    control<QLineEdit>("URLBox")->setText(typed);
    QTest::mouseClick(control<QPushButton>("Retrieve"), Qt::LeftButton);
    QCOMPARE(control<QLineEdit>("URLBox")->text(), url);
    QCOMPARE(control<QLabel>("PortNum")->text(), port);
    QCOMPARE(pageText(), QStringLiteral("Connection error!"));
    QVERIFY(!m_window->redirecting());
}

// The port label is narrow; the largest port must still show whole, not cut off.
void tst_MainWindow::longPortFitsItsLabel()
{
    control<QLineEdit>("URLBox")->setText(QStringLiteral("127.0.0.1:65535/"));
    QTest::mouseClick(control<QPushButton>("Retrieve"), Qt::LeftButton);
    const auto *portLabel = control<QLabel>("PortNum");
    QCOMPARE(portLabel->text(), QStringLiteral("65535"));
    QVERIFY(portLabel->fontMetrics().horizontalAdvance(portLabel->text()) <= portLabel->width());
}

void tst_MainWindow::badSchemeLeavesUrlAndPortAlone()
{
    control<QLineEdit>("URLBox")->setText(QStringLiteral("127.0.0.1:1/"));
    QTest::mouseClick(control<QPushButton>("Retrieve"), Qt::LeftButton);
    control<QLineEdit>("URLBox")->setText(QStringLiteral(" ftp://HOST/ "));
    QTest::mouseClick(control<QPushButton>("Retrieve"), Qt::LeftButton);

    QCOMPARE(control<QLineEdit>("URLBox")->text(), QStringLiteral(" ftp://HOST/ "));
    QCOMPARE(control<QLabel>("PortNum")->text(), QStringLiteral("1"));
    QCOMPARE(pageText(), QStringLiteral("Error: Only HTTP protcol is supported"));
}

void tst_MainWindow::controlsKeepTheirStateAfterRetrievals()
{
    for (const QString &url : {QStringLiteral("127.0.0.1:1/"), QStringLiteral("HTTP://HOST/")}) {
        control<QLineEdit>("URLBox")->setText(url);
        QTest::mouseClick(control<QPushButton>("Retrieve"), Qt::LeftButton);
    }
    QVERIFY(control<QPushButton>("Retrieve")->isEnabled());
    QVERIFY(control<QPushButton>("SaveAs")->isEnabled());
    QCOMPARE(control<QLabel>("Label_URL")->text(), QStringLiteral("URL:"));
    QCOMPARE(control<QLabel>("Label_Contents")->text(), QStringLiteral("Page contents:"));
}

// A URL longer than a line edit holds by default is requested as it was sent, and shown.
void tst_MainWindow::redirectTargetFetchedWhole()
{
    const QByteArray path = '/' + QByteArray(39'999, 'p');
    const LoopbackServer server({{"HTTP/1.0 302 Found\r\nLocation: " + path + "\r\n\r\n"},
                                 {"HTTP/1.0 200 OK\r\n\r\nmoved here"}});
    const QString host = QStringLiteral("127.0.0.1:%1").arg(server.port());
    control<QLineEdit>("URLBox")->setText(host + u'/');
    QTest::mouseClick(control<QPushButton>("Retrieve"), Qt::LeftButton);

    QCOMPARE(pageText(), QStringLiteral("moved here"));
    QCOMPARE(server.requests().value(1).split('\r').first(), "GET " + path + " HTTP/1.0");
    QCOMPARE(control<QLineEdit>("URLBox")->text(), u"http://"_s + host + QString::fromLatin1(path));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
