// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>

// The IPv4 loopback address 127.0.0.1 with `port` (0: any free port, when binding).
inline sockaddr_in loopbackAddress(quint16 port = 0)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}
