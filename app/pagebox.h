#pragma once

#include <QPlainTextEdit>

#include <deque>
#include <vector>

// The page box. Qt's text document turns every kind of line break into one paragraph
// break and hands back U+00A0 as a space, so the box keeps the exact text it was given
// and gives that back, rather than what the document would rebuild. Edits the user makes
// in the document are carried over into that text as they happen; a line break the user
// types takes the style of the text's first line break.
class PageBox : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit PageBox(QWidget *parent = nullptr);

    void setPageText(const QString &text);
    QString pageText() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void followContentsChange(int position, int charsRemoved, int charsAdded);
    void replaceRange(int from, int oldEnd, int newEnd);
    qsizetype textPosition(int documentPosition) const;
    QString documentCharacters(int from, int to) const;
    void findLineBreaks();
    bool textMatchesDocument() const;
    QString withTypedLineBreaks(QStringView characters, int documentFrom,
                                std::vector<int> &crLfBreaks) const;
    void rebuildFromDocument();

    // Text taken out of the document, kept so that an undo that puts it back restores its
    // own line breaks rather than the typed style.
    struct RemovedText
    {
        QString documentCharacters;
        QString text;
        std::vector<int> crLfBreaks; // from the start of the removed text
    };

    QString m_text;                // exactly what the box holds, line breaks as they came
    std::vector<int> m_crLfBreaks; // document positions of the breaks that stand for CR LF
    int m_documentLength = 0;      // the document's characters, its closing break not counted
    QString m_typedLineBreak;      // what a line break that the user types becomes
    std::deque<RemovedText> m_removed;
    bool m_settingText = false;
};
