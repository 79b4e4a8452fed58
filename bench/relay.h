#pragma once
// The ends of a relay on 127.0.0.1, shared by the benchmark helpers.

#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

inline sockaddr_in Local(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Listens on the port and prints `word` once it does (scripts wait for it);
// -1 when it cannot.
inline int ListenLocal(int port, const char* word) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at = Local(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(fd, 1) != 0) {
        std::perror("listen");
        return -1;
    }
    std::printf("%s\n", word);
    std::fflush(stdout);
    return fd;
}

// -1 when the port does not answer.
inline int ConnectLocal(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in target = Local(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        std::perror("connect");
        return -1;
    }
    return fd;
}
