// The worker's events: handed to the context's thread in order, the small
// ones of a list of files together, and every list that started ended.

#include "protocol/worker.h"

#include "protocol/texts.h"

#include <QMetaObject>

#include <algorithm>

namespace relvane {

namespace {

// How long noted calls may wait for the next hand-over at most: the eye does
// not see the difference in a status window.
constexpr auto NotesDelay = std::chrono::milliseconds(20);

} // namespace

// ---- Events

void ConnectionWorker::Post(std::function<void(IWorkerEvents&)> call, bool batched) {
    if (Context == nullptr || Context->thread() == QThread::currentThread()) {
        call(Events);
        return;
    }
    {
        std::lock_guard lock(Pending->M);
        if (Pending->Calls.empty() && !Pending->Posted)
            NotesPostedAt = std::chrono::steady_clock::now();
        Pending->Calls.push_back(std::move(call));
    }
    if (!batched) PostNotes();
}

void ConnectionWorker::Notes::Run() {
    std::vector<std::function<void(IWorkerEvents&)>> calls;
    IWorkerEvents* events = nullptr;
    {
        std::lock_guard lock(M);
        calls.swap(Calls);
        Posted = false;
        events = Events;
    }
    if (events == nullptr) return;
    for (const auto& call : calls)
        call(*events);
}

void ConnectionWorker::PostNotes() {
    if (Context == nullptr) return;
    {
        std::lock_guard lock(Pending->M);
        if (Pending->Calls.empty() || std::exchange(Pending->Posted, true)) return;
    }
    QMetaObject::invokeMethod(
        Context, [notes = Pending] { notes->Run(); }, Qt::QueuedConnection);
}

int ConnectionWorker::NotesDueInMs() {
    std::lock_guard lock(Pending->M);
    if (Pending->Calls.empty() || Pending->Posted) return -1;
    const auto left = NotesPostedAt + NotesDelay - std::chrono::steady_clock::now();
    return static_cast<int>(
        std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

void ConnectionWorker::ListStarted(Direction direction, int count, const QStringList& files) {
    OpenList[static_cast<int>(direction)] = true;
    QStringList own;
    own.reserve(files.size());
    for (const QString& f : files)
        own << OwnCopy(f);
    Post([direction, count, own = std::move(own)](IWorkerEvents& e) {
        e.ListStarted(direction, count, own);
    });
}

void ConnectionWorker::FileStarted(Direction direction, const FileStart& file) {
    FileStart own = file;
    own.Name = OwnCopy(file.Name);
    Post([direction, own = std::move(own)](IWorkerEvents& e) { e.FileStarted(direction, own); },
         true);
}

void ConnectionWorker::FileEnded(Direction direction, int index, const QString& path) {
    Post([direction, index,
          path = OwnCopy(path)](IWorkerEvents& e) { e.FileEnded(direction, index, path); },
         true);
}

void ConnectionWorker::FileVerified(Direction direction, int index, const QString& path,
                                    const QByteArray& digest) {
    Post([direction, index, path = OwnCopy(path), digest = OwnCopy(digest)](
             IWorkerEvents& e) { e.FileVerified(direction, index, path, digest); },
         true);
}

void ConnectionWorker::ListDone(Direction direction) {
    EndList(direction, ListEnd{});
}

void ConnectionWorker::EndList(Direction direction, const ListEnd& end) {
    // A list that never started (the peer cancelled before its first frame)
    // ends all the same: the windows may show it already.
    OpenList[static_cast<int>(direction)] = false;
    ListEnd own = end;
    own.Text = OwnCopy(end.Text);
    Post([direction, own = std::move(own)](IWorkerEvents& e) { e.ListEnded(direction, own); });
}

void ConnectionWorker::Fail(ErrorKind kind, const QString& text) {
    if (Ended) return;
    Ended = true;
    for (const Direction d : {Direction::Send, Direction::Receive}) {
        if (OpenList[static_cast<int>(d)]) EndList(d, {Outcome::Failed, kind, text, false});
    }
    Post([kind, text = OwnCopy(text)](IWorkerEvents& e) { e.ConnectionFailed(kind, text); });
}

} // namespace relvane
