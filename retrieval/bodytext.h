// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Turns bytes from the network into text: as UTF-8 when they are valid UTF-8 (a byte-order
// mark is kept as a character), otherwise as Windows-1252, which gives every byte a
// character. NUL bytes become NUL characters; nothing is dropped.
QString decodeText(QByteArrayView bytes);

// Writes the Windows-1252 characters of `bytes` from `out` on, one for each byte, and
// returns where they end.
QChar *appendWindows1252(QChar *out, QByteArrayView bytes);

// How many bytes windows1252ToUtf8(bytes) gives, without making them.
qsizetype windows1252Utf8Size(QByteArrayView bytes);

// The UTF-8 of the Windows-1252 characters of `bytes`.
QByteArray windows1252ToUtf8(QByteArrayView bytes);
