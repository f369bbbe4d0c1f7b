// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagecontrol.h"

#include "pagehistory.h"
#include "pagelayouts.h"
#include "pagetext.h"
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
#include <QTextLayout>
#include <QWidget>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int AutoScrollMs = 50;
// Text offered to input methods and assistive tools is cut off at this length.
constexpr qsizetype OfferedTextLimit = 65536;
// Input methods are offered the caret's line, or this much of a long one each way.
constexpr qsizetype SurroundingChars = 4096;

} // namespace

PageControl::PageControl(PageText &text, PageHistory &history, RowIndex &rows, PageLayouts &layouts,
                         QWidget *widget)
    : m_text(text)
    , m_history(history)
    , m_rows(rows)
    , m_layouts(layouts)
    , m_widget(widget)
{}

void PageControl::reset()
{
    m_cursor = m_anchor = 0;
    m_desiredX = -1;
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

// Moves the caret, dragging the selection's far end along when `keepAnchor`. A place
// between the CR and the LF of one line break, or inside a surrogate pair, is no place for
// the caret: it goes before them.
void PageControl::moveCursor(qsizetype position, bool keepAnchor)
{
    const auto settle = [this](qsizetype p) {
        if ((m_text.at(p - 1) == u'\r' && m_text.at(p) == u'\n') ||
            (m_text.at(p - 1).isHighSurrogate() && m_text.at(p).isLowSurrogate()))
            return p - 1;
        return p;
    };
    m_cursor = settle(std::clamp<qsizetype>(position, 0, m_text.size()));
    m_anchor = settle(keepAnchor ? m_anchor : m_cursor);
    m_layouts.ensureVisible(m_cursor);
    emit updateRequest();
    emit microFocusChanged();
    announceCursor();
    emit cursorPositionChanged();
}

void PageControl::announceCursor()
{
    if (!QAccessible::isActive())
        return;
    QAccessibleTextCursorEvent moved(m_widget, int(m_cursor));
    QAccessible::updateAccessibility(&moved);
    if (hasSelection()) {
        QAccessibleTextSelectionEvent selected(m_widget, int(std::min(m_cursor, m_anchor)),
                                               int(std::max(m_cursor, m_anchor)));
        QAccessible::updateAccessibility(&selected);
    }
}

void PageControl::scrollByLines(int lines)
{
    m_layouts.scrollByLines(lines);
    emit updateRequest();
}

// --- Moving by keys -------------------------------------------------------------------

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
    const int pageLines = m_layouts.linesPerPage();
    for (const Movement &movement : Movements) {
        const bool select = event->matches(movement.select);
        if (!select && !event->matches(movement.move))
            continue;
        const qsizetype p = m_cursor;
        qsizetype target = p;
        qreal desiredX = -1;
        switch (movement.move) {
        case QKeySequence::MoveToNextChar:
            target = !select && hasSelection() ? std::max(m_cursor, m_anchor)
                                               : m_layouts.rightOf(p, false);
            break;
        case QKeySequence::MoveToPreviousChar:
            target = !select && hasSelection() ? std::min(m_cursor, m_anchor)
                                               : m_layouts.leftOf(p, false);
            break;
        case QKeySequence::MoveToNextWord:
            target = m_layouts.rightOf(p, true);
            break;
        case QKeySequence::MoveToPreviousWord:
            target = m_layouts.leftOf(p, true);
            break;
        case QKeySequence::MoveToNextLine:
            desiredX = m_desiredX;
            target = m_layouts.verticalMove(p, 1, desiredX);
            break;
        case QKeySequence::MoveToPreviousLine:
            desiredX = m_desiredX;
            target = m_layouts.verticalMove(p, -1, desiredX);
            break;
        case QKeySequence::MoveToNextPage:
            scrollByLines(pageLines);
            desiredX = m_desiredX;
            target = m_layouts.verticalMove(p, pageLines, desiredX);
            break;
        case QKeySequence::MoveToPreviousPage:
            scrollByLines(-pageLines);
            desiredX = m_desiredX;
            target = m_layouts.verticalMove(p, -pageLines, desiredX);
            break;
        case QKeySequence::MoveToStartOfLine:
            target = m_layouts.lineEdge(p, false);
            break;
        case QKeySequence::MoveToEndOfLine:
            target = m_layouts.lineEdge(p, true);
            break;
        case QKeySequence::MoveToStartOfDocument:
            target = 0;
            break;
        case QKeySequence::MoveToEndOfDocument:
            target = m_text.size();
            break;
        default:
            break;
        }
        moveCursor(target, select);
        m_desiredX = desiredX; // kept only by vertical movement
        return true;
    }
    return false;
}

// --- Editing ----------------------------------------------------------------------------

void PageControl::replaceSelection(QStringView text, bool typing)
{
    const qsizetype from = std::min(m_cursor, m_anchor);
    const qsizetype removed = std::max(m_cursor, m_anchor) - from;
    const bool announce = QAccessible::isActive() && removed <= OfferedTextLimit;
    const QString removedText = announce ? m_text.mid(from, removed) : QString();
    if (removed > 0)
        m_rows.firstLineBreak(); // remembered before the edit can take it away
    if (!m_history.replace(from, removed, text, typing)) {
        QApplication::beep();
        return;
    }
    m_anchor = m_cursor = from + text.size();
    if (announce && text.size() <= OfferedTextLimit) {
        QAccessibleTextUpdateEvent updated(m_widget, int(from), removedText, text.toString());
        QAccessible::updateAccessibility(&updated);
    }
    afterEdit();
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
void PageControl::insertWithTypedBreaks(const QString &text)
{
    if (!text.contains(u'\r') && !text.contains(u'\n')) {
        replaceSelection(text);
        return;
    }
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
    replaceSelection(converted);
}

// Backspace takes a CR LF line break, or a character outside the basic plane, as one.
void PageControl::deleteBackward()
{
    if (!hasSelection()) {
        const qsizetype p = m_cursor;
        if (p == 0)
            return;
        const bool pair = (m_text.at(p - 1) == u'\n' && m_text.at(p - 2) == u'\r') ||
                          (m_text.at(p - 1).isLowSurrogate() && m_text.at(p - 2).isHighSurrogate());
        m_anchor = p - (pair ? 2 : 1);
    }
    replaceSelection(QStringView());
}

void PageControl::deleteForward()
{
    if (!hasSelection()) {
        const qsizetype p = m_cursor;
        if (p >= m_text.size())
            return;
        const bool pair = (m_text.at(p) == u'\r' && m_text.at(p + 1) == u'\n') ||
                          (m_text.at(p).isHighSurrogate() && m_text.at(p + 1).isLowSurrogate());
        m_anchor = p + (pair ? 2 : 1);
    }
    replaceSelection(QStringView());
}

void PageControl::undo()
{
    dropPreedit();
    const auto [from, to] = m_history.undo();
    if (from < 0)
        return;
    m_anchor = m_cursor = to;
    afterEdit();
}

void PageControl::redo()
{
    dropPreedit();
    const auto [from, to] = m_history.redo();
    if (from < 0)
        return;
    m_anchor = m_cursor = to;
    afterEdit();
}

QMimeData *PageControl::selectionMimeData() const
{
    auto *data = new QMimeData;
    data->setText(selectedText());
    return data;
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
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    if (data && data->hasText())
        insertWithTypedBreaks(data->text());
}

void PageControl::selectAll()
{
    m_anchor = 0;
    moveCursor(m_text.size(), true);
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
        paste();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::DeleteStartOfWord)) {
        if (!hasSelection())
            m_anchor = m_layouts.leftOf(m_cursor, true);
        replaceSelection(QStringView());
    } else if (event->matches(QKeySequence::DeleteEndOfWord)) {
        if (!hasSelection())
            m_anchor = m_layouts.rightOf(m_cursor, true);
        replaceSelection(QStringView());
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

void PageControl::keyPress(QKeyEvent *event)
{
    dropPreedit();
    if (handleShortcut(event) || handleMovement(event))
        return;
    const QString typed = event->text();
    const bool command = event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier);
    if (!typed.isEmpty() && !command &&
        (typed.front().isPrint() || typed.front().category() == QChar::Other_Format ||
         typed.front().isSurrogate())) {
        replaceSelection(typed, true);
        return;
    }
    event->ignore();
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

// --- Mouse, drag and drop ---------------------------------------------------------------

void PageControl::mousePress(QMouseEvent *event)
{
    dropPreedit();
    const QPoint point = event->position().toPoint();
    const qsizetype position = m_layouts.positionAt(point);
    if (event->button() == Qt::MiddleButton) {
        const QClipboard *clipboard = QGuiApplication::clipboard();
        if (clipboard->supportsSelection()) {
            moveCursor(position, false);
            insertWithTypedBreaks(clipboard->text(QClipboard::Selection));
        }
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    m_pressPoint = point;
    const qsizetype from = std::min(m_cursor, m_anchor);
    const qsizetype to = std::max(m_cursor, m_anchor);
    if (!(event->modifiers() & Qt::ShiftModifier) && hasSelection() && position >= from &&
        position < to) {
        m_mightDrag = true;
        return;
    }
    m_selecting = true;
    m_desiredX = -1;
    moveCursor(position, event->modifiers() & Qt::ShiftModifier);
}

void PageControl::mouseMove(QMouseEvent *event)
{
    const QPoint point = event->position().toPoint();
    m_lastMousePoint = point;
    if (m_mightDrag) {
        if ((point - m_pressPoint).manhattanLength() >= QApplication::startDragDistance())
            startDrag();
        return;
    }
    if (!m_selecting || !(event->buttons() & Qt::LeftButton))
        return;
    if (point.y() < 0 || point.y() > m_layouts.viewportHeight()) {
        if (!m_autoScrollTimer.isActive())
            m_autoScrollTimer.start(AutoScrollMs, this);
    } else {
        m_autoScrollTimer.stop();
    }
    moveCursor(m_layouts.positionAt(point), true);
}

void PageControl::mouseRelease(QMouseEvent *event)
{
    m_autoScrollTimer.stop();
    if (m_mightDrag) {
        m_mightDrag = false;
        moveCursor(m_layouts.positionAt(event->position().toPoint()), false);
    }
    if (m_selecting && hasSelection() && QGuiApplication::clipboard()->supportsSelection())
        QGuiApplication::clipboard()->setText(selectedText(), QClipboard::Selection);
    m_selecting = false;
}

void PageControl::mouseDoubleClick(QMouseEvent *event)
{
    dropPreedit();
    if (event->button() != Qt::LeftButton)
        return;
    const auto [from, to] = m_layouts.wordAt(m_layouts.positionAt(event->position().toPoint()));
    m_anchor = from;
    moveCursor(to, true);
    m_selecting = false;
}

void PageControl::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_autoScrollTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    const int y = m_lastMousePoint.y();
    if (y < 0)
        scrollByLines(-1);
    else if (y > m_layouts.viewportHeight())
        scrollByLines(1);
    else
        m_autoScrollTimer.stop();
    moveCursor(m_layouts.positionAt(m_lastMousePoint), true);
}

void PageControl::startDrag()
{
    m_mightDrag = false;
    m_droppedInside = false;
    auto *drag = new QDrag(m_widget);
    drag->setMimeData(selectionMimeData());
    const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::MoveAction);
    if (action == Qt::MoveAction && !m_droppedInside && hasSelection())
        replaceSelection(QStringView());
}

void PageControl::dragEnter(QDragEnterEvent *event)
{
    if (event->mimeData()->hasText())
        event->acceptProposedAction();
    else
        event->ignore();
}

void PageControl::dragMove(QDragMoveEvent *event)
{
    if (!event->mimeData()->hasText()) {
        event->ignore();
        return;
    }
    m_dropPosition = m_layouts.positionAt(event->position().toPoint());
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
// dropped onto itself.
void PageControl::drop(QDropEvent *event)
{
    m_dropPosition = -1;
    if (!event->mimeData()->hasText()) {
        event->ignore();
        return;
    }
    qsizetype position = m_layouts.positionAt(event->position().toPoint());
    const QString text = event->mimeData()->text();
    if (event->source() == m_widget) {
        m_droppedInside = true;
        const qsizetype from = std::min(m_cursor, m_anchor);
        const qsizetype to = std::max(m_cursor, m_anchor);
        if (position >= from && position <= to) {
            event->ignore();
            emit updateRequest();
            return;
        }
        if (event->dropAction() == Qt::MoveAction) {
            replaceSelection(QStringView());
            if (position > to)
                position -= to - from;
        }
    }
    moveCursor(position, false);
    insertWithTypedBreaks(text);
    m_anchor = position;
    moveCursor(m_cursor, true);
    event->acceptProposedAction();
}

// --- Input methods ----------------------------------------------------------------------

void PageControl::inputMethod(QInputMethodEvent *event)
{
    if (!event->commitString().isEmpty() || event->replacementLength() > 0) {
        if (event->replacementLength() > 0 || event->replacementStart() != 0) {
            const qsizetype from =
                std::clamp<qsizetype>(m_cursor + event->replacementStart(), 0, m_text.size());
            m_anchor = from;
            m_cursor =
                std::clamp<qsizetype>(from + event->replacementLength(), from, m_text.size());
        }
        insertWithTypedBreaks(event->commitString());
    }
    const QString preedit = event->preeditString();
    m_preeditCursor = int(preedit.size());
    for (const QInputMethodEvent::Attribute &attribute : event->attributes()) {
        if (attribute.type == QInputMethodEvent::Cursor)
            m_preeditCursor = std::clamp(attribute.start, 0, int(preedit.size()));
    }
    m_layouts.setPreedit(m_cursor, preedit);
    m_layouts.ensureVisible(m_cursor);
    emit updateRequest();
    emit microFocusChanged();
    event->accept();
}

// Anything but the input method itself ends a composition: its text goes, and the input
// method is told to start afresh, so that no key or click works on text that is not there.
void PageControl::dropPreedit()
{
    if (m_layouts.preedit().isEmpty())
        return;
    m_layouts.setPreedit(m_cursor, QString());
    emit updateRequest();
    QGuiApplication::inputMethod()->reset();
}

QVariant PageControl::inputMethodQuery(Qt::InputMethodQuery query) const
{
    // The text around the caret within its line, at most SurroundingChars each way.
    const qsizetype row = m_rows.rowAt(m_cursor);
    const qsizetype rowEnd = m_rows.rowEnd(row);
    const qsizetype around = std::max(m_rows.rowStart(row), m_cursor - SurroundingChars);
    switch (query) {
    case Qt::ImEnabled:
        return true;
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    case Qt::ImFont:
        return m_layouts.font();
    case Qt::ImCursorRectangle: {
        const QRect character = m_layouts.characterRect(m_cursor);
        return QRect(character.topLeft(), QSize(1, character.height()));
    }
    case Qt::ImSurroundingText:
        return m_text.mid(around, std::min(rowEnd, m_cursor + SurroundingChars) - around);
    case Qt::ImCursorPosition:
        return int(m_cursor - around);
    case Qt::ImAnchorPosition:
        return int(std::clamp(m_anchor - around, qsizetype(0),
                              std::min(rowEnd, m_cursor + SurroundingChars) - around));
    case Qt::ImCurrentSelection:
        return std::abs(m_cursor - m_anchor) <= OfferedTextLimit ? selectedText() : QString();
    case Qt::ImAbsolutePosition:
        return qlonglong(m_cursor);
    default:
        return QVariant();
    }
}
