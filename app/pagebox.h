#pragma once

#include <QPlainTextEdit>

// The page box. Qt's text document turns every kind of line break into one paragraph
// break and hands back U+00A0 as a space, so the box keeps the exact text it was given
// and gives that back, rather than what the document would rebuild.
class PageBox : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit PageBox(QWidget *parent = nullptr);

    void setPageText(const QString &text);
    QString pageText() const;

private:
    QString m_text;
};
