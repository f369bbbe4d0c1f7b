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
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr qsizetype SliceLength = 1 << 20; // UTF-16 units encoded and written at a time
constexpr int MaxLinkHops = 40;            // as many symbolic links as the system follows
constexpr int TemporaryAttempts = 100;     // names tried before giving up on a temporary
constexpr int TemporarySuffixLength = 6;

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

} // namespace

OutputFile::~OutputFile()
{
    discard();
}

bool OutputFile::open(const QByteArray &path)
{
    struct stat status;
    if (::stat(path.constData(), &status) != 0) {
        if (errno != ENOENT)
            return fail(errno);
        return openReplacement(path); // a new file, or a link that leads nowhere yet
    }
    if (S_ISDIR(status.st_mode))
        return fail(EISDIR);
    if (S_ISREG(status.st_mode))
        return openReplacement(path);
    if (S_ISSOCK(status.st_mode))
        return fail(SocketReason);
    return openDirectly(path, S_ISFIFO(status.st_mode));
}

void OutputFile::attach(int descriptor)
{
    m_kind = Kind::Attached;
    m_descriptor = descriptor;
}

// Without O_NONBLOCK, opening a named pipe would wait for a reader for ever; with it, there
// being none is an error at once, and a reader that stops reading shows as a full pipe.
bool OutputFile::openDirectly(const QByteArray &path, bool isPipe)
{
    m_kind = Kind::Direct;
    m_descriptor = retryOnInterrupt(
        [&] { return ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (m_descriptor >= 0)
        return true;
    if (errno == ENXIO && isPipe)
        return fail(NoReaderReason);
    return fail(errno);
}

bool OutputFile::openReplacement(const QByteArray &path)
{
    m_kind = Kind::Replacement;
    const std::optional<QByteArray> followed = followLinks(path);
    if (!followed)
        return fail(ELOOP);
    const QByteArray &target = *followed;
    if (target.isEmpty())
        return fail(ENOENT);
    if (target.endsWith('/'))
        return fail(EISDIR);

    // An existing file keeps its permissions; until they are copied, the temporary is the
    // owner's alone. A file that may not be written is not replaced either.
    struct stat existing;
    const bool replacing = ::stat(target.constData(), &existing) == 0;
    if (replacing && faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS) != 0)
        return fail(errno);
    QByteArray temporary;
    m_descriptor = createTemporary(target, replacing ? 0600 : 0666, temporary);
    if (m_descriptor < 0)
        return fail(errno);
    m_temporary = temporary;
    m_target = target;
    if (replacing)
        fchmod(m_descriptor, existing.st_mode & 07777); // as far as the file system keeps them
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
    if (m_kind == Kind::Attached)
        return true;
    if (m_kind == Kind::Replacement && fdatasync(m_descriptor) != 0)
        return fail(errno);
    const int closed = ::close(m_descriptor);
    m_descriptor = -1;
    if (closed != 0 && errno != EINTR) // after EINTR the descriptor is closed all the same
        return fail(errno);
    if (m_kind == Kind::Replacement) {
        if (::rename(m_temporary.constData(), m_target.constData()) != 0)
            return fail(errno);
        m_temporary.clear();
    }
    return true;
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
