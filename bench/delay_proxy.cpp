// Benchmark helper: a link with latency, since this machine has no netem.
//   delay_proxy LISTEN_PORT TARGET_PORT DELAY_MS
// Accepts one connection on 127.0.0.1:LISTEN_PORT (within 60 s), connects to
// 127.0.0.1:TARGET_PORT and relays both ways, each chunk written DELAY_MS
// after it was read (a one-way delay). Chunks keep their order and each goes
// at its own due time, so a stream is delayed, not slowed. When a side
// closes, what is queued towards the other is delivered, then the other's
// sending half is shut; it exits once both directions are done.
#include "relay.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Keeps memory bounded if the reading side outruns the writing one.
constexpr std::size_t QueueCap = 64u << 20;

struct Chunk {
    Clock::time_point Due;
    std::vector<char> Bytes;
};

struct Direction {
    int From = -1;
    int To = -1;
    std::mutex M;
    std::condition_variable Cv;
    std::deque<Chunk> Queue;
    std::size_t Queued = 0;
    bool Eof = false;    // the reading side closed
    bool Failed = false; // the writing side is gone: drop the rest
};

void Read(Direction& d, Clock::duration delay) {
    std::vector<char> buf(256 * 1024);
    for (;;) {
        const ssize_t n = ::recv(d.From, buf.data(), buf.size(), 0);
        if (n <= 0) break; // closed, reset, or shut by a failed writer
        const Clock::time_point due = Clock::now() + delay;
        std::unique_lock lock(d.M);
        d.Cv.wait(lock, [&] { return d.Queued < QueueCap || d.Failed; });
        if (d.Failed) break;
        d.Queue.push_back({due, std::vector<char>(buf.data(), buf.data() + n)});
        d.Queued += static_cast<std::size_t>(n);
        d.Cv.notify_all();
    }
    const std::lock_guard lock(d.M);
    d.Eof = true;
    d.Cv.notify_all();
}

void Write(Direction& d) {
    for (;;) {
        Chunk c;
        {
            std::unique_lock lock(d.M);
            d.Cv.wait(lock, [&] { return !d.Queue.empty() || d.Eof; });
            if (d.Queue.empty()) break;
            c = std::move(d.Queue.front());
            d.Queue.pop_front();
            d.Queued -= c.Bytes.size();
            d.Cv.notify_all();
        }
        std::this_thread::sleep_until(c.Due);
        for (std::size_t off = 0; off < c.Bytes.size();) {
            const ssize_t w = ::send(d.To, c.Bytes.data() + off, c.Bytes.size() - off, MSG_NOSIGNAL);
            if (w <= 0) {
                {
                    const std::lock_guard lock(d.M);
                    d.Failed = true;
                    d.Queue.clear();
                    d.Cv.notify_all();
                }
                ::shutdown(d.From, SHUT_RD); // wakes the reader
                return;
            }
            off += static_cast<std::size_t>(w);
        }
    }
    ::shutdown(d.To, SHUT_WR);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s LISTEN_PORT TARGET_PORT DELAY_MS\n", argv[0]);
        return 2;
    }
    const auto delay = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(std::atof(argv[3])));
    const int lsn = ListenLocal(std::atoi(argv[1]), "ready");
    if (lsn < 0) return 1;
    pollfd p{lsn, POLLIN, 0};
    if (::poll(&p, 1, 60000) != 1) {
        std::fprintf(stderr, "delay_proxy: no connection within 60 s\n");
        return 1;
    }
    const int a = ::accept(lsn, nullptr, nullptr);
    const int b = ConnectLocal(std::atoi(argv[2]));
    if (a < 0 || b < 0) return 1;
    ::close(lsn);
    // Small frames go at once: the delay is the only one this relay adds.
    const int on = 1;
    ::setsockopt(a, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(b, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    Direction up, down;
    up.From = a, up.To = b;
    down.From = b, down.To = a;
    std::thread threads[] = {std::thread(Read, std::ref(up), delay), std::thread(Write, std::ref(up)),
                             std::thread(Read, std::ref(down), delay), std::thread(Write, std::ref(down))};
    for (std::thread& t : threads) t.join();
    return 0;
}
