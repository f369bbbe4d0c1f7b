// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <functional>

class QByteArray;
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

// Writes `pageText` as the whole of the file at `path` (the name as the system takes it), as
// UTF-8 without a byte-order mark and with nothing added. A regular file gets the new
// contents only once all of them are written, so a failure leaves it as it was and no
// partial file behind; a named pipe or device is written as it is (see OutputFile).
SaveOutcome writePageFile(const QByteArray &path, QStringView pageText);
