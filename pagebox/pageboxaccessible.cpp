// SPDX-License-Identifier: GPL-3.0-or-later
#include "pageboxaccessible.h"

#include "pagebox.h"

#include <QTextBoundaryFinder>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Around an offset, a word or a sentence is looked for within this many characters each way.
constexpr int Reach = 4096;

QAccessibleInterface *pageBoxFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("PageBox") && object && object->isWidgetType())
        return new PageBoxAccessible(static_cast<PageBox *>(object));
    return nullptr;
}

bool isLineKind(QAccessible::TextBoundaryType boundaryType)
{
    return boundaryType == QAccessible::LineBoundary ||
           boundaryType == QAccessible::ParagraphBoundary;
}

// A line is one on screen, as the caret moves by; a paragraph a line of the text.
PageBox::LineSpan lineSpanAt(PageBox &box, int offset, QAccessible::TextBoundaryType boundaryType)
{
    return boundaryType == QAccessible::LineBoundary ? box.screenLineAt(offset)
                                                     : box.textLineAt(offset);
}

// A font as the text attributes of assistive tools name it, in the order Qt's text widgets
// give them.
QString fontAttributes(const QFont &font)
{
    QString family = font.families().value(0, font.family());
    for (const QChar special : {u'\\', u':', u',', u'=', u';', u'"'})
        family.replace(special, QStringLiteral("\\") + special);
    QString attributes = QStringLiteral("font-family:\"%1\";").arg(family);
    if (const int size = int(font.pointSizeF()); size > 0)
        attributes += QStringLiteral("font-size:%1pt;").arg(size);
    const QLatin1StringView style = font.style() == QFont::StyleItalic    ? "italic"_L1
                                    : font.style() == QFont::StyleOblique ? "oblique"_L1
                                                                          : "normal"_L1;
    attributes += QStringLiteral("font-weight:%1;font-style:%2;")
                      .arg(font.weight() > QFont::Normal ? "bold"_L1 : "normal"_L1, style);
    return attributes + QStringLiteral("text-position:baseline;text-align:left;");
}

} // namespace

void installPageBoxAccessibility()
{
    static bool installed = false;
    if (!installed) {
        QAccessible::installFactory(pageBoxFactory);
        installed = true;
    }
}

PageBoxAccessible::PageBoxAccessible(PageBox *box)
    : QAccessibleWidget(box, QAccessible::EditableText)
{}

PageBox *PageBoxAccessible::box() const
{
    return static_cast<PageBox *>(widget());
}

void *PageBoxAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    if (type == QAccessible::EditableTextInterface)
        return static_cast<QAccessibleEditableTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State PageBoxAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.editable = true;
    state.multiLine = true;
    state.selectableText = true;
    return state;
}

QString PageBoxAccessible::text(QAccessible::Text kind) const
{
    if (kind == QAccessible::Value)
        return box()->pageText();
    return QAccessibleWidget::text(kind);
}

void PageBoxAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    if (selectionIndex != 0 || !box()->hasSelection())
        return;
    *startOffset = int(std::min(box()->cursorPosition(), box()->anchorPosition()));
    *endOffset = int(std::max(box()->cursorPosition(), box()->anchorPosition()));
}

int PageBoxAccessible::selectionCount() const
{
    return box()->hasSelection() ? 1 : 0;
}

void PageBoxAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void PageBoxAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0)
        box()->setCursorPosition(box()->cursorPosition());
}

void PageBoxAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex == 0)
        box()->setSelection(startOffset, endOffset);
}

int PageBoxAccessible::cursorPosition() const
{
    return int(box()->cursorPosition());
}

void PageBoxAccessible::setCursorPosition(int position)
{
    box()->setCursorPosition(position);
}

QString PageBoxAccessible::text(int startOffset, int endOffset) const
{
    return box()->textRange(startOffset, endOffset);
}

int PageBoxAccessible::characterCount() const
{
    return int(box()->characterCount());
}

QRect PageBoxAccessible::characterRect(int offset) const
{
    const QRect inViewport = box()->characterRect(offset);
    return inViewport.translated(box()->viewport()->mapToGlobal(QPoint(0, 0)));
}

int PageBoxAccessible::offsetAtPoint(const QPoint &point) const
{
    return int(box()->positionAt(box()->viewport()->mapFromGlobal(point)));
}

// Shows the text without moving the caret or the selection.
void PageBoxAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    box()->scrollToRange(startIndex, endIndex);
}

// The run of text that holds `offset` and how it is drawn. The text has one font, so a run is
// a line's characters or its line break, as a plain text editor gives them; screen readers
// read a line run by run. The end of the text counts as its last character, and -1 as the end.
QString PageBoxAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    const int count = characterCount();
    if (offset == -1 || offset == count)
        offset = count - 1;
    if (offset < 0 || offset >= count) {
        *startOffset = *endOffset = -1;
        return QString();
    }
    const PageBox::LineSpan line = box()->textLineAt(offset);
    const bool inBreak = offset >= line.end;
    *startOffset = int(inBreak ? line.end : line.start);
    *endOffset = int(inBreak ? line.next : line.end);
    return fontAttributes(box()->font());
}

void PageBoxAccessible::deleteText(int startOffset, int endOffset)
{
    box()->replaceRange(startOffset, endOffset, QString());
}

void PageBoxAccessible::insertText(int offset, const QString &text)
{
    box()->replaceRange(offset, offset, text);
}

void PageBoxAccessible::replaceText(int startOffset, int endOffset, const QString &text)
{
    box()->replaceRange(startOffset, endOffset, text);
}

// The piece of text of the given kind around `offset`, read from a window around it.
QString PageBoxAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                        int *startOffset, int *endOffset) const
{
    const int count = characterCount();
    *startOffset = *endOffset = -1;
    if (offset < 0 || offset > count)
        return QString();
    if (boundaryType == QAccessible::NoBoundary) {
        *startOffset = 0;
        *endOffset = count;
        return text(0, count);
    }
    // Neither a line nor a paragraph takes in the line break after it.
    if (isLineKind(boundaryType)) {
        const PageBox::LineSpan line = lineSpanAt(*box(), offset, boundaryType);
        *startOffset = int(line.start);
        *endOffset = int(line.end);
        return text(*startOffset, *endOffset);
    }
    // A word or a sentence ends at the end of its line, without the line break, as in a plain
    // text editor; at the line's end it is the one before, and on an empty line an empty one.
    int lowest = 0;
    int highest = count;
    if (boundaryType == QAccessible::SentenceBoundary ||
        boundaryType == QAccessible::WordBoundary) {
        const PageBox::LineSpan line = box()->textLineAt(offset);
        lowest = int(line.start);
        highest = int(line.end);
        offset = std::min(offset, highest); // between the CR and the LF of a break
    }
    const int windowStart = std::max(lowest, offset - Reach);
    const QString window = text(windowStart, std::min(highest, offset + Reach));
    const int at = offset - windowStart;
    int from = at;
    int to = at;
    {
        const auto type = boundaryType == QAccessible::CharBoundary ? QTextBoundaryFinder::Grapheme
                          : boundaryType == QAccessible::WordBoundary
                              ? QTextBoundaryFinder::Word
                              : QTextBoundaryFinder::Sentence;
        QTextBoundaryFinder finder(type, window);
        finder.setPosition(at);
        if (!finder.isAtBoundary() || at == window.size())
            from = int(finder.toPreviousBoundary());
        finder.setPosition(at);
        to = int(finder.toNextBoundary());
        if (from < 0)
            from = 0;
        if (to < 0)
            to = int(window.size());
    }
    *startOffset = windowStart + from;
    *endOffset = windowStart + to;
    return window.mid(from, to - from);
}

QString PageBoxAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                            int *startOffset, int *endOffset) const
{
    int start = 0;
    int end = 0;
    textAtOffset(offset, boundaryType, &start, &end);
    if (start <= 0) {
        *startOffset = *endOffset = -1;
        return QString();
    }
    return textAtOffset(start - 1, boundaryType, startOffset, endOffset);
}

QString PageBoxAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                           int *startOffset, int *endOffset) const
{
    int start = 0;
    int end = 0;
    textAtOffset(offset, boundaryType, &start, &end);
    if (end < 0 || end >= characterCount()) {
        *startOffset = *endOffset = -1;
        return QString();
    }
    // The next line starts past the line break or the blank that ends this one, and the
    // next word or sentence past the line break that ends this one.
    int next = end;
    if (isLineKind(boundaryType)) {
        next = int(lineSpanAt(*box(), offset, boundaryType).next);
    } else if (boundaryType == QAccessible::SentenceBoundary ||
               boundaryType == QAccessible::WordBoundary) {
        const PageBox::LineSpan line = box()->textLineAt(offset);
        if (end >= line.end)
            next = int(line.next);
    }
    return textAtOffset(next, boundaryType, startOffset, endOffset);
}
