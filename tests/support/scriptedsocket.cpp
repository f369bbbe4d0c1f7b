#include "scriptedsocket.h"

namespace {

constexpr qsizetype UsualReadLimit = 2048;

QString portText(std::optional<double> port)
{
    return port ? QString::number(*port, 'g', 17) : QString();
}

} // namespace

ScriptedSocket::Script ScriptedSocket::servingChunks(const QList<QByteArray> &chunks)
{
    Script script;
    for (const QByteArray &chunk : chunks)
        script.reads += data(chunk);
    return script;
}

ScriptedSocket::Script *ScriptedSocket::current()
{
    return m_connections >= 1 && m_connections <= m_scripts.size() ? &m_scripts[m_connections - 1]
                                                                   : nullptr;
}

const ScriptedSocket::Script *ScriptedSocket::current() const
{
    return const_cast<ScriptedSocket *>(this)->current();
}

int ScriptedSocket::Connect(const QString &host, std::optional<double> port)
{
    m_calls += QStringLiteral("Connect(%1,%2)").arg(host, portText(port));
    if (m_connected)
        m_faults += QStringLiteral("Connect while connected");
    ++m_connections;
    m_writes = 0;
    if (m_connections > m_scripts.size())
        m_faults += QStringLiteral("Connect without a script");
    const int result = current() ? current()->connectResult : -1;
    m_connected = result == 0;
    return result;
}

qsizetype ScriptedSocket::Write(const QByteArray &data, qsizetype length)
{
    QString call = QStringLiteral("Write(") + QString::fromLatin1(data);
    if (length != data.size())
        call += u',' + QString::number(length);
    m_calls += call + u')';
    if (!m_connected)
        m_faults += QStringLiteral("Write without a connection");
    const qsizetype index = m_writes++;
    if (!current() || index >= current()->writeResults.size())
        return length;
    return current()->writeResults[index].value_or(length);
}

qsizetype ScriptedSocket::Read(QByteArray &chunk, qsizetype limit)
{
    m_calls +=
        limit == UsualReadLimit ? QStringLiteral("Read") : QStringLiteral("Read(%1)").arg(limit);
    if (!m_connected)
        m_faults += QStringLiteral("Read without a connection");
    if (!current() || current()->reads.isEmpty()) {
        chunk.clear();
        return 0;
    }
    QList<ReadStep> &reads = current()->reads;
    ReadStep step = reads.takeFirst();
    if (step.chunk.size() > limit) { // a stream delivers the rest with the next read
        reads.prepend(data(step.chunk.sliced(limit)));
        step = data(step.chunk.first(limit));
    }
    chunk = step.chunk;
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
    return current() ? current()->lastError : 0;
}

QStringList ScriptedSocket::faults() const
{
    QStringList faults = m_faults;
    if (m_connected)
        faults += QStringLiteral("connection left open");
    return faults;
}
