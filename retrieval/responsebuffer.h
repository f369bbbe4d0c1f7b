// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>

#include <span>

// The bytes of one response, held once. The buffer reserves address space for the largest
// response it may hold when it is made, and takes memory for it only as bytes arrive, so
// it grows in place: nothing is ever copied to make room, and a read lands straight at its
// end. The memory comes in ordinary pages: huge pages fault in faster back to back, but the
// first retrieval after the machine has been idle a few seconds finds them fresh from the
// system, and zeroing them then made a first click on 100 MiB twice as slow as the next.
class ResponseBuffer
{
public:
    // A buffer that never holds anything.
    ResponseBuffer() = default;
    // A buffer for up to `maxSize` bytes, or as many as the address space allows.
    explicit ResponseBuffer(qsizetype maxSize);
    ResponseBuffer(ResponseBuffer &&other) noexcept;
    ResponseBuffer &operator=(ResponseBuffer &&other) noexcept;
    ResponseBuffer(const ResponseBuffer &) = delete;
    ResponseBuffer &operator=(const ResponseBuffer &) = delete;
    ~ResponseBuffer();

    qsizetype size() const { return m_size; }
    QByteArrayView bytes() const { return {m_data, m_size}; }

    // Room for up to `wanted` more bytes at the end, to read into; less when the buffer is
    // near its largest size, and none when memory cannot be had.
    std::span<char> roomAtEnd(qsizetype wanted);
    // The first `count` bytes of that room now hold data.
    void append(qsizetype count);

    // Gives the memory of the bytes before `position` back to the system: a reader that
    // has used them up no longer holds them twice. They must not be read afterwards.
    void releaseBefore(qsizetype position);

private:
    bool commitUpTo(qsizetype size);
    void unmap();

    char *m_data = nullptr;
    qsizetype m_reserved = 0;  // address space, in bytes
    qsizetype m_committed = 0; // of that, readable and writable
    qsizetype m_size = 0;
    qsizetype m_released = 0; // the memory before this has been given back
};
