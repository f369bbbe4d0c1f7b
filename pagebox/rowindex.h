// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagetext.h"

#include <cstdint>
#include <utility>
#include <vector>

// An index of the rows of a PageText: its lines, each ending at a line break (CR LF, CR or
// LF) or at the end of the text. The index is built in slices (indexSome) so that a large
// page never holds up the window, and follows every edit of the text by working the rows
// out again only around it.
//
// Beside each row it keeps how many screen lines the row takes, as the layouts last counted
// them; where they have not, an estimate from the row's length. From these it answers how
// many screen lines lie before a row, which the scroll bar counts in.
//
// The rows are kept in blocks of a few hundred, each with its rows, characters and screen
// lines summed up, so that an edit moves every later row by changing one sum, and finding a
// row, its start or its screen lines costs the same however many rows and edits there are.
class RowIndex : private PageText::Listener
{
public:
    // Blocks aim at this many rows; a test may ask for fewer.
    static constexpr qsizetype RowsPerBlock = 256;
    explicit RowIndex(PageText &text, qsizetype rowsPerBlock = RowsPerBlock);
    RowIndex(const RowIndex &) = delete;
    RowIndex &operator=(const RowIndex &) = delete;

    // Rows up to rowsKnown() are indexed; indexSome() goes on for about `budgetMs`
    // milliseconds and returns whether the whole text is indexed.
    bool indexSome(qint64 budgetMs);
    void indexAll();
    bool fullyIndexed() const { return m_indexedAll; }
    qsizetype rowsKnown() const { return m_blockRows.total(); }
    void indexRows(qsizetype rows); // indexes at least that many rows when the text has them
    qsizetype rowStart(qsizetype row) const;
    // Where the row's characters end, before the line break that closes it. Indexes as far
    // as needed.
    qsizetype rowEnd(qsizetype row);
    // The row that holds `position`. Indexes as far as needed.
    qsizetype rowAt(qsizetype position);

    // The line break a typed line break copies: the text's first one; when the text has
    // none left, the first one it was ever seen to have; LF when it never had one.
    QString firstLineBreak();

    // Screen lines. A row not counted yet is taken to fill lines of `charactersPerLine`.
    void setCharactersPerLine(qsizetype characters);
    void setScreenLines(qsizetype row, qsizetype lines);
    // Forgets every count, as when the width of the lines changes.
    void forgetScreenLines();
    qsizetype screenLines(qsizetype row);
    qsizetype screenLinesBefore(qsizetype row);
    qsizetype totalScreenLines();
    // The row that holds screen line `line`, and which of its lines that is.
    std::pair<qsizetype, qsizetype> rowOfScreenLine(qsizetype line);

private:
    // Rows in a row of blocks, the first row's start 0.
    struct Block
    {
        std::vector<std::uint32_t> starts; // of its rows, from the block's first row's start
        std::vector<std::uint32_t> lines;  // screen lines of its rows, 0 where not counted
    };
    // A row: its block, its place in the block, and the block's first row and start.
    struct Place
    {
        qsizetype block = -1;
        qsizetype index = 0;
        qsizetype firstRow = 0;
        qsizetype blockStart = 0;
    };

    void textReset() override;
    void textReplaced(qsizetype from, qsizetype removed, qsizetype inserted) override;

    bool indexNext();
    void appendRow(qsizetype start);
    qsizetype findBreak(qsizetype from, qsizetype to) const;
    qsizetype lineStartAfter(qsizetype lineBreak) const;
    bool isLineStart(qsizetype position) const;
    Place placeOf(qsizetype row) const;
    qsizetype lastRowFrom(qsizetype position) const;
    void replaceRows(qsizetype first, qsizetype end, const std::vector<std::uint32_t> &fresh,
                     qsizetype delta);
    void truncateTo(qsizetype rows);
    qsizetype rowLength(const Place &place) const;
    qsizetype estimate(const Place &place) const;
    qsizetype linesFor(qsizetype length) const;
    qsizetype estimatedLines(qsizetype row) const;
    qsizetype countedRows() const;
    qsizetype blockLines(qsizetype block) const;
    void settleLines();

    const PageText &m_text;
    const qsizetype m_rowsPerBlock;
    std::vector<Block> m_blocks; // never empty: the first row starts the text
    PrefixSums m_blockRows;      // the rows of each block
    PrefixSums m_blockChars;     // from each block's first row to the next block's; 0 for the last
    PrefixSums m_blockLines;     // the screen lines of each block's counted rows
    mutable Place m_lastPlace;   // the block last looked in, as rows are mostly read in turn
    qsizetype m_scanned = 0; // the text before here holds no line break after the last row's start
    bool m_indexedAll = false;
    QString m_pageLineBreak; // the first line break the text was ever seen to have

    qsizetype m_charactersPerLine = 80;
    bool m_linesSettled = false; // whether m_blockLines holds the sums, or is to sum them again
};
