#include "protocol/worker.h"

#include "platform/sjis.h"
#include "protocol/handshake.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>

namespace relvane {

namespace {

// Bytes taken from the socket in one call. Whatever stays waiting beyond this
// is read in the next pass, after one pump step.
constexpr int ReadChunk = 256 * 1024;
// The pause of a pass on a quiet connection; a terminate request waits at most this long.
constexpr int QuietWaitMs = 20;

bool IsSlotType(Type type) {
    switch (type) {
    case Type::FileName:
    case Type::FileSize:
    case Type::LastIndex:
    case Type::ResumeOffset:
    case Type::Checksum:
    case Type::FileData:
    case Type::Ack:
    case Type::End:
    case Type::Cancel:
        return true;
    default:
        return false;
    }
}

// The handshake's Version payload as a number; anything that is not one is
// simply "not 5" there, never an error.
bool IsOurVersion(const QByteArray& text) {
    try {
        return ParseNumber(text) == ProtocolVersion;
    } catch (const EProtocolError&) {
        return false;
    }
}

} // namespace

ConnectionWorker::ConnectionWorker(IWorkerHost& host, std::shared_ptr<IConnection> socket, int side,
                               bool resumeOn, bool compressOn, QObject* parent)
    : QThread(parent), Host(host), Socket(std::move(socket)), FSide(side), FResumeOn(resumeOn),
      Progress(std::make_shared<TransferProgress>()) {
    Progress->CompressOn = compressOn;
}

ConnectionWorker::~ConnectionWorker() {
    RequestTerminate();
    if (!isRunning()) {
        (void)RunEnded.load(std::memory_order_acquire);
        return;
    }
    // The loop may be blocked in a synchronous call onto this very thread:
    // keep serving those calls until it has seen the request.
    QObject* ctx = Host.UiContext();
    const bool onUiThread = ctx != nullptr && ctx->thread() == QThread::currentThread();
    while (!wait(onUiThread ? 10 : 1000)) {
        if (onUiThread) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
    (void)RunEnded.load(std::memory_order_acquire); // everything run() did is ours now
}

void ConnectionWorker::Start() {
    start(QThread::TimeCriticalPriority);
}

void ConnectionWorker::RequestTerminate() {
    Terminated = true;
    requestInterruption();
}

void ConnectionWorker::run() {
    while (Pass(1)) {
    }
    // Partial files stay on disk under their ".Recv" names for a later resume.
    for (TransferSlot& slot : Slots) {
        if (slot.FileStream) {
            slot.FileStream->close();
            slot.FileStream.reset();
        }
    }
    RunEnded.store(true, std::memory_order_release);
}

bool ConnectionWorker::Pass(int idleWaitMs) {
    try {
        SendQueued();
        ReadAvailable();
        if (!TerminateRequested()) Pump();
    } catch (const Error& error) {
        Report(error);
    } catch (const std::exception& error) {
        Report(Error(QString::fromUtf8(error.what())));
    }
    const bool goOn = !TerminateRequested() && Socket->IsConnected();
    if (goOn && !PumpHasBlock() && ReadBuffer.size() < HeaderSize) {
        // With no transfer, no frame half read and no request outstanding,
        // only incoming data (which ends the wait at once) or the terminate
        // request can give this loop work: a quiet connection need not wake
        // a thousand times a second.
        const bool quiet = !Slots[0].InUse && !Slots[1].InUse && !HeaderRead &&
                           ReadBuffer.isEmpty() && !SendRequested.load();
        Socket->WaitReadable(quiet && idleWaitMs > 0 ? QuietWaitMs : idleWaitMs);
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
        [&fn, call, completion] {
            (void)call->Posted.load(std::memory_order_acquire);
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

void ConnectionWorker::RequestSend(const QStringList& files) {
    Progress->SendCancel = false;
    SendRequested = true;
    std::lock_guard lock(QueueMutex);
    RequestedFiles = files;
    Queued.push_back(SendRequestFrame());
}

void ConnectionWorker::QueueFrame(QByteArray frame) {
    std::lock_guard lock(QueueMutex);
    Queued.push_back(std::move(frame));
}

void ConnectionWorker::SendQueued() {
    for (;;) {
        QByteArray frame;
        {
            std::lock_guard lock(QueueMutex);
            if (Queued.empty()) return;
            frame = std::move(Queued.front());
            Queued.pop_front();
        }
        if (!SendWhole(frame)) return;
    }
}

bool ConnectionWorker::Send(std::uint8_t slot, Kind kind, Type type, Format format,
                          QByteArrayView payload) {
    return SendWhole(BuildFrame(slot, kind, type, format, payload));
}

bool ConnectionWorker::SendWhole(const QByteArray& frame, bool more) {
    for (;;) {
        const int n = static_cast<int>(frame.size());
        const int sent = more ? Socket->SendBytesMore(frame.constData(), n)
                              : Socket->SendBytes(frame.constData(), n);
        if (sent != -1) return sent > 0;
        // Would block: the whole frame again as soon as there is room. A
        // peer that never reads must not keep a terminating worker here.
        if (TerminateRequested() || !Socket->IsConnected()) return false;
        Socket->WaitWritable(100);
    }
}

void ConnectionWorker::ReadAvailable() {
    const int supply = Socket->BytesWaiting();
    if (supply > 0) {
        const int want = std::min(supply, ReadChunk);
        const auto kept = ReadBuffer.size();
        ReadBuffer.resize(kept + want);
        int got = 0;
        try {
            got = Socket->ReceiveBytes(ReadBuffer.data() + kept, want);
        } catch (...) {
            ReadBuffer.resize(kept);
            throw;
        }
        ReadBuffer.resize(kept + std::max(got, 0));
    }

    // Frames are parsed from the buffer; `at` is committed back to it however
    // the loop ends, so a failing handler consumes its own frame only.
    qsizetype at = 0;
    const auto commit = [&] {
        ReadBuffer.remove(0, at);
        at = 0;
    };
    try {
        // Once the end is asked for, nothing more is handled: the connection
        // is going, and the owner may be waiting for this thread.
        while (!TerminateRequested()) {
            if (!HeaderRead) {
                if (ReadBuffer.size() - at < HeaderSize) break;
                Pending = ParseHeader(ReadBuffer.constData() + at);
                at += HeaderSize;
                if (Pending.Length < 0 || Pending.Length > MaxPayload) {
                    const std::int32_t length = Pending.Length;
                    // Nothing after a false length can be trusted to be a header.
                    at = ReadBuffer.size();
                    Pending = FrameHeader{};
                    throw EProtocolError(QStringLiteral("不正なフレーム長 %1").arg(length));
                }
                HeaderRead = true;
                PayloadReceived = 0;
                Payload.clear();
            }
            const qsizetype missing = Pending.Length - PayloadReceived;
            const qsizetype take = std::min(missing, ReadBuffer.size() - at);
            if (take > 0) {
                if (Payload.isEmpty() && take == Pending.Length) {
                    Payload = ReadBuffer.mid(at, take);
                } else {
                    Payload.append(ReadBuffer.constData() + at, take);
                }
                at += take;
                PayloadReceived += static_cast<std::int32_t>(take);
            }
            if (PayloadReceived < Pending.Length) break; // the rest comes in a later pass

            // The frame leaves the pending state before it is handled, so an
            // error in its handler cannot leave the stream mid-frame.
            const FrameHeader header = Pending;
            const QByteArray payload = std::move(Payload);
            Payload = QByteArray();
            HeaderRead = false;
            PayloadReceived = 0;
            Pending = FrameHeader{};
            Dispatch(header, payload);
        }
    } catch (...) {
        commit();
        throw;
    }
    commit();
}

QByteArray ConnectionWorker::PayloadText(const QByteArray& payload) {
    const auto zero = payload.indexOf('\0');
    return zero < 0 ? payload : payload.left(zero);
}

void ConnectionWorker::Dispatch(const FrameHeader& header, const QByteArray& payload) {
    if (header.Type >= TypeCount) return;
    const auto type = static_cast<Type>(header.Type);
    if (IsSlotType(type) && header.Slot > 1) return;
    const bool toReceiver = header.Slot == FSide;   // frames of what we receive
    const bool toSender = header.Slot == 1 - FSide; // replies to what we send

    switch (header.Kind) {
    case static_cast<std::uint8_t>(Kind::Notice):
        switch (type) {
        case Type::Chat:
            ProcessChat(payload);
            return;
        case Type::Cancel:
            if (toReceiver)
                ProcessCancel(Slots[header.Slot]);
            else if (toSender)
                ProcessPeerCancelOfSend(Slots[header.Slot]);
            return;
        case Type::FileName:
            if (toReceiver) ProcessFileName(Slots[header.Slot], payload);
            return;
        case Type::FileSize:
            if (toReceiver) ProcessFileSize(Slots[header.Slot], payload);
            return;
        case Type::LastIndex:
            if (toReceiver) ProcessLastIndex(Slots[header.Slot], payload);
            return;
        case Type::Checksum:
            if (toReceiver) ProcessChecksum(Slots[header.Slot], payload);
            return;
        case Type::FileData:
            if (toReceiver) ProcessFileData(Slots[header.Slot], payload);
            return;
        case Type::End:
            if (toReceiver) ProcessEnd(Slots[header.Slot]);
            return;
        default:
            return;
        }
    case static_cast<std::uint8_t>(Kind::Request):
        switch (type) {
        case Type::NameExchange:
        case Type::Version:
        case Type::Compress:
        case Type::Resume:
            HandshakeRequest(type, payload);
            return;
        case Type::ResumeOffset:
            if (toReceiver) ProcessResumeOffsetRequest(Slots[header.Slot]);
            return;
        case Type::SendRequest:
            ProcessSendRequest();
            return;
        default:
            return;
        }
    case static_cast<std::uint8_t>(Kind::Reply):
        switch (type) {
        case Type::NameExchange:
        case Type::Version:
        case Type::Compress:
        case Type::Resume:
            HandshakeReply(type, payload);
            return;
        case Type::ResumeOffset:
            if (toSender) ProcessResumeOffsetReply(Slots[header.Slot], payload);
            return;
        case Type::SendAccept:
            ProcessSendAccept(payload);
            return;
        case Type::Ack:
            if (toSender) ProcessAck(Slots[header.Slot], payload);
            return;
        default:
            return;
        }
    default:
        return; // Kind 1 and above 3 are never sent
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
        Send(ControlSlot, Kind::Reply, Type::Version, Format::FmtNumber,
             NumberPayload(ProtocolVersion));
        Synchronize([&] { Host.SetStage(ConnectStage::VersionAgreed); });
        if (!IsOurVersion(text)) failed();
        return;
    case Type::NameExchange: {
        if (stage != ConnectStage::VersionAgreed) return failed();
        SendWhole(NameExchangeFrame(true, userName));
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
        SendWhole(CompressFrame(true, useCompress));
        Progress->CompressOn = useCompress && IsFlagOn(text);
        Synchronize([&] { Host.SetStage(ConnectStage::CompressAgreed); });
        return;
    case Type::Resume:
        if (stage != ConnectStage::CompressAgreed) return failed();
        SendWhole(ResumeFrame(true, useResume));
        FResumeOn = useResume && IsFlagOn(text);
        Synchronize([&] { Host.SetStage(ConnectStage::Connected); });
        return;
    default:
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
    default:
        return;
    }
}

void ConnectionWorker::ProcessChat(const QByteArray& payload) {
    const QString text = FromShiftJis(PayloadText(payload));
    Synchronize([&] { Host.ShowChat(Host.PeerName(), text); });
}

} // namespace relvane
