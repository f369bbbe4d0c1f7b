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
#include <climits>
#include <cstdlib>

namespace {

// The idle work on a new page goes on in slices this long, between which the window
// handles whatever else is waiting.
constexpr qint64 IdleSliceMs = 8;
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
    m_layouts.setViewportSize(viewport()->size());

    connect(&m_control, &PageControl::textChanged, this, &PageBox::textChanged);
    connect(&m_control, &PageControl::cursorPositionChanged, this, [this] {
        restartBlinking();
        emit cursorPositionChanged();
    });
    connect(&m_control, &PageControl::contentsChanged, this, &PageBox::afterContentsChange);
    connect(&m_control, &PageControl::updateRequest, this, &PageBox::followTop);
    connect(&m_control, &PageControl::microFocusChanged, this, [this] { updateMicroFocus(); });
    // A click in the scroll bar's trough pages as Page Down and Page Up do, leaving the caret.
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, [this](int action) {
        if (action == QAbstractSlider::SliderPageStepAdd ||
            action == QAbstractSlider::SliderPageStepSub)
            m_control.scrollByPage(action == QAbstractSlider::SliderPageStepAdd);
    });
    setPageText(QString());
}

PageBox::~PageBox() = default;

void PageBox::setPageText(const QString &text)
{
    const bool announce = QAccessible::isActive() && m_text.size() <= OfferedTextLimit &&
                          text.size() <= OfferedTextLimit;
    const QString before = announce ? m_text.text() : QString();
    m_history.setPage(text);
    m_control.reset();
    m_rows.indexSome(IdleSliceMs);
    startIdleWork();
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
    return m_control.hitPosition(viewportPoint);
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
    // The top stretch may begin above the viewport; nothing of it may reach the frame.
    painter.setClipRect(event->rect());
    painter.setPen(palette().text().color());
    const qsizetype cursor = m_control.cursorPosition();
    const qsizetype anchor = m_control.anchorPosition();
    const qsizetype selectionStart = std::min(cursor, anchor);
    const qsizetype selectionEnd = std::max(cursor, anchor);
    const qsizetype dropPosition = m_control.dropPosition();
    const bool caretShown = hasFocus() && m_caretShown;
    QTextCharFormat selected;
    selected.setBackground(palette().brush(QPalette::Highlight));
    selected.setForeground(palette().brush(QPalette::HighlightedText));
    // A position at the boundary of two stretches of one row is drawn in the later one.
    const auto holds = [](const PageLayouts::Stretch &stretch, qsizetype position) {
        return position >= stretch.start &&
               (position < stretch.end || (position == stretch.end && stretch.endsRow));
    };

    const PageLayouts::LinePlace top = m_layouts.top();
    PageLayouts::Stretch stretch = m_layouts.stretchOf(top);
    qreal y = m_layouts.topMargin() - stretch.layout->lineAt(top.line).y();
    for (;;) {
        QList<QTextLayout::FormatRange> selections;
        // A selected line break, CR LF or not, reaches one place past the layout's text, where
        // the layout draws it as Qt's plain text editor does: a little room after the line.
        const bool breakSelected =
            stretch.endsRow && selectionStart <= stretch.end && selectionEnd > stretch.end;
        if ((selectionStart < stretch.end && selectionEnd > stretch.start) || breakSelected) {
            const int from = stretch.toLayout(std::max(selectionStart, stretch.start));
            const int to =
                stretch.toLayout(std::min(selectionEnd, stretch.end)) + (breakSelected ? 1 : 0);
            selections.append({from, to - from, selected});
        }
        const QPointF origin(PageLayouts::DocumentMargin, y);
        stretch.layout->draw(&painter, origin, selections);
        // At the composition, the caret stands where the composition's own caret does.
        if (caretShown && holds(stretch, cursor)) {
            const int caret = stretch.toLayout(cursor);
            stretch.layout->drawCursor(
                &painter, origin,
                caret + (caret == stretch.preeditAt ? m_control.preeditCursor() : 0));
        }
        if (dropPosition >= 0 && holds(stretch, dropPosition))
            stretch.layout->drawCursor(&painter, origin, stretch.toLayout(dropPosition));
        y += stretch.extent();
        if (y >= viewport()->height() || !m_layouts.nextStretch(stretch))
            break;
    }
    // Laying out what was painted may have counted lines the scroll bar estimated.
    if (m_layouts.takeCountsChanged())
        m_scrollBarTimer.start(0, this);
}

// --- Scrolling --------------------------------------------------------------------------

// The scroll bar counts screen lines, as in Qt's plain text editor: its range ends where
// the last lines fill the viewport, and its thumb is the share of the lines on screen.
void PageBox::updateScrollBar()
{
    const PageLayouts::LinePlace last = m_layouts.settleTop();
    const qsizetype lastLine = m_layouts.screenLinesBefore(last);
    const qsizetype total = m_rows.totalScreenLines();
    const qsizetype maximum = std::clamp<qsizetype>(lastLine, 0, INT_MAX);
    m_settingScrollBar = true;
    QScrollBar *bar = verticalScrollBar();
    bar->setRange(0, int(maximum));
    bar->setPageStep(int(std::clamp<qsizetype>(total - lastLine, 1, INT_MAX)));
    bar->setSingleStep(1);
    if (!bar->isSliderDown())
        bar->setValue(int(std::min(m_layouts.screenLinesBefore(m_layouts.top()), maximum)));
    m_settingScrollBar = false;
}

// The layouts' top line moved, or what is shown changed: the scroll bar and the viewport follow.
void PageBox::followTop()
{
    m_settingScrollBar = true;
    if (!verticalScrollBar()->isSliderDown())
        verticalScrollBar()->setValue(int(m_layouts.screenLinesBefore(m_layouts.top())));
    m_settingScrollBar = false;
    viewport()->update();
}

// The scroll bar moved (the wheel, its arrows, its page steps, its thumb). A move of a few
// pages goes line by line, so that it is exact where lines are only estimated; a longer
// one goes to the line the scroll bar's position counts.
void PageBox::scrollContentsBy(int, int dy)
{
    if (m_settingScrollBar || dy == 0)
        return;
    QScrollBar *bar = verticalScrollBar();
    if (std::abs(dy) <= 4 * std::max(1, bar->pageStep()))
        m_layouts.scrollByLines(-dy);
    else
        m_layouts.scrollToPlace(m_layouts.placeOfScreenLine(bar->value()));
    followTop();
}

void PageBox::afterContentsChange()
{
    startIdleWork();
    updateScrollBar();
}

void PageBox::startIdleWork()
{
    m_wrapped = false;
    m_idleTimer.start(0, this);
}

void PageBox::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    m_layouts.setViewportSize(viewport()->size());
    startIdleWork();
    updateScrollBar();
}

void PageBox::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        m_layouts.setFont(font());
        startIdleWork();
        updateScrollBar();
        viewport()->update();
    }
}

// The idle work: indexing the rows, then finding the true lines of long rows.
void PageBox::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_idleTimer.timerId()) {
        const bool indexed = m_rows.indexSome(IdleSliceMs);
        m_wrapped = indexed && m_layouts.wrapSome(IdleSliceMs);
        if (m_wrapped)
            m_idleTimer.stop();
        m_layouts.takeCountsChanged();
        updateScrollBar();
    } else if (event->timerId() == m_scrollBarTimer.timerId()) {
        m_scrollBarTimer.stop();
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
    // Rectangles are in the viewport's coordinates, as Qt's plain text editor gives them.
    const QVariant answer = m_control.inputMethodQuery(query);
    return answer.isValid() ? answer : QAbstractScrollArea::inputMethodQuery(query);
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
