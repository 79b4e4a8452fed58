// Files dropped on the main window become the files to send, also while a
// transfer runs, which goes on with the files it started with.

#include "app/mainform.h"
#include "app/program.h"
#include "controls/dropdst.h"
#include "protocol/worker.h"
#include "tests/app/app_support.h"
#include "tests/app/dialog_support.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QRandomGenerator>

using namespace relvane;
using namespace relvane::app;
using namespace relvane::test;

static void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

class MainDropTest : public TwoPeerTest {
protected:
    void SetUp() override {
        TwoPeerTest::SetUp();
        if (HasFatalFailure()) return;
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    }

    QString MakeFile(const QString& name, int size = 10) {
        const QString path = Dir.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray bytes(size, '\0');
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
        // Half compressible: a large file moves at the pace of deflate, so a
        // drop while it moves finds it still moving on a fast machine.
        for (char& c : bytes)
            c = static_cast<char>(c & 0x0F);
        f.write(bytes);
        return path;
    }
    // The middle of `control` in the main window's coordinates.
    QPoint Over(QWidget* control) const {
        return control->mapTo(A.get(), control->rect().center());
    }
    bool Drop(QWidget* over, const QStringList& paths) {
        const auto data = FileDrag(paths);
        return DropOnWindow(*A, Over(over), *data);
    }
};

TEST_F(MainDropTest, DroppedItemsBecomeTheFilesToSend) {
    EXPECT_EQ(A->DropDst1->HookedControl(), A.get()) << "the whole window";
    const QString a = MakeFile(QStringLiteral("a.txt"));
    const QString b = MakeFile(QStringLiteral("ｂ.txt"));
    ASSERT_TRUE(Drop(A->FileEdit, {b, a}));
    ASSERT_TRUE(WaitFor([&] { return !A->SendList().isEmpty(); }));
    EXPECT_EQ(A->SendList(), (QStringList{b, a}));
    EXPECT_EQ(A->FileEdit->text(), QStringLiteral("ｂ.txt; a.txt; "));

    // A folder stands for the files in it; a new drop replaces the list.
    const QString one = MakeFile(QStringLiteral("fold/1.txt"));
    const QString two = MakeFile(QStringLiteral("fold/x/2.txt"));
    ASSERT_TRUE(Drop(A->SendButton, {Dir.filePath(QStringLiteral("fold")), a}));
    ASSERT_TRUE(WaitFor([&] { return A->SendList().size() == 3; }));
    EXPECT_EQ(A->SendList(), (QStringList{one, two, a}));
    EXPECT_EQ(A->FileEdit->text(), QStringLiteral("1.txt; 2.txt; a.txt; "));
    EXPECT_TRUE(Recorder.Texts().isEmpty());

    // The file dialog offers files only.
    WhenModal<QFileDialog> driver([](QFileDialog& d) {
        EXPECT_EQ(d.fileMode(), QFileDialog::ExistingFiles);
        d.reject();
    });
    A->BrowseButton->click();
    EXPECT_TRUE(driver.Ran());
    EXPECT_EQ(A->SendList().size(), 3) << "a cancel changes nothing";
}

TEST_F(MainDropTest, DropDuringATransferLeavesTheRunningTransferAlone) {
    PeerProcess b(SettingsB);
    ASSERT_TRUE(b.Ready);
    ConnectPeerTo(*A, b);

    const QString big = MakeFile(QStringLiteral("out/big.bin"), 12 * 1024 * 1024);
    ASSERT_TRUE(Drop(A->Panel1, {big}));
    ASSERT_TRUE(WaitFor([&] { return A->SendList() == QStringList{big}; }));
    A->SendAction->trigger();
    ASSERT_TRUE(WaitFor([&] { return A->Progress() && A->Progress()->SendDone > 0; }, 20000));
    ASSERT_FALSE(A->SendAction->isEnabled()) << "the transfer still runs";

    const QString later1 = MakeFile(QStringLiteral("later/one.txt"));
    const QString later2 = MakeFile(QStringLiteral("later/two.txt"));
    ASSERT_TRUE(Drop(A->FileEdit, {later1, later2}));
    ASSERT_TRUE(WaitFor([&] { return A->SendList().size() == 2; }));
    EXPECT_EQ(A->SendList(), (QStringList{later1, later2}));
    EXPECT_EQ(A->FileEdit->text(), QStringLiteral("one.txt; two.txt; "));
    EXPECT_FALSE(A->SendAction->isEnabled()) << "dropped while it ran";
    EXPECT_LT(A->Progress()->SendDone.load(), A->Progress()->SendTotal.load());

    // The running list ends as it began.
    ASSERT_TRUE(WaitFor([&] { return A->SendAction->isEnabled(); }, 60000));
    QFile sent(big), arrived(InB() + QStringLiteral("/big.bin"));
    ASSERT_TRUE(sent.open(QIODevice::ReadOnly));
    ASSERT_TRUE(arrived.open(QIODevice::ReadOnly));
    EXPECT_TRUE(sent.readAll() == arrived.readAll());
    EXPECT_FALSE(QFile::exists(InB() + QStringLiteral("/one.txt")));
    EXPECT_FALSE(QFile::exists(InB() + QStringLiteral("/two.txt")));
    EXPECT_EQ(A->SendList(), (QStringList{later1, later2}));
    EXPECT_TRUE(Recorder.Texts().isEmpty()) << Recorder.Texts().join(u'|').toStdString();
}

} // namespace
