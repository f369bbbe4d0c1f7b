// SPDX-License-Identifier: GPL-3.0-or-later
#include "loopbackserver.h"
#include "mainwindow.h"
#include "pagebox.h"
#include "standinsavedialog.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

// A page fetched from a loopback server through the window and saved through it: the file
// holds the body as decoded, line breaks and all, and after the user has typed into the
// page box, that body with the typing in it.
class tst_SaveRoundTrip : public QObject
{
    Q_OBJECT

private slots:
    void savedFileEqualsTheBody_data();
    void savedFileEqualsTheBody();
};

void tst_SaveRoundTrip::savedFileEqualsTheBody_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("expected"); // the body decoded, as UTF-8
    QTest::addColumn<QString>("typedAtStart");
    QTest::addColumn<QString>("typedAtEnd");

    const QByteArray html = "<html>\r\n<body>one\r\ntwo</body>\r\n</html>\r\n";
    QTest::newRow("crlf-lines") << html << html << QString() << QString();
    QTest::newRow("crlf-lines-typed-into")
        << html << "x" + html + "y" << QStringLiteral("x") << QStringLiteral("y");

    const QByteArray mixed = "one\ntwo\rthree\r\nfour\n\r";
    QTest::newRow("bare-lf-and-bare-cr") << mixed << mixed << QString() << QString();
    QTest::newRow("bare-lf-and-bare-cr-typed-into")
        << mixed << "x" + mixed + "y" << QStringLiteral("x") << QStringLiteral("y");

    const QByteArray utf8 = "caf\xc3\xa9\xc2\xa0\xe6\x9d\xb1\xe4\xba\xac\r\n\xf0\x9f\x98\x80"
                            "\xe2\x80\xa8\xe2\x80\xa9"
                            "end";
    QTest::newRow("nbsp-and-non-ascii-utf8") << utf8 << utf8 << QString() << QString();
    QTest::newRow("nbsp-and-non-ascii-utf8-typed-into")
        << utf8 << "x" + utf8 + "y" << QStringLiteral("x") << QStringLiteral("y");

    // Not UTF-8, so each byte is read as Windows-1252: 0xA0 is U+00A0, 0x80 the euro sign.
    QTest::newRow("windows-1252") << QByteArray("caf\xe9 \xa0\x80\r\n")
                                  << QByteArray("caf\xc3\xa9 \xc2\xa0\xe2\x82\xac\r\n") << QString()
                                  << QString();
    QTest::newRow("nul-byte") << QByteArray("a\0b\r\n", 5) << QByteArray("a\0b\r\n", 5) << QString()
                              << QString();
    QTest::newRow("empty-body") << QByteArray() << QByteArray() << QString() << QString();
}

void tst_SaveRoundTrip::savedFileEqualsTheBody()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, expected);
    QFETCH(QString, typedAtStart);
    QFETCH(QString, typedAtEnd);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    LoopbackServer server({{"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + body}});
    Main window;
    window.findChild<QLineEdit *>(QStringLiteral("URLBox"))
        ->setText(QStringLiteral("http://127.0.0.1:%1/page.html").arg(server.port()));
    window.findChild<QPushButton *>(QStringLiteral("Retrieve"))->click();
    QCOMPARE(server.requests().size(), 1);

    auto *pageBox = window.findChild<PageBox *>(QStringLiteral("ContentBox"));
    pageBox->setCursorPosition(0);
    QTest::keyClicks(pageBox, typedAtStart);
    pageBox->setCursorPosition(pageBox->characterCount());
    QTest::keyClicks(pageBox, typedAtEnd);

    const QString path = dir.filePath(QStringLiteral("page.html"));
    StandInSaveDialog saveBox(path);
    window.setSaveDialog(&saveBox);
    window.setSaveFailureReport([](const QString &fileName, const QString &reason) {
        QFAIL(qPrintable(fileName + QStringLiteral(": ") + reason));
    });
    window.findChild<QPushButton *>(QStringLiteral("SaveAs"))->click();

    QFile saved(path);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), expected);
}

QTEST_MAIN(tst_SaveRoundTrip)
#include "tst_saveroundtrip.moc"
