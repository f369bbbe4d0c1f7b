// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

// Stops the fuzzer when a rule of the program does not hold, so that libFuzzer keeps the
// input that broke it. Unlike assert(), it also checks in release builds.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzFailure(#condition, __FILE__, __LINE__);                                           \
    } while (false)

[[noreturn]] void fuzzFailure(const char *condition, const char *file, int line);

// Adds a line of context to the report of a failure; the last few are shown with it.
void fuzzNote(const QString &note);

// The request a retrieval sends, line by line: exactly four lines, each ended by CR LF and
// holding no other CR or LF; "GET " with a target of visible characters and " HTTP/1.0";
// the Host line; the Accept line; the empty line. `path` is what the target was made from:
// percent-decoding both gives the same bytes, so nothing but the fragment was lost.
void checkRequestLines(const QList<QByteArray> &lines, const QString &path);

// Decodes "%" and two hex digits; any other "%" stays as it is.
QByteArray percentDecoded(QByteArrayView text);

// True when both are the same number (NaN equal to NaN, -0 apart from 0).
bool sameNumber(double a, double b);
