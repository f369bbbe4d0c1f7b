// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagetext.h"

#include <cstdint>
#include <utility>
#include <vector>

// An index of the rows of a PageText, the units the box lays out and scrolls by: a row is
// one line, or a piece of a very long line, of at most about RowChars characters. The
// index is built in slices (indexSome) so that a large page never holds up the window, and
// follows every edit of the text by working the rows out again only around it.
class RowIndex : private PageText::Listener
{
public:
    // A line longer than this is shown as rows of this many characters and a little more,
    // each ending where a word may end when one is near.
    static constexpr qsizetype RowChars = 4096;

    explicit RowIndex(PageText &text);
    RowIndex(const RowIndex &) = delete;
    RowIndex &operator=(const RowIndex &) = delete;

    // Rows up to rowsKnown() are indexed; indexSome() goes on for about `budgetMs`
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

    // The line break a typed line break copies: the text's first one; when the text has
    // none left, the first one it was ever seen to have; LF when it never had one.
    QString firstLineBreak();

private:
    static constexpr std::uint32_t ContinuationFlag = 0x80000000u;
    static constexpr std::uint32_t PositionMask = 0x7fffffffu;

    void textReset() override;
    void textReplaced(qsizetype from, qsizetype removed, qsizetype inserted) override;

    std::uint32_t nextRow(std::uint32_t row) const;
    qsizetype findBreak(qsizetype from, qsizetype to) const;
    qsizetype snapToWordEnd(qsizetype from, qsizetype to) const;

    const PageText &m_text;
    std::vector<std::uint32_t> m_rows; // row starts, ContinuationFlag on pieces of a line
    std::pair<qsizetype, qsizetype> m_breakFree{0, 0}; // known to hold no line break
    bool m_indexedAll = false;
    QString m_pageLineBreak; // the first line break the text was ever seen to have
};
