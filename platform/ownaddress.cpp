#include "platform/ownaddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

namespace relvane {

namespace {

QString DottedAddress(const sockaddr* address) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) return {};
    return QString::fromLatin1(text);
}

// The IPv4 addresses of this machine's host name, in the resolver's order;
// empty when it does not resolve.
QStringList HostNameAddresses() {
    char host[256] = {};
    if (::gethostname(host, 255) != 0) return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0) return {};
    QStringList addresses;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr)
            addresses << DottedAddress(a->ai_addr);
    }
    ::freeaddrinfo(found);
    return addresses;
}

// The IPv4 addresses of the interfaces that are up.
QStringList InterfaceAddresses() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return {};
    QStringList addresses;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
            (i->ifa_flags & IFF_UP) != 0)
            addresses << DottedAddress(i->ifa_addr);
    }
    ::freeifaddrs(list);
    return addresses;
}

bool IsLoopback(const QString& address) {
    in_addr a{};
    return ::inet_pton(AF_INET, address.toLatin1().constData(), &a) == 1 &&
           (ntohl(a.s_addr) >> 24) == 127;
}

} // namespace

QString ChooseOwnAddress(const QStringList& hostAddresses, const QStringList& interfaceAddresses) {
    const QString first = hostAddresses.value(0);
    if (!first.isEmpty() && !IsLoopback(first)) return first;
    for (const QString& address : interfaceAddresses) {
        if (!address.isEmpty() && !IsLoopback(address)) return address;
    }
    return first;
}

QString FindOwnAddress() {
    return ChooseOwnAddress(HostNameAddresses(), InterfaceAddresses());
}

} // namespace relvane
