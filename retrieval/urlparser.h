#pragma once

#include <QString>

#include <optional>

// The URL box's text taken apart into what a retrieval connects to and asks for.
struct ParsedUrl
{
    QString Scheme;
    QString Host;
    QString Path;               // always begins with "/"
    std::optional<double> Port; // empty when the URL came from a redirect

    // The URL written back into the URL box: Scheme://HostPath (the port is not in it).
    QString normalisedUrl() const;
    // The port as the port label shows it; empty when there is no port.
    QString portCaption() const;
};

// Parses the URL box's text. A redirect's URL (`redirecting`) is taken as it stands: no
// directory slash is added and no port is split off. Returns nothing when the scheme is
// not exactly "http".
std::optional<ParsedUrl> parseUrl(const QString &urlBoxText, bool redirecting);
