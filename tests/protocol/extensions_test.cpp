// What two copies of the program add beyond the catalogue, at its lowest
// layers: the offer's words, the digest frame, the receive folder that no
// link redirects, the list made of folders.

#include "protocol/capabilities.h"
#include "protocol/filehash.h"
#include "protocol/frame.h"
#include "protocol/recvfolder.h"
#include "protocol/sendlist.h"
#include "protocol/sendplan.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace relvane;

namespace {

TEST(Extensions, OfferWordsAndDigests) {
    struct Case {
        QByteArray Payload;
        std::optional<Capabilities> Parsed;
    };
    const Case cases[] = {
        {"relvane/1 big tree sha256 window xxh128", AllCapabilities},
        {"relvane/1 big tree sha256 window", Capabilities(AllCapabilities & ~CapXxh128)},
        {"relvane/1", Capabilities{0}},
        {"relvane/1 sha256 later", Capabilities{CapVerify}}, // unknown words ignored
        {"relvane/2 big", std::nullopt},
        {"", std::nullopt},
        {"relvane/1 " + QByteArray(300, 'x'), std::nullopt}, // no offer is that long
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseCapabilities(c.Payload), c.Parsed) << c.Payload.constData();
    // The offer is small and a Request of a Type outside the catalogue.
    const QByteArray offer = OfferFrame(false, AllCapabilities);
    EXPECT_EQ(offer.left(3), QByteArray::fromHex("ff02e0"));
    EXPECT_LT(offer.size(), 48);

    // Known answers, in the byte order sha256sum and xxh128sum print.
    for (const DigestKind kind : {DigestKind::Sha256, DigestKind::Xxh128}) {
        Digest h(kind);
        h.Add("abc");
        const QByteArray abc = h.Finish();
        EXPECT_EQ(abc.toHex(),
                  kind == DigestKind::Sha256
                      ? "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
                      : "06b05ab6733a618578af5f94892f3950");
        EXPECT_EQ(ParseDigest(abc.toHex(), kind), abc);
        EXPECT_EQ(ParseDigest(abc.toHex().toUpper(), kind), std::nullopt);
        EXPECT_EQ(ParseDigest(abc.toHex().chopped(1), kind), std::nullopt);
    }
    EXPECT_EQ(ParseSize("5368709120"), 5368709120LL);
    EXPECT_THROW((void)ParseSize("-1"), EProtocolError);
}

// The hasher that follows a writer gives the digest of the whole file,
// whatever it held when it started; a file shorter than said gives none.
TEST(FileHasher, FollowsTheWriterToTheEnd) {
    QTemporaryDir dir;
    QFile f(dir.filePath(QStringLiteral("f")));
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    QByteArray all;
    for (int i = 0; i < 3000; ++i)
        all += QByteArray::number(i) + ' ';
    Digest whole;
    whole.Add(all);
    const QByteArray expected = whole.Finish();
    for (const qsizetype kept : {qsizetype(0), qsizetype(777), all.size()}) {
        ASSERT_TRUE(f.resize(0));
        f.write(all.left(kept));
        f.flush();
        FileHasher hasher;
        hasher.Start(f.handle(), kept, DigestKind::Sha256);
        for (qsizetype at = kept; at < all.size(); at += 1000) {
            f.write(all.mid(at, 1000));
            f.flush();
            hasher.Extend(f.pos());
        }
        EXPECT_EQ(hasher.Result(all.size()), expected) << kept;
    }
    FileHasher shorter;
    shorter.Start(f.handle(), 0, DigestKind::Sha256);
    EXPECT_TRUE(shorter.Result(all.size() + 1).isEmpty());
}

// A link planted in the receive folder never redirects a write, whether it
// stands for the partial file or for a sub-folder.
TEST(RecvFolder, LinksAreNeverFollowed) {
    QTemporaryDir dir, outside;
    const QString secret = outside.filePath(QStringLiteral("secret"));
    QFile s(secret);
    ASSERT_TRUE(s.open(QIODevice::WriteOnly));
    s.write("keep");
    s.close();
    ASSERT_EQ(::symlink(QFile::encodeName(secret).constData(),
                        QFile::encodeName(dir.filePath(QStringLiteral("a.txt.Recv"))).constData()),
              0);
    ASSERT_EQ(::symlink(QFile::encodeName(outside.path()).constData(),
                        QFile::encodeName(dir.filePath(QStringLiteral("sub"))).constData()),
              0);
    RecvFolder folder(dir.path());
    ASSERT_TRUE(folder.Enter({}, false));
    EXPECT_EQ(folder.FileSize(QStringLiteral("a.txt.Recv")), -1) << "a link holds nothing";
    EXPECT_EQ(folder.Open(QStringLiteral("a.txt.Recv"), true), nullptr);
    EXPECT_FALSE(folder.Enter({QStringLiteral("sub"), QStringLiteral("x")}, true));
    EXPECT_EQ(folder.PathOf(QStringLiteral("y")), dir.filePath(QStringLiteral("sub/x/y")));
    EXPECT_TRUE(folder.Enter({QStringLiteral("new"), QStringLiteral("deeper")}, true));
    EXPECT_NE(folder.Open(QStringLiteral("b.txt"), true), nullptr);
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("new/deeper/b.txt"))));
    ASSERT_TRUE(s.open(QIODevice::ReadOnly));
    EXPECT_EQ(s.readAll(), "keep");
    EXPECT_FALSE(QFile::exists(outside.filePath(QStringLiteral("b.txt"))));
}

// A folder becomes its files; with a peer that keeps folders they go by
// their paths below the folder's parent, else flat, where two equal bare
// names are refused naming both.
TEST(SendPlan, FoldersKeepTheirShapeOnlyWhereThePeerKeepsThem) {
    QTemporaryDir dir;
    const QString top = dir.filePath(QStringLiteral("proj"));
    for (const char* path : {"proj/README.txt", "proj/a/README.txt", "proj/a/b/c.bin"}) {
        QDir().mkpath(QFileInfo(dir.filePath(QString::fromLatin1(path))).path());
        QFile f(dir.filePath(QString::fromLatin1(path)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
    const SendPlan tree = PlanSend({top}, CapFolders);
    EXPECT_TRUE(tree.Refusal.isEmpty()) << tree.Refusal.toStdString();
    EXPECT_EQ(tree.Names,
              (QStringList{QStringLiteral("proj/README.txt"), QStringLiteral("proj/a/README.txt"),
                           QStringLiteral("proj/a/b/c.bin")}));
    const SendPlan flat = PlanSend({top}, 0);
    EXPECT_TRUE(flat.Names.isEmpty());
    EXPECT_TRUE(flat.Refusal.contains(dir.filePath(QStringLiteral("proj/README.txt"))));
    EXPECT_TRUE(flat.Refusal.contains(dir.filePath(QStringLiteral("proj/a/README.txt"))));
}

// Sizes of 2 GiB and more go only to a peer that takes them, and are
// refused before the list goes otherwise (a sparse file: nothing is read).
TEST(SendPlan, LargeFilesOnlyToAPeerThatTakesThem) {
    QTemporaryDir dir;
    const QString big = dir.filePath(QStringLiteral("big.img"));
    QFile f(big);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(5LL << 30));
    f.close();
    EXPECT_TRUE(PlanSend({big}, CapBigFiles).Refusal.isEmpty());
    EXPECT_TRUE(PlanSend({big}, 0).Refusal.contains(u"2GB"));
}

// Only regular files are read: a named pipe is refused at once, not waited on.
TEST(SendPlan, ANamedPipeIsRefusedNotOpened) {
    QTemporaryDir dir;
    const QString pipe = dir.filePath(QStringLiteral("pipe"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    EXPECT_EQ(PlanSend({pipe}, AllCapabilities).Refusal, CannotOpenText(pipe));
}

} // namespace
