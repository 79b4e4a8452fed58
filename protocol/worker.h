#pragma once
// The connection worker (`TReceiveThread`): one thread per connection that
// reads every incoming frame, answers the handshake, hands each transfer
// frame to its direction's side (FileReceiver for slot Side, FileSender for
// slot 1 - Side), runs the sending pump one block per pass, and sends the
// frames other threads queue. It alone talks to the host.

#include "net/connection.h"
#include "protocol/frame.h"
#include "protocol/framereader.h"
#include "protocol/host.h"
#include "protocol/progress.h"
#include "protocol/receiver.h"
#include "protocol/sender.h"
#include "protocol/slot.h"
#include "protocol/transferlink.h"

#include <QByteArray>
#include <QStringList>
#include <QThread>

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

class ConnectionWorker : public QThread, private ITransferLink {
    Q_OBJECT
public:
    // side: 1 on the connecting peer, 0 on the listening peer. The thread is
    // not started here: the owner calls Start() (or drives Pass() itself).
    // compressionThreads: the sending side's compression pool.
    ConnectionWorker(IWorkerHost& host, std::shared_ptr<IConnection> socket, int side,
                     bool resumeOn = false, bool compressOn = false,
                     int compressionThreads = DefaultCompressionThreads());
    ~ConnectionWorker() override;

    // Starts the loop at the highest priority.
    void Start();
    // The terminate request; the loop sees it at the end of the current pass
    // (a wait ends at once). Any thread.
    void RequestTerminate();
    [[nodiscard]] bool TerminateRequested() const { return Terminated.load(); }

    // One pass of the loop: the queued frames, what is waiting to be read, one
    // pump step; errors shown through the host. Then, unless the pump can go
    // on at once, waits up to maxWaitMs (< 0: until something happens; 0: not
    // at all) for the peer, a queued frame or the terminate request. False
    // when the loop ends (terminate requested or the connection is gone).
    bool Pass(int maxWaitMs = -1);

    [[nodiscard]] int Side() const override { return FSide; }
    [[nodiscard]] bool ResumeOn() const override { return FResumeOn.load(); }
    [[nodiscard]] bool CompressOn() const override { return Progress->CompressOn.load(); }
    [[nodiscard]] std::shared_ptr<TransferProgress> SharedProgress() const { return Progress; }
    // Whether bytes taken from the connection may not be handled yet. Read
    // after the connection's BytesWaiting() has come to 0, false means that
    // everything the peer sent so far has been handled (the host calls for it
    // made), e.g. before a connection the peer closed is released. Any thread.
    [[nodiscard]] bool HandlingInput() const { return Handling.load(); }
    // The slots, for tests (read them only while no pass runs).
    [[nodiscard]] const TransferSlot& Slot(int index) const {
        return index == FSide ? Receiver.Slot() : Sender.Slot();
    }

    // The send action: clears SendCancel and queues SendRequest; `files`
    // (full paths) are what goes once the peer accepts. Any thread; never
    // waits for the peer.
    void RequestSend(const QStringList& files);
    // A frame from another thread (chat, the disconnect notice, the
    // handshake's Requests): sent whole by the worker between blocks, in the
    // order queued. Any thread; never waits for the peer.
    void QueueFrame(QByteArray frame);
    // Waits up to timeoutMs until every queued frame has gone out whole;
    // false when some are still waiting. For a last line before a close.
    bool WaitQueueSent(int timeoutMs);

protected:
    void run() override; // the receive loop

private:
    // ITransferLink, for the two sides.
    bool Send(const QByteArray& frame, bool more = false) override;
    [[nodiscard]] qsizetype SendAvailable(QByteArrayView frames) override;
    void OnHost(const std::function<void(IWorkerHost&)>& call) override;
    void Notify(std::function<void(IWorkerHost&)> call) override;
    // Wake-up for the loop's wait: queued frames, the terminate request,
    // blocks the compression pool made ready. Any thread.
    void Wake() override;

    // Shows an error through the host; ends the loop unless it keeps the
    // connection.
    void Report(const Error& error);
    // Runs fn on the host's thread and waits for it.
    void Synchronize(const std::function<void()>& fn);

    void DrainWake();
    // The rest of a frame sent in part, before any other frame.
    bool FinishPartial();

    // Frames queued by other threads, sent between blocks when the
    // connection has room: true when none is left.
    bool SendQueued();
    [[nodiscard]] bool HasQueued();

    void ReadAvailable();
    void Dispatch(const Frame& frame);
    // Handshake, connecting side (Requests) and listening side (Replies).
    void HandshakeRequest(Type type, const QByteArray& payload);
    void HandshakeReply(Type type, const QByteArray& payload);
    void ProcessChat(const QByteArray& payload);

    IWorkerHost& Host;
    // Calls from Notify, handed to the host's thread together: each hand-over
    // wakes that thread, and a list of small files makes several per file.
    struct Notes {
        std::mutex M;
        IWorkerHost* Host = nullptr; // cleared when the worker goes
        std::vector<std::function<void(IWorkerHost&)>> Calls;
        bool Posted = false;
        void Run(); // on the host's thread
    };
    std::shared_ptr<Notes> Pending;
    std::chrono::steady_clock::time_point NotesPostedAt;
    // Hands the calls noted so far to the host's thread.
    void PostNotes();
    // Milliseconds until the noted calls are due, or -1 when none wait.
    [[nodiscard]] int NotesDueInMs();
    std::shared_ptr<IConnection> Socket;
    const int FSide;
    std::atomic<bool> FResumeOn;
    std::shared_ptr<TransferProgress> Progress;
    std::atomic<bool> Terminated{false};
    std::atomic<bool> RunEnded{false};    // set last in run(), read by the destructor
    int WakeFd = -1;                      // eventfd
    std::atomic<bool> Handling{false};    // see HandlingInput()

    // A frame from another thread; a SendRequest carries its list.
    struct Outgoing {
        QByteArray Frame;
        std::optional<QStringList> Files;
    };
    std::mutex QueueMutex;
    std::deque<Outgoing> Queued;
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
    FileSender Sender;
    FileReceiver Receiver;
};

} // namespace relvane
