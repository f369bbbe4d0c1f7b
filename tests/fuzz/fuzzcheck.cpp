// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzzcheck.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

QStringList &notes()
{
    static QStringList list;
    return list;
}

} // namespace

QByteArray percentDecoded(QByteArrayView text)
{
    const auto hexValue = [](char c) {
        return QByteArrayView("0123456789ABCDEF").indexOf(char(c >= 'a' && c <= 'f' ? c - 32 : c));
    };
    QByteArray decoded;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            decoded += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

void fuzzFailure(const char *condition, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: rule broken: %s\n", file, line, condition);
    for (const QString &note : notes()) {
        QString shown;
        for (const QChar c : note)
            shown += c.unicode() < 0x20
                         ? QStringLiteral("\\x%1").arg(int(c.unicode()), 2, 16, QChar(u'0'))
                         : QString(c);
        std::fprintf(stderr, "  %s\n", qPrintable(shown));
    }
    std::abort();
}

void fuzzNote(const QString &note)
{
    notes() += note;
    if (notes().size() > 4)
        notes().removeFirst();
}

void checkRequestLines(const QList<QByteArray> &lines, const QString &path)
{
    fuzzNote(QStringLiteral("request line: %1")
                 .arg(QString::fromLatin1(lines.value(0).toPercentEncoding())));
    FUZZ_CHECK(lines.size() == 4);
    for (const QByteArray &line : lines) {
        FUZZ_CHECK(line.endsWith("\r\n"));
        FUZZ_CHECK(line.count('\r') == 1);
        FUZZ_CHECK(line.count('\n') == 1);
    }

    const QByteArray &requestLine = lines[0];
    constexpr QByteArrayView Method = "GET ";
    constexpr QByteArrayView Version = " HTTP/1.0\r\n";
    FUZZ_CHECK(requestLine.startsWith(Method) && requestLine.endsWith(Version));
    const QByteArray target =
        requestLine.sliced(Method.size(), requestLine.size() - Method.size() - Version.size());
    FUZZ_CHECK(target.startsWith('/'));
    for (const char c : target)
        FUZZ_CHECK(c > 0x20 && c < 0x7F && c != '#');
    const QString sentPath = path.left(path.indexOf(u'#'));
    FUZZ_CHECK(percentDecoded(target) == percentDecoded(sentPath.toUtf8()));

    FUZZ_CHECK(lines[1].startsWith("Host: "));
    FUZZ_CHECK(lines[1].count(' ') == 1);
    FUZZ_CHECK(lines[2] == "Accept: text/*\r\n");
    FUZZ_CHECK(lines[3] == "\r\n");
}

bool sameNumber(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}
