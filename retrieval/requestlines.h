// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <array>

// The four lines of an HTTP/1.0 GET request, each with its CR LF, in the order they are
// sent. Only the first "#" and what follows it is left out of the path, and whatever can
// never stand in a request line is percent-encoded, so no URL can add a line or a field
// to the request.
using RequestLineTable = std::array<QByteArray, 4>;

RequestLineTable buildRequestLines(const QString &hostField, const QString &path);

// The text as UTF-8, with control characters, the space and every non-ASCII byte
// percent-encoded; all other characters pass unchanged.
QByteArray encodeForRequestLine(const QString &text);
