#pragma once
// What a connection reports to the program: the connect stage, the counters
// a status window reads every 100 ms with the flags its cancel button sets,
// and how each transfer list started and ended. The one protocol header the
// front ends see. The counters are shared between the worker and the
// windows, so a window never reads a worker that has ended.

#include "platform/error.h"

#include <QMetaType>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>

namespace relvane {

// The connection stage (`ConnectStage`). The handshake moves it 1, 2, 3, 5, 4;
// the values are those numbers wherever a stage is shown or stored.
enum class ConnectStage : std::uint8_t {
    Idle = 0,
    Opened = 1,        // connection made; the Version step is next
    VersionAgreed = 2, // the user names are next
    NamesExchanged = 3,
    CompressAgreed = 5, // the resume switch is last
    Connected = 4,
};

// Which end of the connection this copy is: the listening one sends the
// handshake's Requests, the connecting one answers them.
enum class Role : std::uint8_t { Listening, Connecting };

enum class Direction : std::uint8_t { Send, Receive };

// How a list of files ended.
enum class Outcome : std::uint8_t {
    Done,            // every file arrived
    CancelledHere,   // this side's user cancelled
    CancelledByPeer, // the peer cancelled
    Refused,         // a name was refused, by this side or by the peer
    Failed,          // an error; Kind says which
};

struct ListEnd {
    Outcome Result = Outcome::Done;
    ErrorKind Kind = ErrorKind::Failure; // for every outcome but Done
    QString Text;                        // what the user reads; empty for Done
    bool ConnectionKept = true;          // false: the connection ended with it
};

// A file of a list, once its size and resume offset are agreed.
struct FileStart {
    int Index = 0;
    int Count = 0; // files in the list
    QString Name;  // the path sent, or the name received
    std::int64_t Size = 0;
    std::int64_t ResumeOffset = 0;
};

struct TransferProgress {
    // Per file: its size, and the read (sending) or write (receiving) position.
    std::atomic<std::int64_t> SendTotal{0};
    std::atomic<std::int64_t> SendDone{0};
    std::atomic<std::int64_t> RecvTotal{0};
    std::atomic<std::int64_t> RecvDone{0};
    // Bytes of the current file the receiver already held when this transfer
    // of it began: the agreed resume offset, 0 without resume. Done starts
    // there, so Done minus these is what this transfer moved.
    std::atomic<std::int64_t> SendResumedBytes{0};
    std::atomic<std::int64_t> RecvResumedBytes{0};
    // While the part of a file the receiver holds is checked before the
    // rest moves (each side reads it through once): its length, and how far
    // this side got. CheckTotal is 0 when no check runs.
    std::atomic<std::int64_t> SendCheckTotal{0};
    std::atomic<std::int64_t> SendChecked{0};
    std::atomic<std::int64_t> RecvCheckTotal{0};
    std::atomic<std::int64_t> RecvChecked{0};
    std::atomic<bool> Resumed{false};
    std::atomic<bool> CompressOn{false};
    // Files of this connection are verified (both copies hash them).
    std::atomic<bool> VerifyOn{false};
    std::atomic<bool> SendCancel{false};
    std::atomic<bool> ReceiveCancel{false};
};

} // namespace relvane

Q_DECLARE_METATYPE(relvane::ConnectStage)
Q_DECLARE_METATYPE(relvane::Direction)
Q_DECLARE_METATYPE(relvane::ListEnd)
Q_DECLARE_METATYPE(relvane::FileStart)
