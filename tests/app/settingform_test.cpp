// The settings dialog on its own and as the main window's settings operation:
// filled from the window, confirmed through the restart window, refused while
// a connection is in use.

#include "app/consts.h"
#include "app/mainform.h"
#include "app/program.h"
#include "app/restartform.h"
#include "app/settingform.h"
#include "app/uifont.h"
#include "chat/messageform.h"
#include "controls/grphprogressbar.h"
#include "controls/openfolder.h"
#include "net/socket.h"
#include "status/statusform.h"
#include "tests/app/app_support.h"
#include "tests/app/dialog_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QTabWidget>

using namespace relvane;
using namespace relvane::app;
using namespace relvane::test;

// Failures show texts as text.
static void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

class SettingFormTest : public testing::Test {
protected:
    void SetUp() override {
        InitApplication(*static_cast<QApplication*>(QCoreApplication::instance()));
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
        ASSERT_TRUE(Dir.isValid());
        SetSettingsFile(SettingsPath);
    }
    void TearDown() override {
        DestroyMainForm();
        SetSettingsFile(QString());
        TColorDialog::SetHook({});
    }

    void Write(const QString& section, const QString& key, const QString& value) {
        TProfileFile(SettingsPath).WriteString(section, key, value);
    }
    QString Read(const QString& section, const QString& key) {
        return TProfileFile(SettingsPath).ReadString(section, key, QStringLiteral("<none>"));
    }
    TMainForm* Start() {
        TMainForm* form = CreateMainForm();
        form->show();
        return form;
    }
    // Runs the settings operation with `act` on the dialog.
    void RunDialog(TMainForm* form, std::function<void(TSettingForm&)> act) {
        WhenModal<TSettingForm> driver(std::move(act));
        form->OptionAction->trigger();
        EXPECT_TRUE(driver.Ran()) << "the dialog did not open";
    }
    // The new main window once the restart window has replaced `old`.
    TMainForm* AwaitRestart(TMainForm* old) {
        QPointer<TMainForm> watch(old);
        if (!WaitFor([&] {
                return watch.isNull() && MainForm() != nullptr && !RestartWindowExists();
            })) {
            return nullptr;
        }
        return MainForm();
    }

    QTemporaryDir Dir;
    MessageRecorder Recorder;
    QString SettingsPath = Dir.filePath(QStringLiteral("Varnel.ini"));
};

TEST_F(SettingFormTest, FilledFromTheWindowAndCancelOrCloseChangeNothing) {
    const QString in = Dir.filePath(QStringLiteral("受信"));
    Write(QStringLiteral("Setting"), QStringLiteral("UserName"), QStringLiteral("たろう"));
    Write(QStringLiteral("Setting"), QStringLiteral("PortNo"), QStringLiteral("2345"));
    Write(QStringLiteral("Setting"), QStringLiteral("ReceivePath"), in);
    Write(QStringLiteral("Setting"), QStringLiteral("InTaskBar"), QStringLiteral("0"));
    Write(QStringLiteral("Setting"), QStringLiteral("UseCompress"), QStringLiteral("0"));
    Write(QStringLiteral("Status"), QStringLiteral("StartColor1"), QStringLiteral("0000FF"));
    Write(QStringLiteral("Status"), QStringLiteral("EndColor1"), QStringLiteral("00FF00"));
    Write(QStringLiteral("Status"), QStringLiteral("StartColor2"), QStringLiteral("FF0000"));
    Write(QStringLiteral("Status"), QStringLiteral("EndColor2"), QStringLiteral("123456"));
    Write(QStringLiteral("Status"), QStringLiteral("Gradation1"), QStringLiteral("0"));
    Write(QStringLiteral("Status"), QStringLiteral("Gradation2"), QStringLiteral("1"));
    Write(QStringLiteral("Status"), QStringLiteral("Anime"), QStringLiteral("0"));
    TMainForm* form = Start();

    RunDialog(form, [&](TSettingForm& d) {
        EXPECT_EQ(d.windowTitle(), QStringLiteral("設定"));
        EXPECT_EQ(d.parentWidget(), form) << "owned by the main window";
        EXPECT_EQ(d.UserNameEdit->text(), QStringLiteral("たろう"));
        EXPECT_EQ(d.PortEdit->Value(), 2345);
        EXPECT_EQ(d.FolderEdit->text(), in);
        EXPECT_TRUE(d.FolderEdit->isReadOnly());
        EXPECT_TRUE(d.SaveSettingsCheckBox->isChecked());
        EXPECT_FALSE(d.UseCompressCheckBox->isChecked());
        EXPECT_TRUE(d.ResumeCheckBox->isChecked());
        EXPECT_EQ(d.PreviewBar1->StartColor(), 0x0000FFu);
        EXPECT_EQ(d.StartColorPanel1->Color(), 0x0000FFu);
        EXPECT_EQ(d.PreviewBar1->EndColor(), 0x00FF00u);
        EXPECT_EQ(d.PreviewBar2->StartColor(), 0xFF0000u);
        EXPECT_EQ(d.EndColorPanel2->Color(), 0x123456u);
        EXPECT_EQ(d.GradTypeComboBox1->currentIndex(), 0);
        EXPECT_EQ(d.GradTypeComboBox2->currentIndex(), 1);
        EXPECT_EQ(d.PreviewBar2->Gradation(), TGrphProgressGradation::pgFull);
        EXPECT_TRUE(d.AnimeRadioButton1->isChecked());

        // The stored value, shown and fixed.
        EXPECT_FALSE(d.InTaskBarCheckBox->isChecked());
        EXPECT_FALSE(d.InTaskBarCheckBox->isEnabled());
        Click(d.InTaskBarCheckBox);
        EXPECT_FALSE(d.InTaskBarCheckBox->isChecked());

        // "タイプ１" shows at once in the preview.
        d.GradTypeComboBox1->setCurrentIndex(1);
        EXPECT_EQ(d.PreviewBar1->Gradation(), TGrphProgressGradation::pgFull);
        d.UserNameEdit->setText(QStringLiteral("じろう"));
        d.UseCompressCheckBox->setChecked(true);
        d.CancelButton->click();
    });
    EXPECT_FALSE(RestartWindowExists());
    EXPECT_EQ(MainForm(), form);
    EXPECT_EQ(form->Settings.UserName, QStringLiteral("たろう"));
    EXPECT_EQ(form->Settings.Gradation1, 0);
    EXPECT_FALSE(form->Settings.UseCompress);
    EXPECT_FALSE(form->Settings.InTaskBar);

    // The close box is a cancel too.
    RunDialog(form, [&](TSettingForm& d) {
        d.UserNameEdit->setText(QStringLiteral("じろう"));
        d.close();
    });
    EXPECT_FALSE(RestartWindowExists());
    EXPECT_EQ(form->Settings.UserName, QStringLiteral("たろう"));
    EXPECT_TRUE(Recorder.Texts().isEmpty());
}

TEST_F(SettingFormTest, ConfirmingUnchangedValuesStillRecreatesTheMainWindow) {
    TMainForm* form = Start();
    form->Settings.UserName = QStringLiteral("同じ");
    form->FilesDropped({Dir.filePath(QStringLiteral("a.txt"))});
    form->MessageForm->AddLine(QStringLiteral("相手"), QStringLiteral("こんにちは"));
    const int port = form->ListenPort();
    RunDialog(form, [](TSettingForm& d) { d.OKButton->click(); });
    EXPECT_TRUE(RestartWindowExists());

    TMainForm* fresh = AwaitRestart(form);
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(fresh->isVisible());
    EXPECT_TRUE(fresh->SendList().isEmpty()) << "the chosen files are gone";
    EXPECT_TRUE(fresh->FileEdit->text().isEmpty());
    EXPECT_TRUE(fresh->MessageForm->LogMemo->toPlainText().isEmpty()) << "so is the conversation";
    EXPECT_EQ(fresh->Settings.UserName, QStringLiteral("同じ"));
    EXPECT_EQ(fresh->ListenPort(), port);
}

TEST_F(SettingFormTest, WhatTheDialogConfirmedIsWhatTheNewStatusWindowsShow) {
    TMainForm* form = Start();
    std::vector<TColor> presets;
    std::vector<std::optional<TColor>> answers = {0x112233, std::nullopt, 0x445566, 0x778899};
    TColorDialog::SetHook([&](TColor preset) {
        presets.push_back(preset);
        const std::optional<TColor> answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    });
    RunDialog(form, [](TSettingForm& d) {
        Click(d.StartColorPanel1);
        Click(d.EndColorPanel1); // cancelled
        Click(d.StartColorPanel2);
        Click(d.EndColorPanel2);
        EXPECT_EQ(d.StartColorPanel1->Color(), 0x112233u);
        d.GradTypeComboBox1->setCurrentIndex(0);
        d.GradTypeComboBox2->setCurrentIndex(1);
        Click(d.AnimeImage1);
        EXPECT_TRUE(d.AnimeRadioButton1->isChecked());
        d.OKButton->click();
    });
    // Each colour dialog started from the colour the preview showed.
    EXPECT_EQ(presets, (std::vector<TColor>{0xFFFFFF, 0x00FF00, 0xFFFFFF, 0x8888FF}));

    TMainForm* fresh = AwaitRestart(form);
    ASSERT_NE(fresh, nullptr);
    for (TStatusForm* status : {fresh->SendStatusForm, fresh->RecvStatusForm}) {
        EXPECT_EQ(status->FileProgressBar->StartColor(), 0x112233u);
        EXPECT_EQ(status->FileProgressBar->EndColor(), 0x00FF00u);
        EXPECT_EQ(status->FileProgressBar->Gradation(), TGrphProgressGradation::pgNone);
        EXPECT_EQ(status->ListProgressBar->StartColor(), 0x445566u);
        EXPECT_EQ(status->ListProgressBar->EndColor(), 0x778899u);
        EXPECT_EQ(status->ListProgressBar->Gradation(), TGrphProgressGradation::pgFull);
        EXPECT_EQ(status->AnimeType(), 0);
    }
    EXPECT_EQ(Read(QStringLiteral("Status"), QStringLiteral("StartColor2")),
              QStringLiteral("445566"));
}

TEST_F(SettingFormTest, FieldsTakeOnlyWhatTheyCanHold) {
    TMainForm* form = Start();
    RunDialog(form, [](TSettingForm& d) {
        d.UserNameEdit->clear();
        TypeText(d.UserNameEdit, QStringLiteral("あいうえおかきくけこさし"));
        EXPECT_EQ(d.UserNameEdit->text(), QStringLiteral("あいうえおかきくけこ"));

        d.activateWindow(); // focus changes need an active window
        ASSERT_TRUE(WaitFor([&] { return d.isActiveWindow(); }, 3000));
        d.PortEdit->setFocus();
        d.PortEdit->Edit()->selectAll();
        TypeText(d.PortEdit, QStringLiteral("40000"));
        EXPECT_EQ(d.PortEdit->Edit()->text(), QStringLiteral("40000"));
        d.UserNameEdit->setFocus(); // the port field loses the focus
        EXPECT_EQ(d.PortEdit->Edit()->text(), QStringLiteral("32767"));
        EXPECT_EQ(d.PortEdit->Value(), 32767);

        d.PortEdit->setFocus();
        d.PortEdit->Edit()->selectAll();
        TypeText(d.PortEdit, QStringLiteral("0"));
        d.UserNameEdit->setFocus();
        EXPECT_EQ(d.PortEdit->Value(), 1);

        // Letters do not go in; a lone sign is no number and reads as 1.
        d.PortEdit->setFocus();
        d.PortEdit->Edit()->selectAll();
        TypeText(d.PortEdit, QStringLiteral("ab-"));
        EXPECT_EQ(d.PortEdit->Edit()->text(), QStringLiteral("-"));
        d.UserNameEdit->setFocus();
        EXPECT_EQ(d.PortEdit->Value(), 1);
        d.OKButton->click();
    });
    TMainForm* fresh = AwaitRestart(form);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->ListenPort(), 1);
    EXPECT_EQ(fresh->Settings.UserName, QStringLiteral("あいうえおかきくけこ"));
}

TEST_F(SettingFormTest, WithSavingOffTheConfirmedValuesHoldForTheRun) {
    const QString first = Dir.filePath(QStringLiteral("first"));
    const QString second = Dir.filePath(QStringLiteral("second"));
    Write(QStringLiteral("Setting"), QStringLiteral("PortNo"), QStringLiteral("2345"));
    Write(QStringLiteral("Setting"), QStringLiteral("ReceivePath"), first);
    TMainForm* form = Start();
    ASSERT_TRUE(form->Settings.SaveSettings);
    form->AddAddressHistory(QStringLiteral("10.0.0.7"));

    RunDialog(form, [&](TSettingForm& d) {
        d.SaveSettingsCheckBox->setChecked(false);
        d.PortEdit->SetValue(3456);
        d.FolderEdit->setText(second);
        d.OKButton->click();
    });
    TMainForm* fresh = AwaitRestart(form);
    ASSERT_NE(fresh, nullptr);
    EXPECT_FALSE(fresh->Settings.SaveSettings);
    EXPECT_EQ(fresh->ListenPort(), 3456);
    EXPECT_EQ(fresh->Settings.ReceiveFolder, second);
    EXPECT_EQ(fresh->Settings.AddressHistory[0], QStringLiteral("10.0.0.7"));
    // Not in the file.
    EXPECT_TRUE(Read(QStringLiteral("Setting"), QStringLiteral("PortNo")).isEmpty());
    EXPECT_TRUE(Read(QStringLiteral("Setting"), QStringLiteral("ReceivePath")).isEmpty());

    // Still so for a main window made later in the same run.
    DestroyMainForm();
    TMainForm* later = Start();
    EXPECT_EQ(later->ListenPort(), 3456);
    EXPECT_EQ(later->Settings.ReceiveFolder, second);

    // Saving on again: the file holds them.
    RunDialog(later, [](TSettingForm& d) {
        EXPECT_FALSE(d.SaveSettingsCheckBox->isChecked());
        EXPECT_EQ(d.PortEdit->Value(), 3456);
        d.SaveSettingsCheckBox->setChecked(true);
        d.OKButton->click();
    });
    ASSERT_NE(AwaitRestart(later), nullptr);
    EXPECT_EQ(Read(QStringLiteral("Setting"), QStringLiteral("PortNo")), QStringLiteral("3456"));
    EXPECT_EQ(Read(QStringLiteral("Setting"), QStringLiteral("ReceivePath")), second);
    EXPECT_TRUE(MainForm()->Settings.SaveSettings);
}

TEST(SettingFormAlone, PreviewSweepsUpAndDownEveryHalfSecond) {
    TSettingForm d;
    EXPECT_EQ(d.PreviewPosition, 0);
    EXPECT_EQ(d.PreviewStep, 10);
    EXPECT_TRUE(d.PreviewTimer->isActive());
    EXPECT_EQ(d.PreviewTimer->interval(), 500);
    std::vector<int> seen;
    for (int i = 0; i < 21; ++i) {
        d.PreviewTimerTimer();
        EXPECT_EQ(d.PreviewBar1->Position(), d.PreviewPosition);
        EXPECT_EQ(d.PreviewBar2->Position(), d.PreviewPosition);
        seen.push_back(d.PreviewPosition);
    }
    EXPECT_EQ(seen, (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 90,
                                      80, 70, 60, 50, 40, 30, 20, 10, 0,  10}));

    TSettingForm running;
    EXPECT_TRUE(WaitFor([&] { return running.PreviewPosition == 10; }, 3000))
        << "the timer drives it";
}

TEST(SettingFormAlone, CaptionsEndBeforeTheirFieldsAndShowWhole) {
    SubstituteJapaneseFonts();
    TSettingForm d;
    const std::pair<QLabel*, QWidget*> rows[] = {
        {d.UserNameLabel, d.UserNameEdit},
        {d.PortLabel, d.PortEdit},
        {d.FolderLabel, d.FolderEdit},
    };
    for (const auto& [label, field] : rows) {
        SCOPED_TRACE(label->text().toStdString());
        EXPECT_GE(label->x(), 0);
        EXPECT_LT(label->geometry().right(), field->x());
        EXPECT_GE(label->width(), label->sizeHint().width());
    }
}

TEST(RestartForm, CloseRequestsAreIgnoredAndTheRestartStillComes) {
    int restarts = 0;
    QPointer<TRestartForm> form = new TRestartForm([&] { ++restarts; });
    form->show();
    EXPECT_FALSE(form->close()); // Alt+F4, the window manager's close box
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(WaitFor([&] { return form.isNull(); }, 5000));
    EXPECT_EQ(restarts, 1);
}

TEST(SettingFormAlone, ColourAndFolderDialogsMayBeCancelled) {
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    TSettingForm d;
    d.SetStartColor1(0x0000FF);
    {
        WhenModal<QColorDialog> driver([](QColorDialog& c) {
            EXPECT_EQ(c.currentColor(), QColor(255, 0, 0)) << "preset with the bar's colour";
            c.setCurrentColor(QColor(1, 2, 3));
            c.accept();
        });
        Click(d.StartColorPanel1);
        EXPECT_TRUE(driver.Ran());
    }
    EXPECT_EQ(d.PreviewBar1->StartColor(), RGBToColor(1, 2, 3));
    EXPECT_EQ(d.StartColorPanel1->Color(), RGBToColor(1, 2, 3));
    {
        WhenModal<QColorDialog> driver([](QColorDialog& c) {
            c.setCurrentColor(QColor(9, 9, 9));
            c.reject();
        });
        d.StartColorPanel1Click();
    }
    EXPECT_EQ(d.PreviewBar1->StartColor(), RGBToColor(1, 2, 3));

    QTemporaryDir tree;
    const QString chosen = QDir(tree.path()).absolutePath();
    const QString before = QDir(chosen).filePath(QStringLiteral("前"));
    ASSERT_TRUE(QDir().mkpath(before));
    d.FolderEdit->setText(before);
    {
        WhenModal<QFileDialog> driver([&](QFileDialog& f) {
            EXPECT_EQ(f.windowTitle(), QStringLiteral("受信フォルダ選択"));
            EXPECT_EQ(f.fileMode(), QFileDialog::Directory);
            EXPECT_EQ(f.directory().absolutePath(), before) << "opens at the folder in use";
            f.reject();
        });
        d.BrowseButton->click();
        EXPECT_TRUE(driver.Ran());
    }
    EXPECT_EQ(d.FolderEdit->text(), before);
    {
        WhenModal<QFileDialog> driver([&](QFileDialog& f) {
            f.setDirectory(chosen);
            static_cast<QDialog&>(f).accept();
        });
        d.BrowseButton->click();
    }
    EXPECT_EQ(d.FolderEdit->text(), chosen);
}

// ---- With a peer: the second main window in its own process.

class SettingFormPeerTest : public SettingFormTest {
protected:
    void SetUp() override {
        SettingFormTest::SetUp();
        Port = LowFreePort();
        ASSERT_NE(Port, 0);
        QDir().mkpath(Dir.filePath(QStringLiteral("a/in")));
        QDir().mkpath(Dir.filePath(QStringLiteral("b/in")));
        SettingsPath =
            WriteSettingsFile(Dir.filePath(QStringLiteral("a")), Port,
                              Dir.filePath(QStringLiteral("a/in")), QStringLiteral("ありす"));
        SetSettingsFile(SettingsPath);
        SettingsB = WriteSettingsFile(Dir.filePath(QStringLiteral("b")), Port,
                                      Dir.filePath(QStringLiteral("b/in")), QStringLiteral("ボブ"));
    }

    int Port = 0;
    QString SettingsB;
};

TEST_F(SettingFormPeerTest, RefusedWhileConnectedAndPortRefusedWhileStillListening) {
    PeerProcess b(SettingsB);
    ASSERT_TRUE(b.Ready);
    TMainForm* a = Start();
    ConnectPeerTo(*a, b);

    // Connected: refused, and nothing opens.
    bool opened = false;
    {
        WhenModal<QDialog> watch([&](QDialog& d) {
            opened = true;
            d.reject();
        });
        a->RunGuarded([&] { a->OptionActionExecute(); });
    }
    EXPECT_FALSE(opened);
    EXPECT_EQ(Recorder.Texts(), QStringList{MsgCannotChangeSettings()});

    // The peer leaves; this side still listens.
    b.Command(QStringLiteral("disconnect"));
    ASSERT_TRUE(WaitFor([&] { return Recorder.Texts().contains(MsgDisconnected()); }));
    ASSERT_FALSE(a->Connected());
    Recorder.Clear();

    // A new port is refused; the dialog stays open with every edit, and
    // nothing is applied until it is confirmed with a port the endpoints take.
    const bool compress = a->Settings.UseCompress;
    const QString folder = Dir.filePath(QStringLiteral("a/新しい受信"));
    RunDialog(a, [&](TSettingForm& d) {
        d.UserNameEdit->setText(QStringLiteral("新しい名前"));
        d.PortEdit->SetValue(Port + 1);
        d.FolderEdit->setText(folder);
        d.UseCompressCheckBox->setChecked(!compress);
        d.SaveSettingsCheckBox->setChecked(false);
        d.SetStartColor1(0x123456);
        d.OKButton->click();

        ASSERT_EQ(Recorder.Texts().size(), 1);
        const QStringList lines = Recorder.Texts()[0].split(QStringLiteral("\r\n"));
        EXPECT_EQ(lines[0], QStringLiteral("ソケットを使用中は値を変更できません"));
        EXPECT_TRUE(lines.join(u'\n').contains(QStringLiteral("「サーバー作成」")));
        EXPECT_TRUE(lines.join(u'\n').contains(QString::number(Port)));
        EXPECT_TRUE(d.isVisible()) << "still open";
        EXPECT_EQ(d.PortEdit->Value(), Port + 1);
        EXPECT_EQ(d.FolderEdit->text(), folder);
        EXPECT_EQ(d.UseCompressCheckBox->isChecked(), !compress);
        EXPECT_FALSE(d.SaveSettingsCheckBox->isChecked());
        EXPECT_EQ(d.PreviewBar1->StartColor(), 0x123456u);
        EXPECT_EQ(a->Settings.UserName, QStringLiteral("ありす")) << "nothing applied yet";
        EXPECT_EQ(a->ListenPort(), Port);

        // Back to the port in use: everything else applies.
        d.PortEdit->SetValue(Port);
        d.OKButton->click();
    });
    EXPECT_EQ(Recorder.Texts().size(), 1);
    TMainForm* fresh = AwaitRestart(a);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->Settings.UserName, QStringLiteral("新しい名前"));
    EXPECT_EQ(fresh->Settings.ReceiveFolder, folder);
    EXPECT_EQ(fresh->Settings.UseCompress, !compress);
    EXPECT_FALSE(fresh->Settings.SaveSettings);
    EXPECT_EQ(fresh->Settings.StartColor1, 0x123456u);
    EXPECT_EQ(fresh->ListenPort(), Port);
}

} // namespace
