#pragma once
// The receiving side of a transfer (slot Side): opened by the peer's
// SendRequest, it writes each file as name + ".Recv" and renames it once the
// file is complete.

#include "protocol/blockcodec.h"
#include "protocol/filehash.h"
#include "protocol/frame.h"
#include "protocol/progress.h"
#include "protocol/recvfolder.h"
#include "protocol/slot.h"
#include "protocol/transferlink.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace relvane {

class FileReceiver {
public:
    FileReceiver(ITransferLink& link, TransferProgress& progress);

    void ProcessSendRequest();
    // The extension frames of a copy of this program.
    void ProcessListMode(const QByteArray& payload);
    void ProcessDigest(const QByteArray& payload);
    // A frame on this side's slot.
    void Process(Kind kind, Type type, const QByteArray& payload);

    [[nodiscard]] const TransferSlot& Slot() const { return S; }
    // Writes out the blocks held back (the partial file then has every byte
    // that came) and closes the file.
    void CloseFile();

private:
    void ProcessLastIndex(const QByteArray& payload);
    void ProcessFileName(const QByteArray& payload);
    void ProcessFileSize(const QByteArray& payload);
    void ProcessResumeOffsetRequest();
    void ProcessChecksum(const QByteArray& payload);
    void ProcessFileData(const QByteArray& payload);
    void ProcessEnd();
    void ProcessCancel();
    void SendAck(bool accepted);
    void EndReceiving();
    // Answers "0" and ends the list as `outcome`; the connection stays.
    [[noreturn]] void Reject(Outcome outcome, ErrorKind kind, const QString& text);
    // Answers "0" and ends the list with the connection.
    [[noreturn]] void Fatal(const Error& error);
    [[noreturn]] void CannotCreate();
    // The current file's data begins: its size and resume offset are agreed.
    void Started();
    // Gives the complete file its name (a free one when a namesake exists):
    // where it is now.
    QString Store();
    // Writes the blocks held back; false when the disk refused them.
    bool WritePending();
    [[nodiscard]] std::int64_t Received() const;
    [[nodiscard]] std::uint8_t SlotNo() const;
    [[nodiscard]] QString PartialPath() const;
    [[nodiscard]] QString FinalPath() const;

    ITransferLink& Link;
    TransferProgress& Progress;
    TransferSlot S;
    QString Folder;                     // the receive folder, read once per list
    int FileIndex = 0;                  // of the current file in its list
    std::unique_ptr<RecvFolder> Dir;    // the receive folder, entered at the file's sub-folder
    QString Entry;                      // the file's own name in it
    std::uint8_t Mode = 0;              // Capabilities the current list uses
    std::uint8_t NextMode = 0;          // announced for the next list
    FileHasher Hasher;                  // of what was written, verified lists only
    Digest Hash;                        // instead, of a small file's bytes as written
    bool HashHere = false;
    std::optional<QByteArray> Expected; // the sender's digest
    BlockCodec Codec;
    // Consecutive blocks go to the disk in one write of this many bytes: one
    // call per 1 KiB block costs more than the copy itself.
    static constexpr qsizetype WriteChunk = 256 * 1024;
    QByteArray Pending;
};

} // namespace relvane
