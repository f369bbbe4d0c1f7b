// SPDX-License-Identifier: GPL-3.0-or-later
#include "webserver.h"

#include "loopbackaddress.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

#include <csignal>

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int StartAttempts = 5;
constexpr int StartTimeoutMs = 10'000;
constexpr int StopTimeoutMs = 5'000;
constexpr int PollIntervalMs = 20;

const QString ApacheModules = QStringLiteral("/usr/lib/apache2/modules");

// A port that nothing listens on right now. Another program may take it before the server
// does; start() then tries again with a fresh one.
quint16 freeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address = loopbackAddress();
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
    const sockaddr_in address = loopbackAddress(port);
    const bool answered =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return answered;
}

// A double-quoted string with its quotes and backslashes escaped, as both servers read it.
QByteArray quoted(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + bytes + '"';
}

// Run as root, nginx hands its connections to worker processes of the `user` directive,
// by default an account that cannot read the test's private temporary directory. Keep the
// workers as the account that runs the tests instead.
QByteArray nginxUserDirective()
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

// Apache httpd refuses to serve as root, so run that way its children take the account
// of Debian's web servers, and the served folder is opened to it.
QByteArray apacheUserDirectives()
{
    return geteuid() == 0 ? "User www-data\nGroup www-data\n" : QByteArray();
}

QString serverProgram(WebServer::Kind kind)
{
    const QString name =
        kind == WebServer::Kind::Nginx ? QStringLiteral("nginx") : QStringLiteral("apache2");
    QString program = QStandardPaths::findExecutable(name);
    if (program.isEmpty())
        program = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"),
                                                        QStringLiteral("/sbin"),
                                                        QStringLiteral("/usr/local/sbin")});
    return program;
}

} // namespace

WebServer::WebServer()
    : WebServer(Options{})
{}

WebServer::WebServer(const Options &options)
{
    if (!start(options))
        stop();
}

WebServer::~WebServer()
{
    stop();
}

QString WebServer::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

QString WebServer::documentRoot() const
{
    return m_dir.filePath(QStringLiteral("www"));
}

bool WebServer::writePage(const QString &relativePath, const QByteArray &bytes) const
{
    const QString path = QDir(documentRoot()).filePath(relativePath);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

QByteArray WebServer::accessLog() const
{
    QFile log(m_dir.filePath(QStringLiteral("access.log")));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

bool WebServer::start(const Options &options)
{
    m_name = options.kind == Kind::Nginx ? QStringLiteral("nginx") : QStringLiteral("Apache httpd");
    const QString program = serverProgram(options.kind);
    if (program.isEmpty()) {
        m_error = QStringLiteral("%1 is not installed").arg(m_name);
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory: %1").arg(m_dir.errorString());
        return false;
    }
    // The folder is opened to others for the server's children, which may run as another
    // account; what it holds is the test's own, made for serving.
    if (!QDir().mkpath(documentRoot()) || !QDir().mkpath(m_dir.filePath(QStringLiteral("tmp"))) ||
        !QDir().mkpath(m_dir.filePath(QStringLiteral("run"))) ||
        !QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) |
                                                 QFileDevice::ReadOther | QFileDevice::ExeOther)) {
        m_error = QStringLiteral("cannot create the server's folders in %1").arg(m_dir.path());
        return false;
    }

    m_process.setProgram(program);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // The server must not outlive a test that crashes. In a session of its own, it cannot
    // signal the test either: Apache httpd ends its children through their process group.
    m_process.setChildProcessModifier([] {
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
    });

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
        m_process.setArguments(arguments(options.kind));
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

QStringList WebServer::arguments(Kind kind) const
{
    const QString config = m_dir.filePath(QStringLiteral("server.conf"));
    if (kind == Kind::Apache)
        return {QStringLiteral("-f"), config, QStringLiteral("-DFOREGROUND")};
    return {QStringLiteral("-p"), m_dir.path() + QLatin1Char('/'),
            QStringLiteral("-c"), config,
            QStringLiteral("-e"), m_dir.filePath(QStringLiteral("error.log")),
            QStringLiteral("-g"), QStringLiteral("daemon off;")};
}

bool WebServer::writeConfig(const Options &options) const
{
    const QByteArray config = options.kind == Kind::Nginx ? nginxConfig(options) : apacheConfig();
    QSaveFile file(m_dir.filePath(QStringLiteral("server.conf")));
    return file.open(QIODevice::WriteOnly) && file.write(config) == config.size() && file.commit();
}

QByteArray WebServer::nginxConfig(const Options &options) const
{
    const auto path = [this](const char *name) {
        return quoted(m_dir.filePath(QString::fromLatin1(name)));
    };
    QByteArray config;
    config += nginxUserDirective();
    config += "worker_processes 1;\n";
    config += "pid " + path("server.pid") + ";\n";
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
    return config;
}

// The least Apache httpd needs to serve a folder, with the ServerName that its own
// redirects are built from; the port of such a redirect comes from the request's Host.
QByteArray WebServer::apacheConfig() const
{
    const auto path = [this](const char *name) {
        return quoted(m_dir.filePath(QString::fromLatin1(name)));
    };
    const auto module = [](const char *name, const char *file) {
        return "LoadModule " + QByteArray(name) + ' ' +
               quoted(ApacheModules + u'/' + QString::fromLatin1(file)) + '\n';
    };
    QByteArray config;
    config += module("mpm_prefork_module", "mod_mpm_prefork.so");
    config += module("authz_core_module", "mod_authz_core.so");
    config += module("dir_module", "mod_dir.so");
    config += module("mime_module", "mod_mime.so");
    config += apacheUserDirectives();
    config += "ServerRoot " + quoted(m_dir.path()) + "\n";
    config += "DefaultRuntimeDir " + path("run") + "\n";
    config += "PidFile " + path("server.pid") + "\n";
    config += "ErrorLog " + path("error.log") + "\n";
    config += "LogFormat \"\\\"%r\\\" %>s %b\" requests\n"; // as nginx logs them
    config += "CustomLog " + path("access.log") + " requests\n";
    config += "Listen 127.0.0.1:" + QByteArray::number(m_port) + "\n";
    config += "ServerName 127.0.0.1\n";
    config += "StartServers 1\nMinSpareServers 1\nMaxSpareServers 2\n";
    config += "TypesConfig /dev/null\nAddType text/html .html\nAddType text/plain .txt\n";
    config += "DocumentRoot " + quoted(documentRoot()) + "\n";
    config += "<Directory " + quoted(documentRoot()) + ">\n    Require all granted\n</Directory>\n";
    config += "DirectoryIndex index.html\n";
    return config;
}

bool WebServer::waitUntilAnswering()
{
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (m_process.state() == QProcess::NotRunning) {
            QFile log(m_dir.filePath(QStringLiteral("error.log")));
            const QByteArray logText = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
            m_error =
                QStringLiteral("%1 ended at once: %2")
                    .arg(m_name, QString::fromLocal8Bit(m_process.readAll() + logText).trimmed());
            return false;
        }
        if (portAnswers(m_port))
            return true;
        m_process.waitForFinished(PollIntervalMs);
    }
    m_error = QStringLiteral("%1 did not answer on port %2 within %3 ms")
                  .arg(m_name)
                  .arg(m_port)
                  .arg(StartTimeoutMs);
    return false;
}

void WebServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate(); // a fast shutdown: the main process ends its children first
    if (!m_process.waitForFinished(StopTimeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(StopTimeoutMs);
    }
}
