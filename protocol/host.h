#pragma once
// What the connection worker asks of the program. The desktop program's main
// window, the headless peer and the tests each implement it. Every call is
// made from the worker through ConnectionWorker::Synchronize, so it runs on the
// thread of UiContext() (the user-interface thread) while the worker waits.

#include "platform/error.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace relvane {

// The connection stage (`ConnectStage`). The handshake moves it 1, 2, 3, 5, 4;
// the values are those numbers wherever a stage is shown or stored.
enum class ConnectStage : std::uint8_t {
    Idle = 0,
    Opened = 1,        // connection made; the Version step is next
    VersionAgreed = 2, // the user names are next
    NamesExchanged = 3,
    CompressAgreed = 5, // the resume switch is last
    Connected = 4,
};

class IWorkerHost {
public:
    virtual ~IWorkerHost() = default;

    // The object on whose thread the calls below run; nullptr runs them
    // directly on the calling thread (fakes, the fuzz target).
    [[nodiscard]] virtual QObject* UiContext() = 0;

    // Settings read during the handshake and while receiving.
    [[nodiscard]] virtual QString UserName() = 0;
    [[nodiscard]] virtual bool UseCompress() = 0;
    [[nodiscard]] virtual bool UseResume() = 0;
    [[nodiscard]] virtual QString ReceiveFolder() = 0;

    [[nodiscard]] virtual ConnectStage Stage() = 0;
    virtual void SetStage(ConnectStage stage) = 0;
    virtual void SetHandshakeFailed() = 0;
    virtual void SetPeerName(const QString& name) = 0;
    [[nodiscard]] virtual QString PeerName() = 0;

    // A chat line from the peer: show the chat window, append the line.
    virtual void ShowChat(const QString& peerName, const QString& text) = 0;
    // An error caught by the worker. Unless error.KeepsConnection(), the
    // worker ends and the host releases the connection.
    virtual void ShowError(const Error& error) = 0;

    // Receive status window.
    virtual void ShowRecvWindow() = 0; // show it and mark the start time
    virtual void HideRecvWindow() = 0;
    virtual void ShowRecvCount(int fileCount) = 0; // that many "Unknown" entries
    virtual void ShowRecvName(const QString& name) = 0;

    // Send status window.
    virtual void ShowSendWindow(const QStringList& files) = 0; // fill, mark start, show
    virtual void ShowSendName(const QString& path) = 0;
    virtual void HideSendWindow() = 0;
    virtual void EnableSend() = 0;

    // Notifications beyond the windows, for the headless peer and the tests.
    virtual void FileReceived(const QString& /*path*/) {}
    virtual void ListSent() {}     // the peer accepted the end of a list
    virtual void ListReceived() {} // a whole list arrived
};

} // namespace relvane
