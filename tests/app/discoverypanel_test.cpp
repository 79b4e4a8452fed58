// "探す" in the main window, on 127.0.0.1 only (RELVANE_DISCOVERY_TARGETS):
// the list filled by a search, the address it puts in the field, the history
// that waits for the connection, and the answers of a waiting window. The
// search between network namespaces is in tests/discovery/netns_test.cpp.

#include "app/discoverypanel.h"
#include "app/settings.h"
#include "discovery/finder.h"
#include "discovery/responder.h"
#include "platform/sjis.h"
#include "session/session.h"
#include "tests/app/app_support.h"

#include <QComboBox>
#include <QLabel>
#include <QTreeWidget>

using namespace relvane;
using namespace relvane::app;
using namespace relvane::test;

namespace {

const QStringList Here{QStringLiteral("127.0.0.1")};

class DiscoveryPanelTest : public testing::Test {
protected:
    void SetUp() override {
        app::InitApplication(*static_cast<QApplication*>(QCoreApplication::instance()));
        qputenv(discovery::TargetsVariable, "127.0.0.1");
        ASSERT_TRUE(Dir.isValid());
        Port = FreePort();
        SettingsFile = WriteSettingsFile(Dir.path(), Port, Dir.path(), QStringLiteral("ありす"));
    }
    void TearDown() override { qunsetenv(discovery::TargetsVariable); }

    std::unique_ptr<TMainForm> MakeForm() {
        auto form = std::make_unique<TMainForm>(SettingsFile);
        form->show();
        return form;
    }
    // Presses "探す" and waits for the search's end.
    static void Search(TMainForm& form) {
        TDiscoveryPanel& panel = *form.Discovery;
        panel.FindButton->click();
        EXPECT_TRUE(panel.Searching());
        EXPECT_FALSE(panel.FindButton->isEnabled());
        EXPECT_EQ(panel.FindButton->text(), QStringLiteral("探しています・・・"));
        EXPECT_TRUE(WaitFor([&] { return !panel.Searching(); }, 10000 * SlowBuildFactor));
        EXPECT_TRUE(panel.FindButton->isEnabled());
        EXPECT_TRUE(panel.ListFrame->isVisible());
    }
    // What a search of our own from 127.0.0.1 finds on the port: names.
    QStringList FindFromOutside() {
        discovery::Finder finder(Port, Here, /*id*/ 7);
        finder.SetCollectMs(400);
        QStringList names;
        bool done = false;
        QObject::connect(&finder, &discovery::Finder::found,
                         [&](const QString& name, const QString&, int) { names << name; });
        QObject::connect(&finder, &discovery::Finder::finished, [&](int) { done = true; });
        finder.Start();
        EXPECT_TRUE(WaitFor([&] { return done; }, 5000 * SlowBuildFactor));
        return names;
    }

    QTemporaryDir Dir;
    MessageRecorder Recorder;
    int Port = 0;
    QString SettingsFile;
};

} // namespace

TEST(DiscoverySettings, TheAnswerKeyRoundTripsAfterTheKeysTheFileHeld) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Varnel.ini"));
    TProfileFile file(path);
    const QStringList held = {"UserName=a",    "PortNo=2010", "ReceivePath=/in/", "InTaskBar=1",
                              "UseCompress=1", "UseResume=1", "ShowToolbar=1"};
    for (const QString& line : held)
        file.WriteString(QStringLiteral("Setting"), line.section(u'=', 0, 0),
                         line.section(u'=', 1));
    TSettings s;
    LoadSettings(file, s, dir.path());
    EXPECT_TRUE(s.AnswerDiscovery) << "on unless the file says otherwise";
    s.AnswerDiscovery = false;
    WriteSettings(file, s);

    QFile raw(path);
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QStringList lines = FromShiftJis(raw.readAll()).split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.value(0), QStringLiteral("[Setting]"));
    EXPECT_EQ(lines.mid(1, held.size() + 1), held + QStringList{"AnswerDiscovery=0"});
    TSettings back;
    LoadSettings(file, back, dir.path());
    EXPECT_FALSE(back.AnswerDiscovery);
}

TEST_F(DiscoveryPanelTest, AnswersFillTheListAndChoosingOnePutsItsAddressInTheField) {
    discovery::Responder peer(Port, QStringLiteral("ボブ\x01"), Here, /*id*/ 9);
    ASSERT_TRUE(peer.SetActive(true));
    const auto form = MakeForm();
    Search(*form);
    QTreeWidget* list = form->Discovery->FoundList;
    ASSERT_EQ(list->topLevelItemCount(), 1);
    const QTreeWidgetItem* row = list->topLevelItem(0);
    EXPECT_EQ(row->text(0), QStringLiteral("ボブ\\x01")) << "a control character is shown";
    EXPECT_EQ(row->text(1), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(row->text(2), QString::number(Port));
    EXPECT_FALSE(form->ConnectAction->isEnabled());

    form->Discovery->Choose(0);
    EXPECT_EQ(form->IPEdit->currentText(), QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(form->Discovery->ListFrame->isVisible());
    EXPECT_TRUE(form->ConnectAction->isEnabled());
}

TEST_F(DiscoveryPanelTest, NobodyAnsweringSaysSoWithAHintInTheWindow) {
    const auto form = MakeForm();
    Search(*form);
    const TDiscoveryPanel& panel = *form->Discovery;
    EXPECT_FALSE(panel.FoundList->isVisible());
    ASSERT_TRUE(panel.MessageLabel->isVisible());
    EXPECT_TRUE(panel.MessageLabel->text().startsWith(QStringLiteral("見つかりませんでした\n")));
    EXPECT_TRUE(panel.MessageLabel->text().contains(QString::number(Port)));
    EXPECT_TRUE(Recorder.Messages.empty()) << "no message box";
}

TEST_F(DiscoveryPanelTest, AFoundPeerEntersTheHistoryOnlyOnceAConnectionToItIsMade) {
    discovery::Responder answer(Port, QStringLiteral("ボブ"), Here, /*id*/ 9);
    ASSERT_TRUE(answer.SetActive(true));
    const auto form = MakeForm();
    Search(*form);
    form->Discovery->Choose(0);

    // Found, but nothing listens on its TCP port: the attempt is given up.
    form->ConnectAction->trigger();
    ASSERT_TRUE(form->WaitForm());
    EXPECT_TRUE(form->Settings.AddressHistory[0].isEmpty());
    ASSERT_TRUE(WaitFor([&] { return !Recorder.Messages.empty(); }, 5000)) << "refused";
    form->WaitForm()->CancelButtonClick();
    ASSERT_TRUE(WaitFor([&] { return form->WaitForm() == nullptr; }));
    EXPECT_TRUE(form->Settings.AddressHistory[0].isEmpty());

    Session server;
    server.SetPort(Port);
    server.Listen();
    form->ConnectAction->trigger();
    ASSERT_TRUE(WaitFor([&] { return form->Connected(); }, 10000 * SlowBuildFactor));
    EXPECT_EQ(form->Settings.AddressHistory[0], QStringLiteral("127.0.0.1"));
}

TEST_F(DiscoveryPanelTest, TheWindowAnswersOnlyWhileItsServerWaitsAndWhenAllowed) {
    {
        const auto form = MakeForm();
        EXPECT_TRUE(FindFromOutside().isEmpty()) << "idle";
        form->ServerAction->trigger();
        ASSERT_EQ(form->Connection().State(), SessionState::Listening);
        EXPECT_EQ(FindFromOutside(), QStringList{QStringLiteral("ありす")});
        form->WaitForm()->CancelButtonClick();
        ASSERT_TRUE(WaitFor([&] { return form->WaitForm() == nullptr; }));
        EXPECT_TRUE(FindFromOutside().isEmpty()) << "the wait given up";
    }
    TProfileFile(SettingsFile)
        .WriteString(QStringLiteral("Setting"), QStringLiteral("AnswerDiscovery"),
                     QStringLiteral("0"));
    const auto form = MakeForm();
    form->ServerAction->trigger();
    ASSERT_EQ(form->Connection().State(), SessionState::Listening);
    EXPECT_TRUE(FindFromOutside().isEmpty()) << "answering turned off";
    form->WaitForm()->CancelButtonClick();
}
