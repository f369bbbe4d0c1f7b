// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagewindow.h"

// A window without widgets: it keeps what a retrieval writes into the window's controls.
// The command-line twin and the tests run retrievals on it.
class MemoryWindow : public PageWindow
{
public:
    explicit MemoryWindow(const QString &url = QString())
        : m_url(url)
    {}

    QString urlText() const override { return m_url; }
    void setUrlText(const QString &text) override { m_url = text; }
    QString pageText() const { return m_page; }
    void setPageText(const QString &text) override { m_page = text; }
    QString portCaption() const { return m_port; }
    void setPortCaption(const QString &caption) override { m_port = caption; }
    bool redirecting() const override { return m_redirecting; }
    void setRedirecting(bool on) override { m_redirecting = on; }

private:
    QString m_url;
    QString m_page;
    QString m_port;
    bool m_redirecting = false;
};
