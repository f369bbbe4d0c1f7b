#include "pagesave.h"

#include "savebox.h"

#include <QSaveFile>

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
    return writePageFile(dialog.fileName(), text);
}

SaveOutcome writePageFile(const QString &fileName, const QString &pageText)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return failed(fileName, file.errorString());
    const QByteArray bytes = pageText.toUtf8();
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return failed(fileName, reason);
    }
    if (!file.commit())
        return failed(fileName, file.errorString());
    return {SaveOutcome::Result::Saved, fileName, QString()};
}
