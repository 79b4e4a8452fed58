#pragma once
// The connection worker (`TReceiveThread`): one thread per connection that reads and dispatches
// every incoming frame, answers the handshake, receives files into slot Side
// and sends files from slot 1 - Side, one block per pass.

#include "net/connection.h"
#include "protocol/blockcodec.h"
#include "protocol/frame.h"
#include "protocol/host.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>
#include <deque>
#include <memory>
#include <mutex>

namespace relvane {

enum class SlotState : std::uint8_t {
    Idle = 0,
    SendNextFile = 1,
    RecvWaitCount = 2,
    RecvWaitName = 3,
    RecvWaitSize = 4,
    RecvData = 5,
    SendData = 6,
    ResumeQuery = 7,
    ResumeCheck = 8,
    SendWaitListAck = 9,
    SendWaitFileAck = 10,
};

// Values the status windows read every 100 ms and the flags their cancel
// buttons set. Shared, so a window never reads a worker that has ended.
struct TransferProgress {
    std::atomic<std::int32_t> SendTotal{0};
    std::atomic<std::int32_t> SendDone{0};
    std::atomic<std::int32_t> RecvTotal{0};
    std::atomic<std::int32_t> RecvDone{0};
    std::atomic<bool> Resumed{false};
    std::atomic<bool> CompressOn{false};
    std::atomic<bool> SendCancel{false};
    std::atomic<bool> ReceiveCancel{false};
};

struct TransferSlot {
    bool InUse = false;
    std::int32_t LastIndex = 0;
    std::int32_t CurrentIndex = 0;
    QString FileName;
    std::int32_t FileSize = 0;
    std::int32_t ResumeOffset = 0;
    std::uint32_t Checksum = 0;
    SlotState State = SlotState::Idle;
    QStringList FileList;              // sending slot: private copy of the list
    std::unique_ptr<QFile> FileStream; // absent between files
};

class ConnectionWorker : public QThread {
    Q_OBJECT
public:
    // side: 1 on the connecting peer, 0 on the listening peer. The thread is
    // not started here: the owner calls Start() (or drives Pass() itself).
    ConnectionWorker(IWorkerHost& host, std::shared_ptr<IConnection> socket, int side,
                   bool resumeOn = false, bool compressOn = false, QObject* parent = nullptr);
    ~ConnectionWorker() override;

    // Starts the loop at the highest priority.
    void Start();
    // The terminate request; the loop sees it at the end of the current pass.
    void RequestTerminate();
    [[nodiscard]] bool TerminateRequested() const { return Terminated.load(); }

    // One pass of the loop: read and dispatch what is waiting, one pump step,
    // errors shown through the host. Then waits up to idleWaitMs for incoming
    // data unless the pump has a block to send. False when the loop ends
    // (terminate requested or the connection is gone).
    bool Pass(int idleWaitMs = 1);

    [[nodiscard]] int Side() const { return FSide; }
    [[nodiscard]] bool ResumeOn() const { return FResumeOn.load(); }
    [[nodiscard]] bool CompressOn() const { return Progress->CompressOn.load(); }
    [[nodiscard]] std::shared_ptr<TransferProgress> SharedProgress() const { return Progress; }
    // The slots, for tests (read them only while no pass runs).
    [[nodiscard]] const TransferSlot& Slot(int index) const { return Slots[index]; }

    // The send action: clears SendCancel, notes that a SendAccept is now
    // expected and queues SendRequest; `files` (full paths) is what goes once
    // the peer accepts. Any thread; never blocks on the peer.
    void RequestSend(const QStringList& files);
    // A frame from another thread (chat, the disconnect notice, the
    // handshake's Requests): sent whole by the worker between blocks, in the
    // order queued. Never blocks on the peer.
    void QueueFrame(QByteArray frame);

    // Sends one frame whole on the worker's connection (repeating while it
    // would block). Usable from any thread.
    bool Send(std::uint8_t slot, Kind kind, Type type, Format format, QByteArrayView payload);
    // The same for a frame built elsewhere; gives up once termination is
    // requested or the connection is gone, so a peer that never reads cannot
    // hold the worker.
    bool SendWhole(const QByteArray& frame, bool more = false);

protected:
    void run() override; // the receive loop

private:
    // Shows an error through the host; ends the loop unless it keeps the
    // connection.
    void Report(const Error& error);
    // Runs fn on the host's thread and waits for it.
    void Synchronize(const std::function<void()>& fn);

    // Receiving frames.
    void ReadAvailable();
    void Dispatch(const FrameHeader& header, const QByteArray& payload);
    [[nodiscard]] static QByteArray PayloadText(const QByteArray& payload); // cut at a zero byte

    // Handshake, connecting side (Requests) and listening side (Replies).
    void HandshakeRequest(Type type, const QByteArray& payload);
    void HandshakeReply(Type type, const QByteArray& payload);
    void ProcessChat(const QByteArray& payload);

    // Sending (slot 1 - Side).
    void StartSending();
    void Pump();
    [[nodiscard]] bool PumpHasBlock() const;
    void ProcessSendAccept(const QByteArray& payload);
    void ProcessResumeOffsetReply(TransferSlot& slot, const QByteArray& payload);
    void ProcessAck(TransferSlot& slot, const QByteArray& payload);
    void ProcessPeerCancelOfSend(TransferSlot& slot);
    void EndSending(TransferSlot& slot);

    // Receiving (slot Side).
    void ProcessSendRequest();
    void ProcessLastIndex(TransferSlot& slot, const QByteArray& payload);
    void ProcessFileName(TransferSlot& slot, const QByteArray& payload);
    void ProcessFileSize(TransferSlot& slot, const QByteArray& payload);
    void ProcessResumeOffsetRequest(TransferSlot& slot);
    void ProcessChecksum(TransferSlot& slot, const QByteArray& payload);
    void ProcessFileData(TransferSlot& slot, const QByteArray& payload);
    void ProcessEnd(TransferSlot& slot);
    void ProcessCancel(TransferSlot& slot);
    void SendAck(int slot, bool accepted);
    void EndReceiving(TransferSlot& slot);
    [[nodiscard]] QString PartialPath(const TransferSlot& slot) const;
    [[nodiscard]] QString FinalPath(const TransferSlot& slot) const;

    IWorkerHost& Host;
    std::shared_ptr<IConnection> Socket;
    const int FSide;
    std::atomic<bool> FResumeOn;
    std::shared_ptr<TransferProgress> Progress;
    std::atomic<bool> Terminated{false};
    std::atomic<bool> RunEnded{false};      // set last in run(), read by the destructor
    std::atomic<bool> SendRequested{false}; // a SendAccept answers only our own SendRequest
    TransferSlot Slots[2];
    std::mutex QueueMutex; // guards the two below
    std::deque<QByteArray> Queued;
    QStringList RequestedFiles;
    void SendQueued();
    QString RecvFolder; // receive folder, read from the host once per list
    BlockCodec Codec;
    // Sending pump: the last writability check said no (the loop may idle),
    // and the FileData frame reused for every block.
    bool SendBlocked = false;
    QByteArray BlockFrame;

    // The frame being read.
    FrameHeader Pending;
    bool HeaderRead = false;
    QByteArray Payload;
    std::int32_t PayloadReceived = 0;
    QByteArray ReadBuffer; // bytes taken from the socket but not yet parsed
};

} // namespace relvane
