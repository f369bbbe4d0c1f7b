// SPDX-License-Identifier: GPL-3.0-or-later
#include "pagebody.h"

#include "bodytext.h"

#include <QStringDecoder>

#include <utility>

namespace {

// How much of the body is turned into text, or into UTF-8, at a time.
constexpr qsizetype SliceBytes = 1 << 20;

template <typename Action> bool forEachSlice(QByteArrayView bytes, Action action)
{
    for (qsizetype at = 0; at < bytes.size(); at += SliceBytes) {
        if (!action(at, bytes.sliced(at, std::min(SliceBytes, bytes.size() - at))))
            return false;
    }
    return true;
}

} // namespace

PageBody::PageBody(ResponseBuffer response, qsizetype start)
    : m_response(std::move(response))
    , m_start(start)
    , m_utf8(bytes().isValidUtf8())
{}

QString PageBody::text() const
{
    return decodeText(bytes());
}

QString PageBody::takeText()
{
    const QByteArrayView body = bytes();
    // UTF-8 never takes more UTF-16 characters than it has bytes; Windows-1252 takes one a byte.
    QString text(body.size(), Qt::Uninitialized);
    QChar *out = text.data();
    // Not stateless: a slice may end inside a character, which the next one completes.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    forEachSlice(body, [&](qsizetype at, QByteArrayView slice) {
        out = m_utf8 ? utf8.appendToBuffer(out, slice) : appendWindows1252(out, slice);
        m_response.releaseBefore(m_start + at + slice.size());
        return true;
    });
    text.truncate(out - text.constData());
    *this = PageBody();
    return text;
}

bool PageBody::writeUtf8(const std::function<bool(QByteArrayView)> &write) const
{
    if (m_utf8)
        return forEachSlice(bytes(), [&](qsizetype, QByteArrayView slice) { return write(slice); });
    return forEachSlice(
        bytes(), [&](qsizetype, QByteArrayView slice) { return write(windows1252ToUtf8(slice)); });
}

qsizetype PageBody::utf8Size() const
{
    return m_utf8 ? bytes().size() : windows1252Utf8Size(bytes());
}
