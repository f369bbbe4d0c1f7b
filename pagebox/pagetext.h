// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

// The page box's text, exactly as it stands: the page as it came (shared, never copied),
// the characters the user added since, and a table of pieces of the two that spells out
// the current text. Line breaks (CR LF, CR, LF) and every other character are simply
// characters here; nothing is mapped or rebuilt.
//
// Beside the text stands an index of rows, the units the box lays out and scrolls by: a
// row is one line, or a piece of a very long line, of at most about RowChars characters.
// The index is built in slices (indexSome) so that a large page never holds up the window.
//
// Every edit is kept for undo as the pieces it took out and put in, so undo and redo give
// back exactly the characters they took, at the cost of a few words per edit. The history
// is bounded: in steps, in pieces, and in the characters added beyond the text's own size.
class PageText
{
public:
    // A line longer than this is shown as rows of this many characters and a little more,
    // each ending where a word may end when one is near.
    static constexpr qsizetype RowChars = 4096;
    // Texts are held and addressed with 31-bit positions, as in Qt's own text classes.
    static constexpr qsizetype MaxLength = 0x7fffffff - 2 * RowChars;

    void setText(const QString &text);
    QString text() const;
    qsizetype size() const { return m_size; }
    QString mid(qsizetype from, qsizetype length) const;
    QChar at(qsizetype position) const;

    // Replaces `length` characters at `from`; `typing` lets the edit join the undo step of
    // the typing just before it. Returns false, changing nothing, when the text would grow
    // beyond MaxLength.
    bool replace(qsizetype from, qsizetype length, QStringView inserted, bool typing = false);
    bool canUndo() const { return !m_undo.empty(); }
    bool canRedo() const { return !m_redo.empty(); }
    // Each returns the range that now holds what the step put back, or {-1, -1} for none.
    std::pair<qsizetype, qsizetype> undo();
    std::pair<qsizetype, qsizetype> redo();

    // The line break a typed line break copies: the text's first one; when the text has
    // none left, the first one it had; LF when it never had one.
    QString firstLineBreak();

    // Rows. Rows up to rowsKnown() are indexed; indexSome() goes on for about `budgetMs`
    // milliseconds and returns whether the whole text is indexed.
    bool indexSome(qint64 budgetMs);
    void indexAll();
    bool fullyIndexed() const { return m_indexedAll; }
    qsizetype rowsKnown() const { return qsizetype(m_rows.size()); }
    void indexRows(qsizetype rows); // indexes at least that many rows when the text has them
    qsizetype rowStart(qsizetype row) const { return m_rows[size_t(row)] & PositionMask; }
    bool rowStartsLine(qsizetype row) const { return !(m_rows[size_t(row)] & ContinuationFlag); }
    // Where the row's characters end, before the line break that closes it.
    qsizetype rowEnd(qsizetype row) const;
    // The row that holds `position`; at a boundary between a row and the piece of the same
    // line that follows, the later row unless `preferEarlier`. Indexes as far as needed.
    qsizetype rowAt(qsizetype position, bool preferEarlier = false);

private:
    struct Piece
    {
        bool added;
        qsizetype start;
        qsizetype length;
    };
    using Pieces = std::vector<Piece>;
    struct Step
    {
        qsizetype from;
        Pieces removed;
        Pieces inserted;
        qsizetype insertedLength;
    };

    enum class Direction { Backwards, Forwards };

    static constexpr std::uint32_t ContinuationFlag = 0x80000000u;
    static constexpr std::uint32_t PositionMask = 0x7fffffffu;

    QStringView pieceText(const Piece &piece) const;
    QStringView chunkAt(qsizetype position) const;
    qsizetype splitAt(qsizetype position);
    Pieces replacePieces(qsizetype from, qsizetype length, const Pieces &inserted);
    static qsizetype lengthOf(const Pieces &pieces);
    void keepHistoryBounded();
    std::pair<qsizetype, qsizetype> replayLast(std::deque<Step> &from, std::deque<Step> &to,
                                               Direction direction);
    void takeAsPage(const QString &page);
    void startAfresh();

    std::uint32_t nextRow(std::uint32_t row) const;
    qsizetype findBreak(qsizetype from, qsizetype to) const;
    qsizetype snapToWordEnd(qsizetype from, qsizetype to) const;
    void reindexAround(qsizetype from, qsizetype removed, qsizetype inserted);

    QString m_original;
    QString m_added;
    Pieces m_pieces;
    qsizetype m_size = 0;
    std::deque<Step> m_undo;
    std::deque<Step> m_redo;
    std::size_t m_historyPieces = 0;
    bool m_typingOpen = false; // the last step was typing that more typing may join
    QString m_pageLineBreak;   // the first line break the text was seen to have

    std::vector<std::uint32_t> m_rows; // row starts, ContinuationFlag on pieces of a line
    std::pair<qsizetype, qsizetype> m_breakFree{0, 0}; // known to hold no line break
    bool m_indexedAll = false;
};
