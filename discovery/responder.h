#pragma once
// Answers discovery queries while this copy waits as a server with no peer
// yet; otherwise it holds no socket and sends nothing. An answer goes only to
// the address and port that asked.
//
// Wiring: SetActive(state == SessionState::Listening) on every state change
// of the session, unless the user turned discovery off.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

namespace relvane::discovery {

class UdpSocket;

class Responder : public QObject {
    Q_OBJECT
public:
    // Listens on UDP `port` (the TCP port the copy waits on) of every address,
    // or of `bindAddresses` (dotted quads) only, as tests do. `id` is the
    // run's: a query from this very program is not answered.
    Responder(int port, const QString& userName, const QStringList& bindAddresses = {},
              QObject* parent = nullptr);
    Responder(int port, const QString& userName, const QStringList& bindAddresses, std::uint64_t id,
              QObject* parent = nullptr);
    ~Responder() override;

    // Opens (true) or closes (false) the sockets. Returns whether queries are
    // answered now: false when inactive, or when no socket could be bound (the
    // port taken by a program that does not share it); the copy then simply
    // cannot be found, the TCP side is unaffected.
    bool SetActive(bool active);
    [[nodiscard]] bool IsActive() const { return !Sockets.empty(); }

    // For changed settings. The port takes effect at the next activation,
    // the name at once.
    void SetPort(int port) { Port = port; }
    void SetUserName(const QString& name);

    // Answers per second at most: a flood of queries (perhaps with a forged
    // sender) costs reading and dropping, not one answer each.
    static constexpr int MaxAnswersPerSecond = 16;

private:
    void Answer(UdpSocket& socket, QByteArrayView datagram, std::uint32_t from,
                std::uint16_t fromPort);

    int Port;
    QStringList BindAddresses;
    std::uint64_t Id;
    QString Name;
    std::uint16_t ActivePort = 0;
    QByteArray AnswerBytes; // built on activation
    std::vector<std::unique_ptr<UdpSocket>> Sockets;
    QElapsedTimer Window;
    int AnswersInWindow = 0;
};

} // namespace relvane::discovery
