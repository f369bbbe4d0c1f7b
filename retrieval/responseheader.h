#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>

// The lines of a response header, status line first, each without its line end and with
// the spaces around it trimmed.
using HeaderLineList = QList<QByteArray>;

// Splits the header (everything before the blank line, ending with the last line's CR LF)
// at every LF. A line loses its LF and a CR right before it, nothing else, so an empty
// line ended by a bare LF stays as an empty line.
HeaderLineList splitHeaderLines(QByteArrayView headerText);

// The number after the first space of the status line; 0 when the line has no space or no
// number follows it.
double statusCodeOf(QByteArrayView statusLine);

// The value of the first "Location" field (the name compared in any letter case), spaces
// and tabs trimmed; nothing when no line is a Location field. The status line never is.
std::optional<QByteArray> locationOf(const HeaderLineList &headerLines);
