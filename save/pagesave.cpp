// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagesave.h"

#include "savedialog.h"

#include <QSaveFile>
#include <QStringEncoder>

namespace {

const QString DialogTitle = QStringLiteral("Save HTML text as...");
const QString Filter = QStringLiteral("HTML File (*.html)");
const QString DefaultExt = QStringLiteral("html");
constexpr qsizetype SliceLength = 1 << 20; // UTF-16 units encoded and written at a time

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
    if (!writeUtf8(file, pageText)) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return failed(fileName, reason);
    }
    if (!file.commit())
        return failed(fileName, file.errorString());
    return {SaveOutcome::Result::Saved, fileName, QString()};
}

bool writeUtf8(QIODevice &device, const QString &text)
{
    // The encoder keeps a surrogate pair together when a slice boundary splits it.
    QStringEncoder encoder(QStringConverter::Utf8);
    for (qsizetype at = 0; at < text.size(); at += SliceLength) {
        const QByteArray bytes =
            encoder.encode(QStringView(text).sliced(at, qMin(SliceLength, text.size() - at)));
        if (device.write(bytes) != bytes.size())
            return false;
    }
    return true;
}
