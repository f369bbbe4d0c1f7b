// SPDX-License-Identifier: GPL-3.0-or-later
#include "requestlines.h"

namespace {

bool mustBeEncoded(unsigned char byte)
{
    return byte <= 0x20 || byte >= 0x7F;
}

// The fragment names a place within the page, for the reader alone.
QString withoutFragment(const QString &path)
{
    const qsizetype hash = path.indexOf(u'#');
    return hash < 0 ? path : path.first(hash);
}

} // namespace

QByteArray encodeForRequestLine(const QString &text)
{
    static constexpr char HexDigits[] = "0123456789ABCDEF";
    const QByteArray utf8 = text.toUtf8();
    QByteArray encoded;
    encoded.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (mustBeEncoded(byte)) {
            encoded += '%';
            encoded += HexDigits[byte >> 4];
            encoded += HexDigits[byte & 0x0F];
        } else {
            encoded += c;
        }
    }
    return encoded;
}

RequestLineTable buildRequestLines(const QString &hostField, const QString &path)
{
    return {
        "GET " + encodeForRequestLine(withoutFragment(path)) + " HTTP/1.0\r\n",
        "Host: " + encodeForRequestLine(hostField) + "\r\n",
        "Accept: text/*\r\n",
        "\r\n",
    };
}
