// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagecontrol.h"

#include "pagelayouts.h"
#include "rowindex.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QInputMethod>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <QWidget>

#include <algorithm>
#include <cstdlib>

namespace {

// The first tick of scrolling while the mouse selects outside the viewport.
constexpr int AutoScrollMs = 100;
// Text offered to input methods and assistive tools is cut off at this length.
constexpr qsizetype OfferedTextLimit = 65536;
// How long after a click's commit an input method's repeat of it is taken for an echo.
constexpr int CommitEchoMs = 1000;
// Input methods are offered the caret's line, or this much of a long one each way.
constexpr qsizetype SurroundingChars = 4096;
// What Delete takes is looked for in a window this long each way: a cluster longer than the
// layouts show in one piece goes a piece at a time.
constexpr qsizetype ClusterWindow = 64;
// Ctrl+Delete and Ctrl+Backspace look this many of the layouts' windows for a word's edge, so
// that a word of up to 64 Ki characters goes whole and a longer run in pieces of that size.
constexpr int WordWindows = 16;

// Text handed to the clipboard, the X11 primary selection or a drag: read out when another
// program asks for it, so that selecting a large page costs next to nothing.
class ExcerptData : public QMimeData
{
public:
    explicit ExcerptData(PageText::Excerpt excerpt)
        : m_excerpt(std::move(excerpt))
    {}
    QStringList formats() const override { return {QStringLiteral("text/plain")}; }

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType) const override
    {
        return mimeType == u"text/plain" ? QVariant(m_excerpt.text()) : QVariant();
    }

private:
    PageText::Excerpt m_excerpt;
};

bool isSurrogatePair(QStringView text, qsizetype at)
{
    return at + 1 < text.size() && text[at].isHighSurrogate() && text[at + 1].isLowSurrogate();
}

// Text that a paste or a drop can put in: empty text changes nothing, so it is not offered.
bool offersText(const QMimeData *data)
{
    return data && data->hasText() && !data->text().isEmpty();
}

// Which typed text goes into the box, as in Qt's own editors: printable characters, format
// and private-use characters, and whatever comes with AltGr (Ctrl+Alt); nothing that Ctrl
// or Ctrl+Shift makes.
bool isAcceptableInput(QStringView text, Qt::KeyboardModifiers modifiers)
{
    if (text.isEmpty())
        return false;
    const char32_t c =
        isSurrogatePair(text, 0) ? QChar::surrogateToUcs4(text[0], text[1]) : text[0].unicode();
    if (QChar::category(c) == QChar::Other_Format)
        return true;
    if (modifiers == Qt::ControlModifier || modifiers == (Qt::ControlModifier | Qt::ShiftModifier))
        return false;
    return QChar::isPrint(c) || QChar::category(c) == QChar::Other_PrivateUse ||
           QChar::requiresSurrogates(c);
}

// `text` with every surrogate that is not half of a pair taken out.
QString withoutLoneSurrogates(QStringView text)
{
    QString whole;
    whole.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (isSurrogatePair(text, i)) {
            whole += text[i];
            whole += text[++i];
        } else if (!text[i].isSurrogate()) {
            whole += text[i];
        }
    }
    return whole;
}

} // namespace

PageControl::PageControl(PageText &text, PageHistory &history, RowIndex &rows, PageLayouts &layouts,
                         QWidget *widget)
    : QObject(widget)
    , m_text(text)
    , m_history(history)
    , m_rows(rows)
    , m_layouts(layouts)
    , m_widget(widget)
{
    m_text.addListener(this, PageText::Stage::Control);
}

void PageControl::reset()
{
    m_cursor = m_anchor = 0;
    m_desiredX = -1;
    forgetMouseSelection();
}

QString PageControl::selectedText() const
{
    const qsizetype from = std::min(m_cursor, m_anchor);
    return m_text.mid(from, std::max(m_cursor, m_anchor) - from);
}

// --- Caret and selection ----------------------------------------------------------------

void PageControl::setSelection(qsizetype anchor, qsizetype cursor)
{
    m_anchor = std::clamp<qsizetype>(anchor, 0, m_text.size());
    moveCursor(std::clamp<qsizetype>(cursor, 0, m_text.size()), true);
}

// A place between the CR and the LF of one line break, or inside a surrogate pair, is no
// place for the caret: it goes before them.
qsizetype PageControl::settled(qsizetype position) const
{
    const qsizetype p = std::clamp<qsizetype>(position, 0, m_text.size());
    if ((m_text.at(p - 1) == u'\r' && m_text.at(p) == u'\n') ||
        (m_text.at(p - 1).isHighSurrogate() && m_text.at(p).isLowSurrogate()))
        return p - 1;
    return p;
}

// Moves the caret, dragging the selection's far end along when `keepAnchor`, and scrolls
// it into view when `reveal`.
void PageControl::moveCursor(qsizetype position, bool keepAnchor, bool reveal)
{
    m_pageRowY.reset();
    m_cursor = settled(position);
    m_anchor = keepAnchor ? settled(m_anchor) : m_cursor;
    if (reveal)
        m_layouts.ensureVisible(m_cursor);
    emit updateRequest();
    emit microFocusChanged();
    announceCursor();
    emit cursorPositionChanged();
}

void PageControl::reveal(qsizetype from, qsizetype to)
{
    m_layouts.ensureVisible(std::clamp<qsizetype>(to, 0, m_text.size()));
    m_layouts.ensureVisible(std::clamp<qsizetype>(from, 0, m_text.size()));
    emit updateRequest();
}

void PageControl::announceCursor()
{
    if (!QAccessible::isActive())
        return;
    QAccessibleTextCursorEvent moved(m_widget, int(m_cursor));
    QAccessible::updateAccessibility(&moved);
    // A selection that goes is announced too, as an empty one at the caret.
    if (hasSelection() || m_selectionAnnounced) {
        QAccessibleTextSelectionEvent selected(m_widget, int(std::min(m_cursor, m_anchor)),
                                               int(std::max(m_cursor, m_anchor)));
        QAccessible::updateAccessibility(&selected);
        m_selectionAnnounced = hasSelection();
    }
}

// The X11 primary selection follows every selection the user makes, as in any X11 program.
void PageControl::offerSelection() const
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (hasSelection() && clipboard->supportsSelection())
        clipboard->setMimeData(selectionMimeData(), QClipboard::Selection);
}

void PageControl::scrollByLines(int lines)
{
    m_layouts.scrollByLines(lines);
    emit updateRequest();
}

// --- Characters -------------------------------------------------------------------------

// The end of the character at `position` as the eye sees one: a whole grapheme cluster
// (a letter with its accents, an emoji sequence, a flag, a CR LF line break), read with the
// characters before it, which decide where some clusters start. A cluster longer than the
// layouts show in one piece goes a piece at a time.
qsizetype PageControl::nextCharacterBoundary(qsizetype position) const
{
    // A CR LF line break is one character, whatever stands on the lines around it.
    if (m_text.at(position) == u'\r' && m_text.at(position + 1) == u'\n')
        return position + 2;
    const qsizetype start = std::max<qsizetype>(0, position - ClusterWindow);
    const QString around = m_text.mid(start, position - start + ClusterWindow);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, around);
    finder.setPosition(position - start);
    const qsizetype next = finder.toNextBoundary();
    if (next >= 0 && next <= position - start + RowWrapping::ClusterChars)
        return pastPair(start + next);
    const qsizetype piece = std::min(position + RowWrapping::ClusterChars, m_text.size());
    return piece < m_text.size() && m_text.at(piece).isLowSurrogate() ? piece - 1 : piece;
}

// Qt's grapheme rules stop inside some surrogate pairs that follow letters of Indic scripts;
// no edit may leave half a pair, so an end there goes on past the pair.
qsizetype PageControl::pastPair(qsizetype position) const
{
    return m_text.at(position - 1).isHighSurrogate() && m_text.at(position).isLowSurrogate()
               ? position + 1
               : position;
}

// Where Ctrl+Delete and Ctrl+Backspace stop: the next or the previous place where a word
// starts or ends, as the caret moves by words. The layouts look a window of text at a time;
// where one cuts a run of letters, the search goes on past it, so that a long run goes whole,
// up to WordWindows windows, and an end never falls inside a pair or a CR LF line break.
qsizetype PageControl::wordEdge(qsizetype position, bool forwards) const
{
    const auto joined = [this](qsizetype at) {
        const auto inWord = [](QChar c) {
            return !c.isNull() && !c.isSpace() && !PageLayouts::WordSeparators.contains(c);
        };
        return inWord(m_text.at(at - 1)) && inWord(m_text.at(at));
    };
    qsizetype edge = position;
    for (int windows = 0; windows < WordWindows; ++windows) {
        edge = forwards ? m_layouts.rightOf(edge, true) : m_layouts.leftOf(edge, true);
        if (edge <= 0 || edge >= m_text.size() || !joined(edge))
            break;
    }
    // An end inside a pair or a CR LF line break takes the whole of it.
    return forwards && settled(edge) != edge ? edge + 1 : settled(edge);
}

// --- Moving by keys -------------------------------------------------------------------

// A character or a word on, or back; without Shift a selection gives way to its end or
// its start.
qsizetype PageControl::characterStep(qsizetype position, bool forwards, bool byWord,
                                     bool select) const
{
    if (!byWord && !select && hasSelection())
        return forwards ? std::max(m_cursor, m_anchor) : std::min(m_cursor, m_anchor);
    return forwards ? m_layouts.rightOf(position, byWord) : m_layouts.leftOf(position, byWord);
}

// A page down or up, as in Qt's plain text editor: the line cut off at the viewport's bottom
// becomes the top one, or the line a viewport's height above the top does. Returns whether
// the view could move that way (it cannot when the text's last line, or first, is in view).
bool PageControl::scrollByPage(bool down)
{
    const qreal height = m_layouts.viewportHeight();
    PageLayouts::LinePlace place = m_layouts.top();
    if (down) {
        for (qreal y = m_layouts.topMargin(); y + m_layouts.lineHeight(place) <= height;) {
            y += m_layouts.lineHeight(place);
            if (!m_layouts.nextLine(place))
                return false;
        }
    } else {
        PageLayouts::LinePlace above = place;
        if (!m_layouts.previousLine(above))
            return false;
        for (qreal y = -m_layouts.lineHeight(above); y >= -height;) {
            place = above;
            if (!m_layouts.previousLine(above))
                break;
            y -= m_layouts.lineHeight(above);
        }
    }
    m_layouts.scrollToPlace(place);
    emit updateRequest();
    return true;
}

// Page Down and Page Up scroll by a page and keep the caret on the same row of the viewport,
// as near `desiredX` as the line allows; where the view cannot scroll, the caret goes to
// the last line or the first. A run of page moves keeps the row of the first.
qsizetype PageControl::pageMove(qsizetype position, bool down, qreal &desiredX)
{
    m_layouts.ensureVisible(position);
    const qreal rowY = m_pageRowY.value_or(m_layouts.characterRect(position).y());
    const bool scrolled = scrollByPage(down);
    const qreal wantedY = scrolled ? rowY : down ? m_layouts.viewportHeight() : 0;
    qsizetype target = position;
    // Line by line, as the plain text editor moves: from at most a viewport or two away.
    for (int lines = 0; lines <= 4 * (m_layouts.linesPerPage() + 1); ++lines) {
        const qreal y = m_layouts.characterRect(target).y();
        if (down ? y >= wantedY : y <= wantedY)
            break;
        PageLayouts::LinePlace place = m_layouts.placeOf(target);
        if (down ? !m_layouts.nextLine(place) : !m_layouts.previousLine(place))
            break;
        target = m_layouts.verticalMove(target, down ? 1 : -1, desiredX);
    }
    m_pageRowY = rowY;
    return target;
}

bool PageControl::handleMovement(QKeyEvent *event)
{
    struct Movement
    {
        QKeySequence::StandardKey move;
        QKeySequence::StandardKey select;
    };
    static constexpr Movement Movements[] = {
        {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar},
        {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar},
        {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord},
        {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord},
        {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine},
        {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine},
        {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage},
        {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage},
        {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine},
        {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine},
        {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument},
        {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument},
    };
    for (const Movement &movement : Movements) {
        const bool select = event->matches(movement.select);
        if (select || event->matches(movement.move)) {
            move(movement.move, select);
            return true;
        }
    }
    return false;
}

// Moves the caret as `movement` says, taking the selection along when `select` is set.
void PageControl::move(QKeySequence::StandardKey movement, bool select)
{
    const bool paging =
        movement == QKeySequence::MoveToNextPage || movement == QKeySequence::MoveToPreviousPage;
    qreal desiredX = -1;
    const qsizetype target = movementTarget(movement, select, desiredX);
    const std::optional<qreal> pageRowY = m_pageRowY;
    moveCursor(target, select);
    m_desiredX = desiredX; // kept only by vertical movement
    if (paging)
        m_pageRowY = pageRowY;
}

// Where `movement` takes the caret from where it stands. A vertical movement keeps to
// `desiredX`, the x that Up and Down keep to, and gives back the one to keep to from there.
qsizetype PageControl::movementTarget(QKeySequence::StandardKey movement, bool select,
                                      qreal &desiredX)
{
    const qsizetype p = m_cursor;
    // Right and Left go on and back through the text, in a right-to-left line the other way
    // round: what Qt calls logical movement.
    switch (movement) {
    case QKeySequence::MoveToNextChar:
    case QKeySequence::MoveToPreviousChar:
    case QKeySequence::MoveToNextWord:
    case QKeySequence::MoveToPreviousWord: {
        const bool right =
            movement == QKeySequence::MoveToNextChar || movement == QKeySequence::MoveToNextWord;
        const bool byWord = movement == QKeySequence::MoveToNextWord ||
                            movement == QKeySequence::MoveToPreviousWord;
        return characterStep(p, right != (m_layouts.lineDirection(p) == Qt::RightToLeft), byWord,
                             select);
    }
    case QKeySequence::MoveToNextLine:
    case QKeySequence::MoveToPreviousLine:
        desiredX = m_desiredX;
        return m_layouts.verticalMove(p, movement == QKeySequence::MoveToNextLine ? 1 : -1,
                                      desiredX);
    case QKeySequence::MoveToNextPage:
    case QKeySequence::MoveToPreviousPage:
        desiredX = m_desiredX;
        return pageMove(p, movement == QKeySequence::MoveToNextPage, desiredX);
    case QKeySequence::MoveToStartOfLine:
    case QKeySequence::MoveToEndOfLine:
        return m_layouts.lineEdge(p, movement == QKeySequence::MoveToEndOfLine);
    case QKeySequence::MoveToStartOfDocument:
        return 0;
    case QKeySequence::MoveToEndOfDocument:
        return m_text.size();
    default:
        return p;
    }
}

// --- Editing ----------------------------------------------------------------------------

// Every edit the control makes: `text` in place of the characters from `from` to `to`, told
// to assistive tools. Returns false when nothing changed.
bool PageControl::replace(qsizetype from, qsizetype to, QStringView text, PageHistory::Run run)
{
    const qsizetype removed = to - from;
    if (removed == 0 && text.isEmpty())
        return false;
    const bool announce =
        QAccessible::isActive() && removed <= OfferedTextLimit && text.size() <= OfferedTextLimit;
    const QString removedText = announce ? m_text.mid(from, removed) : QString();
    if (removed > 0)
        m_rows.firstLineBreak(); // remembered before the edit can take it away
    forgetMouseSelection();
    if (!m_history.replace(from, removed, text, run)) {
        QApplication::beep();
        return false;
    }
    if (!announce)
        return true;
    if (removed == 0) {
        QAccessibleTextInsertEvent inserted(m_widget, int(from), text.toString());
        QAccessible::updateAccessibility(&inserted);
    } else if (text.isEmpty()) {
        QAccessibleTextRemoveEvent taken(m_widget, int(from), removedText);
        QAccessible::updateAccessibility(&taken);
    } else {
        QAccessibleTextUpdateEvent updated(m_widget, int(from), removedText, text.toString());
        QAccessible::updateAccessibility(&updated);
    }
    return true;
}

void PageControl::replaceSelection(QStringView text, PageHistory::Run run)
{
    const qsizetype from = std::min(m_cursor, m_anchor);
    if (!replace(from, std::max(m_cursor, m_anchor), text, run))
        return;
    m_anchor = m_cursor = from + text.size();
    afterEdit();
}

// `text` in place of the characters from `from` to `to`; the caret and the anchor stay with
// the characters around them, and go past the new text from where it starts.
bool PageControl::replaceAround(qsizetype from, qsizetype to, QStringView text)
{
    if (!replace(from, to, text, PageHistory::Run::None))
        return false;
    const auto shifted = [&](qsizetype p) {
        return p < from ? p : p < to ? from + text.size() : p + text.size() - (to - from);
    };
    m_cursor = shifted(m_cursor);
    m_anchor = shifted(m_anchor);
    return true;
}

void PageControl::replaceRange(qsizetype from, qsizetype to, const QString &text)
{
    from = std::clamp<qsizetype>(from, 0, m_text.size());
    to = std::clamp<qsizetype>(to, from, m_text.size());
    dropPreedit();
    if (!replaceAround(from, to, withTypedBreaks(text)))
        return;
    m_desiredX = -1;
    emit contentsChanged();
    moveCursor(m_cursor, true, false);
    emit textChanged();
}

void PageControl::removeSelectedText()
{
    replaceSelection(QStringView());
}

void PageControl::afterEdit()
{
    m_desiredX = -1;
    emit contentsChanged();
    moveCursor(m_cursor, true);
    emit textChanged();
}

// Line breaks that come in from the keyboard, the clipboard or a drop take the style of
// the text's first line break; every other character comes in as it is.
QString PageControl::withTypedBreaks(QStringView text) const
{
    if (!text.contains(u'\r') && !text.contains(u'\n'))
        return text.toString();
    const QString lineBreak = m_rows.firstLineBreak();
    QString converted;
    converted.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\r' || c == u'\n') {
            converted += lineBreak;
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
        } else {
            converted += c;
        }
    }
    return converted;
}

void PageControl::insertWithTypedBreaks(QStringView text)
{
    replaceSelection(withTypedBreaks(text));
}

// Backspace takes a CR LF line break, or a character outside the basic plane, as one; the
// accents of a letter go one by one, as in Qt's own editors.
void PageControl::deleteBackward()
{
    PageHistory::Run run = PageHistory::Run::None;
    if (!hasSelection()) {
        const qsizetype p = m_cursor;
        if (p == 0)
            return;
        const bool pair = (m_text.at(p - 1) == u'\n' && m_text.at(p - 2) == u'\r') ||
                          (m_text.at(p - 1).isLowSurrogate() && m_text.at(p - 2).isHighSurrogate());
        m_anchor = p - (pair ? 2 : 1);
        run = PageHistory::Run::Deleting;
    }
    replaceSelection(QStringView(), run);
}

// Delete takes what the eye sees as one character, however many code points make it.
void PageControl::deleteForward()
{
    PageHistory::Run run = PageHistory::Run::None;
    if (!hasSelection()) {
        if (m_cursor >= m_text.size())
            return;
        m_anchor = nextCharacterBoundary(m_cursor);
        run = PageHistory::Run::Deleting;
    }
    replaceSelection(QStringView(), run);
}

// Ctrl+K takes the rest of the line, up to its line break; at the line's end it leaves the
// break where it is, and a selection goes with the rest of its line.
void PageControl::deleteToLineEnd()
{
    m_cursor = m_layouts.textLineAt(m_cursor).end;
    replaceSelection(QStringView());
}

// Undo and redo; assistive tools hear of each change they make, as of the user's own.
void PageControl::replayHistory(bool forwards)
{
    dropPreedit();
    forgetMouseSelection();
    m_announceReplacements = QAccessible::isActive();
    const auto [from, to] = forwards ? m_history.redo() : m_history.undo();
    m_announceReplacements = false;
    if (from < 0)
        return;
    m_anchor = m_cursor = to;
    afterEdit();
}

// What undo and redo took out is no longer there to read: it is told as so many spaces.
void PageControl::textReplaced(qsizetype from, qsizetype removed, qsizetype inserted)
{
    if (!m_announceReplacements || removed > OfferedTextLimit || inserted > OfferedTextLimit)
        return;
    QAccessibleTextUpdateEvent updated(m_widget, int(from), QString(removed, u' '),
                                       m_text.mid(from, inserted));
    QAccessible::updateAccessibility(&updated);
}

void PageControl::undo()
{
    replayHistory(false);
}

void PageControl::redo()
{
    replayHistory(true);
}

QMimeData *PageControl::selectionMimeData() const
{
    const qsizetype from = std::min(m_cursor, m_anchor);
    return new ExcerptData(m_text.excerpt(from, std::max(m_cursor, m_anchor) - from));
}

bool PageControl::canPaste() const
{
    return offersText(QGuiApplication::clipboard()->mimeData());
}

void PageControl::copy()
{
    if (hasSelection())
        QGuiApplication::clipboard()->setMimeData(selectionMimeData());
}

void PageControl::cut()
{
    if (!hasSelection())
        return;
    copy();
    replaceSelection(QStringView());
}

void PageControl::paste()
{
    pasteFrom(QGuiApplication::clipboard()->mimeData());
}

void PageControl::pasteFrom(const QMimeData *data)
{
    if (offersText(data))
        insertWithTypedBreaks(data->text());
}

// The view stays where it is, as in Qt's own editors.
void PageControl::selectAll()
{
    m_anchor = 0;
    moveCursor(m_text.size(), true, false);
}

bool PageControl::handleShortcut(QKeyEvent *event)
{
    const auto combination = event->keyCombination();
    const bool ctrl = combination.keyboardModifiers() == Qt::ControlModifier;
    const bool ctrlShift =
        combination.keyboardModifiers() == (Qt::ControlModifier | Qt::ShiftModifier);
    if (event->matches(QKeySequence::Undo)) {
        undo();
    } else if (event->matches(QKeySequence::Redo) || (ctrl && event->key() == Qt::Key_Y) ||
               (ctrlShift && event->key() == Qt::Key_Z)) {
        redo();
    } else if (event->matches(QKeySequence::Cut)) {
        cut();
    } else if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::Paste)) {
        // Ctrl+Shift+Insert pastes the X11 primary selection.
        const QClipboard *clipboard = QGuiApplication::clipboard();
        const bool primary =
            ctrlShift && event->key() == Qt::Key_Insert && clipboard->supportsSelection();
        pasteFrom(clipboard->mimeData(primary ? QClipboard::Selection : QClipboard::Clipboard));
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::DeleteStartOfWord)) {
        if (!hasSelection())
            m_anchor = wordEdge(m_cursor, false);
        replaceSelection(QStringView());
    } else if (event->matches(QKeySequence::DeleteEndOfWord)) {
        if (!hasSelection())
            m_anchor = wordEdge(m_cursor, true);
        replaceSelection(QStringView());
    } else if (event->matches(QKeySequence::DeleteEndOfLine)) {
        deleteToLineEnd();
    } else if (event->key() == Qt::Key_Backspace &&
               !(event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier))) {
        deleteBackward();
    } else if (event->matches(QKeySequence::Delete)) {
        deleteForward();
    } else if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
               !(event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier))) {
        // Shift+Enter too makes an ordinary line break: no page breaks lines with U+2028.
        replaceSelection(m_rows.firstLineBreak());
    } else {
        return false;
    }
    return true;
}

// The text a key brings. A key may bring only half of a character outside the basic plane:
// the first half waits for the key with the second, and a half left alone is dropped, so
// that no lone surrogate ever stands in the text.
QString PageControl::typedText(const QKeyEvent *event)
{
    QString text = event->text();
    if (!m_heldHighSurrogate.isNull() && !text.isEmpty() && text.front().isLowSurrogate())
        text.prepend(m_heldHighSurrogate);
    m_heldHighSurrogate = QChar();
    if (!text.isEmpty() && text.back().isHighSurrogate()) {
        m_heldHighSurrogate = text.back();
        text.chop(1);
    }
    return withoutLoneSurrogates(text);
}

// A key that reaches the box while an input method composes does what it always does, as
// in Qt's own editors: the composition goes on where it is shown until the input method
// moves it. A modifier pressed alone (Shift, Ctrl) changes nothing at all.
void PageControl::keyPress(QKeyEvent *event)
{
    m_committedOnClick.clear();
    m_commitAt = -1;
    const QString typed = typedText(event);
    if (handleShortcut(event) || handleMovement(event)) {
        offerSelection();
    } else if (isAcceptableInput(typed, event->modifiers())) {
        replaceSelection(withTypedBreaks(typed), PageHistory::Run::Typing);
    } else {
        event->ignore();
    }
}

bool PageControl::isOwnShortcut(QKeyEvent *key) const
{
    const QString typed = key->text();
    return key->matches(QKeySequence::Copy) || key->matches(QKeySequence::Paste) ||
           key->matches(QKeySequence::Cut) || key->matches(QKeySequence::Undo) ||
           key->matches(QKeySequence::Redo) || key->matches(QKeySequence::SelectAll) ||
           (!typed.isEmpty() && typed.front().isPrint() &&
            !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)));
}

// --- Mouse ------------------------------------------------------------------------------

// The position a point in the viewport hits; below the text's last line, the text's end, as
// in Qt's plain text editor.
qsizetype PageControl::hitPosition(QPoint point) const
{
    const qsizetype position = m_layouts.positionAt(point);
    const QRect line = m_layouts.characterRect(position);
    if (point.y() >= line.y() + line.height() && position < m_text.size()) {
        PageLayouts::LinePlace place = m_layouts.placeOf(position);
        if (!m_layouts.nextLine(place))
            return m_text.size();
    }
    return position;
}

// Where in the composition a point in the viewport falls, its ends included, or -1.
int PageControl::preeditOffsetAt(QPoint point) const
{
    if (m_layouts.preedit().isEmpty())
        return -1;
    PageLayouts::LinePlace place = m_layouts.top();
    for (qreal y = m_layouts.topMargin() + m_layouts.lineHeight(place); y <= point.y();) {
        if (y > m_layouts.viewportHeight() || !m_layouts.nextLine(place))
            return -1;
        y += m_layouts.lineHeight(place);
    }
    const PageLayouts::Stretch stretch = m_layouts.stretchOf(place);
    if (stretch.preeditAt < 0)
        return -1;
    const QTextLine line =
        stretch.layout->lineAt(std::clamp(place.line, 0, stretch.layout->lineCount() - 1));
    const int offset = line.xToCursor(point.x() - PageLayouts::DocumentMargin) - stretch.preeditAt;
    return offset >= 0 && offset <= stretch.preeditLength ? offset : -1;
}

// A mouse event on the composition is the input method's, as in Qt's editors: a click there
// is passed on to it, and the box does nothing else.
bool PageControl::givenToInputMethod(QMouseEvent *event) const
{
    const int offset = preeditOffsetAt(event->position().toPoint());
    if (offset < 0)
        return false;
    if (event->type() == QEvent::MouseButtonRelease)
        QGuiApplication::inputMethod()->invokeAction(QInputMethod::Click, offset);
    event->accept();
    return true;
}

void PageControl::forgetMouseSelection()
{
    m_wordSelection.reset();
    m_lineSelection.reset();
}

void PageControl::mousePress(QMouseEvent *event)
{
    if (givenToInputMethod(event))
        return;
    const QPoint point = event->position().toPoint();
    const qsizetype position = commitPreedit(point);
    if (event->button() == Qt::MiddleButton) {
        QClipboard *clipboard = QGuiApplication::clipboard();
        if (clipboard->supportsSelection()) {
            forgetMouseSelection();
            moveCursor(position, false);
            pasteFrom(clipboard->mimeData(QClipboard::Selection));
        }
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    m_pressPoint = m_lastMousePoint = point;
    m_desiredX = -1;
    // A third click soon after a double-click, where it was, selects the whole line with
    // its line break.
    if (m_tripleClickTimer.isActive() &&
        (point - m_tripleClickPoint).manhattanLength() < QApplication::startDragDistance()) {
        m_tripleClickTimer.stop();
        const PageLayouts::LineSpan line = m_layouts.textLineAt(m_cursor);
        m_lineSelection = Range{line.start, line.next};
        m_anchor = line.start;
        moveCursor(line.next, true);
        m_selecting = true;
        return;
    }
    if (event->modifiers() == Qt::ShiftModifier) {
        m_selecting = true;
        selectByMouse(point, true);
        return;
    }
    if (hasSelection() && position >= std::min(m_cursor, m_anchor) &&
        position < std::max(m_cursor, m_anchor)) {
        m_mightDrag = true;
        return;
    }
    forgetMouseSelection();
    m_selecting = true;
    moveCursor(position, false);
}

// The selection follows the mouse: by words after a double-click, by lines after a
// triple-click, else by characters.
void PageControl::selectByMouse(QPoint point, bool reveal)
{
    const qsizetype position = hitPosition(point);
    if (m_lineSelection)
        extendByLines(position, reveal);
    else if (m_wordSelection)
        extendByWords(position, point.x(), reveal);
    else
        moveCursor(position, true, reveal);
}

// Outside the double-clicked word the selection reaches to the start or the end of the
// word under the mouse, whichever the mouse is nearer; between words it stays.
void PageControl::extendByWords(qsizetype position, int x, bool reveal)
{
    const Range first = *m_wordSelection;
    if (position >= first.from && position <= first.to) {
        m_anchor = first.from;
        moveCursor(first.to, true, reveal);
        return;
    }
    const auto [from, to] = m_layouts.wordAt(position);
    const QRect start = m_layouts.characterRect(from);
    const QRect end = m_layouts.characterRect(to);
    if (from == to || start.y() != end.y() || x < start.x() || x > end.x())
        return;
    m_anchor = position < first.from ? first.to : first.from;
    moveCursor(x - start.x() < end.x() - x ? from : to, true, reveal);
    offerSelection();
}

void PageControl::extendByLines(qsizetype position, bool reveal)
{
    const Range first = *m_lineSelection;
    if (position >= first.from && position <= first.to) {
        m_anchor = first.from;
        moveCursor(first.to, true, reveal);
    } else if (position < first.from) {
        m_anchor = first.to;
        moveCursor(m_layouts.textLineAt(position).start, true, reveal);
    } else {
        m_anchor = first.from;
        moveCursor(m_layouts.textLineAt(position).next, true, reveal);
    }
    offerSelection();
}

void PageControl::mouseMove(QMouseEvent *event)
{
    if (givenToInputMethod(event))
        return;
    const QPoint point = event->position().toPoint();
    m_lastMousePoint = point;
    if (!(event->buttons() & Qt::LeftButton))
        return;
    if (m_mightDrag) {
        if ((point - m_pressPoint).manhattanLength() >= QApplication::startDragDistance())
            startDrag();
        return;
    }
    if (!m_selecting)
        return;
    if (point.y() >= 0 && point.y() < m_layouts.viewportHeight())
        m_autoScrollTimer.stop();
    else if (!m_autoScrollTimer.isActive())
        m_autoScrollTimer.start(AutoScrollMs, this);
    // The view does not jump to follow: only the scrolling at its edges moves it.
    selectByMouse(point, false);
}

void PageControl::mouseRelease(QMouseEvent *event)
{
    if (givenToInputMethod(event))
        return;
    m_autoScrollTimer.stop();
    if (m_mightDrag) {
        m_mightDrag = false;
        forgetMouseSelection();
        moveCursor(hitPosition(event->position().toPoint()), false);
    }
    if (m_selecting)
        offerSelection();
    m_selecting = false;
}

void PageControl::mouseDoubleClick(QMouseEvent *event)
{
    if (givenToInputMethod(event))
        return;
    commitPreedit(event->position().toPoint());
    if (event->button() != Qt::LeftButton)
        return;
    m_mightDrag = false;
    const QPoint point = event->position().toPoint();
    const qsizetype position = hitPosition(point);
    forgetMouseSelection();
    // On an empty line there is no word to select: the caret just goes there.
    if (m_layouts.lineEdge(position, false) == m_layouts.lineEdge(position, true)) {
        moveCursor(position, false);
    } else {
        const auto [from, to] = m_layouts.wordAt(position);
        m_wordSelection = Range{from, to};
        m_anchor = from;
        moveCursor(to, true);
        offerSelection();
    }
    m_selecting = true;
    m_tripleClickPoint = point;
    m_tripleClickTimer.start(QApplication::doubleClickInterval(), this);
}

void PageControl::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_tripleClickTimer.timerId()) {
        m_tripleClickTimer.stop();
        return;
    }
    if (event->timerId() != m_autoScrollTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    // As in Qt's plain text editor: a line a tick, the ticks the faster the further the mouse
    // is from the viewport.
    const int height = m_layouts.viewportHeight();
    const int y = m_lastMousePoint.y();
    const int outside = std::max(-y, y - (height - 1));
    if (outside <= 0) {
        m_autoScrollTimer.stop();
    } else {
        const int distance = std::max(outside, 7);
        m_autoScrollTimer.start(4900 / (distance * distance), this);
        scrollByLines(y < 0 ? -1 : 1);
    }
    selectByMouse(m_lastMousePoint, false);
}

// --- Drag and drop ----------------------------------------------------------------------

void PageControl::startDrag()
{
    m_mightDrag = false;
    m_droppedInside = false;
    auto *drag = new QDrag(m_widget);
    drag->setMimeData(selectionMimeData());
    m_dragging = true;
    Qt::DropAction action = Qt::IgnoreAction;
    if (m_runDrag) {
        action = m_runDrag(*drag);
        drag->deleteLater();
    } else {
        action = drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::MoveAction);
    }
    m_dragging = false;
    if (action == Qt::MoveAction && !m_droppedInside && hasSelection())
        replaceSelection(QStringView());
}

void PageControl::dragEnter(QDragEnterEvent *event)
{
    if (offersText(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void PageControl::dragMove(QDragMoveEvent *event)
{
    if (!offersText(event->mimeData())) {
        event->ignore();
        return;
    }
    m_dropPosition = hitPosition(event->position().toPoint());
    const int y = int(event->position().y());
    const int edge = QFontMetrics(m_layouts.font()).height();
    if (y < edge)
        scrollByLines(-1);
    else if (y > m_layouts.viewportHeight() - edge)
        scrollByLines(1);
    emit updateRequest();
    event->acceptProposedAction();
}

void PageControl::dragLeave()
{
    m_dropPosition = -1;
    emit updateRequest();
}

// A drop takes the plain text on offer. Text dragged within the box moves, unless it is
// dropped onto itself; a drop that comes while the box's own drag goes on is one of its own.
void PageControl::drop(QDropEvent *event)
{
    m_dropPosition = -1;
    emit updateRequest();
    if (!offersText(event->mimeData())) {
        event->ignore();
        return;
    }
    const qsizetype position = settled(hitPosition(event->position().toPoint()));
    if (m_dragging) {
        m_droppedInside = true;
        if (position >= std::min(m_cursor, m_anchor) && position <= std::max(m_cursor, m_anchor)) {
            event->ignore();
            return;
        }
    }
    dropText(position, event->mimeData()->text(),
             m_dragging && event->dropAction() == Qt::MoveAction);
    event->acceptProposedAction();
}

// Puts dropped text at `position`, taking the selection away first when that is what
// moves: one step either way, and what was dropped ends up selected.
void PageControl::dropText(qsizetype position, const QString &text, bool moving)
{
    dropPreedit();
    const QString dropped = withTypedBreaks(text);
    const qsizetype from = std::min(m_cursor, m_anchor);
    const qsizetype to = std::max(m_cursor, m_anchor);
    const qsizetype removed = moving ? to - from : 0;
    if (m_text.size() - removed + dropped.size() > PageText::MaxLength) {
        QApplication::beep();
        return;
    }
    m_history.beginEditBlock();
    if (moving) {
        replaceSelection(QStringView());
        if (position > to)
            position -= removed;
    }
    m_anchor = m_cursor = position;
    replaceSelection(dropped);
    m_history.endEditBlock();
    m_anchor = position;
    moveCursor(m_cursor, true);
}

// --- Input methods ----------------------------------------------------------------------

// Where the composition's own caret stands, and the formats the input method draws it with.
void PageControl::takePreeditLook(const QInputMethodEvent &event, const QString &preedit)
{
    m_preeditCursor = int(preedit.size());
    m_preeditFormats.clear();
    for (const QInputMethodEvent::Attribute &attribute : event.attributes()) {
        if (attribute.type == QInputMethodEvent::Cursor) {
            m_preeditCursor = std::clamp(attribute.start, 0, int(preedit.size()));
        } else if (attribute.type == QInputMethodEvent::TextFormat) {
            const QTextCharFormat format =
                qvariant_cast<QTextFormat>(attribute.value).toCharFormat();
            if (format.isValid())
                m_preeditFormats.append({attribute.start, attribute.length, format});
        }
    }
}

// As in Qt's own editors: a composition that begins takes the selection's place, a commit
// may first replace text around the caret, and the input method may set the selection; all
// of one event is one step.
void PageControl::inputMethod(QInputMethodEvent *event)
{
    if (isEchoOfCommit(event)) {
        event->accept();
        return;
    }
    const QString commit = withoutLoneSurrogates(event->commitString());
    const QString preedit = event->preeditString();
    const bool takesInput =
        !commit.isEmpty() || preedit != m_layouts.preedit() || event->replacementLength() > 0;
    // The input method counts positions from the start of the text it was offered.
    const qsizetype origin = surroundingStart();
    m_history.beginEditBlock();
    bool edited = false;
    if (takesInput && hasSelection()) {
        // The caret stays where the selection was until the commit is in, even between a CR
        // and an LF that the selection stood between, so that the commit lands there, as
        // typed text does.
        const qsizetype from = std::min(m_cursor, m_anchor);
        if (replace(from, std::max(m_cursor, m_anchor), QStringView(), PageHistory::Run::None)) {
            m_cursor = m_anchor = from;
            m_commitAt = settled(from) != from ? from : -1;
            edited = true;
        }
    }
    if (!commit.isEmpty() || event->replacementLength() > 0) {
        const qsizetype at = m_commitAt >= 0 ? m_commitAt : m_cursor;
        const qsizetype from =
            std::clamp<qsizetype>(at + event->replacementStart(), 0, m_text.size());
        const qsizetype to =
            std::clamp<qsizetype>(from + event->replacementLength(), from, m_text.size());
        const QString committed = withTypedBreaks(commit);
        edited |= replaceAround(from, to, committed);
        if (m_commitAt >= 0)
            m_cursor = m_anchor = from + committed.size(); // after it, as after any commit
    }
    if (edited)
        afterEdit();
    for (const QInputMethodEvent::Attribute &attribute : event->attributes()) {
        if (attribute.type != QInputMethodEvent::Selection)
            continue;
        m_anchor = std::clamp<qsizetype>(origin + attribute.start, 0, m_text.size());
        moveCursor(origin + attribute.start + attribute.length, true);
    }
    m_history.endEditBlock();

    if (preedit.isEmpty())
        m_commitAt = -1;
    takePreeditLook(*event, preedit);
    m_layouts.setPreedit(m_cursor, preedit, m_preeditFormats);
    m_layouts.ensureVisible(m_cursor);
    emit updateRequest();
    emit microFocusChanged();
    event->accept();
}

// A click ends a composition as in Qt's own editors: the input method is asked to commit it,
// and it lands where it was composed; one that the input method keeps goes. Returns the
// position the click lands on: read off the screen after the commit, or, where the
// composition went, as the user saw it before.
qsizetype PageControl::commitPreedit(QPoint point)
{
    const qsizetype seen = std::min(hitPosition(point), m_text.size());
    if (m_layouts.preedit().isEmpty())
        return seen;
    const QString composed = m_layouts.preedit();
    QGuiApplication::inputMethod()->commit();
    if (!m_layouts.preedit().isEmpty()) {
        dropPreedit();
        return seen;
    }
    m_committedOnClick = composed;
    m_commitEchoDeadline.setRemainingTime(CommitEchoMs);
    return std::min(hitPosition(point), m_text.size());
}

// Asking an input method to commit makes some send the composition twice: Qt's IBus
// connection commits it and then resets the engine, and engines that commit on a reset
// (the m17n ones) send it again, which Qt's own editors then show twice. The one commit
// that repeats the composition, straight after the click and before anything else comes
// from the input method or the keyboard, is that echo.
bool PageControl::isEchoOfCommit(const QInputMethodEvent *event)
{
    if (m_committedOnClick.isEmpty())
        return false;
    if (event->commitString().isEmpty() && event->preeditString().isEmpty())
        return false; // the composition hidden on the reset: the echo may still follow
    const bool echo = !m_commitEchoDeadline.hasExpired() &&
                      event->commitString() == m_committedOnClick &&
                      event->preeditString().isEmpty() && event->replacementLength() == 0;
    m_committedOnClick.clear();
    return echo;
}

// Anything but the input method itself ends a composition: its text goes, and the input
// method is told to start afresh, so that no key or click works on text that is not there.
void PageControl::dropPreedit()
{
    if (m_layouts.preedit().isEmpty())
        return;
    m_commitAt = -1;
    m_layouts.setPreedit(m_cursor, QString());
    m_preeditFormats.clear();
    emit updateRequest();
    QGuiApplication::inputMethod()->reset();
}

// Where the text offered to input methods starts: the start of the caret's line, or
// SurroundingChars before the caret in a long one. Every position an input method is told or
// tells counts from here.
qsizetype PageControl::surroundingStart() const
{
    return std::max(m_rows.rowStart(m_rows.rowAt(m_cursor)), m_cursor - SurroundingChars);
}

// Where the caret stands, in a composition where its caret does, on whichever screen line
// that is, as Qt's editors place it.
QRectF PageControl::cursorRect() const
{
    const QRect character = m_layouts.characterRect(m_cursor);
    const PageLayouts::LinePlace place = m_layouts.placeOf(m_cursor);
    const PageLayouts::Stretch stretch = m_layouts.stretchOf(place);
    const QTextLine caretLine =
        stretch.layout->lineAt(std::clamp(place.line, 0, stretch.layout->lineCount() - 1));
    int column = stretch.toLayout(m_cursor);
    if (stretch.preeditAt >= 0 && column == stretch.preeditAt)
        column += m_preeditCursor;
    const QTextLine line = stretch.layout->lineForTextPosition(column);
    if (!line.isValid())
        return character;
    const qreal top = character.y() + line.y() - caretLine.y();
    return QRectF(PageLayouts::DocumentMargin + line.cursorToX(column), top, 1, line.height());
}

QVariant PageControl::inputMethodQuery(Qt::InputMethodQuery query) const
{
    // The text around the caret within its line, at most SurroundingChars each way.
    const qsizetype rowEnd = m_rows.rowEnd(m_rows.rowAt(m_cursor));
    const qsizetype around = surroundingStart();
    switch (query) {
    case Qt::ImEnabled:
        return m_widget->isEnabled();
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    case Qt::ImFont:
        return m_layouts.font();
    case Qt::ImCursorRectangle:
        return cursorRect();
    case Qt::ImSurroundingText:
        return m_text.mid(around, std::min(rowEnd, m_cursor + SurroundingChars) - around);
    case Qt::ImCursorPosition:
        return int(m_cursor - around);
    case Qt::ImAnchorPosition:
        // Relative to the same start as the caret, before it or past the text offered when
        // the selection goes on beyond.
        return int(m_anchor - around);
    case Qt::ImCurrentSelection:
        return std::abs(m_cursor - m_anchor) <= OfferedTextLimit ? selectedText() : QString();
    case Qt::ImAbsolutePosition:
        return qlonglong(m_cursor);
    default:
        return QVariant();
    }
}
