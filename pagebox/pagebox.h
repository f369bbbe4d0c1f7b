// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagecontrol.h"
#include "pagehistory.h"
#include "pagelayouts.h"
#include "pagetext.h"
#include "rowindex.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>

class QMenu;

// The page box: an editable view of the page's text that holds the text itself, exactly,
// and lays out only the lines on screen. Setting a page returns at once; the rest of the
// text is indexed, and its long lines wrapped, in short slices while the window is idle. It
// looks and behaves like Qt's plain text editor: the same font, palette, frame, caret,
// selection, screen lines, scroll bar, keys, context menu and input methods. A line break
// the user types, pastes or drops takes the style of the text's first line break.
//
// The view paints and scrolls; beneath it the control handles what the user does, the
// layouts where everything stands, the wrapping where screen lines start, the rows where
// lines start, the history undo and redo, and the text the characters themselves.
class PageBox : public QAbstractScrollArea
{
    Q_OBJECT

public:
    explicit PageBox(QWidget *parent = nullptr);
    ~PageBox() override;

    void setPageText(const QString &text);
    QString pageText() const;

    // The caret and the selection, as positions in the text.
    qsizetype cursorPosition() const { return m_control.cursorPosition(); }
    qsizetype anchorPosition() const { return m_control.anchorPosition(); }
    void setSelection(qsizetype anchor, qsizetype cursor);
    void setCursorPosition(qsizetype position) { setSelection(position, position); }
    bool hasSelection() const { return m_control.hasSelection(); }
    QString selectedText() const { return m_control.selectedText(); }
    qsizetype characterCount() const { return m_text.size(); }
    QString textRange(qsizetype from, qsizetype to) const { return m_text.mid(from, to - from); }
    // Where a character stands in the viewport, and which position a viewport point hits
    // (below the last line, the text's end).
    QRect characterRect(qsizetype position);
    qsizetype positionAt(QPoint viewportPoint);
    // Puts `text` in place of the characters from `from` to `to` as a step of its own, its
    // line breaks as typed ones and the caret staying with the characters around it; and
    // scrolls to a stretch of text without moving the caret. Assistive tools edit and show
    // the text through these.
    void replaceRange(qsizetype from, qsizetype to, const QString &text)
    {
        m_control.replaceRange(from, to, text);
    }
    void scrollToRange(qsizetype from, qsizetype to) { m_control.reveal(from, to); }
    // The line on screen that holds `position`, and the line of the text that does: where
    // each starts, where its characters end (before a line break, or the blank a screen
    // line wraps at) and where the next one starts.
    using LineSpan = PageLayouts::LineSpan;
    LineSpan screenLineAt(qsizetype position) { return m_layouts.screenLineAt(position); }
    LineSpan textLineAt(qsizetype position) { return m_layouts.textLineAt(position); }
    bool isUndoAvailable() const { return m_history.canUndo(); }
    bool isRedoAvailable() const { return m_history.canRedo(); }
    bool isReadOnly() const { return false; }
    // Whether the idle work is done: every row indexed, every long row wrapped.
    bool isIndexed() const { return m_rows.fullyIndexed() && m_wrapped; }

    QMenu *createStandardContextMenu();

public slots:
    void undo();
    void redo();
    void cut();
    void copy();
    void paste();
    void selectAll();

signals:
    void textChanged();
    void cursorPositionChanged();

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void updateScrollBar();
    void followTop();
    void afterContentsChange();
    void startIdleWork();
    void restartBlinking();
    void announceCursor();

    // Each depends only on those before it.
    PageText m_text;
    PageHistory m_history{m_text};
    RowIndex m_rows{m_text};
    PageLayouts m_layouts{m_text, m_rows};
    PageControl m_control{m_text, m_history, m_rows, m_layouts, this};

    QBasicTimer m_idleTimer;
    QBasicTimer m_scrollBarTimer;
    QBasicTimer m_blinkTimer;
    bool m_wrapped = false;
    bool m_caretShown = true;
    bool m_settingScrollBar = false;
};
