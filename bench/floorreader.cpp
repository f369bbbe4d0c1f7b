// SPDX-License-Identifier: GPL-3.0-or-later
// The floor that tarnwick-fetch is measured against: the least a program can do to fetch
// a page and write its body. It connects, sends the same four request lines, reads 1 MiB
// at a time into a growing buffer until the server closes, and writes everything after
// the header's empty line to FILE, synced to disk as Tarnwick's save syncs it. No checks
// beyond what keeps it honest: it fails on any error.
//
// Usage: tarnwick-floorreader HOST PORT PATH FILE

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t ReadSize = 1 << 20;

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "tarnwick-floorreader: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

int connectTo(const char *host, const char *port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0 || !found)
        die("lookup");
    const int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (fd < 0 || connect(fd, found->ai_addr, found->ai_addrlen) < 0)
        die("connect");
    freeaddrinfo(found);
    return fd;
}

void writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            die("write");
        data += n;
        size -= std::size_t(n);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 5) {
        std::fprintf(stderr, "Usage: tarnwick-floorreader HOST PORT PATH FILE\n");
        return 2;
    }
    const int socketFd = connectTo(argv[1], argv[2]);
    const std::string request = std::string("GET ") + argv[3] + " HTTP/1.0\r\nHost: " + argv[1] +
                                ':' + argv[2] + "\r\nAccept: text/*\r\n\r\n";
    writeAll(socketFd, request.data(), request.size());

    char *buffer = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
    for (;;) {
        if (capacity - size < ReadSize) {
            capacity = capacity ? capacity * 2 : 4 * ReadSize;
            buffer = static_cast<char *>(std::realloc(buffer, capacity));
            if (!buffer)
                die("realloc");
        }
        const ssize_t n = recv(socketFd, buffer + size, ReadSize, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            die("recv");
        if (n == 0)
            break;
        size += std::size_t(n);
    }
    close(socketFd);

    const std::string_view response(buffer, size);
    const std::size_t headerEnd = response.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos) {
        errno = EPROTO;
        die("no header end");
    }
    const std::string_view body = response.substr(headerEnd + 4);
    const int out = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        die("open");
    writeAll(out, body.data(), body.size());
    if (fdatasync(out) < 0 || close(out) < 0)
        die("sync");
    std::free(buffer);
    return 0;
}
