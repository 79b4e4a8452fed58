#pragma once
// The folder picker (layout name TOpenFolder): the modal folder dialog,
// opened at InitialFolder (the folder in use) or else at the folder that
// OpenDir names, handing back the folder the user chose. Only folders of the
// file system can be chosen.

#include <QFlags>
#include <QObject>
#include <QString>

namespace relvane {

// The folder the dialog opens at. Each value names the nearest folder of
// this desktop (RootFolder tells which); where there is none, the home folder.
enum class TBrowseDir {
    bdAppData,
    bdBitBucket,
    bdCommonDeskTopDirectory,
    bdCommonPrograms,
    bdCommonStartMenu,
    bdCommonStartUp,
    bdControls,
    bdDeskTop,
    bdDeskTopDirectory,
    bdDrives,
    bdFavorites,
    bdFonts,
    bdNetHood,
    bdNetWork,
    bdPersonal,
    bdPrinters,
    bdPrintHood,
    bdPrograms,
    bdRecent,
    bdSendTo,
    bdStartMenu,
    bdStartUp,
    bdTemplates,
};

enum class TBrowseFlag {
    bfBrowseForComputer = 0x1000,  // computers only: no counterpart here, ignored
    bfBrowseForPrinter = 0x2000,   // printers only: no counterpart here, ignored
    bfBrowseIncludeFiles = 0x4000, // files are shown too (only folders can be chosen)
    bfDontGoBelowDomain = 0x0002,  // network browsing: ignored
    bfReturnFSAncestors = 0x0008,  // always so here
    bfReturnOnlyFSDirs = 0x0001,   // always so here
    bfStatusText = 0x0004,         // the dialog has no status line: ignored
};
Q_DECLARE_FLAGS(TBrowseFlags, TBrowseFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TBrowseFlags)

class TOpenFolder : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The folder chosen by the last successful Browse; it does not preselect.
    QString Directory;
    QString Title; // the dialog's caption
    TBrowseDir OpenDir = TBrowseDir::bdDeskTop;
    // Where the dialog opens (its nearest existing folder); OpenDir's folder
    // when empty.
    QString InitialFolder;
    TBrowseFlags Flags;

    // Shows the dialog modally; true with Directory set when the user chose a
    // folder, false with Directory unchanged when the user cancelled.
    bool Browse();
};

// The existing folder that `dir` stands for on this machine.
[[nodiscard]] QString RootFolder(TBrowseDir dir);

} // namespace relvane
