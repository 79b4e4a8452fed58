#include "protocol/sender.h"

#include "protocol/capabilities.h"
#include "protocol/checksum.h"
#include "protocol/sendlist.h"
#include "protocol/texts.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace relvane {

FileSender::FileSender(ITransferLink& link, TransferProgress& progress, int threads)
    : Link(link), Progress(progress), Blocks(threads, [&link] { link.Wake(); }) {}

std::uint8_t FileSender::SlotNo() const {
    return static_cast<std::uint8_t>(1 - Link.Side());
}

void FileSender::Requested(const QStringList& files, const QStringList& names, std::uint8_t mode) {
    RequestedFiles = files;
    RequestedNames = names;
    RequestedMode = mode;
    AcceptExpected = true;
}

void FileSender::CloseFile() {
    CloseCurrent();
    Ahead = {};
}

void FileSender::CloseCurrent() {
    Blocks.Stop(); // before the file closes: the pool reads it
    Hasher.Stop();
    HashFollows = false;
    Batch = {};
    BatchSent = 0;
    S.FileStream.reset();
}

void FileSender::Process(Kind kind, Type type, const QByteArray& payload) {
    switch (type) {
    case Type::ResumeOffset:
        if (kind == Kind::Reply) ProcessResumeOffsetReply(payload);
        return;
    case Type::Ack:
        if (kind == Kind::Reply) ProcessAck(payload);
        return;
    case Type::Cancel:
        if (kind == Kind::Notice) ProcessPeerCancel();
        return;
    // The receiving direction's frames, and the connection's own.
    case Type::FileName:
    case Type::FileSize:
    case Type::LastIndex:
    case Type::Checksum:
    case Type::FileData:
    case Type::End:
    case Type::NameExchange:
    case Type::Chat:
    case Type::Version:
    case Type::SendAccept:
    case Type::Compress:
    case Type::Resume:
    case Type::Disconnect:
    case Type::SendRequest:
        return;
    }
}

void FileSender::ProcessSendAccept(const QByteArray& payload) {
    // Only the answer to our own SendRequest starts a transfer.
    if (!std::exchange(AcceptExpected, false)) return;
    if (ParseNumber(PayloadText(payload)) == Link.Side())
        throw EProtocolError(QStringLiteral("IDError"));
    StartSending();
}

void FileSender::StartSending() {
    const QStringList files = std::exchange(RequestedFiles, {});
    Names = std::exchange(RequestedNames, {});
    Mode = std::exchange(RequestedMode, 0);
    Progress.VerifyOn = (Mode & CapVerify) != 0;
    if (files.isEmpty()) {
        // The list was emptied after the request: release the peer's slot.
        Abandon(Outcome::CancelledHere, ErrorKind::Cancelled, texts::Cancelled());
    }
    // A folder's files are shown by their paths below it.
    const bool folders = (Mode & CapFolders) && Names.size() == files.size();
    if (!folders) Names.clear();
    Link.ListStarted(Direction::Send, static_cast<int>(files.size()), folders ? Names : files);
    S.FileStream.reset();
    S.FileList = files;
    S.LastIndex = static_cast<std::int32_t>(files.size()) - 1;
    S.CurrentIndex = 0;
    S.ResumeOffset = 0;
    S.InUse = true;
    S.State = SlotState::SendNextFile;
}

bool FileSender::HasBlock() {
    if (!S.InUse) return false;
    if (S.State == SlotState::SendNextFile) return true;
    if (S.State != SlotState::SendData || Blocked) return false;
    // Blocks still being compressed wake the worker once they are ready.
    return BatchSent < Batch.Frames.size() || !Blocks.Active() || Blocks.HasReady();
}

bool FileSender::WaitsForRoom() const {
    return S.InUse && S.State == SlotState::SendData && Blocked;
}

void FileSender::Pump() {
    if (!S.InUse) return;
    switch (S.State) {
    case SlotState::SendNextFile:
        SendNextFile();
        return;
    case SlotState::SendData:
        SendBlocks();
        return;
    case SlotState::ResumeQuery:
    case SlotState::ResumeCheck:
    case SlotState::SendWaitListAck:
    case SlotState::SendWaitFileAck:
        return; // waiting for a Reply
    case SlotState::Idle:
    case SlotState::RecvWaitCount:
    case SlotState::RecvWaitName:
    case SlotState::RecvWaitSize:
    case SlotState::RecvData:
        return; // not a sending state
    }
}

void FileSender::SendNextFile() {
    const std::uint8_t s = SlotNo();
    Blocked = false;
    if (S.CurrentIndex > S.LastIndex) {
        S.State = SlotState::SendWaitListAck;
        Link.Send(BuildFrame(s, Kind::Notice, Type::End, Format::FmtNone, NonePayload()));
        return;
    }
    const QString path = S.FileList.at(S.CurrentIndex);
    // The list was checked before it was sent, but the files may have changed
    // since; whatever does not fit the frames is not sent.
    QString refusal;
    const std::optional<QByteArray> name = WireName(S.CurrentIndex, &refusal);
    std::unique_ptr<QFile> file;
    qint64 size = 0;
    const bool made =
        name && Ahead.File && Ahead.Index == S.CurrentIndex && Ahead.Seen == StampOf(path);
    KnownDigest = made ? Ahead.Digest : QByteArray();
    if (made) {
        file = std::move(Ahead.File);
        size = Ahead.Size;
    } else {
        file = std::make_unique<QFile>(path);
        if (name) {
            // Gone or unreadable since it was chosen: the list ends here, the
            // peer's slot is released, the connection stays.
            if (!file->open(QIODevice::ReadOnly))
                Abandon(Outcome::Failed, ErrorKind::FileAccess,
                        CannotOpenText(path) + texts::SendAbandoned());
            size = file->size();
            if (size > MaxSendSize && !(Mode & CapBigFiles)) refusal = TooLargeText(path);
        }
    }
    if (!refusal.isEmpty())
        Abandon(Outcome::Refused, ErrorKind::Refused, refusal + texts::SendAbandoned());
    const bool windowed = Windowed(Mode, size);
    if (!windowed && !InFlight.empty()) {
        // Its resume query and Ack must not meet the answers still due.
        WaitsForAll = true;
        S.State = SlotState::SendWaitFileAck;
        return;
    }

    S.FileName = SendFileName(path);
    S.FileSize = size;
    // Hashed from the blocks as they are taken: the digest follows the last one.
    HashFollows = (Mode & CapVerify) && !made && size > HashHereMax;
    if (HashFollows) Following.Reset(DigestOf(Mode));
    if ((Mode & CapVerify) && !made && size <= HashHereMax) {
        relvane::Digest hash(DigestOf(Mode));
        if (hash.AddFile(file->handle(), size)) KnownDigest = hash.Finish();
    }
    S.ResumeOffset = 0;
    S.FileStream = std::move(file);
    Progress.SendTotal = S.FileSize;
    Progress.SendDone = 0;
    Progress.SendResumedBytes = 0;
    // The file's frames go in one send: the same bytes, fewer calls and
    // packets, which is what many small files cost.
    QByteArray frames =
        BuildFrame(s, Kind::Notice, Type::LastIndex, Format::FmtNumber,
                   NumberPayload(S.LastIndex)) +
        BuildFrame(s, Kind::Notice, Type::FileName, Format::FmtText, *name) +
        BuildFrame(s, Kind::Notice, Type::FileSize, Format::FmtNumber,
                   (Mode & CapBigFiles) ? SizePayload(S.FileSize)
                                        : NumberPayload(static_cast<std::int32_t>(S.FileSize)));
    if (Link.ResumeOn() && !windowed) {
        S.State = SlotState::ResumeQuery;
        frames +=
            BuildFrame(s, Kind::Request, Type::ResumeOffset, Format::FmtNone, NonePayload('0'));
    } else {
        S.State = SlotState::SendData;
        Started();
    }
    if (made && S.State == SlotState::SendData) {
        // Nothing to wait for: the names and the blocks go in one send.
        Install(std::move(Ahead.Made));
        Ahead = {};
        Batch.Frames.prepend(frames);
        return;
    }
    Link.Send(frames);
    if (made) {
        // Dropped by a resume offset other than 0, as blocks made here are.
        Install(std::move(Ahead.Made));
        Ahead = {};
    } else if (S.State == SlotState::ResumeQuery) {
        // Most files start at 0: their blocks are made while the peer looks
        // for a partial file (a small file here and now, a large one by the
        // pool), and dropped if it has one.
        Blocks.Start(S.FileStream->handle(), 0, S.FileSize, s, Link.CompressOn());
        if (Blocks.MadeHere()) TakeBlocks(false);
    }
}

bool FileSender::TakeBlocks(bool failNow) {
    BlockStream::Batch next;
    next.Frames.swap(Batch.Frames); // all sent: its buffer is used again
    BatchSent = 0;
    const BlockStream::Outcome outcome = Blocks.Take(next, MaxBatchBytes);
    if (outcome == BlockStream::Outcome::NotYet) return false;
    if (outcome != BlockStream::Outcome::Ready) {
        if (failNow) BlocksFailed(outcome);
        return false; // the stream reports it again
    }
    if (HashFollows) AddBlocks(Following, next);
    Install(std::move(next));
    return true;
}

void FileSender::Install(BlockStream::Batch&& next) {
    if (next.Last && (Mode & CapVerify)) {
        // Kept: the last blocks are made again after a resume offset.
        if (KnownDigest.isEmpty())
            KnownDigest = HashFollows ? Following.Finish() : Hasher.Result(S.FileSize);
        Digest = KnownDigest;
        if (Digest.isEmpty()) {
            const QString path = S.FileList.value(S.CurrentIndex);
            Abandon(Outcome::Failed, ErrorKind::FileAccess,
                    texts::CannotRead(path) + texts::SendAbandoned());
        }
        next.Frames += DigestFrame(SlotNo(), Digest);
    }
    if (next.Last)
        next.Frames +=
            BuildFrame(SlotNo(), Kind::Notice, Type::End, Format::FmtNone, NonePayload());
    Batch = std::move(next);
    BatchSent = 0;
}

void FileSender::SendBlocks() {
    if (BatchSent >= Batch.Frames.size()) {
        if (!Blocks.Active() || Blocks.From() != S.FileStream->pos()) {
            // From where the file stands: 0, or the offset resume proved.
            Blocks.Start(S.FileStream->handle(), S.FileStream->pos(), S.FileSize, SlotNo(),
                         Link.CompressOn());
        }
        if (!TakeBlocks(true)) return;
    }
    // Never wait inside a send: a worker stuck there stops reading, and two of
    // them sending to each other would wait for ever.
    BatchSent += Link.SendAvailable(QByteArrayView(Batch.Frames).sliced(BatchSent));
    Blocked = BatchSent < Batch.Frames.size();
    if (Blocked) return;

    Progress.SendDone = Batch.Position;
    const bool fileSent = Batch.Last;
    if (fileSent) {
        Blocks.Stop();
        S.State = SlotState::SendWaitFileAck;
    }
    Batch.Last = false;
    BatchSent = Batch.Frames.size();
    if (Progress.SendCancel.load())
        Abandon(Outcome::CancelledHere, ErrorKind::Cancelled, texts::Cancelled());
    if (!fileSent) return;
    PrepareNext();
    if (!Windowed(Mode, S.FileSize)) return;
    // Its answer is awaited beside the next files.
    InFlight.push_back({S.CurrentIndex, Digest});
    CloseCurrent();
    ++S.CurrentIndex;
    if (static_cast<int>(InFlight.size()) < WindowFiles) S.State = SlotState::SendNextFile;
}

void FileSender::AddBlocks(relvane::Digest& hash, const BlockStream::Batch& batch) const {
    if (Link.CompressOn()) {
        hash.Add(batch.Raw);
        return;
    }
    const QByteArray& frames = batch.Frames;
    for (qsizetype at = 0; at + HeaderSize <= frames.size();) {
        const std::int32_t length = ParseHeader(frames.constData() + at).Length;
        hash.Add(QByteArrayView(frames).sliced(at + HeaderSize, length));
        at += HeaderSize + length;
    }
}

void FileSender::BlocksFailed(BlockStream::Outcome outcome) {
    if (outcome == BlockStream::Outcome::CompressFailed) {
        CloseFile();
        throw EProtocolError(QStringLiteral("error"));
    }
    // Read failure, or the file shrank: the peer keeps what it has for a
    // later resume.
    const QString path = S.FileList.value(S.CurrentIndex);
    Abandon(Outcome::Failed, ErrorKind::FileAccess,
            (outcome == BlockStream::Outcome::ReadFailed ? texts::CannotRead(path)
                                                         : texts::ShrankWhileSending(path)) +
                texts::SendAbandoned());
}

void FileSender::ProcessResumeOffsetReply(const QByteArray& payload) {
    if (!S.InUse || S.State != SlotState::ResumeQuery) return;
    const std::int64_t offset =
        (Mode & CapBigFiles) ? ParseSize(PayloadText(payload)) : ParseNumber(PayloadText(payload));
    S.ResumeOffset = offset;
    if (offset == 0) {
        S.State = SlotState::SendData;
        if (S.FileStream->pos() != 0) S.FileStream->seek(0);
        Progress.Resumed = false;
        Started();
        return;
    }
    // The blocks made ahead start at 0.
    Blocks.Stop();
    Batch = {};
    BatchSent = 0;
    // They were hashed too: the whole file is hashed from the disk instead.
    if (std::exchange(HashFollows, false))
        Hasher.Start(S.FileStream->handle(), S.FileSize, DigestOf(Mode));
    // An offset outside the file cannot be a prefix of it: answer with the
    // checksum of the whole file, which the peer's longer partial will not
    // match, so the file restarts at 0 instead of failing every time.
    const bool inside = offset > 0 && offset <= S.FileSize;
    S.Checksum = StreamChecksum(*S.FileStream, inside ? offset : 0,
                                {Progress.SendCheckTotal, Progress.SendChecked});
    S.State = SlotState::ResumeCheck;
    Progress.Resumed = true;
    Link.Send(BuildFrame(SlotNo(), Kind::Notice, Type::Checksum, Format::FmtText,
                         ChecksumPayload(S.Checksum)));
}

void FileSender::ProcessAck(const QByteArray& payload) {
    if (!S.InUse) return;
    const bool rejected = IsRejection(PayloadText(payload));
    // Answers come in order: the oldest file in flight is answered first.
    if (!InFlight.empty()) return Answered(rejected);
    switch (S.State) {
    case SlotState::ResumeCheck:
        if (rejected) {
            S.ResumeOffset = 0;
            Progress.Resumed = false;
        } else if (S.ResumeOffset < 0 || S.ResumeOffset > S.FileSize) {
            // The peer accepted a checksum that cannot be one of a prefix.
            throw EProtocolError(QStringLiteral("HashError"));
        }
        S.FileStream->seek(S.ResumeOffset);
        // The bytes held count as done at once, and apart from what moves now.
        Progress.SendDone = S.ResumeOffset;
        Progress.SendResumedBytes = S.ResumeOffset;
        S.State = SlotState::SendData;
        Started();
        return;
    case SlotState::ResumeQuery:
    case SlotState::SendData:
        // The receiver refused the file or could not store it. It ends the
        // connection itself when it must; the list ends here either way.
        if (rejected) Refused(texts::SendFailed());
        return;
    case SlotState::SendWaitFileAck:
        if (std::exchange(PeerDigestCame, false) && rejected) {
            // The peer's digest of what it wrote differs from ours.
            const QString path = S.FileList.value(S.CurrentIndex);
            EndSending();
            throw ETransferEnded(Direction::Send, Outcome::Failed, ErrorKind::Verification,
                                 texts::VerifyFailed(path));
        }
        if (rejected) Refused(texts::FileSendFailed());
        if (Mode & CapVerify)
            Link.FileVerified(Direction::Send, S.CurrentIndex, S.FileList.value(S.CurrentIndex),
                              Digest);
        Link.FileEnded(Direction::Send, S.CurrentIndex, S.FileList.value(S.CurrentIndex));
        CloseCurrent(); // the next file, made ahead, stays
        ++S.CurrentIndex;
        S.State = SlotState::SendNextFile;
        return;
    case SlotState::SendWaitListAck:
        if (rejected) throw EProtocolError(texts::ListSendFailed());
        EndSending();
        Link.ListDone(Direction::Send);
        return;
    case SlotState::Idle:
    case SlotState::SendNextFile:
        return; // no Ack expected
    case SlotState::RecvWaitCount:
    case SlotState::RecvWaitName:
    case SlotState::RecvWaitSize:
    case SlotState::RecvData:
        return; // not a sending state
    }
}

void FileSender::ProcessPeerCancel() {
    // The receiver gave up: end our side as our own cancel would, without
    // answering (its slot is already idle).
    if (!S.InUse || S.State == SlotState::Idle) return;
    EndSending();
    throw ETransferEnded(Direction::Send, Outcome::CancelledByPeer, ErrorKind::Cancelled,
                         texts::Cancelled());
}

void FileSender::Abandon(Outcome outcome, ErrorKind kind, const QString& text) {
    Link.Send(BuildFrame(SlotNo(), Kind::Notice, Type::Cancel, Format::FmtNone, NonePayload()));
    EndSending();
    throw ETransferEnded(Direction::Send, outcome, kind, text);
}

void FileSender::Refused(const QString& text) {
    EndSending();
    throw ETransferEnded(Direction::Send, Outcome::Refused, ErrorKind::PeerRefused, text);
}

void FileSender::ProcessPeerDigest() {
    // Sent only before a "0" for a file whose digest differed.
    if (S.InUse && (Mode & CapVerify)) PeerDigestCame = true;
}

std::optional<QByteArray> FileSender::WireName(int index, QString* refusal) const {
    const QString path = S.FileList.value(index);
    if (!(Mode & CapFolders) || index >= Names.size()) return WireFileName(path, refusal);
    // A path below the folder sent: each part travels as a name would.
    QByteArray wire;
    for (const QString& part : Names.at(index).split(QLatin1Char('/'))) {
        const std::optional<QByteArray> bytes = WireFileName(part, refusal);
        if (!bytes) return std::nullopt;
        if (!wire.isEmpty()) wire += '/';
        wire += *bytes;
    }
    return wire;
}

void FileSender::Started() {
    Link.FileStarted(Direction::Send,
                     {.Index = S.CurrentIndex,
                      .Count = S.LastIndex + 1,
                      .Name = Names.value(S.CurrentIndex, S.FileList.value(S.CurrentIndex)),
                      .Size = S.FileSize,
                      .ResumeOffset = S.ResumeOffset});
}

void FileSender::EndSending() {
    S.State = SlotState::Idle;
    S.InUse = false;
    InFlight.clear();
    WaitsForAll = false;
    PeerDigestCame = false;
    CloseFile();
    S.FileList.clear();
    Blocked = false;
}

} // namespace relvane
