// SPDX-License-Identifier: GPL-3.0-or-later
#include "rowindex.h"

#include <QElapsedTimer>

#include <algorithm>

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

RowIndex::RowIndex(PageText &text)
    : m_text(text)
{
    text.addListener(this);
    textReset();
}

void RowIndex::textReset()
{
    m_pageLineBreak.clear();
    m_starts.assign(1, 0);
    m_starts.shrink_to_fit();
    m_lines.assign(1, 0);
    m_lines.shrink_to_fit();
    m_scanned = 0;
    m_indexedAll = false;
    m_blockLines.clear();
    m_settledBlocks = 0;
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
        m_settledBlocks = std::min(m_settledBlocks, countedRows() / BlockRows);
        m_scanned = lineStartAfter(lineBreak);
        m_starts.push_back(std::uint32_t(m_scanned));
        m_lines.push_back(0);
        return true;
    }
    m_scanned = limit;
    if (limit == m_text.size()) {
        m_settledBlocks = std::min(m_settledBlocks, countedRows() / BlockRows);
        m_indexedAll = true;
    }
    return !m_indexedAll;
}

bool RowIndex::indexSome(qint64 budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!m_indexedAll) {
        for (int i = 0; i < StepsPerClockCheck && indexNext(); ++i) {
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
    const auto after = std::upper_bound(m_starts.begin(), m_starts.end(), std::uint32_t(position));
    return std::max<qsizetype>(0, (after - m_starts.begin()) - 1);
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

void RowIndex::truncateTo(qsizetype rows)
{
    m_starts.resize(size_t(rows));
    m_lines.resize(size_t(rows));
    m_settledBlocks = std::min(m_settledBlocks, (rows - 1) / BlockRows);
}

// After `removed` characters at `from` gave way to `inserted`: whether a position starts a
// line depends on the character before it and the one at it, so the starts before `from`
// stay, those after the old characters move by the change in length, and only the starts
// from `from` to the end of the new characters are looked for afresh.
void RowIndex::textReplaced(qsizetype from, qsizetype removed, qsizetype inserted)
{
    const qsizetype delta = inserted - removed;
    if (!m_indexedAll && from > m_scanned) {
        m_lines.back() = 0; // beyond what is indexed, in the last row
        return;
    }
    const auto firstChanged =
        std::lower_bound(m_starts.begin(), m_starts.end(), std::uint32_t(from));
    const qsizetype kept = std::max<qsizetype>(1, firstChanged - m_starts.begin());
    if (!m_indexedAll && from + removed >= m_scanned) {
        // The edit reaches past what is indexed: indexing starts again before it.
        truncateTo(kept);
        m_lines[size_t(kept - 1)] = 0;
        m_scanned = std::max(rowStart(kept - 1), from - 1);
        return;
    }

    const auto oldAfter =
        std::upper_bound(m_starts.begin() + kept, m_starts.end(), std::uint32_t(from + removed));
    const qsizetype firstMoved = oldAfter - m_starts.begin();
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

    for (auto start = m_starts.begin() + firstMoved; start != m_starts.end(); ++start)
        *start = std::uint32_t(*start + delta);
    const qsizetype removedRows = firstMoved - kept;
    const qsizetype addedRows = qsizetype(fresh.size());
    const auto at = m_starts.erase(m_starts.begin() + kept, m_starts.begin() + firstMoved);
    m_starts.insert(at, fresh.begin(), fresh.end());
    const auto countsAt = m_lines.erase(m_lines.begin() + kept, m_lines.begin() + firstMoved);
    m_lines.insert(countsAt, fresh.size(), 0);
    m_lines[size_t(kept - 1)] = 0;
    if (!m_indexedAll)
        m_scanned += delta;
    if (removedRows != addedRows) {
        // The rows after the edit keep their lengths and counts, but move between blocks.
        m_settledBlocks = std::min(m_settledBlocks, (kept - 1) / BlockRows);
        return;
    }
    for (qsizetype block = (kept - 1) / BlockRows; block <= (kept + addedRows) / BlockRows; ++block)
        sumBlock(block);
}

// --- Screen lines -----------------------------------------------------------------------

void RowIndex::setCharactersPerLine(qsizetype characters)
{
    characters = std::max<qsizetype>(1, characters);
    if (characters == m_charactersPerLine)
        return;
    m_charactersPerLine = characters;
    m_settledBlocks = 0;
}

void RowIndex::forgetScreenLines()
{
    std::fill(m_lines.begin(), m_lines.end(), 0);
    m_settledBlocks = 0;
}

// The rows whose length is known: all but the last while the text is still being indexed.
qsizetype RowIndex::countedRows() const
{
    return m_indexedAll ? rowsKnown() : rowsKnown() - 1;
}

qsizetype RowIndex::estimatedLines(qsizetype row) const
{
    if (m_lines[size_t(row)] > 0)
        return m_lines[size_t(row)];
    const qsizetype end = row + 1 < rowsKnown() ? rowStart(row + 1) : m_text.size();
    const qsizetype length = end - rowStart(row);
    return std::max<qsizetype>(1, (length + m_charactersPerLine - 1) / m_charactersPerLine);
}

void RowIndex::setScreenLines(qsizetype row, qsizetype lines)
{
    const std::uint32_t count = std::uint32_t(std::max<qsizetype>(1, lines));
    if (m_lines[size_t(row)] == count)
        return;
    const qsizetype block = row / BlockRows;
    const bool counted = row < countedRows() && block < m_settledBlocks;
    const qsizetype before = counted ? estimatedLines(row) : 0;
    m_lines[size_t(row)] = count;
    if (counted)
        m_blockLines[size_t(block)] += estimatedLines(row) - before;
}

qsizetype RowIndex::screenLines(qsizetype row)
{
    return estimatedLines(row);
}

// Sums up a block again, when it is summed up at all.
void RowIndex::sumBlock(qsizetype block)
{
    if (block >= m_settledBlocks)
        return;
    const qsizetype end = std::min(countedRows(), (block + 1) * BlockRows);
    qsizetype lines = 0;
    for (qsizetype row = block * BlockRows; row < end; ++row)
        lines += estimatedLines(row);
    m_blockLines[size_t(block)] = lines;
}

// Sums up the blocks that an edit or indexing left unsummed.
void RowIndex::settleBlocks()
{
    const qsizetype blocks = (countedRows() + BlockRows - 1) / BlockRows;
    m_blockLines.resize(size_t(blocks));
    const qsizetype from = std::min(m_settledBlocks, blocks);
    m_settledBlocks = blocks;
    for (qsizetype block = from; block < blocks; ++block)
        sumBlock(block);
}

qsizetype RowIndex::screenLinesBefore(qsizetype row)
{
    settleBlocks();
    row = std::clamp<qsizetype>(row, 0, rowsKnown());
    qsizetype lines = 0;
    const qsizetype block = std::min(row / BlockRows, qsizetype(m_blockLines.size()));
    for (qsizetype b = 0; b < block; ++b)
        lines += m_blockLines[size_t(b)];
    for (qsizetype r = block * BlockRows; r < row; ++r)
        lines += estimatedLines(r);
    return lines;
}

qsizetype RowIndex::totalScreenLines()
{
    qsizetype lines = screenLinesBefore(countedRows());
    if (!m_indexedAll)
        lines += estimatedLines(rowsKnown() - 1);
    return lines;
}

std::pair<qsizetype, qsizetype> RowIndex::rowOfScreenLine(qsizetype line)
{
    settleBlocks();
    line = std::max<qsizetype>(0, line);
    qsizetype row = 0;
    for (const qsizetype blockLines : m_blockLines) {
        if (line < blockLines)
            break;
        line -= blockLines;
        row += BlockRows;
    }
    row = std::min(row, rowsKnown() - 1);
    for (; row + 1 < rowsKnown(); ++row) {
        const qsizetype lines = estimatedLines(row);
        if (line < lines)
            break;
        line -= lines;
    }
    return {row, line};
}
