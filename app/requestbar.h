#pragma once
// The bar the main window shows when a peer connects while this copy is idle
// but still listening after its last peer left: "<address> が接続を求めています"
// with "接続する" (the handshake, as "サーバー作成" runs it) and "断る" (the
// connection is closed). Not a modal box: the window stays usable.

#include <QFrame>

class QLabel;
class QPushButton;

namespace relvane::app {

class TRequestBar : public QFrame {
    Q_OBJECT
public:
    explicit TRequestBar(QWidget* parent = nullptr);

    // Shows the bar for the peer at `address` (the latest, when several come).
    void ShowRequest(const QString& address);
    [[nodiscard]] QString Text() const;

    QLabel* MessageLabel;
    QPushButton* AcceptButton;
    QPushButton* RefuseButton;

    static constexpr int BarHeight = 32;

signals:
    void accepted();
    void refused();
};

} // namespace relvane::app
