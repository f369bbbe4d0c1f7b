// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagetext.h"
#include "rowwrapping.h"

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringView>
#include <QTextLayout>

#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class RowIndex;

// How the page box's text is laid out on screen: the laid-out stretches of text near the
// screen (a cache, dropped by range on each edit), the line at the top of the viewport, and
// every question of geometry: where a position stands, which position a point hits, which
// position lies a character, a word or a line away. A row of up to
// RowWrapping::LongRowChars characters is laid out whole; of a longer one, stretches of
// the screen lines that the wrapping knows are laid out, only those near the screen.
class PageLayouts : private PageText::Listener
{
public:
    // The room around the text, as in Qt's plain text editor.
    static constexpr int DocumentMargin = 4;

    // A screen line: a line of the laid-out stretch of text that starts at `stretch`.
    struct LinePlace
    {
        qsizetype row = 0;
        qsizetype stretch = 0;
        int line = 0;
    };

    // A laid-out stretch of text, and where its positions stand in the layout, which also
    // holds an input method's composition when it is shown there.
    struct Stretch
    {
        QTextLayout *layout = nullptr;
        qsizetype row = 0;
        qsizetype start = 0;
        qsizetype end = 0;
        bool endsRow = false;
        int preeditAt = -1; // where in the layout the composition stands, or -1
        int preeditLength = 0;

        int toLayout(qsizetype position) const;
        qsizetype toText(int layoutPosition) const;
        qreal extent() const; // from the top of its first line to the bottom of its last
    };

    PageLayouts(PageText &text, RowIndex &rows);
    ~PageLayouts();
    PageLayouts(const PageLayouts &) = delete;
    PageLayouts &operator=(const PageLayouts &) = delete;

    // What the text is laid out with and into.
    void setFont(const QFont &font);
    const QFont &font() const { return m_font; }
    void setViewportSize(QSize size);
    int viewportHeight() const { return m_viewportSize.height(); }
    int linesPerPage() const;
    // An input method's composition, shown at `position` without being part of the text,
    // drawn with `formats` (positions in the composition) over the text's own.
    void setPreedit(qsizetype position, const QString &preedit,
                    const QList<QTextLayout::FormatRange> &formats = {});
    const QString &preedit() const { return m_preedit; }

    // Lets the cache go when it has grown past what a screen needs.
    void keepCacheSmall();

    // Screen lines and the stretches that hold them.
    LinePlace placeOf(qsizetype position);
    bool nextLine(LinePlace &place);
    bool previousLine(LinePlace &place);
    qreal lineHeight(const LinePlace &place);
    Stretch stretchOf(const LinePlace &place);
    bool nextStretch(Stretch &stretch);
    // Where every screen line that starts in [from, to) starts, wrapping as far as needed.
    std::vector<qsizetype> screenLineStarts(qsizetype from, qsizetype to);

    // The line at the top of the viewport; whatever changes, it is a line that exists.
    LinePlace top();
    // The margin above the text shows only at its top; scrolled, the top line starts at the edge,
    // or a fraction of a pixel below where it is not the first line of its row.
    qreal topMargin();
    // Keeps the top from beyond the highest top that still fills the viewport, and a view
    // that showed the text's end at its end as the lines change; returns that highest top.
    LinePlace settleTop();
    LinePlace lastTopPlace();
    void scrollToPlace(const LinePlace &place);
    void scrollByLines(qsizetype lines);
    void ensureVisible(qsizetype position);

    // The scroll bar's measure: the screen lines before a place, counted where known and
    // estimated from the characters elsewhere; and the place near a number of lines.
    qsizetype screenLinesBefore(const LinePlace &place);
    LinePlace placeOfScreenLine(qsizetype line);

    // Where a character stands in the viewport, and which position a viewport point hits.
    QRect characterRect(qsizetype position);
    qsizetype positionAt(QPoint point);

    // Positions a character or a word to the left or right, a number of screen lines up
    // (negative) or down as near as the text allows to `desiredX` (set when negative), the
    // start or end of a screen line, and the word around a position.
    qsizetype leftOf(qsizetype position, bool byWord);
    qsizetype rightOf(qsizetype position, bool byWord);
    qsizetype verticalMove(qsizetype position, int lines, qreal &desiredX);
    qsizetype lineEdge(qsizetype position, bool end);
    std::pair<qsizetype, qsizetype> wordAt(qsizetype position);
    // Characters that end a word for moving by words, besides blanks, as in Qt's layouts.
    static constexpr QStringView WordSeparators = u".,?!@#$:;-<>[](){}=/+%&^*'\"`~|\\";
    // A line as QTextCursor's StartOfLine and EndOfLine see it: where it starts, where its
    // text ends (before the blank at which it wraps) and where the next line starts.
    struct LineSpan
    {
        qsizetype start = 0;
        qsizetype end = 0;
        qsizetype next = 0;
    };
    LineSpan screenLineAt(qsizetype position);
    // The line of the text, from one line break to the next, that holds `position`.
    LineSpan textLineAt(qsizetype position);
    // The direction the line that holds `position` runs in.
    Qt::LayoutDirection lineDirection(qsizetype position);

    // The characters laid out or looked through so far: a measure of the work, for tests.
    qint64 charactersLaidOut() const
    {
        return m_wrapping.charactersLaidOut() + m_charactersLookedAt;
    }

    // The idle work: finds the true lines of long rows for about `budgetMs` milliseconds,
    // the row at the top first; returns whether every indexed long row is wrapped.
    bool wrapSome(qint64 budgetMs);
    // Whether a count of screen lines changed since last asked.
    bool takeCountsChanged();

private:
    qsizetype wordStartFor(qsizetype position, qsizetype rowStart, qsizetype rowEnd);
    qsizetype wordEndFrom(qsizetype from, qsizetype rowEnd);
    qsizetype runStart(qsizetype end, qsizetype limit);
    // A laid-out stretch as the cache keeps it, by the position it starts at.
    struct KeptStretch
    {
        qsizetype end = 0;
        bool endsRow = false;
        std::unique_ptr<QTextLayout> layout;
        int preeditAt = -1;
    };

    void textReset() override;
    void textReplaced(qsizetype from, qsizetype removed, qsizetype inserted) override;

    void rewrapAll();
    void forgetStretches(qsizetype from, qsizetype to);

    Stretch stretchHolding(qsizetype row, qsizetype position);
    Stretch layOutStretch(qsizetype row, qsizetype start, qsizetype end, bool endsRow);
    Stretch makeStretch(qsizetype row, qsizetype start, const KeptStretch &kept) const;
    void assertApart(std::map<qsizetype, KeptStretch>::const_iterator placed) const;
    Stretch stretchAt(qsizetype row, qsizetype stretchStart);
    qsizetype lineStart(const LinePlace &place);
    bool endInView();

    const PageText &m_text;
    RowIndex &m_rows;
    QFont m_font;
    QSize m_viewportSize;
    QString m_preedit;
    QList<QTextLayout::FormatRange> m_preeditFormats;
    qsizetype m_preeditPosition = 0;

    // The top line: the one that holds this position, or as many lines after it as
    // `m_topExtra` when several show the same position (a composition's).
    qsizetype m_topPosition = 0;
    int m_topExtra = 0;
    bool m_showsEnd = false; // the text's last line was in view
    // The highest top that fills the viewport, while the lines stay as they are: the
    // position a line starts at, and how many lines after the one that holds it.
    std::optional<std::pair<qsizetype, int>> m_lastTop;
    std::optional<std::pair<qsizetype, int>> m_lastTopNear; // moved by edits since found

    RowWrapping m_wrapping;
    std::map<qsizetype, KeptStretch> m_stretches;
    bool m_countsChanged = false;
    qint64 m_charactersLookedAt = 0;
};
