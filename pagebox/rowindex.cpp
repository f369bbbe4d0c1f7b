// SPDX-License-Identifier: GPL-3.0-or-later
#include "rowindex.h"

#include <QElapsedTimer>

#include <algorithm>

namespace {

// How far past RowChars a row of a long line may reach to end after a word.
constexpr qsizetype SnapChars = 64;
constexpr std::uint32_t NoRow = 0xffffffffu;
// Indexing looks at the clock once per this many rows.
constexpr int RowsPerClockCheck = 512;

// The first CR or LF in `characters`, or -1: the first LF, unless a CR comes before it.
// Qt's own search for one character is many times faster than a loop that tests for two.
qsizetype firstBreakIn(QStringView characters)
{
    const qsizetype lineFeed = characters.indexOf(u'\n');
    const qsizetype carriageReturn =
        characters.first(lineFeed < 0 ? characters.size() : lineFeed).indexOf(u'\r');
    return carriageReturn >= 0 ? carriageReturn : lineFeed;
}

// Where a row of a long line may end: after a blank or the end of a tag, as a reader would
// break minified markup.
bool endsWord(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'>' || c == u',' || c == u';';
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
    m_rows.assign(1, 0);
    m_rows.shrink_to_fit();
    m_indexedAll = false;
    m_breakFree = {0, 0};
}

QString RowIndex::firstLineBreak()
{
    for (qsizetype row = 1;; ++row) {
        indexRows(row + 1);
        if (row >= rowsKnown())
            return m_pageLineBreak.isEmpty() ? QStringLiteral("\n") : m_pageLineBreak;
        if (rowStartsLine(row)) {
            const qsizetype start = rowStart(row);
            const QString found = m_text.at(start - 1) == u'\r'   ? QStringLiteral("\r")
                                  : m_text.at(start - 2) == u'\r' ? QStringLiteral("\r\n")
                                                                  : QStringLiteral("\n");
            if (m_pageLineBreak.isEmpty())
                m_pageLineBreak = found;
            return found;
        }
    }
}

// The first CR or LF in [from, to), or -1. A stretch known to hold none is skipped.
qsizetype RowIndex::findBreak(qsizetype from, qsizetype to) const
{
    if (from < m_breakFree.second && to > m_breakFree.first) {
        if (from < m_breakFree.first) {
            const qsizetype found = findBreak(from, m_breakFree.first);
            if (found >= 0)
                return found;
        }
        from = m_breakFree.second;
    }
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

// Where a row of a long line that could end at `from` best ends: after the first word that
// ends before `to`, or at `from` itself, never inside a surrogate pair.
qsizetype RowIndex::snapToWordEnd(qsizetype from, qsizetype to) const
{
    for (qsizetype p = from; p < to;) {
        const QStringView chunk = m_text.chunkAt(p - 1);
        const qsizetype length = std::min(chunk.size(), to - p);
        for (qsizetype i = 0; i < length; ++i) {
            if (endsWord(chunk[i].unicode()))
                return p + i;
        }
        p += length;
    }
    if (m_text.at(from - 1).isHighSurrogate() && m_text.at(from).isLowSurrogate())
        return from + 1;
    return from;
}

// The row after the one that starts at `row`, or NoRow when that one runs to the end.
std::uint32_t RowIndex::nextRow(std::uint32_t row) const
{
    const qsizetype start = row & PositionMask;
    const qsizetype limit = std::min(m_text.size(), start + RowChars + SnapChars);
    const qsizetype lineBreak = findBreak(start, limit);
    if (lineBreak >= 0) {
        const bool crLf = m_text.at(lineBreak) == u'\r' && m_text.at(lineBreak + 1) == u'\n';
        return std::uint32_t(lineBreak + (crLf ? 2 : 1));
    }
    if (limit == m_text.size())
        return NoRow;
    const qsizetype cut = start + RowChars;
    return std::uint32_t(snapToWordEnd(cut, cut + SnapChars)) | ContinuationFlag;
}

bool RowIndex::indexSome(qint64 budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!m_indexedAll) {
        for (int i = 0; i < RowsPerClockCheck && !m_indexedAll; ++i) {
            const std::uint32_t next = nextRow(m_rows.back());
            if (next == NoRow)
                m_indexedAll = true;
            else
                m_rows.push_back(next);
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
    while (!m_indexedAll && rowsKnown() < rows) {
        const std::uint32_t next = nextRow(m_rows.back());
        if (next == NoRow)
            m_indexedAll = true;
        else
            m_rows.push_back(next);
    }
}

qsizetype RowIndex::rowEnd(qsizetype row) const
{
    std::uint32_t next =
        row + 1 < rowsKnown() ? m_rows[size_t(row + 1)] : nextRow(m_rows[size_t(row)]);
    if (next == NoRow)
        return m_text.size();
    qsizetype end = next & PositionMask;
    if (next & ContinuationFlag)
        return end;
    if (m_text.at(end - 1) == u'\n')
        --end;
    if (m_text.at(end - 1) == u'\r')
        --end;
    return end;
}

qsizetype RowIndex::rowAt(qsizetype position, bool preferEarlier)
{
    while (!m_indexedAll && qsizetype(m_rows.back() & PositionMask) <= position)
        indexSome(1000);
    const auto after = std::upper_bound(
        m_rows.begin(), m_rows.end(), std::uint32_t(position),
        [](std::uint32_t p, std::uint32_t row) { return p < (row & PositionMask); });
    qsizetype row = std::max<qsizetype>(0, (after - m_rows.begin()) - 1);
    if (preferEarlier && row > 0 && rowStart(row) == position && !rowStartsLine(row))
        --row;
    return row;
}

// After `removed` characters at `from` gave way to `inserted`: the rows from a little
// before the edit are worked out again until they meet a row of the old index, whose
// rows from there on only move by the edit's change in length.
void RowIndex::textReplaced(qsizetype from, qsizetype removed, qsizetype inserted)
{
    const qsizetype delta = inserted - removed;
    const qsizetype settledBefore = from - SnapChars - 2;
    const auto byPosition = [](std::uint32_t row, qsizetype p) {
        return qsizetype(row & PositionMask) < p;
    };
    // The last row whose place no character at or after `from` decides.
    const auto firstAffected = std::lower_bound(
        m_rows.begin(), m_rows.end(), std::max<qsizetype>(1, settledBefore + 1), byPosition);
    const std::size_t kept = std::max<std::size_t>(1, std::size_t(firstAffected - m_rows.begin()));

    // The old line around the edit held no line break after it up to the next line start.
    const auto oldNextLine = std::find_if(
        std::lower_bound(m_rows.begin() + kept, m_rows.end(), from + removed + 1, byPosition),
        m_rows.end(), [](std::uint32_t row) { return !(row & ContinuationFlag); });
    const qsizetype breakFreeEnd = oldNextLine == m_rows.end()
                                       ? (m_indexedAll ? m_text.size() : from + inserted)
                                       : qsizetype(*oldNextLine & PositionMask) + delta - 2;
    m_breakFree = {from + inserted, std::max(from + inserted, breakFreeEnd)};

    const std::uint32_t oldFrontier = m_rows.back() & PositionMask;
    std::vector<std::uint32_t> fresh;
    std::uint32_t row = m_rows[kept - 1];
    std::size_t resumeAt = m_rows.size(); // the first old row taken over, if any
    bool reachedEnd = false;
    for (;;) {
        row = nextRow(row);
        if (row == NoRow) {
            reachedEnd = true;
            break;
        }
        const qsizetype position = row & PositionMask;
        if (position >= from + inserted + 1) {
            const qsizetype oldPosition = position - delta;
            const auto old =
                std::lower_bound(m_rows.begin() + kept, m_rows.end(), oldPosition, byPosition);
            if (old != m_rows.end() &&
                *old == (std::uint32_t(oldPosition) | (row & ContinuationFlag))) {
                resumeAt = std::size_t(old - m_rows.begin());
                break;
            }
            if (!m_indexedAll && oldPosition > qsizetype(oldFrontier)) {
                fresh.push_back(row);
                break;
            }
        }
        fresh.push_back(row);
    }
    m_breakFree = {0, 0};

    // The old rows from `resumeAt` on move by the change in length; those between the kept
    // ones and them give way to the fresh ones.
    for (auto old = m_rows.begin() + std::ptrdiff_t(resumeAt); old != m_rows.end(); ++old)
        *old = std::uint32_t(qsizetype(*old & PositionMask) + delta) | (*old & ContinuationFlag);
    const auto replaced = m_rows.erase(m_rows.begin() + std::ptrdiff_t(kept),
                                       m_rows.begin() + std::ptrdiff_t(resumeAt));
    m_rows.insert(replaced, fresh.begin(), fresh.end());
    if (reachedEnd)
        m_indexedAll = true;
}
