// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagehistory.h"

#include <algorithm>

namespace {

// The added characters are kept for undo; past twice the text and this many besides, the
// text is taken as it stands and the history before it let go.
constexpr qsizetype AddedSlack = 16 * 1024 * 1024;

} // namespace

PageHistory::PageHistory(PageText &text)
    : m_text(text)
{
    m_text.addListener(this);
}

void PageHistory::textReset()
{
    clear();
}

void PageHistory::clear()
{
    m_undo.clear();
    m_redo.clear();
    m_pieces = 0;
    m_blockHasStep = false;
    m_typingOpen = false;
}

void PageHistory::beginEditBlock()
{
    if (m_blockDepth++ == 0) {
        m_blockHasStep = false;
        m_typingOpen = false;
    }
}

void PageHistory::endEditBlock()
{
    if (m_blockDepth > 0 && --m_blockDepth == 0)
        m_blockHasStep = false;
}

bool PageHistory::replace(qsizetype from, qsizetype length, QStringView inserted, bool typing)
{
    from = std::clamp<qsizetype>(from, 0, m_text.size());
    length = std::clamp<qsizetype>(length, 0, m_text.size() - from);
    if (length == 0 && inserted.isEmpty())
        return true;
    if (m_text.size() - length + inserted.size() > PageText::MaxLength)
        return false;
    Replacement edit{from, {}, m_text.add(inserted), inserted.size()};
    edit.removed = m_text.replace(from, length, edit.inserted);
    dropRedo();

    const bool joins = typing && joinsTyping(edit);
    m_typingOpen = typing && length == 0 && m_blockDepth == 0;
    if (joins) {
        Replacement &last = m_undo.back().replacements.back();
        last.inserted.back().length += edit.insertedLength;
        last.insertedLength += edit.insertedLength;
        return true;
    }
    record(std::move(edit));
    if (m_text.addedSize() > 2 * m_text.size() + AddedSlack) {
        clear();
        m_text.compact();
    }
    return true;
}

// Typing that follows typing, outside any block, continues its step: the characters come
// straight after the last ones typed and were added straight after them.
bool PageHistory::joinsTyping(const Replacement &edit) const
{
    if (!m_typingOpen || m_blockDepth > 0 || m_undo.empty() || !edit.removed.empty() ||
        edit.inserted.empty() || m_undo.back().replacements.size() != 1)
        return false;
    const Replacement &last = m_undo.back().replacements.back();
    return last.removed.empty() && !last.inserted.empty() &&
           last.from + last.insertedLength == edit.from && last.inserted.back().added &&
           last.inserted.back().start + last.inserted.back().length == edit.inserted[0].start;
}

void PageHistory::record(Replacement edit)
{
    const std::size_t pieces = edit.removed.size() + edit.inserted.size();
    if (m_blockDepth == 0 || !m_blockHasStep) {
        m_undo.emplace_back();
        m_blockHasStep = m_blockDepth > 0;
    }
    Step &step = m_undo.back();
    step.replacements.push_back(std::move(edit));
    step.pieces += pieces;
    m_pieces += pieces;
    keepBounded();
}

// A new edit makes the undone steps unreachable; their pieces leave the count with them.
void PageHistory::dropRedo()
{
    for (const Step &step : m_redo)
        m_pieces -= step.pieces;
    m_redo.clear();
}

void PageHistory::keepBounded()
{
    while (!m_undo.empty() &&
           (m_undo.size() + m_redo.size() > StepsKept || m_pieces > PiecesKept)) {
        m_pieces -= m_undo.front().pieces;
        m_undo.pop_front();
        if (m_undo.empty())
            m_blockHasStep = false; // a block larger than the bound keeps none of its start
    }
}

std::pair<qsizetype, qsizetype> PageHistory::undo()
{
    return replayLast(m_undo, m_redo, Direction::Backwards);
}

std::pair<qsizetype, qsizetype> PageHistory::redo()
{
    return replayLast(m_redo, m_undo, Direction::Forwards);
}

// Takes the last step of `from`, undoes it or makes it again, and hands it to `to`.
// A step is kept as it was made; undo puts back what it took out, redo what it put in.
std::pair<qsizetype, qsizetype> PageHistory::replayLast(std::deque<Step> &from,
                                                        std::deque<Step> &to, Direction direction)
{
    m_typingOpen = false;
    m_blockHasStep = false;
    if (from.empty())
        return {-1, -1};
    Step step = std::move(from.back());
    from.pop_back();
    std::pair<qsizetype, qsizetype> restored{-1, -1};
    const auto replay = [this, &restored](const Replacement &edit, bool backwards) {
        const PageText::Pieces &taken = backwards ? edit.inserted : edit.removed;
        const PageText::Pieces &given = backwards ? edit.removed : edit.inserted;
        m_text.replace(edit.from, PageText::lengthOf(taken), given);
        restored = {edit.from, edit.from + PageText::lengthOf(given)};
    };
    if (direction == Direction::Backwards) {
        for (auto edit = step.replacements.rbegin(); edit != step.replacements.rend(); ++edit)
            replay(*edit, true);
    } else {
        for (const Replacement &edit : step.replacements)
            replay(edit, false);
    }
    to.push_back(std::move(step));
    return restored;
}
