#include "protocol/sendplan.h"

#include "protocol/frame.h"
#include "protocol/sendlist.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace relvane {

namespace {

// A path below the receive folder may be no longer than a path may be there.
constexpr qsizetype MaxPathBytes = 4096;

QString TooLargeForPeer(const QString& path) {
    return TooLargeText(path) +
           QStringLiteral("\r\n相手も TCP/IP Relvane のこの版なら 2GB 以上のファイルも送れます");
}

// The size of a regular file that can be opened for reading; -1 for anything
// else. Without blocking: a named pipe among the files is refused, not waited on.
qint64 ReadableSize(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular ? static_cast<qint64>(st.st_size) : -1;
}

// The files of `folder`, sorted, each with its path from the folder's parent.
void AddFolder(const QString& folder, SendPlan& plan) {
    const QDir top(folder);
    const QString base = QFileInfo(folder).fileName();
    QStringList found;
    // Links to folders are not entered: a loop would never end.
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext() && found.size() <= MaxListFiles)
        found << it.next();
    found.sort();
    for (const QString& file : found) {
        plan.Files << file;
        plan.Names << base + QLatin1Char('/') + top.relativeFilePath(file);
    }
}

} // namespace

SendPlan PlanSend(const QStringList& paths, Capabilities caps) {
    SendPlan plan;
    bool anyFolder = false;
    for (const QString& path : paths) {
        if (QFileInfo(path).isDir()) {
            anyFolder = true;
            AddFolder(path, plan);
        } else {
            plan.Files << path;
            plan.Names << SendFileName(path);
        }
    }
    if (plan.Files.size() > MaxListFiles) {
        plan.Refusal = QStringLiteral("一度に送れるのは %1 ファイルまでです").arg(MaxListFiles);
        return plan;
    }
    // Files chosen one by one go by their bare names, as to any peer.
    const bool folders = (caps & CapFolders) != 0 && anyFolder;
    if (!folders) plan.Names.clear();
    // A peer that follows the catalogue alone: the checks it always had.
    if (!folders && !(caps & CapBigFiles)) {
        plan.Refusal = CheckSendList(plan.Files);
        return plan;
    }
    if (plan.Files.isEmpty()) {
        plan.Refusal = CheckSendList(plan.Files);
        return plan;
    }
    QHash<QString, QString> seen; // name sent -> path
    for (qsizetype i = 0; i < plan.Files.size(); ++i) {
        const QString& path = plan.Files.at(i);
        const QString name = folders ? plan.Names.at(i) : SendFileName(path);
        const qint64 size = ReadableSize(path);
        if (size < 0) {
            plan.Refusal = CannotOpenText(path);
            return plan;
        }
        if (size > MaxSendSize && !(caps & CapBigFiles)) {
            plan.Refusal = TooLargeForPeer(path);
            return plan;
        }
        QString refusal;
        for (const QString& part : name.split(QLatin1Char('/'))) {
            if (!WireFileName(part, &refusal)) {
                plan.Refusal = refusal.replace(part, path);
                return plan;
            }
        }
        if (QFile::encodeName(name).size() >= MaxPathBytes) {
            plan.Refusal =
                QStringLiteral("ファイル %1 のパスは長すぎるため送信できません").arg(path);
            return plan;
        }
        if (const auto other = seen.constFind(name); other != seen.constEnd()) {
            plan.Refusal = QStringLiteral("同じ名前のファイルは一度に送信できません\r\n%1\r\n%2")
                               .arg(*other, path);
            return plan;
        }
        seen.insert(name, path);
    }
    return plan;
}

} // namespace relvane
