// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagetext.h"

#include <algorithm>

namespace {

// Whether `pieces` spell `length` characters, none of them in an empty piece, and no two
// neighbours continue each other (they would have been made one).
[[maybe_unused]] bool addsUp(const PageText::Pieces &pieces, qsizetype length)
{
    for (size_t i = 0; i < pieces.size(); ++i) {
        const PageText::Piece &piece = pieces[i];
        if (piece.length <= 0 || piece.start < 0)
            return false;
        if (i > 0 && pieces[i - 1].added == piece.added &&
            pieces[i - 1].start + pieces[i - 1].length == piece.start)
            return false;
    }
    return PageText::lengthOf(pieces) == length;
}

} // namespace

PageText::PageText(qsizetype piecesPerBlock)
    : m_piecesPerBlock(std::max<qsizetype>(2, piecesPerBlock))
{}

void PageText::addListener(Listener *listener, Stage stage)
{
    const auto after = std::upper_bound(
        m_listeners.begin(), m_listeners.end(), stage,
        [](Stage added, const std::pair<Stage, Listener *> &other) { return added < other.first; });
    m_listeners.insert(after, {stage, listener});
}

void PageText::setText(const QString &text)
{
    takeAsPage(text);
    for (const auto &[stage, listener] : m_listeners)
        listener->textReset();
}

// `page` becomes the whole text, in one piece.
void PageText::takeAsPage(const QString &page)
{
    for (const std::weak_ptr<Excerpt::Characters> &held : m_excerpts) {
        if (const std::shared_ptr<Excerpt::Characters> characters = held.lock())
            characters->letGoOfPage();
    }
    m_excerpts.clear();
    m_lastPlace = {-1, 0, 0};
    m_original = page; // shared with the caller, not copied
    m_added = QString();
    m_blocks.clear();
    m_size = std::min(page.size(), MaxLength);
    if (m_size > 0)
        m_blocks.push_back({{false, 0, m_size}});
    m_blockLengths.assign(m_size > 0 ? std::vector<qsizetype>{m_size} : std::vector<qsizetype>{});
}

void PageText::compact()
{
    takeAsPage(text());
}

QString PageText::text() const
{
    if (m_blocks.empty())
        return QString();
    const Pieces &first = m_blocks.front();
    if (m_blocks.size() == 1 && first.size() == 1 && !first.front().added &&
        m_size == m_original.size())
        return m_original;
    QString whole;
    whole.reserve(m_size);
    for (const Pieces &block : m_blocks) {
        for (const Piece &piece : block)
            whole.append(pieceText(piece));
    }
    return whole;
}

QStringView PageText::pieceText(const Piece &piece) const
{
    return QStringView(piece.added ? m_added : m_original).sliced(piece.start, piece.length);
}

// The piece that holds `position`; past the last one for the end of the text.
PageText::Place PageText::placeOf(qsizetype position) const
{
    if (position < 0 || position >= m_size)
        return {qsizetype(m_blocks.size()), 0, m_size};
    const Place last = m_lastPlace;
    if (last.block >= 0 && position >= last.start &&
        position < last.start + m_blocks[size_t(last.block)][size_t(last.index)].length)
        return last;
    const qsizetype block = m_blockLengths.find(position);
    Q_ASSERT(block < qsizetype(m_blocks.size()));
    qsizetype start = m_blockLengths.before(block);
    const Pieces &pieces = m_blocks[size_t(block)];
    qsizetype index = 0;
    while (position >= start + pieces[size_t(index)].length)
        start += pieces[size_t(index++)].length;
    m_lastPlace = {block, index, start};
    return m_lastPlace;
}

QStringView PageText::chunkAt(qsizetype position) const
{
    const Place place = placeOf(position);
    if (place.block == qsizetype(m_blocks.size()))
        return {};
    return pieceText(m_blocks[size_t(place.block)][size_t(place.index)])
        .sliced(position - place.start);
}

// Calls `visit` with each piece that holds some of the `length` characters from `from`: how
// many of its characters come before them, and how many of them it holds.
template <typename Visit>
void PageText::forEachPieceIn(qsizetype from, qsizetype length, Visit visit) const
{
    if (length <= 0)
        return;
    const Place place = placeOf(from);
    qsizetype skip = from - place.start;
    qsizetype index = place.index;
    for (auto block = m_blocks.begin() + place.block; block != m_blocks.end() && length > 0;
         ++block, index = 0) {
        for (auto piece = block->begin() + index; piece != block->end() && length > 0; ++piece) {
            const qsizetype taken = std::min(length, piece->length - skip);
            visit(*piece, skip, taken);
            length -= taken;
            skip = 0;
        }
    }
}

QString PageText::mid(qsizetype from, qsizetype length) const
{
    from = std::clamp<qsizetype>(from, 0, m_size);
    length = std::clamp<qsizetype>(length, 0, m_size - from);
    if (length == m_size)
        return text(); // the page as it came is shared, not copied
    QString result;
    result.reserve(length);
    forEachPieceIn(from, length, [&](const Piece &piece, qsizetype skip, qsizetype taken) {
        result.append(pieceText(piece).sliced(skip, taken));
    });
    return result;
}

PageText::Excerpt PageText::excerpt(qsizetype from, qsizetype length) const
{
    from = std::clamp<qsizetype>(from, 0, m_size);
    length = std::clamp<qsizetype>(length, 0, m_size - from);
    Excerpt excerpt;
    Excerpt::Characters &characters = *excerpt.m_characters;
    bool sharesPage = false;
    forEachPieceIn(from, length, [&](const Piece &piece, qsizetype skip, qsizetype taken) {
        if (piece.added) {
            characters.pieces.push_back({true, characters.added.size(), taken});
            characters.added.append(pieceText(piece).sliced(skip, taken));
        } else {
            characters.pieces.push_back({false, piece.start + skip, taken});
            sharesPage = true;
        }
    });
    if (sharesPage) {
        characters.page = m_original;
        // The text tells the excerpts that share its page when it lets go of the page.
        std::erase_if(m_excerpts, [](const auto &held) { return held.expired(); });
        m_excerpts.push_back(excerpt.m_characters);
    }
    return excerpt;
}

QString PageText::Excerpt::text() const
{
    return m_characters->text();
}

QString PageText::Excerpt::Characters::text() const
{
    if (pieces.size() == 1 && !pieces.front().added && pieces.front().length == page.size())
        return page;
    QString text;
    text.reserve(lengthOf(pieces));
    for (const Piece &piece : pieces)
        text.append(QStringView(piece.added ? added : page).sliced(piece.start, piece.length));
    return text;
}

// The page is about to go: an excerpt of part of it keeps its own copy of those characters
// rather than the whole page. One of the whole page needs it all and keeps sharing it.
void PageText::Excerpt::Characters::letGoOfPage()
{
    qsizetype fromPage = 0;
    for (const Piece &piece : pieces)
        fromPage += piece.added ? 0 : piece.length;
    if (fromPage == 0 || fromPage == page.size())
        return;
    added = text();
    page = QString();
    pieces = {{true, 0, added.size()}};
}

QChar PageText::at(qsizetype position) const
{
    if (position < 0 || position >= m_size)
        return QChar();
    return chunkAt(position).front();
}

PageText::Pieces PageText::add(QStringView characters)
{
    if (characters.isEmpty())
        return {};
    const Piece piece{true, m_added.size(), characters.size()};
    m_added.append(characters);
    return {piece};
}

qsizetype PageText::lengthOf(const Pieces &pieces)
{
    qsizetype length = 0;
    for (const Piece &piece : pieces)
        length += piece.length;
    return length;
}

bool PageText::adjoins(const Piece &first, const Piece &second) const
{
    const auto start = [this](const Piece &piece) {
        return piece.added ? m_original.size() + piece.start : piece.start;
    };
    return start(first) + first.length == start(second);
}

// In `pieces`, the pieces for `length` characters at `from` give way to `inserted`; those
// taken out go to `removed`. Neighbours that continue each other become one piece again, so
// that typing and taking it back leave the table as small as it was.
void PageText::splice(Pieces &pieces, qsizetype from, qsizetype length, const Pieces &inserted,
                      Pieces &removed)
{
    // Makes a piece start at `position` and returns its index (the piece count at the end).
    const auto splitAt = [&pieces](qsizetype position) {
        qsizetype index = 0;
        for (; index < qsizetype(pieces.size()) && position > 0; ++index) {
            Piece &piece = pieces[size_t(index)];
            if (position < piece.length) {
                const Piece tail{piece.added, piece.start + position, piece.length - position};
                piece.length = position;
                pieces.insert(pieces.begin() + index + 1, tail);
                return index + 1;
            }
            position -= piece.length;
        }
        return index;
    };
    const qsizetype first = splitAt(from);
    const qsizetype last = splitAt(from + length);
    removed.assign(pieces.begin() + first, pieces.begin() + last);
    const auto at = pieces.erase(pieces.begin() + first, pieces.begin() + last);
    pieces.insert(at, inserted.begin(), inserted.end());

    Pieces merged;
    merged.reserve(pieces.size());
    for (const Piece &piece : pieces) {
        if (piece.length == 0)
            continue;
        if (!merged.empty() && merged.back().added == piece.added &&
            merged.back().start + merged.back().length == piece.start)
            merged.back().length += piece.length;
        else
            merged.push_back(piece);
    }
    pieces.swap(merged);
}

// `pieces` take the place of the `count` blocks from `first`, in as many blocks as before
// while each stays between half and twice the aim, otherwise in blocks of the aim.
void PageText::storeBlocks(qsizetype first, qsizetype count, Pieces pieces)
{
    const qsizetype total = qsizetype(pieces.size());
    qsizetype blocks = count;
    if (total < count * m_piecesPerBlock / 2 || total > count * m_piecesPerBlock * 2)
        blocks = (total + m_piecesPerBlock - 1) / m_piecesPerBlock;
    std::vector<Pieces> stored(static_cast<size_t>(blocks));
    std::vector<qsizetype> lengths(static_cast<size_t>(blocks));
    for (qsizetype block = 0; block < blocks; ++block) {
        const auto begin = pieces.begin() + total * block / blocks;
        const auto end = pieces.begin() + total * (block + 1) / blocks;
        stored[size_t(block)].assign(begin, end);
        lengths[size_t(block)] = lengthOf(stored[size_t(block)]);
        Q_ASSERT(!stored[size_t(block)].empty());
    }
    const auto at = m_blocks.erase(m_blocks.begin() + first, m_blocks.begin() + first + count);
    m_blocks.insert(at, std::make_move_iterator(stored.begin()),
                    std::make_move_iterator(stored.end()));
    m_blockLengths.replace(first, count, lengths);
}

// The heart of every edit, and of undo and redo. Only the blocks around the edit are
// touched: the one that holds its start, the one that holds its end, those between and a
// neighbour on each side, so that pieces that come to continue each other across a block's
// edge become one too.
PageText::Pieces PageText::replace(qsizetype from, qsizetype length, const Pieces &inserted)
{
    const qsizetype blocks = qsizetype(m_blocks.size());
    const qsizetype first = std::max<qsizetype>(0, std::min(placeOf(from).block, blocks - 1) - 1);
    const qsizetype last = std::min(placeOf(from + length).block + 1, blocks - 1);
    const qsizetype count = blocks == 0 ? 0 : last - first + 1;
    const qsizetype base = m_blockLengths.before(first);
    qsizetype gatheredLength = 0;
    Pieces pieces;
    for (qsizetype block = first; block < first + count; ++block) {
        pieces.insert(pieces.end(), m_blocks[size_t(block)].begin(), m_blocks[size_t(block)].end());
        gatheredLength += m_blockLengths.at(block);
    }
    Pieces removed;
    m_lastPlace = {-1, 0, 0};
    splice(pieces, from - base, length, inserted, removed);
    const qsizetype insertedLength = lengthOf(inserted);
    Q_ASSERT(lengthOf(removed) == length);
    Q_ASSERT(addsUp(pieces, gatheredLength - length + insertedLength));
    storeBlocks(first, count, std::move(pieces));

    m_size += insertedLength - length;
    Q_ASSERT(m_blockLengths.total() == m_size);
    for (const auto &[stage, listener] : m_listeners)
        listener->textReplaced(from, length, insertedLength);
    return removed;
}
