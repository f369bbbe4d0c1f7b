// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagelayouts.h"

#include "rowindex.h"

#include <QFontMetrics>
#include <QTextLayout>

#include <algorithm>
#include <tuple>

namespace {

// Laid-out stretches kept for painting; the cache starts afresh past this many.
constexpr std::size_t UnitsKept = 256;
// Screen lines of a long row laid out together for painting.
constexpr qsizetype LinesPerStretch = 64;
// Text windows that moving by characters and words is worked out in.
constexpr qsizetype MovementWindowChars = 4096;

bool isWordCharacter(QChar c)
{
    return c.isLetterOrNumber() || c.isMark() || c == u'_';
}

// Where (position, lines after the one that holds it) places a screen line in the text.
using Anchor = std::pair<qsizetype, int>;

} // namespace

// --- Stretches --------------------------------------------------------------------------

int PageLayouts::Stretch::toLayout(qsizetype position) const
{
    int inLayout = int(position - start);
    if (preeditAt >= 0 && inLayout > preeditAt)
        inLayout += preeditLength;
    return inLayout;
}

// A place in the composition is the position it is shown at.
qsizetype PageLayouts::Stretch::toText(int layoutPosition) const
{
    if (preeditAt >= 0 && layoutPosition > preeditAt)
        layoutPosition = std::max(preeditAt, layoutPosition - preeditLength);
    return start + layoutPosition;
}

qreal PageLayouts::Stretch::extent() const
{
    const QTextLine last = layout->lineAt(layout->lineCount() - 1);
    return last.y() + last.height();
}

namespace {

QTextLine screenLine(const PageLayouts::Stretch &stretch, int line)
{
    return stretch.layout->lineAt(std::clamp(line, 0, stretch.layout->lineCount() - 1));
}

} // namespace

// --- Setting up -------------------------------------------------------------------------

PageLayouts::PageLayouts(PageText &text, RowIndex &rows)
    : m_text(text)
    , m_rows(rows)
    , m_wrapping(text, rows, [this](qsizetype from, qsizetype to) { forgetUnits(from, to); })
{
    text.addListener(this, PageText::Stage::Layouts);
}

PageLayouts::~PageLayouts() = default;

void PageLayouts::setFont(const QFont &font)
{
    if (font == m_font)
        return;
    m_font = font;
    rewrapAll();
}

void PageLayouts::setViewportSize(QSize size)
{
    const bool widthChanged = size.width() != m_viewportSize.width();
    m_viewportSize = size;
    if (widthChanged)
        rewrapAll();
}

void PageLayouts::rewrapAll()
{
    m_units.clear();
    m_wrapping.setFormat(m_font, std::max(1, m_viewportSize.width() - 2 * DocumentMargin));
}

void PageLayouts::setPreedit(qsizetype position, const QString &preedit)
{
    if (m_preedit.isEmpty() && preedit.isEmpty())
        return;
    forgetUnits(m_preeditPosition, m_preeditPosition);
    forgetUnits(position, position);
    m_preeditPosition = position;
    m_preedit = preedit;
}

int PageLayouts::linesPerPage() const
{
    return std::max(1, (m_viewportSize.height() - 2 * DocumentMargin) /
                           std::max(1, QFontMetrics(m_font).lineSpacing()));
}

void PageLayouts::textReset()
{
    m_topPosition = 0;
    m_topExtra = 0;
    m_showsEnd = false;
    m_preedit.clear();
    m_preeditPosition = 0;
    m_units.clear();
}

// The stretches of the row that holds the edit go; those of the rows after it move.
void PageLayouts::textReplaced(qsizetype from, qsizetype removed, qsizetype inserted)
{
    const qsizetype delta = inserted - removed;
    const auto follow = [&](qsizetype &position) {
        if (position >= from + removed)
            position += delta;
        else if (position > from)
            position = from;
    };
    follow(m_topPosition);
    follow(m_preeditPosition);
    m_topExtra = 0;

    const qsizetype row = m_rows.rowAt(from);
    std::map<qsizetype, Unit> moved;
    for (auto unit = m_units.upper_bound(from + removed + 1); unit != m_units.end();) {
        auto node = m_units.extract(unit++);
        node.key() += delta;
        node.mapped().end += delta;
        if (m_rows.rowAt(node.key()) != row)
            moved.insert(std::move(node));
    }
    m_units.erase(m_units.lower_bound(m_rows.rowStart(row)), m_units.end());
    m_units.merge(moved);
}

void PageLayouts::keepCacheSmall()
{
    if (m_units.size() > UnitsKept)
        m_units.clear();
}

bool PageLayouts::takeCountsChanged()
{
    // Both flags are taken, whatever the first says.
    const bool wrapped = m_wrapping.takeCountsChanged();
    return std::exchange(m_countsChanged, false) || wrapped;
}

bool PageLayouts::wrapSome(qint64 budgetMs)
{
    return m_wrapping.wrapSome(budgetMs, m_rows.rowAt(m_topPosition));
}

// Drops the stretches that start in [from, to] or hold a position in it.
void PageLayouts::forgetUnits(qsizetype from, qsizetype to)
{
    auto first = m_units.lower_bound(from);
    if (first != m_units.begin() && std::prev(first)->second.end >= from)
        --first;
    m_units.erase(first, m_units.upper_bound(to));
}

// --- Stretches of laid-out text ---------------------------------------------------------

PageLayouts::Stretch PageLayouts::makeStretch(qsizetype row, qsizetype start,
                                              const Unit &unit) const
{
    Stretch stretch;
    stretch.layout = unit.layout.get();
    stretch.row = row;
    stretch.start = start;
    stretch.end = unit.end;
    stretch.endsRow = unit.endsRow;
    stretch.preeditAt = unit.preeditAt;
    stretch.preeditLength = unit.preeditAt >= 0 ? int(m_preedit.size()) : 0;
    return stretch;
}

PageLayouts::Stretch PageLayouts::buildUnit(qsizetype row, qsizetype start, qsizetype end,
                                            bool endsRow)
{
    Unit unit;
    unit.end = end;
    unit.endsRow = endsRow;
    unit.layout = std::make_unique<QTextLayout>(m_text.mid(start, end - start), m_font);
    if (!m_preedit.isEmpty() && m_preeditPosition >= start &&
        (m_preeditPosition < end || (m_preeditPosition == end && endsRow))) {
        unit.preeditAt = int(m_preeditPosition - start);
        unit.layout->setPreeditArea(unit.preeditAt, m_preedit);
    }
    // A row laid out whole finds its direction as a paragraph in Qt's documents does; one
    // laid out a stretch at a time takes the direction of the whole row.
    m_wrapping.layOut(*unit.layout, m_wrapping.isLong(row) ? m_wrapping.directionOf(row)
                                                           : Qt::LayoutDirectionAuto);
    const bool wholeRow = start == m_rows.rowStart(row) && endsRow;
    if (wholeRow && unit.preeditAt < 0 && m_rows.screenLines(row) != unit.layout->lineCount()) {
        m_rows.setScreenLines(row, unit.layout->lineCount());
        m_countsChanged = true;
    }
    const auto placed = m_units.insert_or_assign(start, std::move(unit)).first;
    return makeStretch(row, start, placed->second);
}

// The laid-out stretch that holds `position` in `row`; the row's end is in its last one.
PageLayouts::Stretch PageLayouts::unitAt(qsizetype row, qsizetype position)
{
    const qsizetype rowStart = m_rows.rowStart(row);
    const qsizetype rowEnd = m_rows.rowEnd(row);
    if (!m_wrapping.isLong(row)) {
        const auto known = m_units.find(rowStart);
        if (known != m_units.end())
            return makeStretch(row, rowStart, known->second);
        return buildUnit(row, rowStart, rowEnd, true);
    }
    position = std::clamp(position, rowStart, rowEnd);
    const qsizetype offset = position - rowStart;
    const RowWrapping::Chain &chain = m_wrapping.linesAround(row, offset);

    auto after = m_units.upper_bound(position);
    if (after != m_units.begin()) {
        auto &[start, unit] = *std::prev(after);
        if (start >= rowStart && (position < unit.end || (position == unit.end && unit.endsRow)))
            return makeStretch(row, start, unit);
    }
    // A stretch of the lines around it, that no other stretch overlaps.
    const qsizetype line = chain.lineOf(offset);
    const qsizetype first = line - line % LinesPerStretch;
    qsizetype start = rowStart + chain.starts[size_t(first)];
    qsizetype end =
        rowStart + chain.starts[size_t(std::min(first + LinesPerStretch, chain.knownLines()))];
    if (after != m_units.begin()) {
        const auto &[before, unit] = *std::prev(after);
        if (before >= rowStart && unit.end > start)
            start = unit.end;
    }
    if (after != m_units.end() && after->first < end)
        end = after->first;
    return buildUnit(row, start, end, end == rowEnd);
}

PageLayouts::Stretch PageLayouts::stretchAt(qsizetype row, qsizetype stretchStart)
{
    const auto known = m_units.find(stretchStart);
    if (known != m_units.end())
        return makeStretch(row, stretchStart, known->second);
    return unitAt(row, stretchStart);
}

PageLayouts::Stretch PageLayouts::stretchOf(const LinePlace &place)
{
    return stretchAt(place.row, place.stretch);
}

bool PageLayouts::nextStretch(Stretch &stretch)
{
    if (!stretch.endsRow) {
        stretch = stretchAt(stretch.row, stretch.end);
        return true;
    }
    m_rows.indexRows(stretch.row + 2);
    if (stretch.row + 1 >= m_rows.rowsKnown())
        return false;
    stretch = unitAt(stretch.row + 1, m_rows.rowStart(stretch.row + 1));
    return true;
}

// --- Screen lines -----------------------------------------------------------------------

PageLayouts::LinePlace PageLayouts::placeOf(qsizetype position)
{
    position = std::clamp<qsizetype>(position, 0, m_text.size());
    const qsizetype row = m_rows.rowAt(position);
    const Stretch stretch = unitAt(row, position);
    const QTextLine line = stretch.layout->lineForTextPosition(stretch.toLayout(position));
    return {row, stretch.start,
            line.isValid() ? line.lineNumber() : stretch.layout->lineCount() - 1};
}

qsizetype PageLayouts::lineStart(const LinePlace &place)
{
    const Stretch stretch = stretchOf(place);
    return stretch.toText(screenLine(stretch, place.line).textStart());
}

qreal PageLayouts::lineHeight(const LinePlace &place)
{
    return screenLine(stretchOf(place), place.line).height();
}

bool PageLayouts::nextLine(LinePlace &place)
{
    Stretch stretch = stretchOf(place);
    if (place.line + 1 < stretch.layout->lineCount()) {
        ++place.line;
        return true;
    }
    if (!nextStretch(stretch))
        return false;
    place = {stretch.row, stretch.start, 0};
    return true;
}

bool PageLayouts::previousLine(LinePlace &place)
{
    if (place.line > 0) {
        --place.line;
        return true;
    }
    Stretch stretch;
    if (place.stretch > m_rows.rowStart(place.row)) {
        stretch = unitAt(place.row, place.stretch - 1);
    } else if (place.row > 0) {
        stretch = unitAt(place.row - 1, m_rows.rowEnd(place.row - 1));
    } else {
        return false;
    }
    place = {stretch.row, stretch.start, stretch.layout->lineCount() - 1};
    return true;
}

std::vector<qsizetype> PageLayouts::screenLineStarts(qsizetype from, qsizetype to)
{
    std::vector<qsizetype> starts;
    from = std::clamp<qsizetype>(from, 0, m_text.size());
    to = std::clamp<qsizetype>(to, from, m_text.size());
    const qsizetype firstRow = m_rows.rowAt(from);
    for (qsizetype row = firstRow; row < m_rows.rowsKnown(); ++row) {
        const qsizetype rowStart = m_rows.rowStart(row);
        if (row > firstRow && rowStart >= to)
            break;
        if (m_wrapping.isLong(row)) {
            const RowWrapping::Chain &truth = m_wrapping.trueLinesTo(row, to - rowStart);
            for (qsizetype i = 0; i < truth.knownLines(); ++i) {
                const qsizetype start = rowStart + truth.starts[size_t(i)];
                if (start >= from && start < to)
                    starts.push_back(start);
            }
        } else {
            const Stretch stretch = unitAt(row, rowStart);
            for (int i = 0; i < stretch.layout->lineCount(); ++i) {
                const qsizetype start = stretch.toText(stretch.layout->lineAt(i).textStart());
                if (start >= from && start < to && (starts.empty() || start > starts.back()))
                    starts.push_back(start);
            }
        }
        m_rows.indexRows(row + 2);
    }
    return starts;
}

// --- The top line and scrolling ---------------------------------------------------------

namespace {

bool sameLine(const PageLayouts::LinePlace &a, const PageLayouts::LinePlace &b)
{
    return a.stretch == b.stretch && a.line == b.line;
}

} // namespace

PageLayouts::LinePlace PageLayouts::top()
{
    LinePlace place = placeOf(m_topPosition);
    if (m_topExtra > 0)
        place.line = std::min(place.line + m_topExtra, stretchOf(place).layout->lineCount() - 1);
    else
        m_topPosition = lineStart(place);
    return place;
}

qreal PageLayouts::topMargin() const
{
    return m_topPosition == 0 && m_topExtra == 0 ? DocumentMargin : 0;
}

// The highest top place that still fills the viewport: the view never scrolls past the
// text's last line. While the text is still being indexed, the last row known.
PageLayouts::LinePlace PageLayouts::lastTopPlace()
{
    if (!m_rows.fullyIndexed())
        return placeOf(m_rows.rowStart(m_rows.rowsKnown() - 1));
    LinePlace top = placeOf(m_text.size());
    top.line = stretchOf(top).layout->lineCount() - 1;
    // The lines that fit below the top margin, as Qt's plain text editor counts them.
    const qreal room = m_viewportSize.height() - 2 * DocumentMargin - 1;
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
    const LinePlace last = lastTopPlace();
    const qsizetype lastStart = lineStart(last);
    const LinePlace current = top();
    const qsizetype topStart = lineStart(current);
    if (topStart > lastStart || (topStart == lastStart && current.line > last.line))
        scrollToPlace(last);
    else if (m_showsEnd) // a view that showed the end keeps it in view as the lines change
        ensureVisible(m_text.size());
    return last;
}

void PageLayouts::scrollToPlace(const LinePlace &place)
{
    const qsizetype start = lineStart(place);
    const Anchor wanted{start, std::max(0, place.line - placeOf(start).line)};
    const LinePlace last = lastTopPlace();
    const qsizetype lastStart = lineStart(last);
    const Anchor highest{lastStart, std::max(0, last.line - placeOf(lastStart).line)};
    std::tie(m_topPosition, m_topExtra) = std::min(wanted, highest);
    m_showsEnd = m_rows.fullyIndexed() && endInView();
}

// Whether the text's last line is wholly in the viewport.
bool PageLayouts::endInView()
{
    LinePlace place = top();
    qreal y = topMargin();
    for (; y < m_viewportSize.height(); y += lineHeight(place)) {
        LinePlace next = place;
        if (!nextLine(next))
            return y + lineHeight(place) < m_viewportSize.height();
        place = next;
    }
    return false;
}

void PageLayouts::scrollByLines(qsizetype lines)
{
    LinePlace place = top();
    for (; lines > 0 && nextLine(place); --lines) {
    }
    for (; lines < 0 && previousLine(place); ++lines) {
    }
    scrollToPlace(place);
}

void PageLayouts::ensureVisible(qsizetype position)
{
    const LinePlace target = placeOf(position);
    const qsizetype targetStart = lineStart(target);
    const LinePlace first = top();
    if (targetStart < m_topPosition || (targetStart == m_topPosition && target.line < first.line)) {
        scrollToPlace(target);
        return;
    }
    // As in Qt's plain text editor, a line is in view when its bottom is inside the viewport.
    const qreal bottom = m_viewportSize.height();
    qreal y = topMargin();
    for (LinePlace place = first; y < bottom;) {
        if (sameLine(place, target)) {
            if (y + lineHeight(place) < bottom)
                return;
            break;
        }
        y += lineHeight(place);
        if (!nextLine(place))
            break;
    }
    // Below the viewport: the target's line becomes the bottom one. Only the text's first
    // line has the margin above it.
    LinePlace newTop = placeOf(position);
    qreal height = lineHeight(newTop);
    for (LinePlace above = newTop; previousLine(above);) {
        height += lineHeight(above);
        const bool first = above.row == 0 && above.line == 0 && above.stretch == 0;
        if (height + (first ? DocumentMargin : 0) > bottom)
            break;
        newTop = above;
    }
    scrollToPlace(newTop);
}

// --- The scroll bar's measure -----------------------------------------------------------

qsizetype PageLayouts::screenLinesBefore(const LinePlace &place)
{
    qsizetype inRow = place.line;
    if (m_wrapping.isLong(place.row))
        inRow += m_wrapping.lineIndex(place.row, place.stretch - m_rows.rowStart(place.row));
    return m_rows.screenLinesBefore(place.row) + std::min(inRow, m_rows.screenLines(place.row) - 1);
}

PageLayouts::LinePlace PageLayouts::placeOfScreenLine(qsizetype line)
{
    const auto [row, lineInRow] = m_rows.rowOfScreenLine(line);
    const qsizetype rowStart = m_rows.rowStart(row);
    if (m_wrapping.isLong(row))
        return placeOf(rowStart + m_wrapping.lineOffset(row, lineInRow));
    const Stretch stretch = unitAt(row, rowStart);
    return {row, rowStart, int(std::min<qsizetype>(lineInRow, stretch.layout->lineCount() - 1))};
}

// --- Geometry ---------------------------------------------------------------------------

QRect PageLayouts::characterRect(qsizetype position)
{
    const LinePlace target = placeOf(position);
    const qsizetype targetStart = lineStart(target);
    qreal y = topMargin();
    LinePlace place = top();
    const int height = m_viewportSize.height();
    // A place far off screen gets a rect far off screen, without laying out all between.
    if (targetStart < m_topPosition || (targetStart == m_topPosition && target.line < place.line)) {
        while (!sameLine(place, target) && y > -height * 4 && previousLine(place))
            y -= lineHeight(place);
    } else {
        while (!sameLine(place, target) && y < height * 4) {
            y += lineHeight(place);
            if (!nextLine(place))
                break;
        }
    }
    const Stretch stretch = stretchOf(target);
    const QTextLine line = screenLine(stretch, target.line);
    const int column = stretch.toLayout(position);
    const qreal x = line.cursorToX(column);
    const qreal next =
        column < line.textStart() + line.textLength() ? line.cursorToX(column + 1) : x + 1;
    return QRectF(DocumentMargin + x, y, std::max<qreal>(1, next - x), line.height())
        .toAlignedRect();
}

qsizetype PageLayouts::positionAt(QPoint point)
{
    LinePlace place = top();
    qreal y = topMargin();
    // Above the text's first line, in the margin, is its start, whichever way it runs.
    if (point.y() < y)
        return lineStart(place);
    // Far below the viewport, the line four viewports down stands for everything lower.
    const qreal lowest = qreal(m_viewportSize.height()) * 4;
    for (;;) {
        const qreal height = lineHeight(place);
        LinePlace next = place;
        if (point.y() < y + height || y + height > lowest || !nextLine(next)) {
            const Stretch stretch = stretchOf(place);
            const QTextLine line = screenLine(stretch, place.line);
            return stretch.toText(line.xToCursor(point.x() - DocumentMargin));
        }
        y += height;
        place = next;
    }
}

PageLayouts::LineSpan PageLayouts::textLineAt(qsizetype position)
{
    const qsizetype row = m_rows.rowAt(position);
    m_rows.indexRows(row + 2);
    const qsizetype next = row + 1 < m_rows.rowsKnown() ? m_rows.rowStart(row + 1) : m_text.size();
    return {m_rows.rowStart(row), m_rows.rowEnd(row), next};
}

Qt::LayoutDirection PageLayouts::lineDirection(qsizetype position)
{
    return m_wrapping.directionOf(m_rows.rowAt(position));
}

// --- Moving by characters, words and lines ----------------------------------------------

qsizetype PageLayouts::leftOf(qsizetype position, bool byWord)
{
    if (position <= 0)
        return 0;
    const qsizetype row = m_rows.rowAt(position);
    const qsizetype rowStart = m_rows.rowStart(row);
    if (position == rowStart)
        return m_rows.rowEnd(row - 1); // the line break before is one step
    const qsizetype start = std::max(rowStart, position - MovementWindowChars);
    const qsizetype end = std::min(m_rows.rowEnd(row), position + 16);
    QTextLayout window(m_text.mid(start, end - start), m_font);
    const auto mode = byWord ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    return start + window.previousCursorPosition(int(position - start), mode);
}

qsizetype PageLayouts::rightOf(qsizetype position, bool byWord)
{
    const qsizetype row = m_rows.rowAt(position);
    const qsizetype rowEnd = m_rows.rowEnd(row);
    if (position >= rowEnd) {
        m_rows.indexRows(row + 2);
        return row + 1 < m_rows.rowsKnown() ? m_rows.rowStart(row + 1) : position;
    }
    const qsizetype start = std::max(m_rows.rowStart(row), position - 16);
    const qsizetype end = std::min(rowEnd, position + MovementWindowChars);
    QTextLayout window(m_text.mid(start, end - start), m_font);
    const auto mode = byWord ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    return start + window.nextCursorPosition(int(position - start), mode);
}

qsizetype PageLayouts::verticalMove(qsizetype position, int lines, qreal &desiredX)
{
    LinePlace place = placeOf(position);
    if (desiredX < 0) {
        const Stretch stretch = stretchOf(place);
        desiredX = screenLine(stretch, place.line).cursorToX(stretch.toLayout(position));
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
    const Stretch stretch = stretchOf(place);
    return stretch.toText(screenLine(stretch, place.line).xToCursor(desiredX));
}

qsizetype PageLayouts::lineEdge(qsizetype position, bool end)
{
    const LineSpan line = screenLineAt(position);
    return end ? line.end : line.start;
}

PageLayouts::LineSpan PageLayouts::screenLineAt(qsizetype position)
{
    const LinePlace place = placeOf(position);
    const Stretch stretch = stretchOf(place);
    const QTextLine line = screenLine(stretch, place.line);
    LineSpan span;
    span.start = stretch.toText(line.textStart());
    span.end = stretch.toText(line.textStart() + line.textLength());
    // A wrapped line ends before the blank at which it wraps.
    const bool wraps = place.line + 1 < stretch.layout->lineCount() || !stretch.endsRow;
    if (wraps && span.end > span.start && m_text.at(span.end - 1).isSpace())
        --span.end;
    LinePlace next = place;
    span.next = nextLine(next) ? lineStart(next) : m_text.size();
    return span;
}

// The run of word characters around a position, looked for in the whole row.
std::pair<qsizetype, qsizetype> PageLayouts::wordAt(qsizetype position)
{
    const qsizetype row = m_rows.rowAt(position);
    const qsizetype rowStart = m_rows.rowStart(row);
    const qsizetype rowEnd = m_rows.rowEnd(row);
    qsizetype from = std::clamp(position, rowStart, rowEnd);
    if (from >= rowEnd || !isWordCharacter(m_text.at(from))) {
        if (from > rowStart && isWordCharacter(m_text.at(from - 1)))
            --from;
        else
            return {position, rightOf(position, false)};
    }
    qsizetype to = from;
    while (from > rowStart) {
        const qsizetype windowStart = std::max(rowStart, from - MovementWindowChars);
        const QString window = m_text.mid(windowStart, from - windowStart);
        qsizetype i = window.size();
        while (i > 0 && isWordCharacter(window[i - 1]))
            --i;
        from = windowStart + i;
        if (i > 0)
            break;
    }
    while (to < rowEnd) {
        const QStringView chunk =
            m_text.chunkAt(to).first(std::min(m_text.chunkAt(to).size(), rowEnd - to));
        qsizetype i = 0;
        while (i < chunk.size() && isWordCharacter(chunk[i]))
            ++i;
        to += i;
        if (i < chunk.size())
            break;
    }
    return {from, to};
}
