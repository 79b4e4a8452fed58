// Benchmark helper: a peer that holds a frame half-sent.
//   halfframe_proxy PORT TARGET_PORT FRAMES
// Accepts one connection on 127.0.0.1:PORT and relays it to 127.0.0.1:
// TARGET_PORT, both ways. From the connecting side it forwards FRAMES whole
// frames, then the header and half the payload of the next frame that has
// one, prints "held" and from then on reads nothing more from that side:
// the target holds a frame cut in the middle, the connecting side a peer
// that stopped reading. Runs until it is killed or either side closes.
#include "protocol/frame.h"
#include "relay.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

bool WriteAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORT TARGET_PORT FRAMES\n", argv[0]);
        return 2;
    }
    const long frames = std::atol(argv[3]);
    const int lsn = ListenLocal(std::atoi(argv[1]), "listening");
    if (lsn < 0) return 1;
    const int from = ::accept(lsn, nullptr, nullptr);
    const int to = ConnectLocal(std::atoi(argv[2]));
    if (from < 0 || to < 0) return 1;

    std::vector<char> pending; // bytes from `from` not yet forwarded
    long forwarded = 0;
    bool held = false;
    char buf[65536];
    for (;;) {
        pollfd p[2] = {{from, static_cast<short>(held ? 0 : POLLIN), 0}, {to, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) return 1;
        if (p[1].revents != 0) {
            const ssize_t n = ::read(to, buf, sizeof buf);
            if (n <= 0 || !WriteAll(from, buf, static_cast<std::size_t>(n))) return 0;
        }
        if (held || p[0].revents == 0) continue;
        const ssize_t n = ::read(from, buf, sizeof buf);
        if (n <= 0) return 0;
        pending.insert(pending.end(), buf, buf + n);
        // Whole frames go on until the count is reached.
        std::size_t used = 0;
        while (pending.size() - used >= relvane::HeaderSize) {
            const std::size_t length = relvane::ParseHeader(pending.data() + used).Length;
            const std::size_t whole = relvane::HeaderSize + length;
            if (forwarded >= frames && length >= 2) {
                const std::size_t half = relvane::HeaderSize + length / 2;
                if (pending.size() - used < half) break;
                if (!WriteAll(to, pending.data() + used, half)) return 0;
                held = true;
                std::printf("held\n");
                std::fflush(stdout);
                break;
            }
            if (pending.size() - used < whole) break;
            if (!WriteAll(to, pending.data() + used, whole)) return 0;
            used += whole;
            ++forwarded;
        }
        if (!held) pending.erase(pending.begin(), pending.begin() + static_cast<long>(used));
    }
}
