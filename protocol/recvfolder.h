#pragma once
// The receive folder as the receiver touches it: every entry opened relative
// to the folder, no part of a name followed through a link. A link planted
// in the folder (name.Recv pointing elsewhere, a sub-folder that is a link)
// is refused, never written through.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

class QFile;

namespace relvane {

class RecvFolder {
public:
    explicit RecvFolder(const QString& path);
    ~RecvFolder();
    RecvFolder(const RecvFolder&) = delete;
    RecvFolder& operator=(const RecvFolder&) = delete;

    // Where the entry `name` lives, given as "/"-separated parts below the
    // folder: the sub-folders are entered (and made, when `create`) without
    // following a link. False when they cannot be.
    bool Enter(const QStringList& folders, bool create);
    // Below the folder entered last.
    // Size of a regular file entry; -1 when there is none (or it is a link,
    // a folder, anything else).
    [[nodiscard]] std::int64_t FileSize(const QString& name) const;
    [[nodiscard]] bool Exists(const QString& name) const;
    // Opens a regular file entry for reading and writing (`truncate`: made
    // empty, created when missing); nothing when it is a link or cannot be.
    [[nodiscard]] std::unique_ptr<QFile> Open(const QString& name, bool truncate) const;
    // Renames within the folder entered; replaces `to` only when `replace`.
    bool Rename(const QString& from, const QString& to, bool replace) const;
    // The entered folder's path, for messages and the program's lists.
    [[nodiscard]] QString PathOf(const QString& name) const;

private:
    QString Root;
    QString Here; // Root and the parts entered
    int RootFd = -1;
    int HereFd = -1;
};

} // namespace relvane
