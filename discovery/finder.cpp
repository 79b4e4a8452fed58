#include "discovery/finder.h"

#include "discovery/datagram.h"
#include "discovery/udp.h"

#include <algorithm>

namespace relvane::discovery {

Finder::Finder(int port, const QStringList& targets, QObject* parent)
    : Finder(port, targets, RunId(), parent) {}

Finder::Finder(int port, const QStringList& targets, std::uint64_t id, QObject* parent)
    : QObject(parent), Port(port), Targets(targets), Id(id) {
    if (Targets.isEmpty()) {
        Targets = QString::fromLocal8Bit(qgetenv(TargetsVariable)).split(u',', Qt::SkipEmptyParts);
    }
    CollectTimer.setSingleShot(true);
    connect(&SendTimer, &QTimer::timeout, this, &Finder::SendQueries);
    connect(&CollectTimer, &QTimer::timeout, this, &Finder::Finish);
}

Finder::~Finder() = default;

int Finder::Start() {
    if (Running) return static_cast<int>(Sockets.size());
    Seen.clear();
    QueriesSent = 0;
    Running = true;

    // (bound to, asked)
    std::vector<std::pair<Ip4, Ip4>> plan;
    if (Targets.isEmpty()) {
        for (const Interface& i : BroadcastInterfaces())
            plan.emplace_back(i.Address, i.Broadcast);
    } else {
        for (const QString& text : Targets) {
            const auto target = ParseIp4(text);
            if (!target) continue;
            plan.emplace_back(IsLoopback(*target) ? Ip4{0x7F000001} : Ip4{0}, *target);
        }
    }
    if (Port >= 1 && Port <= 65535) {
        const auto receive = [this](QByteArrayView d, Ip4 from, std::uint16_t p) {
            Receive(d, from, p);
        };
        for (const auto& [bind, destination] : plan) {
            // On an interface the query goes from the port itself, so that the
            // answer comes back to it: a firewall that lets the port's UDP in
            // lets the answer in too (a stateful one cannot match an answer
            // from a peer's address to a query sent to a broadcast address).
            // Any free port when that one is taken, and for explicit targets,
            // where a responder of the same machine may hold the same address.
            std::unique_ptr<UdpSocket> socket;
            if (Targets.isEmpty())
                socket = UdpSocket::Open(bind, static_cast<std::uint16_t>(Port), true, receive);
            if (!socket) socket = UdpSocket::Open(bind, 0, true, receive);
            if (socket) Sockets.push_back({std::move(socket), destination});
        }
    }
    if (Sockets.empty()) {
        QTimer::singleShot(0, this, &Finder::Finish);
        return 0;
    }
    SendQueries();
    // Three queries spread over the first second, or over the first third
    // of a shorter search.
    SendTimer.start(std::min(QuerySpreadMs, CollectMs) / QueryCount);
    CollectTimer.start(CollectMs);
    return static_cast<int>(Sockets.size());
}

void Finder::Stop() {
    if (!Running) return;
    Running = false;
    SendTimer.stop();
    CollectTimer.stop();
    Retire();
}

void Finder::SendQueries() {
    if (!Running) return;
    const QByteArray query = EncodeQuery(Id);
    for (Asked& a : Sockets)
        a.Socket->SendTo(query, a.Destination, static_cast<std::uint16_t>(Port));
    if (++QueriesSent >= QueryCount) SendTimer.stop();
}

void Finder::Receive(QByteArrayView datagram, std::uint32_t from, std::uint16_t fromPort) {
    // A responder answers from the port it was asked on.
    if (!Running || fromPort != Port || Seen.size() >= std::size_t{MaxAnswers}) return;
    const auto answer = DecodeAnswer(datagram);
    if (!answer || answer->Id == Id) return;
    if (!Seen.emplace(from, answer->Port).second) return;
    emit found(answer->Name, FormatIp4(from), answer->Port);
}

void Finder::Finish() {
    if (!Running) return;
    Stop();
    emit finished(static_cast<int>(Seen.size()));
}

void Finder::Retire() {
    std::move(Sockets.begin(), Sockets.end(), std::back_inserter(Retired));
    Sockets.clear();
    QTimer::singleShot(0, this, [this] { Retired.clear(); });
}

} // namespace relvane::discovery
