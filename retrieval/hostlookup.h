// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <memory>
#include <string>

struct addrinfo;

struct AddressListDeleter
{
    void operator()(addrinfo *list) const; // freeaddrinfo()
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

// A lookup with getaddrinfo's signature: the system's own, or a stand-in in tests.
using LookupFunction = int (*)(const char *node, const char *service, const addrinfo *hints,
                               addrinfo **result);

struct LookupResult
{
    int error = 0; // an error number: ETIMEDOUT when the deadline came first
    AddressList addresses;
};

// The TCP addresses of `host` (a name or an address) for `port`, or an error no later than
// `deadline`. The system's lookup has no timeout of its own and waits as long as a name
// server keeps it waiting, so it runs on a helper thread of its own; one that is given up
// on finishes in the background, frees what it found and keeps nothing from exiting.
LookupResult lookUpHost(const std::string &host, int port,
                        std::chrono::steady_clock::time_point deadline, LookupFunction lookup);
