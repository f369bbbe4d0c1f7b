// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagetext.h"

#include <cstddef>
#include <deque>
#include <utility>
#include <vector>

// Undo and redo for the page box's text. Every edit goes through the history, which keeps
// it as the pieces it took out and put in, so undo and redo give back exactly the
// characters they took, at the cost of a few words per edit.
//
// One user action is one step however many replacements it makes (a move by drag and
// drop, typing over a selection): between beginEditBlock() and endEditBlock() every
// replacement joins the same step. Typing joins the step of the typing just before it.
//
// The history is bounded: in steps and in pieces, both counted over the undo and the redo
// side, the oldest undo steps going first; and in the characters added beyond the text's
// own size, past which the text as it stands becomes the page and the history starts afresh.
class PageHistory : private PageText::Listener
{
public:
    static constexpr std::size_t StepsKept = 100000;
    static constexpr std::size_t PiecesKept = 1000000;

    explicit PageHistory(PageText &text);
    PageHistory(const PageHistory &) = delete;
    PageHistory &operator=(const PageHistory &) = delete;

    // Replaces `length` characters at `from`; `typing` lets the edit join the step of the
    // typing just before it. Returns false, changing nothing, when the text would grow
    // beyond PageText::MaxLength.
    bool replace(qsizetype from, qsizetype length, QStringView inserted, bool typing = false);
    // Blocks nest; the step ends with the outermost.
    void beginEditBlock();
    void endEditBlock();

    bool canUndo() const { return !m_undo.empty(); }
    bool canRedo() const { return !m_redo.empty(); }
    // Each returns the range that now holds what the step's first (for undo) or last (for
    // redo) replacement put back, or {-1, -1} when there was no step.
    std::pair<qsizetype, qsizetype> undo();
    std::pair<qsizetype, qsizetype> redo();
    void clear();

private:
    struct Replacement
    {
        qsizetype from;
        PageText::Pieces removed;
        PageText::Pieces inserted;
        qsizetype insertedLength;
    };
    struct Step
    {
        std::vector<Replacement> replacements;
        std::size_t pieces = 0; // over every replacement, taken out and put in
    };

    enum class Direction { Backwards, Forwards };

    void textReset() override;
    void textReplaced(qsizetype, qsizetype, qsizetype) override {}

    bool joinsTyping(const Replacement &edit) const;
    void record(Replacement edit);
    void dropRedo();
    void keepBounded();
    std::pair<qsizetype, qsizetype> replayLast(std::deque<Step> &from, std::deque<Step> &to,
                                               Direction direction);

    PageText &m_text;
    std::deque<Step> m_undo;
    std::deque<Step> m_redo;
    std::size_t m_pieces = 0; // over both sides
    int m_blockDepth = 0;
    bool m_blockHasStep = false; // the open block's step is the last undo step
    bool m_typingOpen = false;   // the last step was typing that more typing may join
};
