#pragma once
// The main window's side of discovery. "探す" asks the local networks which
// copies wait as servers on our port (discovery::Finder) and lists the
// answers right under the address field; choosing one puts its address in the
// field. Since a copy answers only on its own port, a found copy always waits
// on ours: the connect that follows uses our port, as it always does.
// The panel also answers other copies' searches while the session waits as a
// server (discovery::Responder), unless the settings turned that off.

#include "discovery/responder.h"
#include "session/session.h"

#include <QObject>
#include <QStringList>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QToolButton;
class QTreeWidget;

namespace relvane::discovery {
class Finder;
}

namespace relvane::app {

class TDiscoveryPanel : public QObject {
    Q_OBJECT
public:
    // The controls go on `panel`, the list right under `addressBox`.
    // `targets` replace the interfaces' broadcast addresses (tests; see
    // discovery::Finder, which also reads RELVANE_DISCOVERY_TARGETS).
    TDiscoveryPanel(relvane::Session& session, QComboBox* addressBox, QWidget* panel,
                    const QStringList& targets = {});
    ~TDiscoveryPanel() override;

    QPushButton* FindButton;  // "探す"; "探しています・・・" while it searches
    QFrame* ListFrame;        // under the address field, over the rows below it
    QTreeWidget* FoundList;   // name, address, port of each copy that answered
    QLabel* MessageLabel;     // "見つかりませんでした" and a hint, in place of the list
    QToolButton* CloseButton; // hides the list

    void FindButtonClick();
    // Puts the address of the found entry at `row` in the address field.
    void Choose(int row);
    void CloseList();
    [[nodiscard]] bool Searching() const;

    // Whether a copy waiting as a server answers other copies' searches.
    void SetAnswering(bool on);
    // Answers now: waiting as a server, answering on, the port bound.
    [[nodiscard]] bool AnswersNow() const { return Answerer.IsActive(); }

    // Told as a connection to `address` is attempted: true when it is the
    // address of a copy the last search found. Such an address enters the
    // history only once the connection is made (foundPeerReached); a typed
    // one enters as the attempt starts.
    bool HoldHistoryUntilReached(const QString& address);

signals:
    void foundPeerReached(const QString& address);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void StateChanged(relvane::SessionState state);
    void Found(const QString& name, const QString& address, int port);
    void Finished(int count);
    void ShowButton();

    relvane::Session& FSession;
    QComboBox* AddressBox;
    QStringList Targets;
    discovery::Finder* FFinder = nullptr;
    int Asked = 0;
    discovery::Responder Answerer;
    bool FAnswering = true;
    QStringList FoundAddresses;
    QString HeldAddress;
};

} // namespace relvane::app
