// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagelayouts.h"

#include "rowindex.h"

#include <QFontMetrics>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace {

// Laid-out stretches kept for painting; the cache starts afresh past this many.
constexpr std::size_t StretchesKept = 256;
// Screen lines of a long row laid out together for painting.
constexpr qsizetype LinesPerStretch = 64;
// Text windows that moving by words and by characters is worked out in.
constexpr qsizetype MovementWindowChars = 4096;
constexpr qsizetype CharacterWindowChars = 2 * RowWrapping::ClusterChars;
// A double-click selects a word up to this far on either side of the place clicked.
constexpr qsizetype WordReachChars = 65536;

// Characters that end a word besides blanks, as Qt's text layouts have them.
bool isWordSeparator(QChar c)
{
    return PageLayouts::WordSeparators.contains(c);
}

// A character that a word goes on through: neither a blank nor a separator.
bool isInWord(QChar c)
{
    return !c.isNull() && !c.isSpace() && !isWordSeparator(c);
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
    , m_wrapping(text, rows, [this](qsizetype from, qsizetype to) { forgetStretches(from, to); })
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
    m_lastTop.reset();
    m_lastTopNear.reset();
    const bool widthChanged = size.width() != m_viewportSize.width();
    m_viewportSize = size;
    if (widthChanged)
        rewrapAll();
}

void PageLayouts::rewrapAll()
{
    m_lastTop.reset();
    m_lastTopNear.reset();
    m_stretches.clear();
    m_wrapping.setFormat(m_font, std::max(1, m_viewportSize.width() - 2 * DocumentMargin));
}

void PageLayouts::setPreedit(qsizetype position, const QString &preedit,
                             const QList<QTextLayout::FormatRange> &formats)
{
    if (m_preedit.isEmpty() && preedit.isEmpty())
        return;
    forgetStretches(m_preeditPosition, m_preeditPosition);
    forgetStretches(position, position);
    m_preeditPosition = position;
    m_preedit = preedit;
    m_preeditFormats = preedit.isEmpty() ? QList<QTextLayout::FormatRange>() : formats;
}

int PageLayouts::linesPerPage() const
{
    return std::max(1, (m_viewportSize.height() - 2 * DocumentMargin) /
                           std::max(1, QFontMetrics(m_font).lineSpacing()));
}

void PageLayouts::textReset()
{
    m_lastTop.reset();
    m_lastTopNear.reset();
    m_topPosition = 0;
    m_topExtra = 0;
    m_showsEnd = false;
    m_preedit.clear();
    m_preeditFormats.clear();
    m_preeditPosition = 0;
    m_stretches.clear();
}

// The stretches of the row that holds the edit go, but for those of a long row whose lines
// did not change; those after the edit move.
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

    // The highest top, moved by an edit far before it, stays near it.
    const auto known = m_lastTop ? m_lastTop : m_lastTopNear;
    m_lastTop.reset();
    m_lastTopNear.reset();
    if (known && from + removed < known->first - RowWrapping::LongRowChars)
        m_lastTopNear = Anchor{known->first + delta, known->second};

    const qsizetype row = m_rows.rowAt(from);
    // The rows from the edit's start to its end's are new: a part of a long row that an edit
    // split off is laid out afresh.
    const qsizetype lastRow = m_rows.rowAt(from + inserted);
    const auto [changedFrom, settledAt] = m_wrapping.editChanged();
    std::map<qsizetype, KeptStretch> moved;
    for (auto kept = m_stretches.upper_bound(from + removed + 1); kept != m_stretches.end();) {
        auto node = m_stretches.extract(kept++);
        node.key() += delta;
        node.mapped().end += delta;
        if (node.key() > settledAt || m_rows.rowAt(node.key()) > lastRow)
            moved.insert(std::move(node));
    }
    forgetStretches(std::max(m_rows.rowStart(row), changedFrom), m_text.size());
    m_stretches.merge(moved);
}

void PageLayouts::keepCacheSmall()
{
    if (m_stretches.size() > StretchesKept)
        m_stretches.clear();
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

// Laid-out stretches never overlap: each ends at or before the next one starts.
void PageLayouts::assertApart(std::map<qsizetype, KeptStretch>::const_iterator placed) const
{
#ifndef QT_NO_DEBUG
    Q_ASSERT(placed->first <= placed->second.end);
    if (placed != m_stretches.begin())
        Q_ASSERT(std::prev(placed)->second.end <= placed->first);
    if (std::next(placed) != m_stretches.end())
        Q_ASSERT(placed->second.end <= std::next(placed)->first);
#else
    Q_UNUSED(placed);
#endif
}

// Drops the stretches that start in [from, to] or hold a position in it.
void PageLayouts::forgetStretches(qsizetype from, qsizetype to)
{
    if (m_lastTop)
        m_lastTopNear = std::exchange(m_lastTop, std::nullopt);
    auto first = m_stretches.lower_bound(from);
    if (first != m_stretches.begin() && std::prev(first)->second.end >= from)
        --first;
    m_stretches.erase(first, m_stretches.upper_bound(to));
}

// --- Stretches of laid-out text ---------------------------------------------------------

PageLayouts::Stretch PageLayouts::makeStretch(qsizetype row, qsizetype start,
                                              const KeptStretch &kept) const
{
    Stretch stretch;
    stretch.layout = kept.layout.get();
    stretch.row = row;
    stretch.start = start;
    stretch.end = kept.end;
    stretch.endsRow = kept.endsRow;
    stretch.preeditAt = kept.preeditAt;
    stretch.preeditLength = kept.preeditAt >= 0 ? int(m_preedit.size()) : 0;
    return stretch;
}

PageLayouts::Stretch PageLayouts::layOutStretch(qsizetype row, qsizetype start, qsizetype end,
                                                bool endsRow)
{
    KeptStretch kept;
    kept.end = end;
    kept.endsRow = endsRow;
    kept.layout = std::make_unique<QTextLayout>(m_text.mid(start, end - start), m_font);
    if (!m_preedit.isEmpty() && m_preeditPosition >= start &&
        (m_preeditPosition < end || (m_preeditPosition == end && endsRow))) {
        kept.preeditAt = int(m_preeditPosition - start);
        kept.layout->setPreeditArea(kept.preeditAt, m_preedit);
        QList<QTextLayout::FormatRange> formats = m_preeditFormats;
        for (QTextLayout::FormatRange &range : formats)
            range.start += kept.preeditAt;
        kept.layout->setFormats(formats);
    }
    // A row laid out whole finds its direction as a paragraph in Qt's documents does; one
    // laid out a stretch at a time takes the direction of the whole row.
    m_wrapping.layOut(*kept.layout, m_wrapping.isLong(row) ? m_wrapping.directionOf(row)
                                                           : Qt::LayoutDirectionAuto);
    const bool wholeRow = start == m_rows.rowStart(row) && endsRow;
    if (wholeRow && kept.preeditAt < 0 && m_rows.screenLines(row) != kept.layout->lineCount()) {
        m_rows.setScreenLines(row, kept.layout->lineCount());
        m_countsChanged = true;
    }
    const auto placed = m_stretches.insert_or_assign(start, std::move(kept)).first;
    assertApart(placed);
    return makeStretch(row, start, placed->second);
}

// The laid-out stretch that holds `position` in `row`; the row's end is in its last one.
PageLayouts::Stretch PageLayouts::stretchHolding(qsizetype row, qsizetype position)
{
    const qsizetype rowStart = m_rows.rowStart(row);
    const qsizetype rowEnd = m_rows.rowEnd(row);
    if (!m_wrapping.isLong(row)) {
        const auto known = m_stretches.find(rowStart);
        if (known != m_stretches.end())
            return makeStretch(row, rowStart, known->second);
        return layOutStretch(row, rowStart, rowEnd, true);
    }
    position = std::clamp(position, rowStart, rowEnd);
    const qsizetype offset = position - rowStart;
    const RowWrapping::Chain &chain = m_wrapping.linesAround(row, offset);

    auto after = m_stretches.upper_bound(position);
    if (after != m_stretches.begin()) {
        auto &[start, kept] = *std::prev(after);
        if (start >= rowStart && (position < kept.end || (position == kept.end && kept.endsRow)))
            return makeStretch(row, start, kept);
    }
    // A stretch of the lines around it, that no other stretch overlaps, and of no more than
    // one layout may hold from its first line on.
    const qsizetype line = chain.lineOf(offset);
    const qsizetype first = line - line % LinesPerStretch;
    const qsizetype last = std::min(first + LinesPerStretch, chain.knownLines());
    const qsizetype lastStart = rowStart + chain.starts.at(last);
    qsizetype start = rowStart + chain.starts.at(first);
    if (after != m_stretches.begin()) {
        const auto &[before, kept] = *std::prev(after);
        if (before >= rowStart && kept.end > start)
            start = kept.end;
    }
    qsizetype end = lastStart;
    for (;;) {
        const qsizetype reach = rowStart + m_wrapping.layoutEnd(row, start - rowStart);
        end = std::min(end, reach);
        const qsizetype within = std::min(chain.starts.upperBound(end - rowStart), last + 1);
        if (within > 0 && rowStart + chain.starts.at(within - 1) > start)
            end = rowStart + chain.starts.at(within - 1);
        if (position < end || end >= lastStart)
            break;
        start = end;
        end = lastStart;
    }
    if (after != m_stretches.end() && after->first < end)
        end = after->first;
    return layOutStretch(row, start, end, end == rowEnd);
}

PageLayouts::Stretch PageLayouts::stretchAt(qsizetype row, qsizetype stretchStart)
{
    const auto known = m_stretches.find(stretchStart);
    if (known != m_stretches.end())
        return makeStretch(row, stretchStart, known->second);
    return stretchHolding(row, stretchStart);
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
    stretch = stretchHolding(stretch.row + 1, m_rows.rowStart(stretch.row + 1));
    return true;
}

// --- Screen lines -----------------------------------------------------------------------

PageLayouts::LinePlace PageLayouts::placeOf(qsizetype position)
{
    position = std::clamp<qsizetype>(position, 0, m_text.size());
    const qsizetype row = m_rows.rowAt(position);
    const Stretch stretch = stretchHolding(row, position);
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
        stretch = stretchHolding(place.row, place.stretch - 1);
    } else if (place.row > 0) {
        stretch = stretchHolding(place.row - 1, m_rows.rowEnd(place.row - 1));
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
            for (const qsizetype lineStart : truth.starts.slice(0, truth.knownLines())) {
                const qsizetype start = rowStart + lineStart;
                if (start >= from && start < to)
                    starts.push_back(start);
            }
        } else {
            const Stretch stretch = stretchHolding(row, rowStart);
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

qreal PageLayouts::topMargin()
{
    if (m_topPosition == 0 && m_topExtra == 0)
        return DocumentMargin;
    // As in Qt's plain text editor, a top line that is not the first of its row stands where
    // the one before it ends as drawn, in whole pixels: a pixel below its own top.
    const LinePlace place = top();
    if (place.line == 0 && place.stretch == m_rows.rowStart(place.row))
        return 0;
    LinePlace before = place;
    if (!previousLine(before))
        return 0;
    const QTextLine above = screenLine(stretchOf(before), before.line);
    return above.y() + above.height() - std::floor(above.naturalTextRect().bottom());
}

// The highest top place that still fills the viewport: the view never scrolls past the
// text's last line. While the text is still being indexed, the last row known.
PageLayouts::LinePlace PageLayouts::lastTopPlace()
{
    if (!m_rows.fullyIndexed())
        return placeOf(m_rows.rowStart(m_rows.rowsKnown() - 1));
    // Kept until the lines change: finding it again may take guessing the lines of a long row.
    if (m_lastTop) {
        LinePlace top = placeOf(m_lastTop->first);
        top.line = std::min(top.line + m_lastTop->second, stretchOf(top).layout->lineCount() - 1);
        return top;
    }
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
    const qsizetype start = lineStart(top);
    m_lastTop = Anchor{start, std::max(0, top.line - placeOf(start).line)};
    return top;
}

PageLayouts::LinePlace PageLayouts::settleTop()
{
    // Further from the end than a screen of the longest lines holds, the top cannot pass the
    // highest top: the one found before the edits since, moved by them, does for the scroll
    // bar, without wrapping the lines at the end of a long row again after each edit.
    const qsizetype screenHolds = (linesPerPage() + 2) * RowWrapping::LongRowChars;
    if (!m_lastTop && m_lastTopNear && m_rows.fullyIndexed() && !m_showsEnd &&
        m_text.size() - m_topPosition > screenHolds)
        return placeOf(m_lastTopNear->first);
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
    const Stretch stretch = stretchHolding(row, rowStart);
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
    // Above the text's first line, in the margin, is its start, whichever way it runs; above
    // a top line drawn a pixel low, the line before it, which shows there.
    if (point.y() < y) {
        LinePlace above = place;
        if ((m_topPosition == 0 && m_topExtra == 0) || !previousLine(above))
            return lineStart(place);
        place = above;
        y -= lineHeight(above);
    }
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

// A step by characters goes to the next grapheme boundary, but never further than
// RowWrapping::ClusterChars: through a longer cluster, the caret moves in pieces, as the
// cluster is shown. A step by words looks MovementWindowChars far at most.
qsizetype PageLayouts::leftOf(qsizetype position, bool byWord)
{
    if (position <= 0)
        return 0;
    const qsizetype row = m_rows.rowAt(position);
    const qsizetype rowStart = m_rows.rowStart(row);
    if (position == rowStart)
        return m_rows.rowEnd(row - 1); // the line break before is one step
    const qsizetype reach = byWord ? MovementWindowChars : CharacterWindowChars;
    const qsizetype start = std::max(rowStart, position - reach);
    const qsizetype end = std::min(m_rows.rowEnd(row), position + 16);
    QTextLayout window(m_text.mid(start, end - start), m_font);
    m_charactersLookedAt += end - start;
    const auto mode = byWord ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    const qsizetype previous = start + window.previousCursorPosition(int(position - start), mode);
    if (byWord || previous >= position - RowWrapping::ClusterChars)
        return previous;
    const qsizetype piece = position - RowWrapping::ClusterChars;
    return m_text.at(piece).isLowSurrogate() ? piece + 1 : piece;
}

qsizetype PageLayouts::rightOf(qsizetype position, bool byWord)
{
    const qsizetype row = m_rows.rowAt(position);
    const qsizetype rowEnd = m_rows.rowEnd(row);
    if (position >= rowEnd) {
        m_rows.indexRows(row + 2);
        return row + 1 < m_rows.rowsKnown() ? m_rows.rowStart(row + 1) : position;
    }
    const qsizetype reach = byWord ? MovementWindowChars : CharacterWindowChars;
    const qsizetype start = std::max(m_rows.rowStart(row), position - 16);
    const qsizetype end = std::min(rowEnd, position + reach);
    QTextLayout window(m_text.mid(start, end - start), m_font);
    m_charactersLookedAt += end - start;
    const auto mode = byWord ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    const qsizetype next = start + window.nextCursorPosition(int(position - start), mode);
    if (byWord || next <= position + RowWrapping::ClusterChars)
        return next;
    const qsizetype piece = position + RowWrapping::ClusterChars;
    return m_text.at(piece).isLowSurrogate() ? piece - 1 : piece;
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

// The word a double-click selects, found as QTextCursor's WordUnderCursor finds it: its
// start is where a step back by words from just after the position stops (Qt's own word
// attributes, looked for in a window of MovementWindowChars), its end the next blank or
// separator, or the end of a run of separators. Where a word goes on past the window, its
// run of characters is followed on, WordReachChars far at most, never into half a pair.
std::pair<qsizetype, qsizetype> PageLayouts::wordAt(qsizetype position)
{
    const qsizetype row = m_rows.rowAt(position);
    const qsizetype rowStart = m_rows.rowStart(row);
    const qsizetype rowEnd = m_rows.rowEnd(row);
    position = std::clamp(position, rowStart, rowEnd);
    const qsizetype from = wordStartFor(position, rowStart, rowEnd);
    return {from, wordEndFrom(from, rowEnd)};
}

qsizetype PageLayouts::wordStartFor(qsizetype position, qsizetype rowStart, qsizetype rowEnd)
{
    if (position == rowStart)
        return position;
    const QChar before = m_text.at(position - 1);
    if (position == rowEnd && (before.isSpace() || isWordSeparator(before)))
        return position;
    const qsizetype after = position < rowEnd ? position + 1 : position;
    qsizetype start = std::max(rowStart, after - MovementWindowChars);
    if (start > rowStart && m_text.at(start).isLowSurrogate())
        ++start;
    const qsizetype end = std::min(rowEnd, after + 16);
    QTextLayout window(m_text.mid(start, end - start), m_font);
    m_charactersLookedAt += end - start;
    const qsizetype found =
        start + window.previousCursorPosition(int(after - start), QTextLayout::SkipWords);
    if (found > start || start == rowStart || !isInWord(m_text.at(start - 1)) ||
        !isInWord(m_text.at(start)))
        return found;
    return runStart(start, std::max(rowStart, position - WordReachChars));
}

qsizetype PageLayouts::wordEndFrom(qsizetype from, qsizetype rowEnd)
{
    if (from >= rowEnd)
        return from;
    qsizetype limit = std::min(rowEnd, from + WordReachChars);
    if (limit < rowEnd && m_text.at(limit).isLowSurrogate())
        ++limit;
    const bool separators = isWordSeparator(m_text.at(from));
    qsizetype to = from;
    while (to < limit) {
        const QStringView chunk =
            m_text.chunkAt(to).first(std::min(m_text.chunkAt(to).size(), limit - to));
        qsizetype i = 0;
        while (i < chunk.size() && (separators ? isWordSeparator(chunk[i]) : isInWord(chunk[i])))
            ++i;
        to += i;
        if (i < chunk.size())
            break;
    }
    return to;
}

// Where the run of word characters that ends at `end` starts, `limit` at the earliest.
qsizetype PageLayouts::runStart(qsizetype end, qsizetype limit)
{
    if (limit < end && m_text.at(limit).isLowSurrogate())
        ++limit;
    qsizetype from = end;
    while (from > limit) {
        const qsizetype windowStart = std::max(limit, from - MovementWindowChars);
        const QString window = m_text.mid(windowStart, from - windowStart);
        qsizetype i = window.size();
        while (i > 0 && isInWord(window[i - 1]))
            --i;
        from = windowStart + i;
        if (i > 0)
            break;
    }
    return from;
}
