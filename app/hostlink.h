#pragma once
// How the main window hosts the worker of each connection (main window
// internals, shared by its source files).

#include "app/consts.h"
#include "app/mainform.h"
#include "app/messagebox.h"
#include "protocol/worker.h"

#include <memory>

namespace relvane::app {

// The worker's host for one connection. While the connection is in use it
// passes every call to the main window; once the connection has ended it is
// detached, and whatever the ended worker still asks reaches nothing.
class TMainForm::THostLink final : public IWorkerHost {
public:
    explicit THostLink(TMainForm& form) : Form(form) {}

    void Detach() { Attached = false; }

    QObject* UiContext() override { return &Form; }
    QString UserName() override { return Form.UserName(); }
    bool UseCompress() override { return Form.UseCompress(); }
    bool UseResume() override { return Form.UseResume(); }
    QString ReceiveFolder() override { return Form.ReceiveFolder(); }
    // -1 matches no stage: a detached worker's handshake goes nowhere.
    ConnectStage Stage() override { return Attached ? Form.Stage() : static_cast<ConnectStage>(255); }
    void SetStage(ConnectStage stage) override {
        if (Attached) Form.SetStage(stage);
    }
    void SetHandshakeFailed() override {
        if (Attached) Form.SetHandshakeFailed();
    }
    void SetPeerName(const QString& name) override {
        if (Attached) Form.SetPeerName(name);
    }
    QString PeerName() override { return Form.PeerName(); }
    void ShowChat(const QString& peerName, const QString& text) override {
        if (Attached) Form.ShowChat(peerName, text);
    }
    void ShowError(const Error& error) override {
        if (!Attached) return;
        ShowErrorMessage(&Form, error.Message());
        // The connection may have ended while the box was open; then there
        // is nothing left to reset.
        if (Attached && !error.KeepsConnection()) Form.ResetConnection();
    }
    void ShowRecvWindow() override {
        if (Attached) Form.ShowRecvWindow();
    }
    void HideRecvWindow() override {
        if (Attached) Form.HideRecvWindow();
    }
    void ShowRecvCount(int fileCount) override {
        if (Attached) Form.ShowRecvCount(fileCount);
    }
    void ShowRecvName(const QString& name) override {
        if (Attached) Form.ShowRecvName(name);
    }
    void ShowSendWindow(const QStringList& files) override {
        if (Attached) Form.ShowSendWindow(files);
    }
    void ShowSendName(const QString& path) override {
        if (Attached) Form.ShowSendName(path);
    }
    void HideSendWindow() override {
        if (Attached) Form.HideSendWindow();
    }
    void EnableSend() override {
        if (Attached) Form.EnableSend();
    }
    void FileReceived(const QString& path) override {
        if (Attached) Form.FileReceived(path);
    }
    void ListSent() override {
        if (Attached) Form.ListSent();
    }
    void ListReceived() override {
        if (Attached) Form.ListReceived();
    }

private:
    TMainForm& Form;
    bool Attached = true;
};

struct TMainForm::TWorkerEntry {
    std::unique_ptr<THostLink> Link;
    std::unique_ptr<ConnectionWorker> Thread; // declared last: destroyed before its link
};

} // namespace relvane::app
