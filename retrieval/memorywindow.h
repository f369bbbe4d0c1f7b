// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagewindow.h"

// A window without widgets: it keeps what a retrieval writes into the window's controls,
// a page's body as the bytes that came. The command-line twin and the tests run
// retrievals on it.
class MemoryWindow : public PageWindow
{
public:
    explicit MemoryWindow(const QString &url = QString())
        : m_url(url)
    {}

    QString urlText() const override { return m_url; }
    void setUrlText(const QString &text) override { m_url = text; }
    // What the page box would show.
    QString pageText() const { return m_hasBody ? m_body.text() : m_page; }
    void setPageText(const QString &text) override
    {
        m_page = text;
        m_body = PageBody();
        m_hasBody = false;
    }
    // The body of the page shown, if a page is shown; nothing when the box holds a message.
    const PageBody *pageBody() const { return m_hasBody ? &m_body : nullptr; }
    void setPageBody(PageBody body) override
    {
        m_page.clear();
        m_body = std::move(body);
        m_hasBody = true;
    }
    QString portCaption() const { return m_port; }
    void setPortCaption(const QString &caption) override { m_port = caption; }
    bool redirecting() const override { return m_redirecting; }
    void setRedirecting(bool on) override { m_redirecting = on; }

private:
    QString m_url;
    QString m_page;
    PageBody m_body;
    bool m_hasBody = false;
    QString m_port;
    bool m_redirecting = false;
};
