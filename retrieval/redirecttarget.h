// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The URL a redirect leads to. A Location naming a whole URL (one that begins with a scheme
// and ":", such as "http://b/x") is taken as it stands; any other is a reference resolved
// against the URL of the page that sent it, as RFC 3986 section 5 resolves references.
QString resolveLocation(const QString &baseUrl, const QString &location);
