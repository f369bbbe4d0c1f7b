#include "pagebox.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QTest>
#include <QTestEventList>
#include <QTextCursor>
#include <QTextDocument>

namespace {

QString text(const char16_t *utf16)
{
    return QString::fromUtf16(utf16);
}

QTestEventList keys(const QString &typed)
{
    QTestEventList events;
    events.addKeyClicks(typed);
    return events;
}

QTestEventList key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTestEventList events;
    events.addKeyClick(key, modifiers);
    return events;
}

// The list owns its events, so the second list's are copied, not shared.
QTestEventList operator+(QTestEventList first, const QTestEventList &second)
{
    for (const QTestEvent *event : second)
        first.append(event->clone());
    return first;
}

} // namespace

// The page box gives back exactly the text it was given, and after the user's edits that
// text with the edits applied: line breaks, U+00A0, NUL and the rest untouched.
class tst_PageBox : public QObject
{
    Q_OBJECT

private slots:
    void keepsTextExactly_data();
    void keepsTextExactly();
    void editsApplyToTheExactText_data();
    void editsApplyToTheExactText();
    void undoAndRedo_data();
    void undoAndRedo();
    void manyEditsStayInStep();
};

void tst_PageBox::keepsTextExactly_data()
{
    QTest::addColumn<QString>("page");

    QTest::newRow("crlf-lines") << QStringLiteral("<p>one</p>\r\n<p>two</p>\r\n");
    QTest::newRow("bare-lf-and-bare-cr") << QStringLiteral("one\ntwo\rthree\n\r\r\n");
    QTest::newRow("nbsp-and-non-ascii") << text(u"a\u00a0b \u00e9\u6771\U0001F600");
    QTest::newRow("nul") << (QStringLiteral("a") + QChar(0) + QStringLiteral("b\r\n"));
    QTest::newRow("line-and-paragraph-separators") << text(u"a\u2028b\u2029c\uFDD0d\uFDD1");
    QTest::newRow("only-breaks") << QStringLiteral("\r\n\r\n\n\r");
    QTest::newRow("empty") << QString();
}

// After putting a page in, and after an edit that the user makes and takes back by hand.
void tst_PageBox::keepsTextExactly()
{
    QFETCH(QString, page);
    PageBox box;
    box.setPageText(page);
    QCOMPARE(box.pageText(), page);

    box.moveCursor(QTextCursor::End);
    QTest::keyClicks(&box, QStringLiteral("x"));
    QTest::keyClick(&box, Qt::Key_Backspace);
    QCOMPARE(box.pageText(), page);
}

void tst_PageBox::editsApplyToTheExactText_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("anchor");   // document positions of the selection the edit starts
    QTest::addColumn<int>("position"); // from; the same for a plain cursor
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QTestEventList>("events");
    QTest::addColumn<QString>("expected");

    const QString crLf = QStringLiteral("one\r\ntwo\r\n");
    QTest::newRow("type-after-crlf")
        << crLf << 4 << 4 << QString() << keys("x") << QStringLiteral("one\r\nxtwo\r\n");
    QTest::newRow("type-at-end") << crLf << 8 << 8 << QString() << keys("end")
                                 << QStringLiteral("one\r\ntwo\r\nend");
    QTest::newRow("enter-in-crlf-text") << crLf << 1 << 1 << QString() << key(Qt::Key_Return)
                                        << QStringLiteral("o\r\nne\r\ntwo\r\n");
    QTest::newRow("shift-enter-is-a-line-break")
        << crLf << 1 << 1 << QString() << key(Qt::Key_Return, Qt::ShiftModifier)
        << QStringLiteral("o\r\nne\r\ntwo\r\n");
    QTest::newRow("enter-in-lf-text") << QStringLiteral("one\ntwo") << 7 << 7 << QString()
                                      << key(Qt::Key_Enter) << QStringLiteral("one\ntwo\n");
    QTest::newRow("enter-in-cr-text") << QStringLiteral("one\rtwo") << 3 << 3 << QString()
                                      << key(Qt::Key_Return) << QStringLiteral("one\r\rtwo");
    QTest::newRow("enter-follows-first-break-of-mixed-text")
        << QStringLiteral("a\rb\r\nc\nd") << 7 << 7 << QString() << key(Qt::Key_Return)
        << QStringLiteral("a\rb\r\nc\nd\r");
    QTest::newRow("enter-in-text-without-breaks") << QStringLiteral("one") << 3 << 3 << QString()
                                                  << key(Qt::Key_Return) << QStringLiteral("one\n");
    QTest::newRow("backspace-removes-whole-crlf")
        << crLf << 4 << 4 << QString() << key(Qt::Key_Backspace) << QStringLiteral("onetwo\r\n");
    QTest::newRow("delete-removes-bare-cr") << QStringLiteral("a\rb\nc") << 1 << 1 << QString()
                                            << key(Qt::Key_Delete) << QStringLiteral("ab\nc");
    QTest::newRow("nbsp-and-nul-around-the-edit")
        << (text(u"a\u00a0b\r\nc\u00a0") + QChar(0)) << 6 << 6 << QString() << keys("x")
        << (text(u"a\u00a0b\r\nc\u00a0x") + QChar(0));
    QTest::newRow("type-over-selection-across-breaks")
        << QStringLiteral("a\r\nb\rc\nd") << 1 << 5 << QString() << keys("x")
        << QStringLiteral("ax\nd");
    QTest::newRow("select-all-backspace-enter")
        << crLf << 0 << 8 << QString() << key(Qt::Key_Backspace) + key(Qt::Key_Return)
        << QStringLiteral("\r\n");
    // Taking out the line between a bare CR and a bare LF leaves them side by side: they
    // are still two line breaks, and edits after them still land in the right place.
    QTest::newRow("cr-and-lf-brought-together")
        << QStringLiteral("a\rb\nc") << 2 << 3 << QString()
        << key(Qt::Key_Delete) + key(Qt::Key_End, Qt::ControlModifier) + keys("y")
        << QStringLiteral("a\r\ncy");
    QTest::newRow("surrogate-pair-before-the-edit")
        << text(u"\U0001F600\r\n") << 3 << 3 << QString() << keys("x") << text(u"\U0001F600\r\nx");
    QTest::newRow("paste-multi-line-into-lf-text")
        << QStringLiteral("a\nb") << 1 << 1 << text(u"1\r\n2\u00a03\r4")
        << key(Qt::Key_V, Qt::ControlModifier) << text(u"a1\n2\u00a03\n4\nb");
}

void tst_PageBox::editsApplyToTheExactText()
{
    QFETCH(QString, page);
    QFETCH(int, anchor);
    QFETCH(int, position);
    QFETCH(QString, clipboard);
    QFETCH(QTestEventList, events);
    QFETCH(QString, expected);
    if (!clipboard.isEmpty())
        QGuiApplication::clipboard()->setText(clipboard);
    PageBox box;
    box.setPageText(page);
    QTextCursor cursor(box.document());
    cursor.setPosition(anchor);
    cursor.setPosition(position, QTextCursor::KeepAnchor);
    box.setTextCursor(cursor);

    events.simulate(&box);

    QCOMPARE(box.pageText(), expected);
}

void tst_PageBox::undoAndRedo_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QTestEventList>("events");

    const QString page = text(u"one\r\ntwo\u00a0\rthree\n");
    QTest::newRow("typing") << page << keys("abc");
    QTest::newRow("enter") << page << key(Qt::Key_Return) + keys("x");
    QTest::newRow("deleting-characters") << page << key(Qt::Key_Delete) + key(Qt::Key_Delete);
    QTest::newRow("replacing-everything")
        << page << key(Qt::Key_A, Qt::ControlModifier) + keys("new");
}

// Undoing every edit gives back the text as it was put in; redoing them, the edited text.
void tst_PageBox::undoAndRedo()
{
    QFETCH(QString, page);
    QFETCH(QTestEventList, events);
    PageBox box;
    box.setPageText(page);
    box.moveCursor(QTextCursor::Start);
    events.simulate(&box);
    const QString edited = box.pageText();
    QVERIFY(edited != page);

    while (box.document()->isUndoAvailable())
        box.undo();
    const QString undone = box.pageText();
    while (box.document()->isRedoAvailable())
        box.redo();

    QCOMPARE(undone, page);
    QCOMPARE(box.pageText(), edited);
}

// Random edits through the document itself: the exact text stays in step with what the
// document shows. The text's breaks are CR LF and LF only, so that every break in it
// stands for one paragraph break of the document.
void tst_PageBox::manyEditsStayInStep()
{
    QRandomGenerator random(20240611);
    const QStringList pieces = {QStringLiteral("x"), QStringLiteral("\n"), text(u"\u00a0"),
                                QStringLiteral("ab"), text(u"\u6771")};
    PageBox box;
    box.setPageText(QStringLiteral("one\r\ntwo\nthree\r\n\r\nfour"));
    QTextDocument *document = box.document();
    for (int step = 0; step < 400; ++step) {
        const int length = document->characterCount() - 1;
        QTextCursor cursor(document);
        cursor.setPosition(random.bounded(length + 1));
        cursor.setPosition(random.bounded(length + 1), QTextCursor::KeepAnchor);
        switch (random.bounded(5)) {
        case 0:
            cursor.removeSelectedText();
            break;
        case 1:
            cursor.insertBlock();
            break;
        case 2:
            document->undo();
            break;
        case 3:
            document->redo();
            break;
        default:
            cursor.insertText(pieces[random.bounded(pieces.size())]);
            break;
        }
        QString exact = box.pageText();
        exact.replace(QStringLiteral("\r\n"), QString(QChar::ParagraphSeparator));
        exact.replace(u'\n', QChar::ParagraphSeparator);
        QCOMPARE(exact, document->toRawText());
    }
}

QTEST_MAIN(tst_PageBox)
#include "tst_pagebox.moc"
