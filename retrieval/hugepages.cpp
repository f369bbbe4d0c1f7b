// SPDX-License-Identifier: GPL-3.0-or-later
#include "hugepages.h"

#include <sys/mman.h>
#include <unistd.h>

namespace {

// Below this, huge pages would not even fill one.
constexpr qsizetype WorthAdvising = 4 * 1024 * 1024;

// Advises the whole pages inside the block. The text is never resized, so splitting its
// mapping at the advised part costs nothing.
void advise(void *data, qsizetype bytes)
{
#ifdef MADV_HUGEPAGE
    if (bytes < WorthAdvising)
        return;
    static const auto pageSize = quintptr(sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<quintptr>(data);
    const quintptr first = (begin + pageSize - 1) & ~(pageSize - 1);
    const quintptr last = (begin + quintptr(bytes)) & ~(pageSize - 1);
    if (last > first)
        madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
    Q_UNUSED(data);
    Q_UNUSED(bytes);
#endif
}

} // namespace

QString uninitializedText(qsizetype size)
{
    QString text(size, Qt::Uninitialized);
    advise(text.data(), size * qsizetype(sizeof(QChar)));
    return text;
}
