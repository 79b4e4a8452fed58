// One main window on its own: start-up, layout, the address history, the
// file choice, the small actions, the wait window and the restart.

#include "app/consts.h"
#include "app/helpwindow.h"
#include "app/mainform.h"
#include "app/program.h"
#include "app/restartform.h"
#include "app/versionform.h"
#include "app/waitform.h"
#include "tests/app/app_support.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolBar>

using namespace relvane;
using namespace relvane::app;
using namespace relvane::test;

namespace {

class MainFormTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    MessageRecorder Recorder;
    QString SettingsPath = Dir.filePath(QStringLiteral("Varnel.ini"));

    std::unique_ptr<TMainForm> NewForm() { return std::make_unique<TMainForm>(SettingsPath); }
};

TEST_F(MainFormTest, StartsIdleWithItsTitleAndActions) {
    auto form = NewForm();
    EXPECT_EQ(form->windowTitle(), u"TCP/IP Relvane");
    EXPECT_EQ(form->ConnectStage(), 0);
    EXPECT_FALSE(form->Connected());
    EXPECT_FALSE(form->HandshakeFailed());
    EXPECT_TRUE(form->ServerAction->isEnabled());
    EXPECT_FALSE(form->ConnectAction->isEnabled());
    EXPECT_FALSE(form->DisconnectAction->isEnabled());
    EXPECT_TRUE(form->OptionAction->isEnabled());
    EXPECT_FALSE(form->SendAction->isEnabled());
    EXPECT_TRUE(form->IPEdit->isEnabled());
    EXPECT_EQ(form->SendAction->shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
    EXPECT_EQ(form->SelfIPEdit->text(), form->OwnAddress());
    EXPECT_TRUE(form->SelfIPEdit->isReadOnly());
    EXPECT_EQ(form->IPEdit->lineEdit()->maxLength(), 260) << "a host name and a port";

    // The buttons stand for their actions.
    EXPECT_EQ(form->ServerButton->text(), u"サーバー作成(&S)");
    EXPECT_FALSE(form->ConnectButton->isEnabled());
    form->IPEdit->setEditText(QStringLiteral("10.1.2.3"));
    EXPECT_TRUE(form->ConnectAction->isEnabled());
    EXPECT_TRUE(form->ConnectButton->isEnabled());
    form->IPEdit->setEditText(QString());
    EXPECT_FALSE(form->ConnectAction->isEnabled());
}

// A window manager offers maximising and resizing only to a window whose
// minimum and maximum sizes differ, or which asks for a maximise button.
void ExpectFixedWithoutMaximise(const TMainForm& form) {
    EXPECT_EQ(form.minimumSize(), form.size());
    EXPECT_EQ(form.maximumSize(), form.size());
    EXPECT_FALSE(form.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
}

TEST_F(MainFormTest, ClientHeightFollowsTheToolbarAndTheSizeStaysFixed) {
    {
        auto form = NewForm();
        EXPECT_EQ(form->ClientHeight(), 169);
        EXPECT_EQ(form->height(), form->ClientArea->y() + 169);
        ExpectFixedWithoutMaximise(*form);
        form->ToolbarItem->trigger();
        EXPECT_FALSE(form->ToolbarItem->isChecked());
        EXPECT_TRUE(form->ToolBar1->isHidden());
        EXPECT_EQ(form->ClientHeight(), 143);
        EXPECT_EQ(form->Panel1->y(), 0);
        ExpectFixedWithoutMaximise(*form);
    } // the hidden toolbar is written at destruction
    auto form = NewForm();
    EXPECT_FALSE(form->ToolbarItem->isChecked());
    EXPECT_EQ(form->ClientHeight(), 143);
    form->ToolbarItem->trigger();
    EXPECT_EQ(form->ClientHeight(), 169);
    EXPECT_EQ(form->Panel1->y(), 26);
    ExpectFixedWithoutMaximise(*form);
}

TEST_F(MainFormTest, AddressHistoryKeepsFiveDistinctAddressesNewestFirst) {
    auto form = NewForm();
    form->IPEditEnter();
    EXPECT_EQ(form->IPEdit->count(), 0) << "an empty history gives an empty list";

    for (const char* a : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}) {
        form->AddAddressHistory(QString::fromLatin1(a));
    }
    const std::array<QString, 5> full = {"10.0.0.5", "10.0.0.4", "10.0.0.3", "10.0.0.2",
                                         "10.0.0.1"};
    EXPECT_EQ(form->Settings.AddressHistory, full);
    form->AddAddressHistory(QStringLiteral("10.0.0.3"));
    form->AddAddressHistory(QStringLiteral("10.0.0.1"));
    EXPECT_EQ(form->Settings.AddressHistory, full) << "a known address keeps its place";
    form->AddAddressHistory(QStringLiteral("10.0.0.6"));
    const std::array<QString, 5> shifted = {"10.0.0.6", "10.0.0.5", "10.0.0.4", "10.0.0.3",
                                            "10.0.0.2"};
    EXPECT_EQ(form->Settings.AddressHistory, shifted);

    // Entering the box offers the entries in order and keeps what is typed.
    form->Settings.AddressHistory[2].clear();
    form->IPEdit->setEditText(QStringLiteral("192.168"));
    form->IPEditEnter();
    ASSERT_EQ(form->IPEdit->count(), 4);
    EXPECT_EQ(form->IPEdit->itemText(0), u"10.0.0.6");
    EXPECT_EQ(form->IPEdit->itemText(3), u"10.0.0.2");
    EXPECT_EQ(form->IPEdit->currentText(), u"192.168");
    EXPECT_TRUE(form->ConnectAction->isEnabled());
}

TEST_F(MainFormTest, ConnectWithAnEmptyAddressAsksForOne) {
    auto form = NewForm();
    form->show();
    form->RunGuarded([&] { form->ConnectActionExecute(); });
    EXPECT_EQ(Recorder.Texts(), QStringList{MsgEnterAddress()});
    EXPECT_EQ(Recorder.Messages[0].Kind, TMessageKind::mkError);
    EXPECT_EQ(form->WaitForm(), nullptr);
    EXPECT_TRUE(form->isEnabled());
    EXPECT_EQ(form->focusWidget(), form->IPEdit);
    for (const QString& h : form->Settings.AddressHistory)
        EXPECT_TRUE(h.isEmpty());
}

TEST_F(MainFormTest, ChosenFilesReplaceTheListAndShowTheirNames) {
    auto form = NewForm();
    form->FilesDropped({QStringLiteral("/a/b/one.txt"), QStringLiteral("/c/二.bin")});
    EXPECT_EQ(form->FileEdit->text(), u"one.txt; 二.bin; ");
    form->FilesDropped({QStringLiteral("/x/only")});
    EXPECT_EQ(form->FileEdit->text(), u"only; ");
    EXPECT_EQ(form->SendList(), QStringList{QStringLiteral("/x/only")});

    // Not connected: the list is checked first, then the connection.
    form->FilesDropped({});
    form->RunGuarded([&] { form->SendActionExecute(); });
    const QString file = Dir.filePath(QStringLiteral("f.txt"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    form->FilesDropped({file});
    form->RunGuarded([&] { form->SendActionExecute(); });
    EXPECT_EQ(Recorder.Texts(), (QStringList{MsgChooseFiles(), MsgNotConnected()}));
}

TEST_F(MainFormTest, SmallActionsCopyHelpAndSettings) {
    auto form = NewForm();
    form->IPCopyAction->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), form->OwnAddress());

    form->HelpAction->trigger();
    ASSERT_NE(form->HelpWindow(), nullptr);
    EXPECT_TRUE(form->HelpWindow()->isVisible());
    EXPECT_EQ(form->HelpWindow()->CurrentContext(), 1);
    form->OpenHelp(5);
    EXPECT_EQ(form->HelpWindow()->CurrentContext(), 5);
    EXPECT_TRUE(HelpPage().contains(QStringLiteral("name=\"context5\"")));

    Repeat closer([] { // idle: the dialog opens; its cancel changes nothing
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog) dialog->reject();
        return dialog != nullptr;
    });
    form->OptionAction->trigger();
    EXPECT_TRUE(closer.Done());
    EXPECT_TRUE(Recorder.Texts().isEmpty());

    form->MessageAction->trigger();
    EXPECT_TRUE(form->MessageAction->isChecked());
    form->MessageAction->trigger();
    EXPECT_FALSE(form->MessageAction->isChecked());
}

TEST_F(MainFormTest, WaitWindowButtonsOnlyRaiseTheFlag) {
    TWaitForm wait;
    wait.SetMessage(MsgWaitingForPeer());
    EXPECT_EQ(wait.Message(), MsgWaitingForPeer());
    wait.show();
    EXPECT_FALSE(wait.CancelPressed());
    wait.close();
    EXPECT_TRUE(wait.CancelPressed()) << "the close box acts as cancel";
    EXPECT_TRUE(wait.isVisible()) << "the waiting action discards the window";

    TWaitForm other;
    other.CancelButton->click();
    EXPECT_TRUE(other.CancelPressed());
    EXPECT_TRUE(Recorder.Texts().isEmpty()) << "the message comes from the waiting action";
}

TEST_F(MainFormTest, AboutBoxComputesFreeMemoryWhenShown) {
    TVersionForm about;
    EXPECT_TRUE(about.MemoryLabel->text().isEmpty());
    about.FormShow(); // computed each time the box is shown
    EXPECT_TRUE(about.MemoryLabel->text().startsWith(QStringLiteral("Free Memory Size = ")));
    EXPECT_TRUE(about.MemoryLabel->text().endsWith(QStringLiteral("Byte")));
}

TEST_F(MainFormTest, RestartReplacesTheMainWindowThroughTheSettingsFile) {
    SetSettingsFile(SettingsPath);
    TMainForm* old = CreateMainForm();
    old->Settings.UserName = QStringLiteral("再起動");
    old->FilesDropped({QStringLiteral("/tmp/x")});
    old->ToolbarItem->trigger(); // toolbar hidden

    QPointer<TMainForm> watch(old);
    StartRestart();
    ASSERT_TRUE(WaitFor([&] { return watch.isNull() && MainForm() != nullptr; }, 5000));
    TMainForm* fresh = MainForm();
    EXPECT_EQ(fresh->Settings.UserName, u"再起動");
    EXPECT_TRUE(fresh->SendList().isEmpty()) << "the chosen files do not survive";
    EXPECT_EQ(fresh->ClientHeight(), 143);
    EXPECT_TRUE(fresh->isVisible());
    // The restart window is gone after its one tick.
    EXPECT_TRUE(WaitFor([] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == u"RestartForm") return false;
        }
        return true;
    }));
    DestroyMainForm();
    SetSettingsFile(QString());
}

} // namespace
