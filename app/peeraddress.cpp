#include "app/peeraddress.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace relvane::app {

namespace {

bool AllDigits(const QString& text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

bool IsDottedQuad(const QString& text) {
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4) return false;
    for (const QString& part : parts) {
        // Leading zeros read as octal elsewhere: refused rather than guessed.
        if (!AllDigits(part) || part.size() > 3 || (part.size() > 1 && part.startsWith(u'0')) ||
            part.toInt() > 255)
            return false;
    }
    return true;
}

// Letters, digits and hyphens in labels of at most 63, no label starting or
// ending with a hyphen; a name of digits and dots only would be an address.
bool IsHostName(const QString& text) {
    static const QRegularExpression label(
        QStringLiteral("^[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    if (text.isEmpty() || text.size() > 253) return false;
    const QStringList labels = text.split(u'.');
    for (const QString& l : labels) {
        if (!label.match(l).hasMatch()) return false;
    }
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    return !digits.match(labels.back()).hasMatch();
}

} // namespace

std::optional<TPeerAddress> ParsePeerAddress(const QString& typed) {
    const QString text = typed.trimmed();
    TPeerAddress peer;
    peer.Host = text;
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon >= 0) {
        peer.Host = text.left(colon);
        const QString port = text.mid(colon + 1);
        if (!AllDigits(port) || port.size() > 5) return std::nullopt;
        peer.Port = port.toInt();
        if (peer.Port < 1 || peer.Port > 65535) return std::nullopt;
    }
    if (IsDottedQuad(peer.Host)) return peer;
    if (!IsHostName(peer.Host)) return std::nullopt;
    peer.IsHostName = true;
    return peer;
}

QString MsgNotAnAddressOrHost(const QString& text) {
    return QStringLiteral("「%1」は IP アドレスでもホスト名でもありません。\r\n"
                          "192.168.0.5 や pc-name のように入力してください"
                          "（ポートを変えるときは 192.168.0.5:2010 のように）。")
        .arg(text);
}

QString MsgHostNotFound(const QString& host) {
    return QStringLiteral("ホスト名 %1 の IPv4 アドレスが見つかりません").arg(host);
}

} // namespace relvane::app
