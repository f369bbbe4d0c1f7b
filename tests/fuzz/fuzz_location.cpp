// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes the resolution of a redirect's Location against the URL of the page that sent it.
//
// Input: one mode byte, the text of the page's URL box up to the first LF, then the
// Location's bytes. Mode bit 0: the page's URL was itself a redirect's URL.

#include "bodytext.h"
#include "fuzzcheck.h"
#include "redirecttarget.h"
#include "urlparser.h"

#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <cstdint>

namespace {

// A URL or reference taken apart at the first of the marks that end each part.
struct Parts
{
    QString authority;
    QString path;
    std::optional<QString> query;
    std::optional<QString> fragment;
};

Parts split(QString text, bool withAuthority)
{
    Parts parts;
    if (const qsizetype hash = text.indexOf(u'#'); hash >= 0) {
        parts.fragment = text.sliced(hash + 1);
        text.truncate(hash);
    }
    if (const qsizetype question = text.indexOf(u'?'); question >= 0) {
        parts.query = text.sliced(question + 1);
        text.truncate(question);
    }
    if (withAuthority) {
        const qsizetype slash = text.indexOf(u'/');
        parts.authority = text.first(slash < 0 ? text.size() : slash);
        text.remove(0, parts.authority.size());
    }
    parts.path = text;
    return parts;
}

bool hasDotSegment(const QString &path)
{
    const QStringList segments = path.split(u'/');
    return segments.contains(u"."_qs) || segments.contains(u".."_qs);
}

// Plain letters, digits and the marks that shape a reference: where both URLs keep to
// these, a second resolver must agree.
bool isPlain(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
               QStringView(u"./?#").contains(c);
    });
}

void checkResolution(const QString &base, const QString &baseHost, const QString &location)
{
    const QString target = resolveLocation(base, location);
    fuzzNote(QStringLiteral("\"%1\" against \"%2\" gives \"%3\"").arg(location, base, target));
    // A Location that begins with a scheme is a whole URL; any other is a reference.
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    if (scheme.match(location).hasMatch()) {
        FUZZ_CHECK(target == location);
        return;
    }

    constexpr QStringView Http = u"http://";
    FUZZ_CHECK(target.startsWith(Http));
    const std::optional<ParsedUrl> next = parseUrl(target, true);
    FUZZ_CHECK(next && next->Path.startsWith(u'/'));

    // Only a host free of the marks that end an authority can be found again in the result.
    if (baseHost.contains(u'?') || baseHost.contains(u'#'))
        return;
    const Parts result = split(target.sliced(Http.size()), true);
    const Parts reference = split(location, false);
    const Parts page = split(base.sliced(Http.size()), true);
    FUZZ_CHECK(result.fragment == reference.fragment);
    if (!reference.path.isEmpty() || reference.query)
        FUZZ_CHECK(result.query == reference.query);
    else
        FUZZ_CHECK(result.query == page.query);

    if (reference.path.startsWith(u"//")) {
        FUZZ_CHECK(!hasDotSegment(result.path));
        return;
    }
    FUZZ_CHECK(result.authority == page.authority);
    if (reference.path.isEmpty()) {
        FUZZ_CHECK(result.path == page.path);
        return;
    }
    FUZZ_CHECK(result.path.startsWith(u'/'));
    FUZZ_CHECK(!hasDotSegment(result.path));
    if (!hasDotSegment(reference.path) && !hasDotSegment(page.path)) {
        const QString directory = page.path.first(page.path.lastIndexOf(u'/') + 1);
        FUZZ_CHECK(result.path ==
                   (reference.path.startsWith(u'/') ? reference.path : directory + reference.path));
    }

    const QUrl pageUrl(base);
    // (A second "#" is part of the fragment, which the other resolver writes encoded.)
    if (isPlain(base.sliced(Http.size())) && isPlain(location) && location.count(u'#') < 2 &&
        pageUrl.host() == baseHost) {
        const QUrl resolved = pageUrl.resolved(QUrl(location));
        fuzzNote(QStringLiteral("second resolver gives \"%1\"").arg(resolved.toString()));
        FUZZ_CHECK(target == resolved.toString(QUrl::FullyEncoded));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool redirecting = data[0] & 1;
    const QByteArrayView input(data + 1, qsizetype(size - 1));
    const qsizetype lineEnd = input.indexOf('\n');
    const QString pageUrl = QString::fromUtf8(lineEnd < 0 ? input : input.first(lineEnd));
    const QByteArrayView location = lineEnd < 0 ? QByteArrayView() : input.sliced(lineEnd + 1);

    const std::optional<ParsedUrl> page = parseUrl(pageUrl, redirecting);
    if (!page)
        return 0;
    const QString base = page->urlWithPort();

    checkResolution(base, page->Host, decodeText(location));
    return 0;
}
