#pragma once

#include <QString>

// The URL a redirect leads to. A Location naming a whole URL (one with "://") is taken as
// it stands; any other is a reference resolved against the URL of the page that sent it,
// as RFC 3986 section 5 resolves references.
QString resolveLocation(const QString &baseUrl, const QString &location);
