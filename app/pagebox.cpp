#include "pagebox.h"

PageBox::PageBox(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTabChangesFocus(true); // Tab moves on to the URL box, as in every other control
}

void PageBox::setPageText(const QString &text)
{
    m_text = text;
    setPlainText(text);
}

QString PageBox::pageText() const
{
    return m_text;
}
