// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "linestarts.h"
#include "pagetext.h"

#include <QDeadlineTimer>
#include <QFont>

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

class QTextLayout;
class RowIndex;

// How the page box wraps its rows into screen lines, and where the screen lines of long
// rows start.
//
// A row is wrapped as Qt's plain text editor wraps a paragraph: greedily, breaking at
// word boundaries, or anywhere in a word too long for a line. A row of up to LongRowChars
// characters is laid out whole wherever it is shown. A longer one is wrapped a slice at a
// time from its start: greedy wrapping started at any screen line's start gives the same
// lines after it, so every line of a slice but the last is a true screen line, and the
// next slice starts where that last line does. The true lines are found in the idle time
// (wrapSome), the row on screen first. Far ahead of them, where the user jumps, lines are
// wrapped from a start guessed a little before; in running text they soon meet the true
// lines, and they give way to them once those arrive. After an edit, the lines are wrapped
// again from two before the one it touches until they meet the old ones.
class RowWrapping : private PageText::Listener
{
public:
    static constexpr qsizetype LongRowChars = 4096;
    // Whatever the text, one layout holds at most MaxLayoutChars characters, and a screen
    // line of a long row ends by the multiple of LayoutGridChars that far on; a grapheme
    // cluster longer than ClusterChars (a letter under thousands of accents) is shown, and
    // the caret moves through it, in pieces of that many. The text itself stays exact.
    static constexpr qsizetype LayoutGridChars = 1024;
    static constexpr qsizetype MaxLayoutChars = 2 * LayoutGridChars;
    static constexpr qsizetype ClusterChars = 32;

    // Screen-line starts of a long row, as offsets from the row's start. Lines [starts[i],
    // starts[i + 1]) are known; the last start is that of a line not wrapped yet, or, once
    // the chain is complete, the row's length.
    struct Chain
    {
        LineStarts starts;
        bool complete = false;
        bool forced = false; // some line ended where a layout had to, not where it wrapped

        bool covers(qsizetype offset) const;
        // The line that holds `offset`, which the chain covers; the row's end is on its last line.
        qsizetype lineOf(qsizetype offset) const;
        qsizetype knownLines() const { return qsizetype(starts.size()) - 1; }
    };
    // Told of the text (from, to) whose laid-out stretches no longer match the lines.
    using StretchesChanged = std::function<void(qsizetype from, qsizetype to)>;

    RowWrapping(PageText &text, RowIndex &rows, StretchesChanged stretchesChanged);
    ~RowWrapping();
    RowWrapping(const RowWrapping &) = delete;
    RowWrapping &operator=(const RowWrapping &) = delete;

    // The font and width of the lines; a change wraps every row anew.
    void setFormat(const QFont &font, qreal width);
    // Lays out a stretch of text into screen lines as every row is wrapped, in `direction`.
    void layOut(QTextLayout &layout, Qt::LayoutDirection direction);
    // The characters laid out so far: a measure of the work done, for tests.
    qint64 charactersLaidOut() const { return m_charactersLaidOut; }
    // The direction a row runs in: as a paragraph's in Qt's documents, that of its first
    // letter with a direction, or left to right when none comes early on.
    Qt::LayoutDirection directionOf(qsizetype row);

    // Whether a row is wrapped a slice at a time: it is longer than LongRowChars, or it
    // holds a grapheme cluster longer than ClusterChars.
    bool isLong(qsizetype row);
    // Where a layout that starts at a screen line's start, `from` in the row, must end.
    qsizetype layoutEnd(qsizetype row, qsizetype from);
    // The lines around `offset` in a long row: true lines, wrapped further when they are
    // near it, or else guessed ones.
    const Chain &linesAround(qsizetype row, qsizetype offset);
    // The true lines of a long row, wrapped as far as `offset` or the row's end.
    const Chain &trueLinesTo(qsizetype row, qsizetype offset);
    // For the scroll bar: which of a long row's screen lines starts at `offset`, and where
    // line `line` starts; estimated from the characters beyond the true lines.
    qsizetype lineIndex(qsizetype row, qsizetype offset);
    qsizetype lineOffset(qsizetype row, qsizetype line);

    // The idle work: finds true lines for about `budgetMs` milliseconds, in `firstRow`
    // first; returns whether every indexed long row is wrapped.
    bool wrapSome(qint64 budgetMs, qsizetype firstRow);
    // Whether a count of screen lines changed since last asked.
    bool takeCountsChanged();
    // After an edit, the stretch of text whose lines changed: before it and after it, the
    // lines of the row that held the edit are the old ones (moved by the edit after it).
    std::pair<qsizetype, qsizetype> editChanged() const { return m_editChanged; }

private:
    // The wrapping of a long row: true lines from its start, and, in order beyond them,
    // lines wrapped from guessed starts where the user looked further on.
    struct Wrap
    {
        qsizetype rowStart = 0;
        qsizetype length = 0;
        Qt::LayoutDirection direction = Qt::LeftToRight;
        Chain truth;
        std::vector<Chain> guesses;
    };

    void textReset() override;
    void textReplaced(qsizetype from, qsizetype removed, qsizetype inserted) override;

    void forgetAll();
    qsizetype rowLength(qsizetype row);
    Qt::LayoutDirection directionAt(qsizetype rowStart, qsizetype length) const;
    Wrap &wrapOf(qsizetype row);
    std::vector<std::unique_ptr<Wrap>>::iterator wrapsFrom(qsizetype rowStart);
    Wrap *findWrap(qsizetype rowStart);
    std::vector<qsizetype> wrapSlice(const Wrap &wrap, qsizetype from, qsizetype chars,
                                     bool &reachedEnd, bool &forced);
    qsizetype layoutEnd(qsizetype rowStart, qsizetype length, qsizetype from) const;
    bool holdsHugeCluster(qsizetype rowStart, qsizetype length);
    bool extendChain(Wrap &wrap, Chain &chain, std::size_t next, qsizetype chars);
    static void assertApart(const Wrap &wrap);
    void extendTruth(qsizetype row, Wrap &wrap, qsizetype chars);
    void extendGuess(Wrap &wrap, std::size_t index, qsizetype chars);
    bool reachGuess(Wrap &wrap, Chain &chain, std::size_t next, qsizetype start);
    void dropGuessesAfter(Wrap &wrap, std::size_t first);
    static std::size_t firstGuessAfter(const Wrap &wrap, qsizetype offset);
    const Chain &guessAround(Wrap &wrap, qsizetype offset);
    qsizetype anchorNear(const Wrap &wrap, qsizetype offset, qsizetype floor) const;
    void forgetStretches(const Wrap &wrap, qsizetype from, qsizetype to);
    std::pair<qsizetype, qsizetype> rewrapAfterEdit(Wrap &wrap, Chain &chain, qsizetype from,
                                                    qsizetype removed, qsizetype inserted);
    void countLines(qsizetype row, const Wrap &wrap);
    qsizetype estimateLines(qsizetype characters) const;

    const PageText &m_text;
    RowIndex &m_rows;
    StretchesChanged m_stretchesChanged;
    QFont m_font;
    qreal m_width = 1;
    qsizetype m_charactersPerLine = 80; // what an estimate of lines takes a line to hold

    std::vector<std::unique_ptr<Wrap>> m_wraps; // by the position their row starts at
    qsizetype m_idleRow = 0;                    // the long rows before it are wrapped
    double m_wrapNsPerChar = 150;               // what wrapping has been costing
    bool m_countsChanged = false;
    std::unordered_map<qsizetype, bool> m_hugeClusterRows; // short rows looked at, by start
    qint64 m_charactersLaidOut = 0;
    QDeadlineTimer m_idleDeadline = QDeadlineTimer::Forever; // when an idle slice must end
    std::pair<qsizetype, qsizetype> m_editChanged;
};
