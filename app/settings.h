#pragma once
// The settings kept in "Varnel.ini", read one key at a time when the main
// window is created and written when it is destroyed.

#include "platform/profile.h"

#include <QString>

#include <array>
#include <cstdint>

namespace relvane::app {

constexpr int DefaultPort = 2010; // the endpoints' port in the main window's layout
constexpr int HistorySize = 5;

struct TSettings {
    QString UserName = QStringLiteral("NoName");
    int Port = DefaultPort;
    QString ReceiveFolder;
    // Port, receive folder and address history go to the file only when set.
    bool SaveSettings = false;
    bool InTaskBar = true;
    bool UseCompress = true;
    bool UseResume = true;
    bool ShowToolbar = true;
    // Whether a copy waiting as a server answers the "探す" of other copies;
    // a newer key, stored after the keys the file has always held.
    bool AnswerDiscovery = true;
    // "同名のファイルを上書きする": a received file replaces one of the same name
    // instead of arriving as "name (2).ext". A newer key.
    bool OverwriteExisting = false;
    // Desktop notices and the tray icon. A newer key.
    bool DesktopNotices = true;
    // With a copy of this program: files of any size, folders, verification.
    // A newer key.
    bool Extensions = true;
    // Colours as $00BBGGRR.
    std::uint32_t StartColor1 = 0xFFFFFF;
    std::uint32_t StartColor2 = 0xFFFFFF;
    std::uint32_t EndColor1 = 0x00FF00;
    std::uint32_t EndColor2 = 0x8888FF;
    int Gradation1 = 2;
    int Gradation2 = 2;
    int Anime = 1;
    std::array<QString, HistorySize> AddressHistory;
};

// "Varnel.ini" in the user's configuration folder.
[[nodiscard]] QString DefaultSettingsFile();

// The receive folder when the file names none, with a trailing separator:
// the program's folder when it can be written to, else the user's Downloads
// folder, else the home folder.
[[nodiscard]] QString DefaultReceiveFolder(const QString& programFolder);

// Reads every key in the file's order; a key that is missing or malformed
// reads as its default. `settings` holds the port to keep when "PortNo" is
// empty. `programFolder` feeds DefaultReceiveFolder.
void LoadSettings(const TProfileFile& file, TSettings& settings, const QString& programFolder);

// Writes every key; throws EProfileError ("%s に書き込めません") at the first
// key the file refuses.
void WriteSettings(TProfileFile& file, const TSettings& settings);

// Value texts, exposed for the tests.
[[nodiscard]] bool DecodeSwitch(const QString& text); // exactly "1"
[[nodiscard]] QString EncodeColour(std::uint32_t colour);

} // namespace relvane::app
