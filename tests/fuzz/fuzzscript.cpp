// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzzscript.h"

namespace {

constexpr int ConnectFails = 15;
constexpr int WriteReturnsError = 0x10;
constexpr int EndsWithError = 0x20;

int takeByte(QByteArrayView &input)
{
    if (input.isEmpty())
        return 0;
    const int byte = static_cast<unsigned char>(input.front());
    input = input.sliced(1);
    return byte;
}

// The reads that hand out `response`: of the scripted sizes first, then the rest at once,
// which the socket cuts to the caller's limit.
QList<ScriptedSocket::ReadStep> readsOf(const QByteArray &response, const QList<int> &sizes)
{
    QList<ScriptedSocket::ReadStep> reads;
    qsizetype at = 0;
    for (const int size : sizes) {
        if (at == response.size())
            break;
        const qsizetype rest = response.size() - at;
        const qsizetype length = size > 0 ? qMin<qsizetype>(size, rest) : rest;
        reads += ScriptedSocket::data(response.sliced(at, length));
        at += length;
    }
    if (at < response.size())
        reads += ScriptedSocket::data(response.sliced(at));
    return reads;
}

PlannedConnection takeConnection(QByteArrayView &input, Chunking chunking)
{
    PlannedConnection connection;
    const int plan = takeByte(input);
    const int line = plan & 0x0F;
    connection.connects = line != ConnectFails;
    connection.script.connectResult = connection.connects ? 0 : -1;
    if (line >= 1 && line <= 4) {
        connection.failingLine = line;
        connection.script.writeResults = QList<std::optional<qsizetype>>(line - 1);
        connection.script.writeResults += (plan & WriteReturnsError) ? -1 : 0;
    }
    if (plan & EndsWithError) {
        connection.endsWithError = true;
        connection.error = takeByte(input);
        connection.script.lastError = connection.error;
    }
    const int length = takeByte(input) | takeByte(input) << 8;
    connection.response = input.first(qMin<qsizetype>(length, input.size())).toByteArray();
    input = input.sliced(connection.response.size());
    QList<int> sizes;
    for (int count = takeByte(input); count > 0; --count)
        sizes += takeByte(input);

    connection.script.reads =
        readsOf(connection.response, chunking == Chunking::Scripted ? sizes : QList<int>());
    if (connection.endsWithError)
        connection.script.reads += ScriptedSocket::readError();
    return connection;
}

} // namespace

QList<PlannedConnection> planConnections(QByteArrayView input, Chunking chunking, int count)
{
    QList<PlannedConnection> connections;
    while (connections.size() < count)
        connections += takeConnection(input, chunking);
    return connections;
}
