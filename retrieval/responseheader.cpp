// SPDX-License-Identifier: GPL-3.0-or-later
#include "responseheader.h"

#include "numericreading.h"

namespace {

QByteArrayView trimmed(QByteArrayView text, QByteArrayView blanks)
{
    while (!text.isEmpty() && blanks.contains(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && blanks.contains(text.back()))
        text = text.chopped(1);
    return text;
}

QByteArrayView withoutLineEnd(QByteArrayView line)
{
    return line.endsWith('\r') ? line.chopped(1) : line;
}

} // namespace

std::optional<HeaderEnd> findHeaderEnd(QByteArrayView response, qsizetype from)
{
    for (qsizetype lineFeed = response.indexOf('\n', from); lineFeed >= 0;
         lineFeed = response.indexOf('\n', lineFeed + 1)) {
        const QByteArrayView next = response.sliced(lineFeed + 1);
        if (next.startsWith('\n'))
            return HeaderEnd{lineFeed + 1, lineFeed + 2};
        if (next.startsWith("\r\n"))
            return HeaderEnd{lineFeed + 1, lineFeed + 3};
    }
    return std::nullopt;
}

HeaderLineList splitHeaderLines(QByteArrayView headerText)
{
    HeaderLineList lines;
    for (qsizetype lineFeed = headerText.indexOf('\n'); lineFeed >= 0;
         lineFeed = headerText.indexOf('\n')) {
        lines += trimmed(withoutLineEnd(headerText.first(lineFeed)), " ").toByteArray();
        headerText = headerText.sliced(lineFeed + 1);
    }
    return lines;
}

double statusCodeOf(QByteArrayView statusLine)
{
    const qsizetype space = statusLine.indexOf(' ');
    return space < 0 ? 0 : readNumber(statusLine.sliced(space + 1));
}

std::optional<QByteArray> locationOf(const HeaderLineList &headerLines)
{
    for (qsizetype i = 1; i < headerLines.size(); ++i) {
        const QByteArrayView line = headerLines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArrayView name = trimmed(line.first(colon), " \t");
        if (name.compare("Location", Qt::CaseInsensitive) == 0)
            return trimmed(line.sliced(colon + 1), " \t").toByteArray();
    }
    return std::nullopt;
}
