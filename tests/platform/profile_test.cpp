#include "platform/profile.h"
#include "platform/sjis.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace relvane;

namespace {

QByteArray Contents(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

void Put(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace

TEST(ProfileFile, MissingFileSectionOrKeyReadsTheDefault) {
    QTemporaryDir dir;
    TProfileFile ini(dir.filePath("Varnel.ini"));
    EXPECT_EQ(ini.ReadString("Setting", "UserName", "NoName"), "NoName");
    Put(ini.FileName(), "[Other]\r\nUserName=x\r\n[Setting]\r\nPortNo=2010\r\n");
    EXPECT_EQ(ini.ReadString("Setting", "UserName", "NoName"), "NoName");
    EXPECT_EQ(ini.ReadString("setting", "portno", ""), "2010");
    EXPECT_EQ(ini.ReadString("Status", "Anime", "1"), "1");
}

TEST(ProfileFile, WritesBuildSectionsInOrderWithCrLfAndShiftJis) {
    QTemporaryDir dir;
    TProfileFile ini(dir.filePath("sub/Varnel.ini"));
    ini.WriteString("Setting", "UserName", QStringLiteral("山田"));
    ini.WriteString("Setting", "PortNo", "2010");
    ini.WriteString("History", "IP0", "");
    ini.WriteString("Status", "Anime", "1");
    ini.WriteString("Setting", "ReceivePath", "/tmp/");
    const QByteArray expected = "[Setting]\r\nUserName=" + ToShiftJis(QStringLiteral("山田")) +
                                "\r\nPortNo=2010\r\nReceivePath=/tmp/\r\n\r\n"
                                "[History]\r\nIP0=\r\n\r\n[Status]\r\nAnime=1\r\n";
    EXPECT_EQ(Contents(ini.FileName()), expected);
    EXPECT_EQ(ini.ReadString("Setting", "UserName", ""), QStringLiteral("山田"));
    EXPECT_EQ(ini.ReadString("History", "IP0", "x"), "");
}

TEST(ProfileFile, AWriteReplacesOnlyItsLineAndKeepsTheRest) {
    QTemporaryDir dir;
    TProfileFile ini(dir.filePath("Varnel.ini"));
    Put(ini.FileName(), "; comment\r\n[setting]\r\nusername = old \r\nExtra=keep\r\n\r\n"
                        "[Status]\r\nAnime=0\r\n");
    ini.WriteString("Setting", "UserName", "new");
    ini.WriteString("Setting", "UseResume", "0");
    EXPECT_EQ(
        Contents(ini.FileName()),
        QByteArray("; comment\r\n[setting]\r\nUserName=new\r\nExtra=keep\r\nUseResume=0\r\n\r\n"
                   "[Status]\r\nAnime=0\r\n"));
    EXPECT_EQ(ini.ReadString("SETTING", "USERNAME", ""), "new");
}

TEST(ProfileFile, ARefusedWriteRaisesWithTheFileName) {
    QTemporaryDir dir;
    // A folder where the file should be: no user, root included, may write it.
    const QString path = dir.filePath("Varnel.ini");
    ASSERT_TRUE(QDir().mkpath(path));
    TProfileFile ini(path);
    try {
        ini.WriteString("Setting", "UserName", "b");
        FAIL() << "no error";
    } catch (const EProfileError& e) {
        EXPECT_EQ(e.Message(), path + QStringLiteral(" に書き込めません"));
    }
    EXPECT_EQ(ini.ReadString("Setting", "UserName", "a"), "a");
}
