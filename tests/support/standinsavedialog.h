// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "savebox.h"

#include <QStringList>

#include <optional>

// A Save dialog that shows nothing. It records what the save gives it, in order, and when
// shown either "chooses" a file or leaves the file name as it was, as a cancelled dialog does.
class StandInSaveDialog : public SaveDialog
{
public:
    explicit StandInSaveDialog(std::optional<QString> choice = std::nullopt)
        : m_choice(std::move(choice))
    {}

    void choose(std::optional<QString> choice) { m_choice = std::move(choice); }

    void setDialogTitle(const QString &title) override
    {
        calls << QStringLiteral("title ") + title;
    }
    void setFilter(const QString &filter) override { calls << QStringLiteral("filter ") + filter; }
    void setDefaultExt(const QString &extension) override
    {
        calls << QStringLiteral("ext ") + extension;
    }
    void setFileName(const QString &fileName) override
    {
        calls << QStringLiteral("name ") + fileName;
        m_fileName = fileName;
    }
    QString fileName() const override { return m_fileName; }
    void showSave() override
    {
        calls << QStringLiteral("show");
        namesShown << m_fileName;
        if (m_choice)
            m_fileName = *m_choice;
    }

    QStringList calls;      // every setting and show, in order
    QStringList namesShown; // the file name each show opened with

private:
    std::optional<QString> m_choice;
    QString m_fileName;
};
