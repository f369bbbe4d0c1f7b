// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

struct stat;

// A file that a page is written to, named by its path as the system takes it: bytes, which
// need not be valid UTF-8.
//
// What the name leads to is opened first, and what was opened decides how it is written, so
// that what is checked is what is written. A symbolic link stays a link and the file it leads
// to is written. A name that does not exist yet, or a regular file, is written to a temporary
// beside it that replaces it only on commit(): the temporary has the old file's owner, group
// and mode before anything is written into it, and after the rename the folder is synced, so
// that the new name survives a power cut. A regular file that cannot be replaced so (it has
// other hard links, its owner, group or mode cannot be given to a new file, or its folder
// takes no new name) is written in place instead, as it is: room for the new contents is taken
// before the old ones are overwritten, so a full disk or a file-size limit leaves them as they
// were. Anything else (a named pipe, a device) is written directly: nothing is created, emptied or
// renamed.
//
// A failure tells why in errorString(), in the system's words ("No space left on device"),
// removes the temporary and leaves an existing file as it was; only a failure that cannot be
// foreseen (an input/output error, the power going) while a file is written in place can
// leave it part old, part new.
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

    // `size`: the bytes that will be written, or more; a file written in place is given
    // room for them before its old contents are touched.
    bool open(const QByteArray &path, qint64 size);

    // Writes to `descriptor` (standard output) as it stands; it stays the caller's and is never
    // closed. A reader that goes away ends the program as it ends any filter in a pipeline.
    void attach(int descriptor);

    // Each writes all it is given, in as many system writes as that takes; false on failure,
    // after which every call fails.
    bool write(QByteArrayView bytes);
    // Writes exactly text.toUtf8(), encoded a slice at a time, so that a large page is never
    // held a second time in memory.
    bool writeUtf8(QStringView text);
    // The bytes writeUtf8(text) writes, or a few more: never fewer.
    static qint64 utf8Size(QStringView text);

    // Makes what was written the file's contents: a temporary is synced to disk, closed and
    // renamed over the file it replaces, and the folder synced; a file written in place is
    // cut to what was written and synced; a file written directly is closed.
    bool commit();

    QString errorString() const { return m_error; }

private:
    enum class Kind {
        Replacement, // a temporary, renamed over the file on commit
        InPlace,     // the regular file itself, overwritten from its start
        Direct,      // a named pipe or device, opened as it is
        Attached,    // a descriptor of the caller's
    };

    // Whether a regular file that cannot be replaced may be written in place instead.
    enum class InPlace { Allowed, Refused };

    bool openRegular(int descriptor, const struct stat &existing, const QByteArray &target,
                     qint64 size, InPlace inPlace);
    bool openReplacement(const QByteArray &target, const struct stat *existing);
    bool openInPlace(int descriptor, qint64 oldSize, qint64 size);
    bool failToOpen(const QByteArray &target, int error);
    bool commitReplacement();
    bool commitInPlace();
    bool closeDescriptor();
    bool waitUntilWritable(qint64 sinceProgressMs);
    bool fail(int error);
    bool fail(const QString &reason);
    void discard(); // closes what this object opened and removes the temporary

    Kind m_kind = Kind::Replacement;
    int m_descriptor = -1;
    qint64 m_written = 0;   // in place: where the new contents end
    QByteArray m_temporary; // while it exists
    QByteArray m_target;    // what the temporary replaces
    QString m_error;        // empty until something fails
};
