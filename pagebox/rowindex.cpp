// SPDX-License-Identifier: GPL-3.0-or-later
#include "rowindex.h"

#include <QElapsedTimer>

#include <algorithm>
#include <functional>

namespace {

// A line break is looked for in at most this many characters at a time, so that a line of
// hundreds of MiB is indexed in slices like any other text.
constexpr qsizetype ScanChars = 1024 * 1024;
// Indexing looks at the clock once per this many steps.
constexpr int StepsPerClockCheck = 256;

// The first CR or LF in `characters`, or -1: the first LF, unless a CR comes before it.
// Qt's own search for one character is many times faster than a loop that tests for two.
qsizetype firstBreakIn(QStringView characters)
{
    const qsizetype lineFeed = characters.indexOf(u'\n');
    const qsizetype carriageReturn =
        characters.first(lineFeed < 0 ? characters.size() : lineFeed).indexOf(u'\r');
    return carriageReturn >= 0 ? carriageReturn : lineFeed;
}

} // namespace

RowIndex::RowIndex(PageText &text, qsizetype rowsPerBlock)
    : m_text(text)
    , m_rowsPerBlock(std::max<qsizetype>(2, rowsPerBlock))
{
    text.addListener(this, PageText::Stage::Rows);
    textReset();
}

void RowIndex::textReset()
{
    m_pageLineBreak.clear();
    m_blocks.assign(1, Block{{0}, {0}});
    m_blocks.shrink_to_fit();
    m_blockRows.assign({1});
    m_blockChars.assign({0});
    m_blockLines.assign({0}); // the only row is not counted until the text is indexed
    m_lastPlace = Place();
    m_scanned = 0;
    m_indexedAll = false;
    m_linesSettled = true;
}

// --- Indexing ---------------------------------------------------------------------------

// The first CR or LF in [from, to), or -1.
qsizetype RowIndex::findBreak(qsizetype from, qsizetype to) const
{
    while (from < to) {
        const QStringView chunk = m_text.chunkAt(from);
        const qsizetype length = std::min(chunk.size(), to - from);
        const qsizetype found = firstBreakIn(chunk.first(length));
        if (found >= 0)
            return from + found;
        from += length;
    }
    return -1;
}

// Where the line after the break at `lineBreak` starts: a CR LF is one break.
qsizetype RowIndex::lineStartAfter(qsizetype lineBreak) const
{
    const bool crLf = m_text.at(lineBreak) == u'\r' && m_text.at(lineBreak + 1) == u'\n';
    return lineBreak + (crLf ? 2 : 1);
}

bool RowIndex::isLineStart(qsizetype position) const
{
    if (position <= 0 || position > m_text.size())
        return false;
    const QChar before = m_text.at(position - 1);
    return before == u'\n' || (before == u'\r' && m_text.at(position) != u'\n');
}

// One step of indexing: the next row, or the next stretch of a long one. Returns false
// once the whole text is indexed.
bool RowIndex::indexNext()
{
    if (m_indexedAll)
        return false;
    const qsizetype limit = std::min(m_text.size(), m_scanned + ScanChars);
    const qsizetype lineBreak = findBreak(m_scanned, limit);
    if (lineBreak >= 0) {
        m_scanned = lineStartAfter(lineBreak);
        appendRow(m_scanned);
        return true;
    }
    m_scanned = limit;
    if (limit == m_text.size()) {
        m_indexedAll = true;
        // The last row is counted now that its length is known.
        const Place last = placeOf(rowsKnown() - 1);
        if (m_linesSettled)
            m_blockLines.add(last.block, estimate(last));
    }
    return !m_indexedAll;
}

// A row found after the last: the last block takes it, or a new block once it is full.
void RowIndex::appendRow(qsizetype start)
{
    const qsizetype lastBlock = qsizetype(m_blocks.size()) - 1;
    const qsizetype blockStart = m_blockChars.total(); // the last block's own count is 0
    // The row before it is counted now that its length is known.
    if (m_linesSettled) {
        const Block &block = m_blocks.back();
        const std::uint32_t counted = block.lines.back();
        m_blockLines.add(
            lastBlock, counted > 0 ? counted : linesFor(start - blockStart - block.starts.back()));
    }
    if (qsizetype(m_blocks.back().starts.size()) >= m_rowsPerBlock) {
        m_blockChars.set(lastBlock, start - blockStart);
        m_blocks.push_back(Block{{0}, {0}});
        m_blockRows.append(1);
        m_blockChars.append(0);
        m_blockLines.append(0);
    } else {
        m_blocks.back().starts.push_back(std::uint32_t(start - blockStart));
        m_blocks.back().lines.push_back(0);
        m_blockRows.add(lastBlock, 1);
    }
}

bool RowIndex::indexSome(qint64 budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!m_indexedAll) {
        // The clock is looked at every so many rows, or sooner in a line of many slices.
        const qsizetype scannedBefore = m_scanned;
        for (int i = 0;
             i < StepsPerClockCheck && m_scanned - scannedBefore < ScanChars && indexNext(); ++i) {
        }
        if (clock.elapsed() >= budgetMs)
            break;
    }
    return m_indexedAll;
}

void RowIndex::indexAll()
{
    while (!indexSome(1000)) {
    }
}

void RowIndex::indexRows(qsizetype rows)
{
    while (rowsKnown() < rows && indexNext()) {
    }
}

qsizetype RowIndex::rowEnd(qsizetype row)
{
    while (row + 1 >= rowsKnown() && indexNext()) {
    }
    if (row + 1 >= rowsKnown())
        return m_text.size();
    qsizetype end = rowStart(row + 1);
    if (m_text.at(end - 1) == u'\n')
        --end;
    if (m_text.at(end - 1) == u'\r')
        --end;
    return end;
}

qsizetype RowIndex::rowAt(qsizetype position)
{
    while (m_scanned <= position && indexNext()) {
    }
    return lastRowFrom(position);
}

qsizetype RowIndex::rowStart(qsizetype row) const
{
    const Place place = placeOf(row);
    return place.blockStart + m_blocks[size_t(place.block)].starts[size_t(place.index)];
}

RowIndex::Place RowIndex::placeOf(qsizetype row) const
{
    Q_ASSERT(row >= 0 && row < rowsKnown());
    Place place = m_lastPlace;
    if (place.block < 0 || row < place.firstRow ||
        row >= place.firstRow + qsizetype(m_blocks[size_t(place.block)].starts.size())) {
        place.block = std::min(m_blockRows.find(row), qsizetype(m_blocks.size()) - 1);
        place.firstRow = m_blockRows.before(place.block);
        place.blockStart = m_blockChars.before(place.block);
        m_lastPlace = place;
    }
    place.index = row - place.firstRow;
    return place;
}

// The last of the rows indexed that starts at or before `position`.
qsizetype RowIndex::lastRowFrom(qsizetype position) const
{
    const qsizetype block = std::min(m_blockChars.find(position), qsizetype(m_blocks.size()) - 1);
    const std::vector<std::uint32_t> &starts = m_blocks[size_t(block)].starts;
    const qsizetype offset = std::max<qsizetype>(0, position - m_blockChars.before(block));
    const auto after = std::upper_bound(starts.begin(), starts.end(), std::uint32_t(offset));
    return m_blockRows.before(block) + (after - starts.begin()) - 1;
}

QString RowIndex::firstLineBreak()
{
    indexRows(2);
    if (rowsKnown() < 2)
        return m_pageLineBreak.isEmpty() ? QStringLiteral("\n") : m_pageLineBreak;
    const qsizetype start = rowStart(1);
    const QString found = m_text.at(start - 1) == u'\r'   ? QStringLiteral("\r")
                          : m_text.at(start - 2) == u'\r' ? QStringLiteral("\r\n")
                                                          : QStringLiteral("\n");
    if (m_pageLineBreak.isEmpty())
        m_pageLineBreak = found;
    return found;
}

// --- Following edits --------------------------------------------------------------------

namespace {

// Whether a block's row starts begin at its own start and rise, with a count for each, and
// stay below `limit`: the next block's first row, or just past the end of the text, where
// the last row starts when the text ends in a line break.
[[maybe_unused]] bool holdsRows(const std::vector<std::uint32_t> &starts,
                                const std::vector<std::uint32_t> &lines, qsizetype limit)
{
    return !starts.empty() && starts.front() == 0 && starts.size() == lines.size() &&
           std::adjacent_find(starts.begin(), starts.end(), std::greater_equal<>()) ==
               starts.end() &&
           qsizetype(starts.back()) < limit;
}

} // namespace

// The rows from `first` to `end` give way to rows starting at `fresh`, and the rows after
// them move by `delta`. Only the blocks that hold these rows change, with the block after
// them so that small blocks join their neighbour; the blocks after move by one sum.
void RowIndex::replaceRows(qsizetype first, qsizetype end, const std::vector<std::uint32_t> &fresh,
                           qsizetype delta)
{
    const qsizetype blocks = qsizetype(m_blocks.size());
    const Place head = placeOf(first - 1);
    const qsizetype tail = end > first ? placeOf(end - 1).block : head.block;
    const qsizetype last = std::min(tail + 1, blocks - 1);
    const qsizetype count = last - head.block + 1;
    const bool endsBlocks = last == blocks - 1;
    const qsizetype nextStart = endsBlocks ? 0 : m_blockChars.before(last + 1) + delta;

    // The rows of those blocks, with their starts from the start of the text.
    std::vector<qsizetype> starts;
    std::vector<std::uint32_t> lines;
    for (qsizetype block = head.block, blockStart = head.blockStart; block <= last; ++block) {
        const Block &rows = m_blocks[size_t(block)];
        for (size_t i = 0; i < rows.starts.size(); ++i)
            starts.push_back(blockStart + rows.starts[i]);
        lines.insert(lines.end(), rows.lines.begin(), rows.lines.end());
        blockStart += m_blockChars.at(block);
    }
    const qsizetype from = first - head.firstRow;
    const qsizetype to = end - head.firstRow;
    for (auto start = starts.begin() + to; start != starts.end(); ++start)
        *start += delta;
    starts.erase(starts.begin() + from, starts.begin() + to);
    starts.insert(starts.begin() + from, fresh.begin(), fresh.end());
    lines.erase(lines.begin() + from, lines.begin() + to);
    lines.insert(lines.begin() + from, fresh.size(), 0);
    lines[size_t(from - 1)] = 0; // the row that holds the edit

    // As many blocks as before while each stays between half and twice the aim.
    const qsizetype total = qsizetype(starts.size());
    qsizetype stored = count;
    if (total < count * m_rowsPerBlock / 2 || total > count * m_rowsPerBlock * 2)
        stored = std::max<qsizetype>(1, (total + m_rowsPerBlock - 1) / m_rowsPerBlock);
    std::vector<Block> made(static_cast<size_t>(stored));
    std::vector<qsizetype> rows(static_cast<size_t>(stored));
    std::vector<qsizetype> chars(static_cast<size_t>(stored));
    for (qsizetype block = 0; block < stored; ++block) {
        const qsizetype begin = total * block / stored;
        const qsizetype stop = total * (block + 1) / stored;
        Block &rowsOf = made[size_t(block)];
        for (qsizetype row = begin; row < stop; ++row)
            rowsOf.starts.push_back(std::uint32_t(starts[size_t(row)] - starts[size_t(begin)]));
        rowsOf.lines.assign(lines.begin() + begin, lines.begin() + stop);
        rows[size_t(block)] = stop - begin;
        const qsizetype next = stop < total ? starts[size_t(stop)] : nextStart;
        chars[size_t(block)] = stop < total || !endsBlocks ? next - starts[size_t(begin)] : 0;
        Q_ASSERT(holdsRows(rowsOf.starts, rowsOf.lines,
                           stop < total || !endsBlocks
                               ? chars[size_t(block)]
                               : m_text.size() + 1 - starts[size_t(begin)]));
    }
    const auto at = m_blocks.erase(m_blocks.begin() + head.block, m_blocks.begin() + last + 1);
    m_blocks.insert(at, std::make_move_iterator(made.begin()), std::make_move_iterator(made.end()));
    m_blockRows.replace(head.block, count, rows);
    m_blockChars.replace(head.block, count, chars);
    m_blockLines.replace(head.block, count, std::vector<qsizetype>(size_t(stored), 0));
    m_lastPlace = Place();
    if (m_linesSettled) {
        for (qsizetype block = head.block; block < head.block + stored; ++block)
            m_blockLines.set(block, blockLines(block));
    }
}

void RowIndex::truncateTo(qsizetype rows)
{
    const Place last = placeOf(rows - 1);
    Block &block = m_blocks[size_t(last.block)];
    block.starts.resize(size_t(last.index + 1));
    block.lines.resize(size_t(last.index + 1));
    block.lines.back() = 0;
    const qsizetype dropped = qsizetype(m_blocks.size()) - last.block;
    m_blocks.resize(size_t(last.block + 1));
    m_blockRows.replace(last.block, dropped, {last.index + 1});
    m_blockChars.replace(last.block, dropped, {0});
    m_blockLines.replace(last.block, dropped, {0});
    m_lastPlace = Place();
    if (m_linesSettled)
        m_blockLines.set(last.block, blockLines(last.block));
}

// After `removed` characters at `from` gave way to `inserted`: whether a position starts a
// line depends on the character before it and the one at it, so the starts before `from`
// stay, those after the old characters move by the change in length, and only the starts
// from `from` to the end of the new characters are looked for afresh.
void RowIndex::textReplaced(qsizetype from, qsizetype removed, qsizetype inserted)
{
    const qsizetype delta = inserted - removed;
    if (!m_indexedAll && from > m_scanned) {
        // Beyond what is indexed, in the last row, which is not counted yet.
        const Place last = placeOf(rowsKnown() - 1);
        m_blocks[size_t(last.block)].lines[size_t(last.index)] = 0;
        return;
    }
    // The rows that start before the edit stay.
    const qsizetype kept = std::max<qsizetype>(1, from > 0 ? lastRowFrom(from - 1) + 1 : 0);
    if (!m_indexedAll && from + removed >= m_scanned) {
        // The edit reaches past what is indexed: indexing starts again before it.
        truncateTo(kept);
        m_scanned = std::max(rowStart(kept - 1), from - 1);
        return;
    }

    const qsizetype firstMoved = std::max(kept, lastRowFrom(from + removed) + 1);
    std::vector<std::uint32_t> fresh;
    for (qsizetype p = std::max<qsizetype>(from, 1); p <= from + inserted;) {
        if (isLineStart(p)) {
            fresh.push_back(std::uint32_t(p));
            ++p;
            continue;
        }
        // Only a break can make a start: jump to the next one in the new characters.
        const qsizetype lineBreak = findBreak(p, from + inserted);
        if (lineBreak < 0)
            break;
        p = lineBreak + 1;
    }
    replaceRows(kept, firstMoved, fresh, delta);
    if (!m_indexedAll)
        m_scanned += delta;
}

// --- Screen lines -----------------------------------------------------------------------

void RowIndex::setCharactersPerLine(qsizetype characters)
{
    characters = std::max<qsizetype>(1, characters);
    if (characters == m_charactersPerLine)
        return;
    m_charactersPerLine = characters;
    m_linesSettled = false;
}

void RowIndex::forgetScreenLines()
{
    for (Block &block : m_blocks)
        std::fill(block.lines.begin(), block.lines.end(), 0);
    m_linesSettled = false;
}

// The rows whose length is known: all but the last while the text is still being indexed.
qsizetype RowIndex::countedRows() const
{
    return m_indexedAll ? rowsKnown() : rowsKnown() - 1;
}

qsizetype RowIndex::rowLength(const Place &place) const
{
    const Block &block = m_blocks[size_t(place.block)];
    const qsizetype start = place.blockStart + block.starts[size_t(place.index)];
    if (place.index + 1 < qsizetype(block.starts.size()))
        return place.blockStart + block.starts[size_t(place.index + 1)] - start;
    if (place.block + 1 < qsizetype(m_blocks.size()))
        return place.blockStart + m_blockChars.at(place.block) - start;
    return m_text.size() - start;
}

qsizetype RowIndex::estimate(const Place &place) const
{
    const std::uint32_t counted = m_blocks[size_t(place.block)].lines[size_t(place.index)];
    return counted > 0 ? counted : linesFor(rowLength(place));
}

// The screen lines a row of `length` characters is taken to fill until it is counted.
qsizetype RowIndex::linesFor(qsizetype length) const
{
    return std::max<qsizetype>(1, (length + m_charactersPerLine - 1) / m_charactersPerLine);
}

qsizetype RowIndex::estimatedLines(qsizetype row) const
{
    return estimate(placeOf(row));
}

// The screen lines of a block's counted rows.
qsizetype RowIndex::blockLines(qsizetype block) const
{
    Place place{block, 0, m_blockRows.before(block), m_blockChars.before(block)};
    const qsizetype end = std::min(countedRows(), place.firstRow + m_blockRows.at(block));
    qsizetype lines = 0;
    for (; place.firstRow + place.index < end; ++place.index)
        lines += estimate(place);
    return lines;
}

// Sums up every block again, after the counts or the estimates changed all over.
void RowIndex::settleLines()
{
    if (m_linesSettled)
        return;
    m_linesSettled = true;
    std::vector<qsizetype> lines(m_blocks.size());
    for (qsizetype block = 0; block < qsizetype(m_blocks.size()); ++block)
        lines[size_t(block)] = blockLines(block);
    m_blockLines.assign(std::move(lines));
}

void RowIndex::setScreenLines(qsizetype row, qsizetype lines)
{
    const std::uint32_t count = std::uint32_t(std::max<qsizetype>(1, lines));
    const Place place = placeOf(row);
    std::uint32_t &stored = m_blocks[size_t(place.block)].lines[size_t(place.index)];
    if (stored == count)
        return;
    const bool counted = m_linesSettled && row < countedRows();
    const qsizetype before = counted ? estimate(place) : 0;
    stored = count;
    if (counted)
        m_blockLines.add(place.block, estimate(place) - before);
}

qsizetype RowIndex::screenLines(qsizetype row)
{
    return estimatedLines(row);
}

qsizetype RowIndex::screenLinesBefore(qsizetype row)
{
    settleLines();
    row = std::clamp<qsizetype>(row, 0, rowsKnown());
    const qsizetype block = std::min(m_blockRows.find(row), qsizetype(m_blocks.size()) - 1);
    Place place{block, 0, m_blockRows.before(block), m_blockChars.before(block)};
    qsizetype lines = m_blockLines.before(block);
    for (; place.firstRow + place.index < row; ++place.index)
        lines += estimate(place);
    return lines;
}

qsizetype RowIndex::totalScreenLines()
{
    settleLines();
    qsizetype lines = m_blockLines.total();
    if (!m_indexedAll)
        lines += estimatedLines(rowsKnown() - 1);
    return lines;
}

std::pair<qsizetype, qsizetype> RowIndex::rowOfScreenLine(qsizetype line)
{
    settleLines();
    line = std::max<qsizetype>(0, line);
    const qsizetype block = std::min(m_blockLines.find(line), qsizetype(m_blocks.size()) - 1);
    line -= m_blockLines.before(block);
    qsizetype row = m_blockRows.before(block);
    for (; row + 1 < rowsKnown(); ++row) {
        const qsizetype lines = estimatedLines(row);
        if (line < lines)
            break;
        line -= lines;
    }
    return {row, line};
}
