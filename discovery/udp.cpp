#include "discovery/udp.h"

#include <QSocketNotifier>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace relvane::discovery {
namespace {

sockaddr_in SocketAddress(Ip4 address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

// Datagrams read per wake-up: a flood cannot keep the event loop here.
constexpr int MaxReadsPerWake = 64;

} // namespace

QString FormatIp4(Ip4 address) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

std::optional<Ip4> ParseIp4(const QString& dotted) {
    const QStringList parts = dotted.trimmed().split(u'.');
    if (parts.size() != 4) return std::nullopt;
    Ip4 out = 0;
    for (const QString& p : parts) {
        bool ok = false;
        const uint v = p.toUInt(&ok, 10);
        if (!ok || p.size() > 3 || v > 255 || !p.front().isDigit()) return std::nullopt;
        out = (out << 8) | v;
    }
    return out;
}

std::vector<Interface> BroadcastInterfaces() {
    std::vector<Interface> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        const unsigned flags = i->ifa_flags;
        if (!(flags & IFF_UP) || (flags & IFF_LOOPBACK) || !(flags & IFF_BROADCAST) ||
            i->ifa_broadaddr == nullptr) {
            continue;
        }
        const Ip4 address =
            ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        const Ip4 broadcast =
            ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr);
        if (broadcast == 0 || IsLoopback(address)) continue;
        out.push_back({address, broadcast});
    }
    ::freeifaddrs(list);
    return out;
}

std::unique_ptr<UdpSocket> UdpSocket::Open(Ip4 bindAddress, std::uint16_t port, bool broadcast,
                                           Receiver receiver) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    const int on = 1;
    // A responder of a copy that just stopped must not keep the next from its port.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Only the asker may broadcast: a responder's answer can never reach more
    // than the one address that asked.
    if (broadcast) ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const sockaddr_in a = SocketAddress(bindAddress, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<UdpSocket>(new UdpSocket(fd, std::move(receiver)));
}

UdpSocket::UdpSocket(int fd, Receiver receiver)
    : Fd(fd), Receive(std::move(receiver)),
      Notifier(std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read)) {
    QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] { ReadSome(); });
}

UdpSocket::~UdpSocket() {
    *Alive = false;
    Notifier.reset();
    ::close(Fd);
}

bool UdpSocket::SendTo(QByteArrayView datagram, Ip4 address, std::uint16_t port) {
    const sockaddr_in a = SocketAddress(address, port);
    ssize_t n;
    do {
        n = ::sendto(Fd, datagram.data(), static_cast<size_t>(datagram.size()), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } while (n < 0 && errno == EINTR);
    return n == datagram.size();
}

void UdpSocket::ReadSome() {
    // The receiver may end the socket's owner: the loop stops when it did.
    const std::shared_ptr<bool> alive = Alive;
    // Larger than any datagram of ours; MSG_TRUNC reports a longer one's real
    // size, which then cannot decode.
    char buffer[128];
    for (int i = 0; i < MaxReadsPerWake && *alive; ++i) {
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t n = ::recvfrom(Fd, buffer, sizeof buffer, MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            return; // EAGAIN, or an ICMP error of an earlier send: nothing to read
        }
        if (from.sin_family != AF_INET) continue;
        Receive(QByteArrayView(buffer, std::min<qsizetype>(n, sizeof buffer)),
                ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
    }
}

} // namespace relvane::discovery
