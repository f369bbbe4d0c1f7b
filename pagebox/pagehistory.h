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
// drop, an input method's event): between beginEditBlock() and endEditBlock() every
// replacement joins the same step. A run of typing, or of Backspace or Delete, is one step
// too: typing joins the step before it when that step's last characters were put in just
// before and were the last ones added, and deleting joins a step of deleting beside it whose
// characters came straight before or after, as in Qt's own text documents. A line break is
// a step of its own.
//
// The history is bounded: in steps and in pieces, both counted over the undo and the redo
// side, the oldest undo steps going first; and in the characters added beyond the text's
// own size, past which the text as it stands becomes the page and the history starts afresh.
class PageHistory
{
public:
    static constexpr std::size_t StepsKept = 100000;
    static constexpr std::size_t PiecesKept = 1000000;

    explicit PageHistory(PageText &text);
    PageHistory(const PageHistory &) = delete;
    PageHistory &operator=(const PageHistory &) = delete;

    // What a replacement is to the user, for the step it makes.
    enum class Run {
        None,     // a step of its own
        Typing,   // characters typed, which may continue the step before
        Deleting, // one character taken by Backspace or Delete, which may continue a run of them
    };

    // Replaces `length` characters at `from`. Returns false, changing nothing, when the text
    // would grow beyond PageText::MaxLength.
    bool replace(qsizetype from, qsizetype length, QStringView inserted, Run run = Run::None);
    // Blocks nest; the step ends with the outermost.
    void beginEditBlock();
    void endEditBlock();

    bool canUndo() const { return !m_undo.empty(); }
    bool canRedo() const { return !m_redo.empty(); }
    // Each returns the range that now holds what the step's first (for undo) or last (for
    // redo) replacement put back, or {-1, -1} when there was no step.
    std::pair<qsizetype, qsizetype> undo();
    std::pair<qsizetype, qsizetype> redo();
    // `page` becomes the whole text, with no steps to undo or redo.
    void setPage(const QString &page);

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
        bool deleting = false;  // a run of Backspace or Delete, which more of the run may join
    };

    enum class Direction { Backwards, Forwards };

    bool joinTyping(const Replacement &edit);
    bool joinDeleting(const Replacement &edit);
    void addPieces(PageText::Pieces &to, const PageText::Pieces &more, bool atFront);
    void record(Replacement edit, bool deleting);
    void dropSteps();
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
};
