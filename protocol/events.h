#pragma once
// What the connection worker tells the program. The session implements it;
// the tests record it. Every call runs on the thread of the context object
// the worker was given (the session's), in the order the worker made them,
// and the worker never waits for one: it needs nothing back.

#include "platform/error.h"
#include "protocol/handshake.h"
#include "protocol/progress.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace relvane {

class IWorkerEvents {
public:
    virtual ~IWorkerEvents() = default;

    // The handshake moved on. The peer's name is known from NamesExchanged on.
    virtual void StageChanged(ConnectStage stage, const QString& peerName) = 0;
    // The peers did not agree, or the handshake ran out of time: the worker ends.
    virtual void HandshakeFailed(HandshakeFailure why) = 0;
    virtual void ChatReceived(const QString& text) = 0;

    // A list began: count files (0 for a received list until its first file).
    virtual void ListStarted(Direction direction, int count, const QStringList& files) = 0;
    virtual void FileStarted(Direction direction, const FileStart& file) = 0;
    // A file arrived whole (path: where it is stored) or went whole.
    virtual void FileEnded(Direction direction, int index, const QString& path) = 0;
    virtual void ListEnded(Direction direction, const ListEnd& end) = 0;
    // A file both copies hashed: its SHA-256 (before its FileEnded).
    virtual void FileVerified(Direction /*direction*/, int /*index*/, const QString& /*path*/,
                              const QByteArray& /*digest*/) {}
    // What both copies offer (Capabilities), once per connection; never
    // with a peer that does not know the offer.
    virtual void CapabilitiesAgreed(std::uint8_t /*caps*/) {}
    // The peer closed right after our offer, having sent nothing since the
    // handshake: likely a program that cannot bear frames it does not know.
    virtual void OfferUnanswered() {}

    // An error that ends the connection; lists in progress have ended first.
    virtual void ConnectionFailed(ErrorKind kind, const QString& text) = 0;
    // Everything the peer sent before it closed has been handled.
    virtual void PeerClosed() = 0;
};

// A list ends: thrown by a transfer's side to leave its handler; the worker
// reports it and goes on when the outcome keeps the connection.
class ETransferEnded : public Error {
public:
    ETransferEnded(Direction direction, Outcome outcome, ErrorKind kind, const QString& text,
                   bool connectionKept = true)
        : Error(text, kind), FDirection(direction), FEnd{outcome, kind, text, connectionKept} {}
    [[nodiscard]] Direction Dir() const { return FDirection; }
    [[nodiscard]] const ListEnd& End() const { return FEnd; }

private:
    Direction FDirection;
    ListEnd FEnd;
};

} // namespace relvane
