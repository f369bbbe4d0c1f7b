// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "streamsocket.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QStringList>

#include <chrono>
#include <optional>

// A StreamSocket that plays back scripted results and records every call, in order, as
// text: "Connect(host,port)", "Write(bytes)" (with ",length" when the length passed is not
// the size of the bytes), "Read", "Disconnect", "LastError". Each Connect takes the next script, so
// the connections of a redirect chain meet successive scripts. Time is scripted too: a connection
// or a read whose answer comes later than the caller will wait fails with ETIMEDOUT, and now()
// tells the time passed.
class ScriptedSocket : public StreamSocket
{
public:
    using Clock = std::chrono::steady_clock;

    struct ReadStep
    {
        qsizetype result = 0; // what Read returns
        QByteArray chunk;     // what it delivers; more than the buffer takes carries over
        std::chrono::milliseconds delay{0}; // how long the answer takes to come
    };

    struct Script
    {
        int connectResult = 0;
        // How long connecting takes; one that takes longer than the caller will wait fails.
        std::chrono::milliseconds connectDelay{0};
        QList<std::optional<qsizetype>> writeResults; // nothing (or no entry): the whole length
        QList<ReadStep> reads; // once they run out, every Read reports the close (0)
        int lastError = 0;
    };

    // What one Connect was given and what went over that connection.
    struct Connection
    {
        QString host;
        int port = 0;
        bool connected = false;
        QList<QByteArray> written; // the bytes of each Write, as far as its length went
        QByteArray delivered;      // every byte handed out by Read
        int reads = 0;
        bool ended = false; // Read has reported the close or an error
    };

    static ReadStep data(const QByteArray &bytes) { return {bytes.size(), bytes}; }
    static ReadStep readError() { return {-1, {}}; }
    // A server that sends each of `chunks` in a read of its own, then closes.
    static Script servingChunks(const QList<QByteArray> &chunks);
    static Script refusing(int connectResult = -1) { return {connectResult, {}, {}, {}, 0}; }

    explicit ScriptedSocket(QList<Script> scripts)
        : m_scripts(std::move(scripts))
    {}

    int Connect(const QString &host, int port, std::chrono::milliseconds wait) override;
    qsizetype Write(const QByteArray &data, qsizetype length,
                    std::chrono::milliseconds wait) override;
    qsizetype Read(std::span<char> buffer, std::chrono::milliseconds wait) override;
    void Disconnect() override;
    int LastError() const override;

    QStringList calls() const { return m_calls; }
    // Adds an event of the test's own (such as a change of the page box) to the calls, so
    // that its order against the socket calls can be compared too.
    void note(const QString &event) { m_calls += event; }
    // Misuses of the socket seen so far: a call that needs a connection without one, a
    // Connect while connected, a Disconnect without a connection, a Write after a failed
    // one, a Read after the close or an error, a connection left open.
    QStringList faults() const;
    const QList<Connection> &connections() const { return m_connections; }
    // The scripted time: it starts at the clock's epoch and moves only while reads wait.
    Clock::time_point now() const { return m_now; }

private:
    // The script of the latest connection; nothing before the first one or past the last.
    Script *current();
    const Script *current() const;
    ReadStep nextReadStep(qsizetype limit);

    QList<Script> m_scripts;
    QList<Connection> m_connections;
    mutable QStringList m_calls; // LastError is const, yet recorded too
    QStringList m_faults;
    bool m_connected = false;
    bool m_writeFailed = false; // on the current connection
    bool m_timedOut = false;    // the last Read waited in vain
    Clock::time_point m_now;
};

Q_DECLARE_METATYPE(ScriptedSocket::Script)
