#include "pagebox.h"

#include <QKeyEvent>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

namespace {

const QString CrLf = QStringLiteral("\r\n");

// How many removed pieces of text with line breaks in them are kept for undo.
constexpr std::size_t RemovedTextKept = 16;

// The characters that the document turns into a paragraph break when text is put into it.
// A CR directly followed by an LF makes a single break.
bool isBreakCharacter(QChar c)
{
    switch (c.unicode()) {
    case u'\n':
    case u'\r':
    case QChar::ParagraphSeparator:
    case 0xFDD0: // the document's frame markers
    case 0xFDD1:
        return true;
    default:
        return false;
    }
}

} // namespace

PageBox::PageBox(QWidget *parent)
    : QPlainTextEdit(parent)
    , m_typedLineBreak(QStringLiteral("\n"))
{
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTabChangesFocus(true); // Tab moves on to the URL box, as in every other control

    connect(document(), &QTextDocument::contentsChange, this, &PageBox::followContentsChange);
}

void PageBox::setPageText(const QString &text)
{
    m_text = text;
    m_removed.clear();
    m_settingText = true;
    setPlainText(text);
    m_settingText = false;
    findLineBreaks();
    // Should the document ever break the text differently from what findLineBreaks()
    // expects, the exact text still stands until the user's first edit rebuilds it.
    m_documentLength = document()->characterCount() - 1;
}

QString PageBox::pageText() const
{
    return m_text;
}

// Shift+Enter would put a U+2028 line separator into the document, which no page uses as a
// line break; it makes an ordinary line break here, as Enter does.
void PageBox::keyPressEvent(QKeyEvent *event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && event->modifiers().testFlag(Qt::ShiftModifier)) {
        QKeyEvent plain(event->type(), event->key(), event->modifiers() & ~Qt::ShiftModifier,
                        event->text(), event->isAutoRepeat(), ushort(event->count()));
        QPlainTextEdit::keyPressEvent(&plain);
        event->setAccepted(plain.isAccepted());
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

// One scan of the text: where the CR LF pairs stand in the document, and which line break
// the text uses first.
void PageBox::findLineBreaks()
{
    m_crLfBreaks.clear();
    const QStringView text(m_text);
    const qsizetype firstCr = text.indexOf(u'\r');
    const qsizetype firstLf = text.indexOf(u'\n');
    if (firstLf >= 0 && (firstCr < 0 || firstLf < firstCr))
        m_typedLineBreak = QStringLiteral("\n");
    else if (firstCr >= 0)
        m_typedLineBreak = text.mid(firstCr, 2) == CrLf ? CrLf : QStringLiteral("\r");
    else
        m_typedLineBreak = QStringLiteral("\n");

    int pairsBefore = 0;
    for (qsizetype cr = firstCr; cr >= 0; cr = text.indexOf(u'\r', cr + 1)) {
        if (cr + 1 < text.size() && text[cr + 1] == u'\n') {
            m_crLfBreaks.push_back(int(cr - pairsBefore));
            ++pairsBefore;
        }
    }
}

// The document reports each edit as a range it replaced. Qt counts the document's closing
// paragraph break into some of these reports and not into others, so the range is first
// kept inside both the old and the new document, reaching no less far back from their ends
// in either; a range too wide does no harm, since only what differs is replaced.
void PageBox::followContentsChange(int position, int charsRemoved, int charsAdded)
{
    if (m_settingText)
        return;
    if (!textMatchesDocument()) {
        rebuildFromDocument();
        return;
    }
    const int oldLength = m_documentLength;
    const int newLength = document()->characterCount() - 1;
    const int from = std::clamp(position, 0, std::min(oldLength, newLength));
    const int oldEnd = std::clamp(position + charsRemoved, from, oldLength);
    const int newEnd = std::clamp(position + charsAdded, from, newLength);
    const int unchangedTail = std::min(oldLength - oldEnd, newLength - newEnd);
    replaceRange(from, oldLength - unchangedTail, newLength - unchangedTail);
}

// Replaces what stood in the document from `from` to `oldEnd` with what now stands there
// up to `newEnd`, in the exact text and in the map of its CR LF pairs.
void PageBox::replaceRange(int from, int oldEnd, int newEnd)
{
    const QString before = documentCharacters(from, oldEnd);
    QTextCursor cursor(document());
    cursor.setPosition(from);
    cursor.setPosition(newEnd, QTextCursor::KeepAnchor);
    const QString after = cursor.selectedText();
    if (after.size() != newEnd - from) {
        rebuildFromDocument();
        return;
    }

    // Keep what did not change, so that its line breaks keep their own style.
    qsizetype head = 0;
    while (head < before.size() && head < after.size() && before[head] == after[head])
        ++head;
    qsizetype tail = 0;
    while (tail < before.size() - head && tail < after.size() - head &&
           before[before.size() - 1 - tail] == after[after.size() - 1 - tail])
        ++tail;
    const int changeFrom = from + int(head);
    const int oldChangeEnd = oldEnd - int(tail);
    const int newChangeEnd = newEnd - int(tail);
    if (changeFrom == oldChangeEnd && changeFrom == newChangeEnd) {
        m_documentLength = document()->characterCount() - 1;
        return;
    }

    const qsizetype textFrom = textPosition(changeFrom);
    const qsizetype textTo = textPosition(oldChangeEnd);
    const auto first = std::lower_bound(m_crLfBreaks.begin(), m_crLfBreaks.end(), changeFrom);
    const auto last = std::lower_bound(first, m_crLfBreaks.end(), oldChangeEnd);

    const QStringView removed = QStringView(before).sliced(head, before.size() - head - tail);
    if (removed.contains(QChar(QChar::ParagraphSeparator))) {
        RemovedText kept{removed.toString(), m_text.mid(textFrom, textTo - textFrom), {}};
        for (auto pair = first; pair != last; ++pair)
            kept.crLfBreaks.push_back(*pair - changeFrom);
        m_removed.push_back(std::move(kept));
        if (m_removed.size() > RemovedTextKept)
            m_removed.pop_front();
    }

    QString inserted;
    std::vector<int> insertedPairs;
    const QStringView added = QStringView(after).sliced(head, after.size() - head - tail);
    const auto restored =
        std::find_if(m_removed.rbegin(), m_removed.rend(),
                     [added](const auto &r) { return r.documentCharacters == added; });
    if (restored != m_removed.rend()) {
        inserted = restored->text;
        for (const int pair : restored->crLfBreaks)
            insertedPairs.push_back(changeFrom + pair);
    } else {
        inserted = withTypedLineBreaks(added, changeFrom, insertedPairs);
    }

    const int shift = newChangeEnd - oldChangeEnd;
    std::for_each(last, m_crLfBreaks.end(), [shift](int &pair) { pair += shift; });
    const auto at = m_crLfBreaks.erase(first, last);
    m_crLfBreaks.insert(at, insertedPairs.begin(), insertedPairs.end());
    m_text.replace(textFrom, textTo - textFrom, inserted);
    m_documentLength = document()->characterCount() - 1;

    if (!textMatchesDocument())
        rebuildFromDocument();
}

// Where a document position falls in the exact text: every CR LF pair before it counts
// one character more than the document's single break.
qsizetype PageBox::textPosition(int documentPosition) const
{
    const auto pairsBefore =
        std::lower_bound(m_crLfBreaks.begin(), m_crLfBreaks.end(), documentPosition) -
        m_crLfBreaks.begin();
    return qsizetype(documentPosition) + pairsBefore;
}

// The document's characters from `from` to `to` as the exact text gives them, with every
// line break as a paragraph separator.
QString PageBox::documentCharacters(int from, int to) const
{
    QString characters;
    characters.reserve(to - from);
    auto nextPair = std::lower_bound(m_crLfBreaks.begin(), m_crLfBreaks.end(), from);
    qsizetype t = textPosition(from);
    for (int d = from; d < to && t < m_text.size(); ++d) {
        if (nextPair != m_crLfBreaks.end() && *nextPair == d) {
            characters += QChar(QChar::ParagraphSeparator);
            t += 2;
            ++nextPair;
            continue;
        }
        const QChar c = m_text[t++];
        characters += isBreakCharacter(c) ? QChar(QChar::ParagraphSeparator) : c;
    }
    return characters;
}

// Every CR LF pair of the exact text stands for one document character.
bool PageBox::textMatchesDocument() const
{
    return m_text.size() == qsizetype(m_documentLength) + qsizetype(m_crLfBreaks.size());
}

// Document characters as exact text: each paragraph break becomes the typed line break,
// and where that is CR LF, its document position (counted from `documentFrom`) is added
// to `crLfBreaks`.
QString PageBox::withTypedLineBreaks(QStringView characters, int documentFrom,
                                     std::vector<int> &crLfBreaks) const
{
    const bool typedCrLf = m_typedLineBreak == CrLf;
    QString text;
    text.reserve(characters.size());
    for (qsizetype i = 0; i < characters.size(); ++i) {
        if (characters[i] == QChar::ParagraphSeparator) {
            if (typedCrLf)
                crLfBreaks.push_back(documentFrom + int(i));
            text += m_typedLineBreak;
        } else {
            text += characters[i];
        }
    }
    return text;
}

// The last resort when the exact text and the document disagree: the document's own
// characters, U+00A0 and the rest kept, its paragraph breaks in the text's line break style.
void PageBox::rebuildFromDocument()
{
    const QString raw = document()->toRawText();
    m_crLfBreaks.clear();
    m_text = withTypedLineBreaks(raw, 0, m_crLfBreaks);
    m_documentLength = int(raw.size());
}
