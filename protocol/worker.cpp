#include "protocol/worker.h"

#include "platform/sjis.h"
#include "protocol/handshake.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
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

// The handshake's Version payload as a number; anything that is not one is
// simply "not 5" there, never an error.
bool IsOurVersion(const QByteArray& text) {
    try {
        return ParseNumber(text) == ProtocolVersion;
    } catch (const EProtocolError&) {
        return false;
    }
}

bool IsKnownKind(std::uint8_t kind) {
    return kind == static_cast<std::uint8_t>(Kind::Notice) ||
           kind == static_cast<std::uint8_t>(Kind::Request) ||
           kind == static_cast<std::uint8_t>(Kind::Reply);
}

} // namespace

ConnectionWorker::ConnectionWorker(IWorkerHost& host, std::shared_ptr<IConnection> socket, int side,
                                   bool resumeOn, bool compressOn, int compressionThreads)
    : Host(host), Pending(std::make_shared<Notes>()), Socket(std::move(socket)), FSide(side), FResumeOn(resumeOn),
      Progress(std::make_shared<TransferProgress>()),
      WakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), Reader(*Socket), Sender(*this, *Progress, compressionThreads),
      Receiver(*this, *Progress) {
    Pending->Host = &host;
    Progress->CompressOn = compressOn;
}

ConnectionWorker::~ConnectionWorker() {
    RequestTerminate();
    if (isRunning()) {
        // The loop may be blocked in a synchronous call onto this very thread:
        // keep serving those calls until it has seen the request.
        QObject* ctx = Host.UiContext();
        const bool onUiThread = ctx != nullptr && ctx->thread() == QThread::currentThread();
        while (!wait(onUiThread ? 10 : 1000)) {
            if (onUiThread) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        }
    }
    (void)RunEnded.load(std::memory_order_acquire); // everything run() did is ours now
    Sender.CloseFile(); // the compression pool wakes through WakeFd
    if (WakeFd >= 0) ::close(WakeFd);
    std::lock_guard lock(Pending->M);
    Pending->Host = nullptr;
    Pending->Calls.clear();
}

void ConnectionWorker::Start() {
    start(QThread::TimeCriticalPriority);
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
        queueDone = SendQueued();
        if (Partial.isEmpty()) {
            ReadAvailable();
            if (!TerminateRequested()) Sender.Pump();
        } else if (Reader.Buffered() < MaxPayload + HeaderSize) {
            // Mid-frame nothing else may be sent, so nothing is handled
            // (handlers answer); reading goes on so the peer can finish too.
            Reader.Fill();
        }
    } catch (const Error& error) {
        Report(error);
    } catch (const std::exception& error) {
        Report(Error(QString::fromUtf8(error.what())));
    }
    const bool goOn = !TerminateRequested() && Socket->IsConnected();
    if (goOn && maxWaitMs != 0 && !Sender.HasBlock()) {
        // Nothing to do until the peer sends or makes room, another thread
        // queues a frame, or the end is asked for: each of them ends the wait.
        int timeout = maxWaitMs < 0 ? LongestWaitMs : std::min(maxWaitMs, LongestWaitMs);
        const int notesDue = NotesDueInMs();
        if (notesDue == 0) PostNotes();
        if (notesDue > 0) timeout = std::min(timeout, notesDue);
        // Drained before the next pass reads the queue: a frame queued later
        // wakes the next wait.
        if (Socket->WaitReady(timeout, WakeFd, Sender.WaitsForRoom() || !queueDone)) DrainWake();
    } else if (NotesDueInMs() == 0) {
        PostNotes();
    }
    return goOn && !TerminateRequested() && Socket->IsConnected();
}

void ConnectionWorker::Report(const Error& error) {
    try {
        Synchronize([&] { Host.ShowError(error); });
    } catch (const std::exception&) {
        // The host could not show it; the connection still has to end.
        RequestTerminate();
    }
    if (!error.KeepsConnection()) RequestTerminate();
}

void ConnectionWorker::Synchronize(const std::function<void()>& fn) {
    QObject* ctx = Host.UiContext();
    if (ctx == nullptr || ctx->thread() == QThread::currentThread()) {
        fn();
        return;
    }
    // A queued call and a wait of our own rather than Qt's blocking call: the
    // hand-over then goes through primitives that race detectors can see, and
    // an exception is carried back instead of unwinding through the other
    // thread's event loop.
    struct Call {
        std::mutex M;
        std::condition_variable Cv;
        bool Done = false;
        std::exception_ptr Failure;
        // Qt's event queue locks with futexes that race detectors cannot see;
        // this release/acquire pair makes the hand-over visible to them.
        std::atomic<bool> Posted{false};
    };
    // Fires when the posted call is destroyed: after it ran, or unrun when
    // its target went away first, so the worker never waits for nothing.
    struct Completion {
        std::shared_ptr<Call> C;
        ~Completion() {
            std::lock_guard lock(C->M);
            C->Done = true;
            C->Cv.notify_all();
        }
    };
    const auto call = std::make_shared<Call>();
    std::shared_ptr<Completion> completion(new Completion{call});
    call->Posted.store(true, std::memory_order_release);
    QMetaObject::invokeMethod(
        ctx,
        [&fn, call, completion, notes = Pending] {
            (void)call->Posted.load(std::memory_order_acquire);
            notes->Run(); // what was noted before comes first
            try {
                fn();
            } catch (...) {
                call->Failure = std::current_exception();
            }
            std::lock_guard lock(call->M);
            call->Done = true;
            call->Cv.notify_all();
        },
        Qt::QueuedConnection);
    completion.reset(); // from here only the posted call holds it
    std::unique_lock lock(call->M);
    call->Cv.wait(lock, [&] { return call->Done; });
    if (call->Failure) std::rethrow_exception(call->Failure);
}

void ConnectionWorker::OnHost(const std::function<void(IWorkerHost&)>& call) {
    Synchronize([&] { call(Host); });
}

namespace {
// How long noted calls may wait for the next hand-over at most: the eye does
// not see the difference in a status window.
constexpr auto NotesDelay = std::chrono::milliseconds(20);
} // namespace

void ConnectionWorker::Notify(std::function<void(IWorkerHost&)> call) {
    QObject* ctx = Host.UiContext();
    if (ctx == nullptr || ctx->thread() == QThread::currentThread()) {
        call(Host);
        return;
    }
    std::lock_guard lock(Pending->M);
    if (Pending->Calls.empty() && !Pending->Posted) NotesPostedAt = std::chrono::steady_clock::now();
    Pending->Calls.push_back(std::move(call));
}

void ConnectionWorker::Notes::Run() {
    std::vector<std::function<void(IWorkerHost&)>> calls;
    IWorkerHost* host = nullptr;
    {
        std::lock_guard lock(M);
        calls.swap(Calls);
        Posted = false;
        host = Host;
    }
    if (host == nullptr) return;
    for (const auto& call : calls)
        call(*host);
}

void ConnectionWorker::PostNotes() {
    {
        std::lock_guard lock(Pending->M);
        if (Pending->Calls.empty() || std::exchange(Pending->Posted, true)) return;
    }
    QMetaObject::invokeMethod(
        Host.UiContext(), [notes = Pending] { notes->Run(); }, Qt::QueuedConnection);
}

int ConnectionWorker::NotesDueInMs() {
    std::lock_guard lock(Pending->M);
    if (Pending->Calls.empty() || Pending->Posted) return -1;
    const auto left = NotesPostedAt + NotesDelay - std::chrono::steady_clock::now();
    return static_cast<int>(
        std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

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

// What crosses to the worker is copied whole: a shared Qt buffer would be
// released on either thread through reference counts that no race detector
// can follow.
namespace {
QByteArray OwnCopy(const QByteArray& bytes) {
    return QByteArray(bytes.constData(), bytes.size());
}
} // namespace

void ConnectionWorker::RequestSend(const QStringList& files) {
    Progress->SendCancel = false;
    QStringList own;
    own.reserve(files.size());
    for (const QString& f : files)
        own << QString(f.constData(), f.size());
    {
        std::lock_guard lock(QueueMutex);
        Queued.push_back({SendRequestFrame(), std::move(own)});
        QueueSent = false;
    }
    Wake();
}

void ConnectionWorker::QueueFrame(QByteArray frame) {
    QByteArray own = OwnCopy(frame);
    frame = QByteArray();
    {
        std::lock_guard lock(QueueMutex);
        Queued.push_back({std::move(own), std::nullopt});
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
                if (Queued.empty() && !QueueSent) {
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
            // The list is in place before the peer can answer the request.
            if (item.Files) Sender.Requested(*item.Files);
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

void ConnectionWorker::ReadAvailable() {
    // Set before the bytes leave the connection, cleared once they are handled.
    Handling = true;
    struct Handled {
        std::atomic<bool>& Flag;
        ~Handled() { Flag = false; }
    } handled{Handling};
    Reader.Fill();
    // Once the end is asked for, nothing more is handled: the connection is
    // going, and the owner may be waiting for this thread. A frame leaves the
    // reader before it is handled, so a failing handler consumes its own
    // frame only.
    while (!TerminateRequested()) {
        const std::optional<Frame> frame = Reader.Next();
        if (!frame) return;
        Dispatch(*frame);
    }
}

void ConnectionWorker::Dispatch(const Frame& frame) {
    const FrameHeader& h = frame.Header;
    // Kind and Type come from the peer: values outside the catalogue are ignored.
    if (!IsKnownKind(h.Kind) || h.Type >= TypeCount) return;
    const auto kind = static_cast<Kind>(h.Kind);
    const auto type = static_cast<Type>(h.Type);
    const QByteArray& payload = frame.Payload;

    switch (type) {
    case Type::Chat:
        if (kind == Kind::Notice) ProcessChat(payload);
        return;
    case Type::NameExchange:
    case Type::Version:
    case Type::Compress:
    case Type::Resume:
        if (kind == Kind::Request) HandshakeRequest(type, payload);
        if (kind == Kind::Reply) HandshakeReply(type, payload);
        return;
    case Type::Disconnect:
        return; // the closing connection tells
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
        if (h.Slot == FSide)
            Receiver.Process(kind, type, payload);
        else if (h.Slot == 1 - FSide)
            Sender.Process(kind, type, payload);
        return;
    }
}

void ConnectionWorker::HandshakeRequest(Type type, const QByteArray& payload) {
    ConnectStage stage = ConnectStage::Idle;
    QString userName;
    bool useCompress = false;
    bool useResume = false;
    Synchronize([&] {
        stage = Host.Stage();
        userName = Host.UserName();
        useCompress = Host.UseCompress();
        useResume = Host.UseResume();
    });
    const QByteArray text = PayloadText(payload);
    const auto failed = [&] { Synchronize([&] { Host.SetHandshakeFailed(); }); };

    switch (type) {
    case Type::Version:
        if (stage != ConnectStage::Opened) return failed();
        Send(BuildFrame(ControlSlot, Kind::Reply, Type::Version, Format::FmtNumber,
                        NumberPayload(ProtocolVersion)));
        Synchronize([&] { Host.SetStage(ConnectStage::VersionAgreed); });
        if (!IsOurVersion(text)) failed();
        return;
    case Type::NameExchange: {
        if (stage != ConnectStage::VersionAgreed) return failed();
        Send(NameExchangeFrame(true, userName));
        const QString peer = FromShiftJis(text);
        // The name is in place before the stage that lets the other thread read it.
        Synchronize([&] {
            Host.SetPeerName(peer);
            Host.SetStage(ConnectStage::NamesExchanged);
        });
        return;
    }
    case Type::Compress:
        if (stage != ConnectStage::NamesExchanged) return failed();
        Send(CompressFrame(true, useCompress));
        Progress->CompressOn = useCompress && IsFlagOn(text);
        Synchronize([&] { Host.SetStage(ConnectStage::CompressAgreed); });
        return;
    case Type::Resume:
        if (stage != ConnectStage::CompressAgreed) return failed();
        Send(ResumeFrame(true, useResume));
        FResumeOn = useResume && IsFlagOn(text);
        Synchronize([&] { Host.SetStage(ConnectStage::Connected); });
        return;
    case Type::FileName: // not a handshake frame
    case Type::Chat:
    case Type::FileSize:
    case Type::LastIndex:
    case Type::ResumeOffset:
    case Type::SendAccept:
    case Type::Checksum:
    case Type::FileData:
    case Type::Ack:
    case Type::Disconnect:
    case Type::SendRequest:
    case Type::End:
    case Type::Cancel:
        return;
    }
}

void ConnectionWorker::HandshakeReply(Type type, const QByteArray& payload) {
    ConnectStage stage = ConnectStage::Idle;
    bool useCompress = false;
    bool useResume = false;
    Synchronize([&] {
        stage = Host.Stage();
        useCompress = Host.UseCompress();
        useResume = Host.UseResume();
    });
    const QByteArray text = PayloadText(payload);

    switch (type) {
    case Type::Version:
        if (stage != ConnectStage::Opened) return;
        if (IsOurVersion(text))
            Synchronize([&] { Host.SetStage(ConnectStage::VersionAgreed); });
        else
            Synchronize([&] { Host.SetHandshakeFailed(); });
        return;
    case Type::NameExchange: {
        if (stage != ConnectStage::VersionAgreed) return;
        const QString peer = FromShiftJis(text);
        Synchronize([&] {
            Host.SetPeerName(peer);
            Host.SetStage(ConnectStage::NamesExchanged);
        });
        return;
    }
    case Type::Compress:
        if (stage != ConnectStage::NamesExchanged) return;
        Progress->CompressOn = useCompress && IsFlagOn(text);
        Synchronize([&] { Host.SetStage(ConnectStage::CompressAgreed); });
        return;
    case Type::Resume:
        if (stage != ConnectStage::CompressAgreed) return;
        FResumeOn = useResume && IsFlagOn(text);
        Synchronize([&] { Host.SetStage(ConnectStage::Connected); });
        return;
    case Type::FileName: // not a handshake frame
    case Type::Chat:
    case Type::FileSize:
    case Type::LastIndex:
    case Type::ResumeOffset:
    case Type::SendAccept:
    case Type::Checksum:
    case Type::FileData:
    case Type::Ack:
    case Type::Disconnect:
    case Type::SendRequest:
    case Type::End:
    case Type::Cancel:
        return;
    }
}

void ConnectionWorker::ProcessChat(const QByteArray& payload) {
    const QString text = FromShiftJis(PayloadText(payload));
    Synchronize([&] { Host.ShowChat(Host.PeerName(), text); });
}

} // namespace relvane
