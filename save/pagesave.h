// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <QString>

#include <functional>

class QIODevice;
class SaveDialog;

// How one press of Save ended.
struct SaveOutcome
{
    enum class Result {
        Cancelled, // the user cancelled the dialog: nothing was written
        Saved,     // the file holds the page text
        Failed,    // the file could not be written; an existing one keeps its old contents
    };

    Result result = Result::Cancelled;
    QString fileName; // the file chosen in the dialog; empty when cancelled
    QString reason;   // why the file could not be written
};

// One press of Save: gives the dialog its four settings afresh, shows it, and unless the
// user cancelled, writes the page text, read only once the dialog has closed, to the
// chosen file.
SaveOutcome savePage(SaveDialog &dialog, const std::function<QString()> &pageText);

// Where a page's UTF-8 goes, a slice at a time; false once a slice could not be written.
using Utf8Sink = std::function<bool(QByteArrayView)>;
// A page as UTF-8: hands every slice to the sink in turn, and stops when the sink fails.
using Utf8Source = std::function<bool(const Utf8Sink &)>;

// `text` as UTF-8, encoded a slice at a time, so that a large page is never held a second
// time in memory. The text must outlive the source.
Utf8Source utf8Of(const QString &text);

// Writes the page as the whole of the file, with nothing added. The new contents replace
// the old ones only once all of them are written, so a failure leaves an existing file as
// it was and no partial file behind.
SaveOutcome writePageFile(const QString &fileName, const Utf8Source &page);

// Writes the page to `device`. False when the device takes less than it was given.
bool writeUtf8(QIODevice &device, const Utf8Source &page);
