// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagebox.h"

#include "pageboxaccessible.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QGuiApplication>
#include <QInputMethod>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <QTextLayout>

#include <algorithm>
#include <cstdlib>

namespace {

// The room around the text, as in Qt's plain text editor.
constexpr int DocumentMargin = 4;
constexpr qreal TabStopDistance = 80;
// The idle work on a new page goes on in slices this long, between which the window
// handles whatever else is waiting.
constexpr qint64 IndexSliceMs = 8;
// Laid out rows kept for painting; the cache starts afresh past this many.
constexpr std::size_t LayoutsKept = 256;
constexpr int AutoScrollMs = 50;
constexpr int WheelLinesPerStep = 3;
// Text offered to input methods and assistive tools is cut off at this length.
constexpr qsizetype OfferedTextLimit = 65536;

bool isWordCharacter(QChar c)
{
    return c.isLetterOrNumber() || c.isMark() || c == u'_';
}

} // namespace

PageBox::PageBox(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    installPageBoxAccessibility();
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus); // Tab moves on to the next control, as everywhere else
    setAttribute(Qt::WA_InputMethodEnabled);
    setAcceptDrops(true);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    // The scroll bar counts rows, and a row of a long line may take many screen lines; its
    // arrows and page steps move by screen lines instead, as in any text box.
    connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this, [this](int action) {
        const int page = linesPerPage();
        const int lines = action == QAbstractSlider::SliderSingleStepAdd   ? 1
                          : action == QAbstractSlider::SliderSingleStepSub ? -1
                          : action == QAbstractSlider::SliderPageStepAdd   ? page
                          : action == QAbstractSlider::SliderPageStepSub   ? -page
                                                                           : 0;
        if (lines == 0)
            return;
        scrollByLines(lines);
        verticalScrollBar()->setSliderPosition(int(m_top.row));
    });
    setPageText(QString());
}

int PageBox::linesPerPage() const
{
    return std::max(1, (viewport()->height() - 2 * DocumentMargin) /
                           std::max(1, fontMetrics().lineSpacing()));
}

PageBox::~PageBox() = default;

void PageBox::setPageText(const QString &text)
{
    const bool announce = QAccessible::isActive() && m_text.size() <= OfferedTextLimit &&
                          text.size() <= OfferedTextLimit;
    const QString before = announce ? m_text.text() : QString();
    m_text.setText(text);
    m_cursor = m_anchor = 0;
    m_desiredX = -1;
    m_top = {};
    m_preedit.clear();
    forgetLayouts();
    m_text.indexSome(IndexSliceMs);
    if (!m_text.fullyIndexed())
        m_indexTimer.start(0, this);
    updateScrollBar();
    viewport()->update();
    if (announce) {
        QAccessibleTextUpdateEvent changed(this, 0, before, text);
        QAccessible::updateAccessibility(&changed);
    }
    announceCursor();
    emit textChanged();
    emit cursorPositionChanged();
}

QString PageBox::pageText() const
{
    return m_text.text();
}

QString PageBox::selectedText() const
{
    return textRange(std::min(m_cursor, m_anchor), std::max(m_cursor, m_anchor));
}

// --- Rows and their layouts -------------------------------------------------------------

qreal PageBox::textWidth() const
{
    return std::max(1, viewport()->width() - 2 * DocumentMargin);
}

// The margin above the text shows only at its top; scrolled, the top line starts at the edge.
qreal PageBox::topMargin() const
{
    return m_top == LinePlace{} ? DocumentMargin : 0;
}

void PageBox::forgetLayouts()
{
    m_layouts.clear();
}

QTextLayout *PageBox::rowLayout(qsizetype row)
{
    const auto known = m_layouts.find(row);
    if (known != m_layouts.end())
        return known->second.get();
    m_text.indexRows(row + 2);
    const qsizetype start = m_text.rowStart(row);
    const qsizetype end = m_text.rowEnd(row);
    auto layout = std::make_unique<QTextLayout>(m_text.mid(start, end - start), font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTabStopDistance(TabStopDistance);
    option.setTextDirection(layoutDirection());
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    if (!m_preedit.isEmpty() && m_text.rowAt(m_cursor) == row)
        layout->setPreeditArea(int(m_cursor - start), m_preedit);
    layout->beginLayout();
    qreal y = 0;
    for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
        line.setLineWidth(textWidth());
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout->endLayout();
    return m_layouts.emplace(row, std::move(layout)).first->second.get();
}

qreal PageBox::rowHeight(qsizetype row)
{
    QTextLayout *layout = rowLayout(row);
    const QTextLine last = layout->lineAt(layout->lineCount() - 1);
    return last.y() + last.height();
}

qreal PageBox::lineHeight(LinePlace place)
{
    return rowLayout(place.row)->lineAt(place.line).height();
}

PageBox::LinePlace PageBox::placeOf(qsizetype position)
{
    const qsizetype row = m_text.rowAt(position);
    QTextLayout *layout = rowLayout(row);
    const QTextLine line = layout->lineForTextPosition(int(position - m_text.rowStart(row)));
    return {row, line.isValid() ? line.lineNumber() : layout->lineCount() - 1};
}

bool PageBox::nextLine(LinePlace &place)
{
    if (place.line + 1 < rowLayout(place.row)->lineCount()) {
        ++place.line;
        return true;
    }
    m_text.indexRows(place.row + 2);
    if (place.row + 1 >= m_text.rowsKnown())
        return false;
    place = {place.row + 1, 0};
    return true;
}

bool PageBox::previousLine(LinePlace &place)
{
    if (place.line > 0) {
        --place.line;
        return true;
    }
    if (place.row == 0)
        return false;
    place = {place.row - 1, rowLayout(place.row - 1)->lineCount() - 1};
    return true;
}

// --- Painting ---------------------------------------------------------------------------

void PageBox::paintEvent(QPaintEvent *event)
{
    if (m_layouts.size() > LayoutsKept)
        forgetLayouts();
    QPainter painter(viewport());
    // The top row may begin above the viewport; nothing of it may reach the frame.
    painter.setClipRect(event->rect());
    painter.setPen(palette().text().color());
    const qsizetype selectionStart = std::min(m_cursor, m_anchor);
    const qsizetype selectionEnd = std::max(m_cursor, m_anchor);
    const qsizetype cursorRow = m_text.rowAt(m_cursor);
    const qsizetype dropRow = m_dropPosition >= 0 ? m_text.rowAt(m_dropPosition) : -1;
    QTextCharFormat selected;
    selected.setBackground(palette().brush(QPalette::Highlight));
    selected.setForeground(palette().brush(QPalette::HighlightedText));

    qreal y = topMargin() - rowLayout(m_top.row)->lineAt(m_top.line).y();
    for (qsizetype row = m_top.row; y < viewport()->height(); ++row) {
        m_text.indexRows(row + 2);
        if (row >= m_text.rowsKnown())
            break;
        QTextLayout *layout = rowLayout(row);
        const qsizetype start = m_text.rowStart(row);
        const qsizetype end = m_text.rowEnd(row);
        QList<QTextLayout::FormatRange> selections;
        if (selectionStart < end && selectionEnd > start) {
            const qsizetype from = std::max(selectionStart, start) - start;
            const qsizetype to = std::min(selectionEnd, end) - start;
            selections.append({int(from), int(to - from), selected});
        }
        const QPointF origin(DocumentMargin, y);
        layout->draw(&painter, origin, selections);
        // A selected line break shows as a little room after the line's last character.
        if (selectionStart <= end && selectionEnd > end && row + 1 < m_text.rowsKnown() &&
            m_text.rowStartsLine(row + 1)) {
            const QTextLine last = layout->lineAt(layout->lineCount() - 1);
            painter.fillRect(QRectF(origin.x() + last.naturalTextWidth(), y + last.y(),
                                    painter.fontMetrics().averageCharWidth(), last.height()),
                             palette().brush(QPalette::Highlight));
        }
        if (row == cursorRow && hasFocus() && m_caretShown)
            layout->drawCursor(&painter, origin,
                               int(m_cursor - start) + (m_preedit.isEmpty() ? 0 : m_preeditCursor));
        if (row == dropRow)
            layout->drawCursor(&painter, origin, int(m_dropPosition - start));
        y += rowHeight(row);
    }
}

// --- Scrolling --------------------------------------------------------------------------

// The highest top place that still fills the viewport: the view never scrolls past the
// text's last line. While the text is still being indexed, its last known row.
PageBox::LinePlace PageBox::lastTopPlace()
{
    if (!m_text.fullyIndexed()) {
        const qsizetype row = m_text.rowsKnown() - 1;
        return {row, rowLayout(row)->lineCount() - 1};
    }
    const qsizetype lastRow = m_text.rowsKnown() - 1;
    LinePlace top{lastRow, rowLayout(lastRow)->lineCount() - 1};
    const qreal room = viewport()->height() - 2 * DocumentMargin;
    qreal height = lineHeight(top);
    for (LinePlace above = top; previousLine(above);) {
        height += lineHeight(above);
        if (height > room)
            break;
        top = above;
    }
    return top;
}

void PageBox::updateScrollBar()
{
    // After an edit the top row may hold fewer lines, or be gone.
    m_top.row = std::min(m_top.row, m_text.rowsKnown() - 1);
    m_top.line = std::min(m_top.line, rowLayout(m_top.row)->lineCount() - 1);
    const LinePlace last = lastTopPlace();
    if (m_top > last)
        m_top = last;
    m_settingScrollBar = true;
    QScrollBar *bar = verticalScrollBar();
    bar->setRange(0, int(last.row));
    bar->setPageStep(linesPerPage());
    bar->setSingleStep(1);
    bar->setValue(int(m_top.row));
    m_settingScrollBar = false;
}

void PageBox::scrollContentsBy(int, int)
{
    if (m_settingScrollBar || verticalScrollBar()->value() == m_top.row)
        return;
    m_top = {verticalScrollBar()->value(), 0};
    m_top = std::min(m_top, lastTopPlace());
    viewport()->update();
}

void PageBox::scrollToPlace(LinePlace place)
{
    m_top = std::min(place, lastTopPlace());
    m_settingScrollBar = true;
    verticalScrollBar()->setValue(int(m_top.row));
    m_settingScrollBar = false;
    viewport()->update();
}

void PageBox::scrollByLines(int lines)
{
    LinePlace place = m_top;
    for (; lines > 0 && nextLine(place); --lines) {
    }
    for (; lines < 0 && previousLine(place); ++lines) {
    }
    scrollToPlace(place);
}

void PageBox::ensureCursorVisible()
{
    const LinePlace cursor = placeOf(m_cursor);
    if (cursor < m_top) {
        scrollToPlace(cursor);
        return;
    }
    const qreal bottom = viewport()->height() - DocumentMargin;
    qreal y = topMargin();
    for (LinePlace place = m_top; y < bottom;) {
        if (place == cursor) {
            if (y + lineHeight(place) <= bottom)
                return;
            break;
        }
        y += lineHeight(place);
        if (!nextLine(place))
            break;
    }
    // Below the viewport: the caret's line becomes the bottom one.
    LinePlace top = cursor;
    qreal height = lineHeight(cursor);
    for (LinePlace above = cursor; previousLine(above);) {
        height += lineHeight(above);
        if (height > bottom - topMargin())
            break;
        top = above;
    }
    scrollToPlace(top);
}

void PageBox::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    forgetLayouts();
    updateScrollBar();
}

void PageBox::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::LayoutDirectionChange) {
        forgetLayouts();
        updateScrollBar();
        viewport()->update();
    }
}

void PageBox::wheelEvent(QWheelEvent *event)
{
    if (event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier)) {
        event->ignore();
        return;
    }
    const int steps = event->angleDelta().y() / QWheelEvent::DefaultDeltasPerStep;
    if (steps != 0)
        scrollByLines(-steps * WheelLinesPerStep * QApplication::wheelScrollLines() / 3);
    event->accept();
}

void PageBox::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_indexTimer.timerId()) {
        if (m_text.indexSome(IndexSliceMs))
            m_indexTimer.stop();
        updateScrollBar();
    } else if (event->timerId() == m_blinkTimer.timerId()) {
        m_caretShown = !m_caretShown;
        viewport()->update();
    } else if (event->timerId() == m_autoScrollTimer.timerId()) {
        const int y = m_lastMousePoint.y();
        if (y < 0)
            scrollByLines(-1);
        else if (y > viewport()->height())
            scrollByLines(1);
        else
            m_autoScrollTimer.stop();
        moveCursor(positionAt(m_lastMousePoint), true);
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}

// --- Caret and selection ----------------------------------------------------------------

void PageBox::setSelection(qsizetype anchor, qsizetype cursor)
{
    m_anchor = std::clamp<qsizetype>(anchor, 0, m_text.size());
    moveCursor(std::clamp<qsizetype>(cursor, 0, m_text.size()), true);
}

// Moves the caret, dragging the selection's far end along when `keepAnchor`. A place
// between the CR and the LF of one line break, or inside a surrogate pair, is no place for
// the caret: it goes before them.
void PageBox::moveCursor(qsizetype position, bool keepAnchor)
{
    const auto settle = [this](qsizetype p) {
        if ((m_text.at(p - 1) == u'\r' && m_text.at(p) == u'\n') ||
            (m_text.at(p - 1).isHighSurrogate() && m_text.at(p).isLowSurrogate()))
            return p - 1;
        return p;
    };
    m_cursor = settle(std::clamp<qsizetype>(position, 0, m_text.size()));
    m_anchor = settle(keepAnchor ? m_anchor : m_cursor);
    ensureCursorVisible();
    restartBlinking();
    viewport()->update();
    updateMicroFocus();
    announceCursor();
    emit cursorPositionChanged();
}

void PageBox::announceCursor()
{
    if (!QAccessible::isActive())
        return;
    QAccessibleTextCursorEvent moved(this, int(m_cursor));
    QAccessible::updateAccessibility(&moved);
    if (hasSelection()) {
        QAccessibleTextSelectionEvent selected(this, int(std::min(m_cursor, m_anchor)),
                                               int(std::max(m_cursor, m_anchor)));
        QAccessible::updateAccessibility(&selected);
    }
}

void PageBox::restartBlinking()
{
    m_caretShown = true;
    const int flashTime = QGuiApplication::styleHints()->cursorFlashTime();
    if (hasFocus() && flashTime > 1)
        m_blinkTimer.start(flashTime / 2, this);
    else
        m_blinkTimer.stop();
}

void PageBox::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    restartBlinking();
    viewport()->update();
}

void PageBox::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    m_blinkTimer.stop();
    viewport()->update();
}

QRect PageBox::characterRect(qsizetype position)
{
    const LinePlace target = placeOf(position);
    qreal y = topMargin();
    LinePlace place = m_top;
    // A place far off screen gets a rect far off screen, without laying out all between.
    if (target < place) {
        for (; place != target && y > -viewport()->height() * 4 && previousLine(place);)
            y -= lineHeight(place);
    } else {
        for (; place != target && y < viewport()->height() * 4; nextLine(place))
            y += lineHeight(place);
    }
    const QTextLine line = rowLayout(target.row)->lineAt(target.line);
    const int column = int(position - m_text.rowStart(target.row));
    const qreal x = line.cursorToX(column);
    const qreal next =
        column < line.textStart() + line.textLength() ? line.cursorToX(column + 1) : x + 1;
    return QRectF(DocumentMargin + x, y, std::max<qreal>(1, next - x), line.height())
        .toAlignedRect();
}

qsizetype PageBox::positionAt(QPoint point)
{
    LinePlace place = m_top;
    qreal y = topMargin();
    for (;;) {
        const qreal height = lineHeight(place);
        LinePlace next = place;
        if (point.y() < y + height || !nextLine(next)) {
            const QTextLine line = rowLayout(place.row)->lineAt(place.line);
            return m_text.rowStart(place.row) + line.xToCursor(point.x() - DocumentMargin);
        }
        y += height;
        place = next;
    }
}

// --- Moving by keys -------------------------------------------------------------------

qsizetype PageBox::leftOf(qsizetype position, bool byWord)
{
    if (position <= 0)
        return 0;
    qsizetype row = m_text.rowAt(position, true);
    if (position == m_text.rowStart(row))
        return m_text.rowEnd(row - 1); // the line break before is one step
    const auto mode = byWord ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    const qsizetype start = m_text.rowStart(row);
    return start + rowLayout(row)->previousCursorPosition(int(position - start), mode);
}

qsizetype PageBox::rightOf(qsizetype position, bool byWord)
{
    const qsizetype row = m_text.rowAt(position);
    const qsizetype end = m_text.rowEnd(row);
    if (position >= end) {
        m_text.indexRows(row + 2);
        return row + 1 < m_text.rowsKnown() ? m_text.rowStart(row + 1) : position;
    }
    const auto mode = byWord ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    const qsizetype start = m_text.rowStart(row);
    return start + rowLayout(row)->nextCursorPosition(int(position - start), mode);
}

// The position `lines` screen lines above (negative) or below the caret, as near as the
// text allows to the x where vertical movement began.
qsizetype PageBox::verticalMove(qsizetype position, int lines)
{
    LinePlace place = placeOf(position);
    if (m_desiredX < 0) {
        const QTextLine line = rowLayout(place.row)->lineAt(place.line);
        m_desiredX = line.cursorToX(int(position - m_text.rowStart(place.row)));
    }
    // Past the first or the last line, the caret goes to the start or the end of the text.
    const bool down = lines > 0;
    bool moved = true;
    for (; lines > 0 && moved; --lines)
        moved = nextLine(place);
    for (; lines < 0 && moved; ++lines)
        moved = previousLine(place);
    if (!moved)
        return down ? m_text.size() : 0;
    const QTextLine line = rowLayout(place.row)->lineAt(place.line);
    return m_text.rowStart(place.row) + line.xToCursor(m_desiredX);
}

qsizetype PageBox::lineEdge(qsizetype position, bool end)
{
    const LinePlace place = placeOf(position);
    QTextLayout *layout = rowLayout(place.row);
    const QTextLine line = layout->lineAt(place.line);
    const qsizetype start = m_text.rowStart(place.row);
    if (!end)
        return start + line.textStart();
    qsizetype edge = start + line.textStart() + line.textLength();
    // A wrapped line ends before the blank at which it wraps.
    if (place.line + 1 < layout->lineCount() && edge > start + line.textStart() &&
        m_text.at(edge - 1).isSpace())
        --edge;
    return edge;
}

std::pair<qsizetype, qsizetype> PageBox::wordAt(qsizetype position)
{
    const qsizetype row = m_text.rowAt(position);
    const qsizetype start = m_text.rowStart(row);
    const QString text = rowLayout(row)->text();
    qsizetype from = position - start;
    if (from >= text.size() || !isWordCharacter(text[from])) {
        if (from > 0 && isWordCharacter(text[from - 1]))
            --from;
        else
            return {position, rightOf(position, false)};
    }
    qsizetype to = from;
    while (from > 0 && isWordCharacter(text[from - 1]))
        --from;
    while (to < text.size() && isWordCharacter(text[to]))
        ++to;
    return {start + from, start + to};
}

bool PageBox::handleMovement(QKeyEvent *event)
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
    const int pageLines = linesPerPage();
    for (const Movement &movement : Movements) {
        const bool select = event->matches(movement.select);
        if (!select && !event->matches(movement.move))
            continue;
        const qsizetype p = m_cursor;
        qsizetype target = p;
        bool vertical = false;
        switch (movement.move) {
        case QKeySequence::MoveToNextChar:
            target = !select && hasSelection() ? std::max(m_cursor, m_anchor) : rightOf(p, false);
            break;
        case QKeySequence::MoveToPreviousChar:
            target = !select && hasSelection() ? std::min(m_cursor, m_anchor) : leftOf(p, false);
            break;
        case QKeySequence::MoveToNextWord:
            target = rightOf(p, true);
            break;
        case QKeySequence::MoveToPreviousWord:
            target = leftOf(p, true);
            break;
        case QKeySequence::MoveToNextLine:
            target = verticalMove(p, 1);
            vertical = true;
            break;
        case QKeySequence::MoveToPreviousLine:
            target = verticalMove(p, -1);
            vertical = true;
            break;
        case QKeySequence::MoveToNextPage:
            scrollByLines(pageLines);
            target = verticalMove(p, pageLines);
            vertical = true;
            break;
        case QKeySequence::MoveToPreviousPage:
            scrollByLines(-pageLines);
            target = verticalMove(p, -pageLines);
            vertical = true;
            break;
        case QKeySequence::MoveToStartOfLine:
            target = lineEdge(p, false);
            break;
        case QKeySequence::MoveToEndOfLine:
            target = lineEdge(p, true);
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
        const qreal desiredX = m_desiredX;
        moveCursor(target, select);
        m_desiredX = vertical ? desiredX : -1;
        return true;
    }
    return false;
}

// --- Editing ----------------------------------------------------------------------------

void PageBox::replaceSelection(QStringView text, bool typing)
{
    const qsizetype from = std::min(m_cursor, m_anchor);
    const qsizetype removed = std::max(m_cursor, m_anchor) - from;
    const bool announce = QAccessible::isActive() && removed <= OfferedTextLimit;
    const QString removedText = announce ? m_text.mid(from, removed) : QString();
    if (!m_text.replace(from, removed, text, typing)) {
        QApplication::beep();
        return;
    }
    m_anchor = m_cursor = from + text.size();
    if (announce && text.size() <= OfferedTextLimit) {
        QAccessibleTextUpdateEvent updated(this, int(from), removedText, text.toString());
        QAccessible::updateAccessibility(&updated);
    }
    afterEdit();
}

void PageBox::afterEdit()
{
    forgetLayouts();
    m_desiredX = -1;
    if (!m_text.fullyIndexed())
        m_indexTimer.start(0, this);
    updateScrollBar();
    moveCursor(m_cursor, true);
    emit textChanged();
}

// Line breaks that come in from the keyboard, the clipboard or a drop take the style of
// the text's first line break; every other character comes in as it is.
void PageBox::insertWithTypedBreaks(const QString &text)
{
    if (!text.contains(u'\r') && !text.contains(u'\n')) {
        replaceSelection(text);
        return;
    }
    const QString lineBreak = m_text.firstLineBreak();
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
void PageBox::deleteBackward()
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

void PageBox::deleteForward()
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

void PageBox::undo()
{
    dropPreedit();
    const auto [from, to] = m_text.undo();
    if (from < 0)
        return;
    m_anchor = m_cursor = to;
    afterEdit();
}

void PageBox::redo()
{
    dropPreedit();
    const auto [from, to] = m_text.redo();
    if (from < 0)
        return;
    m_anchor = m_cursor = to;
    afterEdit();
}

QMimeData *PageBox::selectionMimeData() const
{
    auto *data = new QMimeData;
    data->setText(selectedText());
    return data;
}

void PageBox::copy()
{
    if (hasSelection())
        QGuiApplication::clipboard()->setMimeData(selectionMimeData());
}

void PageBox::cut()
{
    if (!hasSelection())
        return;
    copy();
    replaceSelection(QStringView());
}

void PageBox::paste()
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    if (data && data->hasText())
        insertWithTypedBreaks(data->text());
}

void PageBox::selectAll()
{
    m_anchor = 0;
    moveCursor(m_text.size(), true);
}

bool PageBox::handleShortcut(QKeyEvent *event)
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
            m_anchor = leftOf(m_cursor, true);
        replaceSelection(QStringView());
    } else if (event->matches(QKeySequence::DeleteEndOfWord)) {
        if (!hasSelection())
            m_anchor = rightOf(m_cursor, true);
        replaceSelection(QStringView());
    } else if (event->key() == Qt::Key_Backspace &&
               !(event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier))) {
        deleteBackward();
    } else if (event->matches(QKeySequence::Delete)) {
        deleteForward();
    } else if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
               !(event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier))) {
        // Shift+Enter too makes an ordinary line break: no page breaks lines with U+2028.
        replaceSelection(m_text.firstLineBreak());
    } else {
        return false;
    }
    return true;
}

void PageBox::keyPressEvent(QKeyEvent *event)
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

bool PageBox::event(QEvent *event)
{
    // Keys the box handles itself are not taken as shortcuts by the window around it.
    if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        const QString typed = key->text();
        if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::Paste) ||
            key->matches(QKeySequence::Cut) || key->matches(QKeySequence::Undo) ||
            key->matches(QKeySequence::Redo) || key->matches(QKeySequence::SelectAll) ||
            (!typed.isEmpty() && typed.front().isPrint() &&
             !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)))) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

// --- Mouse, drag and drop ---------------------------------------------------------------

void PageBox::mousePressEvent(QMouseEvent *event)
{
    dropPreedit();
    const QPoint point = event->position().toPoint();
    const qsizetype position = positionAt(point);
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

void PageBox::mouseMoveEvent(QMouseEvent *event)
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
    if (point.y() < 0 || point.y() > viewport()->height()) {
        if (!m_autoScrollTimer.isActive())
            m_autoScrollTimer.start(AutoScrollMs, this);
    } else {
        m_autoScrollTimer.stop();
    }
    moveCursor(positionAt(point), true);
}

void PageBox::mouseReleaseEvent(QMouseEvent *event)
{
    m_autoScrollTimer.stop();
    if (m_mightDrag) {
        m_mightDrag = false;
        moveCursor(positionAt(event->position().toPoint()), false);
    }
    if (m_selecting && hasSelection() && QGuiApplication::clipboard()->supportsSelection())
        QGuiApplication::clipboard()->setText(selectedText(), QClipboard::Selection);
    m_selecting = false;
}

void PageBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    dropPreedit();
    if (event->button() != Qt::LeftButton)
        return;
    const auto [from, to] = wordAt(positionAt(event->position().toPoint()));
    m_anchor = from;
    moveCursor(to, true);
    m_selecting = false;
}

void PageBox::startDrag()
{
    m_mightDrag = false;
    m_droppedInside = false;
    auto *drag = new QDrag(this);
    drag->setMimeData(selectionMimeData());
    const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::MoveAction);
    if (action == Qt::MoveAction && !m_droppedInside && hasSelection())
        replaceSelection(QStringView());
}

void PageBox::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasText())
        event->acceptProposedAction();
    else
        event->ignore();
}

void PageBox::dragMoveEvent(QDragMoveEvent *event)
{
    if (!event->mimeData()->hasText()) {
        event->ignore();
        return;
    }
    m_dropPosition = positionAt(event->position().toPoint());
    const int y = int(event->position().y());
    if (y < fontMetrics().height())
        scrollByLines(-1);
    else if (y > viewport()->height() - fontMetrics().height())
        scrollByLines(1);
    viewport()->update();
    event->acceptProposedAction();
}

void PageBox::dragLeaveEvent(QDragLeaveEvent *)
{
    m_dropPosition = -1;
    viewport()->update();
}

// A drop takes the plain text on offer. Text dragged within the box moves, unless it is
// dropped onto itself.
void PageBox::dropEvent(QDropEvent *event)
{
    m_dropPosition = -1;
    if (!event->mimeData()->hasText()) {
        event->ignore();
        return;
    }
    qsizetype position = positionAt(event->position().toPoint());
    const QString text = event->mimeData()->text();
    if (event->source() == this) {
        m_droppedInside = true;
        const qsizetype from = std::min(m_cursor, m_anchor);
        const qsizetype to = std::max(m_cursor, m_anchor);
        if (position >= from && position <= to) {
            event->ignore();
            viewport()->update();
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

// --- Context menu -----------------------------------------------------------------------

QMenu *PageBox::createStandardContextMenu()
{
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("qt_edit_menu"));
    const auto add = [this, menu](const QString &text, QKeySequence::StandardKey key, bool enabled,
                                  void (PageBox::*slot)()) {
        QAction *action = menu->addAction(text, this, slot);
        action->setShortcut(key);
        action->setEnabled(enabled);
    };
    add(tr("&Undo"), QKeySequence::Undo, isUndoAvailable(), &PageBox::undo);
    add(tr("&Redo"), QKeySequence::Redo, isRedoAvailable(), &PageBox::redo);
    menu->addSeparator();
    add(tr("Cu&t"), QKeySequence::Cut, hasSelection(), &PageBox::cut);
    add(tr("&Copy"), QKeySequence::Copy, hasSelection(), &PageBox::copy);
    const QMimeData *offered = QGuiApplication::clipboard()->mimeData();
    add(tr("&Paste"), QKeySequence::Paste, offered && offered->hasText(), &PageBox::paste);
    QAction *remove = menu->addAction(tr("Delete"), this, [this] { replaceSelection({}); });
    remove->setEnabled(hasSelection());
    menu->addSeparator();
    add(tr("Select All"), QKeySequence::SelectAll, m_text.size() > 0, &PageBox::selectAll);
    return menu;
}

void PageBox::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

// --- Input methods ----------------------------------------------------------------------

void PageBox::inputMethodEvent(QInputMethodEvent *event)
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
    m_preedit = event->preeditString();
    m_preeditCursor = int(m_preedit.size());
    for (const QInputMethodEvent::Attribute &attribute : event->attributes()) {
        if (attribute.type == QInputMethodEvent::Cursor)
            m_preeditCursor = std::clamp(attribute.start, 0, int(m_preedit.size()));
    }
    forgetLayouts();
    ensureCursorVisible();
    viewport()->update();
    updateMicroFocus();
    event->accept();
}

// Anything but the input method itself ends a composition: its text goes, and the input
// method is told to start afresh, so that no key or click works on text that is not there.
void PageBox::dropPreedit()
{
    if (m_preedit.isEmpty())
        return;
    m_preedit.clear();
    forgetLayouts();
    viewport()->update();
    QGuiApplication::inputMethod()->reset();
}

QVariant PageBox::inputMethodQuery(Qt::InputMethodQuery query) const
{
    auto *self = const_cast<PageBox *>(this);
    const qsizetype row = self->m_text.rowAt(m_cursor);
    const qsizetype rowStart = m_text.rowStart(row);
    switch (query) {
    case Qt::ImEnabled:
        return true;
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    case Qt::ImFont:
        return font();
    case Qt::ImCursorRectangle:
        return QRect(self->characterRect(m_cursor).topLeft() + viewport()->pos(),
                     QSize(1, self->characterRect(m_cursor).height()));
    case Qt::ImSurroundingText:
        return self->rowLayout(row)->text();
    case Qt::ImCursorPosition:
        return int(m_cursor - rowStart);
    case Qt::ImAnchorPosition:
        return int(std::clamp(m_anchor - rowStart, qsizetype(0), m_text.rowEnd(row) - rowStart));
    case Qt::ImCurrentSelection:
        return std::abs(m_cursor - m_anchor) <= OfferedTextLimit ? selectedText() : QString();
    case Qt::ImAbsolutePosition:
        return qlonglong(m_cursor);
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}
