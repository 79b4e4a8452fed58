// The sending half of a transfer: slot 1 - Side, driven one step per pass by
// Pump and moved on by the peer's Replies.

#include "platform/sjis.h"
#include "protocol/checksum.h"
#include "protocol/sendlist.h"
#include "protocol/worker.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

namespace relvane {

namespace {

constexpr qint64 MaxSendSize = std::numeric_limits<std::int32_t>::max();

QString CannotOpenText(const QString& path) {
    return QStringLiteral("ファイル %1 は開けません").arg(path);
}
QString TooLargeText(const QString& path) {
    return QStringLiteral("ファイル %1 は 2GB 以上のため送信できません").arg(path);
}
// A failure found mid-list: the peer is told with Cancel, so the connection
// stays.
EProtocolError Aborted(const QString& text) {
    return EProtocolError(text + QStringLiteral("\r\n送信を中止しました"), ErrorKind::Cancelled);
}

// The name's bytes on the wire, or the message that refuses it.
std::optional<QByteArray> EncodeName(const QString& path, QString* refusal) {
    const QString name = SendFileName(path);
    const std::optional<QByteArray> bytes = ToShiftJisStrict(name);
    if (name.isEmpty() || !bytes) {
        *refusal =
            QStringLiteral("ファイル名 %1 には Shift-JIS で表せない文字があるため送信できません")
                .arg(path);
        return std::nullopt;
    }
    if (bytes->size() > MaxFileNameBytes) {
        *refusal = QStringLiteral(
                       "ファイル名 %1 は長すぎるため送信できません（Shift-JIS で %2 バイトまで）")
                       .arg(path)
                       .arg(MaxFileNameBytes);
        return std::nullopt;
    }
    return bytes;
}

void PutHeader(char* at, std::uint8_t slot, Type type, Format format, std::int32_t length) {
    const auto n = static_cast<std::uint32_t>(length);
    at[0] = static_cast<char>(slot);
    at[1] = static_cast<char>(Kind::Notice);
    at[2] = static_cast<char>(type);
    at[3] = static_cast<char>(n & 0xFF);
    at[4] = static_cast<char>((n >> 8) & 0xFF);
    at[5] = static_cast<char>((n >> 16) & 0xFF);
    at[6] = static_cast<char>((n >> 24) & 0xFF);
    at[7] = static_cast<char>(format);
}

} // namespace

QString SendFileName(const QString& path) {
    const qsizetype cut =
        std::max({path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'), path.lastIndexOf(u':')});
    return path.mid(cut + 1);
}

QString CheckSendList(const QStringList& paths) {
    if (paths.isEmpty()) return QStringLiteral("ファイルを選択してください");
    for (const QString& path : paths) {
        QString refusal;
        if (!EncodeName(path, &refusal)) return refusal;
        const QFileInfo info(path);
        if (!info.isFile() || !info.isReadable()) return CannotOpenText(path);
        if (info.size() > MaxSendSize) return TooLargeText(path);
    }
    return {};
}

void ConnectionWorker::ProcessSendAccept(const QByteArray& payload) {
    // Only the answer to our own SendRequest starts a transfer.
    if (!SendRequested.exchange(false)) return;
    if (ParseNumber(PayloadText(payload)) == FSide) throw EProtocolError(QStringLiteral("IDError"));
    StartSending();
}

void ConnectionWorker::StartSending() {
    QStringList files;
    {
        std::lock_guard lock(QueueMutex);
        files = RequestedFiles;
    }
    if (!files.isEmpty()) Synchronize([&] { Host.ShowSendWindow(files); });
    TransferSlot& slot = Slots[1 - FSide];
    if (files.isEmpty()) {
        // The list was emptied after the request: release the peer's slot.
        Send(static_cast<std::uint8_t>(1 - FSide), Kind::Notice, Type::Cancel, Format::FmtNone,
             NonePayload());
        EndSending(slot);
        throw EProtocolError(QStringLiteral("中止しました"), ErrorKind::Cancelled);
    }
    slot.FileStream.reset();
    slot.FileList = files;
    slot.LastIndex = static_cast<std::int32_t>(files.size()) - 1;
    slot.CurrentIndex = 0;
    slot.ResumeOffset = 0;
    slot.InUse = true;
    slot.State = SlotState::SendNextFile;
}

bool ConnectionWorker::PumpHasBlock() const {
    const TransferSlot& slot = Slots[1 - FSide];
    if (!slot.InUse) return false;
    return slot.State == SlotState::SendNextFile ||
           (slot.State == SlotState::SendData && !SendBlocked);
}

void ConnectionWorker::Pump() {
    const auto s = static_cast<std::uint8_t>(1 - FSide);
    TransferSlot& slot = Slots[s];
    if (!slot.InUse) return;

    if (slot.State == SlotState::SendNextFile) {
        SendBlocked = false;
        if (slot.CurrentIndex > slot.LastIndex) {
            slot.State = SlotState::SendWaitListAck;
            Send(s, Kind::Notice, Type::End, Format::FmtNone, NonePayload());
            return;
        }
        const QString path = slot.FileList.at(slot.CurrentIndex);
        // The list was checked before it was sent, but it may have changed
        // since; whatever does not fit the frames is not sent.
        QString refusal;
        const std::optional<QByteArray> name = EncodeName(path, &refusal);
        auto file = std::make_unique<QFile>(path);
        if (name) {
            if (!file->open(QIODevice::ReadOnly)) throw EProtocolError(CannotOpenText(path));
            if (file->size() > MaxSendSize) refusal = TooLargeText(path);
        }
        if (!refusal.isEmpty()) {
            Send(s, Kind::Notice, Type::Cancel, Format::FmtNone, NonePayload());
            EndSending(slot);
            throw Aborted(refusal);
        }
        slot.FileName = SendFileName(path);
        slot.FileSize = static_cast<std::int32_t>(file->size());
        slot.ResumeOffset = 0;
        slot.FileStream = std::move(file);
        Synchronize([&] { Host.ShowSendName(path); });
        Progress->SendTotal = slot.FileSize;
        Progress->SendDone = 0;
        // The file's frames go in one send: the same bytes, fewer calls and
        // packets, which is what many small files cost.
        QByteArray frames = BuildFrame(s, Kind::Notice, Type::LastIndex, Format::FmtNumber,
                                       NumberPayload(slot.LastIndex)) +
                            BuildFrame(s, Kind::Notice, Type::FileName, Format::FmtText, *name) +
                            BuildFrame(s, Kind::Notice, Type::FileSize, Format::FmtNumber,
                                       NumberPayload(slot.FileSize));
        if (FResumeOn.load()) {
            slot.State = SlotState::ResumeQuery;
            frames +=
                BuildFrame(s, Kind::Request, Type::ResumeOffset, Format::FmtNone, NonePayload('0'));
        } else {
            slot.State = SlotState::SendData;
        }
        SendWhole(frames);
        return;
    }

    if (slot.State != SlotState::SendData) return; // waiting for a Reply

    // Never wait inside a send: a worker stuck there stops reading, and two of
    // them sending to each other would wait for ever.
    SendBlocked = !Socket->WaitWritable(0);
    if (SendBlocked) return;

    QFile& file = *slot.FileStream;
    const qint64 at = file.pos();
    // Never past the size announced, even if the file has grown since.
    const qint64 want = std::clamp<qint64>(slot.FileSize - at, 0, BlockSize);
    char block[BlockSize];
    const qint64 got = want > 0 ? file.read(block, want) : 0;
    if (got < 0 || (got == 0 && want > 0)) {
        // Read failure, or the file shrank: an empty block would follow
        // forever. Tell the peer, which keeps what it has for a later resume.
        const QString path = slot.FileList.value(slot.CurrentIndex);
        Send(s, Kind::Notice, Type::Cancel, Format::FmtNone, NonePayload());
        EndSending(slot);
        throw Aborted(got < 0 ? QStringLiteral("ファイル %1 の読み込みに失敗しました").arg(path)
                              : QStringLiteral("ファイル %1 は送信中に短くなりました").arg(path));
    }

    const QByteArrayView raw(block, got);
    const bool compress = Progress->CompressOn.load();
    const QByteArray packed = compress ? Codec.Compress(raw) : QByteArray();
    const QByteArrayView data = compress ? QByteArrayView(packed) : raw;
    const qint64 position = at + got;
    const bool last = position >= slot.FileSize;
    // The block, and the file's End after its last block, in one send.
    const qsizetype size = HeaderSize + data.size();
    BlockFrame.resize(size + (last ? HeaderSize + 1 : 0));
    PutHeader(BlockFrame.data(), s, Type::FileData, Format::FmtBinary,
              static_cast<std::int32_t>(data.size()));
    if (!data.isEmpty()) std::memcpy(BlockFrame.data() + HeaderSize, data.data(), data.size());
    if (last) {
        PutHeader(BlockFrame.data() + size, s, Type::End, Format::FmtNone, 1);
        BlockFrame[size + HeaderSize] = '\0';
        slot.State = SlotState::SendWaitFileAck;
    }
    // Blocks in a row may share packets; the End (or any other frame) pushes them out.
    SendWhole(BlockFrame, !last);
    Progress->SendDone = static_cast<std::int32_t>(position);

    if (Progress->SendCancel.load()) {
        Send(s, Kind::Notice, Type::Cancel, Format::FmtNone, NonePayload());
        EndSending(slot);
        throw EProtocolError(QStringLiteral("中止しました"), ErrorKind::Cancelled);
    }
}

void ConnectionWorker::ProcessResumeOffsetReply(TransferSlot& slot, const QByteArray& payload) {
    if (!slot.InUse || slot.State != SlotState::ResumeQuery) return;
    const std::int32_t offset = ParseNumber(PayloadText(payload));
    slot.ResumeOffset = offset;
    if (offset == 0) {
        slot.State = SlotState::SendData;
        slot.FileStream->seek(0);
        Progress->Resumed = false;
        return;
    }
    // An offset outside the file cannot be a prefix of it: answer with the
    // checksum of the whole file, which the peer's longer partial will not
    // match, so the file restarts at 0 instead of failing every time.
    const bool inside = offset > 0 && offset <= slot.FileSize;
    slot.Checksum = StreamChecksum(*slot.FileStream, inside ? offset : 0);
    slot.State = SlotState::ResumeCheck;
    Progress->Resumed = true;
    Send(static_cast<std::uint8_t>(1 - FSide), Kind::Notice, Type::Checksum, Format::FmtText,
         ChecksumPayload(slot.Checksum));
}

void ConnectionWorker::ProcessAck(TransferSlot& slot, const QByteArray& payload) {
    if (!slot.InUse) return;
    const bool rejected = IsRejection(PayloadText(payload));
    switch (slot.State) {
    case SlotState::ResumeCheck:
        if (rejected) {
            slot.ResumeOffset = 0;
            Progress->Resumed = false;
        } else if (slot.ResumeOffset < 0 || slot.ResumeOffset > slot.FileSize) {
            // The peer accepted a checksum that cannot be one of a prefix.
            throw EProtocolError(QStringLiteral("HashError"));
        }
        slot.FileStream->seek(slot.ResumeOffset);
        Progress->SendDone = slot.ResumeOffset;
        slot.State = SlotState::SendData;
        break;
    case SlotState::SendData:
        if (rejected) {
            EndSending(slot);
            throw EProtocolError(QStringLiteral("送信エラー"));
        }
        break;
    case SlotState::SendWaitFileAck:
        if (rejected) throw EProtocolError(QStringLiteral("送信完了エラー"));
        slot.FileStream.reset();
        ++slot.CurrentIndex;
        slot.State = SlotState::SendNextFile;
        break;
    case SlotState::SendWaitListAck:
        if (rejected) throw EProtocolError(QStringLiteral("送信全完了エラー"));
        EndSending(slot);
        Synchronize([&] { Host.ListSent(); });
        break;
    default:
        break;
    }
}

void ConnectionWorker::ProcessPeerCancelOfSend(TransferSlot& slot) {
    // The receiver gave up: end our side as our own cancel would, without
    // answering (its slot is already idle).
    if (!slot.InUse || slot.State == SlotState::Idle) return;
    EndSending(slot);
    throw EProtocolError(QStringLiteral("中止しました"), ErrorKind::Cancelled);
}

void ConnectionWorker::EndSending(TransferSlot& slot) {
    slot.State = SlotState::Idle;
    slot.InUse = false;
    slot.FileStream.reset();
    slot.FileList.clear();
    SendBlocked = false;
    Synchronize([&] {
        Host.HideSendWindow();
        Host.EnableSend();
    });
}

} // namespace relvane
