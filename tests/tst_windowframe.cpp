// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"

#include <QTest>

// The window as the desktop sees it: its frame buttons, its icon, and its layout on a
// denser screen. Registered once at the normal scale and once with QT_SCALE_FACTOR=2.
class tst_WindowFrame : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void frameButtons_data();
    void frameButtons();
    void iconIsTarnwicks_data();
    void iconIsTarnwicks();
    void layoutKeepsItsProportions();

private:
    std::unique_ptr<Main> m_window;
};

void tst_WindowFrame::init()
{
    m_window = std::make_unique<Main>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_WindowFrame::cleanup()
{
    m_window.reset();
}

void tst_WindowFrame::frameButtons_data()
{
    QTest::addColumn<Qt::WindowType>("hint");
    QTest::addColumn<bool>("present");

    QTest::newRow("title") << Qt::WindowTitleHint << true;
    QTest::newRow("minimise") << Qt::WindowMinimizeButtonHint << true;
    QTest::newRow("close") << Qt::WindowCloseButtonHint << true;
    QTest::newRow("no-maximise") << Qt::WindowMaximizeButtonHint << false;
    QTest::newRow("not-frameless") << Qt::FramelessWindowHint << false;
}

void tst_WindowFrame::frameButtons()
{
    QFETCH(Qt::WindowType, hint);
    QFETCH(bool, present);

    QVERIFY(m_window->isWindow());
    QCOMPARE(m_window->windowFlags().testFlag(hint), present);
}

void tst_WindowFrame::iconIsTarnwicks_data()
{
    QTest::addColumn<int>("size");

    QTest::newRow("smallest") << 16;
    QTest::newRow("title-bar") << 32;
    QTest::newRow("largest") << 256;
}

void tst_WindowFrame::iconIsTarnwicks()
{
    QFETCH(int, size);

    const QIcon icon = m_window->windowIcon();
    QVERIFY(icon.availableSizes().contains(QSize(size, size)));
    QCOMPARE(icon.pixmap(QSize(size, size), 1.0).size(), QSize(size, size));
}

// Qt lays the window out in device-independent pixels and draws it at the screen's scale,
// so the window and every control keep their places and only the pixels multiply.
void tst_WindowFrame::layoutKeepsItsProportions()
{
    bool ok = false;
    qreal scale = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&ok);
    if (!ok)
        scale = 1.0;

    QCOMPARE(m_window->devicePixelRatioF(), scale);
    for (const QWidget *control : m_window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        QVERIFY2(m_window->rect().contains(control->geometry()), qPrintable(control->objectName()));
    const QPixmap shot = m_window->grab();
    QCOMPARE(shot.size(), m_window->size() * scale);
}

QTEST_MAIN(tst_WindowFrame)
#include "tst_windowframe.moc"
