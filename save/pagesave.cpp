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
    return writePageFile(dialog.fileName(), utf8Of(text));
}

Utf8Source utf8Of(const QString &text)
{
    return [&text](const Utf8Sink &sink) {
        // The encoder keeps a surrogate pair together when a slice boundary splits it.
        QStringEncoder encoder(QStringConverter::Utf8);
        for (qsizetype at = 0; at < text.size(); at += SliceLength) {
            const QStringView rest = QStringView(text).sliced(at);
            const QByteArray slice = encoder.encode(rest.first(qMin(SliceLength, rest.size())));
            if (!sink(slice))
                return false;
        }
        return true;
    };
}

SaveOutcome writePageFile(const QString &fileName, const Utf8Source &page)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return failed(fileName, file.errorString());
    if (!writeUtf8(file, page)) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return failed(fileName, reason);
    }
    if (!file.commit())
        return failed(fileName, file.errorString());
    return {SaveOutcome::Result::Saved, fileName, QString()};
}

bool writeUtf8(QIODevice &device, const Utf8Source &page)
{
    return page([&device](QByteArrayView slice) {
        return device.write(slice.data(), slice.size()) == slice.size();
    });
}
