// SPDX-License-Identifier: GPL-3.0-or-later
#include "bodytext.h"

#include <QStringDecoder>

#include <array>

namespace {

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five bytes it leaves undefined
// keep their Latin-1 code points, so that no byte is lost.
constexpr std::array<char16_t, 32> Windows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t windows1252Character(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x80 && byte <= 0x9F ? Windows1252High[byte - 0x80] : char16_t(byte);
}

} // namespace

QString decodeText(QByteArrayView bytes)
{
    if (!bytes.isValidUtf8()) {
        QString text(bytes.size(), Qt::Uninitialized);
        appendWindows1252(text.data(), bytes);
        return text;
    }
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    // UTF-8 never takes more UTF-16 characters than it has bytes.
    QString text(bytes.size(), Qt::Uninitialized);
    const QChar *end = utf8.appendToBuffer(text.data(), bytes);
    text.truncate(end - text.constData());
    return text;
}

QChar *appendWindows1252(QChar *out, QByteArrayView bytes)
{
    for (const char c : bytes)
        *out++ = QChar(windows1252Character(c));
    return out;
}

qsizetype windows1252Utf8Size(QByteArrayView bytes)
{
    qsizetype size = 0;
    for (const char c : bytes) {
        const char16_t character = windows1252Character(c);
        size += character < 0x80 ? 1 : character < 0x800 ? 2 : 3;
    }
    return size;
}

QByteArray windows1252ToUtf8(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    appendWindows1252(text.data(), bytes);
    return text.toUtf8();
}
