#pragma once

#include "streamsocket.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QStringList>

#include <optional>

// A StreamSocket that plays back scripted results and records every call, in order, as
// text: "Connect(host,port)" (the port empty when none was given), "Write(bytes)" (with
// ",length" when the length passed is not the size of the bytes), "Read" (with "(limit)"
// when the limit is not 2048), "Disconnect", "LastError". Each Connect takes the next
// script, so the connections of a redirect chain meet successive scripts.
class ScriptedSocket : public StreamSocket
{
public:
    struct ReadStep
    {
        qsizetype result = 0; // what Read returns
        QByteArray chunk;     // what it leaves in the chunk; more than the limit carries over
    };

    struct Script
    {
        int connectResult = 0;
        QList<std::optional<qsizetype>> writeResults; // nothing (or no entry): the whole length
        QList<ReadStep> reads; // once they run out, every Read reports the close (0)
        int lastError = 0;
    };

    static ReadStep data(const QByteArray &bytes) { return {bytes.size(), bytes}; }
    static ReadStep readError() { return {-1, {}}; }
    // A server that sends each of `chunks` in a read of its own, then closes.
    static Script servingChunks(const QList<QByteArray> &chunks);
    static Script refusing(int connectResult = -1) { return {connectResult, {}, {}, 0}; }

    explicit ScriptedSocket(QList<Script> scripts)
        : m_scripts(std::move(scripts))
    {}

    int Connect(const QString &host, std::optional<double> port) override;
    qsizetype Write(const QByteArray &data, qsizetype length) override;
    qsizetype Read(QByteArray &chunk, qsizetype limit) override;
    void Disconnect() override;
    int LastError() const override;

    QStringList calls() const { return m_calls; }
    // Adds an event of the test's own (such as a change of the page box) to the calls, so
    // that its order against the socket calls can be compared too.
    void note(const QString &event) { m_calls += event; }
    // Misuses of the socket seen so far: a call that needs a connection without one, a
    // Connect while connected, a Disconnect without a connection, a connection left open.
    QStringList faults() const;

private:
    // The script of the latest connection; nothing before the first one or past the last.
    Script *current();
    const Script *current() const;

    QList<Script> m_scripts;
    mutable QStringList m_calls; // LastError is const, yet recorded too
    QStringList m_faults;
    int m_connections = 0; // Connect calls so far; the current script is the last one taken
    int m_writes = 0;      // Write calls on the current connection
    bool m_connected = false;
};

Q_DECLARE_METATYPE(ScriptedSocket::Script)
