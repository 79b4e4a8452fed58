#include "protocol/recvfolder.h"

#include <QDir>
#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace relvane {

namespace {

QByteArray Local(const QString& name) {
    return QFile::encodeName(name);
}

} // namespace

RecvFolder::RecvFolder(const QString& path)
    : Root(path), Here(path),
      RootFd(::open(Local(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      HereFd(RootFd >= 0 ? ::fcntl(RootFd, F_DUPFD_CLOEXEC, 0) : -1) {}

RecvFolder::~RecvFolder() {
    if (HereFd >= 0) ::close(HereFd);
    if (RootFd >= 0) ::close(RootFd);
}

bool RecvFolder::Enter(const QStringList& folders, bool create) {
    if (HereFd >= 0) ::close(HereFd);
    HereFd = RootFd >= 0 ? ::fcntl(RootFd, F_DUPFD_CLOEXEC, 0) : -1;
    // Named whole even when a part of it is refused: messages show where
    // the file was meant to go.
    Here = Root;
    for (const QString& part : folders)
        Here = QDir(Here).filePath(part);
    for (const QString& part : folders) {
        if (HereFd < 0) return false;
        const QByteArray local = Local(part);
        int next =
            ::openat(HereFd, local.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create &&
            (::mkdirat(HereFd, local.constData(), 0777) == 0 || errno == EEXIST)) {
            next = ::openat(HereFd, local.constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        ::close(HereFd);
        HereFd = next;
    }
    return HereFd >= 0;
}

std::int64_t RecvFolder::FileSize(const QString& name) const {
    struct stat st {};
    if (HereFd < 0 || ::fstatat(HereFd, Local(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode)) {
        return -1;
    }
    return st.st_size;
}

bool RecvFolder::Exists(const QString& name) const {
    struct stat st {};
    return HereFd >= 0 && ::fstatat(HereFd, Local(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::unique_ptr<QFile> RecvFolder::Open(const QString& name, bool truncate) const {
    if (HereFd < 0) return nullptr;
    const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (truncate ? O_CREAT | O_TRUNC : 0);
    const int fd = ::openat(HereFd, Local(name).constData(), flags, 0666);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    auto file = std::make_unique<QFile>();
    // Unbuffered: the receiver gathers its blocks into large writes itself.
    if (!file->open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return nullptr;
    }
    return file;
}

bool RecvFolder::Rename(const QString& from, const QString& to, bool replace) const {
    if (HereFd < 0) return false;
    const QByteArray a = Local(from);
    const QByteArray b = Local(to);
    if (replace) return ::renameat(HereFd, a.constData(), HereFd, b.constData()) == 0;
    if (::renameat2(HereFd, a.constData(), HereFd, b.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: look first, then rename.
    if (Exists(to)) {
        errno = EEXIST;
        return false;
    }
    return ::renameat(HereFd, a.constData(), HereFd, b.constData()) == 0;
}

QString RecvFolder::PathOf(const QString& name) const {
    return QDir(Here).filePath(name);
}

} // namespace relvane
