// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagelayouts.h"

#include "rowindex.h"

#include <QFontMetrics>
#include <QTextLayout>

#include <algorithm>

namespace {

constexpr qreal TabStopDistance = 80;
// Laid out rows kept for painting; the cache starts afresh past this many.
constexpr std::size_t LayoutsKept = 256;

bool isWordCharacter(QChar c)
{
    return c.isLetterOrNumber() || c.isMark() || c == u'_';
}

} // namespace

PageLayouts::PageLayouts(PageText &text, RowIndex &rows)
    : m_text(text)
    , m_rows(rows)
{
    // After the row index, so that the rows have followed an edit before the layouts do.
    text.addListener(this);
}

PageLayouts::~PageLayouts() = default;

void PageLayouts::setFont(const QFont &font)
{
    m_font = font;
    forgetLayouts();
}

void PageLayouts::setTextDirection(Qt::LayoutDirection direction)
{
    m_direction = direction;
    forgetLayouts();
}

void PageLayouts::setViewportSize(QSize size)
{
    m_viewportSize = size;
    forgetLayouts();
}

void PageLayouts::setPreedit(qsizetype position, const QString &preedit)
{
    m_preeditPosition = position;
    m_preedit = preedit;
    forgetLayouts();
}

int PageLayouts::linesPerPage() const
{
    return std::max(1, (m_viewportSize.height() - 2 * DocumentMargin) /
                           std::max(1, QFontMetrics(m_font).lineSpacing()));
}

void PageLayouts::textReset()
{
    m_top = {};
    m_preedit.clear();
    forgetLayouts();
}

void PageLayouts::textReplaced(qsizetype, qsizetype, qsizetype)
{
    forgetLayouts();
}

// --- Rows and their layouts -------------------------------------------------------------

qreal PageLayouts::textWidth() const
{
    return std::max(1, m_viewportSize.width() - 2 * DocumentMargin);
}

qreal PageLayouts::topMargin() const
{
    return m_top == LinePlace{} ? DocumentMargin : 0;
}

void PageLayouts::forgetLayouts()
{
    m_layouts.clear();
}

void PageLayouts::keepCacheSmall()
{
    if (m_layouts.size() > LayoutsKept)
        forgetLayouts();
}

QTextLayout *PageLayouts::rowLayout(qsizetype row)
{
    const auto known = m_layouts.find(row);
    if (known != m_layouts.end())
        return known->second.get();
    m_rows.indexRows(row + 2);
    const qsizetype start = m_rows.rowStart(row);
    const qsizetype end = m_rows.rowEnd(row);
    auto layout = std::make_unique<QTextLayout>(m_text.mid(start, end - start), m_font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTabStopDistance(TabStopDistance);
    option.setTextDirection(m_direction);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    if (!m_preedit.isEmpty() && m_rows.rowAt(m_preeditPosition) == row)
        layout->setPreeditArea(int(m_preeditPosition - start), m_preedit);
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

qreal PageLayouts::rowHeight(qsizetype row)
{
    QTextLayout *layout = rowLayout(row);
    const QTextLine last = layout->lineAt(layout->lineCount() - 1);
    return last.y() + last.height();
}

qreal PageLayouts::lineHeight(LinePlace place)
{
    return rowLayout(place.row)->lineAt(place.line).height();
}

PageLayouts::LinePlace PageLayouts::placeOf(qsizetype position)
{
    const qsizetype row = m_rows.rowAt(position);
    QTextLayout *layout = rowLayout(row);
    const QTextLine line = layout->lineForTextPosition(int(position - m_rows.rowStart(row)));
    return {row, line.isValid() ? line.lineNumber() : layout->lineCount() - 1};
}

bool PageLayouts::nextLine(LinePlace &place)
{
    if (place.line + 1 < rowLayout(place.row)->lineCount()) {
        ++place.line;
        return true;
    }
    m_rows.indexRows(place.row + 2);
    if (place.row + 1 >= m_rows.rowsKnown())
        return false;
    place = {place.row + 1, 0};
    return true;
}

bool PageLayouts::previousLine(LinePlace &place)
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

// --- Scrolling --------------------------------------------------------------------------

// The highest top place that still fills the viewport: the view never scrolls past the
// text's last line. While the text is still being indexed, its last known row.
PageLayouts::LinePlace PageLayouts::lastTopPlace()
{
    if (!m_rows.fullyIndexed()) {
        const qsizetype row = m_rows.rowsKnown() - 1;
        return {row, rowLayout(row)->lineCount() - 1};
    }
    const qsizetype lastRow = m_rows.rowsKnown() - 1;
    LinePlace top{lastRow, rowLayout(lastRow)->lineCount() - 1};
    const qreal room = m_viewportSize.height() - 2 * DocumentMargin;
    qreal height = lineHeight(top);
    for (LinePlace above = top; previousLine(above);) {
        height += lineHeight(above);
        if (height > room)
            break;
        top = above;
    }
    return top;
}

PageLayouts::LinePlace PageLayouts::settleTop()
{
    // After an edit the top row may hold fewer lines, or be gone.
    m_top.row = std::min(m_top.row, m_rows.rowsKnown() - 1);
    m_top.line = std::min(m_top.line, rowLayout(m_top.row)->lineCount() - 1);
    const LinePlace last = lastTopPlace();
    if (m_top > last)
        m_top = last;
    return last;
}

void PageLayouts::scrollToPlace(LinePlace place)
{
    m_top = std::min(place, lastTopPlace());
}

void PageLayouts::scrollByLines(int lines)
{
    LinePlace place = m_top;
    for (; lines > 0 && nextLine(place); --lines) {
    }
    for (; lines < 0 && previousLine(place); ++lines) {
    }
    scrollToPlace(place);
}

void PageLayouts::ensureVisible(qsizetype position)
{
    const LinePlace target = placeOf(position);
    if (target < m_top) {
        scrollToPlace(target);
        return;
    }
    const qreal bottom = m_viewportSize.height() - DocumentMargin;
    qreal y = topMargin();
    for (LinePlace place = m_top; y < bottom;) {
        if (place == target) {
            if (y + lineHeight(place) <= bottom)
                return;
            break;
        }
        y += lineHeight(place);
        if (!nextLine(place))
            break;
    }
    // Below the viewport: the target's line becomes the bottom one.
    LinePlace top = target;
    qreal height = lineHeight(target);
    for (LinePlace above = target; previousLine(above);) {
        height += lineHeight(above);
        if (height > bottom - topMargin())
            break;
        top = above;
    }
    scrollToPlace(top);
}

// --- Geometry ---------------------------------------------------------------------------

QRect PageLayouts::characterRect(qsizetype position)
{
    const LinePlace target = placeOf(position);
    qreal y = topMargin();
    LinePlace place = m_top;
    const int height = m_viewportSize.height();
    // A place far off screen gets a rect far off screen, without laying out all between.
    if (target < place) {
        for (; place != target && y > -height * 4 && previousLine(place);)
            y -= lineHeight(place);
    } else {
        for (; place != target && y < height * 4; nextLine(place))
            y += lineHeight(place);
    }
    const QTextLine line = rowLayout(target.row)->lineAt(target.line);
    const int column = int(position - m_rows.rowStart(target.row));
    const qreal x = line.cursorToX(column);
    const qreal next =
        column < line.textStart() + line.textLength() ? line.cursorToX(column + 1) : x + 1;
    return QRectF(DocumentMargin + x, y, std::max<qreal>(1, next - x), line.height())
        .toAlignedRect();
}

qsizetype PageLayouts::positionAt(QPoint point)
{
    LinePlace place = m_top;
    qreal y = topMargin();
    for (;;) {
        const qreal height = lineHeight(place);
        LinePlace next = place;
        if (point.y() < y + height || !nextLine(next)) {
            const QTextLine line = rowLayout(place.row)->lineAt(place.line);
            return m_rows.rowStart(place.row) + line.xToCursor(point.x() - DocumentMargin);
        }
        y += height;
        place = next;
    }
}

// --- Moving by characters, words and lines ----------------------------------------------

qsizetype PageLayouts::leftOf(qsizetype position, bool byWord)
{
    if (position <= 0)
        return 0;
    qsizetype row = m_rows.rowAt(position, true);
    if (position == m_rows.rowStart(row))
        return m_rows.rowEnd(row - 1); // the line break before is one step
    const auto mode = byWord ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    const qsizetype start = m_rows.rowStart(row);
    return start + rowLayout(row)->previousCursorPosition(int(position - start), mode);
}

qsizetype PageLayouts::rightOf(qsizetype position, bool byWord)
{
    const qsizetype row = m_rows.rowAt(position);
    const qsizetype end = m_rows.rowEnd(row);
    if (position >= end) {
        m_rows.indexRows(row + 2);
        return row + 1 < m_rows.rowsKnown() ? m_rows.rowStart(row + 1) : position;
    }
    const auto mode = byWord ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    const qsizetype start = m_rows.rowStart(row);
    return start + rowLayout(row)->nextCursorPosition(int(position - start), mode);
}

qsizetype PageLayouts::verticalMove(qsizetype position, int lines, qreal &desiredX)
{
    LinePlace place = placeOf(position);
    if (desiredX < 0) {
        const QTextLine line = rowLayout(place.row)->lineAt(place.line);
        desiredX = line.cursorToX(int(position - m_rows.rowStart(place.row)));
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
    return m_rows.rowStart(place.row) + line.xToCursor(desiredX);
}

qsizetype PageLayouts::lineEdge(qsizetype position, bool end)
{
    const LinePlace place = placeOf(position);
    QTextLayout *layout = rowLayout(place.row);
    const QTextLine line = layout->lineAt(place.line);
    const qsizetype start = m_rows.rowStart(place.row);
    if (!end)
        return start + line.textStart();
    qsizetype edge = start + line.textStart() + line.textLength();
    // A wrapped line ends before the blank at which it wraps.
    if (place.line + 1 < layout->lineCount() && edge > start + line.textStart() &&
        m_text.at(edge - 1).isSpace())
        --edge;
    return edge;
}

std::pair<qsizetype, qsizetype> PageLayouts::wordAt(qsizetype position)
{
    const qsizetype row = m_rows.rowAt(position);
    const qsizetype start = m_rows.rowStart(row);
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
