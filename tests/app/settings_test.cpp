// The settings store over the profile file, and the about box's memory line.

#include "app/settings.h"
#include "app/versionform.h"
#include "platform/memstatus.h"
#include "platform/profile.h"
#include "platform/sjis.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace relvane;
using namespace relvane::app;

namespace {

class SettingsTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString Path = Dir.filePath(QStringLiteral("Varnel.ini"));
    TProfileFile File{Path};

    TSettings Load() {
        TSettings s;
        LoadSettings(File, s, Dir.path());
        return s;
    }
    QStringList Lines() {
        QFile f(Path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        EXPECT_TRUE(bytes.endsWith("\r\n"));
        return FromShiftJis(bytes).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    }
};

TEST_F(SettingsTest, FirstStartWithoutAFileGivesEveryDefault) {
    const TSettings s = Load();
    EXPECT_EQ(s.UserName, u"NoName");
    EXPECT_EQ(s.Port, 2010);
    EXPECT_EQ(s.ReceiveFolder, Dir.path() + u'/');
    EXPECT_TRUE(s.InTaskBar);
    EXPECT_TRUE(s.UseCompress);
    EXPECT_TRUE(s.UseResume);
    EXPECT_TRUE(s.ShowToolbar);
    EXPECT_EQ(EncodeColour(s.StartColor1), u"FFFFFF");
    EXPECT_EQ(EncodeColour(s.StartColor2), u"FFFFFF");
    EXPECT_EQ(EncodeColour(s.EndColor1), u"00FF00");
    EXPECT_EQ(EncodeColour(s.EndColor2), u"8888FF");
    EXPECT_EQ(s.EndColor2 & 0xFF, 0xFFu) << "red is the low byte";
    EXPECT_EQ(s.Gradation1, 2);
    EXPECT_EQ(s.Gradation2, 2);
    EXPECT_EQ(s.Anime, 1);
    for (const QString& h : s.AddressHistory)
        EXPECT_TRUE(h.isEmpty());
    EXPECT_FALSE(s.SaveSettings);
    EXPECT_FALSE(QFile::exists(Path)) << "reading never creates the file";
}

TEST_F(SettingsTest, OnlyExactlyOneIsTrue) {
    EXPECT_TRUE(DecodeSwitch(QStringLiteral("1")));
    EXPECT_FALSE(DecodeSwitch(QStringLiteral("true")));
    EXPECT_FALSE(DecodeSwitch(QStringLiteral(" 1")));
    EXPECT_FALSE(DecodeSwitch(QStringLiteral("1 ")));
    EXPECT_FALSE(DecodeSwitch(QStringLiteral("01")));
    EXPECT_FALSE(DecodeSwitch(QString()));

    File.WriteString(QStringLiteral("Setting"), QStringLiteral("UseCompress"),
                     QStringLiteral("true"));
    File.WriteString(QStringLiteral("Setting"), QStringLiteral("UseResume"), QStringLiteral("yes"));
    File.WriteString(QStringLiteral("Setting"), QStringLiteral("ShowToolbar"), QStringLiteral("0"));
    const TSettings s = Load();
    EXPECT_FALSE(s.UseCompress);
    EXPECT_FALSE(s.UseResume);
    EXPECT_FALSE(s.ShowToolbar);
    EXPECT_TRUE(s.InTaskBar);
}

TEST_F(SettingsTest, GradationOutOfRangeReadsZeroAndIsWrittenBackAsZero) {
    File.WriteString(QStringLiteral("Status"), QStringLiteral("Gradation1"), QStringLiteral("7"));
    File.WriteString(QStringLiteral("Status"), QStringLiteral("Gradation2"), QStringLiteral("1"));
    TSettings s = Load();
    EXPECT_EQ(s.Gradation1, 0);
    EXPECT_EQ(s.Gradation2, 1);
    WriteSettings(File, s);
    EXPECT_TRUE(Lines().contains(QStringLiteral("Gradation1=0")));
    EXPECT_TRUE(Lines().contains(QStringLiteral("Gradation2=1")));
}

TEST_F(SettingsTest, MalformedNumbersAndColoursReadAsTheirDefaults) {
    File.WriteString(QStringLiteral("Setting"), QStringLiteral("PortNo"), QStringLiteral("20x0"));
    File.WriteString(QStringLiteral("Setting"), QStringLiteral("ReceivePath"),
                     QStringLiteral("/tmp/in"));
    File.WriteString(QStringLiteral("Status"), QStringLiteral("StartColor1"),
                     QStringLiteral("GG0000"));
    File.WriteString(QStringLiteral("Status"), QStringLiteral("EndColor1"),
                     QStringLiteral("123456789"));
    File.WriteString(QStringLiteral("Status"), QStringLiteral("EndColor2"), QStringLiteral("ff"));
    File.WriteString(QStringLiteral("Status"), QStringLiteral("Gradation1"), QStringLiteral("two"));
    File.WriteString(QStringLiteral("Status"), QStringLiteral("Anime"), QStringLiteral("x"));
    TSettings s;
    s.Port = 4000; // what the endpoints hold
    LoadSettings(File, s, Dir.path());
    EXPECT_EQ(s.Port, 4000);
    EXPECT_FALSE(s.SaveSettings) << "a port that is no port counts as none";
    EXPECT_EQ(s.StartColor1, 0xFFFFFFu);
    EXPECT_EQ(s.EndColor1, 0x00FF00u);
    EXPECT_EQ(s.EndColor2, 0xFFu) << "lower-case hexadecimal is still hexadecimal";
    EXPECT_EQ(s.Gradation1, 2);
    EXPECT_EQ(s.Anime, 1);

    File.WriteString(QStringLiteral("Setting"), QStringLiteral("PortNo"), QStringLiteral("70000"));
    EXPECT_FALSE(Load().SaveSettings);
}

TEST_F(SettingsTest, AFileWrittenFromScratchHoldsSectionsAndKeysInOrder) {
    TSettings s = Load();
    s.UserName = QStringLiteral("alice");
    s.SaveSettings = true;
    s.Port = 3000;
    s.ReceiveFolder = QStringLiteral("/data/in/");
    s.AddressHistory = {QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.2"), {}, {}, {}};
    s.UseResume = false;
    s.StartColor2 = 0x0000FF;
    s.Anime = 0;
    s.OverwriteExisting = true;
    WriteSettings(File, s);
    const QStringList expected = {
        "[Setting]",
        "UserName=alice",
        "PortNo=3000",
        "ReceivePath=/data/in/",
        "InTaskBar=1",
        "UseCompress=1",
        "UseResume=0",
        "ShowToolbar=1",
        "AnswerDiscovery=1",
        "Overwrite=1",
        "Notify=1",
        "Extensions=1",
        "[History]",
        "IP0=10.0.0.1",
        "IP1=10.0.0.2",
        "IP2=",
        "IP3=",
        "IP4=",
        "[Status]",
        "StartColor1=FFFFFF",
        "StartColor2=0000FF",
        "EndColor1=00FF00",
        "EndColor2=8888FF",
        "Gradation1=2",
        "Gradation2=2",
        "Anime=0",
    };
    EXPECT_EQ(Lines(), expected);

    const TSettings back = Load();
    EXPECT_TRUE(back.SaveSettings);
    EXPECT_EQ(back.Port, 3000);
    EXPECT_EQ(back.ReceiveFolder, u"/data/in/");
    EXPECT_EQ(back.AddressHistory[1], u"10.0.0.2");
    EXPECT_EQ(back.StartColor2, 0x0000FFu);
    EXPECT_TRUE(back.OverwriteExisting);
    EXPECT_TRUE(back.DesktopNotices);
}

TEST_F(SettingsTest, WithoutSaveSettingsPortFolderAndHistoryAreWrittenEmpty) {
    File.WriteString(QStringLiteral("Setting"), QStringLiteral("PortNo"), QStringLiteral("2010"));
    TSettings s = Load();
    EXPECT_FALSE(s.SaveSettings) << "the port alone is not enough";
    s.AddressHistory[0] = QStringLiteral("192.168.0.9");
    s.Port = 5555;
    s.UseCompress = false;
    WriteSettings(File, s);
    const QStringList lines = Lines();
    for (const char* key : {"PortNo=", "ReceivePath=", "IP0=", "IP1=", "IP2=", "IP3=", "IP4="}) {
        EXPECT_TRUE(lines.contains(QString::fromLatin1(key))) << key;
    }
    EXPECT_TRUE(lines.contains(QStringLiteral("UseCompress=0")));
    const TSettings back = Load();
    EXPECT_FALSE(back.SaveSettings);
    EXPECT_EQ(back.Port, 2010);
    EXPECT_TRUE(back.AddressHistory[0].isEmpty());
}

TEST_F(SettingsTest, JapaneseUserNameSurvivesInShiftJis) {
    TSettings s = Load();
    s.UserName = QStringLiteral("山田～太郎");
    WriteSettings(File, s);
    QFile f(Path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray raw = f.readAll();
    const QByteArray expected = QByteArray("UserName=") + ToShiftJis(s.UserName) + "\r\n";
    EXPECT_TRUE(raw.contains(expected));
    EXPECT_TRUE(raw.contains("\x8E\x52\x93\x63")) << "山田 in Shift-JIS";
    EXPECT_EQ(Load().UserName, s.UserName);
}

TEST_F(SettingsTest, RefusedWriteNamesTheFileAndStopsThere) {
    QFile blocker(Dir.filePath(QStringLiteral("notadir")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString path = Dir.filePath(QStringLiteral("notadir/Varnel.ini"));
    TProfileFile file(path);
    try {
        WriteSettings(file, TSettings{});
        FAIL() << "no error";
    } catch (const EProfileError& error) {
        EXPECT_EQ(error.Message(), path + QStringLiteral(" に書き込めません"));
    }
}

TEST(ReceiveFolder, ProgramFolderWhenWritableElseDownloadsOrHome) {
    QTemporaryDir dir;
    EXPECT_EQ(DefaultReceiveFolder(dir.path()), dir.path() + u'/');
    const QString fallback = DefaultReceiveFolder(dir.filePath(QStringLiteral("missing")));
    EXPECT_TRUE(fallback.endsWith(u'/'));
    EXPECT_TRUE(QFileInfo(fallback).isDir()) << fallback.toStdString();
    EXPECT_NE(fallback, dir.filePath(QStringLiteral("missing/")));
    // Installed, the program's folder holds commands: never a receive folder,
    // even for a user who may write there.
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", dir.path().toLocal8Bit() + ":/usr/bin");
    EXPECT_NE(DefaultReceiveFolder(dir.path()), dir.path() + u'/');
    qputenv("PATH", path);
    EXPECT_NE(DefaultReceiveFolder(QStringLiteral("/usr/bin")), u"/usr/bin/");
}

TEST(MemoryStatus, AvailableMemoryFromMeminfo) {
    EXPECT_EQ(ParseMemAvailable("MemTotal:  100 kB\nMemFree:  5 kB\nMemAvailable:    1234 kB\n"),
              1234 * 1024);
    EXPECT_EQ(ParseMemAvailable("MemTotal: 100 kB\n"), std::nullopt);
    EXPECT_EQ(ParseMemAvailable("MemAvailable: lots kB\n"), std::nullopt);
    const auto live = AvailablePhysicalMemory();
    ASSERT_TRUE(live.has_value());
    EXPECT_GT(*live, 0);
}

TEST(MemoryStatus, AboutBoxLineIsGroupedWithTheLocaleSeparator) {
    EXPECT_EQ(FreeMemoryText(1234567, QLocale(QLocale::English, QLocale::UnitedStates)),
              u"Free Memory Size = 1,234,567Byte");
    EXPECT_EQ(FreeMemoryText(1234567, QLocale(QLocale::German, QLocale::Germany)),
              u"Free Memory Size = 1.234.567Byte");
    EXPECT_EQ(FreeMemoryText(999, QLocale(QLocale::English)), u"Free Memory Size = 999Byte");
    // The C locale omits group separators unless told otherwise.
    EXPECT_EQ(FreeMemoryText(1000, QLocale::c()), u"Free Memory Size = 1,000Byte");
}

} // namespace
