#include "app/settings.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

#include <optional>

namespace relvane::app {

namespace {

const QString SectionSetting = QStringLiteral("Setting");
const QString SectionStatus = QStringLiteral("Status");
const QString SectionHistory = QStringLiteral("History");

QString HistoryKey(int i) {
    return QStringLiteral("IP%1").arg(i);
}

std::optional<int> DecodeInt(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? std::optional<int>(value) : std::nullopt;
}

// One to eight hexadecimal digits.
std::optional<std::uint32_t> DecodeColour(const QString& text) {
    if (text.isEmpty() || text.size() > 8) return std::nullopt;
    bool ok = false;
    const uint value = text.toUInt(&ok, 16);
    return ok ? std::optional<std::uint32_t>(value) : std::nullopt;
}

int DecodeGradation(const QString& text) {
    const std::optional<int> value = DecodeInt(text);
    if (!value) return 2;
    return *value >= 0 && *value <= 2 ? *value : 0;
}

QString EncodeSwitch(bool on) {
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

QString WithSeparator(QString folder) {
    if (!folder.endsWith(u'/')) folder += u'/';
    return folder;
}

} // namespace

bool DecodeSwitch(const QString& text) {
    return text == u"1";
}

QString EncodeColour(std::uint32_t colour) {
    return QString::number(colour, 16).toUpper().rightJustified(6, u'0');
}

QString DefaultSettingsFile() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("Varnel.ini"));
}

// A folder whose files the system runs by name: a peer's file must never
// land there, even for a user (root) who may write to it.
bool IsCommandFolder(const QString& folder) {
    const QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    if (path.startsWith(u"/usr/") || path.startsWith(u"/opt/") || path == u"/bin" ||
        path == u"/sbin")
        return true;
    const QStringList searched = qEnvironmentVariable("PATH").split(u':', Qt::SkipEmptyParts);
    return std::any_of(searched.begin(), searched.end(),
                       [&](const QString& p) { return QDir::cleanPath(p) == path; });
}

QString DefaultReceiveFolder(const QString& programFolder) {
    const QFileInfo program(programFolder);
    if (program.isDir() && program.isWritable() && !IsCommandFolder(programFolder))
        return WithSeparator(program.absoluteFilePath());
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!downloads.isEmpty() && QFileInfo(downloads).isDir()) return WithSeparator(downloads);
    return WithSeparator(QDir::homePath());
}

void LoadSettings(const TProfileFile& file, TSettings& s, const QString& programFolder) {
    const auto read = [&](const QString& section, const QString& key, const QString& def) {
        return file.ReadString(section, key, def);
    };
    s.SaveSettings = true;
    s.UserName = read(SectionSetting, QStringLiteral("UserName"), QStringLiteral("NoName"));

    // A port that is no port counts as none, like an empty key.
    const std::optional<int> port = DecodeInt(read(SectionSetting, QStringLiteral("PortNo"), {}));
    if (port && *port >= 1 && *port <= 65535) {
        s.Port = *port;
    } else {
        s.SaveSettings = false;
    }

    const QString folder = read(SectionSetting, QStringLiteral("ReceivePath"), {});
    if (!folder.isEmpty()) {
        s.ReceiveFolder = folder;
    } else {
        s.SaveSettings = false;
        s.ReceiveFolder = DefaultReceiveFolder(programFolder);
    }

    s.InTaskBar =
        DecodeSwitch(read(SectionSetting, QStringLiteral("InTaskBar"), QStringLiteral("1")));
    s.UseCompress =
        DecodeSwitch(read(SectionSetting, QStringLiteral("UseCompress"), QStringLiteral("1")));
    s.UseResume =
        DecodeSwitch(read(SectionSetting, QStringLiteral("UseResume"), QStringLiteral("1")));
    s.ShowToolbar =
        DecodeSwitch(read(SectionSetting, QStringLiteral("ShowToolbar"), QStringLiteral("1")));
    s.AnswerDiscovery =
        DecodeSwitch(read(SectionSetting, QStringLiteral("AnswerDiscovery"), QStringLiteral("1")));
    s.OverwriteExisting =
        DecodeSwitch(read(SectionSetting, QStringLiteral("Overwrite"), QStringLiteral("0")));
    s.DesktopNotices =
        DecodeSwitch(read(SectionSetting, QStringLiteral("Notify"), QStringLiteral("1")));
    s.Extensions =
        DecodeSwitch(read(SectionSetting, QStringLiteral("Extensions"), QStringLiteral("1")));

    const auto colour = [&](const QString& key, std::uint32_t def) {
        return DecodeColour(read(SectionStatus, key, EncodeColour(def))).value_or(def);
    };
    s.StartColor1 = colour(QStringLiteral("StartColor1"), 0xFFFFFF);
    s.StartColor2 = colour(QStringLiteral("StartColor2"), 0xFFFFFF);
    s.EndColor1 = colour(QStringLiteral("EndColor1"), 0x00FF00);
    s.EndColor2 = colour(QStringLiteral("EndColor2"), 0x8888FF);

    s.Gradation1 =
        DecodeGradation(read(SectionStatus, QStringLiteral("Gradation1"), QStringLiteral("2")));
    s.Gradation2 =
        DecodeGradation(read(SectionStatus, QStringLiteral("Gradation2"), QStringLiteral("2")));
    s.Anime =
        DecodeInt(read(SectionStatus, QStringLiteral("Anime"), QStringLiteral("1"))).value_or(1);

    for (int i = 0; i < HistorySize; ++i) {
        s.AddressHistory[static_cast<std::size_t>(i)] = read(SectionHistory, HistoryKey(i), {});
    }
}

void WriteSettings(TProfileFile& file, const TSettings& s) {
    file.WriteString(SectionSetting, QStringLiteral("UserName"), s.UserName);
    if (s.SaveSettings) {
        file.WriteString(SectionSetting, QStringLiteral("PortNo"), QString::number(s.Port));
        file.WriteString(SectionSetting, QStringLiteral("ReceivePath"), s.ReceiveFolder);
        for (int i = 0; i < HistorySize; ++i) {
            file.WriteString(SectionHistory, HistoryKey(i),
                             s.AddressHistory[static_cast<std::size_t>(i)]);
        }
    } else {
        // Present but empty, so that the next start reads SaveSettings false again.
        file.WriteString(SectionSetting, QStringLiteral("PortNo"), {});
        file.WriteString(SectionSetting, QStringLiteral("ReceivePath"), {});
        for (int i = 0; i < HistorySize; ++i)
            file.WriteString(SectionHistory, HistoryKey(i), {});
    }
    file.WriteString(SectionSetting, QStringLiteral("InTaskBar"), EncodeSwitch(s.InTaskBar));
    file.WriteString(SectionSetting, QStringLiteral("UseCompress"), EncodeSwitch(s.UseCompress));
    file.WriteString(SectionSetting, QStringLiteral("UseResume"), EncodeSwitch(s.UseResume));
    file.WriteString(SectionSetting, QStringLiteral("ShowToolbar"), EncodeSwitch(s.ShowToolbar));
    // A newer key, after the keys the file has always held: their order in
    // [Setting] stays as it was.
    file.WriteString(SectionSetting, QStringLiteral("AnswerDiscovery"),
                     EncodeSwitch(s.AnswerDiscovery));
    file.WriteString(SectionSetting, QStringLiteral("Overwrite"),
                     EncodeSwitch(s.OverwriteExisting));
    file.WriteString(SectionSetting, QStringLiteral("Notify"), EncodeSwitch(s.DesktopNotices));
    file.WriteString(SectionSetting, QStringLiteral("Extensions"), EncodeSwitch(s.Extensions));
    file.WriteString(SectionStatus, QStringLiteral("StartColor1"), EncodeColour(s.StartColor1));
    file.WriteString(SectionStatus, QStringLiteral("StartColor2"), EncodeColour(s.StartColor2));
    file.WriteString(SectionStatus, QStringLiteral("EndColor1"), EncodeColour(s.EndColor1));
    file.WriteString(SectionStatus, QStringLiteral("EndColor2"), EncodeColour(s.EndColor2));
    file.WriteString(SectionStatus, QStringLiteral("Gradation1"), QString::number(s.Gradation1));
    file.WriteString(SectionStatus, QStringLiteral("Gradation2"), QString::number(s.Gradation2));
    file.WriteString(SectionStatus, QStringLiteral("Anime"), QString::number(s.Anime));
}

} // namespace relvane::app
