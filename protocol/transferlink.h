#pragma once
// What the sending and the receiving side of a transfer need of the worker
// that runs them. The worker implements it; every call comes from the
// worker's own thread.

#include "protocol/host.h"

#include <QByteArray>
#include <QByteArrayView>

#include <functional>

namespace relvane {

class ITransferLink {
public:
    virtual ~ITransferLink() = default;

    // 1 on the connecting peer, 0 on the listening peer.
    [[nodiscard]] virtual int Side() const = 0;
    // The switches the handshake agreed on.
    [[nodiscard]] virtual bool ResumeOn() const = 0;
    [[nodiscard]] virtual bool CompressOn() const = 0;

    // One frame, whole (SendFrame). False when the connection is gone or the
    // worker is ending: the frame is dropped.
    virtual bool Send(const QByteArray& frame, bool more = false) = 0;
    // As many of the whole frames at the start of `frames` as the connection
    // takes now, without waiting: the bytes consumed. A frame the connection
    // took only part of counts as consumed; the worker sends its rest before
    // any other frame.
    [[nodiscard]] virtual qsizetype SendAvailable(QByteArrayView frames) = 0;
    // Ends the worker's wait for the peer. Any thread.
    virtual void Wake() = 0;
    // Runs `call` on the host's thread and waits for it.
    virtual void OnHost(const std::function<void(IWorkerHost&)>& call) = 0;
    // Runs `call` on the host's thread later, in order with the calls above,
    // without waiting: for what only shows progress. `call` must own what it
    // uses.
    virtual void Notify(std::function<void(IWorkerHost&)> call) = 0;
};

} // namespace relvane
