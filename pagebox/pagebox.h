// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagetext.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QPoint>

#include <memory>
#include <unordered_map>

class QMenu;
class QMimeData;
class QTextLayout;

// The page box: an editable view of the page's text that holds the text itself, exactly
// (PageText), and lays out only the rows on screen. Setting a page returns at once; the
// rest of the text is indexed in short slices while the window is idle. It looks and
// behaves like Qt's plain text editor: the same font, palette, frame, caret, selection,
// keys, context menu and input methods. A line break the user types, pastes or drops takes
// the style of the text's first line break.
class PageBox : public QAbstractScrollArea
{
    Q_OBJECT

public:
    explicit PageBox(QWidget *parent = nullptr);
    ~PageBox() override;

    void setPageText(const QString &text);
    QString pageText() const;

    // The caret and the selection, as positions in the text.
    qsizetype cursorPosition() const { return m_cursor; }
    qsizetype anchorPosition() const { return m_anchor; }
    void setSelection(qsizetype anchor, qsizetype cursor);
    void setCursorPosition(qsizetype position) { setSelection(position, position); }
    bool hasSelection() const { return m_cursor != m_anchor; }
    QString selectedText() const;
    qsizetype characterCount() const { return m_text.size(); }
    QString textRange(qsizetype from, qsizetype to) const { return m_text.mid(from, to - from); }
    // Where a character stands in the viewport, and which position a viewport point hits.
    QRect characterRect(qsizetype position);
    qsizetype positionAt(QPoint viewportPoint);
    bool isUndoAvailable() const { return m_text.canUndo(); }
    bool isRedoAvailable() const { return m_text.canRedo(); }
    bool isReadOnly() const { return false; }
    // Whether every row of the text has been indexed (the idle work is done).
    bool isIndexed() const { return m_text.fullyIndexed(); }

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
    void wheelEvent(QWheelEvent *event) override;
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
    // A place on screen: a row and one of the lines it is laid out in.
    struct LinePlace
    {
        qsizetype row = 0;
        int line = 0;
        auto operator<=>(const LinePlace &) const = default;
    };

    QTextLayout *rowLayout(qsizetype row);
    void forgetLayouts();
    qreal rowHeight(qsizetype row);
    qreal lineHeight(LinePlace place);
    LinePlace placeOf(qsizetype position);
    bool nextLine(LinePlace &place);
    bool previousLine(LinePlace &place);
    qreal topMargin() const;
    qreal textWidth() const;
    int linesPerPage() const;

    void replaceSelection(QStringView text, bool typing = false);
    void insertWithTypedBreaks(const QString &text);
    void deleteBackward();
    void deleteForward();
    void moveCursor(qsizetype position, bool keepAnchor);
    qsizetype leftOf(qsizetype position, bool byWord);
    qsizetype rightOf(qsizetype position, bool byWord);
    qsizetype verticalMove(qsizetype position, int lines);
    qsizetype lineEdge(qsizetype position, bool end);
    std::pair<qsizetype, qsizetype> wordAt(qsizetype position);
    bool handleShortcut(QKeyEvent *event);
    bool handleMovement(QKeyEvent *event);

    void ensureCursorVisible();
    void scrollToPlace(LinePlace place);
    void scrollByLines(int lines);
    LinePlace lastTopPlace();
    void updateScrollBar();
    void afterEdit();
    void restartBlinking();
    QMimeData *selectionMimeData() const;
    void startDrag();
    void announceCursor();
    void dropPreedit();

    PageText m_text;
    qsizetype m_cursor = 0;
    qsizetype m_anchor = 0;
    qreal m_desiredX = -1; // the x that Up and Down keep to
    LinePlace m_top;       // the line at the top of the viewport

    std::unordered_map<qsizetype, std::unique_ptr<QTextLayout>> m_layouts; // by row
    QString m_preedit;
    int m_preeditCursor = 0;

    QBasicTimer m_indexTimer;
    QBasicTimer m_blinkTimer;
    QBasicTimer m_autoScrollTimer;
    bool m_caretShown = true;
    bool m_selecting = false;
    bool m_mightDrag = false;
    bool m_droppedInside = false;
    QPoint m_pressPoint;
    QPoint m_lastMousePoint;
    qsizetype m_dropPosition = -1;
    bool m_settingScrollBar = false;
};
