// SPDX-License-Identifier: GPL-3.0-or-later
#include "redirecttarget.h"

#include <QStringList>

#include <algorithm>
#include <optional>

namespace {

bool isAsciiLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// RFC 3986 section 4.3: a reference that begins with a scheme (section 3.1) and ":" is a
// whole URL; any other is relative, even one with "://" further on ("/go?to=http://x").
bool startsWithScheme(const QString &reference)
{
    const qsizetype colon = reference.indexOf(u':');
    if (colon < 1 || !isAsciiLetter(reference.front()))
        return false;
    return std::all_of(reference.begin() + 1, reference.begin() + colon, [](QChar c) {
        return isAsciiLetter(c) || (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.';
    });
}

// A URL or reference taken apart as RFC 3986 appendix B does; parts absent from the text
// stay empty (nullopt), which is not the same as present and empty.
struct UrlParts
{
    QString scheme;
    std::optional<QString> authority;
    QString path;
    std::optional<QString> query;
    std::optional<QString> fragment;
};

UrlParts splitReference(QString text)
{
    UrlParts parts;
    if (const qsizetype hash = text.indexOf(u'#'); hash >= 0) {
        parts.fragment = text.sliced(hash + 1);
        text.truncate(hash);
    }
    if (const qsizetype question = text.indexOf(u'?'); question >= 0) {
        parts.query = text.sliced(question + 1);
        text.truncate(question);
    }
    if (text.startsWith(u"//")) {
        const qsizetype pathStart = text.indexOf(u'/', 2);
        parts.authority = text.sliced(2, (pathStart < 0 ? text.size() : pathStart) - 2);
        text.remove(0, pathStart < 0 ? text.size() : pathStart);
    }
    parts.path = text;
    return parts;
}

UrlParts splitAbsoluteUrl(const QString &url)
{
    const qsizetype separator = url.indexOf(u"://");
    UrlParts parts = splitReference(url.sliced(separator + 1));
    parts.scheme = url.first(separator);
    return parts;
}

// RFC 3986 section 5.2.4: resolves "." and ".." segments.
QString removeDotSegments(const QString &path)
{
    if (!path.contains(u'.'))
        return path;
    const QStringList segments = path.split(u'/');
    QStringList output;
    for (qsizetype i = 0; i < segments.size(); ++i) {
        const QString &segment = segments[i];
        const bool isLast = i == segments.size() - 1;
        if (segment == u"." || segment == u"..") {
            if (segment == u".." && output.size() > 1)
                output.removeLast();
            if (isLast)
                output += QString(); // "/a/." and "/a/.." name a directory: keep the final slash
            continue;
        }
        output += segment;
    }
    QString result = output.join(u'/');
    if (path.startsWith(u'/') && !result.startsWith(u'/'))
        result.prepend(u'/');
    return result;
}

// RFC 3986 section 5.2.3.
QString mergePaths(const UrlParts &base, const QString &referencePath)
{
    if (base.authority && base.path.isEmpty())
        return u'/' + referencePath;
    return base.path.first(base.path.lastIndexOf(u'/') + 1) + referencePath;
}

QString recompose(const UrlParts &parts)
{
    QString url =
        parts.scheme + QStringLiteral("://") + parts.authority.value_or(QString()) + parts.path;
    if (parts.query)
        url += u'?' + *parts.query;
    if (parts.fragment)
        url += u'#' + *parts.fragment;
    return url;
}

} // namespace

QString resolveLocation(const QString &baseUrl, const QString &location)
{
    if (startsWithScheme(location))
        return location;

    const UrlParts base = splitAbsoluteUrl(baseUrl);
    const UrlParts reference = splitReference(location);
    UrlParts target;
    target.scheme = base.scheme;
    target.fragment = reference.fragment;
    if (reference.authority) {
        target.authority = reference.authority;
        target.path = removeDotSegments(reference.path);
        target.query = reference.query;
        return recompose(target);
    }
    target.authority = base.authority;
    if (reference.path.isEmpty()) {
        target.path = base.path;
        target.query = reference.query ? reference.query : base.query;
    } else {
        target.path = removeDotSegments(
            reference.path.startsWith(u'/') ? reference.path : mergePaths(base, reference.path));
        target.query = reference.query;
    }
    return recompose(target);
}
