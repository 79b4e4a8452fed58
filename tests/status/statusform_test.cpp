#include "status/anime.h"
#include "status/statusform.h"
#include "tests/controls/fonts.h"
#include "tests/support/wait.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWindow>
#include <gtest/gtest.h>

#include <memory>

namespace relvane {
namespace {

using Gradation = TGrphProgressGradation;

class StatusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::UseProgramFonts(); }

    void SetUp() override {
        for (TStatusForm* form : {&Send, &Recv}) {
            form->Clock = [this] { return Now; };
            form->AttachProgress(Progress);
        }
        Send.SetSendMode(true);
        Recv.SetSendMode(false);
    }

    QStringList Entries(const TStatusForm& form) const {
        QStringList list;
        for (int i = 0; i < form.FileListBox->count(); ++i)
            list << form.FileListBox->item(i)->text();
        return list;
    }

    std::int64_t Now = 1000;
    std::shared_ptr<TransferProgress> Progress = std::make_shared<TransferProgress>();
    TStatusForm Send;
    TStatusForm Recv;
};

TEST_F(StatusTest, LayoutAndPlacement) {
    EXPECT_EQ(Send.ClientArea->size(), QSize(449, 169));
    const std::pair<QWidget*, QRect> places[] = {
        {Send.FileListBox, {1, 1, 447, 103}},
        {Send.FileProgressBar, {0, 105, 449, 16}},
        {Send.ListProgressBar, {0, 121, 449, 16}},
        {Send.BottomPanel, {0, 137, 449, 32}},
        {Send.AnimeImage, {0, 0, 32, 32}},
        {Send.CompressCheckIndicator, {36, 3, 12, 12}},
        {Send.ResumeCheckIndicator, {36, 18, 12, 12}},
        {Send.CancelButton, {112, 4, 97, 25}},
        {Send.ProcessLabel, {212, 1, 235, 15}},
        {Send.AverageLabel, {212, 16, 235, 15}},
    };
    for (const auto& [widget, rect] : places)
        EXPECT_EQ(widget->geometry(), rect);
    EXPECT_EQ(Send.ResumeLabel->pos(), QPoint(52, 17));
    EXPECT_EQ(Send.windowTitle(), QStringLiteral("送信状況表示"));
    EXPECT_EQ(Recv.windowTitle(), QStringLiteral("受信状況表示"));
    EXPECT_EQ(Send.FileProgressBar->EndColor(), clAqua);
    EXPECT_EQ(Send.ListProgressBar->EndColor(), clLime);
    EXPECT_EQ(Send.ListProgressBar->BorderStyle(), TBorderStyle::bsNone);

    // Send window just above the screen's middle, receive window just below.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QSize outer = Send.frameGeometry().size();
    EXPECT_EQ(Send.pos(),
              QPoint((screen.width() - outer.width()) / 2, screen.height() / 2 - outer.height()));
    EXPECT_EQ(Recv.pos(), QPoint((screen.width() - outer.width()) / 2, screen.height() / 2));
}

// Clicking the main window must not bury a status window, and nothing but the
// batch's end may take it away.
TEST(StatusWindow, StaysAboveItsOwnerWithoutTitleBarButtonsAndRefusesToClose) {
    QWidget owner;
    owner.show();
    TStatusForm form(&owner);
    form.ShowStatus();
    ASSERT_NE(form.windowHandle(), nullptr);
    EXPECT_EQ(form.windowHandle()->transientParent(), owner.windowHandle());
    // Qt hands the owner to an X11 window manager only for these types.
    EXPECT_TRUE(form.windowType() == Qt::Dialog || form.windowType() == Qt::Tool);

    const Qt::WindowFlags flags = form.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint)) << "the hints replace the defaults";
    for (const Qt::WindowType hint :
         {Qt::WindowTitleHint, Qt::WindowSystemMenuHint, Qt::WindowMinimizeButtonHint,
          Qt::WindowMaximizeButtonHint, Qt::WindowCloseButtonHint})
        EXPECT_FALSE(flags.testFlag(hint)) << std::hex << hint;
    EXPECT_EQ(form.findChild<QWidget*>(QStringLiteral("CaptionBar"))->geometry().width(), 449)
        << "the caption is shown by the window itself";

    EXPECT_FALSE(form.close());
    EXPECT_TRUE(form.isVisible());
}

TEST_F(StatusTest, ATerabyteShowsWholeInTheByteTextAndHalfOnTheBar) {
    Progress->SendTotal = std::int64_t{1} << 40;
    Progress->SendDone = std::int64_t{1} << 39;
    Send.UpdateStatus();
    const QLabel& label = *Send.ProcessLabel;
    EXPECT_EQ(label.text(), QStringLiteral("549755813888/1099511627776Byte"));
    const QString widest = QStringLiteral("1099511627776/1099511627776Byte");
    EXPECT_GE(label.contentsRect().width(), label.fontMetrics().horizontalAdvance(widest));
    for (const QLabel* beside : {Send.ProcessLabel, Send.AverageLabel})
        EXPECT_FALSE(beside->geometry().intersects(Send.CancelButton->geometry()));
    EXPECT_EQ(Send.FileProgressBar->Position() * 2, Send.FileProgressBar->MaxValue())
        << "the bar's 32-bit values scaled alike";
}

TEST(StatusPlacement, FurtherCopiesStackOutwardsThenBeside) {
    const QRect screen(0, 0, 1280, 1024);
    const QSize outer(451, 191); // the window with its frame
    // (send or receive, slot) -> top-left corner
    const struct {
        bool Send;
        int Slot;
        QPoint At;
    } cases[] = {
        {true, 0, {414, 321}},  // just above the middle line
        {false, 0, {414, 512}}, // just below
        {true, 1, {414, 130}},  // the next copy above the first one's
        {false, 1, {414, 703}}, // and below
        {true, 2, {829, 321}},  // no room for a third ring: to the right, kept on screen
        {false, 3, {829, 703}}, {false, 4, {0, 512}}, // then to the left
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.Send ? "send " : "receive ") << c.Slot);
        EXPECT_EQ(StatusWindowPlace(screen, outer, c.Send, c.Slot), c.At);
    }
    // A second screen to the right: the same places, moved with it.
    EXPECT_EQ(StatusWindowPlace(screen.translated(1280, 0), outer, true, 0), QPoint(1694, 321));
}

TEST_F(StatusTest, RowsAreTallEnoughForTheFont) {
    Send.AddFileList({QStringLiteral("typography.png"), QStringLiteral("jpg")});
    const int needed = Send.FileListBox->fontMetrics().height();
    EXPECT_GE(needed, 12) << "the layout's rows";
    for (int i = 0; i < Send.FileListBox->count(); ++i)
        EXPECT_GE(Send.FileListBox->visualItemRect(Send.FileListBox->item(i)).height(), needed);
}

TEST_F(StatusTest, TextsFollowTheCountersOfTheirOwnDirection) {
    Progress->SendTotal = 4096;
    Progress->SendDone = 1024;
    Progress->RecvTotal = 300;
    Progress->RecvDone = 7;
    // The byte text never lags the bar: after a resume it shows the offset at once.
    Send.UpdateStatus();
    EXPECT_EQ(Send.ProcessLabel->text(), QStringLiteral("1024/4096Byte"));
    EXPECT_EQ(Send.FileProgressBar->MaxValue(), 4096);
    EXPECT_EQ(Send.FileProgressBar->Position(), 1024);
    Recv.UpdateStatus();
    Recv.UpdateStatus();
    EXPECT_EQ(Recv.ProcessLabel->text(), QStringLiteral("7/300Byte"));
    // While the part held is checked, the bar and the text follow the check.
    Progress->RecvCheckTotal = 200;
    Progress->RecvChecked = 50;
    Recv.UpdateStatus();
    EXPECT_EQ(Recv.ProcessLabel->text(), QStringLiteral("50/200Byte"));
    EXPECT_EQ(Recv.AverageLabel->text(), QStringLiteral("再開の確認中"));
    EXPECT_EQ(Recv.FileProgressBar->MaxValue(), 200);
    EXPECT_EQ(Recv.FileProgressBar->Position(), 50);
    Progress->RecvCheckTotal = 0;

    // A size not yet known: 0/0 and a bar without fill or text.
    Progress->RecvTotal = 0;
    Progress->RecvDone = 0;
    Recv.UpdateStatus();
    Recv.UpdateStatus();
    EXPECT_EQ(Recv.ProcessLabel->text(), QStringLiteral("0/0Byte"));
    EXPECT_EQ(Recv.FileProgressBar->MaxValue(), Recv.FileProgressBar->MinValue());

    // Both windows show the same two lamp flags.
    Progress->Resumed = true;
    Recv.UpdateStatus();
    EXPECT_TRUE(Recv.ResumeCheckIndicator->Checked());
    EXPECT_FALSE(Recv.CompressCheckIndicator->Checked());
    Progress->Resumed = false;
    Progress->CompressOn = true;
    Send.UpdateStatus();
    EXPECT_FALSE(Send.ResumeCheckIndicator->Checked());
    EXPECT_TRUE(Send.CompressCheckIndicator->Checked());
}

TEST_F(StatusTest, SpeedWaitsForTheFirstSecondAndUsesTwoDecimals) {
    Progress->SendTotal = 1 << 30;
    Send.MarkStartTime();
    Progress->SendDone = 512;
    Now += 999;
    Send.UpdateStatus();
    Send.UpdateStatus();
    EXPECT_EQ(Send.AverageLabel->text(), QString()); // still the first second

    Now += 1; // one second: 512 bytes a second
    Send.UpdateStatus();
    EXPECT_EQ(Send.AverageLabel->text(), QStringLiteral(".50KByte/s"));

    Progress->SendDone = 3 * 1024 * 1024;
    Now += 1000; // 2 s
    Send.UpdateStatus();
    Send.UpdateStatus();
    EXPECT_EQ(Send.AverageLabel->text(), QStringLiteral("1536.00KByte/s"));

    Progress->SendDone = 0;
    Send.UpdateStatus();
    Send.UpdateStatus();
    EXPECT_EQ(Send.AverageLabel->text(), QStringLiteral(".00KByte/s"));

    // A new batch: its first second keeps the last batch's text.
    Send.MarkStartTime();
    Progress->SendDone = 5000;
    Send.UpdateStatus();
    EXPECT_EQ(Send.AverageLabel->text(), QStringLiteral(".00KByte/s"));

    // Resumed at 1 MiB, 1 KiB moved in a second: the bytes already held
    // are no part of the speed.
    Send.MarkStartTime();
    Progress->SendResumedBytes = 1 << 20;
    Progress->SendDone = (1 << 20) + 1024;
    Now += 1000;
    Send.UpdateStatus();
    EXPECT_EQ(Send.AverageLabel->text(), QStringLiteral("1.00KByte/s"));
}

TEST_F(StatusTest, SpeedIsTrueAcrossMidnight) {
    // Started at 23:59:00 on the monotonic clock, read two minutes later.
    Now = (23 * 3600 + 59 * 60) * 1000LL;
    Recv.BeginReceiveBatch(); // shows the window and marks the start
    EXPECT_TRUE(Recv.isVisible());
    Progress->RecvTotal = 1 << 30;
    Progress->RecvDone = 120 * 1024 * 3;
    Now += 120 * 1000;
    Recv.UpdateStatus();
    Recv.UpdateStatus();
    EXPECT_EQ(Recv.AverageLabel->text(), QStringLiteral("3.00KByte/s"));

    // The default clock is monotonic and counts milliseconds.
    TStatusForm fresh;
    const std::int64_t a = fresh.Clock();
    EXPECT_GE(fresh.Clock(), a);
}

TEST_F(StatusTest, NamesTakeThePlacesOfUnknownEntries) {
    Recv.AnnounceFiles(3);
    EXPECT_EQ(Entries(Recv), QStringList({"Unknown", "Unknown", "Unknown"}));
    EXPECT_EQ(Recv.ListProgressBar->MaxValue(), 3);

    Recv.SetCurrentFile(QStringLiteral("a.txt"));
    EXPECT_EQ(Entries(Recv), QStringList({"a.txt", "Unknown", "Unknown"}));
    EXPECT_EQ(Recv.FileListBox->currentRow(), 0);
    EXPECT_EQ(Recv.ListProgressBar->Position(), 0);

    Recv.SetCurrentFile(QStringLiteral("日本語.txt"));
    EXPECT_EQ(Entries(Recv), QStringList({"a.txt", "日本語.txt", "Unknown"}));
    EXPECT_EQ(Recv.ListProgressBar->Position(), 1);

    // Already listed, letter case ignored: only selected.
    Recv.SetCurrentFile(QStringLiteral("A.TXT"));
    EXPECT_EQ(Entries(Recv), QStringList({"a.txt", "日本語.txt", "Unknown"}));
    EXPECT_EQ(Recv.FileListBox->currentRow(), 0);

    // The word itself selects the first remaining placeholder unchanged.
    Recv.SetCurrentFile(QStringLiteral("UNKNOWN"));
    EXPECT_EQ(Entries(Recv), QStringList({"a.txt", "日本語.txt", "Unknown"}));
    EXPECT_EQ(Recv.ListProgressBar->Position(), 2);

    Recv.SetCurrentFile(QStringLiteral("c.txt"));
    Recv.SetCurrentFile(QStringLiteral("d.txt")); // none left: appended
    EXPECT_EQ(Entries(Recv), QStringList({"a.txt", "日本語.txt", "c.txt", "d.txt"}));
    EXPECT_EQ(Recv.FileListBox->currentRow(), 3);
    EXPECT_EQ(Recv.ListProgressBar->Position(), 3);
}

TEST_F(StatusTest, WholeListBarCountsFilesBeforeTheCurrentOne) {
    const QStringList files = {"/tmp/x/1.bin", "/tmp/x/2.bin", "/tmp/x/3.bin"};
    Send.AddFileList(files);
    Send.AddFileList({"/tmp/x/4.bin"});
    EXPECT_EQ(Send.ListProgressBar->MaxValue(), 4);
    Send.SetCurrentFile(files[2]);
    EXPECT_EQ(Send.ListProgressBar->Position(), 2);

    Send.ClearFileList();
    EXPECT_EQ(Send.FileListBox->count(), 0);
    EXPECT_EQ(Send.ListProgressBar->MaxValue(), 0); // no fill and no text now

    Send.AddFileList(files);
    Send.AddUnknownFiles(0);
    EXPECT_EQ(Send.FileListBox->count(), 3);
    Send.ListProgressBar->SetMaxValue(99);
    Send.AddUnknownFiles(-4);
    EXPECT_EQ(Send.FileListBox->count(), 3);
    EXPECT_EQ(Send.ListProgressBar->MaxValue(), 3);
}

TEST_F(StatusTest, EachCancelButtonSetsOnlyItsOwnFlag) {
    Recv.CancelButton->click();
    EXPECT_TRUE(Progress->ReceiveCancel);
    EXPECT_FALSE(Progress->SendCancel);
    Progress->ReceiveCancel = false;
    Send.CancelButton->click();
    Send.CancelButton->click();
    EXPECT_TRUE(Progress->SendCancel);
    EXPECT_FALSE(Progress->ReceiveCancel);
}

TEST_F(StatusTest, AnimationsLoopAndOtherChoicesShowNone) {
    EXPECT_EQ(AnimeFrameCount(0), 4);
    EXPECT_EQ(AnimeFrameCount(1), 80);
    for (int type : {0, 1})
        for (int i = 0; i < AnimeFrameCount(type); ++i) {
            const QImage frame = AnimeFrame(type, i);
            ASSERT_EQ(frame.size(), QSize(32, 32));
            ASSERT_NE(frame, AnimeFrame(type, (i + 1) % AnimeFrameCount(type))) << type << " " << i;
        }
    EXPECT_TRUE(AnimeFrame(1, 80).isNull());

    Send.SetAnimeType(0);
    Send.NextAnimeFrame();
    EXPECT_EQ(Send.AnimeFrame(), 1); // the first frame shown after creation
    EXPECT_EQ(
        Send.AnimeImage->pixmap().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
        AnimeFrame(0, 1));
    for (int i = 0; i < 3; ++i)
        Send.NextAnimeFrame();
    EXPECT_EQ(Send.AnimeFrame(), 0);

    Recv.SetAnimeType(1);
    for (int i = 0; i < 79; ++i)
        Recv.NextAnimeFrame();
    EXPECT_EQ(Recv.AnimeFrame(), 79);
    Recv.UpdateStatus(); // one frame per refresh
    EXPECT_EQ(Recv.AnimeFrame(), 0);

    Recv.SetAnimeType(7);
    Recv.NextAnimeFrame();
    EXPECT_TRUE(Recv.AnimeImage->pixmap().isNull());
    Recv.SetAnimeType(-1);
    Recv.NextAnimeFrame();
    EXPECT_TRUE(Recv.AnimeImage->pixmap().isNull());
}

TEST_F(StatusTest, OnlyAShowingWindowRefreshesItself) {
    Progress->SendTotal = 8;
    Progress->SendDone = 4;
    Progress->RecvTotal = 8;
    Send.ShowStatus();
    ASSERT_TRUE(
        test::WaitFor([&] { return Send.ProcessLabel->text() == QStringLiteral("4/8Byte"); }));
    EXPECT_EQ(Recv.ProcessLabel->text(), QString());
    EXPECT_EQ(Send.windowTitle(), QStringLiteral("送信状況表示"));
}

TEST_F(StatusTest, DetachedWindowReadsNothingAndHides) {
    Send.ShowStatus();
    Progress->SendTotal = 8;
    Progress->SendDone = 8;
    Send.UpdateStatus();
    std::weak_ptr<TransferProgress> watch = Progress;
    Progress.reset(); // the worker has gone; the shared values live on
    Send.UpdateStatus();
    EXPECT_EQ(Send.ProcessLabel->text(), QStringLiteral("8/8Byte"));

    Send.DetachProgress();
    Recv.DetachProgress();
    EXPECT_FALSE(Send.isVisible());
    EXPECT_TRUE(watch.expired());
    Send.UpdateStatus(); // nothing to read: nothing changes
    Send.CancelButtonClick();
    EXPECT_EQ(Send.ProcessLabel->text(), QStringLiteral("8/8Byte"));
}

TEST_F(StatusTest, SettingsReachBarsAnimationAndLamps) {
    Send.CompressCheckIndicator->SetChecked(true);
    Send.ResumeCheckIndicator->SetChecked(true);
    StatusLook look; // the settings' defaults, but for these
    look.Gradation2 = Gradation::pgNone;
    look.Anime = 0;
    ApplyStatusSettings(Send, look);
    EXPECT_EQ(Send.FileProgressBar->EndColor(), clLime);
    EXPECT_EQ(Send.FileProgressBar->Gradation(), Gradation::pgPart);
    EXPECT_EQ(Send.ListProgressBar->EndColor(), TColor(0x8888FF));
    EXPECT_EQ(Send.ListProgressBar->Gradation(), Gradation::pgNone);
    EXPECT_EQ(Send.AnimeType(), 0);
    EXPECT_FALSE(Send.CompressCheckIndicator->Checked());
    EXPECT_FALSE(Send.ResumeCheckIndicator->Checked());
}

} // namespace
} // namespace relvane
