// SPDX-License-Identifier: GPL-3.0-or-later
#include "prefixsums.h"

#include <bit>
#include <numeric>

namespace {

qsizetype lowestBit(qsizetype i)
{
    return i & -i;
}

} // namespace

void PrefixSums::assign(std::vector<qsizetype> counts)
{
    m_counts = std::move(counts);
    m_tree = m_counts;
    const qsizetype n = size();
    for (qsizetype i = 1; i <= n; ++i) {
        Q_ASSERT(m_counts[size_t(i - 1)] >= 0);
        const qsizetype parent = i + lowestBit(i);
        if (parent <= n)
            m_tree[size_t(parent - 1)] += m_tree[size_t(i - 1)];
    }
    m_total = std::accumulate(m_counts.begin(), m_counts.end(), qsizetype(0));
}

void PrefixSums::add(qsizetype index, qsizetype delta)
{
    Q_ASSERT(index >= 0 && index < size() && m_counts[size_t(index)] + delta >= 0);
    m_counts[size_t(index)] += delta;
    m_total += delta;
    for (qsizetype i = index + 1; i <= size(); i += lowestBit(i))
        m_tree[size_t(i - 1)] += delta;
}

void PrefixSums::append(qsizetype count)
{
    Q_ASSERT(count >= 0);
    const qsizetype i = size() + 1;
    // The new node sums its own count and those of the nodes it covers before it.
    m_tree.push_back(count + before(i - 1) - before(i - lowestBit(i)));
    m_counts.push_back(count);
    m_total += count;
}

// A node of the tree sums counts at or before its own, so the nodes of those kept hold.
void PrefixSums::truncate(qsizetype count)
{
    if (count >= size())
        return;
    m_counts.resize(size_t(count));
    m_tree.resize(size_t(count));
    m_total = before(count);
}

void PrefixSums::replace(qsizetype index, qsizetype length, const std::vector<qsizetype> &counts)
{
    if (length == qsizetype(counts.size())) {
        for (qsizetype i = 0; i < length; ++i)
            set(index + i, counts[size_t(i)]);
        return;
    }
    std::vector<qsizetype> all = std::move(m_counts);
    const auto at = all.erase(all.begin() + index, all.begin() + index + length);
    all.insert(at, counts.begin(), counts.end());
    assign(std::move(all));
}

qsizetype PrefixSums::before(qsizetype index) const
{
    Q_ASSERT(index >= 0 && index <= size());
    qsizetype sum = 0;
    for (qsizetype i = index; i > 0; i -= lowestBit(i))
        sum += m_tree[size_t(i - 1)];
    return sum;
}

qsizetype PrefixSums::find(qsizetype sum) const
{
    qsizetype index = 0;
    for (qsizetype step = qsizetype(std::bit_floor(size_t(size()))); step > 0; step /= 2) {
        if (index + step <= size() && m_tree[size_t(index + step - 1)] <= sum) {
            index += step;
            sum -= m_tree[size_t(index - 1)];
        }
    }
    return index;
}
