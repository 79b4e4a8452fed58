#include "protocol/worker.h"

#include "platform/sjis.h"
#include "protocol/capabilities.h"
#include "protocol/texts.h"

#include <QDeadlineTimer>
#include <QMetaObject>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>

#include <sys/eventfd.h>
#include <unistd.h>

namespace relvane {

namespace {

// The longest single wait. Terminate requests and queued frames end a wait
// at once, and the peer's data or close does too; this bounds only a close of
// the connection from another thread, which a wait cannot see.
constexpr int LongestWaitMs = 1000;
// The last frames before a close get this long, then the connection goes.
constexpr int FinalFramesStallMs = 800;

bool IsKnownKind(std::uint8_t kind) {
    return kind == static_cast<std::uint8_t>(Kind::Notice) ||
           kind == static_cast<std::uint8_t>(Kind::Request) ||
           kind == static_cast<std::uint8_t>(Kind::Reply);
}

bool IsHandshakeType(Type type) {
    return type == Type::Version || type == Type::NameExchange || type == Type::Compress ||
           type == Type::Resume;
}

} // namespace

ConnectionWorker::ConnectionWorker(IWorkerEvents& events, QObject* context,
                                   std::shared_ptr<IConnection> socket, Role role,
                                   WorkerSettings settings)
    : Events(events), Context(context), Pending(std::make_shared<Notes>()),
      Socket(std::move(socket)), FRole(role), Settings(std::move(settings)),
      Progress(std::make_shared<TransferProgress>()),
      WakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), Reader(*Socket),
      Shake(role, Settings.Handshake,
            {.Send = [this](const QByteArray& frame) { Send(frame); },
             .StageChanged =
                 [this](ConnectStage stage) {
                     if (stage == ConnectStage::Connected) {
                         Progress->CompressOn = Shake.CompressOn();
                         FResumeOn = Shake.ResumeOn();
                         // Ignored by a peer that does not know it; a copy
                         // of this program answers with its own.
                         if (Settings.Offer != 0) Send(OfferFrame(false, Settings.Offer));
                     }
                     Post([stage, peer = OwnCopy(Shake.PeerName())](IWorkerEvents& e) {
                         e.StageChanged(stage, peer);
                     });
                 },
             .Failed =
                 [this](HandshakeFailure why) {
                     Ended = true;
                     Post([why](IWorkerEvents& e) { e.HandshakeFailed(why); });
                 }},
            Settings.HandshakeLimit),
      Sender(*this, *Progress,
             Settings.CompressionThreads > 0 ? Settings.CompressionThreads
                                             : DefaultCompressionThreads()),
      Receiver(*this, *Progress) {
    Pending->Events = &events;
}

ConnectionWorker::~ConnectionWorker() {
    RequestTerminate();
    // Nothing the loop does waits for the thread that ends it.
    if (isRunning()) wait();
    (void)RunEnded.load(std::memory_order_acquire); // everything run() did is ours now
    Sender.CloseFile();                             // the compression pool wakes through WakeFd
    if (WakeFd >= 0) ::close(WakeFd);
    std::lock_guard lock(Pending->M);
    Pending->Events = nullptr;
    Pending->Calls.clear();
}

void ConnectionWorker::Start() {
    start(QThread::TimeCriticalPriority);
}

void ConnectionWorker::AssumeConnected(bool compressOn, bool resumeOn) {
    Begun = true;
    Shake.AssumeConnected(compressOn, resumeOn);
    Progress->CompressOn = compressOn;
    FResumeOn = resumeOn;
}

void ConnectionWorker::RequestTerminate() {
    Terminated = true;
    requestInterruption();
    Wake();
}

void ConnectionWorker::Wake() {
    const std::uint64_t one = 1;
    // A full counter already wakes the loop; nothing else can fail here.
    [[maybe_unused]] const auto written = ::write(WakeFd, &one, sizeof one);
}

void ConnectionWorker::DrainWake() {
    // Whenever the wait saw it readable: a flag set beside the write let a
    // waker preempted between the two make the loop spin on a readable
    // counter, taking the core the pool needed.
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(WakeFd, &count, sizeof count);
}

void ConnectionWorker::run() {
    while (Pass()) {
    }
    PostNotes();
    // Partial files stay on disk under their ".Recv" names for a later resume.
    Sender.CloseFile();
    Receiver.CloseFile();
    RunEnded.store(true, std::memory_order_release);
}

bool ConnectionWorker::Pass(int maxWaitMs) {
    bool queueDone = true;
    try {
        if (!Begun) {
            Begun = true;
            Shake.Start(Settings.AcceptedAt, Settings.VersionSent);
        }
        bool finishing = false;
        {
            std::lock_guard lock(QueueMutex);
            finishing = Final.has_value();
        }
        if (finishing) {
            SendFinal();
            Ended = true;
        } else {
            queueDone = SendQueued();
            if (Partial.isEmpty()) {
                ReadAvailable();
                if (!TerminateRequested() && !Ended && Shake.Connected()) Sender.Pump();
            } else if (Reader.Buffered() < MaxPayload + HeaderSize && !Reader.Fill()) {
                // Mid-frame nothing else may be sent, so nothing is handled
                // (handlers answer); reading goes on so the peer can finish
                // too. Once it has closed, the rest of our frame has no
                // reader, and what it sent before the close is still handled.
                Partial.clear();
                PartialSent = 0;
                ReadAvailable();
            }
            Shake.CheckTime();
        }
    } catch (const ETransferEnded& end) {
        EndList(end.Dir(), end.End());
        if (!end.End().ConnectionKept) Fail(end.Kind(), end.Message());
    } catch (const Error& error) {
        Fail(error.Kind(), error.Message());
    } catch (const std::exception& error) {
        Fail(ErrorKind::Failure, QString::fromUtf8(error.what()));
    }
    const bool goOn = !TerminateRequested() && !Ended && Socket->IsConnected();
    if (goOn && maxWaitMs != 0 && !Sender.HasBlock()) {
        // Nothing to do until the peer sends or makes room, another thread
        // queues a frame, the handshake's time runs out, or the end is asked
        // for: each of them ends the wait.
        int timeout = maxWaitMs < 0 ? LongestWaitMs : std::min(maxWaitMs, LongestWaitMs);
        const int notesDue = NotesDueInMs();
        if (notesDue == 0) PostNotes();
        if (notesDue > 0) timeout = std::min(timeout, notesDue);
        const int handshakeLeft = Shake.MsLeft();
        if (handshakeLeft >= 0) timeout = std::min(timeout, handshakeLeft);
        // Drained before the next pass reads the queue: a frame queued later
        // wakes the next wait.
        if (Socket->WaitReady(timeout, WakeFd, Sender.WaitsForRoom() || !queueDone)) DrainWake();
    } else if (NotesDueInMs() == 0) {
        PostNotes();
    }
    return goOn && !TerminateRequested() && !Ended && Socket->IsConnected();
}

// ---- Sending

bool ConnectionWorker::FinishPartial() {
    if (Partial.isEmpty()) return true;
    if (!SendFrame(*Socket, QByteArrayView(Partial).sliced(PartialSent), {.Stop = &Terminated}))
        return false;
    Partial.clear();
    PartialSent = 0;
    return true;
}

bool ConnectionWorker::Send(const QByteArray& frame, bool more) {
    return FinishPartial() && SendFrame(*Socket, frame, {.Stop = &Terminated, .More = more});
}

qsizetype ConnectionWorker::SendAvailable(QByteArrayView frames) {
    if (!Partial.isEmpty() || frames.isEmpty() || !Socket->IsConnected()) return 0;
    const int taken = Socket->SendPart(frames.data(), static_cast<int>(frames.size()));
    if (taken <= 0) return 0;
    // Find the end of the frame the connection stopped in; its rest is ours
    // to finish before anything else goes.
    qsizetype end = 0;
    while (end < taken)
        end += HeaderSize + ParseHeader(frames.data() + end).Length;
    end = std::min(end, frames.size());
    if (end > taken) {
        Partial = QByteArray(frames.data() + taken, end - taken);
        PartialSent = 0;
    }
    return end;
}

void ConnectionWorker::RequestSend(const QStringList& files, const QStringList& names) {
    Progress->SendCancel = false;
    QStringList own;
    own.reserve(files.size());
    for (const QString& f : files)
        own << OwnCopy(f);
    QStringList ownNames;
    for (const QString& n : names)
        ownNames << OwnCopy(n);
    {
        std::lock_guard lock(QueueMutex);
        Queued.push_back({SendRequestFrame(), std::move(own), std::move(ownNames)});
        QueueSent = false;
    }
    Wake();
}

void ConnectionWorker::QueueFrame(QByteArray frame) {
    QByteArray own = OwnCopy(frame);
    frame = QByteArray();
    {
        std::lock_guard lock(QueueMutex);
        Queued.push_back({std::move(own), std::nullopt, {}});
        QueueSent = false;
    }
    Wake();
}

void ConnectionWorker::FinishWith(QByteArray frame) {
    QByteArray own = OwnCopy(frame);
    frame = QByteArray();
    {
        std::lock_guard lock(QueueMutex);
        Final = std::move(own);
        QueueSent = false;
    }
    Wake();
}

bool ConnectionWorker::HasQueued() {
    std::lock_guard lock(QueueMutex);
    return !Queued.empty();
}

bool ConnectionWorker::WaitQueueSent(int timeoutMs) {
    std::unique_lock lock(QueueMutex);
    return QueueSentChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [this] { return QueueSent; });
}

bool ConnectionWorker::SendQueued() {
    for (;;) {
        if (Partial.isEmpty()) {
            if (!HasQueued()) {
                std::lock_guard lock(QueueMutex);
                if (Queued.empty() && !QueueSent && !Final) {
                    QueueSent = true;
                    QueueSentChanged.notify_all();
                }
                return true;
            }
            Outgoing item;
            {
                std::lock_guard lock(QueueMutex);
                item = std::move(Queued.front());
                Queued.pop_front();
            }
            // The list is in place before the peer can answer the request,
            // and the peer knows how it travels before the request.
            if (item.Files) {
                Capabilities mode = FAgreed & (CapBigFiles | CapVerify | CapWindow);
                // The faster digest only for a list that verifies.
                if (mode & CapVerify) mode |= FAgreed & CapXxh128;
                if (!item.Names.isEmpty()) mode |= FAgreed & CapFolders;
                Sender.Requested(*item.Files, item.Names, mode);
                if (mode != 0) item.Frame = ListModeFrame(mode) + item.Frame;
            }
            Partial = std::move(item.Frame);
            PartialSent = 0;
        }
        // Only what the connection takes now: waiting inside a send would
        // stop this loop from reading, as in the pump.
        if (!Socket->IsConnected()) return true;
        const int taken = Socket->SendPart(Partial.constData() + PartialSent,
                                           static_cast<int>(Partial.size() - PartialSent));
        PartialSent += taken;
        if (PartialSent < Partial.size()) return false;
        Partial.clear();
        PartialSent = 0;
    }
}

void ConnectionWorker::SendFinal() {
    // No block goes any more: the frame half-written is finished so the peer
    // can read what follows, then the lines queued, then the last frame; all
    // within one deadline, in pieces, so a peer that stopped reading costs
    // no more than that.
    const QDeadlineTimer deadline(FinalFramesStallMs);
    QByteArray rest;
    {
        std::lock_guard lock(QueueMutex);
        rest = Partial.mid(PartialSent);
        for (const Outgoing& item : Queued) {
            // A send request now would start a list nobody sends.
            if (!item.Files) rest += item.Frame;
        }
        Queued.clear();
        rest += *Final;
    }
    Partial.clear();
    PartialSent = 0;
    qsizetype sent = 0;
    try {
        while (sent < rest.size() && Socket->IsConnected() && !deadline.hasExpired()) {
            const int chunk = static_cast<int>(std::min<qsizetype>(rest.size() - sent, 1 << 20));
            const int taken = Socket->SendPart(rest.constData() + sent, chunk);
            sent += taken;
            if (taken < chunk)
                Socket->WaitWritable(
                    static_cast<int>(std::min<qint64>(100, deadline.remainingTime())));
        }
    } catch (const Error&) {
        // A peer that takes nothing more is left as it is: the close follows.
    }
    std::lock_guard lock(QueueMutex);
    QueueSent = true;
    QueueSentChanged.notify_all();
}

// ---- Receiving

void ConnectionWorker::ReadAvailable() {
    const bool open = Reader.Fill();
    // Once the end is asked for, nothing more is handled: the connection is
    // going. A frame leaves the reader before it is handled, so a failing
    // handler consumes its own frame only.
    while (!TerminateRequested() && !Ended) {
        const std::optional<Frame> frame = Reader.Next();
        if (!frame) break;
        Dispatch(*frame);
    }
    if (open || Ended || TerminateRequested()) return;
    // The peer closed and everything it sent before is handled: lists it
    // left open end here, before the program learns of the close.
    Ended = true;
    for (const Direction d : {Direction::Send, Direction::Receive}) {
        if (OpenList[static_cast<int>(d)])
            EndList(d, {Outcome::Failed, ErrorKind::Disconnected, texts::Disconnected(), false});
    }
    if (Settings.Offer != 0 && Shake.Connected() && !PeerOffered && !PeerSpokeSinceHandshake)
        Post([](IWorkerEvents& e) { e.OfferUnanswered(); });
    Post([](IWorkerEvents& e) { e.PeerClosed(); });
}

bool ConnectionWorker::DispatchExtension(const FrameHeader& h, const QByteArray& payload) {
    // Only after the handshake, and only while this copy offers anything.
    if (Settings.Offer == 0 || !Shake.Connected() || !IsKnownKind(h.Kind)) return false;
    const auto kind = static_cast<Kind>(h.Kind);
    switch (h.Type) {
    case OfferType:
        if (h.Slot == ControlSlot) ProcessOffer(kind, payload);
        return true;
    case ListModeType:
        if (h.Slot == ControlSlot && kind == Kind::Notice && PeerOffered)
            Receiver.ProcessListMode(payload);
        return true;
    case DigestType:
        if (h.Slot == Side() && kind == Kind::Notice) Receiver.ProcessDigest(payload);
        if (h.Slot == 1 - Side() && kind == Kind::Notice) Sender.ProcessPeerDigest();
        return true;
    default:
        return false;
    }
}

void ConnectionWorker::ProcessOffer(Kind kind, const QByteArray& payload) {
    const std::optional<Capabilities> theirs = ParseCapabilities(PayloadText(payload));
    if (!theirs) return;
    // Answered once, whatever the peer sends after.
    if (kind == Kind::Request && !std::exchange(OfferAnswered, true))
        Send(OfferFrame(true, Settings.Offer));
    if (std::exchange(PeerOffered, true)) return;
    // Agreed once per connection: what is off stays off.
    FAgreed = Settings.Offer & *theirs;
    Post([caps = FAgreed](IWorkerEvents& e) { e.CapabilitiesAgreed(caps); });
}

void ConnectionWorker::Dispatch(const Frame& frame) {
    const FrameHeader& h = frame.Header;
    if (h.Type >= TypeCount && DispatchExtension(h, frame.Payload)) return;
    // Kind and Type come from the peer: values outside the catalogue are ignored.
    if (!IsKnownKind(h.Kind) || h.Type >= TypeCount) return;
    const auto kind = static_cast<Kind>(h.Kind);
    const auto type = static_cast<Type>(h.Type);
    const QByteArray& payload = frame.Payload;

    if (Shake.Connected()) PeerSpokeSinceHandshake = true;
    // Until the handshake is done only its frames count.
    if (!Shake.Connected()) {
        if (IsHandshakeType(type)) Shake.Process(kind, type, payload);
        return;
    }
    switch (type) {
    case Type::Chat:
        if (kind == Kind::Notice) ProcessChat(payload);
        return;
    case Type::NameExchange:
    case Type::Version:
    case Type::Compress:
    case Type::Resume:
    case Type::Disconnect:
        return; // the handshake is over; the closing connection tells
    case Type::SendRequest:
        if (kind == Kind::Request) Receiver.ProcessSendRequest();
        return;
    case Type::SendAccept:
        if (kind == Kind::Reply) Sender.ProcessSendAccept(payload);
        return;
    case Type::FileName:
    case Type::FileSize:
    case Type::LastIndex:
    case Type::ResumeOffset:
    case Type::Checksum:
    case Type::FileData:
    case Type::Ack:
    case Type::End:
    case Type::Cancel:
        // A transfer's frame: the slot tells the direction. Slot Side is what
        // we receive, slot 1 - Side carries the replies to what we send.
        if (h.Slot == Side())
            Receiver.Process(kind, type, payload);
        else if (h.Slot == 1 - Side())
            Sender.Process(kind, type, payload);
        return;
    }
}

void ConnectionWorker::ProcessChat(const QByteArray& payload) {
    Post([text = FromShiftJis(PayloadText(payload))](IWorkerEvents& e) { e.ChatReceived(text); });
}

} // namespace relvane
