#include "nginxserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

#include <csignal>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int StartAttempts = 5;
constexpr int StartTimeoutMs = 10'000;
constexpr int StopTimeoutMs = 5'000;
constexpr int PollIntervalMs = 20;

// A port that nothing listens on right now. Another program may take it before nginx
// does; start() then tries again with a fresh one.
quint16 freeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool portAnswers(quint16 port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool answered =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return answered;
}

// nginx's string syntax: a double-quoted string with its quotes and backslashes escaped.
QByteArray quoted(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + bytes + '"';
}

// Run as root, nginx hands its connections to worker processes of the `user` directive,
// by default an account that cannot read the test's private temporary directory. Keep the
// workers as the account that runs the tests instead.
QByteArray userDirective()
{
    if (geteuid() != 0)
        return {}; // nginx ignores the directive (with a warning) unless it runs as root
    const passwd *user = getpwuid(geteuid());
    const group *group = getgrgid(getegid());
    if (!user || !group)
        return {};
    return "user " + quoted(QString::fromLocal8Bit(user->pw_name)) + ' ' +
           quoted(QString::fromLocal8Bit(group->gr_name)) + ";\n";
}

QString nginxProgram()
{
    QString program = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (program.isEmpty())
        program = QStandardPaths::findExecutable(
            QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                      QStringLiteral("/usr/local/sbin")});
    return program;
}

} // namespace

NginxServer::NginxServer()
    : NginxServer(Options{})
{}

NginxServer::NginxServer(const Options &options)
{
    if (!start(options))
        stop();
}

NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

QString NginxServer::documentRoot() const
{
    return m_dir.filePath(QStringLiteral("www"));
}

bool NginxServer::writePage(const QString &relativePath, const QByteArray &bytes) const
{
    const QString path = QDir(documentRoot()).filePath(relativePath);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

QByteArray NginxServer::accessLog() const
{
    QFile log(m_dir.filePath(QStringLiteral("access.log")));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

bool NginxServer::start(const Options &options)
{
    const QString program = nginxProgram();
    if (program.isEmpty()) {
        m_error = QStringLiteral("nginx is not installed");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory: %1").arg(m_dir.errorString());
        return false;
    }
    if (!QDir().mkpath(documentRoot()) || !QDir().mkpath(m_dir.filePath(QStringLiteral("tmp")))) {
        m_error = QStringLiteral("cannot create the server's folders in %1").arg(m_dir.path());
        return false;
    }

    m_process.setProgram(program);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // nginx must not outlive a test that crashes.
    m_process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });

    for (int attempt = 0; attempt < StartAttempts; ++attempt) {
        m_port = freeLoopbackPort();
        if (m_port == 0) {
            m_error = QStringLiteral("no free port on 127.0.0.1");
            return false;
        }
        if (!writeConfig(options)) {
            m_error = QStringLiteral("cannot write the configuration in %1").arg(m_dir.path());
            return false;
        }
        const QString prefix = m_dir.path() + QLatin1Char('/');
        m_process.setArguments({QStringLiteral("-p"), prefix, QStringLiteral("-c"),
                                m_dir.filePath(QStringLiteral("nginx.conf")), QStringLiteral("-e"),
                                m_dir.filePath(QStringLiteral("error.log")), QStringLiteral("-g"),
                                QStringLiteral("daemon off;")});
        m_process.start();
        if (!m_process.waitForStarted(StartTimeoutMs)) {
            m_error = QStringLiteral("cannot run %1: %2").arg(program, m_process.errorString());
            return false;
        }
        if (waitUntilAnswering()) {
            m_error.clear();
            return true;
        }
        stop();
        // Only a port that someone else took in the meantime is worth another try.
        if (!m_error.contains(QLatin1String("Address already in use")))
            return false;
    }
    return false;
}

bool NginxServer::writeConfig(const Options &options) const
{
    const auto path = [this](const char *name) {
        return quoted(m_dir.filePath(QString::fromLatin1(name)));
    };
    QByteArray config;
    config += userDirective();
    config += "worker_processes 1;\n";
    config += "pid " + path("nginx.pid") + ";\n";
    config += "error_log " + path("error.log") + " warn;\n";
    config += "events { worker_connections 64; }\n";
    config += "http {\n";
    config += "    types { text/html html htm; text/plain txt; }\n";
    config += "    default_type application/octet-stream;\n";
    config += "    access_log " + path("access.log") + ";\n";
    config += "    client_body_temp_path " + path("tmp/body") + ";\n";
    config += "    proxy_temp_path " + path("tmp/proxy") + ";\n";
    config += "    fastcgi_temp_path " + path("tmp/fastcgi") + ";\n";
    config += "    uwsgi_temp_path " + path("tmp/uwsgi") + ";\n";
    config += "    scgi_temp_path " + path("tmp/scgi") + ";\n";
    config += "    server {\n";
    config += "        listen 127.0.0.1:" + QByteArray::number(m_port) + ";\n";
    config += "        server_name localhost;\n";
    config += "        root " + quoted(documentRoot()) + ";\n";
    config +=
        "        absolute_redirect " + QByteArray(options.absoluteRedirect ? "on" : "off") + ";\n";
    config += "    }\n";
    config += "}\n";

    QSaveFile file(m_dir.filePath(QStringLiteral("nginx.conf")));
    return file.open(QIODevice::WriteOnly) && file.write(config) == config.size() && file.commit();
}

bool NginxServer::waitUntilAnswering()
{
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (m_process.state() == QProcess::NotRunning) {
            QFile log(m_dir.filePath(QStringLiteral("error.log")));
            const QByteArray logText = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
            m_error = QStringLiteral("nginx ended at once: %1")
                          .arg(QString::fromLocal8Bit(m_process.readAll() + logText).trimmed());
            return false;
        }
        if (portAnswers(m_port))
            return true;
        m_process.waitForFinished(PollIntervalMs);
    }
    m_error = QStringLiteral("nginx did not answer on port %1 within %2 ms")
                  .arg(m_port)
                  .arg(StartTimeoutMs);
    return false;
}

void NginxServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate(); // nginx's fast shutdown: the master ends its workers first
    if (!m_process.waitForFinished(StopTimeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(StopTimeoutMs);
    }
}
