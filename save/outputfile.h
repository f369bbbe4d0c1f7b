// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// A file that a page is written to, named by its path as the system takes it: bytes, which
// need not be valid UTF-8.
//
// A regular file, or a name that does not exist yet, is written to a temporary beside it that
// replaces it only on commit(); a symbolic link stays a link and the file it leads to is
// replaced. Anything else that exists (a named pipe, a device) is written directly: nothing is
// created, emptied or renamed. A failure leaves an existing file as it was, removes the
// temporary and tells why in errorString(), in the system's words ("No space left on device").
//
// While writing, a file-size limit and a pipe that nobody reads any more are errors of the
// write, not signals that end the program.
class OutputFile
{
public:
    OutputFile() = default;
    ~OutputFile(); // without a commit(): removes the temporary, and an old file stays
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool open(const QByteArray &path);

    // Writes to `descriptor` (standard output) as it stands; it stays the caller's and is never
    // closed. A reader that goes away ends the program as it ends any filter in a pipeline.
    void attach(int descriptor);

    // Each writes all it is given, in as many system writes as that takes; false on failure,
    // after which every call fails.
    bool write(QByteArrayView bytes);
    // Writes exactly text.toUtf8(), encoded a slice at a time, so that a large page is never
    // held a second time in memory.
    bool writeUtf8(QStringView text);

    // Makes what was written the file's contents: a temporary is synced to disk, closed and
    // renamed over the file it replaces; a file written directly is closed.
    bool commit();

    QString errorString() const { return m_error; }

private:
    enum class Kind {
        Replacement, // a temporary, renamed over the file on commit
        Direct,      // a named pipe or device, opened as it is
        Attached,    // a descriptor of the caller's
    };

    bool openDirectly(const QByteArray &path, bool isPipe);
    bool openReplacement(const QByteArray &path);
    bool waitUntilWritable(qint64 sinceProgressMs);
    bool fail(int error);
    bool fail(const QString &reason);
    void discard(); // closes what this object opened and removes the temporary

    Kind m_kind = Kind::Replacement;
    int m_descriptor = -1;
    QByteArray m_temporary; // while it exists
    QByteArray m_target;    // what the temporary replaces
    QString m_error;        // empty until something fails
};
