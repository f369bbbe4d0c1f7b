// SPDX-License-Identifier: GPL-3.0-or-later
#include "scriptedsocket.h"

#include <cerrno>

#include <algorithm>

ScriptedSocket::Script ScriptedSocket::servingChunks(const QList<QByteArray> &chunks)
{
    Script script;
    for (const QByteArray &chunk : chunks)
        script.reads += data(chunk);
    return script;
}

ScriptedSocket::Script *ScriptedSocket::current()
{
    const qsizetype taken = m_connections.size();
    return taken >= 1 && taken <= m_scripts.size() ? &m_scripts[taken - 1] : nullptr;
}

const ScriptedSocket::Script *ScriptedSocket::current() const
{
    return const_cast<ScriptedSocket *>(this)->current();
}

int ScriptedSocket::Connect(const QString &host, int port, std::chrono::milliseconds wait)
{
    m_calls += QStringLiteral("Connect(%1,%2)").arg(host).arg(port);
    if (m_connected)
        m_faults += QStringLiteral("Connect while connected");
    Connection connection;
    connection.host = host;
    connection.port = port;
    m_connections += connection;
    m_writeFailed = false;
    if (m_connections.size() > m_scripts.size())
        m_faults += QStringLiteral("Connect without a script");
    int result = current() ? current()->connectResult : -1;
    m_timedOut = false;
    if (current() && current()->connectDelay > wait) {
        m_now += wait;
        m_timedOut = true;
        result = -1;
    } else if (current()) {
        m_now += current()->connectDelay;
    }
    m_connected = result == 0;
    m_connections.last().connected = m_connected;
    return result;
}

qsizetype ScriptedSocket::Write(const QByteArray &data, qsizetype length, std::chrono::milliseconds)
{
    QString call = QStringLiteral("Write(") + QString::fromLatin1(data);
    if (length != data.size())
        call += u',' + QString::number(length);
    m_calls += call + u')';
    if (!m_connected)
        m_faults += QStringLiteral("Write without a connection");
    if (m_writeFailed)
        m_faults += QStringLiteral("Write after a failed one");
    if (!current())
        return length;
    Connection &connection = m_connections.last();
    const qsizetype index = connection.written.size();
    connection.written += data.first(qBound<qsizetype>(0, length, data.size()));
    const qsizetype result = current()->writeResults.value(index).value_or(length);
    m_writeFailed = result != length;
    return result;
}

// The next answer of the current script, cut to the limit (the rest comes with the next
// read, as on a stream); the close once the script has run out.
ScriptedSocket::ReadStep ScriptedSocket::nextReadStep(qsizetype limit)
{
    if (!current() || current()->reads.isEmpty())
        return {};
    QList<ReadStep> &reads = current()->reads;
    ReadStep step = reads.takeFirst();
    if (step.chunk.size() > limit) {
        reads.prepend(data(step.chunk.sliced(limit)));
        step = {limit, step.chunk.first(limit), step.delay};
    }
    return step;
}

qsizetype ScriptedSocket::Read(std::span<char> buffer, std::chrono::milliseconds wait)
{
    m_calls += QStringLiteral("Read");
    m_timedOut = false;
    if (!m_connected)
        m_faults += QStringLiteral("Read without a connection");
    if (m_connections.isEmpty())
        return 0;
    Connection &connection = m_connections.last();
    if (connection.ended)
        m_faults += QStringLiteral("Read after the close");
    ++connection.reads;

    ReadStep step = nextReadStep(qsizetype(buffer.size()));
    if (step.delay > wait) { // the answer is still on its way when the caller gives up
        m_now += wait;
        step.delay -= wait;
        current()->reads.prepend(step);
        m_timedOut = true;
        connection.ended = true;
        return -1;
    }
    m_now += step.delay;
    std::copy(step.chunk.cbegin(), step.chunk.cend(), buffer.begin());
    connection.delivered += step.chunk;
    connection.ended = step.result <= 0;
    return step.result;
}

void ScriptedSocket::Disconnect()
{
    m_calls += QStringLiteral("Disconnect");
    if (!m_connected)
        m_faults += QStringLiteral("Disconnect without a connection");
    m_connected = false;
}

int ScriptedSocket::LastError() const
{
    m_calls += QStringLiteral("LastError");
    if (m_timedOut)
        return ETIMEDOUT;
    return current() ? current()->lastError : 0;
}

QStringList ScriptedSocket::faults() const
{
    QStringList faults = m_faults;
    if (m_connected)
        faults += QStringLiteral("connection left open");
    return faults;
}
