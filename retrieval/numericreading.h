// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>

// Reads the number at the start of a text the way the URL's port and the status code are
// read: spaces, tabs and line feeds are skipped wherever they stand until reading stops;
// then an optional sign and decimal digits with an optional fraction and an exponent
// marked E or D, or &H / &O followed by hexadecimal or octal digits. Text that does not
// start with a number reads as 0; an exponent beyond the double range reads as an infinity
// of the number's sign (or a 0 of its sign when it is too small to represent).
double readNumber(QStringView text);
double readNumber(QByteArrayView text);

// The shortest decimal text that reads back as `value`: 80, 1.5, -3, 1e+20, inf.
QString numberText(double value);
