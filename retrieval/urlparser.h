// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <optional>

// Where a retrieval connects, and how its request names that place.
struct Endpoint
{
    // The name or address to look up: an international name in its ASCII (IDNA) form, an
    // IPv6 address without brackets; empty when the name has no ASCII form, or when it has
    // brackets anywhere but around an address.
    QString host;
    // 1..65535, or 0 when the URL's port is no whole number in that range.
    int port = 0;

    // The Host field's value: the host with ":port" unless the port is 80 (RFC 9110
    // section 7.2), an IPv6 address in brackets.
    QString hostField() const;
};

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
    // The URL that is fetched, with its port unless that is 80: what a relative Location
    // is resolved against.
    QString urlWithPort() const;
    // A redirect's URL keeps its port in Host ("HOST:8080", "[::1]:8080"), and so does a
    // URL whose port came from its path; it is split off here, so that the host and the
    // port reach the connection apart. Port, when there is one, is the port.
    Endpoint endpoint() const;
};

// Parses the URL box's text. A redirect's URL (`redirecting`) is taken as it stands: no
// directory slash is added and no port is split off. Returns nothing when the scheme is
// not exactly "http".
std::optional<ParsedUrl> parseUrl(const QString &urlBoxText, bool redirecting);
