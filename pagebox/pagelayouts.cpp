// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagelayouts.h"

#include "rowindex.h"

#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace {

constexpr qreal TabStopDistance = 80;
// Laid-out stretches kept for painting; the cache starts afresh past this many.
constexpr std::size_t UnitsKept = 256;
// Screen lines of a long row laid out together for painting.
constexpr qsizetype LinesPerStretch = 64;
// Lines beyond the true ones are wrapped at once up to this many characters ahead of them;
// further on, they are wrapped from a guessed start.
constexpr qsizetype NearChars = 16 * 1024;
// A guessed start lies this far before the place the user looks at, so that by there its
// lines have met the true ones.
constexpr qsizetype GuessLeadChars = 2048;
// Where a screen line most likely starts: after a blank found within this many characters.
constexpr qsizetype AnchorSearchChars = 256;
// An edit this far beyond the known lines cannot move them.
constexpr qsizetype FarChars = 8192;
// After an edit, lines are wrapped again at once until they meet the old ones, in slices of
// RewrapSliceChars up to RewrapChars; what is left is wrapped again in the idle time.
constexpr qsizetype RewrapSliceChars = 4096;
constexpr qsizetype RewrapChars = 32 * 1024;
// Slices of wrapping in the idle time and ahead of the true lines.
constexpr qsizetype MinSliceChars = 1024;
constexpr qsizetype MaxSliceChars = 64 * 1024;
// Text windows that moving by characters and words is worked out in.
constexpr qsizetype MovementWindowChars = 4096;
// Rows wrapped from guessed starts keep at most this many of them.
constexpr std::size_t MaxGuesses = 4;

bool isWordCharacter(QChar c)
{
    return c.isLetterOrNumber() || c.isMark() || c == u'_';
}

// Where (position, lines after the one that holds it) places a screen line in the text.
using Anchor = std::pair<qsizetype, int>;

} // namespace

// --- Stretches --------------------------------------------------------------------------

int PageLayouts::Stretch::toLayout(qsizetype position) const
{
    int inLayout = int(position - start);
    if (preeditAt >= 0 && inLayout > preeditAt)
        inLayout += preeditLength;
    return inLayout;
}

// A place in the composition is the position it is shown at.
qsizetype PageLayouts::Stretch::toText(int layoutPosition) const
{
    if (preeditAt >= 0 && layoutPosition > preeditAt)
        layoutPosition = std::max(preeditAt, layoutPosition - preeditLength);
    return start + layoutPosition;
}

qreal PageLayouts::Stretch::height() const
{
    const QTextLine last = layout->lineAt(layout->lineCount() - 1);
    return last.y() + last.height();
}

namespace {

QTextLine screenLine(const PageLayouts::Stretch &stretch, int line)
{
    return stretch.layout->lineAt(std::clamp(line, 0, stretch.layout->lineCount() - 1));
}

} // namespace

// --- Chains of screen-line starts -------------------------------------------------------

bool PageLayouts::Chain::covers(qsizetype offset) const
{
    return !starts.empty() && offset >= starts.front() &&
           (offset < starts.back() || (complete && offset == starts.back()));
}

// The line that holds `offset`, which the chain covers; the row's end is on its last line.
qsizetype PageLayouts::Chain::lineOf(qsizetype offset) const
{
    const auto after = std::upper_bound(starts.begin(), starts.end(), std::uint32_t(offset));
    return std::clamp<qsizetype>((after - starts.begin()) - 1, 0, knownLines() - 1);
}

// --- Setting up -------------------------------------------------------------------------

PageLayouts::PageLayouts(PageText &text, RowIndex &rows)
    : m_text(text)
    , m_rows(rows)
{
    // After the row index, so that the rows have followed an edit before the layouts do.
    text.addListener(this);
}

PageLayouts::~PageLayouts() = default;

void PageLayouts::setFont(const QFont &font)
{
    if (font == m_font)
        return;
    m_font = font;
    forgetAll();
}

void PageLayouts::setTextDirection(Qt::LayoutDirection direction)
{
    if (direction == m_direction)
        return;
    m_direction = direction;
    forgetAll();
}

void PageLayouts::setViewportSize(QSize size)
{
    const bool widthChanged = size.width() != m_viewportSize.width();
    m_viewportSize = size;
    if (widthChanged)
        forgetAll();
}

void PageLayouts::setPreedit(qsizetype position, const QString &preedit)
{
    if (m_preedit.isEmpty() && preedit.isEmpty())
        return;
    forgetUnits(m_preeditPosition, m_preeditPosition);
    forgetUnits(position, position);
    m_preeditPosition = position;
    m_preedit = preedit;
}

int PageLayouts::linesPerPage() const
{
    return std::max(1, (m_viewportSize.height() - 2 * DocumentMargin) /
                           std::max(1, QFontMetrics(m_font).lineSpacing()));
}

qreal PageLayouts::textWidth() const
{
    return std::max(1, m_viewportSize.width() - 2 * DocumentMargin);
}

// Every line wraps anew: the stretches, the wrapped rows and the counts go.
void PageLayouts::forgetAll()
{
    m_units.clear();
    m_wraps.clear();
    m_idleRow = 0;
    m_rows.forgetScreenLines();
    const qreal average = QFontMetricsF(m_font).averageCharWidth();
    m_charactersPerLine =
        std::max<qsizetype>(1, average > 0 ? qsizetype(textWidth() / average) : 80);
    m_rows.setCharactersPerLine(m_charactersPerLine);
    m_countsChanged = true;
}

void PageLayouts::textReset()
{
    m_topPosition = 0;
    m_topExtra = 0;
    m_showsEnd = false;
    m_preedit.clear();
    m_preeditPosition = 0;
    forgetAll();
}

void PageLayouts::keepCacheSmall()
{
    if (m_units.size() > UnitsKept)
        m_units.clear();
}

bool PageLayouts::takeCountsChanged()
{
    return std::exchange(m_countsChanged, false);
}

// Drops the stretches that start in [from, to] or hold a position in it.
void PageLayouts::forgetUnits(qsizetype from, qsizetype to)
{
    auto first = m_units.lower_bound(from);
    if (first != m_units.begin() && std::prev(first)->second.end >= from)
        --first;
    m_units.erase(first, m_units.upper_bound(to));
}

void PageLayouts::layOut(QTextLayout &layout) const
{
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTabStopDistance(TabStopDistance);
    option.setTextDirection(m_direction);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLeadingIncluded(true);
        line.setLineWidth(textWidth());
        line.setPosition(QPointF(0, y));
        y += line.height();
        if (line.leading() < 0)
            y += std::ceil(line.leading());
    }
    layout.endLayout();
}

qsizetype PageLayouts::rowLength(qsizetype row)
{
    return m_rows.rowEnd(row) - m_rows.rowStart(row);
}

bool PageLayouts::isLong(qsizetype row)
{
    return rowLength(row) > LongRowChars;
}

qsizetype PageLayouts::estimateLines(qsizetype characters) const
{
    return (std::max<qsizetype>(0, characters) + m_charactersPerLine - 1) / m_charactersPerLine;
}

// --- Following edits --------------------------------------------------------------------

void PageLayouts::textReplaced(qsizetype from, qsizetype removed, qsizetype inserted)
{
    const qsizetype delta = inserted - removed;
    const auto follow = [&](qsizetype &position) {
        if (position >= from + removed)
            position += delta;
        else if (position > from)
            position = from;
    };
    follow(m_topPosition);
    follow(m_preeditPosition);
    m_topExtra = 0;
    m_countsChanged = true;

    // The row that holds the edit starts where it did: nothing before it moved.
    const qsizetype row = m_rows.rowAt(from);
    const qsizetype rowStart = m_rows.rowStart(row);
    m_idleRow = std::min(m_idleRow, row);
    qsizetype changedUpTo = from + removed + 1; // in the old text

    // Long rows: the one that holds the edit wraps again around it when the edit stayed
    // inside it; one that an edit split or joined starts afresh; those after move.
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
        changedUpTo = std::max(changedUpTo, w.rowStart + w.length + 1);
        const bool inside = w.rowStart == rowStart && from + removed <= w.rowStart + w.length &&
                            rowLength(row) == w.length + delta;
        if (inside && w.length + delta > LongRowChars) {
            w.length += delta;
            const qsizetype offset = from - rowStart;
            rewrapAfterEdit(w, w.truth, offset, removed, inserted);
            for (Chain &guess : w.guesses)
                rewrapAfterEdit(w, guess, offset, removed, inserted);
            std::erase_if(w.guesses, [](const Chain &guess) { return guess.starts.size() < 2; });
            countLines(row, w);
            ++wrap;
        } else {
            wrap = m_wraps.erase(wrap);
        }
    }

    // Stretches: those of the rows the edit touched go, those after move.
    std::map<qsizetype, Unit> moved;
    for (auto unit = m_units.upper_bound(changedUpTo); unit != m_units.end();) {
        auto node = m_units.extract(unit++);
        node.key() += delta;
        node.mapped().end += delta;
        moved.insert(std::move(node));
    }
    m_units.erase(m_units.lower_bound(rowStart), m_units.end());
    m_units.merge(moved);
}

// After an edit at `from` (from the row's start) inside a wrapped row: the lines from two
// before the one that holds the edit are wrapped again until they meet the old ones, which
// from there on only move by the edit's change in length. Lines not met within reach are
// let go, to be wrapped again later.
void PageLayouts::rewrapAfterEdit(Wrap &wrap, Chain &chain, qsizetype from, qsizetype removed,
                                  qsizetype inserted)
{
    const qsizetype delta = inserted - removed;
    std::vector<std::uint32_t> &starts = chain.starts;
    if (from + removed < starts.front()) { // an edit before a guessed start moves it
        for (std::uint32_t &start : starts)
            start = std::uint32_t(start + delta);
        return;
    }
    if (from < starts.front()) { // the guessed start is gone
        starts.clear();
        return;
    }
    if (!chain.complete && from >= starts.back()) {
        // The last lines' ends may have depended on what changed.
        if (from < starts.back() + FarChars)
            starts.resize(size_t(std::max<qsizetype>(1, qsizetype(starts.size()) - 2)));
        return;
    }
    const bool wasComplete = chain.complete;
    const qsizetype line =
        (std::upper_bound(starts.begin(), starts.end(), std::uint32_t(from)) - starts.begin()) - 1;
    const qsizetype restart = std::max<qsizetype>(0, line - 2);
    // The old starts after the edit, where they now stand: where the new lines may meet them.
    std::vector<std::uint32_t> old;
    for (auto start = starts.begin() + restart + 1; start != starts.end(); ++start) {
        if (*start >= from + removed)
            old.push_back(std::uint32_t(*start + delta));
    }
    if (wasComplete && !old.empty())
        old.pop_back(); // the row's end, not a line's start
    starts.resize(size_t(restart + 1));
    chain.complete = false;

    for (qsizetype wrapped = 0; wrapped < RewrapChars;) {
        bool reachedEnd = false;
        const qsizetype sliceFrom = starts.back();
        const auto fresh = wrapSlice(wrap, sliceFrom, RewrapSliceChars, reachedEnd);
        for (const std::uint32_t start : fresh) {
            if (start >= from + inserted) {
                const auto met = std::lower_bound(old.begin(), old.end(), start);
                if (met != old.end() && *met == start) {
                    starts.insert(starts.end(), met, old.end());
                    if (wasComplete) {
                        starts.push_back(std::uint32_t(wrap.length));
                        chain.complete = true;
                    }
                    return;
                }
            }
            starts.push_back(start);
        }
        if (reachedEnd) {
            starts.push_back(std::uint32_t(wrap.length));
            chain.complete = true;
            return;
        }
        wrapped += starts.back() - sliceFrom;
    }
}

// --- Wrapping long rows -----------------------------------------------------------------

PageLayouts::Wrap *PageLayouts::findWrap(qsizetype rowStart)
{
    const auto at = std::lower_bound(
        m_wraps.begin(), m_wraps.end(), rowStart,
        [](const std::unique_ptr<Wrap> &wrap, qsizetype start) { return wrap->rowStart < start; });
    return at != m_wraps.end() && (*at)->rowStart == rowStart ? at->get() : nullptr;
}

PageLayouts::Wrap &PageLayouts::wrapOf(qsizetype row)
{
    const qsizetype rowStart = m_rows.rowStart(row);
    if (Wrap *known = findWrap(rowStart))
        return *known;
    auto wrap = std::make_unique<Wrap>();
    wrap->rowStart = rowStart;
    wrap->length = rowLength(row);
    wrap->truth.starts = {0};
    const auto at = std::lower_bound(
        m_wraps.begin(), m_wraps.end(), rowStart,
        [](const std::unique_ptr<Wrap> &w, qsizetype start) { return w->rowStart < start; });
    return **m_wraps.insert(at, std::move(wrap));
}

// Wraps the row's characters from `from` (a screen line's start) for about `chars`
// characters, and returns where the lines after the first start: every line of the slice
// but the last is a true screen line, and the last one's start is where the next slice
// begins. A slice that reaches the row's end gives every line.
std::vector<std::uint32_t> PageLayouts::wrapSlice(const Wrap &wrap, qsizetype from, qsizetype chars,
                                                  bool &reachedEnd)
{
    QElapsedTimer clock;
    clock.start();
    qsizetype length = std::min(std::max<qsizetype>(1, chars), wrap.length - from);
    for (;;) {
        QTextLayout layout(m_text.mid(wrap.rowStart + from, length), m_font);
        layOut(layout);
        reachedEnd = from + length >= wrap.length;
        const int lines = layout.lineCount();
        if (reachedEnd || lines >= 2) {
            std::vector<std::uint32_t> starts;
            starts.reserve(size_t(lines));
            for (int i = 1; i < lines; ++i)
                starts.push_back(std::uint32_t(from + layout.lineAt(i).textStart()));
            if (length > 0)
                m_wrapNsPerChar =
                    0.7 * m_wrapNsPerChar + 0.3 * double(clock.nsecsElapsed()) / double(length);
            return starts;
        }
        // One line holds the whole slice: it needs a longer one.
        length = std::min(length * 2, wrap.length - from);
    }
}

// Lines wrapped into the range of the guess at `next` have reached `start`. Where the
// guess has a line start there too, the lines are the same from there on: the chain takes
// over the guess's lines and the guess goes. Otherwise the guess keeps only its lines after
// `start`, so that chains never overlap. Returns whether they met.
bool PageLayouts::reachGuess(Wrap &wrap, Chain &chain, std::size_t next, std::uint32_t start)
{
    Chain &guess = wrap.guesses[next];
    const auto starts = guess.starts.end() - (guess.complete ? 1 : 0);
    const auto met = std::upper_bound(guess.starts.begin(), starts, start);
    const bool meets = met != guess.starts.begin() && *std::prev(met) == start;
    if (meets) {
        forgetUnits(wrap.rowStart + guess.starts.front(), wrap.rowStart + start);
        chain.starts.insert(chain.starts.end(), std::prev(met), guess.starts.end());
        chain.complete = guess.complete;
    } else {
        const qsizetype kept = met == starts ? wrap.length : *met;
        forgetUnits(wrap.rowStart + guess.starts.front(), wrap.rowStart + kept - 1);
        guess.starts.erase(guess.starts.begin(), met);
        if (guess.knownLines() >= 1)
            return false;
    }
    wrap.guesses.erase(wrap.guesses.begin() + std::ptrdiff_t(next));
    return meets;
}

// A chain that reached the row's end leaves no room for guesses after it.
void PageLayouts::dropGuessesAfter(Wrap &wrap, std::size_t first)
{
    for (std::size_t guess = first; guess < wrap.guesses.size(); ++guess)
        forgetUnits(wrap.rowStart + wrap.guesses[guess].starts.front(),
                    wrap.rowStart + wrap.length);
    wrap.guesses.resize(std::min(first, wrap.guesses.size()));
}

// Finds the next true lines of a long row, taking over guessed ones where they meet.
void PageLayouts::extendTruth(qsizetype row, Wrap &wrap, qsizetype chars)
{
    Chain &truth = wrap.truth;
    if (truth.complete)
        return;
    bool reachedEnd = false;
    const auto fresh = wrapSlice(wrap, truth.starts.back(), chars, reachedEnd);
    for (const std::uint32_t start : fresh) {
        while (!wrap.guesses.empty() && start >= wrap.guesses.front().starts.front()) {
            if (reachGuess(wrap, truth, 0, start)) {
                countLines(row, wrap);
                return;
            }
        }
        truth.starts.push_back(start);
    }
    if (reachedEnd) {
        truth.starts.push_back(std::uint32_t(wrap.length));
        truth.complete = true;
        dropGuessesAfter(wrap, 0);
    }
    countLines(row, wrap);
}

void PageLayouts::extendGuess(Wrap &wrap, std::size_t index, qsizetype chars)
{
    bool reachedEnd = false;
    const auto fresh = wrapSlice(wrap, wrap.guesses[index].starts.back(), chars, reachedEnd);
    for (const std::uint32_t start : fresh) {
        const std::size_t next = index + 1;
        while (next < wrap.guesses.size() && start >= wrap.guesses[next].starts.front()) {
            if (reachGuess(wrap, wrap.guesses[index], next, start))
                return;
        }
        wrap.guesses[index].starts.push_back(start);
    }
    if (reachedEnd) {
        wrap.guesses[index].starts.push_back(std::uint32_t(wrap.length));
        wrap.guesses[index].complete = true;
        dropGuessesAfter(wrap, index + 1);
    }
}

// A likely screen-line start at or before `offset` and not before `floor`: just after a blank.
qsizetype PageLayouts::anchorNear(const Wrap &wrap, qsizetype offset, qsizetype floor) const
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

// The chain of lines that covers `offset` in a long row: the true lines, wrapped further
// when it is near them; else guessed lines, wrapped further when near, or new ones.
const PageLayouts::Chain &PageLayouts::chainFor(qsizetype row, Wrap &wrap, qsizetype offset)
{
    Chain &truth = wrap.truth;
    if (truth.covers(offset))
        return truth;
    for (const Chain &guess : wrap.guesses) {
        if (guess.covers(offset))
            return guess;
    }
    if (offset - truth.starts.back() <= NearChars) {
        while (!truth.covers(offset) && !truth.complete)
            extendTruth(row, wrap, NearChars);
        return truth;
    }
    const auto after = std::upper_bound(
        wrap.guesses.begin(), wrap.guesses.end(), offset,
        [](qsizetype at, const Chain &guess) { return at < qsizetype(guess.starts.front()); });
    if (after != wrap.guesses.begin()) {
        const std::size_t before = std::size_t(after - wrap.guesses.begin()) - 1;
        if (!wrap.guesses[before].complete &&
            offset - wrap.guesses[before].starts.back() <= NearChars) {
            while (!wrap.guesses[before].covers(offset) && !wrap.guesses[before].complete)
                extendGuess(wrap, before, NearChars);
            return wrap.guesses[before];
        }
    }
    const Chain &guess = guessAround(wrap, offset);
    countLines(row, wrap);
    return guess;
}

// Lines wrapped from a start guessed a little before `offset`. Reaching back from a guess
// that starts a little after it, they are wrapped until they meet that one and join it.
const PageLayouts::Chain &PageLayouts::guessAround(Wrap &wrap, qsizetype offset)
{
    std::vector<Chain> &guesses = wrap.guesses;
    std::size_t next = std::size_t(std::upper_bound(guesses.begin(), guesses.end(), offset,
                                                    [](qsizetype at, const Chain &guess) {
                                                        return at < qsizetype(guess.starts.front());
                                                    }) -
                                   guesses.begin());
    qsizetype floor = wrap.truth.starts.back() + 1;
    if (next > 0)
        floor = std::max<qsizetype>(floor, guesses[next - 1].starts.back() + 1);
    Chain fresh;
    fresh.starts = {std::uint32_t(anchorNear(wrap, offset - GuessLeadChars, floor))};
    const bool reachingBack =
        next < guesses.size() && guesses[next].starts.front() - offset <= NearChars;
    // Reaching back, the new lines are wrapped on to meet the guess after them, but only
    // for a while: one that never meets it (a run of letters) would take them through it all.
    const auto wanted = [&] {
        return !fresh.covers(offset) || (reachingBack && next < guesses.size() &&
                                         fresh.starts.back() <= guesses[next].starts.front() &&
                                         fresh.starts.back() - offset <= 2 * NearChars);
    };
    while (!fresh.complete && wanted()) {
        bool reachedEnd = false;
        const auto lines = wrapSlice(wrap, fresh.starts.back(), NearChars, reachedEnd);
        for (const std::uint32_t start : lines) {
            while (next < guesses.size() && start >= guesses[next].starts.front()) {
                if (reachGuess(wrap, fresh, next, start)) {
                    guesses.insert(guesses.begin() + std::ptrdiff_t(next), std::move(fresh));
                    return guesses[next];
                }
            }
            fresh.starts.push_back(start);
        }
        if (reachedEnd) {
            fresh.starts.push_back(std::uint32_t(wrap.length));
            fresh.complete = true;
            dropGuessesAfter(wrap, next);
        }
    }
    guesses.insert(guesses.begin() + std::ptrdiff_t(next), std::move(fresh));
    // Only a few guesses are kept: the one farthest from where the user looks goes.
    if (guesses.size() > MaxGuesses) {
        const auto distance = [offset](const Chain &guess) {
            return std::abs(offset - qsizetype(guess.starts.front()));
        };
        std::size_t farthest = next == 0 ? 1 : 0;
        for (std::size_t i = 0; i < guesses.size(); ++i) {
            if (i != next && distance(guesses[i]) > distance(guesses[farthest]))
                farthest = i;
        }
        forgetUnits(wrap.rowStart + guesses[farthest].starts.front(),
                    wrap.rowStart + guesses[farthest].starts.back());
        guesses.erase(guesses.begin() + std::ptrdiff_t(farthest));
        if (farthest < next)
            --next;
    }
    return guesses[next];
}

// The row's screen lines for the scroll bar: those known, and an estimate for the rest.
void PageLayouts::countLines(qsizetype row, const Wrap &wrap)
{
    const Chain &truth = wrap.truth;
    const qsizetype lines = truth.knownLines() +
                            (truth.complete ? 0 : estimateLines(wrap.length - truth.starts.back()));
    if (m_rows.screenLines(row) != lines) {
        m_rows.setScreenLines(row, lines);
        m_countsChanged = true;
    }
}

bool PageLayouts::wrapSome(qint64 budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    const auto sliceChars = [&] {
        const double leftNs = double(budgetMs - clock.elapsed()) * 1e6;
        return std::clamp(qsizetype(leftNs / std::max(1.0, m_wrapNsPerChar)), MinSliceChars,
                          MaxSliceChars);
    };
    // The row the user looks at first.
    const qsizetype topRow = m_rows.rowAt(m_topPosition);
    if (isLong(topRow)) {
        Wrap &wrap = wrapOf(topRow);
        while (!wrap.truth.complete && clock.elapsed() < budgetMs)
            extendTruth(topRow, wrap, sliceChars());
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

// --- Stretches of laid-out text ---------------------------------------------------------

PageLayouts::Stretch PageLayouts::makeStretch(qsizetype row, qsizetype start,
                                              const Unit &unit) const
{
    Stretch stretch;
    stretch.layout = unit.layout.get();
    stretch.row = row;
    stretch.start = start;
    stretch.end = unit.end;
    stretch.endsRow = unit.endsRow;
    stretch.preeditAt = unit.preeditAt;
    stretch.preeditLength = unit.preeditAt >= 0 ? int(m_preedit.size()) : 0;
    return stretch;
}

PageLayouts::Stretch PageLayouts::buildUnit(qsizetype row, qsizetype start, qsizetype end,
                                            bool endsRow)
{
    Unit unit;
    unit.end = end;
    unit.endsRow = endsRow;
    unit.layout = std::make_unique<QTextLayout>(m_text.mid(start, end - start), m_font);
    if (!m_preedit.isEmpty() && m_preeditPosition >= start &&
        (m_preeditPosition < end || (m_preeditPosition == end && endsRow))) {
        unit.preeditAt = int(m_preeditPosition - start);
        unit.layout->setPreeditArea(unit.preeditAt, m_preedit);
    }
    layOut(*unit.layout);
    const bool wholeRow = start == m_rows.rowStart(row) && endsRow;
    if (wholeRow && unit.preeditAt < 0 && m_rows.screenLines(row) != unit.layout->lineCount()) {
        m_rows.setScreenLines(row, unit.layout->lineCount());
        m_countsChanged = true;
    }
    const auto placed = m_units.insert_or_assign(start, std::move(unit)).first;
    return makeStretch(row, start, placed->second);
}

// The laid-out stretch that holds `position` in `row`; the row's end is in its last one.
PageLayouts::Stretch PageLayouts::unitAt(qsizetype row, qsizetype position)
{
    const qsizetype rowStart = m_rows.rowStart(row);
    if (!isLong(row)) {
        const auto known = m_units.find(rowStart);
        if (known != m_units.end())
            return makeStretch(row, rowStart, known->second);
        return buildUnit(row, rowStart, m_rows.rowEnd(row), true);
    }
    Wrap &wrap = wrapOf(row);
    const qsizetype offset = std::clamp<qsizetype>(position - rowStart, 0, wrap.length);
    const Chain &chain = chainFor(row, wrap, offset);
    position = rowStart + offset;
    const qsizetype rowEnd = rowStart + wrap.length;

    auto after = m_units.upper_bound(position);
    if (after != m_units.begin()) {
        auto &[start, unit] = *std::prev(after);
        if (start >= rowStart && (position < unit.end || (position == unit.end && unit.endsRow)))
            return makeStretch(row, start, unit);
    }
    // A stretch of the lines around it, that no other stretch overlaps.
    const qsizetype line = chain.lineOf(offset);
    const qsizetype first = line - line % LinesPerStretch;
    qsizetype start = rowStart + chain.starts[size_t(first)];
    qsizetype end =
        rowStart + chain.starts[size_t(std::min(first + LinesPerStretch, chain.knownLines()))];
    if (after != m_units.begin()) {
        const auto &[before, unit] = *std::prev(after);
        if (before >= rowStart && unit.end > start)
            start = unit.end;
    }
    if (after != m_units.end() && after->first < end)
        end = after->first;
    return buildUnit(row, start, end, end == rowEnd);
}

PageLayouts::Stretch PageLayouts::stretchAt(qsizetype row, qsizetype stretchStart)
{
    const auto known = m_units.find(stretchStart);
    if (known != m_units.end())
        return makeStretch(row, stretchStart, known->second);
    return unitAt(row, stretchStart);
}

PageLayouts::Stretch PageLayouts::stretchOf(const LinePlace &place)
{
    return stretchAt(place.row, place.stretch);
}

bool PageLayouts::nextStretch(Stretch &stretch)
{
    if (!stretch.endsRow) {
        stretch = stretchAt(stretch.row, stretch.end);
        return true;
    }
    m_rows.indexRows(stretch.row + 2);
    if (stretch.row + 1 >= m_rows.rowsKnown())
        return false;
    stretch = unitAt(stretch.row + 1, m_rows.rowStart(stretch.row + 1));
    return true;
}

// --- Screen lines -----------------------------------------------------------------------

PageLayouts::LinePlace PageLayouts::placeOf(qsizetype position)
{
    position = std::clamp<qsizetype>(position, 0, m_text.size());
    const qsizetype row = m_rows.rowAt(position);
    const Stretch stretch = unitAt(row, position);
    const QTextLine line = stretch.layout->lineForTextPosition(stretch.toLayout(position));
    return {row, stretch.start,
            line.isValid() ? line.lineNumber() : stretch.layout->lineCount() - 1};
}

qsizetype PageLayouts::lineStart(const LinePlace &place)
{
    const Stretch stretch = stretchOf(place);
    return stretch.toText(screenLine(stretch, place.line).textStart());
}

qreal PageLayouts::lineHeight(const LinePlace &place)
{
    return screenLine(stretchOf(place), place.line).height();
}

bool PageLayouts::nextLine(LinePlace &place)
{
    Stretch stretch = stretchOf(place);
    if (place.line + 1 < stretch.layout->lineCount()) {
        ++place.line;
        return true;
    }
    if (!nextStretch(stretch))
        return false;
    place = {stretch.row, stretch.start, 0};
    return true;
}

bool PageLayouts::previousLine(LinePlace &place)
{
    if (place.line > 0) {
        --place.line;
        return true;
    }
    Stretch stretch;
    if (place.stretch > m_rows.rowStart(place.row)) {
        stretch = unitAt(place.row, place.stretch - 1);
    } else if (place.row > 0) {
        stretch = unitAt(place.row - 1, m_rows.rowEnd(place.row - 1));
    } else {
        return false;
    }
    place = {stretch.row, stretch.start, stretch.layout->lineCount() - 1};
    return true;
}

std::vector<qsizetype> PageLayouts::screenLineStarts(qsizetype from, qsizetype to)
{
    std::vector<qsizetype> starts;
    from = std::clamp<qsizetype>(from, 0, m_text.size());
    to = std::clamp<qsizetype>(to, from, m_text.size());
    const qsizetype firstRow = m_rows.rowAt(from);
    for (qsizetype row = firstRow; row < m_rows.rowsKnown(); ++row) {
        const qsizetype rowStart = m_rows.rowStart(row);
        if (row > firstRow && rowStart >= to)
            break;
        if (isLong(row)) {
            Wrap &wrap = wrapOf(row);
            while (!wrap.truth.complete && rowStart + wrap.truth.starts.back() < to)
                extendTruth(row, wrap, MaxSliceChars);
            for (qsizetype i = 0; i < wrap.truth.knownLines(); ++i) {
                const qsizetype start = rowStart + wrap.truth.starts[size_t(i)];
                if (start >= from && start < to)
                    starts.push_back(start);
            }
        } else {
            const Stretch stretch = unitAt(row, rowStart);
            for (int i = 0; i < stretch.layout->lineCount(); ++i) {
                const qsizetype start = stretch.toText(stretch.layout->lineAt(i).textStart());
                if (start >= from && start < to && (starts.empty() || start > starts.back()))
                    starts.push_back(start);
            }
        }
        m_rows.indexRows(row + 2);
    }
    return starts;
}

// --- The top line and scrolling ---------------------------------------------------------

namespace {

bool sameLine(const PageLayouts::LinePlace &a, const PageLayouts::LinePlace &b)
{
    return a.stretch == b.stretch && a.line == b.line;
}

} // namespace

PageLayouts::LinePlace PageLayouts::top()
{
    LinePlace place = placeOf(m_topPosition);
    if (m_topExtra > 0)
        place.line = std::min(place.line + m_topExtra, stretchOf(place).layout->lineCount() - 1);
    else
        m_topPosition = lineStart(place);
    return place;
}

qreal PageLayouts::topMargin() const
{
    return m_topPosition == 0 && m_topExtra == 0 ? DocumentMargin : 0;
}

// The highest top place that still fills the viewport: the view never scrolls past the
// text's last line. While the text is still being indexed, the last row known.
PageLayouts::LinePlace PageLayouts::lastTopPlace()
{
    if (!m_rows.fullyIndexed())
        return placeOf(m_rows.rowStart(m_rows.rowsKnown() - 1));
    LinePlace top = placeOf(m_text.size());
    top.line = stretchOf(top).layout->lineCount() - 1;
    // The lines that fit below the top margin, as Qt's plain text editor counts them.
    const qreal room = m_viewportSize.height() - 2 * DocumentMargin - 1;
    qreal height = lineHeight(top);
    for (LinePlace above = top; previousLine(above);) {
        height += lineHeight(above);
        if (height > room)
            break;
        top = above;
    }
    return top;
}

PageLayouts::LinePlace PageLayouts::settleTop()
{
    const LinePlace last = lastTopPlace();
    const qsizetype lastStart = lineStart(last);
    const LinePlace current = top();
    const qsizetype topStart = lineStart(current);
    if (topStart > lastStart || (topStart == lastStart && current.line > last.line))
        scrollToPlace(last);
    else if (m_showsEnd) // a view that showed the end keeps it in view as the lines change
        ensureVisible(m_text.size());
    return last;
}

void PageLayouts::scrollToPlace(const LinePlace &place)
{
    const qsizetype start = lineStart(place);
    const Anchor wanted{start, std::max(0, place.line - placeOf(start).line)};
    const LinePlace last = lastTopPlace();
    const qsizetype lastStart = lineStart(last);
    const Anchor highest{lastStart, std::max(0, last.line - placeOf(lastStart).line)};
    std::tie(m_topPosition, m_topExtra) = std::min(wanted, highest);
    m_showsEnd = m_rows.fullyIndexed() && endInView();
}

// Whether the text's last line is wholly in the viewport.
bool PageLayouts::endInView()
{
    LinePlace place = top();
    qreal y = topMargin();
    for (; y < m_viewportSize.height(); y += lineHeight(place)) {
        LinePlace next = place;
        if (!nextLine(next))
            return y + lineHeight(place) < m_viewportSize.height();
        place = next;
    }
    return false;
}

void PageLayouts::scrollByLines(qsizetype lines)
{
    LinePlace place = top();
    for (; lines > 0 && nextLine(place); --lines) {
    }
    for (; lines < 0 && previousLine(place); ++lines) {
    }
    scrollToPlace(place);
}

void PageLayouts::ensureVisible(qsizetype position)
{
    const LinePlace target = placeOf(position);
    const qsizetype targetStart = lineStart(target);
    const LinePlace first = top();
    if (targetStart < m_topPosition || (targetStart == m_topPosition && target.line < first.line)) {
        scrollToPlace(target);
        return;
    }
    // As in Qt's plain text editor, a line is in view when its bottom is inside the viewport.
    const qreal bottom = m_viewportSize.height();
    qreal y = topMargin();
    for (LinePlace place = first; y < bottom;) {
        if (sameLine(place, target)) {
            if (y + lineHeight(place) < bottom)
                return;
            break;
        }
        y += lineHeight(place);
        if (!nextLine(place))
            break;
    }
    // Below the viewport: the target's line becomes the bottom one. Only the text's first
    // line has the margin above it.
    LinePlace newTop = placeOf(position);
    qreal height = lineHeight(newTop);
    for (LinePlace above = newTop; previousLine(above);) {
        height += lineHeight(above);
        const bool first = above.row == 0 && above.line == 0 && above.stretch == 0;
        if (height + (first ? DocumentMargin : 0) > bottom)
            break;
        newTop = above;
    }
    scrollToPlace(newTop);
}

// --- The scroll bar's measure -----------------------------------------------------------

qsizetype PageLayouts::lineIndexInRow(const LinePlace &place)
{
    if (!isLong(place.row))
        return place.line;
    const Wrap &wrap = wrapOf(place.row);
    const Chain &truth = wrap.truth;
    const qsizetype offset = place.stretch - wrap.rowStart;
    qsizetype index = truth.knownLines() + estimateLines(offset - truth.starts.back());
    if (truth.covers(offset)) {
        index = truth.lineOf(offset);
    } else {
        for (const Chain &guess : wrap.guesses) {
            if (guess.covers(offset))
                index = truth.knownLines() +
                        estimateLines(guess.starts.front() - truth.starts.back()) +
                        guess.lineOf(offset);
        }
    }
    return std::min(index + place.line, m_rows.screenLines(place.row) - 1);
}

qsizetype PageLayouts::screenLinesBefore(const LinePlace &place)
{
    return m_rows.screenLinesBefore(place.row) + lineIndexInRow(place);
}

PageLayouts::LinePlace PageLayouts::placeOfScreenLine(qsizetype line)
{
    const auto [row, lineInRow] = m_rows.rowOfScreenLine(line);
    const qsizetype rowStart = m_rows.rowStart(row);
    if (!isLong(row)) {
        const Stretch stretch = unitAt(row, rowStart);
        return {row, rowStart,
                int(std::min<qsizetype>(lineInRow, stretch.layout->lineCount() - 1))};
    }
    const Wrap &wrap = wrapOf(row);
    const Chain &truth = wrap.truth;
    if (lineInRow < truth.knownLines())
        return placeOf(rowStart + truth.starts[size_t(lineInRow)]);
    // Beyond the true lines, as far on in characters as the estimate of lines counts.
    const qsizetype beyond = (lineInRow - truth.knownLines()) * m_charactersPerLine;
    return placeOf(rowStart + std::min(truth.starts.back() + beyond, wrap.length));
}

// --- Geometry ---------------------------------------------------------------------------

QRect PageLayouts::characterRect(qsizetype position)
{
    const LinePlace target = placeOf(position);
    const qsizetype targetStart = lineStart(target);
    qreal y = topMargin();
    LinePlace place = top();
    const int height = m_viewportSize.height();
    // A place far off screen gets a rect far off screen, without laying out all between.
    if (targetStart < m_topPosition || (targetStart == m_topPosition && target.line < place.line)) {
        while (!sameLine(place, target) && y > -height * 4 && previousLine(place))
            y -= lineHeight(place);
    } else {
        while (!sameLine(place, target) && y < height * 4) {
            y += lineHeight(place);
            if (!nextLine(place))
                break;
        }
    }
    const Stretch stretch = stretchOf(target);
    const QTextLine line = screenLine(stretch, target.line);
    const int column = stretch.toLayout(position);
    const qreal x = line.cursorToX(column);
    const qreal next =
        column < line.textStart() + line.textLength() ? line.cursorToX(column + 1) : x + 1;
    return QRectF(DocumentMargin + x, y, std::max<qreal>(1, next - x), line.height())
        .toAlignedRect();
}

qsizetype PageLayouts::positionAt(QPoint point)
{
    LinePlace place = top();
    qreal y = topMargin();
    // Far below the viewport, the line four viewports down stands for everything lower.
    const qreal lowest = qreal(m_viewportSize.height()) * 4;
    for (;;) {
        const qreal height = lineHeight(place);
        LinePlace next = place;
        if (point.y() < y + height || y + height > lowest || !nextLine(next)) {
            const Stretch stretch = stretchOf(place);
            const QTextLine line = screenLine(stretch, place.line);
            return stretch.toText(line.xToCursor(point.x() - DocumentMargin));
        }
        y += height;
        place = next;
    }
}

// --- Moving by characters, words and lines ----------------------------------------------

qsizetype PageLayouts::leftOf(qsizetype position, bool byWord)
{
    if (position <= 0)
        return 0;
    const qsizetype row = m_rows.rowAt(position);
    const qsizetype rowStart = m_rows.rowStart(row);
    if (position == rowStart)
        return m_rows.rowEnd(row - 1); // the line break before is one step
    const qsizetype start = std::max(rowStart, position - MovementWindowChars);
    const qsizetype end = std::min(m_rows.rowEnd(row), position + 16);
    QTextLayout window(m_text.mid(start, end - start), m_font);
    const auto mode = byWord ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    return start + window.previousCursorPosition(int(position - start), mode);
}

qsizetype PageLayouts::rightOf(qsizetype position, bool byWord)
{
    const qsizetype row = m_rows.rowAt(position);
    const qsizetype rowEnd = m_rows.rowEnd(row);
    if (position >= rowEnd) {
        m_rows.indexRows(row + 2);
        return row + 1 < m_rows.rowsKnown() ? m_rows.rowStart(row + 1) : position;
    }
    const qsizetype start = std::max(m_rows.rowStart(row), position - 16);
    const qsizetype end = std::min(rowEnd, position + MovementWindowChars);
    QTextLayout window(m_text.mid(start, end - start), m_font);
    const auto mode = byWord ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    return start + window.nextCursorPosition(int(position - start), mode);
}

qsizetype PageLayouts::verticalMove(qsizetype position, int lines, qreal &desiredX)
{
    LinePlace place = placeOf(position);
    if (desiredX < 0) {
        const Stretch stretch = stretchOf(place);
        desiredX = screenLine(stretch, place.line).cursorToX(stretch.toLayout(position));
    }
    // Past the first or the last line, the caret goes to the start or the end of the text.
    const bool down = lines > 0;
    bool moved = true;
    for (; lines > 0 && moved; --lines)
        moved = nextLine(place);
    for (; lines < 0 && moved; ++lines)
        moved = previousLine(place);
    if (!moved)
        return down ? m_text.size() : 0;
    const Stretch stretch = stretchOf(place);
    return stretch.toText(screenLine(stretch, place.line).xToCursor(desiredX));
}

qsizetype PageLayouts::lineEdge(qsizetype position, bool end)
{
    const LinePlace place = placeOf(position);
    const Stretch stretch = stretchOf(place);
    const QTextLine line = screenLine(stretch, place.line);
    const qsizetype start = stretch.toText(line.textStart());
    if (!end)
        return start;
    qsizetype edge = stretch.toText(line.textStart() + line.textLength());
    // A wrapped line ends before the blank at which it wraps.
    const bool wraps = place.line + 1 < stretch.layout->lineCount() || !stretch.endsRow;
    if (wraps && edge > start && m_text.at(edge - 1).isSpace())
        --edge;
    return edge;
}

// The run of word characters around a position, looked for in the whole row.
std::pair<qsizetype, qsizetype> PageLayouts::wordAt(qsizetype position)
{
    const qsizetype row = m_rows.rowAt(position);
    const qsizetype rowStart = m_rows.rowStart(row);
    const qsizetype rowEnd = m_rows.rowEnd(row);
    qsizetype from = std::clamp(position, rowStart, rowEnd);
    if (from >= rowEnd || !isWordCharacter(m_text.at(from))) {
        if (from > rowStart && isWordCharacter(m_text.at(from - 1)))
            --from;
        else
            return {position, rightOf(position, false)};
    }
    qsizetype to = from;
    while (from > rowStart) {
        const qsizetype windowStart = std::max(rowStart, from - MovementWindowChars);
        const QString window = m_text.mid(windowStart, from - windowStart);
        qsizetype i = window.size();
        while (i > 0 && isWordCharacter(window[i - 1]))
            --i;
        from = windowStart + i;
        if (i > 0)
            break;
    }
    while (to < rowEnd) {
        const QStringView chunk =
            m_text.chunkAt(to).first(std::min(m_text.chunkAt(to).size(), rowEnd - to));
        qsizetype i = 0;
        while (i < chunk.size() && isWordCharacter(chunk[i]))
            ++i;
        to += i;
        if (i < chunk.size())
            break;
    }
    return {from, to};
}
