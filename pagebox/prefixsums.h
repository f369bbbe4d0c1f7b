// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

#include <vector>

// A sequence of counts that answers, in logarithmic time, the sum of those before any of
// them and which of them a running sum falls in, and takes a change to one count in
// logarithmic time too, as does one more at the end. Putting a count in elsewhere, or
// taking one out, costs as many steps as there are counts, so it suits counts of blocks that
// seldom split or join. Counts are never negative.
class PrefixSums
{
public:
    void assign(std::vector<qsizetype> counts);
    qsizetype size() const { return qsizetype(m_counts.size()); }
    qsizetype at(qsizetype index) const { return m_counts[size_t(index)]; }

    void add(qsizetype index, qsizetype delta);
    void set(qsizetype index, qsizetype count) { add(index, count - at(index)); }
    void append(qsizetype count);
    // Keeps the first `count` counts.
    void truncate(qsizetype count);
    // Puts `counts` in place of the `length` counts from `index`.
    void replace(qsizetype index, qsizetype length, const std::vector<qsizetype> &counts);

    // The sum of the counts before `index`.
    qsizetype before(qsizetype index) const;
    qsizetype total() const { return m_total; }
    // The count that the running sum `sum` falls in: the index whose counts before it add up
    // to at most `sum`, and with it to more; size() when `sum` is the total or beyond.
    qsizetype find(qsizetype sum) const;

private:
    std::vector<qsizetype> m_counts;
    std::vector<qsizetype> m_tree; // m_tree[i - 1] sums the counts in (i - lowest bit of i, i]
    qsizetype m_total = 0;
};
