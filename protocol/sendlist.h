#pragma once
// Checks on the files a user chose to send, made before the list goes out:
// every file must fit the protocol (a size in signed 32 bits, a bare name of
// at most 255 bytes in Shift-JIS that Shift-JIS can hold).

#include <QString>
#include <QStringList>

namespace relvane {

// The bare name sent for a path: the part after its last "/", "\" or ":".
[[nodiscard]] QString SendFileName(const QString& path);

// Empty when the list can be sent; otherwise the message to show, naming the
// first file that cannot be sent. The send action calls it before
// ConnectionWorker::RequestSend.
[[nodiscard]] QString CheckSendList(const QStringList& paths);

} // namespace relvane
