#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// The system's nginx, run by the tests as the current user on a free port of 127.0.0.1.
// Its configuration, pid file, logs, temporary files and document root all live in a
// temporary directory of its own; it is stopped and that directory removed on destruction.
class NginxServer
{
public:
    struct Options
    {
        // Off, nginx's own redirects (a directory named without its final "/") carry a
        // Location of only the path; on, the full URL with host and port.
        bool absoluteRedirect = true;
    };

    NginxServer();
    explicit NginxServer(const Options &options);
    ~NginxServer(); // stops nginx and waits for it to end

    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // Empty once nginx answers on its port; otherwise why it could not be started.
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
    // What nginx has logged of the requests it answered so far, one line each.
    QByteArray accessLog() const;

private:
    bool start(const Options &options);
    bool writeConfig(const Options &options) const;
    bool waitUntilAnswering();
    void stop();

    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
