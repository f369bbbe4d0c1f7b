// SPDX-License-Identifier: GPL-3.0-or-later
#include "linestarts.h"
#include "pagebox.h"
#include "pagecontrol.h"
#include "pagehistory.h"
#include "pagelayouts.h"
#include "pagetext.h"
#include "rowindex.h"

#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTestEventList>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <memory>
#include <vector>

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

// The line break the box gives a typed, pasted or dropped line break: the text's first,
// or when it has none left the first it was ever seen to have, or LF.
QString firstBreak(const QString &text, QString &remembered)
{
    qsizetype at = 0;
    while (at < text.size() && text[at] != u'\r' && text[at] != u'\n')
        ++at;
    if (at == text.size())
        return remembered.isEmpty() ? QStringLiteral("\n") : remembered;
    const QString found = text.mid(at, 2) == u"\r\n" ? text.mid(at, 2) : text.mid(at, 1);
    if (remembered.isEmpty())
        remembered = found;
    return found;
}

// The caret never stands inside a CR LF break or a surrogate pair: it goes before them.
qsizetype settled(const QString &text, qsizetype p)
{
    if (p > 0 && p < text.size() &&
        ((text[p - 1] == u'\r' && text[p] == u'\n') ||
         (text[p - 1].isHighSurrogate() && text[p].isLowSurrogate())))
        return p - 1;
    return p;
}

// A text with its history, its rows and its layouts, as the page box keeps them; with
// `perBlock` pieces and rows to a block, where a short text is to spread over many blocks.
struct IndexedText
{
    explicit IndexedText(const QString &page, qsizetype perBlock = 0)
        : text(perBlock > 0 ? perBlock : PageText::PiecesPerBlock)
        , rows(text, perBlock > 0 ? perBlock : RowIndex::RowsPerBlock)
    {
        text.setText(page);
    }
    // Lays the text out as `box` does.
    void layOutLike(PageBox &box)
    {
        layouts.setFont(box.font());
        layouts.setViewportSize(box.viewport()->size());
    }

    PageText text;
    PageHistory history{text};
    RowIndex rows;
    PageLayouts layouts{text, rows};
};

// A page of one long line of markup, as a minifier writes it.
QString minifiedLine(qsizetype length)
{
    QString line;
    for (int n = 0; line.size() < length; ++n)
        line += QStringLiteral("<li class=\"i%1\"><a href=\"/x\">item %1</a></li>").arg(n);
    return line.first(length);
}

// Where a plain text editor's screen lines start, its whole text laid out.
std::vector<qsizetype> plainLineStarts(QPlainTextEdit &edit)
{
    std::vector<qsizetype> starts;
    auto *layout = qobject_cast<QPlainTextDocumentLayout *>(edit.document()->documentLayout());
    for (QTextBlock block = edit.document()->firstBlock(); block.isValid(); block = block.next()) {
        layout->ensureBlockLayout(block);
        for (int line = 0; line < block.layout()->lineCount(); ++line)
            starts.push_back(block.position() + block.layout()->lineAt(line).textStart());
    }
    return starts;
}

// Where the screen lines that the page box shows start.
std::vector<qsizetype> shownLineStarts(PageBox &box)
{
    std::vector<qsizetype> starts;
    const int lineHeight = box.fontMetrics().lineSpacing();
    for (int y = lineHeight / 2; y < box.viewport()->height(); y += lineHeight) {
        const qsizetype start = box.positionAt(QPoint(0, y));
        if (starts.empty() || start > starts.back())
            starts.push_back(start);
    }
    return starts;
}

QRect thumbOf(const QScrollBar *bar)
{
    QStyleOptionSlider option;
    option.initFrom(bar);
    option.subControls = QStyle::SC_All;
    option.orientation = bar->orientation();
    option.minimum = bar->minimum();
    option.maximum = bar->maximum();
    option.sliderPosition = bar->sliderPosition();
    option.sliderValue = bar->value();
    option.singleStep = bar->singleStep();
    option.pageStep = bar->pageStep();
    return bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider,
                                        bar);
}

// A plain text editor set up as the page box is, and a page box, both shown with one text.
struct SideBySide
{
    explicit SideBySide(const QString &page)
    {
        edit.setLineWrapMode(QPlainTextEdit::WidgetWidth);
        edit.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        edit.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        edit.setPlainText(page);
        box.setPageText(page);
        for (QAbstractScrollArea *area : {static_cast<QAbstractScrollArea *>(&edit),
                                          static_cast<QAbstractScrollArea *>(&box)}) {
            area->resize(361, 233);
            area->show();
        }
    }
    // Both shown, and the page box's idle work done.
    bool settled()
    {
        return QTest::qWaitForWindowExposed(&edit) && QTest::qWaitForWindowExposed(&box) &&
               QTest::qWaitFor([this] { return box.isIndexed(); });
    }
    // The first character of the top line each shows.
    std::pair<qsizetype, qsizetype> firstShown()
    {
        const QPoint inTopLine(0, box.fontMetrics().lineSpacing() / 2);
        return {box.positionAt(inTopLine), edit.cursorForPosition(inTopLine).position()};
    }

    QPlainTextEdit edit;
    PageBox box;
};

// Where every row of a text starts, indexed to the end.
std::vector<qsizetype> rowsOf(RowIndex &text)
{
    text.indexAll();
    std::vector<qsizetype> rows;
    for (qsizetype row = 0; row < text.rowsKnown(); ++row)
        rows.push_back(text.rowStart(row));
    return rows;
}

// One thing the user does, the same to the page box and to a QPlainTextEdit: a key (with
// its text, if any), a mouse event where the plain editor shows the character at `at`, an
// input method's event, text put on the clipboard (QEvent::None), or the editor disabled or
// enabled again (QEvent::EnabledChange).
struct UserStep
{
    UserStep(QEvent::Type type, Qt::Key key = Qt::Key_unknown, Qt::KeyboardModifiers modifiers = {},
             const QString &text = QString())
        : type(type)
        , key(key)
        , modifiers(modifiers)
        , text(text)
    {}

    QEvent::Type type = QEvent::None;
    Qt::Key key = Qt::Key_unknown;
    Qt::KeyboardModifiers modifiers;
    QString text; // a key's, a composition's, the clipboard's
    int at = 0;
    QPoint shift; // from where the character at `at` shows
    QString commit;
    int replaceFrom = 0;
    int replaceLength = 0;
    QList<QInputMethodEvent::Attribute> attributes;
};
using UserSteps = QList<UserStep>;

UserSteps keyed(Qt::Key key, Qt::KeyboardModifiers modifiers = {}, int times = 1,
                const QString &text = QString())
{
    return UserSteps(times, {QEvent::KeyPress, key, modifiers, text});
}

// A modifier pressed and released alone, as an input method lets it through.
UserSteps alone(Qt::Key key, Qt::KeyboardModifier modifier)
{
    return {{QEvent::KeyPress, key, modifier}, {QEvent::KeyRelease, key, {}}};
}

UserSteps typed(const QString &text, Qt::KeyboardModifiers modifiers = {})
{
    return keyed(Qt::Key_unknown, modifiers, 1, text);
}

UserSteps mouse(QEvent::Type type, int at, Qt::KeyboardModifiers modifiers = {})
{
    UserStep step(type, Qt::Key_unknown, modifiers);
    step.at = at;
    return {step};
}

// A click where the character at `at` shows, or `shift` pixels away from it.
UserSteps clicked(int at, Qt::KeyboardModifiers modifiers = {}, QPoint shift = {})
{
    UserSteps click = mouse(QEvent::MouseButtonPress, at, modifiers) +
                      mouse(QEvent::MouseButtonRelease, at, modifiers);
    for (UserStep &step : click)
        step.shift = shift;
    return click;
}

// The second press of a double-click, held.
UserSteps doubleClickHeld(int at)
{
    return clicked(at) + mouse(QEvent::MouseButtonPress, at) +
           mouse(QEvent::MouseButtonDblClick, at);
}

UserSteps dragged(int to)
{
    return mouse(QEvent::MouseMove, to) + mouse(QEvent::MouseButtonRelease, to);
}

UserSteps doubleClicked(int at)
{
    return doubleClickHeld(at) + mouse(QEvent::MouseButtonRelease, at);
}

UserSteps tripleClicked(int at)
{
    return doubleClicked(at) + clicked(at);
}

UserSteps composed(const QString &preedit, const QString &commit = QString(), int replaceFrom = 0,
                   int replaceLength = 0, QList<QInputMethodEvent::Attribute> attributes = {})
{
    UserStep step(QEvent::InputMethod, Qt::Key_unknown, {}, preedit);
    step.commit = commit;
    step.replaceFrom = replaceFrom;
    step.replaceLength = replaceLength;
    step.attributes = std::move(attributes);
    return {step};
}

UserSteps onClipboard(const QString &text)
{
    return {{QEvent::None, Qt::Key_unknown, {}, text}};
}

void apply(const UserStep &step, QAbstractScrollArea &editor, QPoint point)
{
    switch (step.type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
        QKeyEvent key(step.type, step.key, step.modifiers, step.text);
        QCoreApplication::sendEvent(&editor, &key);
        break;
    }
    case QEvent::InputMethod: {
        QInputMethodEvent event(step.text, step.attributes);
        event.setCommitString(step.commit, step.replaceFrom, step.replaceLength);
        QCoreApplication::sendEvent(&editor, &event);
        break;
    }
    case QEvent::None:
        QGuiApplication::clipboard()->setText(step.text);
        break;
    case QEvent::EnabledChange:
        editor.setEnabled(!editor.isEnabled());
        break;
    default: {
        QWidget *viewport = editor.viewport();
        const bool pressing = step.type != QEvent::MouseButtonRelease;
        QMouseEvent event(step.type, point, viewport->mapToGlobal(point),
                          step.type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                          pressing ? Qt::LeftButton : Qt::NoButton, step.modifiers);
        QCoreApplication::sendEvent(viewport, &event);
    }
    }
}

// What either editor shows and offers, with positions that count a line break as one.
QString stateOf(QAbstractScrollArea &editor, QMenu *menu, const QString &text, int anchor,
                int position, int top)
{
    bool pasteOffered = false;
    for (const QAction *action : menu->actions())
        pasteOffered |= action->text().startsWith(u"&Paste") && action->isEnabled();
    delete menu;
    const QClipboard *clipboard = QGuiApplication::clipboard();
    // Where the input method shows its candidates: the caret, in a composition its caret.
    // (Off screen the plain editor's is a guess from lines it has not laid out.)
    const QRectF caret = editor.inputMethodQuery(Qt::ImCursorRectangle).toRectF();
    const QString shown = QRectF(editor.viewport()->rect()).contains(caret)
                              ? QStringLiteral("(%1,%2 %3x%4)")
                                    .arg(caret.x())
                                    .arg(caret.y())
                                    .arg(caret.width())
                                    .arg(caret.height())
                              : QStringLiteral("off screen");
    const bool offered = editor.inputMethodQuery(Qt::ImEnabled).toBool();
    return QStringLiteral("%1→%2 top %3, input method %4→%5 at %9%10, primary «%6»%7, «%8»")
        .arg(anchor)
        .arg(position)
        .arg(top)
        .arg(editor.inputMethodQuery(Qt::ImAnchorPosition).toInt())
        .arg(editor.inputMethodQuery(Qt::ImCursorPosition).toInt())
        .arg(clipboard->supportsSelection() ? clipboard->text(QClipboard::Selection) : QString(),
             pasteOffered ? QStringLiteral(", paste offered") : QString(), text)
        .arg(shown, offered ? QString() : QStringLiteral(" (not taken)"));
}

QString stateOf(QPlainTextEdit &edit)
{
    return stateOf(edit, edit.createStandardContextMenu(), edit.toPlainText(),
                   edit.textCursor().anchor(), edit.textCursor().position(),
                   edit.cursorForPosition(QPoint(0, 0)).position());
}

QString stateOf(PageBox &box)
{
    const QString text = box.pageText();
    const auto plain = [&](qsizetype p) { return int(p - text.first(p).count(u"\r\n")); };
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    return stateOf(box, box.createStandardContextMenu(), lines, plain(box.anchorPosition()),
                   plain(box.cursorPosition()), plain(box.positionAt(QPoint(0, 0))));
}

} // namespace

Q_DECLARE_METATYPE(UserSteps)

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
    void behavesAsAPlainTextEdit_data();
    void behavesAsAPlainTextEdit();
    void editsHardTextAsAPlainTextEdit_data();
    void editsHardTextAsAPlainTextEdit();

private:
    enum class Compared { Everything, TextAndCaret };
    void compareStepByStep(Compared compared);

private slots:
    void lineStartsMatchAPlainVector();
    void randomEditsMatchAPlainString_data();
    void randomEditsMatchAPlainString();
    void excerptHoldsOnlyWhatItNeeds_data();
    void excerptHoldsOnlyWhatItNeeds();
    void historyKeepsWhatItsBoundAllows_data();
    void historyKeepsWhatItsBoundAllows();
    void longLinesWrapAsThePlainEditor_data();
    void longLinesWrapAsThePlainEditor();
    void scrollsAsThePlainEditor_data();
    void scrollsAsThePlainEditor();
    void doubleClickSelectsTheWholeWord_data();
    void doubleClickSelectsTheWholeWord();
    void drawsAsThePlainEditor_data();
    void drawsAsThePlainEditor();
    void clickAfterScrollingIntoALongComposition();
    void dropWhileComposingLandsWhereShown();
    void workOfAKeyStaysBounded_data();
    void workOfAKeyStaysBounded();
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
    QTest::newRow("long-line") << QStringLiteral("<a href=x>y</a>").repeated(2000);
    QTest::newRow("empty") << QString();
}

// After putting a page in, and after an edit that the user makes and takes back by hand.
void tst_PageBox::keepsTextExactly()
{
    QFETCH(QString, page);
    PageBox box;
    box.setPageText(page);
    QCOMPARE(box.pageText(), page);

    box.setCursorPosition(box.characterCount());
    QTest::keyClicks(&box, QStringLiteral("x"));
    QTest::keyClick(&box, Qt::Key_Backspace);
    QCOMPARE(box.pageText(), page);
}

void tst_PageBox::editsApplyToTheExactText_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("anchor");   // the selection the edit starts from, as positions
    QTest::addColumn<int>("position"); // in the text; the same for a plain caret
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<QTestEventList>("events");
    QTest::addColumn<QString>("expected");

    const QString crLf = QStringLiteral("one\r\ntwo\r\n");
    QTest::newRow("type-after-crlf")
        << crLf << 5 << 5 << QString() << keys("x") << QStringLiteral("one\r\nxtwo\r\n");
    QTest::newRow("type-at-end") << crLf << 10 << 10 << QString() << keys("end")
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
        << QStringLiteral("a\rb\r\nc\nd") << 8 << 8 << QString() << key(Qt::Key_Return)
        << QStringLiteral("a\rb\r\nc\nd\r");
    QTest::newRow("enter-after-backspace-over-crlf-follows-first-break")
        << QStringLiteral("a\nb\r\nc") << 5 << 5 << QString()
        << key(Qt::Key_Backspace) + key(Qt::Key_End) + key(Qt::Key_Return)
        << QStringLiteral("a\nbc\n");
    QTest::newRow("enter-in-text-without-breaks") << QStringLiteral("one") << 3 << 3 << QString()
                                                  << key(Qt::Key_Return) << QStringLiteral("one\n");
    QTest::newRow("backspace-removes-whole-crlf")
        << crLf << 5 << 5 << QString() << key(Qt::Key_Backspace) << QStringLiteral("onetwo\r\n");
    QTest::newRow("delete-removes-bare-cr") << QStringLiteral("a\rb\nc") << 1 << 1 << QString()
                                            << key(Qt::Key_Delete) << QStringLiteral("ab\nc");
    QTest::newRow("nbsp-and-nul-around-the-edit")
        << (text(u"a\u00a0b\r\nc\u00a0") + QChar(0)) << 7 << 7 << QString() << keys("x")
        << (text(u"a\u00a0b\r\nc\u00a0x") + QChar(0));
    QTest::newRow("type-over-selection-across-breaks")
        << QStringLiteral("a\r\nb\rc\nd") << 1 << 6 << QString() << keys("x")
        << QStringLiteral("ax\nd");
    QTest::newRow("select-all-backspace-enter")
        << crLf << 0 << 10 << QString() << key(Qt::Key_Backspace) + key(Qt::Key_Return)
        << QStringLiteral("\r\n");
    // Taking out the line between a bare CR and a bare LF makes them one CR LF line break,
    // as it is in the file, and edits after it still land in the right place.
    QTest::newRow("cr-and-lf-brought-together")
        << QStringLiteral("a\rb\nc") << 2 << 3 << QString()
        << key(Qt::Key_Delete) + key(Qt::Key_End, Qt::ControlModifier) + keys("y")
        << QStringLiteral("a\r\ncy");
    QTest::newRow("surrogate-pair-before-the-edit")
        << text(u"\U0001F600\r\n") << 4 << 4 << QString() << keys("x") << text(u"\U0001F600\r\nx");
    QTest::newRow("down-past-the-last-line-goes-to-the-end")
        << QStringLiteral("ab\ncd") << 1 << 1 << QString()
        << key(Qt::Key_Down) + key(Qt::Key_Down) + keys("x") << QStringLiteral("ab\ncdx");
    QTest::newRow("up-past-the-first-line-goes-to-the-start")
        << QStringLiteral("ab\ncd") << 4 << 4 << QString()
        << key(Qt::Key_Up) + key(Qt::Key_Up) + keys("x") << QStringLiteral("xab\ncd");
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
    box.resize(300, 200);
    box.setPageText(page);
    box.setSelection(anchor, position);

    events.simulate(&box);

    QCOMPARE(box.pageText(), expected);
}

static void addStepColumns()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("anchor"); // the selection to start from
    QTest::addColumn<int>("position");
    QTest::addColumn<UserSteps>("steps");
    // Null where the box must do as the plain editor does; where it deliberately differs, its
    // exact text and selection at the end ("text@anchor:position").
    QTest::addColumn<QString>("boxEnd");
}

void tst_PageBox::behavesAsAPlainTextEdit_data()
{
    addStepColumns();

    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
    const Qt::KeyboardModifiers shift = Qt::ShiftModifier;
    const QString words = QStringLiteral("foo.bar, baz-qux 3.14\nsecond line here\nthird");
    const QString hello = QStringLiteral("hello world");
    const QString twoLines = QStringLiteral("hello world\nsecond");
    const QString paragraph = QStringLiteral("first\n") +
                              QStringLiteral("wrapped words ").repeated(20) +
                              QStringLiteral("\nlast");
    QString lines;
    for (int n = 0; n < 50; ++n)
        lines += QStringLiteral("line %1 with some words\n").arg(n);
    const auto undone = [&](int times = 1) { return keyed(Qt::Key_Z, ctrl, times); };

    // The mouse.
    QTest::newRow("triple-click-selects-the-line-and-its-break")
        << words << 0 << 0 << tripleClicked(25) << QString();
    QTest::newRow("triple-click-selects-a-wrapped-paragraph")
        << paragraph << 0 << 0 << tripleClicked(60) << QString();
    QTest::newRow("drag-after-a-triple-click-goes-by-lines")
        << words << 0 << 0 << doubleClicked(25) + mouse(QEvent::MouseButtonPress, 25) + dragged(2)
        << QString();
    QTest::newRow("drag-after-a-double-click-goes-by-words")
        << words << 0 << 0 << doubleClickHeld(1) + dragged(20) << QString();
    QTest::newRow("drag-back-after-a-double-click")
        << words << 0 << 0 << doubleClickHeld(11) + dragged(1) << QString();
    QTest::newRow("shift-click-after-a-double-click")
        << words << 0 << 0 << doubleClicked(1) + clicked(20, shift) << QString();
    QTest::newRow("double-click-on-an-empty-line")
        << QStringLiteral("one\n\ntwo") << 0 << 0 << doubleClickHeld(4) << QString();
    // A double-click selects a word as Qt's own word edges have it: at separators, in quotes
    // and in each run of Japanese scripts.
    const QString separated =
        QStringLiteral("foo.bar, baz-qux 3.14 a::b \"quoted\" 'it's' e-mail@host.org");
    for (const int at : {1, 3, 5, 7, 8, 12, 18, 19, 23, 25, 27, 30, 34, 36, 39, 44, 49, 54, 57})
        QTest::addRow("double-click-among-separators-at-%d", at)
            << separated << 0 << 0 << doubleClicked(at) << QString();
    const QString japanese = text(u"\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8\u3067"
                                  u"\u3059\u3002\u30ab\u30bf\u30ab\u30ca");
    for (const int at : {1, 3, 5, 8, 10, 12})
        QTest::addRow("double-click-in-japanese-at-%d", at)
            << japanese << 0 << 0 << doubleClicked(at) << QString();
    // Page Down and Page Up keep the caret's row in the viewport, and go to the last line or
    // the first where the view cannot move; a click below the last line goes to the end.
    QTest::newRow("page-down-and-up")
        << lines << 30 << 30
        << keyed(Qt::Key_PageDown, {}, 2) + keyed(Qt::Key_PageUp) + keyed(Qt::Key_PageDown, shift)
        << QString();
    QTest::newRow("page-down-to-the-end")
        << lines << 1100 << 1100 << keyed(Qt::Key_PageDown, {}, 3) + keyed(Qt::Key_PageUp)
        << QString();
    QTest::newRow("page-up-to-the-start")
        << lines << 200 << 200 << keyed(Qt::Key_PageUp, {}, 2) << QString();
    QTest::newRow("page-down-through-wrapped-lines")
        << paragraph.repeated(4) << 3 << 3 << keyed(Qt::Key_PageDown, {}, 3) + keyed(Qt::Key_PageUp)
        << QString();
    QTest::newRow("click-below-the-last-line")
        << QStringLiteral("one\ntwo words") << 0 << 0 << clicked(6, {}, QPoint(0, 60)) << QString();
    QTest::newRow("select-all-leaves-the-view")
        << lines << 0 << 0 << keyed(Qt::Key_A, ctrl) << QString();

    // One user action, one step.
    QTest::newRow("backspace-run")
        << hello << 11 << 11 << keyed(Qt::Key_Backspace, {}, 5) + undone() << QString();
    QTest::newRow("delete-run") << hello << 0 << 0 << keyed(Qt::Key_Delete, {}, 5) + undone()
                                << QString();
    QTest::newRow("backspace-and-delete-at-one-place")
        << hello << 5 << 5
        << keyed(Qt::Key_Backspace) + keyed(Qt::Key_Delete) + keyed(Qt::Key_Backspace) + undone()
        << QString();
    QTest::newRow("a-deleted-line-break-is-a-step-of-its-own")
        << QStringLiteral("ab\r\ncd") << 6 << 6 << keyed(Qt::Key_Backspace, {}, 5) + undone(3)
        << QString();
    QTest::newRow("backspace-over-typing-and-beyond")
        << hello << 5 << 5 << typed("abc") + keyed(Qt::Key_Backspace, {}, 4) + undone(2)
        << QString();
    QTest::newRow("typing-over-a-selection")
        << hello << 0 << 6 << typed("x") + typed("yz") + undone() << QString();
    QTest::newRow("typing-after-a-paste")
        << hello << 5 << 5 << onClipboard("PP") + keyed(Qt::Key_V, ctrl) + typed("t") + undone()
        << QString();
    QTest::newRow("empty-clipboard")
        << hello << 0 << 5 << onClipboard(QString()) + keyed(Qt::Key_V, ctrl) << QString();

    // What Delete and Backspace take.
    QTest::newRow("delete-a-letter-and-its-accent")
        << text(u"e\u0301x") << 0 << 0 << keyed(Qt::Key_Delete) << QString();
    QTest::newRow("delete-a-family-emoji") << text(u"\U0001F468\u200D\U0001F469\u200D\U0001F467x")
                                           << 0 << 0 << keyed(Qt::Key_Delete) << QString();
    QTest::newRow("delete-a-flag") << text(u"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7") << 0 << 0
                                   << keyed(Qt::Key_Delete) << QString();
    QTest::newRow("backspace-an-accent")
        << text(u"e\u0301x") << 2 << 2 << keyed(Qt::Key_Backspace) << QString();
    QTest::newRow("delete-a-crlf-after-an-indic-letter")
        << text(u"\u0915\n\r\nx") << 0 << 0 << keyed(Qt::Key_Right, {}, 2) + keyed(Qt::Key_Delete)
        << QString();
    const QString smileys = text(u"\U0001F600x").repeated(1366); // one word of 4,098 units
    QTest::newRow("ctrl-delete-a-word-longer-than-a-window")
        << smileys << 0 << 0 << keyed(Qt::Key_Delete, ctrl) << QString();
    QTest::newRow("ctrl-delete-a-longer-word-from-its-middle")
        << QStringLiteral("ab ") + smileys.repeated(2) << 9 << 9 << keyed(Qt::Key_Delete, ctrl)
        << QString();

    // A right-to-left line.
    const QString hebrew = text(u"\u05e9\u05dc\u05d5\u05dd \u05e2\u05d5\u05dc\u05dd");
    QTest::newRow("right-to-left-right")
        << hebrew << 4 << 4 << keyed(Qt::Key_Right, {}, 2) << QString();
    QTest::newRow("right-to-left-shift-left")
        << hebrew << 2 << 2 << keyed(Qt::Key_Left, shift, 3) + keyed(Qt::Key_Right) << QString();
    QTest::newRow("right-to-left-ctrl-left")
        << hebrew << 0 << 0 << keyed(Qt::Key_Left, ctrl) << QString();
    // A line whose first letter runs right to left runs so as a whole: its words in that order.
    QTest::newRow("right-to-left-line-clicked")
        << text(u"\u0639\u0631\u0628\u064a hello") << 0 << 0 << clicked(7) << QString();

    // X11's keys, and what keyboard layouts type.
    QTest::newRow("ctrl-k") << twoLines << 3 << 3 << keyed(Qt::Key_K, ctrl) << QString();
    QTest::newRow("ctrl-k-at-the-line-end")
        << twoLines << 11 << 11 << keyed(Qt::Key_K, ctrl) << QString();
    QTest::newRow("ctrl-k-with-a-selection")
        << twoLines << 3 << 1 << keyed(Qt::Key_K, ctrl) << QString();
    QTest::newRow("ctrl-alt-types")
        << hello << 5 << 5 << typed("@", ctrl | Qt::AltModifier) << QString();
    QTest::newRow("ctrl-does-not-type") << hello << 5 << 5 << typed("q", ctrl) << QString();
    QTest::newRow("private-use") << hello << 5 << 5 << typed(text(u"\ue000")) << QString();
    QTest::newRow("shift-right-selects")
        << words << 3 << 3 << keyed(Qt::Key_Right, shift, 4) << QString();

    // Input methods.
    QTest::newRow("composition-replaces-the-selection")
        << twoLines << 2 << 14 << composed("pre") + composed(QString(), "C") + undone()
        << QString();
    QTest::newRow("input-method-selects")
        << twoLines << 14 << 14
        << composed(QString(), QString(), 0, 0, {{QInputMethodEvent::Selection, 1, 3, QVariant()}})
        << QString();
    QTest::newRow("anchor-on-another-line") << twoLines << 2 << 14 << UserSteps() << QString();
    QTest::newRow("commit-replaces-before-the-caret")
        << hello << 5 << 5 << composed(QString(), "XY", -2, 1) << QString();
    QTest::newRow("commit-replaces-at-the-caret")
        << hello << 5 << 5 << composed(QString(), "XY", 0, 2) << QString();
    // As an input method framework sends them: the composition's caret where it says, a
    // modifier let through alone, a click, formats to draw the composition with.
    const QInputMethodEvent::Attribute caretAt2(QInputMethodEvent::Cursor, 2, 1, QVariant());
    QTextCharFormat underlined;
    underlined.setUnderlineStyle(QTextCharFormat::DashUnderline);
    const QInputMethodEvent::Attribute underline(QInputMethodEvent::TextFormat, 0, 3, underlined);
    QTest::newRow("candidates-at-the-composition-caret")
        << twoLines << 14 << 14
        << composed("nihao", QString(), 0, 0, {caretAt2}) + composed("nihao") << QString();
    QTest::newRow("candidates-where-a-composition-wraps")
        << twoLines << 5 << 5 << composed(QStringLiteral("compose ").repeated(8)) << QString();
    QTest::newRow("shift-alone-keeps-the-composition")
        << hello << 5 << 5
        << composed("k", QString(), 0, 0, {underline}) + alone(Qt::Key_Shift, Qt::ShiftModifier) +
               composed("kS", QString(), 0, 0, {underline}) +
               alone(Qt::Key_Control, Qt::ControlModifier) + composed(QString(), "x")
        << QString();
    QTest::newRow("no-input-method-while-disabled")
        << hello << 5 << 5 << UserSteps(2, UserStep(QEvent::EnabledChange)) << QString();
    QTest::newRow("keys-during-a-composition")
        << hello << 5 << 5
        << composed("ab") + keyed(Qt::Key_Left) + keyed(Qt::Key_Right, shift) + composed("abc") +
               composed(QString(), "x")
        << QString();
    QTest::newRow("click-during-a-composition")
        << twoLines << 2 << 2 << composed("nihao") + clicked(15) + composed("a") << QString();
    QTest::newRow("click-on-the-composition")
        << twoLines << 2 << 2 << composed("nihao") + clicked(2) + composed("a") << QString();
    QTest::newRow("double-click-during-a-composition")
        << twoLines << 2 << 2 << composed("nihao") + doubleClicked(15) << QString();
    QTest::newRow("commit-over-a-selection-between-breaks")
        << QStringLiteral("a\rb\nc") << 2 << 3 << composed(QString(), "e") << QString();

    // Where the box is deliberately exact.
    const QString high(QChar(0xd83d));
    const QString low(QChar(0xde00));
    QTest::newRow("halves-of-a-pair")
        << hello << 0 << 5 << typed(high) + typed(low) << text(u"\U0001F600 world@2:2");
    QTest::newRow("halves-of-a-pair-one-step")
        << hello << 0 << 5 << typed(high) + typed(low) + undone()
        << QStringLiteral("hello world@5:5");
    QTest::newRow("a-lone-half") << hello << 5 << 5 << typed(low) + typed(high) + typed("x")
                                 << QStringLiteral("hellox world@6:6");
    QTest::newRow("ctrl-y-redoes")
        << hello << 5 << 5 << typed("x") + undone() + keyed(Qt::Key_Y, ctrl)
        << QStringLiteral("hellox world@6:6");
    // Qt's own grapheme rules end a character inside a pair after some Indic letters; the
    // plain editor then leaves half a pair, the box the whole character or none of it.
    QTest::newRow("delete-a-pair-after-an-indic-letter")
        << text(u"\U0001F44D") << 0 << 0 << typed(text(u"\u0915")) + keyed(Qt::Key_Delete)
        << text(u"\u0915@1:1");
    QTest::newRow("delete-a-toned-emoji-before-a-virama")
        << text(u"\r\U0001F44D\U0001F3FD\u094D") << 0 << 0
        << keyed(Qt::Key_Right) + keyed(Qt::Key_Delete) << text(u"\r\U0001F3FD\u094D@1:1");
    // Where the caret stands more than 4,096 characters into a line, the box tells an input
    // method of the characters around it and counts from their start.
    QTest::newRow("ctrl-backspace-a-word-longer-than-a-window")
        << smileys + QStringLiteral(" end") << 4098 << 4098 << keyed(Qt::Key_Backspace, ctrl)
        << QStringLiteral(" end@0:0");
    // A composition over a selection between a CR and an LF: while it shows, the two make one
    // line break of the exact text (the plain editor keeps an empty line there); its commit
    // lands between them, so the lines come back as they were.
    QTest::newRow("composition-over-a-selection-between-breaks")
        << QStringLiteral("a\rb\nc") << 2 << 3 << composed("e") + composed(QString(), "e")
        << QStringLiteral("a\re\nc@3:3");
    QTest::newRow("commit-over-a-selection-across-crlf")
        << QStringLiteral("a\r\nb\nc") << 1 << 4 << composed(QString(), "e")
        << QStringLiteral("ae\nc@2:2");
    // An input method's selection counts from the start of the text it was offered, which in
    // a long line starts 4,096 characters before the caret (the plain editor's at the line's).
    QTest::newRow("input-method-selects-in-a-long-line")
        << QStringLiteral("x").repeated(5000) << 5000 << 5000
        << composed(QString(), QString(), 0, 0,
                    {{QInputMethodEvent::Selection, 4094, 2, QVariant()}})
        << QStringLiteral("x").repeated(5000) + QStringLiteral("@4998:5000");
    // A grapheme cluster longer than the layouts show in one piece goes a piece at a time.
    QTest::newRow("delete-in-a-letter-under-100-accents")
        << "e" + text(u"\u0301").repeated(100) + "x" << 0 << 0
        << keyed(Qt::Key_Delete) + keyed(Qt::Key_Right) << text(u"\u0301").repeated(69) + "x@32:32";
    QTest::newRow("first-break-ever")
        << QStringLiteral("\r\nx\ny") << 0 << 0
        << keyed(Qt::Key_Delete) + keyed(Qt::Key_Return) + keyed(Qt::Key_A, ctrl) +
               keyed(Qt::Key_Delete) + keyed(Qt::Key_Return)
        << QStringLiteral("\r\n@2:2");
}

// After every step both editors show the same text, caret, selection and first visible
// character, tell an input method the same, offer the same Paste and the same primary
// selection (where the platform has one; each editor offers its own in a step, or none).
void tst_PageBox::behavesAsAPlainTextEdit()
{
    compareStepByStep(Compared::Everything);
}

// Lines longer than one layout holds, of hard text: the box ends a screen line where a layout
// ends, so its lines, and what stands where on screen, differ from the plain editor's; every
// edit and every caret step must not.
void tst_PageBox::editsHardTextAsAPlainTextEdit_data()
{
    addStepColumns();
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
    const auto undone = [&](int times = 1) { return keyed(Qt::Key_Z, ctrl, times); };
    const UserSteps around = keyed(Qt::Key_Right, {}, 2) + keyed(Qt::Key_Left) +
                             keyed(Qt::Key_Delete) + keyed(Qt::Key_Backspace) + typed("y") +
                             undone();
    QTest::newRow("zero-width-spaces")
        << text(u"\u200b").repeated(5000) + "x" << 2500 << 2500 << around << QString();
    QTest::newRow("word-joiners") << "a" + text(u"\u2060").repeated(5000) + "a" << 2500 << 2500
                                  << around << QString();
    QTest::newRow("letters-without-a-break")
        << QString(6000, u'a') << 3000 << 3000 << around << QString();
    QTest::newRow("ideographs") << text(u"\u6771\u4eac").repeated(3000) << 2990 << 2990 << around
                                << QString();
    QTest::newRow("family-emoji")
        << text(u"\U0001F468\u200D\U0001F469\u200D\U0001F467").repeated(800) << 3200 << 3200
        << around << QString();
    QTest::newRow("right-to-left-long-line")
        << text(u"\u0627\u0644\u0639\u0631\u0628\u064a\u0629 ").repeated(800) << 3200 << 3200
        << around + keyed(Qt::Key_Left, ctrl) << QString();
}

void tst_PageBox::editsHardTextAsAPlainTextEdit()
{
    compareStepByStep(Compared::TextAndCaret);
}

void tst_PageBox::compareStepByStep(Compared compared)
{
    const auto state = [compared](auto &editor) {
        const QString all = stateOf(editor);
        if (compared == Compared::Everything)
            return all;
        static const QRegularExpression geometry(
            QStringLiteral(" top \\d+,| at (\\([^)]*\\)|off screen)"));
        return QString(all).remove(geometry);
    };
    QFETCH(QString, page);
    QFETCH(int, anchor);
    QFETCH(int, position);
    QFETCH(UserSteps, steps);
    QFETCH(QString, boxEnd);
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("on the clipboard"));
    QPlainTextEdit plain(page);
    plain.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    PageBox box;
    box.setPageText(page);
    for (QWidget *editor : {static_cast<QWidget *>(&plain), static_cast<QWidget *>(&box)}) {
        editor->resize(300, 200);
        editor->show();
        QVERIFY(QTest::qWaitForWindowExposed(editor));
    }
    box.setSelection(anchor, position);
    const auto plainPosition = [&](qsizetype p) { return int(p - page.first(p).count(u"\r\n")); };
    QTextCursor cursor(plain.document());
    cursor.setPosition(plainPosition(anchor));
    cursor.setPosition(plainPosition(position), QTextCursor::KeepAnchor);
    plain.setTextCursor(cursor);

    if (boxEnd.isNull())
        QCOMPARE(state(box), state(plain));
    for (qsizetype step = 0; step < steps.size(); ++step) {
        cursor.setPosition(steps[step].at);
        const QPoint point = plain.cursorRect(cursor).center() + steps[step].shift;
        clipboard->clear(QClipboard::Selection);
        apply(steps[step], plain, point);
        const QString expected = QString::number(step) + u' ' + state(plain);
        clipboard->clear(QClipboard::Selection);
        apply(steps[step], box, point);
        if (boxEnd.isNull())
            QCOMPARE(QString::number(step) + u' ' + state(box), expected);
    }
    if (!boxEnd.isNull())
        QCOMPARE(QStringLiteral("%1@%2:%3")
                     .arg(box.pageText())
                     .arg(box.anchorPosition())
                     .arg(box.cursorPosition()),
                 boxEnd);
}

// Thousands of random edits, made as the user makes them (keys, the mouse, the clipboard, drag
// and drop, input methods, undo and redo), to the box and to a plain string side by side; after
// every step the box holds exactly the string, and undoing everything gives back the page. The
// page mixes every kind of line break with a line long enough to be wrapped a slice at a time,
// words and then a run of letters, so edits also land where lines are wrapped again. A bare
// PageText and history take the same edits, in the same steps, and undo them as the box must;
// its rows and screen lines, kept up to date edit by edit, must equal those of the edited text
// indexed and wrapped afresh; so must the rows of one that is never indexed to the end. A
// second page holds hard text: grapheme clusters longer than the layouts show in one piece,
// runs of characters without width.
void tst_PageBox::randomEditsMatchAPlainString_data()
{
    QTest::addColumn<QString>("page");

    QTest::newRow("mixed-breaks-and-a-long-line")
        << (QStringLiteral("one\r\ntwo\nthree\r\rfour\r\n") +
            QStringLiteral("word, ").repeated(1500) + QStringLiteral("y").repeated(9000) +
            QStringLiteral("\n\r\nend"));
    QTest::newRow("huge-clusters-and-runs-without-width")
        << (QStringLiteral("e") + text(u"\u0301").repeated(300) + text(u"\n\u1100") +
            text(u"\u1161").repeated(100) + text(u"\u200b").repeated(6000) +
            text(u"a\ufe0f").repeated(40) + text(u"\ufe0f").repeated(3000) +
            QStringLiteral("\r\n") + text(u"\u2060").repeated(2500) + QStringLiteral("end"));
}

// The screen-line starts of a long row, kept in blocks, against a plain vector: random
// appends, cuts, moves and replacements, each checked whole and by lookups.
void tst_PageBox::lineStartsMatchAPlainVector()
{
    QRandomGenerator random(20261209);
    const auto upTo = [&](qsizetype bound) {
        return qsizetype(random.bounded(quint64(bound) + 1));
    };
    std::vector<qsizetype> model;
    LineStarts starts;
    const auto rising = [&](qsizetype count, qsizetype low, qsizetype high) {
        std::vector<qsizetype> values;
        for (qsizetype i = 0; i < count; ++i)
            values.push_back(low + upTo(high - low));
        std::sort(values.begin(), values.end());
        return values;
    };
    for (int step = 0; step < 2000; ++step) {
        const qsizetype size = qsizetype(model.size());
        const qsizetype at = upTo(size);
        const qsizetype low = at > 0 ? model[size_t(at - 1)] : 0;
        switch (random.bounded(5)) {
        case 0: // many appended, so that there are many blocks
            for (const qsizetype start : rising(upTo(600), model.empty() ? 0 : model.back(),
                                                (model.empty() ? 0 : model.back()) + 40000)) {
                model.push_back(start);
                starts.push_back(start);
            }
            break;
        case 1:
            model.resize(size_t(std::max<qsizetype>(size - upTo(300), 0)));
            starts.truncate(qsizetype(model.size()));
            break;
        case 2: {
            if (at == size)
                break;
            const qsizetype delta = upTo(model[size_t(at)] - low + 300) - (model[size_t(at)] - low);
            for (auto start = model.begin() + at; start != model.end(); ++start)
                *start += delta;
            starts.shift(at, delta);
            break;
        }
        case 3: {
            const qsizetype to = std::min(size, at + upTo(700));
            const qsizetype high = to < size ? model[size_t(to)] : low + 5000;
            const std::vector<qsizetype> values = rising(upTo(700), low, high);
            model.erase(model.begin() + at, model.begin() + to);
            model.insert(model.begin() + at, values.begin(), values.end());
            starts.replace(at, to, values);
            break;
        }
        default: {
            LineStarts other;
            const qsizetype last = model.empty() ? 0 : model.back();
            const std::vector<qsizetype> values = rising(upTo(400), last, last + 90000);
            for (const qsizetype value : values)
                other.push_back(value);
            const qsizetype from = upTo(qsizetype(values.size()));
            model.insert(model.end(), values.begin() + from, values.end());
            starts.append(other, from);
        }
        }
        QCOMPARE(starts.size(), qsizetype(model.size()));
        QVERIFY2(starts.slice(0, starts.size()) == model, qPrintable(QString::number(step)));
        for (int probe = 0; probe < 8 && !model.empty(); ++probe) {
            const qsizetype index = upTo(qsizetype(model.size()) - 1);
            QCOMPARE(starts.at(index), model[size_t(index)]);
            const qsizetype offset = model[size_t(index)] + upTo(2) - 1;
            QCOMPARE(
                starts.upperBound(offset),
                qsizetype(std::upper_bound(model.begin(), model.end(), offset) - model.begin()));
        }
    }
}

void tst_PageBox::randomEditsMatchAPlainString()
{
    QFETCH(QString, page);
    QRandomGenerator random(20261208);
    // A triple-click's third click counts however slowly a checking build gets to it.
    const int doubleClickInterval = QApplication::doubleClickInterval();
    QApplication::setDoubleClickInterval(3'600'000);
    const auto restoreInterval =
        qScopeGuard([=] { QApplication::setDoubleClickInterval(doubleClickInterval); });
    const QStringList pieces = {QStringLiteral("x"),
                                QStringLiteral("\r\n"),
                                QStringLiteral("\r"),
                                QStringLiteral("\n"),
                                text(u"\u00a0"),
                                text(u"\u2028"),
                                QStringLiteral(" "),
                                text(u"\U0001F600"),
                                QString(QChar(0)),
                                text(u"e\u0301"),
                                text(u"\U0001F468\u200D\U0001F469"),
                                text(u"\u0301\u0301\u0301"),
                                text(u"\u200b")};
    QString model = page;
    PageBox box;
    box.resize(300, 200);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    box.setPageText(model);
    QWidget *viewport = box.viewport();
    // In blocks of two pieces and two rows, so that edits split and join blocks all the time.
    constexpr qsizetype SmallBlocks = 2;
    IndexedText same(model, SmallBlocks);
    same.layOutLike(box);
    qsizetype cursor = 0;
    qsizetype anchor = 0;
    QString remembered;
    QString preedit; // the composition the box shows

    // An edit of `length` characters at `from`: what the model does and what the box must then
    // hold.
    using Run = PageHistory::Run;
    const auto replace = [&](qsizetype from, qsizetype length, const QString &inserted, Run run) {
        if (length > 0)
            firstBreak(model, remembered);
        model.replace(from, length, inserted);
        same.history.replace(from, length, inserted, run);
    };
    const auto edit = [&](const QString &inserted, Run run) {
        const qsizetype from = std::min(cursor, anchor);
        replace(from, std::max(cursor, anchor) - from, inserted, run);
        cursor = anchor = settled(model, from + inserted.size());
    };
    const auto inOneStep = [&](const auto &edits) {
        same.history.beginEditBlock();
        edits();
        same.history.endEditBlock();
    };
    const auto replay = [&](bool forwards) {
        forwards ? same.history.redo() : same.history.undo();
        model = same.text.text();
        cursor = box.cursorPosition();
        anchor = box.anchorPosition();
    };

    // A drag is carried out here as the platform would, dropped at `dropPoint`.
    QPoint dropPoint;
    qsizetype dropTarget = -1;
    auto *control = box.findChild<PageControl *>();
    QVERIFY(control);
    control->setDragRunner([&](QDrag &drag) {
        QDragEnterEvent enter(dropPoint, Qt::CopyAction | Qt::MoveAction, drag.mimeData(),
                              Qt::LeftButton, {});
        QCoreApplication::sendEvent(viewport, &enter);
        dropTarget = box.positionAt(dropPoint);
        QDropEvent drop(dropPoint, Qt::CopyAction | Qt::MoveAction, drag.mimeData(), Qt::LeftButton,
                        {});
        drop.setDropAction(Qt::MoveAction);
        QCoreApplication::sendEvent(viewport, &drop);
        return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
    });
    // A point on screen: where `position` shows, if it does.
    const auto pointAt = [&](qsizetype position) {
        const QRect inside = viewport->rect().adjusted(8, 24, -8, -24);
        const QPoint point = box.characterRect(position).center();
        return inside.contains(point) ? point
                                      : QPoint(inside.left() + random.bounded(inside.width()),
                                               inside.top() + random.bounded(inside.height()));
    };
    const auto withBreaks = [&](QString inserted) {
        if (inserted.contains(u'\r') || inserted.contains(u'\n')) {
            const QString lineBreak = firstBreak(model, remembered);
            inserted.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            inserted.replace(u'\r', u'\n');
            inserted.replace(QStringLiteral("\n"), lineBreak);
        }
        return inserted;
    };

    // Indexed only a few rows further each step, so that edits also meet the end of what
    // is indexed, as they do while a large page is still being indexed.
    auto partial = std::make_unique<IndexedText>(model, SmallBlocks);

    for (int step = 0; step < 4000; ++step) {
        const QString before = model;
        if (step % 50 == 0)
            partial = std::make_unique<IndexedText>(model, SmallBlocks);
        const int action = random.bounded(15);
        const auto place = [&] { return qsizetype(random.bounded(int(model.size()) + 1)); };
        if (action >= 8 && action <= 10)
            preedit.clear(); // undo and redo end a composition; keys do not
        switch (action) {
        case 0: { // a selection, or a plain caret
            anchor = settled(model, place());
            cursor = random.bounded(2) ? settled(model, place()) : anchor;
            box.setSelection(anchor, cursor);
            break;
        }
        case 1:
        case 2: { // typing
            QString typed = random.bounded(4) ? QStringLiteral("ab") : text(u"\u00e9\U0001F600");
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, typed);
            QCoreApplication::sendEvent(&box, &press);
            edit(typed, Run::Typing);
            break;
        }
        case 3: // a line break
            QTest::keyClick(&box, Qt::Key_Return);
            edit(firstBreak(model, remembered), Run::None);
            break;
        case 4: // a run of Backspace: a CR LF or a surrogate pair goes as one
            for (int i = random.bounded(1, 5); i > 0; --i) {
                QTest::keyClick(&box, Qt::Key_Backspace);
                if (cursor == anchor && cursor > 0) {
                    const QStringView before = QStringView(model).first(cursor);
                    anchor = cursor - ((before.endsWith(u"\r\n") ||
                                        (before.back().isLowSurrogate() && before.size() > 1 &&
                                         before[before.size() - 2].isHighSurrogate()))
                                           ? 2
                                           : 1);
                    edit(QString(), Run::Deleting);
                } else {
                    edit(QString(), Run::None);
                }
            }
            break;
        case 5: // a run of Delete: a whole grapheme cluster goes, a long one in pieces
            for (int i = random.bounded(1, 5); i > 0; --i) {
                QTest::keyClick(&box, Qt::Key_Delete);
                if (cursor == anchor && cursor < model.size()) {
                    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, model);
                    clusters.setPosition(cursor);
                    anchor = clusters.toNextBoundary();
                    if (anchor > cursor + RowWrapping::ClusterChars) {
                        anchor = cursor + RowWrapping::ClusterChars;
                        anchor -= model[anchor].isLowSurrogate() ? 1 : 0;
                    }
                    edit(QString(), Run::Deleting);
                } else {
                    edit(QString(), Run::None);
                }
            }
            break;
        case 6: { // paste of mixed line breaks and other characters, or of nothing
            QString offered;
            for (int i = random.bounded(6); i > 0; --i)
                offered += pieces[random.bounded(pieces.size())];
            QGuiApplication::clipboard()->setText(offered);
            QTest::keyClick(&box, Qt::Key_V, Qt::ControlModifier);
            if (!offered.isEmpty()) // nothing to paste changes nothing
                edit(withBreaks(offered), Run::None);
            break;
        }
        case 7: { // cut and copy carry the exact characters
            const QString selected = model.mid(std::min(cursor, anchor), std::abs(cursor - anchor));
            QGuiApplication::clipboard()->clear();
            const bool cut = random.bounded(2);
            QTest::keyClick(&box, cut ? Qt::Key_X : Qt::Key_C, Qt::ControlModifier);
            if (!selected.isEmpty())
                QCOMPARE(QGuiApplication::clipboard()->text(), selected);
            if (cut)
                edit(QString(), Run::None);
            break;
        }
        case 8:
        case 9: // undo, or a chain of them, at times past the oldest step
            for (int i = random.bounded(8) ? random.bounded(1, 4) : 12; i > 0; --i) {
                QTest::keyClick(&box, Qt::Key_Z, Qt::ControlModifier);
                replay(false);
            }
            break;
        case 10: { // redo, by either key
            const bool shiftZ = random.bounded(2);
            QTest::keyClick(&box, shiftZ ? Qt::Key_Z : Qt::Key_Y,
                            shiftZ ? Qt::ControlModifier | Qt::ShiftModifier : Qt::ControlModifier);
            replay(true);
            break;
        }
        case 11: { // an input method's event: the selection gives way to a composition or a
                   // commit, which may replace text around the caret; all in one step
            const QString composing = random.bounded(2) ? QStringLiteral("pre") : QString();
            const QString committed = random.bounded(2) ? QString() : text(u"\u6771\r\n");
            const int start = random.bounded(-2, 2);
            const int length = random.bounded(3);
            QInputMethodEvent event(composing, {});
            event.setCommitString(committed, start, length);
            QCoreApplication::sendEvent(&box, &event);
            const bool takesInput = !committed.isEmpty() || composing != preedit || length > 0;
            preedit = composing;
            inOneStep([&] {
                // The caret stays where the selection was until the commit is in.
                const bool removing = takesInput && cursor != anchor;
                if (removing) {
                    const qsizetype from = std::min(cursor, anchor);
                    replace(from, std::max(cursor, anchor) - from, QString(), Run::None);
                    cursor = anchor = from;
                }
                const qsizetype from = std::clamp<qsizetype>(cursor + start, 0, model.size());
                const qsizetype to = std::clamp<qsizetype>(from + length, from, model.size());
                const QString inserted = withBreaks(committed);
                replace(from, to - from, inserted, Run::None);
                if (to > from || !inserted.isEmpty())
                    cursor = cursor < from ? cursor
                             : cursor < to ? from + inserted.size()
                                           : cursor + inserted.size() - (to - from);
                if (removing || to > from || !inserted.isEmpty())
                    cursor = anchor = settled(model, cursor);
            });
            break;
        }
        case 12: { // moving the caret: where it lands is the box's to say
            static constexpr Qt::Key Moves[] = {Qt::Key_Left, Qt::Key_Right, Qt::Key_Up,
                                                Qt::Key_Down, Qt::Key_Home,  Qt::Key_End};
            static constexpr Qt::KeyboardModifiers Modifiers[] = {
                Qt::NoModifier, Qt::ShiftModifier, Qt::ControlModifier,
                Qt::ControlModifier | Qt::ShiftModifier};
            QTest::keyClick(&box, Moves[random.bounded(6)], Modifiers[random.bounded(4)]);
            cursor = box.cursorPosition();
            anchor = box.anchorPosition();
            QCOMPARE(settled(model, cursor), cursor);
            break;
        }
        case 13: { // dragging a few characters elsewhere moves them, in one step, selected
            if (!preedit.isEmpty())
                break; // the mouse on a composition is the input method's
            const qsizetype from = settled(model, place());
            const qsizetype to =
                settled(model, std::min(model.size(), from + random.bounded(1, 12)));
            box.setSelection(anchor = from, cursor = to);
            // The point pressed is found last: looking far off may complete the wrapping of a
            // long line and so change the lines the view shows.
            dropPoint = pointAt(place());
            const QPoint press = box.characterRect(from).center();
            const qsizetype pressed = box.positionAt(press);
            if (pressed < from || pressed >= to || !viewport->rect().contains(press))
                break;
            preedit.clear();
            QTest::mousePress(viewport, Qt::LeftButton, {}, press);
            QMouseEvent away(QEvent::MouseMove, press + QPoint(0, 40), viewport->mapToGlobal(press),
                             Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(viewport, &away);
            QTest::mouseRelease(viewport, Qt::LeftButton, {}, dropPoint);
            qsizetype target = settled(model, dropTarget);
            if (target >= from && target <= to)
                break; // dropped onto itself
            const QString dropped = withBreaks(model.mid(from, to - from));
            inOneStep([&] {
                edit(QString(), Run::None);
                target -= target > to ? to - from : 0;
                cursor = anchor = target;
                edit(dropped, Run::None);
            });
            anchor = target;
            break;
        }
        default: { // a triple-click selects the double-clicked word's line, with its break
            if (!preedit.isEmpty())
                break;
            const QPoint point = pointAt(place());
            QTest::mouseDClick(viewport, Qt::LeftButton, {}, point);
            cursor = box.cursorPosition();
            QTest::mouseClick(viewport, Qt::LeftButton, {}, point);
            const auto isBreak = [&](qsizetype at) {
                return model[at] == u'\r' || model[at] == u'\n';
            };
            for (anchor = cursor; anchor > 0 && !isBreak(anchor - 1);)
                --anchor;
            while (cursor < model.size() && !isBreak(cursor))
                ++cursor;
            cursor += model.mid(cursor, 2) == u"\r\n" ? 2 : cursor < model.size();
            break;
        }
        }
        QCOMPARE(box.cursorPosition(), cursor);
        QCOMPARE(box.anchorPosition(), anchor);
        QCOMPARE(box.pageText(), model);
        IndexedText afresh(model);
        const auto rows = rowsOf(afresh.rows);
        QCOMPARE(same.text.text(), model);
        QVERIFY(rowsOf(same.rows) == rows);
        // The sums of screen lines are those of adding them up a row at a time.
        qsizetype lines = 0;
        for (qsizetype row = 0; row < same.rows.rowsKnown(); ++row) {
            QCOMPARE(same.rows.screenLinesBefore(row), lines);
            QCOMPARE(same.rows.rowOfScreenLine(lines), std::make_pair(row, qsizetype(0)));
            lines += same.rows.screenLines(row);
        }
        QCOMPARE(same.rows.totalScreenLines(), lines);
        afresh.layOutLike(box);
        QVERIFY(same.layouts.screenLineStarts(0, model.size()) ==
                afresh.layouts.screenLineStarts(0, model.size()));

        qsizetype head = 0;
        while (head < before.size() && head < model.size() && before[head] == model[head])
            ++head;
        qsizetype tail = 0;
        while (tail < before.size() - head && tail < model.size() - head &&
               before[before.size() - 1 - tail] == model[model.size() - 1 - tail])
            ++tail;
        partial->history.replace(head, before.size() - head - tail,
                                 QStringView(model).sliced(head, model.size() - head - tail));
        RowIndex &partialRows = partial->rows;
        partialRows.indexRows(partialRows.rowsKnown() + random.bounded(2));
        QVERIFY(partialRows.rowsKnown() <= qsizetype(rows.size()));
        for (qsizetype row = 0; row < partialRows.rowsKnown(); ++row)
            QCOMPARE(partialRows.rowStart(row), rows[size_t(row)]);
    }
    while (box.isUndoAvailable())
        QTest::keyClick(&box, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(box.pageText(), page);
}

void tst_PageBox::excerptHoldsOnlyWhatItNeeds_data()
{
    QTest::addColumn<qsizetype>("from");
    QTest::addColumn<qsizetype>("length");
    QTest::addColumn<bool>("compact"); // the text compacted after an edit, or a new page set
    QTest::addColumn<bool>("keepsPage");

    QTest::newRow("a-word-lets-go-of-a-new-page's-old-one")
        << qsizetype(4) << qsizetype(5) << false << false;
    QTest::newRow("a-word-lets-go-of-a-compacted-page")
        << qsizetype(4) << qsizetype(5) << true << false;
    QTest::newRow("the-whole-page-keeps-it") << qsizetype(0) << qsizetype(-1) << false << true;
}

// An excerpt shares the page while the text has it; once the text lets go of the page, an
// excerpt of part of it keeps a copy of its characters only, and the page is freed.
void tst_PageBox::excerptHoldsOnlyWhatItNeeds()
{
    QFETCH(qsizetype, from);
    QFETCH(qsizetype, length);
    QFETCH(bool, compact);
    QFETCH(bool, keepsPage);
    QString page = QStringLiteral("the words of a page ").repeated(50);
    page.detach();
    const QString shown = page.first(1) + QStringLiteral("added") + page.sliced(1);
    const QString expected = length < 0 ? shown : shown.mid(from, length);
    PageText text;
    PageHistory history(text);
    text.setText(page);
    history.replace(1, 0, QStringLiteral("added"));
    const PageText::Excerpt excerpt = text.excerpt(from, length < 0 ? text.size() : length);
    if (compact) {
        history.replace(0, 1, QString());
        text.compact();
    } else {
        text.setText(QStringLiteral("another page"));
    }
    QCOMPARE(excerpt.text(), expected);
    QCOMPARE(!page.isDetached(), keepsPage);
}

void tst_PageBox::historyKeepsWhatItsBoundAllows_data()
{
    QTest::addColumn<int>("steps");      // single-character edits, each a step of its own
    QTest::addColumn<bool>("scattered"); // typed and deleted all over the text, or typed at its end
    QTest::addColumn<int>("rounds");     // then: delete everything, undo, type a letter

    QTest::newRow("a-million-steps-keep-the-last") << 1000000 << false << 0;
    QTest::newRow("cleared-redo-steps-leave-the-count") << 5000 << true << 1000;
}

// Undoing every step the history kept gives back the text as it was before the oldest of
// them, and redoing them all the text as it ended.
void tst_PageBox::historyKeepsWhatItsBoundAllows()
{
    QFETCH(int, steps);
    QFETCH(bool, scattered);
    QFETCH(int, rounds);
    PageText text;
    PageHistory history(text);
    text.setText(QStringLiteral("page").repeated(100));
    const qsizetype total = steps + rounds;
    const qsizetype kept = std::min<qsizetype>(total, PageHistory::StepsKept);
    QString oldestKept = text.text();
    for (qsizetype step = 0; step < total; ++step) {
        if (step == total - kept)
            oldestKept = text.text();
        if (step >= steps) {
            history.replace(0, text.size(), QString());
            history.undo();
            history.replace(0, 0, QStringLiteral("y"));
        } else if (!scattered) {
            history.replace(text.size(), 0, QStringLiteral("x"));
        } else if (step % 3 == 2) {
            history.replace(step % text.size(), 1, QString());
        } else {
            history.replace((step * 7919) % text.size(), 0, QStringLiteral("x"));
        }
    }
    const QString last = text.text();

    qsizetype undone = 0;
    for (; history.canUndo(); ++undone)
        history.undo();
    const QString first = text.text();
    while (history.canRedo())
        history.redo();

    QCOMPARE(undone, kept);
    QCOMPARE(first, oldestKept);
    QCOMPARE(text.text(), last);
}

void tst_PageBox::longLinesWrapAsThePlainEditor_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<bool>("exactAtOnce"); // seen from its end before the idle work is done

    QTest::newRow("minified-line") << minifiedLine(10120) << true;
    QTest::newRow("short-lines-then-a-long-one")
        << (QStringLiteral("<p>one</p>\n\n<p>two</p>\n") + minifiedLine(30000)) << true;
    // Where the same few words come again and again, lines wrapped from a guessed start may
    // keep to another rhythm than the true ones until those arrive.
    QTest::newRow("tabs-in-a-long-line")
        << QStringLiteral("name\tvalue\tnote, ").repeated(3000) << false;
    QTest::newRow("long-minified-line-seen-from-its-end") << minifiedLine(200000) << true;
    // No word ends in a run of letters: where its lines break depends on where the line
    // began, which only wrapping from there tells.
    QTest::newRow("run-of-letters") << (QStringLiteral("a ") + QString(60000, u'x')) << false;
}

// The screen lines of long lines are those of the plain text editor at the same width:
// as the box wraps them in its idle time, and as it shows them straight after a jump to
// the end of the page.
void tst_PageBox::longLinesWrapAsThePlainEditor()
{
    QFETCH(QString, page);
    QFETCH(bool, exactAtOnce);
    SideBySide both(page);
    QVERIFY(QTest::qWaitForWindowExposed(&both.box));
    QCOMPARE(both.box.viewport()->width(), both.edit.viewport()->width());
    const std::vector<qsizetype> expected = plainLineStarts(both.edit);

    both.box.setPageText(page); // the idle work starts again
    both.box.setCursorPosition(page.size());
    const std::vector<qsizetype> shownAtOnce = shownLineStarts(both.box);
    QVERIFY(both.settled());
    const std::vector<qsizetype> shown = shownLineStarts(both.box);
    IndexedText same(page);
    same.layOutLike(both.box);

    QVERIFY(same.layouts.screenLineStarts(0, page.size()) == expected);
    QVERIFY(!shown.empty() && shown.size() <= expected.size());
    QVERIFY(std::equal(shown.begin(), shown.end(), expected.end() - qsizetype(shown.size())));
    if (exactAtOnce)
        QVERIFY(shownAtOnce == shown);
}

void tst_PageBox::scrollsAsThePlainEditor_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QList<int>>("wheel"); // steps of the wheel, in eighths of a degree
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers"); // held while the wheel turns
    QTest::addColumn<int>("drag");                        // pixels the thumb is dragged down
    QTest::addColumn<int>("troughClicks"); // clicks in the scroll bar below the thumb

    const QString minified = minifiedLine(10120);
    const QString shortLines = QStringLiteral("<p>line</p>\n").repeated(2000);
    const Qt::KeyboardModifiers none;
    QTest::newRow("eight-fine-wheel-steps") << minified << QList<int>(8, -15) << none << 0 << 0;
    QTest::newRow("wheel-steps-down-and-up")
        << minified << QList<int>{-120, -120, 120} << none << 0 << 0;
    QTest::newRow("shift-wheel") << shortLines << QList<int>{-120, -120}
                                 << Qt::KeyboardModifiers(Qt::ShiftModifier) << 0 << 0;
    QTest::newRow("ctrl-wheel") << shortLines << QList<int>{-120}
                                << Qt::KeyboardModifiers(Qt::ControlModifier) << 0 << 0;
    QTest::newRow("thumb-dragged-5-pixels") << minified << QList<int>() << none << 5 << 0;
    QTest::newRow("thumb-dragged-5-pixels-on-short-lines")
        << shortLines << QList<int>() << none << 5 << 0;
    QTest::newRow("trough-clicked") << shortLines << QList<int>() << none << 0 << 2;
    QTest::newRow("trough-clicked-on-a-long-line") << minified << QList<int>() << none << 0 << 1;
}

// The scroll bar counts screen lines: its thumb is the share of the lines shown, and the
// wheel and the thumb move the view as they move the plain text editor's.
void tst_PageBox::scrollsAsThePlainEditor()
{
    QFETCH(QString, page);
    QFETCH(QList<int>, wheel);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(int, drag);
    QFETCH(int, troughClicks);
    SideBySide both(page);
    QVERIFY(both.settled());
    QScrollBar *boxBar = both.box.verticalScrollBar();
    QScrollBar *plainBar = both.edit.verticalScrollBar();
    QCOMPARE(thumbOf(boxBar), thumbOf(plainBar));

    for (QAbstractScrollArea *area : {static_cast<QAbstractScrollArea *>(&both.edit),
                                      static_cast<QAbstractScrollArea *>(&both.box)}) {
        for (const int delta : wheel) {
            QWheelEvent step(QPointF(50, 50), area->viewport()->mapToGlobal(QPointF(50, 50)),
                             QPoint(), QPoint(0, delta), Qt::NoButton, modifiers, Qt::NoScrollPhase,
                             false);
            QCoreApplication::sendEvent(area->viewport(), &step);
        }
        for (int click = 0; click < troughClicks; ++click) {
            QScrollBar *bar = area->verticalScrollBar();
            QTest::mouseClick(bar, Qt::LeftButton, {}, thumbOf(bar).bottomLeft() + QPoint(2, 8));
        }
        if (drag != 0) {
            QScrollBar *bar = area->verticalScrollBar();
            const QPoint grip = thumbOf(bar).center();
            QTest::mousePress(bar, Qt::LeftButton, {}, grip);
            QTest::mouseMove(bar, grip + QPoint(0, drag));
            QTest::mouseRelease(bar, Qt::LeftButton, {}, grip + QPoint(0, drag));
        }
    }

    QCOMPARE(boxBar->value(), plainBar->value());
    const auto [boxFirst, plainFirst] = both.firstShown();
    QCOMPARE(boxFirst, plainFirst);
}

void tst_PageBox::doubleClickSelectsTheWholeWord_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("clicked");
    QTest::addColumn<int>("wordStart");
    QTest::addColumn<int>("wordEnd");

    QTest::newRow("run-of-20000-letters")
        << (QStringLiteral("x ") + QString(20000, u'a') + QStringLiteral(" y")) << 15000 << 2
        << 20002;
    QTest::newRow("word-of-200-letters-across-4096")
        << (QStringLiteral("w ").repeated(2025) + QString(200, u'b') +
            QStringLiteral(" w").repeated(100))
        << 4100 << 4050 << 4250;
    // The reach ends inside a pair: the pair is taken whole.
    QTest::newRow("pair-at-the-reach-stays-whole")
        << (QStringLiteral("x ") + text(u"\U0001F600a").repeated(30000) + QStringLiteral(" y"))
        << 30002 << 2 << 65539;
}

void tst_PageBox::doubleClickSelectsTheWholeWord()
{
    QFETCH(QString, page);
    QFETCH(int, clicked);
    QFETCH(int, wordStart);
    QFETCH(int, wordEnd);
    PageBox box;
    box.resize(361, 233);
    box.setPageText(page);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    box.setCursorPosition(clicked);

    QTest::mouseDClick(box.viewport(), Qt::LeftButton, {}, box.characterRect(clicked).center());

    QCOMPARE(QList<qsizetype>({box.anchorPosition(), box.cursorPosition()}),
             QList<qsizetype>({wordStart, wordEnd}));
}

void tst_PageBox::drawsAsThePlainEditor_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("preedit"); // a composition at the caret, its first two underlined
    QTest::addColumn<int>("scrolled");    // lines scrolled down

    const QString lines = QStringLiteral("Short line one\nThe quick brown fox jumps over the lazy "
                                         "dog while the cat sleeps\n\nlast");
    QTest::newRow("lines") << lines << 0 << 0 << QString() << 0;
    QTest::newRow("selection-over-a-line-break") << lines << 6 << 20 << QString() << 0;
    QTest::newRow("selection-over-a-crlf")
        << QStringLiteral("Short line one\r\nsecond\r\n\r\nlast") << 6 << 20 << QString() << 0;
    QTest::newRow("selection-from-a-line-end") << lines << 14 << 15 << QString() << 0;
    QTest::newRow("selection-over-an-empty-line") << lines << 80 << 82 << QString() << 0;
    QTest::newRow("selection-over-a-wrapped-line") << lines << 20 << 70 << QString() << 0;
    QTest::newRow("scripts-of-all-heights")
        << text(u"Caf\u00e9 \u4e2d\u6587 \U0001F600 "
                u"e\n\u0915\u094D\u0937\u0947\n\u05e9\u05dc\u05d5\u05dd x")
        << 3 << 12 << QString() << 0;
    const QString paragraphs =
        (QStringLiteral("first\n") + QStringLiteral("wrapped words ").repeated(20) +
         QStringLiteral("\nlast"))
            .repeated(4);
    for (const int lines : {1, 2, 3, 9})
        QTest::addRow("scrolled-%d-lines-into-wrapped-lines", lines)
            << paragraphs << 0 << 0 << QString() << lines;
    QTest::newRow("underlined-composition") << lines << 5 << 5 << QStringLiteral("nihao") << 0;
}

// The same text, selection and composition look the same to the pixel as in a plain text
// editor: line tops, glyphs, the selection's room for a line break, the composition's
// underline.
void tst_PageBox::drawsAsThePlainEditor()
{
    QFETCH(QString, page);
    QFETCH(int, anchor);
    QFETCH(int, position);
    QFETCH(QString, preedit);
    QFETCH(int, scrolled);
    SideBySide both(page);
    QVERIFY(both.settled());
    both.box.setSelection(anchor, position);
    const auto plainPosition = [&](qsizetype p) { return int(p - page.first(p).count(u"\r\n")); };
    QTextCursor cursor(both.edit.document());
    cursor.setPosition(plainPosition(anchor));
    cursor.setPosition(plainPosition(position), QTextCursor::KeepAnchor);
    both.edit.setTextCursor(cursor);
    QTextCharFormat underlined;
    underlined.setUnderlineStyle(QTextCharFormat::DashUnderline);
    for (QWidget *editor :
         {static_cast<QWidget *>(&both.edit), static_cast<QWidget *>(&both.box)}) {
        QInputMethodEvent composing(preedit, {{QInputMethodEvent::TextFormat, 0, 2, underlined}});
        if (!preedit.isEmpty())
            QCoreApplication::sendEvent(editor, &composing);
    }
    both.edit.verticalScrollBar()->setValue(scrolled);
    both.box.verticalScrollBar()->setValue(scrolled);

    const QImage box = both.box.viewport()->grab().toImage();
    QCOMPARE(box, both.edit.viewport()->grab().toImage());
}

// An input method's long composition takes many screen lines; scrolled into them, a click
// on them goes to the input method and leaves the text and the caret as they were.
void tst_PageBox::clickAfterScrollingIntoALongComposition()
{
    const QString page = QStringLiteral("abc\ndef");
    PageBox box;
    box.resize(300, 200);
    box.setPageText(page);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    box.setCursorPosition(1);
    QInputMethodEvent composing(QStringLiteral("compose ").repeated(375), {});
    QCoreApplication::sendEvent(&box, &composing);
    for (int step = 0; step < 20; ++step) {
        QWheelEvent down(QPointF(50, 50), box.viewport()->mapToGlobal(QPointF(50, 50)), QPoint(),
                         QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(box.viewport(), &down);
    }

    QTest::mouseClick(box.viewport(), Qt::LeftButton, {}, QPoint(20, 20));

    QCOMPARE(box.pageText(), page);
    QCOMPARE(box.cursorPosition(), qsizetype(1));
}

// A drop lands between the characters it is dropped between on screen, the composition
// shown before them counting for nothing.
void tst_PageBox::dropWhileComposingLandsWhereShown()
{
    PageBox box;
    box.resize(300, 200);
    box.setPageText(QStringLiteral("abcdef"));
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    box.setCursorPosition(1);
    QInputMethodEvent composing(QStringLiteral("XYZ"), {});
    QCoreApplication::sendEvent(&box, &composing);
    // Where the "e" stands, as shown after the composition.
    QTextLayout shown(QStringLiteral("aXYZbcdef"), box.font());
    shown.beginLayout();
    const QTextLine line = shown.createLine();
    shown.endLayout();
    const QPointF beforeE(PageLayouts::DocumentMargin + line.cursorToX(7) - 1,
                          PageLayouts::DocumentMargin + line.height() / 2);
    QMimeData dropped;
    dropped.setText(QStringLiteral("Q"));

    QDragEnterEvent enter(beforeE.toPoint(), Qt::CopyAction, &dropped, Qt::LeftButton,
                          Qt::NoModifier);
    QCoreApplication::sendEvent(box.viewport(), &enter);
    QDropEvent drop(beforeE, Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(box.viewport(), &drop);

    QCOMPARE(box.pageText(), QStringLiteral("abcdQef"));
}

void tst_PageBox::workOfAKeyStaysBounded_data()
{
    QTest::addColumn<QString>("head");
    QTest::addColumn<QString>("unit"); // repeated 100,000 times, then 1,000,000 times
    QTest::addColumn<QString>("tail");

    QTest::newRow("one-letter-under-accents") << "e" << text(u"\u0301") << QString();
    QTest::newRow("hangul-jamo") << text(u"\u1100") << text(u"\u1161") << QString();
    QTest::newRow("variation-selectors") << "a" << text(u"\ufe0f") << QString();
    QTest::newRow("zero-width-spaces") << QString() << text(u"\u200b") << QString();
    QTest::newRow("word-joiners") << "a" << text(u"\u2060") << "a";
    QTest::newRow("letters-without-a-break") << QString() << "a" << QString();
    QTest::newRow("words-joined-by-no-break-spaces")
        << QString() << text(u"word\u00a0") << QString();
    QTest::newRow("family-emoji") << QString()
                                  << text(u"\U0001F468\u200D\U0001F469\u200D\U0001F467")
                                  << QString();
}

// What a key does in the middle of a line (an edit, the caret's step there and back, the
// view kept on the caret and painted) lays out and looks through as many characters in a
// line or cluster of a million marks as in one of a hundred thousand, give or take where
// the middle falls among the screen lines.
void tst_PageBox::workOfAKeyStaysBounded()
{
    QFETCH(QString, head);
    QFETCH(QString, unit);
    QFETCH(QString, tail);
    const auto workOfKeys = [&](int units) {
        IndexedText page(head + unit.repeated(units) + tail);
        page.layouts.setFont(QFont());
        page.layouts.setViewportSize(QSize(357, 229));
        const qsizetype middle = page.text.size() / 2;
        page.layouts.ensureVisible(middle);
        page.layouts.settleTop();
        qint64 slowest = 0;
        for (int key = 0; key < 4; ++key) {
            const qint64 before = page.layouts.charactersLaidOut();
            if (key == 0)
                page.history.replace(middle, 0, QStringLiteral("x"));
            else if (key == 1)
                page.history.replace(middle, 1, QString());
            const qsizetype caret = key == 2   ? page.layouts.rightOf(middle, false)
                                    : key == 3 ? page.layouts.leftOf(middle, false)
                                               : middle;
            page.layouts.ensureVisible(caret);
            page.layouts.settleTop();
            PageLayouts::LinePlace line = page.layouts.top();
            for (int shown = page.layouts.linesPerPage(); shown > 0 && page.layouts.nextLine(line);
                 --shown) {
            }
            slowest = std::max(slowest, page.layouts.charactersLaidOut() - before);
        }
        return slowest;
    };
    const qint64 small = workOfKeys(100000);
    const qint64 large = workOfKeys(1000000);
    // Work that grew with the line would grow tenfold; what stays is a few screens' worth.
    QVERIFY2(large <= 2 * small,
             qPrintable(QStringLiteral("%1 characters for a key, %2 with ten times as many marks")
                            .arg(small)
                            .arg(large)));
}

QTEST_MAIN(tst_PageBox)
#include "tst_pagebox.moc"
