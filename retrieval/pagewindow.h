// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// What a retrieval needs of the window it runs for: the URL box, the page box, the port
// label and the window's Redirecting flag. The window implements it; so do the
// command-line twin and the tests, which have no widgets.
class PageWindow
{
public:
    virtual ~PageWindow() = default;

    virtual QString urlText() const = 0;
    virtual void setUrlText(const QString &text) = 0;
    virtual void setPageText(const QString &text) = 0;
    virtual void setPortCaption(const QString &caption) = 0;

    // The flag is true while the retrieval about to start follows a redirect.
    virtual bool redirecting() const = 0;
    virtual void setRedirecting(bool on) = 0;
};
