#pragma once
// The one base of the program's errors. An error carries the text the user
// reads and a kind; what the program does after a failure depends on the
// kind only, never on the text.

#include <QString>

#include <cstdint>
#include <stdexcept>

namespace relvane {

enum class ErrorKind : std::uint8_t {
    Failure,         // the operation failed; a worker's connection ends
    Cancelled,       // the user or the peer gave up; the connection stays
    HandshakeFailed, // the peers did not agree on the connection
    Disconnected,    // the connection ended while something waited on it
    Socket,          // the socket layer failed (code and call in ESocketError)
};

class Error : public std::runtime_error {
public:
    explicit Error(const QString& message, ErrorKind kind = ErrorKind::Failure)
        : std::runtime_error(message.toUtf8().toStdString()), FKind(kind) {}
    [[nodiscard]] QString Message() const { return QString::fromUtf8(what()); }
    [[nodiscard]] ErrorKind Kind() const { return FKind; }
    // Whether a worker's connection survives this error.
    [[nodiscard]] bool KeepsConnection() const { return FKind == ErrorKind::Cancelled; }

private:
    ErrorKind FKind;
};

} // namespace relvane
