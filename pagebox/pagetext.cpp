// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagetext.h"

#include <QElapsedTimer>

#include <algorithm>

namespace {

// How far past RowChars a row of a long line may reach to end after a word.
constexpr qsizetype SnapChars = 64;
constexpr std::uint32_t NoRow = 0xffffffffu;
// Undo keeps at most this many steps and pieces; the oldest go first.
constexpr std::size_t StepsKept = 100000;
constexpr std::size_t PiecesKept = 1000000;
// The added characters are kept for undo; past twice the text and this many besides, the
// text is taken as it stands and the history before it let go.
constexpr qsizetype AddedSlack = 16 * 1024 * 1024;
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

void PageText::setText(const QString &text)
{
    takeAsPage(text);
    m_pageLineBreak.clear();
    m_rows.assign(1, 0);
    m_rows.shrink_to_fit();
    m_indexedAll = false;
    m_breakFree = {0, 0};
}

// `page` becomes the whole text, in one piece, with no history of edits.
void PageText::takeAsPage(const QString &page)
{
    m_original = page; // shared with the caller, not copied
    m_added = QString();
    m_pieces.clear();
    m_size = std::min(page.size(), MaxLength);
    if (m_size > 0)
        m_pieces.push_back({false, 0, m_size});
    m_undo.clear();
    m_redo.clear();
    m_historyPieces = 0;
    m_typingOpen = false;
}

QString PageText::text() const
{
    if (m_pieces.empty())
        return QString();
    if (m_pieces.size() == 1 && !m_pieces.front().added && m_size == m_original.size())
        return m_original;
    return mid(0, m_size);
}

QStringView PageText::pieceText(const Piece &piece) const
{
    return QStringView(piece.added ? m_added : m_original).sliced(piece.start, piece.length);
}

// The characters from `position` to the end of the piece that holds them.
QStringView PageText::chunkAt(qsizetype position) const
{
    for (const Piece &piece : m_pieces) {
        if (position < piece.length)
            return pieceText(piece).sliced(position);
        position -= piece.length;
    }
    return {};
}

QString PageText::mid(qsizetype from, qsizetype length) const
{
    from = std::clamp<qsizetype>(from, 0, m_size);
    length = std::clamp<qsizetype>(length, 0, m_size - from);
    QString result;
    result.reserve(length);
    qsizetype skip = from;
    for (const Piece &piece : m_pieces) {
        if (length == 0)
            break;
        if (skip >= piece.length) {
            skip -= piece.length;
            continue;
        }
        const QStringView part = pieceText(piece).sliced(skip);
        const qsizetype taken = std::min(length, part.size());
        result.append(part.first(taken));
        length -= taken;
        skip = 0;
    }
    return result;
}

QChar PageText::at(qsizetype position) const
{
    if (position < 0 || position >= m_size)
        return QChar();
    return chunkAt(position).front();
}

// Makes a piece start at `position` and returns its index (the piece count at the end).
qsizetype PageText::splitAt(qsizetype position)
{
    qsizetype index = 0;
    for (; index < qsizetype(m_pieces.size()); ++index) {
        Piece &piece = m_pieces[size_t(index)];
        if (position == 0)
            return index;
        if (position < piece.length) {
            const Piece tail{piece.added, piece.start + position, piece.length - position};
            piece.length = position;
            m_pieces.insert(m_pieces.begin() + index + 1, tail);
            return index + 1;
        }
        position -= piece.length;
    }
    return index;
}

qsizetype PageText::lengthOf(const Pieces &pieces)
{
    qsizetype length = 0;
    for (const Piece &piece : pieces)
        length += piece.length;
    return length;
}

// The heart of every edit: the pieces for `length` characters at `from` give way to
// `inserted`; returns the pieces taken out. The row index follows.
PageText::Pieces PageText::replacePieces(qsizetype from, qsizetype length, const Pieces &inserted)
{
    const qsizetype first = splitAt(from);
    const qsizetype last = splitAt(from + length);
    Pieces removed(m_pieces.begin() + first, m_pieces.begin() + last);
    const auto at = m_pieces.erase(m_pieces.begin() + first, m_pieces.begin() + last);
    m_pieces.insert(at, inserted.begin(), inserted.end());

    // Neighbours that continue each other become one piece again, so that typing and
    // taking it back leave the table as small as it was.
    Pieces merged;
    merged.reserve(m_pieces.size());
    for (const Piece &piece : m_pieces) {
        if (piece.length == 0)
            continue;
        if (!merged.empty() && merged.back().added == piece.added &&
            merged.back().start + merged.back().length == piece.start)
            merged.back().length += piece.length;
        else
            merged.push_back(piece);
    }
    m_pieces.swap(merged);

    const qsizetype insertedLength = lengthOf(inserted);
    m_size += insertedLength - length;
    reindexAround(from, length, insertedLength);
    return removed;
}

bool PageText::replace(qsizetype from, qsizetype length, QStringView inserted, bool typing)
{
    from = std::clamp<qsizetype>(from, 0, m_size);
    length = std::clamp<qsizetype>(length, 0, m_size - from);
    if (length == 0 && inserted.isEmpty())
        return true;
    if (m_size - length + inserted.size() > MaxLength)
        return false;
    if (length > 0 && m_pageLineBreak.isEmpty())
        firstLineBreak(); // remembered before the edit can take it away
    Pieces insertedPieces;
    if (!inserted.isEmpty()) {
        insertedPieces.push_back({true, m_added.size(), inserted.size()});
        m_added.append(inserted);
    }
    Pieces removed = replacePieces(from, length, insertedPieces);
    m_redo.clear();

    Step *last = m_undo.empty() ? nullptr : &m_undo.back();
    const bool joinsTyping = m_typingOpen;
    m_typingOpen = typing && length == 0;
    if (typing && joinsTyping && length == 0 && last && last->removed.empty() &&
        !insertedPieces.empty() && last->from + last->insertedLength == from &&
        !last->inserted.empty() && last->inserted.back().added &&
        last->inserted.back().start + last->inserted.back().length == insertedPieces[0].start) {
        last->inserted.back().length += inserted.size();
        last->insertedLength += inserted.size();
        return true;
    }
    m_historyPieces += removed.size() + insertedPieces.size();
    m_undo.push_back({from, std::move(removed), std::move(insertedPieces), inserted.size()});
    keepHistoryBounded();
    if (m_added.size() > 2 * m_size + AddedSlack)
        startAfresh();
    return true;
}

// The text as it stands becomes the page, with no history; its rows stay as they are.
void PageText::startAfresh()
{
    takeAsPage(text());
}

void PageText::keepHistoryBounded()
{
    while (!m_undo.empty() && (m_undo.size() > StepsKept || m_historyPieces > PiecesKept)) {
        m_historyPieces -= m_undo.front().removed.size() + m_undo.front().inserted.size();
        m_undo.pop_front();
    }
}

// A step is kept as it was made; undo puts back what it took out, redo what it put in.
std::pair<qsizetype, qsizetype> PageText::undo()
{
    return replayLast(m_undo, m_redo, Direction::Backwards);
}

std::pair<qsizetype, qsizetype> PageText::redo()
{
    return replayLast(m_redo, m_undo, Direction::Forwards);
}

// Takes the last step of `from`, undoes it or makes it again, and hands it to `to`.
std::pair<qsizetype, qsizetype> PageText::replayLast(std::deque<Step> &from, std::deque<Step> &to,
                                                     Direction direction)
{
    m_typingOpen = false;
    if (from.empty())
        return {-1, -1};
    Step step = std::move(from.back());
    from.pop_back();
    const bool backwards = direction == Direction::Backwards;
    const Pieces &taken = backwards ? step.inserted : step.removed;
    const Pieces &given = backwards ? step.removed : step.inserted;
    replacePieces(step.from, lengthOf(taken), given);
    const std::pair<qsizetype, qsizetype> restored{step.from, step.from + lengthOf(given)};
    to.push_back(std::move(step));
    return restored;
}

QString PageText::firstLineBreak()
{
    for (qsizetype row = 1;; ++row) {
        indexRows(row + 1);
        if (row >= rowsKnown())
            return m_pageLineBreak.isEmpty() ? QStringLiteral("\n") : m_pageLineBreak;
        if (rowStartsLine(row)) {
            const qsizetype start = rowStart(row);
            if (at(start - 1) == u'\r')
                m_pageLineBreak = QStringLiteral("\r");
            else
                m_pageLineBreak =
                    at(start - 2) == u'\r' ? QStringLiteral("\r\n") : QStringLiteral("\n");
            return m_pageLineBreak;
        }
    }
}

// The first CR or LF in [from, to), or -1. A stretch known to hold none is skipped.
qsizetype PageText::findBreak(qsizetype from, qsizetype to) const
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
        const QStringView chunk = chunkAt(from);
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
qsizetype PageText::snapToWordEnd(qsizetype from, qsizetype to) const
{
    for (qsizetype p = from; p < to;) {
        const QStringView chunk = chunkAt(p - 1);
        const qsizetype length = std::min(chunk.size(), to - p);
        for (qsizetype i = 0; i < length; ++i) {
            if (endsWord(chunk[i].unicode()))
                return p + i;
        }
        p += length;
    }
    if (at(from - 1).isHighSurrogate() && at(from).isLowSurrogate())
        return from + 1;
    return from;
}

// The row after the one that starts at `row`, or NoRow when that one runs to the end.
std::uint32_t PageText::nextRow(std::uint32_t row) const
{
    const qsizetype start = row & PositionMask;
    const qsizetype limit = std::min(m_size, start + RowChars + SnapChars);
    const qsizetype lineBreak = findBreak(start, limit);
    if (lineBreak >= 0) {
        const bool crLf = at(lineBreak) == u'\r' && at(lineBreak + 1) == u'\n';
        return std::uint32_t(lineBreak + (crLf ? 2 : 1));
    }
    if (limit == m_size)
        return NoRow;
    const qsizetype cut = start + RowChars;
    return std::uint32_t(snapToWordEnd(cut, cut + SnapChars)) | ContinuationFlag;
}

bool PageText::indexSome(qint64 budgetMs)
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

void PageText::indexAll()
{
    while (!indexSome(1000)) {
    }
}

void PageText::indexRows(qsizetype rows)
{
    while (!m_indexedAll && rowsKnown() < rows) {
        const std::uint32_t next = nextRow(m_rows.back());
        if (next == NoRow)
            m_indexedAll = true;
        else
            m_rows.push_back(next);
    }
}

qsizetype PageText::rowEnd(qsizetype row) const
{
    std::uint32_t next =
        row + 1 < rowsKnown() ? m_rows[size_t(row + 1)] : nextRow(m_rows[size_t(row)]);
    if (next == NoRow)
        return m_size;
    qsizetype end = next & PositionMask;
    if (next & ContinuationFlag)
        return end;
    if (at(end - 1) == u'\n')
        --end;
    if (at(end - 1) == u'\r')
        --end;
    return end;
}

qsizetype PageText::rowAt(qsizetype position, bool preferEarlier)
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
void PageText::reindexAround(qsizetype from, qsizetype removed, qsizetype inserted)
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
                                       ? (m_indexedAll ? m_size : from + inserted)
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
