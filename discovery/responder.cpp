#include "discovery/responder.h"

#include "discovery/datagram.h"
#include "discovery/udp.h"

namespace relvane::discovery {

Responder::Responder(int port, const QString& userName, const QStringList& bindAddresses,
                     QObject* parent)
    : Responder(port, userName, bindAddresses, RunId(), parent) {}

Responder::Responder(int port, const QString& userName, const QStringList& bindAddresses,
                     std::uint64_t id, QObject* parent)
    : QObject(parent), Port(port), BindAddresses(bindAddresses), Id(id), Name(userName) {}

Responder::~Responder() = default;

void Responder::SetUserName(const QString& name) {
    Name = name;
    if (!Sockets.empty()) AnswerBytes = EncodeAnswer(Id, Name, ActivePort);
}

bool Responder::SetActive(bool active) {
    if (!active) {
        Sockets.clear();
        return false;
    }
    if (!Sockets.empty()) return true;
    if (Port < 1 || Port > 65535) return false;
    const auto port = static_cast<std::uint16_t>(Port);
    ActivePort = port;
    AnswerBytes = EncodeAnswer(Id, Name, port);

    std::vector<Ip4> binds;
    for (const QString& text : BindAddresses) {
        if (const auto a = ParseIp4(text)) binds.push_back(*a);
    }
    if (BindAddresses.isEmpty()) binds.push_back(0); // every address, broadcasts included
    for (const Ip4 bind : binds) {
        // Sockets live in a vector that may grow: the receiver finds its socket
        // by position when called, not by a pointer taken now.
        const std::size_t index = Sockets.size();
        auto socket = UdpSocket::Open(bind, port, false,
                                      [this, index](QByteArrayView d, Ip4 from, std::uint16_t p) {
                                          Answer(*Sockets[index], d, from, p);
                                      });
        if (socket) Sockets.push_back(std::move(socket));
    }
    return !Sockets.empty();
}

void Responder::Answer(UdpSocket& socket, QByteArrayView datagram, std::uint32_t from,
                       std::uint16_t fromPort) {
    const auto query = DecodeQuery(datagram);
    if (!query || query->Id == Id || fromPort == 0 || !IsSingleHost(from)) return;
    if (!Window.isValid() || Window.elapsed() >= 1000) {
        Window.start();
        AnswersInWindow = 0;
    }
    if (AnswersInWindow >= MaxAnswersPerSecond) return;
    ++AnswersInWindow;
    socket.SendTo(AnswerBytes, from, fromPort);
}

} // namespace relvane::discovery
