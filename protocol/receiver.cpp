// The receiving half of a transfer: slot Side takes the list the peer sends,
// writing each file as name + ".Recv" and renaming it once it is complete.

#include "platform/sjis.h"
#include "protocol/checksum.h"
#include "protocol/worker.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace relvane {

namespace {

// ShowRecvCount is a list of that many placeholder entries; a hostile count
// must not make the window build millions of them.
constexpr std::int64_t MaxShownFiles = 100000;

QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// A name from the peer that would be unsafe or unusable as one entry of the
// receive folder. Checked on decoded characters: a Shift-JIS second byte may
// be 0x5C without being a backslash.
bool IsUnsafeName(const QString& name) {
    return name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
           name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
           QDir::isAbsolutePath(name);
}

QString SizeMismatch(const QString& path, qint64 received, std::int32_t announced) {
    return QStringLiteral("ファイル %1 のサイズが一致しません (%2 / %3)")
        .arg(Native(path))
        .arg(received)
        .arg(announced);
}

[[noreturn]] void WriteFailed() {
    throw EProtocolError(QStringLiteral("ストリームへの書き込みエラー"));
}

} // namespace

QString ConnectionWorker::PartialPath(const TransferSlot& slot) const {
    return FinalPath(slot) + QStringLiteral(".Recv");
}

QString ConnectionWorker::FinalPath(const TransferSlot& slot) const {
    return QDir(RecvFolder).filePath(slot.FileName);
}

void ConnectionWorker::SendAck(int slot, bool accepted) {
    Send(static_cast<std::uint8_t>(slot), Kind::Reply, Type::Ack, Format::FmtFlag,
         FlagPayload(accepted));
}

void ConnectionWorker::EndReceiving(TransferSlot& slot) {
    slot.State = SlotState::Idle;
    slot.InUse = false;
    if (slot.FileStream) {
        slot.FileStream->close(); // the partial file stays for a later resume
        slot.FileStream.reset();
    }
    Synchronize([&] { Host.HideRecvWindow(); });
}

void ConnectionWorker::ProcessSendRequest() {
    ConnectStage stage = ConnectStage::Idle;
    QString folder;
    Synchronize([&] {
        stage = Host.Stage();
        folder = Host.ReceiveFolder();
    });
    // Compression and resume are not agreed before the handshake is over.
    if (stage != ConnectStage::Connected) return;

    TransferSlot& slot = Slots[FSide];
    if (slot.FileStream) {
        slot.FileStream->close();
        slot.FileStream.reset();
    }
    slot.LastIndex = 0;
    slot.FileName.clear();
    slot.FileSize = 0;
    slot.ResumeOffset = 0;
    slot.Checksum = 0;
    slot.InUse = true;
    slot.State = SlotState::RecvWaitCount;
    RecvFolder = folder;
    Progress->ReceiveCancel = false;

    Synchronize([&] { Host.ShowRecvWindow(); });
    Send(ControlSlot, Kind::Reply, Type::SendAccept, Format::FmtNumber, NumberPayload(FSide));
}

void ConnectionWorker::ProcessLastIndex(TransferSlot& slot, const QByteArray& payload) {
    // Only the first file's LastIndex counts; the repeats arrive in RecvWaitName.
    if (slot.State != SlotState::RecvWaitCount) return;
    slot.LastIndex = ParseNumber(PayloadText(payload));
    slot.State = SlotState::RecvWaitName;
    const int shown = static_cast<int>(
        std::clamp<std::int64_t>(std::int64_t(slot.LastIndex) + 1, 0, MaxShownFiles));
    Synchronize([&] { Host.ShowRecvCount(shown); });
}

void ConnectionWorker::ProcessFileName(TransferSlot& slot, const QByteArray& payload) {
    if (slot.State != SlotState::RecvWaitName) return;
    const QByteArray bytes = PayloadText(payload);
    const std::optional<QString> decoded = FromShiftJisStrict(bytes);
    if (bytes.size() > MaxFileNameBytes || !decoded || IsUnsafeName(*decoded)) {
        SendAck(FSide, false);
        EndReceiving(slot);
        throw EProtocolError(
            QStringLiteral("ファイル名 '%1' は受け取れません").arg(FromShiftJis(bytes)));
    }
    slot.FileName = *decoded;
    slot.FileSize = 0;
    slot.ResumeOffset = 0;
    slot.State = SlotState::RecvWaitSize;
    Progress->RecvTotal = 0;
    Progress->RecvDone = 0;
    Progress->Resumed = false;
    Synchronize([&] { Host.ShowRecvName(slot.FileName); });
}

void ConnectionWorker::ProcessFileSize(TransferSlot& slot, const QByteArray& payload) {
    if (slot.State != SlotState::RecvWaitSize) return;
    const std::int32_t size = ParseNumber(PayloadText(payload));
    if (size < 0) {
        SendAck(FSide, false);
        EndReceiving(slot);
        throw EProtocolError(QStringLiteral("ファイルサイズ %1 は不正です").arg(size));
    }
    slot.FileSize = size;
    slot.State = ResumeOn() ? SlotState::ResumeQuery : SlotState::RecvData;
    Progress->RecvTotal = size;
}

void ConnectionWorker::ProcessResumeOffsetRequest(TransferSlot& slot) {
    if (slot.State != SlotState::ResumeQuery) return;
    const QString partial = PartialPath(slot);
    const QFileInfo info(partial);
    const qint64 held = info.isFile() ? info.size() : 0;
    // An empty partial holds nothing to prove (the sender, told 0, would send
    // no Checksum), and one longer than the file is not a prefix of it.
    if (held > 0 && held <= slot.FileSize) {
        auto file = std::make_unique<QFile>(partial);
        if (!file->open(QIODevice::ReadWrite) || !file->seek(held)) {
            EndReceiving(slot);
            throw EProtocolError(QStringLiteral("ファイル %1 は開けません").arg(Native(partial)));
        }
        slot.FileStream = std::move(file);
        slot.ResumeOffset = static_cast<std::int32_t>(held);
        slot.State = SlotState::ResumeCheck;
        Progress->Resumed = true;
    } else {
        slot.ResumeOffset = 0;
        slot.State = SlotState::RecvData;
        Progress->Resumed = false;
    }
    Send(static_cast<std::uint8_t>(FSide), Kind::Reply, Type::ResumeOffset, Format::FmtNumber,
         NumberPayload(slot.ResumeOffset));
}

void ConnectionWorker::ProcessChecksum(TransferSlot& slot, const QByteArray& payload) {
    if (slot.State != SlotState::ResumeCheck) return;
    const std::uint32_t theirs = ParseChecksum(PayloadText(payload));
    QFile& file = *slot.FileStream;
    slot.Checksum = StreamChecksum(file, 0);
    const bool match = slot.Checksum == theirs;
    if (match) {
        if (!file.seek(file.size())) {
            EndReceiving(slot);
            WriteFailed();
        }
    } else if (!file.resize(0) || !file.seek(0)) {
        // Written again from byte 0: no bytes of the old partial may stay.
        EndReceiving(slot);
        WriteFailed();
    }
    Progress->Resumed = match;
    Progress->RecvDone = static_cast<std::int32_t>(file.pos());
    slot.State = SlotState::RecvData;
    SendAck(FSide, match);
}

void ConnectionWorker::ProcessFileData(TransferSlot& slot, const QByteArray& payload) {
    if (slot.State != SlotState::RecvData) return;
    try {
        if (!slot.FileStream) {
            const QString partial = PartialPath(slot);
            auto file = std::make_unique<QFile>(partial);
            if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                throw EProtocolError(
                    QStringLiteral("ファイル %1 を作成できません").arg(Native(partial)));
            }
            slot.FileStream = std::move(file);
        }
        const QByteArray data = Progress->CompressOn ? Codec.Decompress(payload) : payload;
        // More than was announced can only end in a mismatch: stop before the disk fills.
        if (slot.FileStream->pos() + data.size() > slot.FileSize) {
            throw EProtocolError(
                SizeMismatch(FinalPath(slot), slot.FileStream->pos() + data.size(), slot.FileSize));
        }
        if (slot.FileStream->write(data) != data.size()) WriteFailed();
    } catch (const std::exception&) {
        // The sender stops at the rejection; the partial file stays.
        SendAck(FSide, false);
        EndReceiving(slot);
        throw;
    }
    Progress->RecvDone = static_cast<std::int32_t>(slot.FileStream->pos());

    if (Progress->ReceiveCancel) {
        Send(static_cast<std::uint8_t>(FSide), Kind::Notice, Type::Cancel, Format::FmtNone,
             NonePayload());
        EndReceiving(slot);
        throw EProtocolError(QStringLiteral("中止しました"), ErrorKind::Cancelled);
    }
}

void ConnectionWorker::ProcessEnd(TransferSlot& slot) {
    if (slot.State == SlotState::RecvWaitName) {
        EndReceiving(slot);
        SendAck(FSide, true);
        Synchronize([&] { Host.ListReceived(); });
        return;
    }
    if (slot.State != SlotState::RecvData) return;

    const QString partial = PartialPath(slot);
    const QString target = FinalPath(slot);
    const auto reject = [&](const QString& text) {
        SendAck(FSide, false);
        EndReceiving(slot);
        throw EProtocolError(text);
    };

    qint64 received = 0;
    if (slot.FileStream) {
        if (!slot.FileStream->flush()) reject(QStringLiteral("ストリームへの書き込みエラー"));
        received = slot.FileStream->size();
        slot.FileStream->close();
        slot.FileStream.reset();
    } else if (slot.FileSize == 0) {
        // An empty file for which no block came: nothing left to write.
        QFile empty(partial);
        if (!empty.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            reject(QStringLiteral("ファイル %1 を作成できません").arg(Native(partial)));
        }
    }
    if (received != slot.FileSize) reject(SizeMismatch(target, received, slot.FileSize));
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink()) QFile::remove(target);
    if (!QFile::rename(partial, target)) {
        reject(QStringLiteral("ファイル %1 の名前を変更できません").arg(Native(target)));
    }
    slot.State = SlotState::RecvWaitName;
    SendAck(FSide, true);
    Synchronize([&] { Host.FileReceived(target); });
}

void ConnectionWorker::ProcessCancel(TransferSlot& slot) {
    if (!slot.InUse || slot.State == SlotState::Idle) return;
    EndReceiving(slot);
    Synchronize([&] { Host.EnableSend(); });
    throw EProtocolError(QStringLiteral("中止しました"), ErrorKind::Cancelled);
}

} // namespace relvane
