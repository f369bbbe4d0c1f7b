// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>

// Where the empty line that ends a response header lies.
struct HeaderEnd
{
    qsizetype headerSize; // the header up to the LF of its last line, that LF included
    qsizetype bodyStart;  // just after the empty line
};

// Finds the first empty line in `response` whose first LF lies at or after `from`: an LF
// followed by LF or by CR LF. A bare LF may end a line (RFC 9112 section 2.2), and the CGI
// scripts behind many servers end theirs so. Nothing while no such line has arrived whole.
std::optional<HeaderEnd> findHeaderEnd(QByteArrayView response, qsizetype from);

// An empty line is at most LF CR LF, so a search that found none may start again this
// many bytes before the end once more has arrived.
constexpr qsizetype HeaderEndOverlap = 2;

// The lines of a response header, status line first, each without its line end and with
// the spaces around it trimmed.
using HeaderLineList = QList<QByteArray>;

// Splits the header (everything before the empty line, ending with the last line's LF)
// at every LF. A line loses its LF and a CR right before it, nothing else, so an empty
// line ended by a bare LF stays as an empty line.
HeaderLineList splitHeaderLines(QByteArrayView headerText);

// The number after the first space of the status line; 0 when the line has no space or no
// number follows it.
double statusCodeOf(QByteArrayView statusLine);

// The value of the first "Location" field (the name compared in any letter case), spaces
// and tabs trimmed; nothing when no line is a Location field. The status line never is.
std::optional<QByteArray> locationOf(const HeaderLineList &headerLines);
