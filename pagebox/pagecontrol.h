// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagehistory.h"
#include "pagetext.h"

#include <QBasicTimer>
#include <QDeadlineTimer>
#include <QKeySequence>
#include <QObject>
#include <QPoint>
#include <QStringView>
#include <QTextLayout>
#include <QVariant>

#include <functional>
#include <optional>

class PageLayouts;
class RowIndex;
class QDrag;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QInputMethodEvent;
class QKeyEvent;
class QMimeData;
class QMouseEvent;
class QWidget;

// What the user does to the page box's text: the caret and the selection, keys, the
// mouse, the clipboard, input methods, drag and drop. The control paints nothing; it
// edits through the history, asks the layouts where things are, and tells the view what
// to show through its signals. Points are in the viewport's coordinates.
//
// Each user action is one step of the history, and the control keeps the rules of Qt's
// plain text editor for what a key, a click or an input method's event does, except where
// the page box is deliberately exact (see PageBox).
class PageControl : public QObject, private PageText::Listener
{
    Q_OBJECT

public:
    // `widget` is the view: the control's parent, the source of drags, and what assistive
    // tools are told about.
    PageControl(PageText &text, PageHistory &history, RowIndex &rows, PageLayouts &layouts,
                QWidget *widget);

    // A new page: the caret at its start, no selection.
    void reset();

    qsizetype cursorPosition() const { return m_cursor; }
    qsizetype anchorPosition() const { return m_anchor; }
    bool hasSelection() const { return m_cursor != m_anchor; }
    QString selectedText() const;
    void setSelection(qsizetype anchor, qsizetype cursor);
    // Puts `text` in place of the characters from `from` to `to` as a step of its own, its
    // line breaks as typed ones; the caret and the selection stay with the characters
    // around them.
    void replaceRange(qsizetype from, qsizetype to, const QString &text);
    // Scrolls to the text from `from` to `to`, leaving the caret where it is.
    void reveal(qsizetype from, qsizetype to);
    // The position a point in the viewport hits; below the text's last line, its end.
    qsizetype hitPosition(QPoint point) const;
    // Whether the clipboard holds text to paste.
    bool canPaste() const;
    // Where in the composition its caret stands, and where a drop would land (or -1).
    int preeditCursor() const { return m_preeditCursor; }
    qsizetype dropPosition() const { return m_dropPosition; }

    void keyPress(QKeyEvent *event);
    // Whether the key is the box's own, not a shortcut of the window around it.
    bool isOwnShortcut(QKeyEvent *event) const;
    void mousePress(QMouseEvent *event);
    void mouseMove(QMouseEvent *event);
    void mouseRelease(QMouseEvent *event);
    void mouseDoubleClick(QMouseEvent *event);
    void dragEnter(QDragEnterEvent *event);
    void dragMove(QDragMoveEvent *event);
    void dragLeave();
    void drop(QDropEvent *event);
    void inputMethod(QInputMethodEvent *event);
    // The answer to an input method's question, or an invalid QVariant for one it leaves to
    // the widget. Rectangles are in the viewport's coordinates.
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const;
    // Tells assistive tools where the caret and the selection are.
    void announceCursor();
    // Scrolls a page down or up as Page Down and Page Up do, without moving the caret.
    bool scrollByPage(bool down);

    // Carries out a drag that starts in the box and returns what became of it. By default the
    // platform's own drag, which returns once the drag is dropped or given up; a test brings
    // its own where the platform carries out none.
    using DragRunner = std::function<Qt::DropAction(QDrag &)>;
    void setDragRunner(DragRunner runner) { m_runDrag = std::move(runner); }

public slots:
    void undo();
    void redo();
    void cut();
    void copy();
    void paste();
    void selectAll();
    void removeSelectedText();

signals:
    void textChanged();
    void cursorPositionChanged();
    // The text changed under the view: its scroll bar and idle work follow.
    void contentsChanged();
    // The view should repaint, and follow the layouts' top line.
    void updateRequest();
    void microFocusChanged();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    // A stretch of the text, from one position to another.
    struct Range
    {
        qsizetype from;
        qsizetype to;
    };

    void textReset() override {}
    void textReplaced(qsizetype from, qsizetype removed, qsizetype inserted) override;

    bool replace(qsizetype from, qsizetype to, QStringView text, PageHistory::Run run);
    void replaceSelection(QStringView text, PageHistory::Run run = PageHistory::Run::None);
    bool replaceAround(qsizetype from, qsizetype to, QStringView text);
    QString withTypedBreaks(QStringView text) const;
    void insertWithTypedBreaks(QStringView text);
    QString typedText(const QKeyEvent *event);
    void deleteBackward();
    void deleteForward();
    void deleteToLineEnd();
    void replayHistory(bool forwards);
    void moveCursor(qsizetype position, bool keepAnchor, bool reveal = true);
    qsizetype settled(qsizetype position) const;
    bool handleShortcut(QKeyEvent *event);
    bool handleMovement(QKeyEvent *event);
    void move(QKeySequence::StandardKey movement, bool select);
    qsizetype movementTarget(QKeySequence::StandardKey movement, bool select, qreal &desiredX);
    qsizetype characterStep(qsizetype position, bool forwards, bool byWord, bool select) const;
    void scrollByLines(int lines);
    qsizetype pageMove(qsizetype position, bool down, qreal &desiredX);
    void afterEdit();
    void offerSelection() const;
    QMimeData *selectionMimeData() const;
    void pasteFrom(const QMimeData *data);

    qsizetype nextCharacterBoundary(qsizetype position) const;
    qsizetype pastPair(qsizetype position) const;
    qsizetype wordEdge(qsizetype position, bool forwards) const;
    int preeditOffsetAt(QPoint point) const;
    bool givenToInputMethod(QMouseEvent *event) const;
    void selectByMouse(QPoint point, bool reveal);
    void extendByWords(qsizetype position, int x, bool reveal);
    void extendByLines(qsizetype position, bool reveal);
    void forgetMouseSelection();

    void startDrag();
    void dropText(qsizetype position, const QString &text, bool moving);
    qsizetype commitPreedit(QPoint point);
    bool isEchoOfCommit(const QInputMethodEvent *event);
    void takePreeditLook(const QInputMethodEvent &event, const QString &preedit);
    void dropPreedit();
    qsizetype surroundingStart() const;
    QRectF cursorRect() const;

    PageText &m_text;
    PageHistory &m_history;
    RowIndex &m_rows;
    PageLayouts &m_layouts;
    QWidget *m_widget;

    qsizetype m_cursor = 0;
    qsizetype m_anchor = 0;
    qreal m_desiredX = -1;           // the x that Up and Down keep to
    std::optional<qreal> m_pageRowY; // the viewport row that a run of page moves keeps to
    int m_preeditCursor = 0;
    QList<QTextLayout::FormatRange> m_preeditFormats; // how the composition is drawn
    // A composition that a click had committed, which the input method may send again.
    QString m_committedOnClick;
    // Where a composition's commit lands when that is not at the caret: between a CR and an
    // LF that a selection stood between, where the caret cannot stand. -1 when at the caret.
    qsizetype m_commitAt = -1;
    QDeadlineTimer m_commitEchoDeadline;
    QChar m_heldHighSurrogate; // the first half of a character, until the key with the second
    bool m_selectionAnnounced = false;
    bool m_announceReplacements = false; // while undo and redo replay the history

    QBasicTimer m_autoScrollTimer;
    QBasicTimer m_tripleClickTimer; // runs from a double-click for as long as a third may follow
    QPoint m_tripleClickPoint;
    std::optional<Range> m_wordSelection; // a double-clicked word, which a drag extends by words
    std::optional<Range> m_lineSelection; // a triple-clicked line, which a drag extends by lines
    bool m_selecting = false;
    bool m_mightDrag = false;
    bool m_dragging = false;
    bool m_droppedInside = false;
    QPoint m_pressPoint;
    QPoint m_lastMousePoint;
    qsizetype m_dropPosition = -1;
    DragRunner m_runDrag;
};
