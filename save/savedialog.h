// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The Save dialog as the Save command drives it: four settings, a modal show, and the
// file name read back afterwards. Cancelling leaves the file name as it was set.
class SaveDialog
{
public:
    virtual ~SaveDialog() = default;

    virtual void setDialogTitle(const QString &title) = 0;
    virtual void setFilter(const QString &filter) = 0;
    virtual void setDefaultExt(const QString &extension) = 0;
    virtual void setFileName(const QString &fileName) = 0;
    virtual QString fileName() const = 0;
    virtual void showSave() = 0;
};
