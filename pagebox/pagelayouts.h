// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagetext.h"

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>

#include <memory>
#include <unordered_map>
#include <utility>

class QTextLayout;
class RowIndex;

// How the page box's text is laid out on screen: the cache of laid-out rows (only those
// near the screen are ever laid out), the line at the top of the viewport, and every
// question of geometry: where a position stands, which position a point hits, which
// position lies a character, a word or a line away.
class PageLayouts : private PageText::Listener
{
public:
    // The room around the text, as in Qt's plain text editor.
    static constexpr int DocumentMargin = 4;

    // A place on screen: a row and one of the lines it is laid out in.
    struct LinePlace
    {
        qsizetype row = 0;
        int line = 0;
        auto operator<=>(const LinePlace &) const = default;
    };

    PageLayouts(PageText &text, RowIndex &rows);
    ~PageLayouts();
    PageLayouts(const PageLayouts &) = delete;
    PageLayouts &operator=(const PageLayouts &) = delete;

    // What the text is laid out with and into.
    void setFont(const QFont &font);
    const QFont &font() const { return m_font; }
    void setTextDirection(Qt::LayoutDirection direction);
    void setViewportSize(QSize size);
    int viewportHeight() const { return m_viewportSize.height(); }
    int linesPerPage() const;
    // An input method's composition, shown at `position` without being part of the text.
    void setPreedit(qsizetype position, const QString &preedit);
    const QString &preedit() const { return m_preedit; }

    QTextLayout *rowLayout(qsizetype row);
    void forgetLayouts();
    // Lets the cache go when it has grown past what a screen needs.
    void keepCacheSmall();
    qreal rowHeight(qsizetype row);
    qreal lineHeight(LinePlace place);
    LinePlace placeOf(qsizetype position);
    bool nextLine(LinePlace &place);
    bool previousLine(LinePlace &place);

    // The line at the top of the viewport.
    LinePlace top() const { return m_top; }
    // The margin above the text shows only at its top; scrolled, the top line starts at the edge.
    qreal topMargin() const;
    // Keeps the top on a line that exists and returns the highest top that still fills the
    // viewport.
    LinePlace settleTop();
    LinePlace lastTopPlace();
    void scrollToPlace(LinePlace place);
    void scrollByLines(int lines);
    void ensureVisible(qsizetype position);

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

private:
    void textReset() override;
    void textReplaced(qsizetype from, qsizetype removed, qsizetype inserted) override;
    qreal textWidth() const;

    const PageText &m_text;
    RowIndex &m_rows;
    QFont m_font;
    Qt::LayoutDirection m_direction = Qt::LeftToRight;
    QSize m_viewportSize;
    QString m_preedit;
    qsizetype m_preeditPosition = 0;
    LinePlace m_top;
    std::unordered_map<qsizetype, std::unique_ptr<QTextLayout>> m_layouts; // by row
};
