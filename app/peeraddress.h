#pragma once
// What the user may type as "相手IPアドレス": a dotted IPv4 address or a host
// name, each optionally followed by ":port".

#include <QString>

#include <optional>

namespace relvane::app {

struct TPeerAddress {
    QString Host; // a dotted quad, or a host name still to be resolved
    int Port = 0; // 0: the port of the settings
    bool IsHostName = false;
};

// Nothing when the text is neither an address nor a host name (with a port
// of 1 to 65535 when one is given).
[[nodiscard]] std::optional<TPeerAddress> ParsePeerAddress(const QString& text);

// The plain message for a text that is neither.
[[nodiscard]] QString MsgNotAnAddressOrHost(const QString& text);
// The message for a host name with no IPv4 address.
[[nodiscard]] QString MsgHostNotFound(const QString& host);

} // namespace relvane::app
