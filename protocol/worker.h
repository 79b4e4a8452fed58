#pragma once
// The connection worker (`TReceiveThread`): one thread per connection that
// runs the handshake, reads every incoming frame, hands each transfer frame
// to its direction's side (FileReceiver for slot Side, FileSender for slot
// 1 - Side), runs the sending pump one block per pass, and sends the frames
// other threads queue. It reports through IWorkerEvents and never waits for
// the program.

#include "net/connection.h"
#include "protocol/events.h"
#include "protocol/frame.h"
#include "protocol/framereader.h"
#include "protocol/handshake.h"
#include "protocol/progress.h"
#include "protocol/receiver.h"
#include "protocol/sender.h"
#include "protocol/slot.h"
#include "protocol/transferlink.h"

#include <QByteArray>
#include <QStringList>
#include <QThread>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace relvane {

// What crosses threads is copied whole: a shared Qt buffer would be released
// on either thread through reference counts that no race detector can follow.
[[nodiscard]] inline QString OwnCopy(const QString& text) {
    return QString(text.constData(), text.size());
}
[[nodiscard]] inline QByteArray OwnCopy(const QByteArray& bytes) {
    return QByteArray(bytes.constData(), bytes.size());
}

// What a worker is made with: the settings as they were when the connection
// came about. The worker reads nothing of the program's after that.
struct WorkerSettings {
    HandshakeSettings Handshake;
    QString ReceiveFolder;
    int CompressionThreads = 0; // for the files sent; 0: one per core, at least 2
    // The listening side's whole handshake.
    std::chrono::milliseconds HandshakeLimit{10000};
    // The listening side: when the peer was accepted, and whether the
    // Version Request went to it already.
    std::chrono::steady_clock::time_point AcceptedAt = std::chrono::steady_clock::now();
    bool VersionSent = false;
    // What this copy offers a copy of itself after the handshake
    // (Capabilities); 0 sends no offer and ignores the peer's.
    std::uint8_t Offer = 0;
    // A received file replaces its namesake instead of taking "name (n).ext".
    bool OverwriteExisting = false;
};

class ConnectionWorker : public QThread, private ITransferLink {
    Q_OBJECT
public:
    // events run on context's thread; a null context runs them on the
    // worker's own thread (tests that drive Pass() themselves). The thread
    // is not started here: the owner calls Start() (or drives Pass()).
    ConnectionWorker(IWorkerEvents& events, QObject* context, std::shared_ptr<IConnection> socket,
                     Role role, WorkerSettings settings);
    ~ConnectionWorker() override;

    // Starts the loop at the highest priority.
    void Start();
    // The terminate request; the loop sees it at the end of the current pass
    // (a wait ends at once). Any thread.
    void RequestTerminate();
    [[nodiscard]] bool TerminateRequested() const { return Terminated.load(); }

    // One pass of the loop: the queued frames, what is waiting to be read, one
    // pump step; failures reported as events. Then, unless the pump can go
    // on at once, waits up to maxWaitMs (< 0: until something happens; 0: not
    // at all) for the peer, a queued frame or the terminate request. False
    // when the loop ends (terminate requested, the handshake failed, an error
    // or the peer ended the connection).
    bool Pass(int maxWaitMs = -1);

    // For tests and the fuzz target: the handshake done with these switches.
    void AssumeConnected(bool compressOn, bool resumeOn);

    [[nodiscard]] int Side() const override { return FRole == Role::Connecting ? 1 : 0; }
    [[nodiscard]] bool ResumeOn() const override { return FResumeOn.load(); }
    [[nodiscard]] bool CompressOn() const override { return Progress->CompressOn.load(); }
    [[nodiscard]] QString ReceiveFolder() const override { return Settings.ReceiveFolder; }
    [[nodiscard]] bool OverwriteExisting() const override { return Settings.OverwriteExisting; }
    [[nodiscard]] std::uint8_t Offered() const override { return Settings.Offer; }
    // What both copies offer, once the peer's offer came (worker's thread).
    [[nodiscard]] std::uint8_t Agreed() const { return FAgreed; }
    [[nodiscard]] std::shared_ptr<TransferProgress> SharedProgress() const { return Progress; }
    // The slots, for tests (read them only while no pass runs).
    [[nodiscard]] const TransferSlot& Slot(int index) const {
        return index == Side() ? Receiver.Slot() : Sender.Slot();
    }

    // The send action: clears SendCancel and queues SendRequest; `files`
    // (full paths) are what goes once the peer accepts. Any thread; never
    // waits for the peer.
    // names: the paths below a folder the files are sent by (a copy of this
    // program that takes folders); empty: their bare names.
    void RequestSend(const QStringList& files, const QStringList& names = {});
    // A frame from another thread (chat, the disconnect notice): sent whole
    // by the worker between blocks, in the order queued. Any thread; never
    // waits for the peer.
    void QueueFrame(QByteArray frame);
    // The frame being written is finished (or, if none is, nothing more
    // goes), then `frame` is sent and the loop ends: the last word on a
    // connection that is about to close. Any thread.
    void FinishWith(QByteArray frame);
    // Waits up to timeoutMs until every queued frame has gone out whole;
    // false when some are still waiting. Any thread but the worker's.
    bool WaitQueueSent(int timeoutMs);

protected:
    void run() override; // the receive loop

private:
    // ITransferLink, for the two sides.
    bool Send(const QByteArray& frame, bool more = false) override;
    [[nodiscard]] qsizetype SendAvailable(QByteArrayView frames) override;
    void Wake() override;
    void ListStarted(Direction direction, int count, const QStringList& files) override;
    void FileStarted(Direction direction, const FileStart& file) override;
    void FileEnded(Direction direction, int index, const QString& path) override;
    void ListDone(Direction direction) override;
    void FileVerified(Direction direction, int index, const QString& path,
                      const QByteArray& digest) override;
    // The peer's offer, or its answer to ours.
    void ProcessOffer(Kind kind, const QByteArray& payload);
    // A frame of a Type outside the catalogue: true when it was ours.
    bool DispatchExtension(const FrameHeader& h, const QByteArray& payload);

    // Hands `call` to the context's thread, in order; `batched` calls may
    // wait a little to go together (a list of small files makes several per
    // file), the others go at once with whatever waits before them.
    void Post(std::function<void(IWorkerEvents&)> call, bool batched = false);
    void EndList(Direction direction, const ListEnd& end);
    // An error that ends the connection: open lists end with it first.
    void Fail(ErrorKind kind, const QString& text);

    void DrainWake();
    // The rest of a frame sent in part, before any other frame.
    bool FinishPartial();
    // Frames queued by other threads, sent between blocks when the
    // connection has room: true when none is left.
    bool SendQueued();
    [[nodiscard]] bool HasQueued();
    // The last frame asked for by FinishWith, once no frame is half-sent.
    void SendFinal();

    void ReadAvailable();
    void Dispatch(const Frame& frame);
    void ProcessChat(const QByteArray& payload);

    IWorkerEvents& Events;
    QObject* const Context;
    // Calls from Post, handed to the context's thread together.
    struct Notes {
        std::mutex M;
        IWorkerEvents* Events = nullptr; // cleared when the worker goes
        std::vector<std::function<void(IWorkerEvents&)>> Calls;
        bool Posted = false;
        void Run(); // on the context's thread
    };
    std::shared_ptr<Notes> Pending;
    std::chrono::steady_clock::time_point NotesPostedAt;
    // Hands the calls noted so far to the context's thread.
    void PostNotes();
    // Milliseconds until the noted calls are due, or -1 when none wait.
    [[nodiscard]] int NotesDueInMs();

    std::shared_ptr<IConnection> Socket;
    const Role FRole;
    const WorkerSettings Settings;
    std::atomic<bool> FResumeOn{false};
    std::shared_ptr<TransferProgress> Progress;
    std::atomic<bool> Terminated{false};
    std::atomic<bool> RunEnded{false}; // set last in run(), read by the destructor
    int WakeFd = -1;                   // eventfd
    bool Ended = false;                // the loop is over: failed, or the peer closed
    bool Begun = false;                // the handshake has started
    std::array<bool, 2> OpenList{};    // per Direction: a list started and not ended
    bool OfferAnswered = false;        // our answer to the peer's offer went
    bool PeerOffered = false;          // the peer's offer (or answer) came
    bool PeerSpokeSinceHandshake = false;
    std::uint8_t FAgreed = 0;

    // A frame from another thread; a SendRequest carries its list.
    struct Outgoing {
        QByteArray Frame;
        std::optional<QStringList> Files;
        QStringList Names;
    };
    std::mutex QueueMutex;
    std::deque<Outgoing> Queued;
    std::optional<QByteArray> Final; // FinishWith's frame, under QueueMutex
    // A frame the connection took only part of (a queued one larger than
    // the connection takes at once, or the last of a run of blocks) goes on
    // in pieces across passes, reading in between: two peers sending large
    // frames to each other must not wait on each other's full buffers.
    QByteArray Partial;
    qsizetype PartialSent = 0;
    // Set (under QueueMutex) once everything queued has gone out.
    bool QueueSent = true;
    std::condition_variable QueueSentChanged;

    FrameReader Reader;
    Handshake Shake;
    FileSender Sender;
    FileReceiver Receiver;
};

} // namespace relvane
