// SPDX-License-Identifier: GPL-3.0-or-later
#include "rowwrapping.h"

#include "rowindex.h"

#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QScopeGuard>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr qreal TabStopDistance = 80;
// Lines beyond the true ones are wrapped at once up to this many characters ahead of them;
// further on, they are wrapped from a guessed start.
constexpr qsizetype NearChars = 16 * 1024;
// A guessed start lies this far before the place the user looks at, so that by there its
// lines have met the true ones.
constexpr qsizetype GuessLeadChars = 2048;
// As far as the screen lines of a page may hold, when the view goes up from a guess.
constexpr qsizetype ReachBackLeadChars = 16 * 1024;
// Where a screen line most likely starts: after a blank found within this many characters.
constexpr qsizetype AnchorSearchChars = 256;
// An edit this far beyond the known lines cannot move them.
constexpr qsizetype FarChars = 8192;
// After an edit, lines are wrapped again at once until they meet the old ones, in slices of
// RewrapSliceChars up to RewrapChars; what is left is wrapped again in the idle time.
constexpr qsizetype RewrapSliceChars = 4096;
constexpr qsizetype RewrapChars = 4096;
// Slices of wrapping in the idle time.
constexpr qsizetype MinSliceChars = 1024;
constexpr qsizetype MaxSliceChars = 64 * 1024;
// Rows wrapped from guessed starts keep at most this many of them.
constexpr std::size_t MaxGuesses = 4;
// A row's direction is that of its first letter with one, looked for this far.
constexpr qsizetype DirectionReach = 65536;

} // namespace

// --- Chains of screen-line starts -------------------------------------------------------

bool RowWrapping::Chain::covers(qsizetype offset) const
{
    return !starts.empty() && offset >= starts.front() &&
           (offset < starts.back() || (complete && offset == starts.back()));
}

// The line that holds `offset`, which the chain covers; the row's end is on its last line.
qsizetype RowWrapping::Chain::lineOf(qsizetype offset) const
{
    return std::clamp<qsizetype>(starts.upperBound(offset) - 1, 0, knownLines() - 1);
}

// --- Setting up -------------------------------------------------------------------------

RowWrapping::RowWrapping(PageText &text, RowIndex &rows, StretchesChanged stretchesChanged)
    : m_text(text)
    , m_rows(rows)
    , m_stretchesChanged(std::move(stretchesChanged))
{
    text.addListener(this, PageText::Stage::Wrapping);
}

RowWrapping::~RowWrapping() = default;

void RowWrapping::setFormat(const QFont &font, qreal width)
{
    m_font = font;
    m_width = std::max<qreal>(1, width);
    forgetAll();
}

// Every row wraps anew: the wrapped rows and the counts go.
void RowWrapping::forgetAll()
{
    m_wraps.clear();
    m_hugeClusterRows.clear();
    m_idleRow = 0;
    m_rows.forgetScreenLines();
    const qreal average = QFontMetricsF(m_font).averageCharWidth();
    m_charactersPerLine = std::max<qsizetype>(1, average > 0 ? qsizetype(m_width / average) : 80);
    m_rows.setCharactersPerLine(m_charactersPerLine);
    m_countsChanged = true;
}

void RowWrapping::textReset()
{
    forgetAll();
}

bool RowWrapping::takeCountsChanged()
{
    return std::exchange(m_countsChanged, false);
}

void RowWrapping::forgetStretches(const Wrap &wrap, qsizetype from, qsizetype to)
{
    m_stretchesChanged(wrap.rowStart + from, wrap.rowStart + to);
}

void RowWrapping::layOut(QTextLayout &layout, Qt::LayoutDirection direction)
{
    m_charactersLaidOut += layout.text().size();
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTabStopDistance(TabStopDistance);
    option.setTextDirection(direction);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLeadingIncluded(true);
        line.setLineWidth(m_width);
        line.setPosition(QPointF(0, y));
        y += line.height();
        if (line.leading() < 0)
            y += std::ceil(line.leading());
    }
    layout.endLayout();
}

qsizetype RowWrapping::rowLength(qsizetype row)
{
    return m_rows.rowEnd(row) - m_rows.rowStart(row);
}

Qt::LayoutDirection RowWrapping::directionOf(qsizetype row)
{
    if (Wrap *wrap = findWrap(m_rows.rowStart(row)))
        return wrap->direction;
    return directionAt(m_rows.rowStart(row), rowLength(row));
}

Qt::LayoutDirection RowWrapping::directionAt(qsizetype rowStart, qsizetype length) const
{
    const QString early = m_text.mid(rowStart, std::min(length, DirectionReach));
    return early.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
}

bool RowWrapping::isLong(qsizetype row)
{
    const qsizetype length = rowLength(row);
    return length > LongRowChars ||
           (length > ClusterChars && holdsHugeCluster(m_rows.rowStart(row), length));
}

qsizetype RowWrapping::layoutEnd(qsizetype row, qsizetype from)
{
    return layoutEnd(m_rows.rowStart(row), rowLength(row), from);
}

qsizetype RowWrapping::estimateLines(qsizetype characters) const
{
    return (std::max<qsizetype>(0, characters) + m_charactersPerLine - 1) / m_charactersPerLine;
}

// --- Following edits --------------------------------------------------------------------

// The long row that holds an edit wraps again around it when the edit stayed inside it;
// one that an edit split or joined starts afresh; those after it move.
void RowWrapping::textReplaced(qsizetype from, qsizetype removed, qsizetype inserted)
{
    const qsizetype delta = inserted - removed;
    m_countsChanged = true;
    m_hugeClusterRows.clear();
    m_editChanged = {0, std::numeric_limits<qsizetype>::max()};
    // The row that holds the edit starts where it did: nothing before it moved.
    const qsizetype row = m_rows.rowAt(from);
    const qsizetype rowStart = m_rows.rowStart(row);
    m_idleRow = std::min(m_idleRow, row);
    for (auto wrap = m_wraps.begin(); wrap != m_wraps.end();) {
        Wrap &w = **wrap;
        if (w.rowStart > from + removed) {
            w.rowStart += delta;
            ++wrap;
            continue;
        }
        if (w.rowStart < rowStart || w.rowStart + w.length < from) {
            ++wrap;
            continue;
        }
        const bool inside = w.rowStart == rowStart && from + removed <= w.rowStart + w.length &&
                            rowLength(row) == w.length + delta;
        if (inside && isLong(row)) {
            w.length += delta;
            if (from - rowStart < DirectionReach)
                w.direction = directionAt(w.rowStart, w.length);
            const qsizetype offset = from - rowStart;
            auto [changed, settled] = rewrapAfterEdit(w, w.truth, offset, removed, inserted);
            for (Chain &guess : w.guesses) {
                const auto [guessChanged, guessSettled] =
                    rewrapAfterEdit(w, guess, offset, removed, inserted);
                changed = std::min(changed, guessChanged);
                settled = std::max(settled, guessSettled);
            }
            m_editChanged = {rowStart + changed, rowStart + settled};
            std::erase_if(w.guesses, [](const Chain &guess) { return guess.starts.size() < 2; });
            countLines(row, w);
            ++wrap;
        } else {
            wrap = m_wraps.erase(wrap);
        }
    }
}

// After an edit at `from` (from the row's start) inside a wrapped row: the lines from two
// before the one that holds the edit are wrapped again until they meet the old ones, which
// from there on only move by the edit's change in length. Lines not met within reach are
// let go, to be wrapped again later. Returns where (from the row's start) the chain's lines
// changed and where they are the old ones again, moved: the stretches laid out before the
// first and after the second still hold.
std::pair<qsizetype, qsizetype> RowWrapping::rewrapAfterEdit(Wrap &wrap, Chain &chain,
                                                             qsizetype from, qsizetype removed,
                                                             qsizetype inserted)
{
    const qsizetype delta = inserted - removed;
    LineStarts &starts = chain.starts;
    // Lines ended by force end on multiples of LayoutGridChars from the row's start: moved by
    // any other length, they are not the lines the text now has.
    const bool moveKeepsLines = !chain.forced || delta % LayoutGridChars == 0;
    if (from + removed < starts.front() && !moveKeepsLines) {
        starts.clear();
        return {from, wrap.length};
    }
    if (from + removed < starts.front()) { // an edit before a guessed start moves it
        starts.shift(0, delta);
        return {from, from};
    }
    if (from < starts.front()) { // the guessed start is gone
        starts.clear();
        return {from, wrap.length};
    }
    // The lines whose ends may have depended on what changed start from here on: two lines
    // before it, or, where lines ended by force, any whose layout reached it.
    const auto firstTouched = [&](qsizetype line) {
        qsizetype first = std::max<qsizetype>(0, line - 2);
        if (chain.forced) {
            const qsizetype reach =
                std::max<qsizetype>(0, from - (MaxLayoutChars + ClusterChars + 1));
            first = std::min(first, std::max<qsizetype>(0, starts.upperBound(reach) - 1));
        }
        return first;
    };
    if (!chain.complete && from >= starts.back()) {
        if (from >= starts.back() + FarChars)
            return {from, from};
        starts.truncate(firstTouched(starts.size() - 1) + 1);
        return {starts.back(), from};
    }
    const bool wasComplete = chain.complete;
    const qsizetype restart = firstTouched(starts.upperBound(from) - 1);
    const qsizetype changed = starts.at(restart);
    // The old lines from two before the edit to its end go; those after it move by it and
    // stay where they are, for the new lines to meet (the row's end, though, starts no line).
    starts.replace(restart + 1, std::max(restart + 1, starts.upperBound(from + removed - 1)), {});
    starts.shift(restart + 1, delta);
    const qsizetype oldEnd = starts.size() - (wasComplete ? 1 : 0);
    chain.complete = false;

    std::vector<qsizetype> fresh;
    qsizetype reached = changed;
    for (qsizetype wrapped = 0; wrapped < RewrapChars;) {
        bool reachedEnd = false;
        const qsizetype sliceFrom = reached;
        for (const qsizetype start :
             wrapSlice(wrap, sliceFrom, RewrapSliceChars, reachedEnd, chain.forced)) {
            if (start >= from + inserted && moveKeepsLines) {
                const qsizetype met = starts.upperBound(start) - 1;
                if (met > restart && met < oldEnd && starts.at(met) == start) {
                    starts.replace(restart + 1, met, fresh);
                    chain.complete = wasComplete;
                    return {changed, start};
                }
            }
            fresh.push_back(start);
            reached = start;
        }
        if (reachedEnd) {
            fresh.push_back(wrap.length);
            starts.replace(restart + 1, starts.size(), fresh);
            chain.complete = true;
            return {changed, wrap.length};
        }
        wrapped += reached - sliceFrom;
    }
    starts.replace(restart + 1, starts.size(), fresh);
    return {changed, wrap.length};
}

// --- Wrapping long rows -----------------------------------------------------------------

// The first wrapped row that starts at or after `rowStart`.
std::vector<std::unique_ptr<RowWrapping::Wrap>>::iterator RowWrapping::wrapsFrom(qsizetype rowStart)
{
    return std::lower_bound(
        m_wraps.begin(), m_wraps.end(), rowStart,
        [](const std::unique_ptr<Wrap> &wrap, qsizetype start) { return wrap->rowStart < start; });
}

RowWrapping::Wrap *RowWrapping::findWrap(qsizetype rowStart)
{
    const auto at = wrapsFrom(rowStart);
    return at != m_wraps.end() && (*at)->rowStart == rowStart ? at->get() : nullptr;
}

RowWrapping::Wrap &RowWrapping::wrapOf(qsizetype row)
{
    const qsizetype rowStart = m_rows.rowStart(row);
    if (Wrap *known = findWrap(rowStart))
        return *known;
    auto wrap = std::make_unique<Wrap>();
    wrap->rowStart = rowStart;
    wrap->length = rowLength(row);
    wrap->direction = directionAt(rowStart, wrap->length);
    wrap->truth.starts = LineStarts(0);
    return **m_wraps.insert(wrapsFrom(rowStart), std::move(wrap));
}

// Wraps the row's characters from `from` (a screen line's start) for about `chars`
// characters, and returns where the lines after the first start: every line of the slice
// but the last is a true screen line, and the last one's start is where the next slice
// begins. A slice that reaches the row's end gives every line. It is laid out a piece at a
// time, each as layoutEnd allows from the line it starts at; `forced` is set where a line
// ended at such a piece's end.
std::vector<qsizetype> RowWrapping::wrapSlice(const Wrap &wrap, qsizetype from, qsizetype chars,
                                              bool &reachedEnd, bool &forced)
{
    QElapsedTimer clock;
    clock.start();
    std::vector<qsizetype> starts;
    qsizetype at = from;
    do {
        const qsizetype end = layoutEnd(wrap.rowStart, wrap.length, at);
        QTextLayout layout(m_text.mid(wrap.rowStart + at, end - at), m_font);
        layOut(layout, wrap.direction);
        reachedEnd = end >= wrap.length;
        const int lines = layout.lineCount();
        for (int i = 1; i < lines; ++i)
            starts.push_back(at + layout.lineAt(i).textStart());
        // One line that holds all the piece ends there, however much more would fit.
        if (lines < 2 && !reachedEnd) {
            starts.push_back(end);
            forced = true;
        }
        if (!reachedEnd)
            at = starts.back();
    } while (!reachedEnd && at - from < chars && !m_idleDeadline.hasExpired());
    if (at > from)
        m_wrapNsPerChar =
            0.7 * m_wrapNsPerChar + 0.3 * double(clock.nsecsElapsed()) / double(at - from);
    return starts;
}

// Where a layout that starts at `from` (from the row's start), a screen line's start, must
// end, so that its work stays bounded whatever the text: at the last grapheme boundary
// before the first multiple of LayoutGridChars at least LayoutGridChars on (room for any
// screen line of ordinary text); before the first grapheme cluster longer than
// ClusterChars; or, inside one, at the next multiple of ClusterChars, so that such a
// cluster is shown in pieces. A line that all of a layout fits in (characters without
// width, a long cluster's piece) ends there: from a multiple on, a run without width is
// shown LayoutGridChars characters a line, which keeps a repaint's layouts small. The ends
// depend only on the text and on where the row starts, and the lines from different starts
// soon meet on the multiples, as a guess must meet the true lines.
qsizetype RowWrapping::layoutEnd(qsizetype rowStart, qsizetype length, qsizetype from) const
{
    const qsizetype gridEnd = (from + 2 * LayoutGridChars - 1) / LayoutGridChars * LayoutGridChars;
    const qsizetype reach = std::min(length, gridEnd) - from;
    const auto pieceEnd = [&] {
        qsizetype end = std::min(length, (from / ClusterChars + 1) * ClusterChars);
        if (end < length && m_text.at(rowStart + end - 1).isHighSurrogate() &&
            m_text.at(rowStart + end).isLowSurrogate())
            ++end;
        return end;
    };
    // A cluster that goes on beyond ClusterChars from here is seen at once.
    const qsizetype glance = std::min(length - from, ClusterChars + 1);
    QTextBoundaryFinder first(QTextBoundaryFinder::Grapheme, m_text.mid(rowStart + from, glance));
    if (glance > ClusterChars && first.toNextBoundary() > ClusterChars)
        return pieceEnd();
    // The window reaches a cluster's length beyond `reach`, so that a boundary up to there
    // is one in the text too.
    const qsizetype window = std::min(length - from, reach + ClusterChars + 1);
    const QString text = m_text.mid(rowStart + from, window);
    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, text);
    qsizetype last = 0;
    for (qsizetype next = clusters.toNextBoundary(); next > 0; next = clusters.toNextBoundary()) {
        if (next - last > ClusterChars)
            return last > 0 ? from + last : pieceEnd();
        if (next > reach || (next == window && window < length - from))
            break;
        last = next;
    }
    if (reach == length - from)
        return length;
    return last > 0 ? from + last : pieceEnd();
}

// Whether a row holds a grapheme cluster longer than ClusterChars: such a row is wrapped as
// a long one, its clusters shown in pieces.
bool RowWrapping::holdsHugeCluster(qsizetype rowStart, qsizetype length)
{
    const auto known = m_hugeClusterRows.find(rowStart);
    if (known != m_hugeClusterRows.end())
        return known->second;
    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, m_text.mid(rowStart, length));
    bool huge = false;
    for (qsizetype last = 0, next = clusters.toNextBoundary(); next > 0 && !huge;
         last = next, next = clusters.toNextBoundary())
        huge = next - last > ClusterChars;
    m_hugeClusterRows.emplace(rowStart, huge);
    return huge;
}

// Lines wrapped into the range of the guess at `next` have reached `start`. Where the
// guess has a line start there too, the lines are the same from there on: the chain takes
// over the guess's lines and the guess goes. Otherwise the guess keeps only its lines after
// `start`, so that chains never overlap. Returns whether they met.
bool RowWrapping::reachGuess(Wrap &wrap, Chain &chain, std::size_t next, qsizetype start)
{
    Chain &guess = wrap.guesses[next];
    const qsizetype lineStarts = guess.starts.size() - (guess.complete ? 1 : 0);
    const qsizetype met = std::min(guess.starts.upperBound(start), lineStarts);
    const bool meets = met > 0 && guess.starts.at(met - 1) == start;
    if (meets) {
        forgetStretches(wrap, guess.starts.front(), start);
        chain.starts.append(guess.starts, met - 1);
        chain.complete = guess.complete;
        chain.forced = chain.forced || guess.forced;
    } else {
        const qsizetype kept = met == lineStarts ? wrap.length : guess.starts.at(met);
        forgetStretches(wrap, guess.starts.front(), kept - 1);
        guess.starts.replace(0, met, {});
        if (guess.knownLines() >= 1)
            return false;
    }
    wrap.guesses.erase(wrap.guesses.begin() + std::ptrdiff_t(next));
    return meets;
}

// A chain that reached the row's end leaves no room for guesses after it.
void RowWrapping::dropGuessesAfter(Wrap &wrap, std::size_t first)
{
    for (std::size_t guess = first; guess < wrap.guesses.size(); ++guess)
        forgetStretches(wrap, wrap.guesses[guess].starts.front(), wrap.length);
    wrap.guesses.resize(std::min(first, wrap.guesses.size()));
}

// Wraps about `chars` characters on from the chain's last start, or up to the guess at
// `next`, and adds their lines to the chain; lines that reach that guess take it over where
// they meet it (reachGuess).
// Returns whether they met.
bool RowWrapping::extendChain(Wrap &wrap, Chain &chain, std::size_t next, qsizetype chars)
{
    // Lines that reach a guess may meet it straight after its start: no more is wrapped at once.
    if (next < wrap.guesses.size())
        chars =
            std::min<qsizetype>(chars, wrap.guesses[next].starts.front() - chain.starts.back() + 1);
    bool reachedEnd = false;
    const auto fresh = wrapSlice(wrap, chain.starts.back(), chars, reachedEnd, chain.forced);
    for (const qsizetype start : fresh) {
        while (next < wrap.guesses.size() && start >= wrap.guesses[next].starts.front()) {
            if (reachGuess(wrap, chain, next, start))
                return true;
        }
        chain.starts.push_back(start);
    }
    if (reachedEnd) {
        chain.starts.push_back(wrap.length);
        chain.complete = true;
        dropGuessesAfter(wrap, next);
    }
    return false;
}

// Finds the next true lines of a long row, taking over guessed ones where they meet.
void RowWrapping::extendTruth(qsizetype row, Wrap &wrap, qsizetype chars)
{
    if (wrap.truth.complete)
        return;
    extendChain(wrap, wrap.truth, 0, chars);
    assertApart(wrap);
    countLines(row, wrap);
}

void RowWrapping::extendGuess(Wrap &wrap, std::size_t index, qsizetype chars)
{
    extendChain(wrap, wrap.guesses[index], index + 1, chars);
    assertApart(wrap);
}

// The chains of a row never overlap: the true lines, then each guess, in order, each
// ending at or before the next one starts, and none after one that reached the row's end.
void RowWrapping::assertApart(const Wrap &wrap)
{
#ifndef QT_NO_DEBUG
    qsizetype end = 0;
    bool complete = false;
    for (std::size_t i = 0; i <= wrap.guesses.size(); ++i) {
        const Chain &chain = i == 0 ? wrap.truth : wrap.guesses[i - 1];
        Q_ASSERT(!complete);
        Q_ASSERT(!chain.starts.empty() && chain.starts.front() >= end);
        Q_ASSERT(chain.starts.back() <= wrap.length);
        Q_ASSERT(chain.starts.front() <= chain.starts.back());
        end = chain.starts.back();
        complete = chain.complete;
    }
#else
    Q_UNUSED(wrap);
#endif
}

// A likely screen-line start at or before `offset` and not before `floor`: just after a blank.
qsizetype RowWrapping::anchorNear(const Wrap &wrap, qsizetype offset, qsizetype floor) const
{
    offset = std::clamp(offset, floor, std::max(floor, wrap.length - 1));
    const qsizetype from = std::max(floor, offset - AnchorSearchChars);
    const QString window = m_text.mid(wrap.rowStart + from, offset - from + 1);
    for (qsizetype i = window.size() - 1; i > 0; --i) {
        if (window[i - 1].isSpace() && !window[i].isSpace())
            return from + i;
    }
    if (offset > floor && m_text.at(wrap.rowStart + offset).isLowSurrogate())
        --offset;
    return offset;
}

const RowWrapping::Chain &RowWrapping::linesAround(qsizetype row, qsizetype offset)
{
    Wrap &wrap = wrapOf(row);
    offset = std::clamp<qsizetype>(offset, 0, wrap.length);
    Chain &truth = wrap.truth;
    if (truth.covers(offset))
        return truth;
    for (const Chain &guess : wrap.guesses) {
        if (guess.covers(offset))
            return guess;
    }
    // Near the lines known, only as much is wrapped as reaches `offset`.
    if (offset - truth.starts.back() <= NearChars) {
        while (!truth.covers(offset) && !truth.complete)
            extendTruth(row, wrap, offset - truth.starts.back() + 1);
        return truth;
    }
    const std::size_t after = firstGuessAfter(wrap, offset);
    if (after > 0) {
        const std::size_t before = after - 1;
        if (!wrap.guesses[before].complete &&
            offset - wrap.guesses[before].starts.back() <= NearChars) {
            Chain &guess = wrap.guesses[before];
            while (!guess.covers(offset) && !guess.complete)
                extendGuess(wrap, before, offset - guess.starts.back() + 1);
            return wrap.guesses[before];
        }
    }
    const Chain &guess = guessAround(wrap, offset);
    countLines(row, wrap);
    return guess;
}

// The first of a row's guesses that starts after `offset`, or how many there are.
std::size_t RowWrapping::firstGuessAfter(const Wrap &wrap, qsizetype offset)
{
    const auto after = std::upper_bound(
        wrap.guesses.begin(), wrap.guesses.end(), offset,
        [](qsizetype at, const Chain &guess) { return at < guess.starts.front(); });
    return std::size_t(after - wrap.guesses.begin());
}

// Lines wrapped from a start guessed a little before `offset`. Reaching back from a guess
// that starts a little after it, they are wrapped until they meet that one and join it.
const RowWrapping::Chain &RowWrapping::guessAround(Wrap &wrap, qsizetype offset)
{
    std::vector<Chain> &guesses = wrap.guesses;
    std::size_t next = firstGuessAfter(wrap, offset);
    qsizetype floor = wrap.truth.starts.back() + 1;
    if (next > 0)
        floor = std::max<qsizetype>(floor, guesses[next - 1].starts.back() + 1);
    const bool reachingBack =
        next < guesses.size() && guesses[next].starts.front() - offset <= NearChars;
    // Reaching back, the view goes up line by line: the guess starts a screen's lines before.
    const qsizetype lead = reachingBack ? ReachBackLeadChars : GuessLeadChars;
    Chain fresh;
    fresh.starts = LineStarts(anchorNear(wrap, offset - lead, floor));
    // Reaching back, the new lines are wrapped on to meet the guess after them, but only
    // for a while: one that never meets it (a run of letters) would take them through it all.
    const auto wanted = [&] {
        return !fresh.covers(offset) || (reachingBack && next < guesses.size() &&
                                         fresh.starts.back() <= guesses[next].starts.front() &&
                                         fresh.starts.back() - offset <= 2 * NearChars);
    };
    while (!fresh.complete && wanted()) {
        if (extendChain(wrap, fresh, next, NearChars)) {
            guesses.insert(guesses.begin() + std::ptrdiff_t(next), std::move(fresh));
            assertApart(wrap);
            return guesses[next];
        }
    }
    guesses.insert(guesses.begin() + std::ptrdiff_t(next), std::move(fresh));
    // Only a few guesses are kept: the one farthest from where the user looks goes.
    if (guesses.size() > MaxGuesses) {
        const auto distance = [offset](const Chain &guess) {
            return std::abs(offset - guess.starts.front());
        };
        std::size_t farthest = next == 0 ? 1 : 0;
        for (std::size_t i = 0; i < guesses.size(); ++i) {
            if (i != next && distance(guesses[i]) > distance(guesses[farthest]))
                farthest = i;
        }
        forgetStretches(wrap, guesses[farthest].starts.front(), guesses[farthest].starts.back());
        guesses.erase(guesses.begin() + std::ptrdiff_t(farthest));
        if (farthest < next)
            --next;
    }
    return guesses[next];
}

// The row's screen lines for the scroll bar: those known, and an estimate for the rest.
void RowWrapping::countLines(qsizetype row, const Wrap &wrap)
{
    const Chain &truth = wrap.truth;
    const qsizetype lines = truth.knownLines() +
                            (truth.complete ? 0 : estimateLines(wrap.length - truth.starts.back()));
    if (m_rows.screenLines(row) != lines) {
        m_rows.setScreenLines(row, lines);
        m_countsChanged = true;
    }
}

const RowWrapping::Chain &RowWrapping::trueLinesTo(qsizetype row, qsizetype offset)
{
    Wrap &wrap = wrapOf(row);
    while (!wrap.truth.complete && wrap.truth.starts.back() < offset)
        extendTruth(row, wrap, MaxSliceChars);
    return wrap.truth;
}

qsizetype RowWrapping::lineIndex(qsizetype row, qsizetype offset)
{
    const Wrap &wrap = wrapOf(row);
    const Chain &truth = wrap.truth;
    if (truth.covers(offset))
        return truth.lineOf(offset);
    for (const Chain &guess : wrap.guesses) {
        if (guess.covers(offset))
            return truth.knownLines() + estimateLines(guess.starts.front() - truth.starts.back()) +
                   guess.lineOf(offset);
    }
    return truth.knownLines() + estimateLines(offset - truth.starts.back());
}

qsizetype RowWrapping::lineOffset(qsizetype row, qsizetype line)
{
    const Wrap &wrap = wrapOf(row);
    const Chain &truth = wrap.truth;
    if (line < truth.knownLines())
        return truth.starts.at(std::max<qsizetype>(0, line));
    // Beyond the true lines, as far on in characters as the estimate of lines counts.
    const qsizetype beyond = (line - truth.knownLines()) * m_charactersPerLine;
    return std::min(truth.starts.back() + beyond, wrap.length);
}

bool RowWrapping::wrapSome(qint64 budgetMs, qsizetype firstRow)
{
    QElapsedTimer clock;
    clock.start();
    // A slice ends with the layout that passes the budget, whatever it cost per character.
    m_idleDeadline.setRemainingTime(budgetMs);
    const auto endOfSlice = qScopeGuard([this] { m_idleDeadline = QDeadlineTimer::Forever; });
    const auto sliceChars = [&] {
        const double leftNs = double(budgetMs - clock.elapsed()) * 1e6;
        return std::clamp(qsizetype(leftNs / std::max(1.0, m_wrapNsPerChar)), MinSliceChars,
                          MaxSliceChars);
    };
    if (isLong(firstRow)) {
        Wrap &wrap = wrapOf(firstRow);
        while (!wrap.truth.complete && clock.elapsed() < budgetMs)
            extendTruth(firstRow, wrap, sliceChars());
    }
    while (clock.elapsed() < budgetMs) {
        const qsizetype rows = m_rows.rowsKnown();
        const qsizetype row = m_idleRow;
        if (row >= rows || (row == rows - 1 && !m_rows.fullyIndexed()))
            return m_rows.fullyIndexed();
        // A row shorter than the distance to the next row's start is quickly passed over.
        const qsizetype next = row + 1 < rows ? m_rows.rowStart(row + 1) : m_text.size();
        if (next - m_rows.rowStart(row) > LongRowChars && isLong(row)) {
            Wrap &wrap = wrapOf(row);
            if (!wrap.truth.complete) {
                extendTruth(row, wrap, sliceChars());
                continue;
            }
        }
        ++m_idleRow;
    }
    return false;
}
