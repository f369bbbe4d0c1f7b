#pragma once

#include "streamsocket.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// A network stand-in that plays back the connections a fuzz input describes and checks,
// call by call, that the retrieval drives it the way a blocking socket must be driven:
// nothing read or written without a connection, no second connection while one is open,
// no Disconnect without a connection, no read after the response has ended.
//
// The script is a sequence of connection records, taken one per Connect, in order:
//   plan byte:   low four bits 15: Connect fails; 1..4: the Write of that request line
//                fails (bit 4 set: it returns -1, else it sends one byte short);
//                bit 5: the response ends with a receive error instead of a close
//   [error byte] only with bit 5: the error number LastError gives
//   2 bytes:     the response length N, little-endian (cut short where the script ends)
//   N bytes:     the response
//   1 byte K, then K bytes: the sizes of the first K reads (0 for the caller's limit);
//                later reads take as much as the limit allows
// A script that has ended describes connections that succeed with an empty response.
class ScriptSocket : public StreamSocket
{
public:
    enum class Chunking {
        Scripted, // reads end where the script's sizes say
        Whole,    // every read takes as much as the limit allows
    };

    struct Connection
    {
        bool connected = false;
        int failingLine = 0;            // 1..4, or 0 when every line is taken
        bool writeReturnsError = false; // else the failing Write sends one byte short
        bool endsWithError = false;
        int error = 0;
        QByteArray response;
        QList<int> readSizes;

        QString host; // as Connect was given them
        std::optional<double> port;
        QList<QByteArray> written;
        QByteArray delivered; // every byte handed out by Read
        qsizetype lastReadResult = 1;
        bool ended = false; // Read has reported the close or the error
        bool disconnected = false;
    };

    ScriptSocket(QByteArrayView script, Chunking chunking);

    int Connect(const QString &host, std::optional<double> port) override;
    qsizetype Write(const QByteArray &data, qsizetype length) override;
    qsizetype Read(QByteArray &chunk, qsizetype limit) override;
    void Disconnect() override;
    int LastError() const override { return m_lastError; }

    bool isOpen() const { return m_open; }
    const QList<Connection> &connections() const { return m_connections; }

private:
    Connection nextConnection();
    int takeByte();
    Connection &current();

    QByteArrayView m_script;
    Chunking m_chunking;
    QList<Connection> m_connections;
    bool m_open = false;
    int m_lastError = 0;
};
