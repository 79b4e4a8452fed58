// The folder picker, driven through its modal dialog.

#include "controls/openfolder.h"
#include "tests/support/wait.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>

// Failures show texts as text.
static void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace relvane {
namespace {

// Acts on the folder dialog once it runs modally; remembers what it saw.
class DialogDriver {
public:
    explicit DialogDriver(std::function<void(QFileDialog&)> act) : Act(std::move(act)) {
        QObject::connect(&Timer, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr) return;
            Timer.stop();
            Title = dialog->windowTitle();
            Mode = dialog->fileMode();
            DirsOnly = dialog->testOption(QFileDialog::ShowDirsOnly);
            Schemes = dialog->supportedSchemes();
            OpenedAt = dialog->directory().absolutePath();
            Act(*dialog);
        });
        Timer.start(5);
    }
    bool Ran() const { return !Timer.isActive(); }

    QString Title;
    QFileDialog::FileMode Mode = QFileDialog::AnyFile;
    bool DirsOnly = false;
    QStringList Schemes;
    QString OpenedAt;

private:
    std::function<void(QFileDialog&)> Act;
    QTimer Timer;
};

class OpenFolderTest : public testing::Test {
protected:
    void SetUp() override {
        QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
        SavedHome = qgetenv("HOME");
        SavedConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", Home.path().toLocal8Bit());
        qunsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override {
        qputenv("HOME", SavedHome);
        if (SavedConfig.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", SavedConfig);
    }

    QTemporaryDir Home;
    QByteArray SavedHome, SavedConfig;
};

TEST_F(OpenFolderTest, RootsAreTheNearestFoldersOfThisDesktop) {
    const QString home = QDir(Home.path()).absolutePath();
    EXPECT_EQ(RootFolder(TBrowseDir::bdDeskTop), home) << "no Desktop folder: the home folder";
    ASSERT_TRUE(QDir(home).mkdir(QStringLiteral("Desktop")));
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    EXPECT_EQ(desktop, home + QStringLiteral("/Desktop"));
    EXPECT_EQ(RootFolder(TBrowseDir::bdDeskTop), desktop);
    EXPECT_EQ(RootFolder(TBrowseDir::bdDeskTopDirectory), desktop);
    EXPECT_EQ(RootFolder(TBrowseDir::bdDrives), QStringLiteral("/"));
    EXPECT_EQ(RootFolder(TBrowseDir::bdNetWork), home);
    EXPECT_EQ(RootFolder(TBrowseDir::bdPrinters), home);
    // A folder that does not exist leads to its nearest existing ancestor.
    ASSERT_TRUE(QDir(home).mkpath(QStringLiteral(".local/share")));
    EXPECT_EQ(RootFolder(TBrowseDir::bdBitBucket), home + QStringLiteral("/.local/share"));
    EXPECT_EQ(RootFolder(TBrowseDir::bdTemplates), home);
    ASSERT_TRUE(QDir(home).mkdir(QStringLiteral("Templates")));
    EXPECT_EQ(RootFolder(TBrowseDir::bdTemplates), home + QStringLiteral("/Templates"));
}

TEST_F(OpenFolderTest, BrowseHandsBackTheChosenFolderOrNothingOnCancel) {
    QTemporaryDir tree;
    ASSERT_TRUE(QDir(tree.path()).mkdir(QStringLiteral("受信")));
    const QString chosen = QDir(tree.path()).absoluteFilePath(QStringLiteral("受信"));

    QWidget owner;
    TOpenFolder picker(&owner);
    picker.Title = QStringLiteral("受信フォルダ選択");
    picker.Directory = QStringLiteral("/before");
    {
        DialogDriver driver([](QFileDialog& d) { d.reject(); });
        EXPECT_FALSE(picker.Browse());
        EXPECT_TRUE(driver.Ran());
        EXPECT_EQ(driver.Title, QStringLiteral("受信フォルダ選択"));
        EXPECT_EQ(driver.Mode, QFileDialog::Directory);
        EXPECT_TRUE(driver.DirsOnly);
        EXPECT_EQ(driver.Schemes, QStringList{QStringLiteral("file")});
        EXPECT_EQ(driver.OpenedAt, RootFolder(TBrowseDir::bdDeskTop)) << "not at Directory";
        EXPECT_EQ(picker.Directory, QStringLiteral("/before"));
    }
    {
        DialogDriver driver([&](QFileDialog& d) {
            d.setDirectory(chosen);
            static_cast<QDialog&>(d).accept(); // QFileDialog::accept checks the choice
        });
        EXPECT_TRUE(picker.Browse());
        EXPECT_TRUE(driver.Ran());
        EXPECT_EQ(picker.Directory, chosen);
    }
    {
        // Files may be shown; still only a folder comes back.
        picker.Flags = TBrowseFlag::bfBrowseIncludeFiles | TBrowseFlag::bfStatusText;
        picker.OpenDir = TBrowseDir::bdDrives;
        DialogDriver driver([](QFileDialog& d) { d.reject(); });
        EXPECT_FALSE(picker.Browse());
        EXPECT_FALSE(driver.DirsOnly);
        EXPECT_EQ(driver.Mode, QFileDialog::Directory);
        EXPECT_EQ(driver.OpenedAt, QStringLiteral("/"));
        EXPECT_EQ(picker.Directory, chosen);
    }
    // The folder in use wins over OpenDir; a vanished one leads to its
    // nearest existing ancestor.
    const std::pair<QString, QString> starts[] = {{chosen, chosen},
                                                  {chosen + QStringLiteral("/消えた/下"), chosen}};
    for (const auto& [initial, expected] : starts) {
        picker.InitialFolder = initial;
        DialogDriver driver([](QFileDialog& d) { d.reject(); });
        EXPECT_FALSE(picker.Browse());
        EXPECT_EQ(driver.OpenedAt, expected);
    }
}

} // namespace
} // namespace relvane
