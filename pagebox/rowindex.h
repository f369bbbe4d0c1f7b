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
class RowIndex : private PageText::Listener
{
public:
    explicit RowIndex(PageText &text);
    RowIndex(const RowIndex &) = delete;
    RowIndex &operator=(const RowIndex &) = delete;

    // Rows up to rowsKnown() are indexed; indexSome() goes on for about `budgetMs`
    // milliseconds and returns whether the whole text is indexed.
    bool indexSome(qint64 budgetMs);
    void indexAll();
    bool fullyIndexed() const { return m_indexedAll; }
    qsizetype rowsKnown() const { return qsizetype(m_starts.size()); }
    void indexRows(qsizetype rows); // indexes at least that many rows when the text has them
    qsizetype rowStart(qsizetype row) const { return m_starts[size_t(row)]; }
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
    static constexpr qsizetype BlockRows = 1024;

    void textReset() override;
    void textReplaced(qsizetype from, qsizetype removed, qsizetype inserted) override;

    bool indexNext();
    qsizetype findBreak(qsizetype from, qsizetype to) const;
    qsizetype lineStartAfter(qsizetype lineBreak) const;
    bool isLineStart(qsizetype position) const;
    void truncateTo(qsizetype rows);
    qsizetype estimatedLines(qsizetype row) const;
    qsizetype countedRows() const;
    void sumBlock(qsizetype block);
    void settleBlocks();

    const PageText &m_text;
    std::vector<std::uint32_t> m_starts;
    std::vector<std::uint32_t> m_lines; // screen lines of each row, 0 where not counted
    qsizetype m_scanned = 0; // the text before here holds no line break after the last row's start
    bool m_indexedAll = false;
    QString m_pageLineBreak; // the first line break the text was ever seen to have

    qsizetype m_charactersPerLine = 80;
    std::vector<qsizetype> m_blockLines; // screen lines of each block of BlockRows rows
    qsizetype m_settledBlocks = 0;       // the blocks before this one are summed up
};
