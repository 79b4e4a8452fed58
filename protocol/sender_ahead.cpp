// The sending side's files ahead: the next file made while the peer stores
// the current one, and, between two copies, the small files sent before
// their answers.

#include "protocol/capabilities.h"
#include "protocol/sender.h"
#include "protocol/sendlist.h"
#include "protocol/texts.h"

#include <utility>

#include <sys/stat.h>

namespace relvane {

FileSender::NextFile::Stamp FileSender::StampOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {};
    return {st.st_dev, st.st_ino, st.st_size,
            std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

void FileSender::PrepareNext() {
    Ahead = {};
    const int next = S.CurrentIndex + 1;
    if (next > S.LastIndex || next >= S.FileList.size()) return;
    const QString& path = S.FileList.at(next);
    // Whatever is wrong with the file is found and told when it is due.
    QString refusal;
    if (!WireFileName(path, &refusal)) return;
    // Taken before the bytes are read: a change while they are read shows.
    const NextFile::Stamp seen = StampOf(path);
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly)) return;
    const qint64 size = file->size();
    if (size > MaxSendSize || size != seen.Size) return;
    Blocks.Start(file->handle(), 0, size, SlotNo(), Link.CompressOn());
    BlockStream::Batch made;
    made.Frames.swap(Batch.Frames); // all sent: its buffer is used again
    BatchSent = 0;
    const bool whole = Blocks.MadeHere() &&
                       Blocks.Take(made, MaxBatchBytes) == BlockStream::Outcome::Ready && made.Last;
    Blocks.Stop();
    if (!whole) return;
    if (Mode & CapVerify) {
        // Small enough for one batch: hashed from the bytes just read.
        relvane::Digest hash(DigestOf(Mode));
        AddBlocks(hash, made);
        Ahead.Digest = hash.Finish();
    }
    Ahead.Seen = seen;
    Ahead.Index = next;
    Ahead.File = std::move(file);
    Ahead.Size = size;
    Ahead.Made = std::move(made);
}

void FileSender::Answered(bool rejected) {
    const Unanswered file = InFlight.front();
    InFlight.pop_front();
    const QString path = S.FileList.value(file.Index);
    if (std::exchange(PeerDigestCame, false) && rejected) {
        EndSending();
        throw ETransferEnded(Direction::Send, Outcome::Failed, ErrorKind::Verification,
                             texts::VerifyFailed(path));
    }
    // Those sent after it are ignored by the peer, whose list has ended.
    if (rejected) Refused(texts::FileSendFailed());
    if (Mode & CapVerify) Link.FileVerified(Direction::Send, file.Index, path, file.Digest);
    Link.FileEnded(Direction::Send, file.Index, path);
    if (S.State == SlotState::SendWaitFileAck && (!WaitsForAll || InFlight.empty())) {
        WaitsForAll = false;
        S.State = SlotState::SendNextFile;
    }
}

} // namespace relvane
