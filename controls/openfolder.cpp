#include "controls/openfolder.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

namespace relvane {

namespace {

QString Location(QStandardPaths::StandardLocation location) {
    return QStandardPaths::writableLocation(location);
}

QString InHome(const QString& name) {
    return QDir::home().filePath(name);
}

// `path` when it is a folder, else its nearest existing ancestor; the home
// folder when there is none.
QString NearestFolder(const QString& path) {
    if (path.isEmpty()) return QDir::homePath();
    QFileInfo info(QDir::cleanPath(path));
    while (!info.isDir()) {
        const QString up = info.absolutePath();
        if (up == info.absoluteFilePath()) return QDir::homePath();
        info.setFile(up);
    }
    return info.absoluteFilePath();
}

QString Candidate(TBrowseDir dir) {
    switch (dir) {
    case TBrowseDir::bdAppData:
        return Location(QStandardPaths::GenericDataLocation);
    case TBrowseDir::bdBitBucket:
        return QDir(Location(QStandardPaths::GenericDataLocation))
            .filePath(QStringLiteral("Trash/files"));
    case TBrowseDir::bdCommonDeskTopDirectory: // no desktop shared by all users here
    case TBrowseDir::bdDeskTop:
    case TBrowseDir::bdDeskTopDirectory:
        return Location(QStandardPaths::DesktopLocation);
    case TBrowseDir::bdCommonPrograms:
    case TBrowseDir::bdCommonStartMenu:
        return QStringLiteral("/usr/share/applications");
    case TBrowseDir::bdCommonStartUp:
        return QStringLiteral("/etc/xdg/autostart");
    case TBrowseDir::bdDrives:
        return QStringLiteral("/");
    case TBrowseDir::bdFonts:
        return Location(QStandardPaths::FontsLocation);
    case TBrowseDir::bdPersonal:
        return Location(QStandardPaths::DocumentsLocation);
    case TBrowseDir::bdPrograms:
    case TBrowseDir::bdStartMenu:
        return Location(QStandardPaths::ApplicationsLocation);
    case TBrowseDir::bdStartUp:
        return QDir(Location(QStandardPaths::GenericConfigLocation))
            .filePath(QStringLiteral("autostart"));
    case TBrowseDir::bdTemplates:
        return InHome(QStringLiteral("Templates"));
    case TBrowseDir::bdControls: // nothing of these is a folder here
    case TBrowseDir::bdFavorites:
    case TBrowseDir::bdNetHood:
    case TBrowseDir::bdNetWork:
    case TBrowseDir::bdPrinters:
    case TBrowseDir::bdPrintHood:
    case TBrowseDir::bdRecent:
    case TBrowseDir::bdSendTo:
        break;
    }
    return QDir::homePath();
}

} // namespace

QString RootFolder(TBrowseDir dir) {
    // A folder that does not exist (no Desktop folder, say) leads up to one that does.
    return NearestFolder(Candidate(dir));
}

bool TOpenFolder::Browse() {
    auto* widgetOwner = qobject_cast<QWidget*>(parent());
    QWidget* owner = widgetOwner ? widgetOwner->window() : QApplication::activeWindow();
    const QString start =
        InitialFolder.isEmpty() ? RootFolder(OpenDir) : NearestFolder(InitialFolder);
    QFileDialog dialog(owner, Title, start);
    dialog.setObjectName(QStringLiteral("OpenFolderDialog"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setOption(QFileDialog::ShowDirsOnly, !Flags.testFlag(TBrowseFlag::bfBrowseIncludeFiles));
    // Network places of the desktop's dialog have no path to hand back.
    dialog.setSupportedSchemes({QStringLiteral("file")});
    if (dialog.exec() != QDialog::Accepted) return false;

    const QList<QUrl> chosen = dialog.selectedUrls();
    if (chosen.isEmpty() || !chosen.first().isLocalFile()) return false;
    const QFileInfo folder(chosen.first().toLocalFile());
    if (!folder.isDir()) return false;
    Directory = QDir::toNativeSeparators(folder.absoluteFilePath());
    return true;
}

} // namespace relvane
