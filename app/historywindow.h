#pragma once
// "受信履歴": the receive history, newest first, with the date, the peer, the
// file, its size, how it ended and where it was stored; "フォルダを開く" opens
// the folder of the chosen entry (or the receive folder).

#include <QWidget>

#include <functional>

class QPushButton;
class QTreeWidget;

namespace relvane::app {

class THistoryStore;

class THistoryWindow : public QWidget {
    Q_OBJECT
public:
    THistoryWindow(THistoryStore& store, QString receiveFolder, QWidget* owner);

    // The folder "フォルダを開く" opens now.
    [[nodiscard]] QString FolderToOpen() const;
    // Replaces the desktop's file manager (tests).
    std::function<void(const QString& folder)> OpenFolder;

    QTreeWidget* List;
    QPushButton* OpenFolderButton;
    QPushButton* CloseButton;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Fill();

    THistoryStore& Store;
    QString ReceiveFolder;
};

} // namespace relvane::app
