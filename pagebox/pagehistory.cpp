// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagehistory.h"

#include <algorithm>

namespace {

// The added characters are kept for undo; past twice the text and this many besides, the
// text is taken as it stands and the history before it let go.
constexpr qsizetype AddedSlack = 16 * 1024 * 1024;

bool isLineBreak(QChar c)
{
    return c == u'\r' || c == u'\n';
}

bool holdsLineBreak(QStringView characters)
{
    return characters.contains(u'\r') || characters.contains(u'\n');
}

} // namespace

PageHistory::PageHistory(PageText &text)
    : m_text(text)
{}

void PageHistory::setPage(const QString &page)
{
    dropSteps();
    m_text.setText(page);
}

void PageHistory::dropSteps()
{
    m_undo.clear();
    m_redo.clear();
    m_pieces = 0;
    m_blockHasStep = false;
}

void PageHistory::beginEditBlock()
{
    if (m_blockDepth++ == 0)
        m_blockHasStep = false;
}

void PageHistory::endEditBlock()
{
    if (m_blockDepth > 0 && --m_blockDepth == 0)
        m_blockHasStep = false;
}

bool PageHistory::replace(qsizetype from, qsizetype length, QStringView inserted, Run run)
{
    from = std::clamp<qsizetype>(from, 0, m_text.size());
    length = std::clamp<qsizetype>(length, 0, m_text.size() - from);
    if (length == 0 && inserted.isEmpty())
        return true;
    if (m_text.size() - length + inserted.size() > PageText::MaxLength)
        return false;
    // A line break taken or typed is a step of its own, as a paragraph is in Qt's documents.
    const bool breakTaken = run == Run::Deleting && holdsLineBreak(m_text.mid(from, length));
    if (run == Run::Typing && (length > 0 || holdsLineBreak(inserted)))
        run = Run::None;
    if (run == Run::Deleting && (breakTaken || !inserted.isEmpty()))
        run = Run::None;

    Replacement edit{from, {}, m_text.add(inserted), inserted.size()};
    edit.removed = m_text.replace(from, length, edit.inserted);
    dropRedo();
    const bool joined =
        m_blockDepth == 0 && !m_undo.empty() &&
        ((run == Run::Typing && joinTyping(edit)) || (run == Run::Deleting && joinDeleting(edit)));
    if (joined)
        keepBounded();
    else
        record(std::move(edit), run == Run::Deleting && m_blockDepth == 0);
    if (m_text.addedSize() > 2 * m_text.size() + AddedSlack) {
        dropSteps();
        m_text.compact();
    }
    return true;
}

// Typing continues the last step when that step last put in characters that end where the
// typing starts, that were added just before the typed ones, and that end in no line break.
bool PageHistory::joinTyping(const Replacement &edit)
{
    Step &step = m_undo.back();
    Replacement &last = step.replacements.back();
    if (last.inserted.empty() || last.from + last.insertedLength != edit.from ||
        !m_text.adjoins(last.inserted.back(), edit.inserted.front()) ||
        isLineBreak(m_text.at(edit.from - 1)))
        return false;
    addPieces(last.inserted, edit.inserted, false);
    last.insertedLength += edit.insertedLength;
    return true;
}

// Backspace continues a run when the character it takes stood just before those the run
// took, Delete when it stood just after them; in the text as in the order the characters
// came.
bool PageHistory::joinDeleting(const Replacement &edit)
{
    Step &step = m_undo.back();
    if (!step.deleting)
        return false;
    Replacement &last = step.replacements.back();
    const qsizetype length = PageText::lengthOf(edit.removed);
    if (edit.from == last.from && m_text.adjoins(last.removed.back(), edit.removed.front())) {
        addPieces(last.removed, edit.removed, false);
        return true;
    }
    if (edit.from + length == last.from &&
        m_text.adjoins(edit.removed.back(), last.removed.front())) {
        addPieces(last.removed, edit.removed, true);
        last.from = edit.from;
        return true;
    }
    return false;
}

// Puts `more` at the end or the front of `to` (pieces of the last step), as one piece with
// its neighbour where they continue each other, and counts what that adds.
void PageHistory::addPieces(PageText::Pieces &to, const PageText::Pieces &more, bool atFront)
{
    const std::size_t before = to.size();
    PageText::Pieces joined = atFront ? more : to;
    for (const PageText::Piece &piece : atFront ? to : more) {
        if (!joined.empty() && joined.back().added == piece.added &&
            joined.back().start + joined.back().length == piece.start)
            joined.back().length += piece.length;
        else
            joined.push_back(piece);
    }
    to = std::move(joined);
    const std::size_t added = to.size() - before;
    m_undo.back().pieces += added;
    m_pieces += added;
}

void PageHistory::record(Replacement edit, bool deleting)
{
    const std::size_t pieces = edit.removed.size() + edit.inserted.size();
    if (m_blockDepth == 0 || !m_blockHasStep) {
        m_undo.emplace_back();
        m_blockHasStep = m_blockDepth > 0;
    }
    Step &step = m_undo.back();
    step.replacements.push_back(std::move(edit));
    step.pieces += pieces;
    step.deleting = deleting;
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
