#pragma once
// The sending side of a transfer (slot 1 - Side): started by the peer's
// SendAccept, moved one step per pass by Pump, and on by the peer's Replies.

#include "protocol/blockstream.h"
#include "protocol/filehash.h"
#include "protocol/frame.h"
#include "protocol/progress.h"
#include "protocol/slot.h"
#include "protocol/transferlink.h"

#include <QByteArray>
#include <QStringList>

#include <deque>

#include <sys/types.h>

namespace relvane {

// Frames handed to the connection in one call, at most: the worker reads
// what comes in between two of them, so the other direction and chat are
// never starved by a long file.
constexpr qsizetype MaxBatchBytes = 64 * 1024;

class FileSender {
public:
    // threads: the compression pool's size (see BlockStream).
    FileSender(ITransferLink& link, TransferProgress& progress,
               int threads = DefaultCompressionThreads());

    // The own SendRequest is going out: `files` (full paths) are sent once
    // the peer accepts.
    // names: the paths sent for them (folders kept), used with CapFolders;
    // mode: the Capabilities this list uses.
    void Requested(const QStringList& files, const QStringList& names = {}, std::uint8_t mode = 0);
    void ProcessSendAccept(const QByteArray& payload);
    // A frame on this side's slot.
    void Process(Kind kind, Type type, const QByteArray& payload);
    // One step: the next file's frames, or the next blocks (at most
    // MaxBatchBytes of frames).
    void Pump();
    // The receiver's digest: the file it got differs from the one sent.
    void ProcessPeerDigest();

    // The pump would act at once, without waiting for the peer.
    [[nodiscard]] bool HasBlock();
    // Blocks wait for the connection to take more bytes.
    [[nodiscard]] bool WaitsForRoom() const;
    [[nodiscard]] const TransferSlot& Slot() const { return S; }
    void CloseFile();

private:
    void StartSending();
    void SendNextFile();
    void SendBlocks();
    // The next blocks (and the file's End after its last) into Batch; false
    // when none are ready yet. A failure of the stream ends the transfer if
    // failNow, else it is met again at the next call.
    bool TakeBlocks(bool failNow);
    // Frames of a file made ready become the batch, with the file's End after
    // its last block.
    void Install(BlockStream::Batch&& next);
    // While the peer stores a file: the next one, if its blocks fit one batch
    // made on this thread, is opened and made ready (see Ahead).
    void PrepareNext();
    void CloseCurrent();
    // The blocks could not be made: the transfer ends as the failure says.
    [[noreturn]] void BlocksFailed(BlockStream::Outcome outcome);
    void ProcessResumeOffsetReply(const QByteArray& payload);
    void ProcessAck(const QByteArray& payload);
    void ProcessPeerCancel();
    // Tells the peer with Cancel and ends the list as `outcome`; the
    // connection stays.
    [[noreturn]] void Abandon(Outcome outcome, ErrorKind kind, const QString& text);
    // The peer answered "0": the list ends with `text`, the connection stays.
    [[noreturn]] void Refused(const QString& text);
    // The current file's data begins: its resume offset is agreed.
    void Started();
    void EndSending();
    [[nodiscard]] std::uint8_t SlotNo() const;

    ITransferLink& Link;
    TransferProgress& Progress;
    TransferSlot S;
    bool AcceptExpected = false; // a SendAccept answers only our own SendRequest
    QStringList RequestedFiles;
    QStringList RequestedNames;
    std::uint8_t RequestedMode = 0;
    QStringList Names;     // of the list being sent
    std::uint8_t Mode = 0; // Capabilities the list being sent uses
    FileHasher Hasher;     // the current file's SHA-256, verified lists only
    QByteArray Digest;     // the last file's, once hashed
    bool PeerDigestCame = false;
    // The name a file of the list goes by on the wire.
    [[nodiscard]] std::optional<QByteArray> WireName(int index, QString* refusal) const;
    BlockStream Blocks;
    BlockStream::Batch Batch; // taken from Blocks, not yet all sent
    qsizetype BatchSent = 0;
    bool Blocked = false; // the connection took less than offered
    // The next file of the list, opened and its blocks made while the Ack for
    // the current one is awaited: a list of small files otherwise waits for
    // the disk and the compression once per file. Sent exactly as it would
    // be without it; dropped when the list ends.
    // At its turn the file must still be the one prepared (same file, size
    // and modification time), or it is opened and made again.
    struct NextFile {
        int Index = -1;
        std::unique_ptr<QFile> File;
        qint64 Size = 0;
        BlockStream::Batch Made;
        QByteArray Digest; // verified lists
        struct Stamp {
            dev_t Device = 0;
            ino_t Inode = 0;
            std::int64_t Size = -1;
            std::int64_t ModifiedNs = -1;
            bool operator==(const Stamp&) const = default;
        } Seen;
    };
    [[nodiscard]] static NextFile::Stamp StampOf(const QString& path);
    NextFile Ahead;
    // Small files sent and not answered yet, oldest first (lists with
    // CapWindow; see Windowed()).
    struct Unanswered {
        int Index;
        QByteArray Digest;
    };
    std::deque<Unanswered> InFlight;
    // The file due is not windowed: it waits until every one sent is answered.
    bool WaitsForAll = false;
    void Answered(bool rejected);
    QByteArray KnownDigest; // of the current file, once hashed
    // Blocks are taken on this thread in file order: a large file's digest
    // is made from their bytes as they are taken, unless a resume offset
    // restarts them (then the hasher reads the file beside).
    relvane::Digest Following;
    bool HashFollows = false;
    // Adds the file bytes a batch carries, in order.
    void AddBlocks(relvane::Digest& hash, const BlockStream::Batch& batch) const;
};

} // namespace relvane
