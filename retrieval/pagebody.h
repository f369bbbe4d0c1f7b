// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "responsebuffer.h"

#include <QByteArrayView>
#include <QString>

#include <functional>

// The body of a page, held once: in the response it arrived in, from `start` on. Its text
// is the bytes read as UTF-8 when they are valid UTF-8 (a byte-order mark stays a
// character), otherwise as Windows-1252, which gives every byte a character. NUL bytes are
// characters too; nothing is dropped.
class PageBody
{
public:
    PageBody() = default;
    PageBody(ResponseBuffer response, qsizetype start);

    QByteArrayView bytes() const { return m_response.bytes().sliced(m_start); }
    bool isUtf8() const { return m_utf8; }

    QString text() const;
    // The text, built in one allocation. The bytes are given back to the system as they are
    // turned into text, so the page is never held twice over; the body is empty afterwards.
    QString takeText();

    // The text as UTF-8, handed to `write` a slice at a time: the bytes as they came when
    // they are UTF-8 already, else each slice turned into UTF-8 in turn. Stops as soon as
    // `write` returns false, and returns whether every slice was written.
    bool writeUtf8(const std::function<bool(QByteArrayView)> &write) const;
    // The bytes that writeUtf8() hands over, all told.
    qsizetype utf8Size() const;

private:
    ResponseBuffer m_response;
    qsizetype m_start = 0;
    bool m_utf8 = true;
};
