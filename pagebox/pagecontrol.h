// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QBasicTimer>
#include <QObject>
#include <QPoint>
#include <QStringView>
#include <QVariant>

class PageHistory;
class PageLayouts;
class PageText;
class RowIndex;
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
class PageControl : public QObject
{
    Q_OBJECT

public:
    // `widget` is the view: the source of drags, and what assistive tools are told about.
    PageControl(PageText &text, PageHistory &history, RowIndex &rows, PageLayouts &layouts,
                QWidget *widget);

    // A new page: the caret at its start, no selection.
    void reset();

    qsizetype cursorPosition() const { return m_cursor; }
    qsizetype anchorPosition() const { return m_anchor; }
    bool hasSelection() const { return m_cursor != m_anchor; }
    QString selectedText() const;
    void setSelection(qsizetype anchor, qsizetype cursor);
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
    void replaceSelection(QStringView text, bool typing = false);
    void insertWithTypedBreaks(const QString &text);
    void deleteBackward();
    void deleteForward();
    void moveCursor(qsizetype position, bool keepAnchor);
    bool handleShortcut(QKeyEvent *event);
    bool handleMovement(QKeyEvent *event);
    void scrollByLines(int lines);
    void afterEdit();
    QMimeData *selectionMimeData() const;
    void startDrag();
    void dropPreedit();

    PageText &m_text;
    PageHistory &m_history;
    RowIndex &m_rows;
    PageLayouts &m_layouts;
    QWidget *m_widget;

    qsizetype m_cursor = 0;
    qsizetype m_anchor = 0;
    qreal m_desiredX = -1; // the x that Up and Down keep to
    int m_preeditCursor = 0;

    QBasicTimer m_autoScrollTimer;
    bool m_selecting = false;
    bool m_mightDrag = false;
    bool m_droppedInside = false;
    QPoint m_pressPoint;
    QPoint m_lastMousePoint;
    qsizetype m_dropPosition = -1;
};
