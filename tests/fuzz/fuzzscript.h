// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "scriptedsocket.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// The connections a fuzz input describes, each with the script the scripted socket plays
// back for it. The input is a sequence of connection records, taken one per connection:
//   plan byte:   low four bits 15: Connect fails; 1..4: the Write of that request line
//                fails (bit 4 set: it returns -1, else it sends nothing);
//                bit 5: the response ends with a receive error instead of a close
//   [error byte] only with bit 5: the error number LastError gives
//   2 bytes:     the response length N, little-endian (cut short where the input ends)
//   N bytes:     the response
//   1 byte K, then K bytes: the sizes of the first K reads (0 for the caller's limit);
//                later reads take as much as the limit allows
// An input that has ended describes connections that succeed with an empty response.
struct PlannedConnection
{
    bool connects = true;
    int failingLine = 0; // 1..4, or 0 when every line is taken
    bool endsWithError = false;
    int error = 0;
    QByteArray response;
    ScriptedSocket::Script script;
};

enum class Chunking {
    Scripted, // reads end where the input's sizes say
    Whole,    // every read takes as much as the limit allows
};

QList<PlannedConnection> planConnections(QByteArrayView input, Chunking chunking, int count);
