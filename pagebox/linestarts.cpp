// SPDX-License-Identifier: GPL-3.0-or-later
#include "linestarts.h"

#include <algorithm>

namespace {

// Blocks aim at this many starts; one that an edit makes larger than twice that is cut up.
constexpr qsizetype BlockStarts = 256;

} // namespace

qsizetype LineStarts::at(qsizetype index) const
{
    Q_ASSERT(index >= 0 && index < size());
    const qsizetype block = blockOf(index);
    return blockFirst(block) + m_blocks[size_t(block)][size_t(index - m_sizes.before(block))];
}

qsizetype LineStarts::upperBound(qsizetype offset) const
{
    if (empty() || offset < m_first)
        return 0;
    // The block whose first start is the last at or before `offset` holds the answer's place,
    // or its end does.
    const qsizetype block = std::min(m_spans.find(offset - m_first), lastBlock());
    const std::vector<std::uint32_t> &starts = m_blocks[size_t(block)];
    const qsizetype within = offset - blockFirst(block);
    const auto after = std::upper_bound(
        starts.begin(), starts.end(), within,
        [](qsizetype value, std::uint32_t start) { return value < qsizetype(start); });
    return m_sizes.before(block) + (after - starts.begin());
}

std::vector<qsizetype> LineStarts::slice(qsizetype from, qsizetype to) const
{
    std::vector<qsizetype> starts;
    if (from >= to)
        return starts;
    Q_ASSERT(from >= 0 && to <= size());
    starts.reserve(size_t(to - from));
    qsizetype block = blockOf(from);
    qsizetype first = blockFirst(block);
    qsizetype index = from - m_sizes.before(block);
    while (qsizetype(starts.size()) < to - from) {
        const std::vector<std::uint32_t> &offsets = m_blocks[size_t(block)];
        if (index == qsizetype(offsets.size())) {
            first += m_spans.at(block);
            ++block;
            index = 0;
            continue;
        }
        starts.push_back(first + offsets[size_t(index++)]);
    }
    return starts;
}

void LineStarts::push_back(qsizetype start)
{
    if (m_blocks.empty()) {
        m_first = start;
    } else {
        Q_ASSERT(start >= back());
        const qsizetype last = lastBlock();
        const qsizetype first = blockFirst(last);
        if (qsizetype(m_blocks.back().size()) < BlockStarts) {
            m_blocks.back().push_back(std::uint32_t(start - first));
            m_sizes.add(last, 1);
            return;
        }
        m_spans.set(last, start - first);
    }
    m_blocks.push_back({0});
    m_sizes.append(1);
    m_spans.append(0);
}

void LineStarts::clear()
{
    m_blocks.clear();
    m_sizes.assign({});
    m_spans.assign({});
    m_first = 0;
}

void LineStarts::truncate(qsizetype count)
{
    if (count >= size())
        return;
    if (count <= 0) {
        clear();
        return;
    }
    const qsizetype block = blockOf(count - 1);
    const qsizetype kept = count - m_sizes.before(block);
    m_blocks[size_t(block)].resize(size_t(kept));
    m_blocks.resize(size_t(block + 1));
    m_sizes.truncate(block + 1);
    m_sizes.set(block, kept);
    m_spans.truncate(block + 1);
    m_spans.set(block, 0);
}

// Starts at the head of a block move with their block, by the span before it; others within
// it, and the span after it, take the move themselves.
void LineStarts::shift(qsizetype from, qsizetype delta)
{
    if (from >= size() || delta == 0)
        return;
    Q_ASSERT(from == 0 || at(from) + delta >= at(from - 1));
    const qsizetype block = blockOf(from);
    const qsizetype index = from - m_sizes.before(block);
    if (index == 0) {
        if (block == 0)
            m_first += delta;
        else
            m_spans.add(block - 1, delta);
        return;
    }
    std::vector<std::uint32_t> &offsets = m_blocks[size_t(block)];
    for (auto offset = offsets.begin() + index; offset != offsets.end(); ++offset)
        *offset = std::uint32_t(qsizetype(*offset) + delta);
    if (block < lastBlock())
        m_spans.add(block, delta);
}

// The blocks that hold [from, to) are made anew from their starts with `starts` in place,
// one block where they fit in twice the aim, else cut into blocks of about the aim.
void LineStarts::replace(qsizetype from, qsizetype to, const std::vector<qsizetype> &starts)
{
    Q_ASSERT(from >= 0 && from <= to && to <= size());
    if (from == to && starts.empty())
        return;
    if (empty()) {
        for (const qsizetype start : starts)
            push_back(start);
        return;
    }
    const qsizetype firstBlock = from < size() ? blockOf(from) : lastBlock();
    const qsizetype endBlock = std::max(firstBlock, to > from ? blockOf(to - 1) : firstBlock) + 1;
    const bool hasNext = endBlock <= lastBlock();
    const qsizetype nextFirst = hasNext ? blockFirst(endBlock) : 0;
    const qsizetype previousFirst = firstBlock > 0 ? blockFirst(firstBlock - 1) : 0;

    std::vector<qsizetype> merged = slice(m_sizes.before(firstBlock), from);
    merged.insert(merged.end(), starts.begin(), starts.end());
    const std::vector<qsizetype> after = slice(to, m_sizes.before(endBlock));
    merged.insert(merged.end(), after.begin(), after.end());
    Q_ASSERT(std::is_sorted(merged.begin(), merged.end()));

    const qsizetype count = qsizetype(merged.size());
    const qsizetype pieces = count == 0                 ? 0
                             : count <= 2 * BlockStarts ? 1
                                                        : (count + BlockStarts - 1) / BlockStarts;
    std::vector<std::vector<std::uint32_t>> blocks(static_cast<std::size_t>(pieces));
    std::vector<qsizetype> sizes(static_cast<std::size_t>(pieces));
    std::vector<qsizetype> spans(static_cast<std::size_t>(pieces));
    for (qsizetype piece = 0; piece < pieces; ++piece) {
        const qsizetype begin = count * piece / pieces;
        const qsizetype end = count * (piece + 1) / pieces;
        const qsizetype first = merged[size_t(begin)];
        for (qsizetype i = begin; i < end; ++i)
            blocks[size_t(piece)].push_back(std::uint32_t(merged[size_t(i)] - first));
        sizes[size_t(piece)] = end - begin;
        const qsizetype nextStart = end < count ? merged[size_t(end)] : hasNext ? nextFirst : first;
        spans[size_t(piece)] = nextStart - first;
    }
    // What follows the blocks before them: the first new start, or else the block after them.
    const qsizetype following = pieces > 0 ? merged.front() : nextFirst;
    if (pieces == 0 && !hasNext && firstBlock == 0) {
        clear();
        return;
    }
    m_blocks.erase(m_blocks.begin() + firstBlock, m_blocks.begin() + endBlock);
    m_blocks.insert(m_blocks.begin() + firstBlock, std::make_move_iterator(blocks.begin()),
                    std::make_move_iterator(blocks.end()));
    m_sizes.replace(firstBlock, endBlock - firstBlock, sizes);
    m_spans.replace(firstBlock, endBlock - firstBlock, spans);
    if (firstBlock == 0)
        m_first = following;
    else
        m_spans.set(firstBlock - 1, pieces == 0 && !hasNext ? 0 : following - previousFirst);
}

void LineStarts::append(const LineStarts &other, qsizetype from)
{
    for (const qsizetype start : other.slice(from, other.size()))
        push_back(start);
}
