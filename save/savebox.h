// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "savedialog.h"

#include <QString>

class QWidget;

// The real Save dialog, over Qt's file dialog. When the user confirms, the file name is
// the chosen file's full path, with the default extension added by the dialog to a name
// typed without one.
class SaveFileDialog : public SaveDialog
{
public:
    explicit SaveFileDialog(QWidget *parent = nullptr)
        : m_parent(parent)
    {}

    void setDialogTitle(const QString &title) override { m_title = title; }
    void setFilter(const QString &filter) override { m_filter = filter; }
    void setDefaultExt(const QString &extension) override { m_defaultExt = extension; }
    void setFileName(const QString &fileName) override { m_fileName = fileName; }
    QString fileName() const override { return m_fileName; }
    void showSave() override;

    // Whether the desktop's own file dialog may stand in for Qt's (the default).
    void setNativeDialogAllowed(bool allowed) { m_nativeAllowed = allowed; }

private:
    QWidget *m_parent;
    QString m_title;
    QString m_filter;
    QString m_defaultExt;
    QString m_fileName;
    bool m_nativeAllowed = true;
};
