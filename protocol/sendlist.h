#pragma once
// Checks on the files a user chose to send, made before the list goes out:
// every file must fit the protocol (a size in signed 32 bits, a bare name of
// at most 255 bytes in Shift-JIS that Shift-JIS holds faithfully), the peer's
// file system must hold the name, and no two files of a list may share a bare
// name.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

namespace relvane {

// The bare name sent for a path: the part after its last "/", "\" or ":".
[[nodiscard]] QString SendFileName(const QString& path);

// The name a file is received under until it is complete: name + ".Recv",
// or, where that would not fit a directory entry, a cut of the name with a
// digest of it before ".Recv".
[[nodiscard]] QString PartialFileName(const QString& name);
// The longest name a local file system entry may have, in bytes.
constexpr int MaxLocalNameBytes = 255;

// The bare name's bytes on the wire, its JIS-form characters sent in their
// Windows forms (ToWindowsForms); nothing, and the message in *refusal, when
// the name cannot travel.
[[nodiscard]] std::optional<QByteArray> WireFileName(const QString& path, QString* refusal);
// What the sending user is told once for a list whose names go in their
// Windows forms ("a〜b.txt → a～b.txt" for each); empty when none do.
[[nodiscard]] QString WindowsFormsNotice(const QStringList& paths);

// The refusals of a file that cannot be read, or is 2 GiB or more.
[[nodiscard]] QString CannotOpenText(const QString& path);
[[nodiscard]] QString TooLargeText(const QString& path);
constexpr qint64 MaxSendSize = 0x7FFFFFFF; // sizes travel as signed 32 bits

// Empty when the list can be sent; otherwise the message to show: every file
// whose name Shift-JIS cannot hold, else the first file that cannot be sent. The send action calls
// it before ConnectionWorker::RequestSend.
[[nodiscard]] QString CheckSendList(const QStringList& paths);

} // namespace relvane
