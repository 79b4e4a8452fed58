#pragma once
// One non-blocking IPv4 UDP socket watched by the event loop; the discovery
// classes' only contact with the system. Internal to the library.

#include <QByteArrayView>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QSocketNotifier;

namespace relvane::discovery {

// An IPv4 address in host byte order.
using Ip4 = std::uint32_t;

[[nodiscard]] QString FormatIp4(Ip4 address);
[[nodiscard]] std::optional<Ip4> ParseIp4(const QString& dotted);
[[nodiscard]] inline bool IsLoopback(Ip4 a) {
    return (a >> 24) == 127;
}
// Whether a datagram's sender can be a single host: not 0.0.0.0, not
// multicast (224/4), not reserved or the limited broadcast (240/4). An answer
// to a forged sender of those would reach many hosts.
[[nodiscard]] inline bool IsSingleHost(Ip4 a) {
    return a != 0 && (a >> 28) < 0xE;
}

// An up, non-loopback IPv4 interface with a broadcast address.
struct Interface {
    Ip4 Address = 0;
    Ip4 Broadcast = 0;
};
[[nodiscard]] std::vector<Interface> BroadcastInterfaces();

class UdpSocket {
public:
    // Called with each datagram read and its sender.
    using Receiver = std::function<void(QByteArrayView datagram, Ip4 from, std::uint16_t port)>;

    // Empty when the socket cannot be made or bound.
    [[nodiscard]] static std::unique_ptr<UdpSocket> Open(Ip4 bindAddress, std::uint16_t port,
                                                         bool broadcast, Receiver receiver);
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // false when the system refused it (a full buffer drops the datagram,
    // as the network may).
    bool SendTo(QByteArrayView datagram, Ip4 address, std::uint16_t port);

private:
    UdpSocket(int fd, Receiver receiver);
    void ReadSome();

    int Fd;
    Receiver Receive;
    std::unique_ptr<QSocketNotifier> Notifier;
    std::shared_ptr<bool> Alive = std::make_shared<bool>(true);
};

} // namespace relvane::discovery
