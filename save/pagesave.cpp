// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagesave.h"

#include "outputfile.h"
#include "savedialog.h"

#include <QFile>

namespace {

const QString DialogTitle = QStringLiteral("Save HTML text as...");
const QString Filter = QStringLiteral("HTML File (*.html)");
const QString DefaultExt = QStringLiteral("html");

// The name the dialog opens with; finding it unchanged afterwards means the user cancelled.
const QString InitialFileName = QStringLiteral("*.html");

SaveOutcome failed(const QString &fileName, const QString &reason)
{
    return {SaveOutcome::Result::Failed, fileName, reason};
}

} // namespace

SaveOutcome savePage(SaveDialog &dialog, const std::function<QString()> &pageText)
{
    dialog.setDialogTitle(DialogTitle);
    dialog.setFilter(Filter);
    dialog.setDefaultExt(DefaultExt);
    dialog.setFileName(InitialFileName);
    dialog.showSave();
    if (dialog.fileName() == InitialFileName)
        return {};
    const QString text = pageText();
    SaveOutcome outcome = writePageFile(QFile::encodeName(dialog.fileName()), text);
    outcome.fileName = dialog.fileName();
    return outcome;
}

SaveOutcome writePageFile(const QByteArray &path, QStringView pageText)
{
    OutputFile file;
    if (!file.open(path, OutputFile::utf8Size(pageText)) || !file.writeUtf8(pageText) ||
        !file.commit())
        return failed(QFile::decodeName(path), file.errorString());
    return {SaveOutcome::Result::Saved, QFile::decodeName(path), QString()};
}
