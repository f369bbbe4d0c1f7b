// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// One of the web servers people run (nginx, Apache httpd), started by the tests from the
// system's own program on a free port of 127.0.0.1, with no system service involved. Its
// configuration, pid file, logs, temporary files and document root all live in a
// temporary directory of its own; it is stopped and that directory removed on destruction.
class WebServer
{
public:
    enum class Kind { Nginx, Apache };

    struct Options
    {
        Kind kind = Kind::Nginx;
        // Off, nginx's own redirects (a directory named without its final "/") carry a
        // Location of only the path; on, the full URL with host and port. Apache's always
        // carry the full URL, built from its ServerName (127.0.0.1) and the request's port.
        bool absoluteRedirect = true;
    };

    WebServer();
    explicit WebServer(const Options &options);
    ~WebServer(); // stops the server and waits for it to end

    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Empty once the server answers on its port; otherwise why it could not be started.
    QString startError() const { return m_error; }
    bool isRunning() const { return m_error.isEmpty(); }
    quint16 port() const { return m_port; }
    // "127.0.0.1:PORT", ready to be followed by a path.
    QString hostAndPort() const;

    // Where the pages are served from; the test fills it.
    QString documentRoot() const;
    // Writes `bytes` to the file at `relativePath` under the document root, creating the
    // folders on the way. False when the file could not be written.
    bool writePage(const QString &relativePath, const QByteArray &bytes) const;
    // What the server has logged of the requests it answered so far, one line each.
    QByteArray accessLog() const;

private:
    bool start(const Options &options);
    bool writeConfig(const Options &options) const;
    QByteArray nginxConfig(const Options &options) const;
    QByteArray apacheConfig() const;
    QStringList arguments(Kind kind) const;
    bool waitUntilAnswering();
    void stop();

    QTemporaryDir m_dir;
    QString m_name; // the server's name in messages
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
