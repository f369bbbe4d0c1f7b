#pragma once

#include "savedialog.h"

#include <QString>
#include <QStringList>

class QWidget;

// The real Save dialog, over Qt's file dialog. When the user confirms, the file name is
// the chosen file's full path, with the default extension added to a name typed without
// one.
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

// The filter as Qt's file dialog takes it. Each entry is "Description (patterns)": a
// "Description|patterns|..." list is split into such entries, and a description without
// patterns gets those of the default extension, or "*" when there is none.
QStringList fileDialogNameFilters(const QString &filter, const QString &defaultExt);

// `path` with "." and the default extension added when its file name has no "." in it.
QString withDefaultExtension(const QString &path, const QString &defaultExt);
