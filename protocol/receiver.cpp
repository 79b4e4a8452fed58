#include "protocol/receiver.h"

#include "platform/sjis.h"
#include "protocol/capabilities.h"
#include "protocol/checksum.h"
#include "protocol/sendlist.h"
#include "protocol/texts.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace relvane {

namespace {

// ShowRecvCount is a list of that many placeholder entries; a hostile count
// must not make the window build millions of them.
constexpr std::int64_t MaxShownFiles = 100000;

// A name from the peer that would be unsafe or unusable as one entry of the
// receive folder. Checked on decoded characters: a Shift-JIS second byte may
// be 0x5C without being a backslash. Control characters would reach
// terminals and file lists as they are.
bool IsControl(QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7F;
}

bool IsUnsafeName(const QString& name) {
    return std::any_of(name.begin(), name.end(), IsControl) || name.isEmpty() ||
           name == QLatin1String(".") || name == QLatin1String("..") ||
           name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
           QDir::isAbsolutePath(name) || QFile::encodeName(name).size() > MaxLocalNameBytes;
}

// A refused name as the error shows it: its control characters must not
// reach a terminal either.
QString Shown(const QByteArray& name) {
    QString text = FromShiftJis(name);
    std::replace_if(text.begin(), text.end(), IsControl, QChar(QChar::ReplacementCharacter));
    return text;
}

// A path from a peer that sends folders: parts between "/", each a safe
// entry name, the whole no longer than a path may be here.
constexpr qsizetype MaxPathBytes = 4096;

std::optional<QStringList> SafeParts(const QString& path, bool folders) {
    const QStringList parts = folders ? path.split(QLatin1Char('/')) : QStringList{path};
    if (QFile::encodeName(path).size() >= MaxPathBytes) return std::nullopt;
    for (const QString& part : parts) {
        if (IsUnsafeName(part)) return std::nullopt;
    }
    return parts;
}

// "name (2).ext" for the n-th namesake of "name.ext".
QString Numbered(const QString& name, int n) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const bool hasExtension = dot > 0;
    const QString stem = hasExtension ? name.left(dot) : name;
    const QString extension = hasExtension ? name.mid(dot) : QString();
    return QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(extension);
}

EProtocolError WriteFailed() {
    return EProtocolError(texts::WriteFailed(), ErrorKind::FileAccess);
}

} // namespace

FileReceiver::FileReceiver(ITransferLink& link, TransferProgress& progress)
    : Link(link), Progress(progress) {}

std::uint8_t FileReceiver::SlotNo() const {
    return static_cast<std::uint8_t>(Link.Side());
}

QString FileReceiver::PartialPath() const {
    return Dir ? Dir->PathOf(PartialFileName(Entry)) : QString();
}

QString FileReceiver::FinalPath() const {
    return Dir ? Dir->PathOf(Entry) : QString();
}

bool FileReceiver::WritePending() {
    if (Pending.isEmpty() || !S.FileStream) return true;
    const bool written = S.FileStream->write(Pending) == Pending.size();
    if (written && HashHere) Hash.Add(Pending);
    Pending.resize(0); // keeps its room for the next blocks
    if (written && !HashHere) Hasher.Extend(S.FileStream->pos());
    return written;
}

std::int64_t FileReceiver::Received() const {
    return S.FileStream ? S.FileStream->pos() + Pending.size() : 0;
}

void FileReceiver::CloseFile() {
    Hasher.Stop();
    if (S.FileStream) {
        WritePending();        // a disk that refuses it now leaves a shorter partial file
        S.FileStream->close(); // the partial file stays for a later resume
        S.FileStream.reset();
    }
}

void FileReceiver::ProcessListMode(const QByteArray& payload) {
    // Only what this copy offered can be in use.
    NextMode = ParseCapabilities(PayloadText(payload)).value_or(0) & Link.Offered();
}

void FileReceiver::ProcessDigest(const QByteArray& payload) {
    if (S.State != SlotState::RecvData || !(Mode & CapVerify)) return;
    Expected = ParseDigest(PayloadText(payload), DigestOf(Mode)).value_or(QByteArray("-"));
}

void FileReceiver::Process(Kind kind, Type type, const QByteArray& payload) {
    // The sender's frames are Notices, bar the one Request for the offset.
    if (kind == Kind::Request) {
        if (type == Type::ResumeOffset) ProcessResumeOffsetRequest();
        return;
    }
    if (kind != Kind::Notice) return;
    switch (type) {
    case Type::LastIndex:
        return ProcessLastIndex(payload);
    case Type::FileName:
        return ProcessFileName(payload);
    case Type::FileSize:
        return ProcessFileSize(payload);
    case Type::Checksum:
        return ProcessChecksum(payload);
    case Type::FileData:
        return ProcessFileData(payload);
    case Type::End:
        return ProcessEnd();
    case Type::Cancel:
        return ProcessCancel();
    // The sending direction's replies, and the connection's own frames.
    case Type::ResumeOffset:
    case Type::Ack:
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

void FileReceiver::SendAck(bool accepted) {
    Link.Send(BuildFrame(SlotNo(), Kind::Reply, Type::Ack, Format::FmtFlag, FlagPayload(accepted)));
}

void FileReceiver::EndReceiving() {
    S.State = SlotState::Idle;
    S.InUse = false;
    CloseFile();
}

void FileReceiver::CannotCreate() {
    // A name this file system cannot hold, a folder in the way: this file
    // only, the connection stays for the next list.
    Reject(Outcome::Failed, ErrorKind::FileAccess, texts::CannotCreate(PartialPath()));
}

void FileReceiver::Reject(Outcome outcome, ErrorKind kind, const QString& text) {
    SendAck(false);
    EndReceiving();
    throw ETransferEnded(Direction::Receive, outcome, kind, text);
}

void FileReceiver::Fatal(const Error& error) {
    // The list ends with the connection (the worker tells both).
    SendAck(false);
    EndReceiving();
    throw error;
}

void FileReceiver::Started() {
    Link.FileStarted(Direction::Receive, {.Index = FileIndex,
                                          .Count = static_cast<int>(std::clamp<std::int64_t>(
                                              std::int64_t(S.LastIndex) + 1, 0, MaxShownFiles)),
                                          .Name = S.FileName,
                                          .Size = S.FileSize,
                                          .ResumeOffset = S.ResumeOffset});
}

void FileReceiver::ProcessSendRequest() {
    CloseFile();
    S.LastIndex = 0;
    S.FileName.clear();
    S.FileSize = 0;
    S.ResumeOffset = 0;
    S.Checksum = 0;
    S.InUse = true;
    S.State = SlotState::RecvWaitCount;
    Folder = Link.ReceiveFolder();
    Dir = std::make_unique<RecvFolder>(Folder);
    Mode = std::exchange(NextMode, 0);
    Progress.VerifyOn = (Mode & CapVerify) != 0;
    FileIndex = 0;
    Progress.ReceiveCancel = false;

    Link.ListStarted(Direction::Receive, 0, {});
    Link.Send(BuildFrame(ControlSlot, Kind::Reply, Type::SendAccept, Format::FmtNumber,
                         NumberPayload(Link.Side())));
}

void FileReceiver::ProcessLastIndex(const QByteArray& payload) {
    // Only the first file's LastIndex counts; the repeats arrive in RecvWaitName.
    if (S.State != SlotState::RecvWaitCount) return;
    S.LastIndex = ParseNumber(PayloadText(payload));
    S.State = SlotState::RecvWaitName;
}

void FileReceiver::ProcessFileName(const QByteArray& payload) {
    if (S.State != SlotState::RecvWaitName) return;
    const QByteArray bytes = PayloadText(payload);
    const bool folders = (Mode & CapFolders) != 0;
    const std::optional<QString> decoded = FromShiftJisStrict(bytes);
    const std::optional<QStringList> parts = decoded ? SafeParts(*decoded, folders) : std::nullopt;
    if ((!folders && bytes.size() > MaxFileNameBytes) || !parts) {
        // This file only: the sender ends its list at the "0", the connection stays.
        Reject(Outcome::Refused, ErrorKind::Refused, texts::NameRefused(Shown(bytes)));
    }
    S.FileName = *decoded;
    Entry = parts->back();
    // Sub-folders are made as the names come, never through a link.
    if (!Dir->Enter(parts->mid(0, parts->size() - 1), true)) CannotCreate();
    S.FileSize = 0;
    S.ResumeOffset = 0;
    S.State = SlotState::RecvWaitSize;
    Progress.RecvTotal = 0;
    Progress.RecvDone = 0;
    Progress.RecvResumedBytes = 0;
    Progress.Resumed = false;
}

void FileReceiver::ProcessFileSize(const QByteArray& payload) {
    if (S.State != SlotState::RecvWaitSize) return;
    const std::int64_t size =
        (Mode & CapBigFiles) ? ParseSize(PayloadText(payload)) : ParseNumber(PayloadText(payload));
    if (size < 0) Fatal(EProtocolError(texts::BadFileSize(size)));
    S.FileSize = size;
    S.State = Link.ResumeOn() && !Windowed(Mode, S.FileSize) ? SlotState::ResumeQuery
                                                             : SlotState::RecvData;
    Progress.RecvTotal = size;
    Expected.reset();
    Hash.Reset(DigestOf(Mode));
    if (S.State == SlotState::RecvData) Started();
}

void FileReceiver::ProcessResumeOffsetRequest() {
    if (S.State != SlotState::ResumeQuery) return;
    const QString partial = PartialPath();
    // A link or anything but a plain file under that name holds nothing.
    const std::int64_t held = std::max<std::int64_t>(Dir->FileSize(PartialFileName(Entry)), 0);
    // An empty partial holds nothing to prove (the sender, told 0, would send
    // no Checksum), and one longer than the file is not a prefix of it.
    if (held > 0 && held <= S.FileSize) {
        std::unique_ptr<QFile> file = Dir->Open(PartialFileName(Entry), false);
        if (!file || !file->seek(held)) {
            EndReceiving();
            throw EProtocolError(texts::CannotOpen(partial), ErrorKind::FileAccess);
        }
        S.FileStream = std::move(file);
        S.ResumeOffset = held;
        S.State = SlotState::ResumeCheck;
        Progress.Resumed = true;
    } else {
        S.ResumeOffset = 0;
        S.State = SlotState::RecvData;
        Progress.Resumed = false;
        Started();
    }
    Link.Send(BuildFrame(SlotNo(), Kind::Reply, Type::ResumeOffset, Format::FmtNumber,
                         (Mode & CapBigFiles)
                             ? SizePayload(S.ResumeOffset)
                             : NumberPayload(static_cast<std::int32_t>(S.ResumeOffset))));
    if (S.State != SlotState::ResumeCheck) return;
    // Summed now, while the sender sums its side, not after: on a large
    // partial file that halves the wait before the rest moves.
    S.Checksum =
        StreamChecksum(*S.FileStream, 0, {Progress.RecvCheckTotal, Progress.RecvChecked});
}

void FileReceiver::ProcessChecksum(const QByteArray& payload) {
    if (S.State != SlotState::ResumeCheck) return;
    const std::uint32_t theirs = ParseChecksum(PayloadText(payload));
    QFile& file = *S.FileStream;
    const bool match = S.Checksum == theirs;
    // Written again from byte 0 after a mismatch: no bytes of the old partial may stay.
    const bool placed = match ? file.seek(file.size()) : file.resize(0) && file.seek(0);
    if (!placed) {
        EndReceiving();
        throw WriteFailed();
    }
    // The bytes kept count in the file's digest as if they had come now;
    // they are hashed beside the rest.
    HashHere = false;
    if (Mode & CapVerify) Hasher.Start(file.handle(), file.pos(), DigestOf(Mode));
    Progress.Resumed = match;
    Progress.RecvDone = file.pos();
    Progress.RecvResumedBytes = file.pos();
    S.State = SlotState::RecvData;
    if (!match) S.ResumeOffset = 0;
    Started();
    SendAck(match);
}

void FileReceiver::ProcessFileData(const QByteArray& payload) {
    if (S.State != SlotState::RecvData) return;
    if (!S.FileStream) {
        S.FileStream = Dir->Open(PartialFileName(Entry), true);
        if (!S.FileStream) CannotCreate();
        // XXH3 keeps pace with the writes on this thread; SHA-256 of a large
        // file goes beside them.
        HashHere = S.FileSize <= HashHereMax || DigestOf(Mode) == DigestKind::Xxh128;
        if ((Mode & CapVerify) && !HashHere)
            Hasher.Start(S.FileStream->handle(), 0, DigestOf(Mode));
    }
    try {
        // Room for a chunk and the largest block that may cross it.
        if (Pending.capacity() < WriteChunk + MaxInflatedBlock)
            Pending.reserve(WriteChunk + MaxInflatedBlock);
        const qsizetype before = Pending.size();
        if (Link.CompressOn())
            Codec.DecompressTo(payload, Pending);
        else
            Pending.append(payload);
        // More than was announced can only end in a mismatch: stop before the disk fills.
        const qint64 end = Received();
        if (end > S.FileSize) {
            Pending.resize(before);
            throw EProtocolError(texts::SizeMismatch(FinalPath(), end, S.FileSize));
        }
        if (Pending.size() >= WriteChunk && !WritePending()) throw WriteFailed();
    } catch (const Error& error) {
        // The sender stops at the rejection; the partial file stays.
        Fatal(error);
    }
    Progress.RecvDone = Received();

    if (Progress.ReceiveCancel) {
        Link.Send(BuildFrame(SlotNo(), Kind::Notice, Type::Cancel, Format::FmtNone, NonePayload()));
        EndReceiving();
        throw ETransferEnded(Direction::Receive, Outcome::CancelledHere, ErrorKind::Cancelled,
                             texts::Cancelled());
    }
}

void FileReceiver::ProcessEnd() {
    if (S.State == SlotState::RecvWaitName) {
        EndReceiving();
        SendAck(true);
        Link.ListDone(Direction::Receive);
        return;
    }
    if (S.State != SlotState::RecvData) return;

    const QString partial = PartialPath();
    const QString target = FinalPath();
    qint64 received = 0;
    if (S.FileStream) {
        if (!WritePending() || !S.FileStream->flush()) Fatal(WriteFailed());
        received = S.FileStream->size();
    } else if (S.FileSize == 0) {
        // An empty file for which no block came: nothing left to write.
        if (!Dir->Open(PartialFileName(Entry), true)) CannotCreate();
    }
    if (received != S.FileSize)
        Fatal(EProtocolError(texts::SizeMismatch(target, received, S.FileSize)));
    QByteArray digest;
    if (Mode & CapVerify) {
        // Nothing was written for an empty file: nothing was hashed either.
        digest = !S.FileStream || HashHere ? Hash.Finish() : Hasher.Result(received);
        // What arrived is not what was sent: it stays a partial file, and
        // the next send of it starts over (its checksum will not match).
        if (!Expected || *Expected != digest) {
            // Our digest before the "0" tells the sender why.
            Link.Send(DigestFrame(SlotNo(), digest));
            Reject(Outcome::Failed, ErrorKind::Verification, texts::VerifyFailed(target));
        }
    }
    CloseFile();
    const QString stored = Store();
    S.State = SlotState::RecvWaitName;
    SendAck(true);
    if (Mode & CapVerify) Link.FileVerified(Direction::Receive, FileIndex, stored, digest);
    Link.FileEnded(Direction::Receive, FileIndex++, stored);
}

QString FileReceiver::Store() {
    const QString partial = PartialFileName(Entry);
    // A namesake stays; the file takes the first free "name (n).ext",
    // unless the user asked for the old way of replacing.
    if (Link.OverwriteExisting() || !Dir->Exists(Entry)) {
        if (Dir->Rename(partial, Entry, Link.OverwriteExisting())) return Dir->PathOf(Entry);
        if (Link.OverwriteExisting() || errno != EEXIST)
            Fatal(EProtocolError(texts::CannotRename(FinalPath()), ErrorKind::FileAccess));
    }
    for (int n = 2; n < 10000; ++n) {
        const QString name = Numbered(Entry, n);
        if (Dir->Exists(name)) continue;
        if (Dir->Rename(partial, name, false)) return Dir->PathOf(name);
        if (errno != EEXIST) break;
    }
    Fatal(EProtocolError(texts::CannotRename(FinalPath()), ErrorKind::FileAccess));
}

void FileReceiver::ProcessCancel() {
    if (!S.InUse || S.State == SlotState::Idle) return;
    EndReceiving();
    throw ETransferEnded(Direction::Receive, Outcome::CancelledByPeer, ErrorKind::Cancelled,
                         texts::Cancelled());
}

} // namespace relvane
