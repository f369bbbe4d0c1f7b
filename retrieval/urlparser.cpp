// SPDX-License-Identifier: GPL-3.0-or-later
#include "urlparser.h"

#include "numericreading.h"

#include <QUrl>

#include <algorithm>
#include <cmath>

namespace {

constexpr qsizetype MaxPortCharacters = 5;
constexpr int DefaultPort = 80;

// Only the space counts as a blank here: tabs and other white space stay in the URL.
QString trimSpaces(const QString &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first] == u' ')
        ++first;
    while (last > first && text[last - 1] == u' ')
        --last;
    return text.sliced(first, last - first);
}

// A path that names no file (no "." anywhere) is taken as a directory.
void appendDirectorySlash(QString &path)
{
    if (!path.contains(u'.') && !path.endsWith(u'/'))
        path += u'/';
}

// Cuts ":port" off `part` and reads the port from the few characters after the colon.
double takePort(QString &part, qsizetype colon)
{
    const double port = readNumber(QStringView(part).mid(colon + 1, MaxPortCharacters));
    part.truncate(colon);
    return port;
}

// The colon before a host's port. The colons of an IPv6 address in brackets are its own.
qsizetype portColon(const QString &host)
{
    const qsizetype from = host.startsWith(u'[') ? qMax<qsizetype>(0, host.indexOf(u']')) : 0;
    return host.indexOf(u':', from);
}

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Cuts a final ":digits" off a host and returns its value; 80 when there is none. A bare IPv6
// address ("::1") has colons of its own and carries no port.
double splitHostPort(QString &host)
{
    const qsizetype colon = host.lastIndexOf(u':');
    if (colon < 0 || (!host.startsWith(u'[') && host.count(u':') > 1))
        return DefaultPort;
    if (host.startsWith(u'[') && host.at(colon - 1) != u']')
        return DefaultPort;
    const QStringView digits = QStringView(host).sliced(colon + 1);
    if (!std::all_of(digits.begin(), digits.end(), isAsciiDigit))
        return DefaultPort;
    const double port = digits.isEmpty() ? DefaultPort : digits.toDouble();
    host.truncate(colon);
    return port;
}

bool isBracket(QChar c)
{
    return c == u'[' || c == u']';
}

// What a host names: an address in brackets without them (RFC 3986 section 3.2.2), any
// other host as it stands. Brackets anywhere else ("[[]]", "[::1", "a]") are part of no
// name or address, so such a host names nothing.
QString nameOrAddress(const QString &host)
{
    const bool inBrackets = host.size() >= 2 && host.startsWith(u'[') && host.endsWith(u']');
    const QString inside = inBrackets ? host.mid(1, host.size() - 2) : host;
    return std::any_of(inside.begin(), inside.end(), isBracket) ? QString() : inside;
}

// An international name is looked up by its ASCII form (RFC 5891); an ASCII name as it
// stands, so that its letters' case reaches the server unchanged.
QString lookupName(const QString &host)
{
    const bool ascii =
        std::all_of(host.begin(), host.end(), [](QChar c) { return c.unicode() < 0x80; });
    return ascii ? host : QString::fromLatin1(QUrl::toAce(host));
}

int portNumber(double port)
{
    const bool usable =
        std::isfinite(port) && port == std::floor(port) && port >= 1 && port <= 65535;
    return usable ? int(port) : 0;
}

} // namespace

QString Endpoint::hostField() const
{
    const QString name = host.contains(u':') ? u'[' + host + u']' : host;
    return port == DefaultPort ? name : name + u':' + QString::number(port);
}

QString ParsedUrl::normalisedUrl() const
{
    return Scheme + QStringLiteral("://") + Host + Path;
}

QString ParsedUrl::portCaption() const
{
    return Port ? numberText(*Port) : QString();
}

QString ParsedUrl::urlWithPort() const
{
    QString authority = Host;
    if (Port && *Port != DefaultPort)
        authority += u':' + numberText(*Port);
    return Scheme + QStringLiteral("://") + authority + Path;
}

Endpoint ParsedUrl::endpoint() const
{
    QString host = Host;
    const double portInHost = splitHostPort(host);
    return {lookupName(nameOrAddress(host)), portNumber(Port.value_or(portInHost))};
}

std::optional<ParsedUrl> parseUrl(const QString &urlBoxText, bool redirecting)
{
    QString rest = trimSpaces(urlBoxText);
    ParsedUrl url;

    if (const qsizetype separator = rest.indexOf(u"://"); separator >= 0) {
        url.Scheme = rest.first(separator);
        rest.remove(0, separator + 3);
        if (url.Scheme != u"http")
            return std::nullopt;
    } else {
        url.Scheme = QStringLiteral("http");
    }

    if (const qsizetype slash = rest.indexOf(u'/'); slash >= 0) {
        url.Host = rest.first(slash);
        url.Path = rest.sliced(slash);
    } else {
        url.Host = rest;
        url.Path = QStringLiteral("/");
    }

    if (redirecting)
        return url;

    appendDirectorySlash(url.Path);

    // The port is looked for in the path first, and in the host only when the path has none.
    if (const qsizetype colon = url.Path.indexOf(u':'); colon >= 0)
        url.Port = takePort(url.Path, colon);
    else if (const qsizetype hostColon = portColon(url.Host); hostColon >= 0)
        url.Port = takePort(url.Host, hostColon);
    else
        url.Port = DefaultPort;
    return url;
}
