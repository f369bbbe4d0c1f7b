// SPDX-License-Identifier: GPL-3.0-or-later
#include "outputfile.h"

#include <QRandomGenerator>

#include <chrono>
#include <optional>

#include <cerrno>
#include <climits>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr qsizetype SliceLength = 1 << 20; // UTF-16 units encoded and written at a time
constexpr int MaxLinkHops = 40;            // as many symbolic links as the system follows
constexpr int TemporaryAttempts = 100;     // names tried before giving up on a temporary
constexpr int TemporarySuffixLength = 6;
constexpr qsizetype ZeroBlockLength = 64 * 1024; // zeros written at a time to take room

// A reader that takes nothing for this long (a named pipe whose reader has stopped) ends the
// save, so that the window is not frozen for ever.
constexpr qint64 StallLimitMs = 30'000;

const QString NoReaderReason = QStringLiteral("Nothing is reading from the named pipe");
const QString SocketReason = QStringLiteral("A socket cannot be written as a file");
const QString StalledReason =
    QStringLiteral("Timed out: nothing was read from it for %1 seconds").arg(StallLimitMs / 1000);

template <typename SystemCall> auto retryOnInterrupt(SystemCall call)
{
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// While it lives, SIGXFSZ (a write past the file-size limit) and, if asked, SIGPIPE (a write
// to a pipe with no reader) are held back from this thread; one that a write raised is taken
// away again, so that the write's EFBIG or EPIPE is all that remains of it.
class SignalsHeldBack
{
public:
    explicit SignalsHeldBack(bool brokenPipeToo)
    {
        sigemptyset(&m_held);
        sigaddset(&m_held, SIGXFSZ);
        if (brokenPipeToo)
            sigaddset(&m_held, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_held, &m_previousMask);
        sigpending(&m_pendingBefore);
    }
    ~SignalsHeldBack()
    {
        const int savedErrno = errno;
        sigset_t pending;
        sigpending(&pending);
        for (const int signal : {SIGXFSZ, SIGPIPE}) {
            if (sigismember(&m_held, signal) && sigismember(&pending, signal) &&
                !sigismember(&m_pendingBefore, signal) && !sigismember(&m_previousMask, signal))
                takeAway(signal);
        }
        pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
        errno = savedErrno;
    }
    SignalsHeldBack(const SignalsHeldBack &) = delete;
    SignalsHeldBack &operator=(const SignalsHeldBack &) = delete;

private:
    static void takeAway(int signal)
    {
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signal);
        const timespec now{0, 0};
        retryOnInterrupt([&] { return sigtimedwait(&only, nullptr, &now); });
    }

    sigset_t m_held;
    sigset_t m_previousMask;
    sigset_t m_pendingBefore;
};

// The folder part of `path`, with its final slash; empty for a name in the current folder.
QByteArray folderOf(const QByteArray &path)
{
    return path.left(path.lastIndexOf('/') + 1);
}

// The file that saving to `path` replaces: `path` itself, or the file that its chain of
// symbolic links leads to, which need not exist yet. Nothing for a loop of links.
std::optional<QByteArray> followLinks(QByteArray path)
{
    for (int hop = 0; hop < MaxLinkHops; ++hop) {
        struct stat status;
        if (lstat(path.constData(), &status) != 0 || !S_ISLNK(status.st_mode))
            return path;
        QByteArray target(PATH_MAX, Qt::Uninitialized);
        const ssize_t length = readlink(path.constData(), target.data(), size_t(target.size()));
        if (length < 0)
            return path; // gone meanwhile: the name itself is what gets written
        target.truncate(length);
        path = target.startsWith('/') ? target : folderOf(path) + target;
    }
    return std::nullopt;
}

QByteArray randomSuffix()
{
    static constexpr char Letters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray suffix(TemporarySuffixLength, Qt::Uninitialized);
    for (char &letter : suffix)
        letter = Letters[QRandomGenerator::global()->bounded(int(sizeof Letters - 1))];
    return suffix;
}

// A new file beside `target`, named after it and cut short where the name would pass the
// system's limit, created exclusively so that nothing else is ever overwritten. Returns the
// descriptor (negative, with errno set, on failure) and sets `name`.
int createTemporary(const QByteArray &target, mode_t mode, QByteArray &name)
{
    const QByteArray folder = folderOf(target);
    const QByteArray base = target.mid(folder.size()).left(NAME_MAX - TemporarySuffixLength - 1);
    for (int attempt = 0; attempt < TemporaryAttempts; ++attempt) {
        name = folder + base + '.' + randomSuffix();
        const int fd = retryOnInterrupt([&] {
            return ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        });
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1; // errno is EEXIST
}

// Gives the new file `fd` the owner, group and mode of `old`, and checks that it has them
// all: a file system may refuse one, or keep less of a mode than it was given. The owner
// comes first, since changing it takes the set-user-ID and set-group-ID bits away.
bool takeAttributes(int fd, const struct stat &old)
{
    struct stat now;
    return fchown(fd, old.st_uid, old.st_gid) == 0 && fchmod(fd, old.st_mode & 07777) == 0 &&
           fstat(fd, &now) == 0 && now.st_uid == old.st_uid && now.st_gid == old.st_gid &&
           (now.st_mode & 07777) == (old.st_mode & 07777);
}

// Makes sure that the file `fd`, now `oldSize` bytes long, has room for `size` bytes, on the
// disk and under the file-size limit, so that overwriting it cannot run out of space. Where
// the file system cannot set room aside, the part past the old end is written with zeros
// instead, which takes the same room on a file system that overwrites blocks where they are.
// On failure the file is cut back to its old size and errno says why.
bool reserveRoom(int fd, qint64 oldSize, qint64 size)
{
    if (size <= 0)
        return true;
    // The file-size limit stops writes past it even inside the old contents, which taking
    // room only meets when the file grows.
    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        rlim_t(size) > limit.rlim_cur) {
        errno = EFBIG;
        return false;
    }
    int error = retryOnInterrupt([&] { return fallocate(fd, 0, 0, size); }) == 0 ? 0 : errno;
    if (error == EOPNOTSUPP || error == ENOSYS) {
        static const QByteArray Zeros(ZeroBlockLength, '\0');
        error = 0;
        for (qint64 at = oldSize; at < size && error == 0;) {
            const ssize_t written = retryOnInterrupt([&] {
                return pwrite(fd, Zeros.constData(), size_t(qMin<qint64>(Zeros.size(), size - at)),
                              at);
            });
            if (written > 0)
                at += written;
            else
                error = written == 0 ? EIO : errno;
        }
    }
    if (error == 0)
        return true;
    struct stat now;
    if (fstat(fd, &now) == 0 && now.st_size > oldSize)
        retryOnInterrupt([&] { return ftruncate(fd, oldSize); });
    errno = error;
    return false;
}

// Syncs the folder that `name` is in, so that a rename into it lasts. A folder that cannot be
// opened for reading, or a file system that keeps nothing to sync, has nothing to add.
int syncFolderOf(const QByteArray &name)
{
    const QByteArray folder = folderOf(name);
    const int fd = retryOnInterrupt([&] {
        return ::open(folder.isEmpty() ? "." : folder.constData(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    });
    if (fd < 0)
        return 0;
    const int error = fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
    ::close(fd);
    return error;
}

// Opens what `target` names, never following a link and never waiting: for a named pipe,
// there being no reader is an error at once.
int openWithout(const QByteArray &target, int access)
{
    return retryOnInterrupt([&] {
        return ::open(target.constData(), access | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    });
}

} // namespace

OutputFile::~OutputFile()
{
    discard();
}

// The name is followed to the file it leads to, which is then opened without following a
// link: should a link have taken the file's place meanwhile, it is followed anew. Opening a
// named pipe without O_NONBLOCK would wait for a reader for ever; with it, there being none
// is an error at once, and a reader that stops reading shows as a full pipe.
bool OutputFile::open(const QByteArray &path, qint64 size)
{
    for (int attempt = 0; attempt < MaxLinkHops; ++attempt) {
        const std::optional<QByteArray> followed = followLinks(path);
        if (!followed)
            return fail(ELOOP);
        const QByteArray &target = *followed;
        if (target.isEmpty())
            return fail(ENOENT);
        int fd = openWithout(target, O_WRONLY);
        // A program that is running cannot be written, only replaced: it is opened to be looked at.
        const bool running = fd < 0 && errno == ETXTBSY;
        if (running)
            fd = openWithout(target, O_RDONLY);
        if (fd < 0 && errno == ELOOP)
            continue;
        if (fd < 0)
            return errno == ENOENT ? openReplacement(target, nullptr) : failToOpen(target, errno);
        struct stat status;
        if (fstat(fd, &status) != 0) {
            const int error = errno;
            ::close(fd);
            return fail(error);
        }
        if (S_ISREG(status.st_mode))
            return openRegular(fd, status, target, size,
                               running ? InPlace::Refused : InPlace::Allowed);
        m_kind = Kind::Direct;
        m_descriptor = fd;
        return true;
    }
    return fail(ELOOP);
}

// Opening for writing fails with ENXIO on a named pipe without a reader and on a socket.
bool OutputFile::failToOpen(const QByteArray &target, int error)
{
    struct stat status;
    if (error == ENXIO && lstat(target.constData(), &status) == 0) {
        if (S_ISFIFO(status.st_mode))
            return fail(NoReaderReason);
        if (S_ISSOCK(status.st_mode))
            return fail(SocketReason);
    }
    return fail(error);
}

void OutputFile::attach(int descriptor)
{
    m_kind = Kind::Attached;
    m_descriptor = descriptor;
}

// `descriptor` is the regular file at `target`, opened for writing; it is replaced when a
// temporary can take its place unchanged, else written in place.
bool OutputFile::openRegular(int descriptor, const struct stat &existing, const QByteArray &target,
                             qint64 size, InPlace inPlace)
{
    if (existing.st_nlink <= 1 && openReplacement(target, &existing)) {
        ::close(descriptor);
        return true;
    }
    if (inPlace == InPlace::Refused) {
        ::close(descriptor);
        return m_error.isEmpty() ? fail(ETXTBSY) : false;
    }
    // Where no temporary can be made at all (a folder that takes no new names), the file is
    // written in place too, as long as the file itself may be written.
    m_error.clear();
    return openInPlace(descriptor, existing.st_size, size);
}

// A temporary beside `target`, with the attributes of the `existing` file if there is one;
// until it has them, it is the owner's alone. Returns false without a failure when it cannot
// have them, so that the file is written in place instead.
bool OutputFile::openReplacement(const QByteArray &target, const struct stat *existing)
{
    m_kind = Kind::Replacement;
    if (target.endsWith('/'))
        return fail(EISDIR);
    QByteArray temporary;
    const int fd = createTemporary(target, existing ? 0600 : 0666, temporary);
    if (fd < 0)
        return fail(errno);
    if (existing && !takeAttributes(fd, *existing)) {
        ::close(fd);
        ::unlink(temporary.constData());
        return false;
    }
    m_descriptor = fd;
    m_temporary = temporary;
    m_target = target;
    return true;
}

// Writes go to the file itself, waiting as a file's writes do, from its start.
bool OutputFile::openInPlace(int descriptor, qint64 oldSize, qint64 size)
{
    m_kind = Kind::InPlace;
    m_descriptor = descriptor;
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(errno);
    const SignalsHeldBack heldBack(false); // room past the file-size limit is EFBIG
    if (!reserveRoom(descriptor, oldSize, size))
        return fail(errno);
    return true;
}

bool OutputFile::write(QByteArrayView bytes)
{
    if (!m_error.isEmpty() || m_descriptor < 0)
        return false;
    const SignalsHeldBack heldBack(m_kind != Kind::Attached);
    auto lastProgress = Clock::now();
    while (!bytes.isEmpty()) {
        const ssize_t written = ::write(m_descriptor, bytes.data(), size_t(bytes.size()));
        if (written > 0) {
            // A short write is no failure: the next one either goes on or says why not.
            bytes = bytes.sliced(written);
            m_written += written;
            lastProgress = Clock::now();
        } else if (written < 0 && errno == EAGAIN) {
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastProgress);
            if (!waitUntilWritable(waited.count()))
                return false;
        } else if (written == 0 || errno != EINTR) {
            return fail(written == 0 ? EIO : errno);
        }
    }
    return true;
}

qint64 OutputFile::utf8Size(QStringView text)
{
    qint64 size = 0;
    for (qsizetype at = 0; at < text.size(); ++at) {
        const char16_t unit = text[at].unicode();
        if (QChar::isHighSurrogate(unit) && at + 1 < text.size() && text[at + 1].isLowSurrogate()) {
            size += 4;
            ++at;
        } else {
            size += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3; // a lone surrogate: what stands for it
        }
    }
    return size;
}

bool OutputFile::writeUtf8(QStringView text)
{
    for (qsizetype at = 0; at < text.size();) {
        qsizetype length = qMin(SliceLength, text.size() - at);
        if (at + length < text.size() && text[at + length - 1].isHighSurrogate())
            --length; // a surrogate pair stays in one slice, so that it is encoded whole
        if (!write(text.sliced(at, length).toUtf8()))
            return false;
        at += length;
    }
    return true;
}

// Descriptors of a named pipe or device are non-blocking: a full one is waited for, but only
// as long as the reader takes something now and then. Standard output waits as long as it
// has to, as any program in a pipeline does.
bool OutputFile::waitUntilWritable(qint64 sinceProgressMs)
{
    const bool bounded = m_kind == Kind::Direct;
    if (bounded && sinceProgressMs >= StallLimitMs)
        return fail(StalledReason);
    pollfd waiting{m_descriptor, POLLOUT, 0};
    const int timeout = bounded ? int(StallLimitMs - sinceProgressMs) : -1;
    if (::poll(&waiting, 1, timeout) < 0 && errno != EINTR)
        return fail(errno);
    return true; // ready, timed out or interrupted: the next write tells which
}

bool OutputFile::commit()
{
    if (!m_error.isEmpty() || m_descriptor < 0)
        return false;
    switch (m_kind) {
    case Kind::Attached:
        return true;
    case Kind::Replacement:
        return commitReplacement();
    case Kind::InPlace:
        return commitInPlace();
    case Kind::Direct:
        break;
    }
    return closeDescriptor() || fail(errno);
}

// Synced before the rename, so that the name never leads to contents still on their way;
// the folder synced after it, so that the name leads to them after a power cut too.
bool OutputFile::commitReplacement()
{
    if (fdatasync(m_descriptor) != 0 || !closeDescriptor())
        return fail(errno);
    if (::rename(m_temporary.constData(), m_target.constData()) != 0)
        return fail(errno);
    m_temporary.clear();
    if (const int error = syncFolderOf(m_target); error != 0)
        return fail(error);
    return true;
}

bool OutputFile::commitInPlace()
{
    if (retryOnInterrupt([&] { return ftruncate(m_descriptor, m_written); }) != 0 ||
        fdatasync(m_descriptor) != 0 || !closeDescriptor())
        return fail(errno);
    return true;
}

// After EINTR the descriptor is closed all the same.
bool OutputFile::closeDescriptor()
{
    const int closed = ::close(m_descriptor);
    m_descriptor = -1;
    return closed == 0 || errno == EINTR;
}

bool OutputFile::fail(int error)
{
    return fail(qt_error_string(error));
}

// Nothing half-done outlives a failure: the descriptor is closed and the temporary removed
// at once, whatever becomes of this object.
bool OutputFile::fail(const QString &reason)
{
    m_error = reason;
    discard();
    return false;
}

void OutputFile::discard()
{
    if (m_kind != Kind::Attached && m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
    if (!m_temporary.isEmpty())
        ::unlink(m_temporary.constData());
    m_temporary.clear();
}
