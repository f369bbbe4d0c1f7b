#include "requestlines.h"

namespace {

bool mustBeEncoded(unsigned char byte)
{
    return byte <= 0x20 || byte >= 0x7F;
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

RequestLineTable buildRequestLines(const QString &host, const QString &path)
{
    const QString pathWithoutFragment = path.left(path.indexOf(u'#')); // all of it without "#"
    RequestLineTable lines;
    lines[1] = "GET " + encodeForRequestLine(pathWithoutFragment) + " HTTP/1.0\r\n";
    lines[2] = "Host: " + encodeForRequestLine(host) + "\r\n";
    lines[3] = "Accept: text/*\r\n";
    lines[4] = "\r\n";
    return lines;
}
