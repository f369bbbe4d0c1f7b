// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "pagebody.h"

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
    // The page box's text: empty, a message, or a page's text.
    virtual void setPageText(const QString &text) = 0;
    // A page's body, for the page box. A window shows its text; one that only passes the
    // page on may keep the bytes instead.
    virtual void setPageBody(PageBody body) { setPageText(body.takeText()); }
    virtual void setPortCaption(const QString &caption) = 0;

    // The flag is true while the retrieval about to start follows a redirect.
    virtual bool redirecting() const = 0;
    virtual void setRedirecting(bool on) = 0;
};
