#pragma once
// Asks the local network which copies wait as servers on a port: the query
// goes to the broadcast address of every IPv4 interface that is up, is not
// loopback and has one (one socket per interface, bound to its address; a
// machine without a default route reaches nothing through 255.255.255.255),
// three times within the first second; answers are collected for two
// seconds. Routers do not pass these broadcasts: copies behind one are not
// found.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace relvane::discovery {

class UdpSocket;

// Names the addresses to ask instead of the interfaces' broadcast addresses
// (comma-separated dotted quads); tests set it to 127.0.0.1.
inline constexpr char TargetsVariable[] = "RELVANE_DISCOVERY_TARGETS";

class Finder : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultCollectMs = 2000;
    static constexpr int QueryCount = 3;
    static constexpr int QuerySpreadMs = 1000;
    // Answers beyond this many are dropped.
    static constexpr int MaxAnswers = 64;

    // Asks on UDP `port` (the TCP port of the settings). `targets` (dotted
    // quads) replace the interfaces' broadcast addresses; when empty,
    // RELVANE_DISCOVERY_TARGETS does if set. A loopback target is asked from
    // 127.0.0.1, so such a search never leaves the machine.
    explicit Finder(int port, const QStringList& targets = {}, QObject* parent = nullptr);
    // `id` is the run's: an answer from this very program is ignored.
    Finder(int port, const QStringList& targets, std::uint64_t id, QObject* parent = nullptr);
    ~Finder() override;

    void SetCollectMs(int ms) { CollectMs = ms; }

    // Starts a search unless one runs; returns the number of addresses asked.
    // With none (no usable interface), finished(0) follows at once.
    int Start();
    // Ends a running search without finished().
    void Stop();
    [[nodiscard]] bool IsRunning() const { return Running; }

signals:
    // Once per distinct answer (address and port); the address is the one
    // the answer came from, the port the TCP port the peer waits on.
    void found(const QString& name, const QString& address, int port);
    void finished(int count);

private:
    void SendQueries();
    void Receive(QByteArrayView datagram, std::uint32_t from, std::uint16_t fromPort);
    void Finish();
    void Retire();

    struct Asked {
        std::unique_ptr<UdpSocket> Socket;
        std::uint32_t Destination;
    };

    int Port;
    QStringList Targets;
    std::uint64_t Id;
    int CollectMs = DefaultCollectMs;
    bool Running = false;
    int QueriesSent = 0;
    std::vector<Asked> Sockets;
    // Sockets of an ended search, freed from the event loop: a search may end
    // inside one of their own callbacks.
    std::vector<Asked> Retired;
    std::set<std::pair<std::uint32_t, int>> Seen;
    QTimer SendTimer;
    QTimer CollectTimer;
};

} // namespace relvane::discovery
