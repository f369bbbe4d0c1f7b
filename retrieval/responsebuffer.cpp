// SPDX-License-Identifier: GPL-3.0-or-later
#include "responsebuffer.h"

#include <algorithm>
#include <utility>

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

namespace {

// Memory is taken, and given back, in steps of 2 MiB: fifty calls to the system for 100 MiB.
constexpr qsizetype Step = 2 * 1024 * 1024;

qsizetype roundUp(qsizetype bytes)
{
    return (bytes + Step - 1) / Step * Step;
}

qsizetype roundDown(qsizetype bytes)
{
    return bytes / Step * Step;
}

// Address space of `size` bytes (a whole number of steps) that starts on a step, with no
// memory behind it yet; nullptr when there is none to be had.
char *reserveAligned(qsizetype size)
{
    void *mapped = mmap(nullptr, size_t(size + Step), PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    auto *begin = static_cast<char *>(mapped);
    const auto address = reinterpret_cast<quintptr>(begin);
    const qsizetype head = qsizetype((Step - address % Step) % Step);
    if (head > 0)
        munmap(begin, size_t(head));
    munmap(begin + head + size, size_t(Step - head));
    return begin + head;
}

} // namespace

ResponseBuffer::ResponseBuffer(qsizetype maxSize)
{
    // Where the address space is limited, a smaller buffer still holds the smaller pages.
    qsizetype reserved = roundUp(std::max<qsizetype>(maxSize, 1));
    m_data = reserveAligned(reserved);
    while (!m_data && reserved > Step) {
        reserved = roundUp(reserved / 2);
        m_data = reserveAligned(reserved);
    }
    if (!m_data)
        return;
    m_reserved = reserved;
}

ResponseBuffer::ResponseBuffer(ResponseBuffer &&other) noexcept
    : m_data(std::exchange(other.m_data, nullptr))
    , m_reserved(std::exchange(other.m_reserved, 0))
    , m_committed(std::exchange(other.m_committed, 0))
    , m_size(std::exchange(other.m_size, 0))
    , m_released(std::exchange(other.m_released, 0))
{}

ResponseBuffer &ResponseBuffer::operator=(ResponseBuffer &&other) noexcept
{
    if (this != &other) {
        unmap();
        m_data = std::exchange(other.m_data, nullptr);
        m_reserved = std::exchange(other.m_reserved, 0);
        m_committed = std::exchange(other.m_committed, 0);
        m_size = std::exchange(other.m_size, 0);
        m_released = std::exchange(other.m_released, 0);
    }
    return *this;
}

ResponseBuffer::~ResponseBuffer()
{
    unmap();
}

void ResponseBuffer::unmap()
{
    if (m_data) {
        ASAN_UNPOISON_MEMORY_REGION(m_data, m_committed);
        munmap(m_data, size_t(m_reserved));
    }
    m_data = nullptr;
    m_reserved = m_committed = m_size = m_released = 0;
}

std::span<char> ResponseBuffer::roomAtEnd(qsizetype wanted)
{
    const qsizetype room = std::min(wanted, m_reserved - m_size);
    if (room <= 0 || !commitUpTo(m_size + room))
        return {};
    ASAN_UNPOISON_MEMORY_REGION(m_data + m_size, room);
    return {m_data + m_size, size_t(room)};
}

void ResponseBuffer::append(qsizetype count)
{
    m_size = std::clamp<qsizetype>(m_size + count, m_size, m_committed);
    // A checking build catches any read past what has arrived.
    ASAN_POISON_MEMORY_REGION(m_data + m_size, m_committed - m_size);
}

bool ResponseBuffer::commitUpTo(qsizetype size)
{
    if (size <= m_committed)
        return true;
    const qsizetype committed = std::min(roundUp(size), m_reserved);
    if (mprotect(m_data + m_committed, size_t(committed - m_committed), PROT_READ | PROT_WRITE) < 0)
        return false;
    m_committed = committed;
    return true;
}

void ResponseBuffer::releaseBefore(qsizetype position)
{
    const qsizetype end = roundDown(std::min(position, m_size));
    if (end <= m_released)
        return;
    madvise(m_data + m_released, size_t(end - m_released), MADV_DONTNEED);
    ASAN_POISON_MEMORY_REGION(m_data + m_released, end - m_released);
    m_released = end;
}
