// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "prefixsums.h"

#include <QtGlobal>

#include <cstdint>
#include <vector>

// Where the screen lines of a long row start, as offsets from the row's start, in rising
// order. A row of hundreds of MiB has millions of lines, and an edit in it moves every start
// after it: so the starts are kept in blocks of a few hundred, each counted from its own
// first start, with the blocks' sizes and the distances between their first starts in trees
// of sums. Finding a start by its place or by an offset, moving all the starts after one,
// and putting a few in place of a few others take time that grows with the logarithm of the
// number of lines and the size of a block, never with the row.
class LineStarts
{
public:
    LineStarts() = default;
    explicit LineStarts(qsizetype first) { push_back(first); }

    qsizetype size() const { return m_sizes.total(); }
    bool empty() const { return size() == 0; }
    qsizetype front() const
    {
        Q_ASSERT(!empty());
        return m_first;
    }
    qsizetype back() const
    {
        Q_ASSERT(!empty());
        return blockFirst(lastBlock()) + m_blocks.back().back();
    }
    qsizetype at(qsizetype index) const;
    // The place of the first start after `offset`, size() when none is.
    qsizetype upperBound(qsizetype offset) const;
    // The starts in [from, to).
    std::vector<qsizetype> slice(qsizetype from, qsizetype to) const;

    void push_back(qsizetype start);
    void clear();
    // Keeps the first `count` starts.
    void truncate(qsizetype count);
    // Moves the starts from place `from` on by `delta`; they must stay in order.
    void shift(qsizetype from, qsizetype delta);
    // Puts `starts` in place of those in [from, to); the whole must stay in order.
    void replace(qsizetype from, qsizetype to, const std::vector<qsizetype> &starts);
    // Adds the starts of `other` from place `from` on.
    void append(const LineStarts &other, qsizetype from);

private:
    // The block that holds place `index`, which must be below size().
    qsizetype blockOf(qsizetype index) const { return m_sizes.find(index); }
    qsizetype lastBlock() const { return qsizetype(m_blocks.size()) - 1; }
    qsizetype blockFirst(qsizetype block) const { return m_first + m_spans.before(block); }

    std::vector<std::vector<std::uint32_t>> m_blocks; // each from its first start, so [0] is 0
    PrefixSums m_sizes;                               // the starts in each block
    PrefixSums m_spans;    // from each block's first start to the next one's; the last one's 0
    qsizetype m_first = 0; // the first start
};
