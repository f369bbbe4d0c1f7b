// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// A page of 100 MiB becomes 200 MiB of text. Handed out 4 KiB at a time, that is tens of
// thousands of page faults, which cost more than the whole download; so the text asks the
// kernel to back it with huge pages instead. A kernel that cannot simply ignores the request.

// A text of `size` characters, not yet filled in, with huge pages advised when it is large.
QString uninitializedText(qsizetype size);
