// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the URL box's parse (full, and as a redirect's URL), the request built from it and
// the numeric reading of ports and status codes.
//
// Input: one mode byte, then the text. Mode bit 0: parse as a redirect's URL; bit 1: the
// text is raw UTF-16 (so that unpaired surrogates and any code unit occur), else UTF-8.

#include "fuzzcheck.h"
#include "numericreading.h"
#include "requestlines.h"
#include "urlparser.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>

namespace {

QString trimSpaces(const QString &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == u' ')
        ++first;
    while (last > first && text[last - 1] == u' ')
        --last;
    return text.sliced(first, last - first);
}

QList<QByteArray> sentLines(const RequestLineTable &table)
{
    return {table.begin(), table.end()};
}

// An independent reading of a text without blanks: the longest prefix that forms a number.
double referenceNumber(const QString &text)
{
    std::string ascii;
    for (const QChar c : text)
        ascii += c.unicode() < 0x80 ? char(c.unicode()) : '?';

    static const std::regex radix("^&([hHoO])([0-9a-fA-F]*)");
    static const std::regex decimal(
        R"(^([+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+))(?:[eEdD]([+-]?[0-9]+))?)");
    std::smatch match;
    if (ascii.starts_with('&')) {
        if (!std::regex_search(ascii, match, radix))
            return 0;
        const int base = (match[1] == "h" || match[1] == "H") ? 16 : 8;
        double value = 0;
        for (const char c : match[2].str()) {
            const int digit =
                std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10;
            if (digit >= base)
                break;
            value = value * base + digit;
        }
        return value;
    }
    if (!std::regex_search(ascii, match, decimal))
        return 0;
    std::string literal = match[1].str();
    if (match[2].matched)
        literal += 'e' + match[2].str();
    return std::strtod(literal.c_str(), nullptr);
}

void checkNumericReading(const QString &text)
{
    const double value = readNumber(QStringView(text));
    QString withoutBlanks = text;
    withoutBlanks.remove(u' ').remove(u'\t').remove(u'\n');
    fuzzNote(QStringLiteral("number text: \"%1\" read as %2").arg(text, numberText(value)));

    // Blanks are skipped wherever they stand, so they never change the number.
    FUZZ_CHECK(sameNumber(value, readNumber(QStringView(withoutBlanks))));
    FUZZ_CHECK(sameNumber(value, referenceNumber(withoutBlanks)));
    FUZZ_CHECK(!std::isnan(value));
    // Bytes off the wire read the same as the text they stand for.
    if (std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x100; }))
        FUZZ_CHECK(sameNumber(value, readNumber(QByteArrayView(text.toLatin1()))));
    // What the port label shows reads back as the same number.
    if (std::isfinite(value))
        FUZZ_CHECK(readNumber(QStringView(numberText(value))) == value);
}

void checkParse(const QString &text, bool redirecting)
{
    const std::optional<ParsedUrl> url = parseUrl(text, redirecting);
    const QString trimmed = trimSpaces(text);
    const qsizetype separator = trimmed.indexOf(u"://");
    const bool schemeRejected = separator >= 0 && trimmed.first(separator) != u"http";
    FUZZ_CHECK(url.has_value() != schemeRejected);
    if (!url)
        return;

    fuzzNote(QStringLiteral("host \"%1\" path \"%2\"").arg(url->Host, url->Path));
    FUZZ_CHECK(url->Scheme == u"http");
    FUZZ_CHECK(url->Path.startsWith(u'/'));
    FUZZ_CHECK(!url->Host.contains(u'/'));
    FUZZ_CHECK(url->Port.has_value() != redirecting);
    FUZZ_CHECK(url->portCaption().isEmpty() == redirecting);
    if (!redirecting)
        FUZZ_CHECK(!url->Path.contains(u':')); // the port and all after it left the path

    // The URL written back into the URL box names the same host and path again, unless the
    // path ends in a space, which the next parse trims.
    if (!url->Path.endsWith(u' ')) {
        const std::optional<ParsedUrl> again = parseUrl(url->normalisedUrl(), true);
        FUZZ_CHECK(again && again->Host == url->Host && again->Path == url->Path);
    }

    // Where it connects: an ASCII name or address, with no bracket in it, and a port number.
    const Endpoint endpoint = url->endpoint();
    fuzzNote(QStringLiteral("connects to \"%1\" port %2").arg(endpoint.host).arg(endpoint.port));
    FUZZ_CHECK(std::all_of(endpoint.host.cbegin(), endpoint.host.cend(),
                           [](QChar c) { return c.unicode() < 0x80; }));
    FUZZ_CHECK(!endpoint.host.contains(u'[') && !endpoint.host.contains(u']'));
    FUZZ_CHECK(endpoint.port >= 0 && endpoint.port <= 65535);
    checkRequestLines(sentLines(buildRequestLines(endpoint.hostField(), url->Path)), url->Path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t mode = data[0];
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const qsizetype length = qsizetype(size - 1);

    QString text;
    if (mode & 2) {
        text.resize(length / 2);
        std::memcpy(text.data(), bytes, size_t(text.size()) * sizeof(char16_t));
    } else {
        text = QString::fromUtf8(bytes, length);
    }

    checkParse(text, mode & 1);
    checkNumericReading(text);
    // Whatever the text, it cannot add a line to the request, as path or as host.
    const QString path = u'/' + text;
    checkRequestLines(sentLines(buildRequestLines(text, path)), path);
    return 0;
}
