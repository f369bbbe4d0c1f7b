// SPDX-License-Identifier: GPL-3.0-or-later
#include "hostlookup.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include <netdb.h>

namespace {

// What a lookup hands over. The helper thread and the caller share it, so that whichever
// is done with it last frees it, together with the addresses nobody waited for.
struct PendingLookup
{
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    int error = 0;
    AddressList addresses;
};

int errorNumber(int lookupResult, int systemError)
{
    if (lookupResult == 0)
        return 0;
    return lookupResult == EAI_SYSTEM ? systemError : EHOSTUNREACH;
}

} // namespace

void AddressListDeleter::operator()(addrinfo *list) const
{
    freeaddrinfo(list);
}

LookupResult lookUpHost(const std::string &host, int port,
                        std::chrono::steady_clock::time_point deadline, LookupFunction lookup)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    const auto pending = std::make_shared<PendingLookup>();

    const auto run = [pending, lookup, host, service = std::to_string(port), hints] {
        addrinfo *found = nullptr;
        const int result = lookup(host.c_str(), service.c_str(), &hints, &found);
        const int error = errorNumber(result, errno);
        AddressList addresses(result == 0 ? found : nullptr);
        const std::lock_guard lock(pending->mutex);
        pending->error = error;
        pending->addresses = std::move(addresses);
        pending->done = true;
        pending->finished.notify_one();
    };
    try {
        std::thread(run).detach();
    } catch (const std::system_error &error) { // no thread to be had, for now
        return {error.code().value(), nullptr};
    }

    std::unique_lock lock(pending->mutex);
    if (!pending->finished.wait_until(lock, deadline, [&] { return pending->done; }))
        return {ETIMEDOUT, nullptr};
    return {pending->error, std::move(pending->addresses)};
}
