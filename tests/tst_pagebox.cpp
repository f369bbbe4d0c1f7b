// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagebox.h"
#include "pagehistory.h"
#include "pagelayouts.h"
#include "pagetext.h"
#include "rowindex.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QMimeData>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTestEventList>
#include <QTextBlock>
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
// or when it has none left the first it was seen to have, or LF.
QString firstBreak(const QString &text, QString &remembered)
{
    qsizetype at = 0;
    while (at < text.size() && text[at] != u'\r' && text[at] != u'\n')
        ++at;
    if (at == text.size())
        at = -1;
    if (at >= 0)
        remembered =
            text.mid(at, 2) == QStringLiteral("\r\n") ? QStringLiteral("\r\n") : text.mid(at, 1);
    return remembered.isEmpty() ? QStringLiteral("\n") : remembered;
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

// A text with its history, its rows and its layouts, as the page box keeps them.
struct IndexedText
{
    explicit IndexedText(const QString &page) { text.setText(page); }
    // Lays the text out as `box` does.
    void layOutLike(PageBox &box)
    {
        layouts.setFont(box.font());
        layouts.setViewportSize(box.viewport()->size());
    }

    PageText text;
    PageHistory history{text};
    RowIndex rows{text};
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
    void randomEditsMatchAPlainString();
    void historyKeepsWhatItsBoundAllows_data();
    void historyKeepsWhatItsBoundAllows();
    void longLinesWrapAsThePlainEditor_data();
    void longLinesWrapAsThePlainEditor();
    void scrollsAsThePlainEditor_data();
    void scrollsAsThePlainEditor();
    void doubleClickSelectsTheWholeWord_data();
    void doubleClickSelectsTheWholeWord();
    void clickAfterScrollingIntoALongComposition();
    void dropWhileComposingLandsWhereShown();
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

// Thousands of random edits, made as the user makes them (keys, the clipboard, input
// methods, undo and redo), to the box and to a plain string side by side; after every step the box
// holds exactly the string. The page mixes every kind of line break with a line long enough to be
// wrapped a slice at a time, words and then a run of letters, so edits also land where lines are
// wrapped again. A bare text takes the same edits, and its rows and screen lines, kept up to date
// edit by edit, must equal those of the edited text indexed and wrapped afresh; so must the rows
// of one that is never indexed to the end.
void tst_PageBox::randomEditsMatchAPlainString()
{
    QRandomGenerator random(20261208);
    const QStringList pieces = {QStringLiteral("x"),  QStringLiteral("\r\n"), QStringLiteral("\r"),
                                QStringLiteral("\n"), text(u"\u00a0"),        text(u"\u2028"),
                                QStringLiteral(" "),  text(u"\U0001F600"),    QString(QChar(0))};
    QString model = QStringLiteral("one\r\ntwo\nthree\r\rfour\r\n") +
                    QStringLiteral("word, ").repeated(1500) + QStringLiteral("y").repeated(9000) +
                    QStringLiteral("\n\r\nend");
    PageBox box;
    box.resize(300, 200);
    box.setPageText(model);
    IndexedText same(model);
    same.layOutLike(box);
    qsizetype cursor = 0;
    qsizetype anchor = 0;
    QString remembered;
    std::vector<QString> undone;
    std::vector<QString> redone;
    bool typingOpen = false;
    qsizetype typedEnd = -1;

    // An edit of the selection: what the model does and what the box must then hold.
    const auto edit = [&](const QString &inserted, bool typing) {
        const qsizetype from = std::min(cursor, anchor);
        const qsizetype length = std::max(cursor, anchor) - from;
        if (length == 0 && inserted.isEmpty())
            return;
        if (length > 0 && remembered.isEmpty())
            firstBreak(model, remembered);
        const bool joins = typing && typingOpen && length == 0 && from == typedEnd;
        if (!joins)
            undone.push_back(model);
        redone.clear();
        typingOpen = typing && length == 0;
        model.replace(from, length, inserted);
        same.history.replace(from, length, inserted, typing);
        cursor = anchor = settled(model, from + inserted.size());
        typedEnd = from + inserted.size();
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
    auto partial = std::make_unique<IndexedText>(model);

    for (int step = 0; step < 4000; ++step) {
        const QString before = model;
        if (step % 50 == 0)
            partial = std::make_unique<IndexedText>(model);
        const int action = random.bounded(13);
        const auto place = [&] { return qsizetype(random.bounded(int(model.size()) + 1)); };
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
            edit(typed, true);
            break;
        }
        case 3: // a line break
            QTest::keyClick(&box, Qt::Key_Return);
            edit(firstBreak(model, remembered), false);
            break;
        case 4: { // Backspace: a CR LF or a surrogate pair goes as one
            QTest::keyClick(&box, Qt::Key_Backspace);
            if (cursor == anchor && cursor > 0) {
                const QStringView before = QStringView(model).first(cursor);
                anchor = cursor - ((before.endsWith(u"\r\n") ||
                                    (before.back().isLowSurrogate() && before.size() > 1 &&
                                     before[before.size() - 2].isHighSurrogate()))
                                       ? 2
                                       : 1);
            }
            edit(QString(), false);
            break;
        }
        case 5: { // Delete
            QTest::keyClick(&box, Qt::Key_Delete);
            if (cursor == anchor && cursor < model.size()) {
                const QStringView after = QStringView(model).sliced(cursor);
                anchor = cursor + ((after.startsWith(u"\r\n") ||
                                    (after.front().isHighSurrogate() && after.size() > 1 &&
                                     after[1].isLowSurrogate()))
                                       ? 2
                                       : 1);
            }
            edit(QString(), false);
            break;
        }
        case 6: { // paste of mixed line breaks and other characters
            QString offered;
            for (int i = random.bounded(1, 6); i > 0; --i)
                offered += pieces[random.bounded(pieces.size())];
            QGuiApplication::clipboard()->setText(offered);
            QTest::keyClick(&box, Qt::Key_V, Qt::ControlModifier);
            edit(withBreaks(offered), false);
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
                edit(QString(), false);
            break;
        }
        case 8:
        case 9: { // undo, or a chain of them
            for (int i = random.bounded(1, 4); i > 0; --i) {
                QTest::keyClick(&box, Qt::Key_Z, Qt::ControlModifier);
                same.history.undo();
                if (!undone.empty()) {
                    redone.push_back(model);
                    model = undone.back();
                    undone.pop_back();
                }
            }
            typingOpen = false;
            cursor = box.cursorPosition();
            anchor = box.anchorPosition();
            break;
        }
        case 10: { // redo, by either key
            const bool shiftZ = random.bounded(2);
            QTest::keyClick(&box, shiftZ ? Qt::Key_Z : Qt::Key_Y,
                            shiftZ ? Qt::ControlModifier | Qt::ShiftModifier : Qt::ControlModifier);
            same.history.redo();
            if (!redone.empty()) {
                undone.push_back(model);
                model = redone.back();
                redone.pop_back();
            }
            typingOpen = false;
            cursor = box.cursorPosition();
            anchor = box.anchorPosition();
            break;
        }
        case 11: { // an input method's commit, which may replace text around the caret
            const QString committed = random.bounded(2) ? QString() : text(u"\u6771\r\n");
            const int start = random.bounded(-2, 2);
            const int length = random.bounded(3);
            QInputMethodEvent commit(random.bounded(2) ? QStringLiteral("pre") : QString(), {});
            commit.setCommitString(committed, start, length);
            QCoreApplication::sendEvent(&box, &commit);
            if (!committed.isEmpty() || length > 0) {
                if (start != 0 || length > 0) {
                    anchor = std::clamp<qsizetype>(cursor + start, 0, model.size());
                    cursor = std::clamp<qsizetype>(anchor + length, anchor, model.size());
                }
                edit(withBreaks(committed), false);
            }
            break;
        }
        default: { // moving the caret: where it lands is the box's to say
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
        }
        QCOMPARE(box.cursorPosition(), cursor);
        QCOMPARE(box.anchorPosition(), anchor);
        QCOMPARE(box.pageText(), model);
        IndexedText afresh(model);
        const auto rows = rowsOf(afresh.rows);
        QCOMPARE(same.text.text(), model);
        QVERIFY(rowsOf(same.rows) == rows);
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
    QTest::addColumn<int>("drag");         // pixels the thumb is dragged down

    const QString minified = minifiedLine(10120);
    QTest::newRow("eight-fine-wheel-steps") << minified << QList<int>(8, -15) << 0;
    QTest::newRow("wheel-steps-down-and-up") << minified << QList<int>{-120, -120, 120} << 0;
    QTest::newRow("thumb-dragged-5-pixels") << minified << QList<int>() << 5;
    QTest::newRow("thumb-dragged-5-pixels-on-short-lines")
        << QStringLiteral("<p>line</p>\n").repeated(2000) << QList<int>() << 5;
}

// The scroll bar counts screen lines: its thumb is the share of the lines shown, and the
// wheel and the thumb move the view as they move the plain text editor's.
void tst_PageBox::scrollsAsThePlainEditor()
{
    QFETCH(QString, page);
    QFETCH(QList<int>, wheel);
    QFETCH(int, drag);
    SideBySide both(page);
    QVERIFY(both.settled());
    QScrollBar *boxBar = both.box.verticalScrollBar();
    QScrollBar *plainBar = both.edit.verticalScrollBar();
    QCOMPARE(thumbOf(boxBar), thumbOf(plainBar));

    for (QAbstractScrollArea *area : {static_cast<QAbstractScrollArea *>(&both.edit),
                                      static_cast<QAbstractScrollArea *>(&both.box)}) {
        for (const int delta : wheel) {
            QWheelEvent step(QPointF(50, 50), area->viewport()->mapToGlobal(QPointF(50, 50)),
                             QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                             Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(area->viewport(), &step);
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

// An input method's long composition takes many screen lines; scrolled into them, a click
// ends the composition and lands in the text that is left.
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
    QVERIFY(box.cursorPosition() >= 0 && box.cursorPosition() <= page.size());
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

QTEST_MAIN(tst_PageBox)
#include "tst_pagebox.moc"
