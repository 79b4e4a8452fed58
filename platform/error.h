#pragma once
// The one base of the program's errors. An error carries the text the user
// reads and a kind; what the program does after a failure depends on the
// kind (and, for a transfer, on its outcome), never on the text.

#include <QString>

#include <cstdint>
#include <stdexcept>

namespace relvane {

enum class ErrorKind : std::uint8_t {
    Failure,         // the operation failed
    Cancelled,       // the user or the peer gave up
    Refused,         // a file name was refused, here or by the peer
    PeerRefused,     // the peer answered a file with "0"
    FileAccess,      // a file could not be created, read or written
    Verification,    // a file arrived, but not as it was sent
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

private:
    ErrorKind FKind;
};

// A socket failure: the system's error code and the call that failed, where
// the failure came from the system (0 and empty otherwise).
class ESocketError : public Error {
public:
    explicit ESocketError(const QString& message, int code = 0, QString api = {})
        : Error(message, ErrorKind::Socket), FCode(code), FApi(std::move(api)) {}
    [[nodiscard]] int Code() const { return FCode; }
    [[nodiscard]] const QString& Api() const { return FApi; }

private:
    int FCode;
    QString FApi;
};

} // namespace relvane
