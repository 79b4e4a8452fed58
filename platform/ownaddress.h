#pragma once
// This machine's IPv4 address as a peer would use it.

#include <QString>
#include <QStringList>

namespace relvane {

// The address to show as this machine's: the first looked-up address of the
// host name unless it is a loopback address (127.0.0.0/8), which a peer could
// not use; then the first non-loopback address among those of the interfaces
// that are up; else the looked-up address, or nothing when the lookup failed.
// Addresses in dotted IPv4 form, each list in the order the system gave.
[[nodiscard]] QString ChooseOwnAddress(const QStringList& hostAddresses,
                                       const QStringList& interfaceAddresses);

// ChooseOwnAddress over the host name's and the interfaces' addresses.
[[nodiscard]] QString FindOwnAddress();

} // namespace relvane
