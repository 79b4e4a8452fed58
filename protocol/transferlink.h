#pragma once
// What the sending and the receiving side of a transfer need of the worker
// that runs them. The worker implements it; every call comes from the
// worker's own thread.

#include "protocol/events.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>

namespace relvane {

class ITransferLink {
public:
    virtual ~ITransferLink() = default;

    // 1 on the connecting peer, 0 on the listening peer: the slot numbers.
    [[nodiscard]] virtual int Side() const = 0;
    // The switches the handshake agreed on.
    [[nodiscard]] virtual bool ResumeOn() const = 0;
    [[nodiscard]] virtual bool CompressOn() const = 0;
    // Where received files go, as the settings said when the worker was made.
    [[nodiscard]] virtual QString ReceiveFolder() const = 0;
    // A received file replaces its namesake (else it takes "name (n).ext").
    [[nodiscard]] virtual bool OverwriteExisting() const = 0;
    // What this copy offers a copy of itself (Capabilities); 0: nothing.
    [[nodiscard]] virtual std::uint8_t Offered() const = 0;

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

    // The transfer's events, reported in order; the worker keeps track of
    // which lists are open so that none is left without an end.
    virtual void ListStarted(Direction direction, int count, const QStringList& files) = 0;
    virtual void FileStarted(Direction direction, const FileStart& file) = 0;
    virtual void FileEnded(Direction direction, int index, const QString& path) = 0;
    // A verified file's SHA-256, before its FileEnded.
    virtual void FileVerified(Direction direction, int index, const QString& path,
                              const QByteArray& digest) = 0;
    // A list that ended well; the other ends are thrown as ETransferEnded.
    virtual void ListDone(Direction direction) = 0;
};

} // namespace relvane
