// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

// A page of 100 MiB fills a few hundred MiB of fresh memory: the response and its text.
// Handed out 4 KiB at a time, that is tens of thousands of page faults, which cost more
// than the whole download. These ask the kernel to back such buffers with huge pages
// instead; a kernel that cannot simply ignores the request.

// Advises huge pages for the buffer's whole capacity, once it is large enough to gain.
void adviseHugePages(QByteArray &buffer);

// A text of `size` characters, not yet filled in, with huge pages advised when it is large.
QString uninitializedText(qsizetype size);
