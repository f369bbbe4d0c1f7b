#include "scriptsocket.h"

#include "fuzzcheck.h"

namespace {

constexpr int ConnectFails = 15;
constexpr int WriteReturnsError = 0x10;
constexpr int EndsWithError = 0x20;

} // namespace

ScriptSocket::ScriptSocket(QByteArrayView script, Chunking chunking)
    : m_script(script)
    , m_chunking(chunking)
{}

int ScriptSocket::takeByte()
{
    if (m_script.isEmpty())
        return 0;
    const int byte = static_cast<unsigned char>(m_script.front());
    m_script = m_script.sliced(1);
    return byte;
}

ScriptSocket::Connection ScriptSocket::nextConnection()
{
    Connection connection;
    const int plan = takeByte();
    const int line = plan & 0x0F;
    connection.connected = line != ConnectFails;
    if (line >= 1 && line <= 4) {
        connection.failingLine = line;
        connection.writeReturnsError = plan & WriteReturnsError;
    }
    if (plan & EndsWithError) {
        connection.endsWithError = true;
        connection.error = takeByte();
    }
    const int length = takeByte() | takeByte() << 8;
    connection.response = m_script.first(qMin<qsizetype>(length, m_script.size())).toByteArray();
    m_script = m_script.sliced(connection.response.size());
    for (int sizes = takeByte(); sizes > 0; --sizes)
        connection.readSizes += takeByte();
    return connection;
}

ScriptSocket::Connection &ScriptSocket::current()
{
    FUZZ_CHECK(!m_connections.isEmpty());
    return m_connections.last();
}

int ScriptSocket::Connect(const QString &host, std::optional<double> port)
{
    FUZZ_CHECK(!m_open); // a connection left open would leak
    m_connections += nextConnection();
    current().host = host;
    current().port = port;
    if (!current().connected) {
        m_lastError = 111;
        return -1;
    }
    m_open = true;
    return 0;
}

qsizetype ScriptSocket::Write(const QByteArray &data, qsizetype length)
{
    FUZZ_CHECK(m_open);
    Connection &connection = current();
    FUZZ_CHECK(length == data.size());
    FUZZ_CHECK(connection.written.size() < 4);
    // Nothing more is sent once a line failed.
    FUZZ_CHECK(connection.failingLine == 0 || connection.written.size() < connection.failingLine);
    connection.written += data;
    if (connection.written.size() != connection.failingLine)
        return length;
    m_lastError = 32;
    return connection.writeReturnsError ? -1 : length - 1;
}

qsizetype ScriptSocket::Read(QByteArray &chunk, qsizetype limit)
{
    FUZZ_CHECK(m_open);
    FUZZ_CHECK(limit > 0);
    Connection &connection = current();
    FUZZ_CHECK(connection.written.size() == 4 && connection.failingLine == 0);
    FUZZ_CHECK(!connection.ended); // the retrieval stops reading at the close or an error

    const qsizetype remaining = connection.response.size() - connection.delivered.size();
    if (remaining == 0) {
        chunk.clear();
        connection.ended = true;
        if (connection.endsWithError) {
            m_lastError = connection.error;
            return connection.lastReadResult = -1;
        }
        return connection.lastReadResult = 0;
    }

    qsizetype size = limit;
    if (m_chunking == Chunking::Scripted && !connection.readSizes.isEmpty()) {
        const int scripted = connection.readSizes.takeFirst();
        if (scripted > 0)
            size = qMin<qsizetype>(size, scripted);
    }
    size = qMin(size, remaining);
    chunk = connection.response.sliced(connection.delivered.size(), size);
    connection.delivered += chunk;
    return connection.lastReadResult = size;
}

void ScriptSocket::Disconnect()
{
    FUZZ_CHECK(m_open);
    m_open = false;
    current().disconnected = true;
}
