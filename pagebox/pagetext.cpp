// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagetext.h"

#include <algorithm>

void PageText::setText(const QString &text)
{
    takeAsPage(text);
    for (Listener *listener : m_listeners)
        listener->textReset();
}

// `page` becomes the whole text, in one piece.
void PageText::takeAsPage(const QString &page)
{
    m_original = page; // shared with the caller, not copied
    m_added = QString();
    m_pieces.clear();
    m_size = std::min(page.size(), MaxLength);
    if (m_size > 0)
        m_pieces.push_back({false, 0, m_size});
}

void PageText::compact()
{
    takeAsPage(text());
}

QString PageText::text() const
{
    if (m_pieces.empty())
        return QString();
    if (m_pieces.size() == 1 && !m_pieces.front().added && m_size == m_original.size())
        return m_original;
    QString whole;
    whole.reserve(m_size);
    for (const Piece &piece : m_pieces)
        whole.append(pieceText(piece));
    return whole;
}

QStringView PageText::pieceText(const Piece &piece) const
{
    return QStringView(piece.added ? m_added : m_original).sliced(piece.start, piece.length);
}

QStringView PageText::chunkAt(qsizetype position) const
{
    for (const Piece &piece : m_pieces) {
        if (position < piece.length)
            return pieceText(piece).sliced(position);
        position -= piece.length;
    }
    return {};
}

// Calls `visit` with each piece that holds some of the `length` characters from `from`: how
// many of its characters come before them, and how many of them it holds.
template <typename Visit>
void PageText::forEachPieceIn(qsizetype from, qsizetype length, Visit visit) const
{
    qsizetype skip = from;
    for (const Piece &piece : m_pieces) {
        if (length == 0)
            break;
        if (skip >= piece.length) {
            skip -= piece.length;
            continue;
        }
        const qsizetype taken = std::min(length, piece.length - skip);
        visit(piece, skip, taken);
        length -= taken;
        skip = 0;
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
    excerpt.m_page = m_original;
    forEachPieceIn(from, length, [&](const Piece &piece, qsizetype skip, qsizetype taken) {
        if (piece.added) {
            excerpt.m_pieces.push_back({true, excerpt.m_added.size(), taken});
            excerpt.m_added.append(pieceText(piece).sliced(skip, taken));
        } else {
            excerpt.m_pieces.push_back({false, piece.start + skip, taken});
        }
    });
    return excerpt;
}

QString PageText::Excerpt::text() const
{
    if (m_pieces.size() == 1 && !m_pieces.front().added && m_pieces.front().length == m_page.size())
        return m_page;
    QString text;
    text.reserve(lengthOf(m_pieces));
    for (const Piece &piece : m_pieces)
        text.append(QStringView(piece.added ? m_added : m_page).sliced(piece.start, piece.length));
    return text;
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

bool PageText::adjoins(const Piece &first, const Piece &second) const
{
    const auto start = [this](const Piece &piece) {
        return piece.added ? m_original.size() + piece.start : piece.start;
    };
    return start(first) + first.length == start(second);
}

// The heart of every edit, and of undo and redo.
PageText::Pieces PageText::replace(qsizetype from, qsizetype length, const Pieces &inserted)
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
    for (Listener *listener : m_listeners)
        listener->textReplaced(from, length, insertedLength);
    return removed;
}
