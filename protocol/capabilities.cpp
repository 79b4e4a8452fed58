#include "protocol/capabilities.h"

#include "protocol/frame.h"

#include <QList>

namespace relvane {

namespace {

constexpr char Magic[] = "relvane/1";

struct Word {
    Capability Cap;
    const char* Text;
};
constexpr Word Words[] = {{CapBigFiles, "big"},
                          {CapFolders, "tree"},
                          {CapVerify, "sha256"},
                          {CapWindow, "window"},
                          {CapXxh128, "xxh128"}};

QByteArray Payload(Capabilities caps) {
    QByteArray text(Magic);
    for (const Word& w : Words) {
        if (caps & w.Cap) text += ' ' + QByteArray(w.Text);
    }
    return text;
}

} // namespace

QByteArray OfferFrame(bool reply, Capabilities offered) {
    return BuildFrame(ControlSlot, reply ? Kind::Reply : Kind::Request,
                      static_cast<Type>(OfferType), Format::FmtText, Payload(offered));
}

QByteArray ListModeFrame(Capabilities used) {
    return BuildFrame(ControlSlot, Kind::Notice, static_cast<Type>(ListModeType), Format::FmtText,
                      Payload(used));
}

QByteArray DigestFrame(std::uint8_t slot, const QByteArray& sha256) {
    return BuildFrame(slot, Kind::Notice, static_cast<Type>(DigestType), Format::FmtText,
                      sha256.toHex());
}

std::optional<Capabilities> ParseCapabilities(QByteArrayView payload) {
    // Small by design: anything longer is not an offer of ours.
    if (payload.size() > 256) return std::nullopt;
    const QList<QByteArray> words = payload.toByteArray().split(' ');
    if (words.isEmpty() || words.front() != Magic) return std::nullopt;
    Capabilities caps = 0;
    for (const QByteArray& word : words) {
        for (const Word& w : Words) {
            if (word == w.Text) caps |= w.Cap;
        }
    }
    return caps;
}

std::optional<QByteArray> ParseDigest(QByteArrayView payload, DigestKind kind) {
    if (payload.size() != 2 * DigestBytes(kind)) return std::nullopt;
    for (const char c : payload) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    }
    return QByteArray::fromHex(payload.toByteArray());
}

} // namespace relvane
