// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagebox.h"

#include <QAccessible>
#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <QTextLayout>

#include <algorithm>

namespace {

// The idle work on a new page goes on in slices this long, between which the window
// handles whatever else is waiting.
constexpr qint64 IndexSliceMs = 8;
constexpr int WheelLinesPerStep = 3;
// Text offered to assistive tools is cut off at this length.
constexpr qsizetype OfferedTextLimit = 65536;

} // namespace

PageBox::PageBox(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus); // Tab moves on to the next control, as everywhere else
    setAttribute(Qt::WA_InputMethodEnabled);
    setAcceptDrops(true);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    m_layouts.setFont(font());
    m_layouts.setTextDirection(layoutDirection());
    m_layouts.setViewportSize(viewport()->size());

    connect(&m_control, &PageControl::textChanged, this, &PageBox::textChanged);
    connect(&m_control, &PageControl::cursorPositionChanged, this, [this] {
        restartBlinking();
        emit cursorPositionChanged();
    });
    connect(&m_control, &PageControl::contentsChanged, this, &PageBox::afterContentsChange);
    connect(&m_control, &PageControl::updateRequest, this, &PageBox::followTop);
    connect(&m_control, &PageControl::microFocusChanged, this, [this] { updateMicroFocus(); });
    // The scroll bar counts rows, and a row of a long line may take many screen lines; its
    // arrows and page steps move by screen lines instead, as in any text box.
    connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this, [this](int action) {
        const int page = m_layouts.linesPerPage();
        const int lines = action == QAbstractSlider::SliderSingleStepAdd   ? 1
                          : action == QAbstractSlider::SliderSingleStepSub ? -1
                          : action == QAbstractSlider::SliderPageStepAdd   ? page
                          : action == QAbstractSlider::SliderPageStepSub   ? -page
                                                                           : 0;
        if (lines == 0)
            return;
        m_layouts.scrollByLines(lines);
        followTop();
        verticalScrollBar()->setSliderPosition(int(m_layouts.top().row));
    });
    setPageText(QString());
}

PageBox::~PageBox() = default;

void PageBox::setPageText(const QString &text)
{
    const bool announce = QAccessible::isActive() && m_text.size() <= OfferedTextLimit &&
                          text.size() <= OfferedTextLimit;
    const QString before = announce ? m_text.text() : QString();
    m_text.setText(text);
    m_control.reset();
    m_rows.indexSome(IndexSliceMs);
    if (!m_rows.fullyIndexed())
        m_indexTimer.start(0, this);
    updateScrollBar();
    viewport()->update();
    if (announce) {
        QAccessibleTextUpdateEvent changed(this, 0, before, text);
        QAccessible::updateAccessibility(&changed);
    }
    m_control.announceCursor();
    emit textChanged();
    emit cursorPositionChanged();
}

QString PageBox::pageText() const
{
    return m_text.text();
}

void PageBox::setSelection(qsizetype anchor, qsizetype cursor)
{
    m_control.setSelection(anchor, cursor);
}

QRect PageBox::characterRect(qsizetype position)
{
    return m_layouts.characterRect(position);
}

qsizetype PageBox::positionAt(QPoint viewportPoint)
{
    return m_layouts.positionAt(viewportPoint);
}

void PageBox::undo()
{
    m_control.undo();
}

void PageBox::redo()
{
    m_control.redo();
}

void PageBox::cut()
{
    m_control.cut();
}

void PageBox::copy()
{
    m_control.copy();
}

void PageBox::paste()
{
    m_control.paste();
}

void PageBox::selectAll()
{
    m_control.selectAll();
}

// --- Painting ---------------------------------------------------------------------------

void PageBox::paintEvent(QPaintEvent *event)
{
    m_layouts.keepCacheSmall();
    QPainter painter(viewport());
    // The top row may begin above the viewport; nothing of it may reach the frame.
    painter.setClipRect(event->rect());
    painter.setPen(palette().text().color());
    const qsizetype cursor = m_control.cursorPosition();
    const qsizetype anchor = m_control.anchorPosition();
    const qsizetype selectionStart = std::min(cursor, anchor);
    const qsizetype selectionEnd = std::max(cursor, anchor);
    const qsizetype cursorRow = m_rows.rowAt(cursor);
    const qsizetype dropPosition = m_control.dropPosition();
    const qsizetype dropRow = dropPosition >= 0 ? m_rows.rowAt(dropPosition) : -1;
    QTextCharFormat selected;
    selected.setBackground(palette().brush(QPalette::Highlight));
    selected.setForeground(palette().brush(QPalette::HighlightedText));

    const PageLayouts::LinePlace top = m_layouts.top();
    qreal y = m_layouts.topMargin() - m_layouts.rowLayout(top.row)->lineAt(top.line).y();
    for (qsizetype row = top.row; y < viewport()->height(); ++row) {
        m_rows.indexRows(row + 2);
        if (row >= m_rows.rowsKnown())
            break;
        QTextLayout *layout = m_layouts.rowLayout(row);
        const qsizetype start = m_rows.rowStart(row);
        const qsizetype end = m_rows.rowEnd(row);
        QList<QTextLayout::FormatRange> selections;
        if (selectionStart < end && selectionEnd > start) {
            const qsizetype from = std::max(selectionStart, start) - start;
            const qsizetype to = std::min(selectionEnd, end) - start;
            selections.append({int(from), int(to - from), selected});
        }
        const QPointF origin(PageLayouts::DocumentMargin, y);
        layout->draw(&painter, origin, selections);
        // A selected line break shows as a little room after the line's last character.
        if (selectionStart <= end && selectionEnd > end && row + 1 < m_rows.rowsKnown() &&
            m_rows.rowStartsLine(row + 1)) {
            const QTextLine last = layout->lineAt(layout->lineCount() - 1);
            painter.fillRect(QRectF(origin.x() + last.naturalTextWidth(), y + last.y(),
                                    painter.fontMetrics().averageCharWidth(), last.height()),
                             palette().brush(QPalette::Highlight));
        }
        if (row == cursorRow && hasFocus() && m_caretShown)
            layout->drawCursor(&painter, origin,
                               int(cursor - start) +
                                   (m_layouts.preedit().isEmpty() ? 0 : m_control.preeditCursor()));
        if (row == dropRow)
            layout->drawCursor(&painter, origin, int(dropPosition - start));
        y += m_layouts.rowHeight(row);
    }
}

// --- Scrolling --------------------------------------------------------------------------

void PageBox::updateScrollBar()
{
    const PageLayouts::LinePlace last = m_layouts.settleTop();
    m_settingScrollBar = true;
    QScrollBar *bar = verticalScrollBar();
    bar->setRange(0, int(last.row));
    bar->setPageStep(m_layouts.linesPerPage());
    bar->setSingleStep(1);
    bar->setValue(int(m_layouts.top().row));
    m_settingScrollBar = false;
}

// The layouts' top line moved, or what is shown changed: the scroll bar and the viewport follow.
void PageBox::followTop()
{
    m_settingScrollBar = true;
    verticalScrollBar()->setValue(int(m_layouts.top().row));
    m_settingScrollBar = false;
    viewport()->update();
}

void PageBox::scrollContentsBy(int, int)
{
    if (m_settingScrollBar || verticalScrollBar()->value() == m_layouts.top().row)
        return;
    m_layouts.scrollToPlace({verticalScrollBar()->value(), 0});
    viewport()->update();
}

void PageBox::afterContentsChange()
{
    if (!m_rows.fullyIndexed())
        m_indexTimer.start(0, this);
    updateScrollBar();
}

void PageBox::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    m_layouts.setViewportSize(viewport()->size());
    updateScrollBar();
}

void PageBox::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::LayoutDirectionChange) {
        m_layouts.setFont(font());
        m_layouts.setTextDirection(layoutDirection());
        updateScrollBar();
        viewport()->update();
    }
}

void PageBox::wheelEvent(QWheelEvent *event)
{
    if (event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier)) {
        event->ignore();
        return;
    }
    const int steps = event->angleDelta().y() / QWheelEvent::DefaultDeltasPerStep;
    if (steps != 0) {
        m_layouts.scrollByLines(-steps * WheelLinesPerStep * QApplication::wheelScrollLines() / 3);
        followTop();
    }
    event->accept();
}

void PageBox::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_indexTimer.timerId()) {
        if (m_rows.indexSome(IndexSliceMs))
            m_indexTimer.stop();
        updateScrollBar();
    } else if (event->timerId() == m_blinkTimer.timerId()) {
        m_caretShown = !m_caretShown;
        viewport()->update();
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}

// --- Caret ------------------------------------------------------------------------------

void PageBox::restartBlinking()
{
    m_caretShown = true;
    const int flashTime = QGuiApplication::styleHints()->cursorFlashTime();
    if (hasFocus() && flashTime > 1)
        m_blinkTimer.start(flashTime / 2, this);
    else
        m_blinkTimer.stop();
}

void PageBox::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    restartBlinking();
    viewport()->update();
}

void PageBox::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    m_blinkTimer.stop();
    viewport()->update();
}

// --- Events for the control -------------------------------------------------------------

bool PageBox::event(QEvent *event)
{
    // Keys the box handles itself are not taken as shortcuts by the window around it.
    if (event->type() == QEvent::ShortcutOverride &&
        m_control.isOwnShortcut(static_cast<QKeyEvent *>(event))) {
        event->accept();
        return true;
    }
    return QAbstractScrollArea::event(event);
}

void PageBox::keyPressEvent(QKeyEvent *event)
{
    m_control.keyPress(event);
}

void PageBox::mousePressEvent(QMouseEvent *event)
{
    m_control.mousePress(event);
}

void PageBox::mouseMoveEvent(QMouseEvent *event)
{
    m_control.mouseMove(event);
}

void PageBox::mouseReleaseEvent(QMouseEvent *event)
{
    m_control.mouseRelease(event);
}

void PageBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    m_control.mouseDoubleClick(event);
}

void PageBox::dragEnterEvent(QDragEnterEvent *event)
{
    m_control.dragEnter(event);
}

void PageBox::dragMoveEvent(QDragMoveEvent *event)
{
    m_control.dragMove(event);
}

void PageBox::dragLeaveEvent(QDragLeaveEvent *)
{
    m_control.dragLeave();
}

void PageBox::dropEvent(QDropEvent *event)
{
    m_control.drop(event);
}

void PageBox::inputMethodEvent(QInputMethodEvent *event)
{
    m_control.inputMethod(event);
}

QVariant PageBox::inputMethodQuery(Qt::InputMethodQuery query) const
{
    QVariant answer = m_control.inputMethodQuery(query);
    if (!answer.isValid())
        return QAbstractScrollArea::inputMethodQuery(query);
    if (query == Qt::ImCursorRectangle)
        answer = answer.toRect().translated(viewport()->pos());
    return answer;
}

// --- Context menu -----------------------------------------------------------------------

QMenu *PageBox::createStandardContextMenu()
{
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("qt_edit_menu"));
    const auto add = [this, menu](const QString &text, QKeySequence::StandardKey key, bool enabled,
                                  void (PageBox::*slot)()) {
        QAction *action = menu->addAction(text, this, slot);
        action->setShortcut(key);
        action->setEnabled(enabled);
    };
    add(tr("&Undo"), QKeySequence::Undo, isUndoAvailable(), &PageBox::undo);
    add(tr("&Redo"), QKeySequence::Redo, isRedoAvailable(), &PageBox::redo);
    menu->addSeparator();
    add(tr("Cu&t"), QKeySequence::Cut, hasSelection(), &PageBox::cut);
    add(tr("&Copy"), QKeySequence::Copy, hasSelection(), &PageBox::copy);
    add(tr("&Paste"), QKeySequence::Paste, m_control.canPaste(), &PageBox::paste);
    QAction *remove = menu->addAction(tr("Delete"), &m_control, &PageControl::removeSelectedText);
    remove->setEnabled(hasSelection());
    menu->addSeparator();
    add(tr("Select All"), QKeySequence::SelectAll, m_text.size() > 0, &PageBox::selectAll);
    return menu;
}

void PageBox::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}
