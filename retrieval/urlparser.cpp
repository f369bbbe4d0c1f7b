#include "urlparser.h"

#include "numericreading.h"

namespace {

constexpr qsizetype MaxPortCharacters = 5;

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

} // namespace

QString ParsedUrl::normalisedUrl() const
{
    return Scheme + QStringLiteral("://") + Host + Path;
}

QString ParsedUrl::portCaption() const
{
    return Port ? numberText(*Port) : QString();
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
    else if (const qsizetype hostColon = url.Host.indexOf(u':'); hostColon >= 0)
        url.Port = takePort(url.Host, hostColon);
    else
        url.Port = 80;
    return url;
}
