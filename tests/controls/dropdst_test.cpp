// The window hook and the file drop target, with drags delivered to the
// native window the way the desktop's drag and drop delivers them.

#include "controls/ctlhook.h"
#include "controls/dropdst.h"
#include "tests/support/wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>
#include <QWindow>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

// Failures show texts as text.
static void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace relvane {
namespace {

using test::WaitFor;

// A form that takes every drag itself and counts the drops that reach it.
class Form : public QWidget {
public:
    Form() {
        resize(200, 120);
        Edit = new QLineEdit(this); // takes text drops of its own
        Edit->setGeometry(10, 10, 100, 20);
        Label = new QLabel(QStringLiteral("label"), this);
        Label->setGeometry(10, 50, 100, 20);
    }
    using QWidget::create;
    using QWidget::destroy;

    int OwnDrops = 0;
    QLineEdit* Edit;
    QLabel* Label;

protected:
    void dragEnterEvent(QDragEnterEvent* e) override { e->acceptProposedAction(); }
    void dragMoveEvent(QDragMoveEvent* e) override { e->acceptProposedAction(); }
    void dropEvent(QDropEvent* e) override {
        ++OwnDrops;
        e->acceptProposedAction();
    }
};

// As file managers offer files: a URI list, and the paths as text.
QMimeData* UriList(const QList<QUrl>& urls) {
    auto* data = new QMimeData;
    data->setUrls(urls);
    QStringList text;
    for (const QUrl& url : urls)
        text << url.toString();
    data->setText(text.join(u'\n'));
    return data;
}

QList<QUrl> Files(const QStringList& paths) {
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls << QUrl::fromLocalFile(p);
    return urls;
}

// Enter, move and drop as the platform sends them to a native window; the
// drop only happens when the move was accepted. True when the drop was.
bool DropOnWindow(QWidget& form, QPoint at, const QMimeData& data) {
    QWindow* window = form.windowHandle();
    if (window == nullptr) return false;
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &enter);
    QDragMoveEvent move(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    if (enter.isAccepted() && enter.dropAction() != Qt::IgnoreAction) {
        move.setDropAction(enter.dropAction());
        move.accept();
    }
    QCoreApplication::sendEvent(window, &move);
    if (!move.isAccepted()) {
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(window, &leave);
        return false;
    }
    QDropEvent drop(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &drop);
    return drop.isAccepted();
}

struct Raised {
    QStringList Files;
    QPoint At;
};

class DropTest : public testing::Test {
protected:
    void SetUp() override {
        Target = new TDropDst(&F);
        Target->SetTarget(THookTarget::htForm);
        Target->Loaded();
        Target->OnFileDrop = [this](TDropDst& sender, const QStringList& files, int x, int y) {
            EXPECT_EQ(&sender, Target);
            Calls.push_back({files, QPoint(x, y)});
        };
        F.show();
    }
    // Lets a raised event arrive.
    bool Settle(std::size_t count) {
        return WaitFor([&] { return Calls.size() >= count; }, 2000);
    }

    Form F;
    TDropDst* Target = nullptr;
    std::vector<Raised> Calls;
};

TEST_F(DropTest, SeveralFilesRaiseOneEventWithEveryPathInOrder) {
    EXPECT_EQ(Target->HookedControl(), &F);
    EXPECT_EQ(Target->HookedHandle(), F.winId());
    EXPECT_TRUE(F.acceptDrops());

    const QStringList paths = {QStringLiteral("/tmp/z 最後.txt"), QStringLiteral("/tmp/a.bin"),
                               QStringLiteral("/home/u/資料/m")};
    std::unique_ptr<QMimeData> data(
        UriList(Files(paths) << QUrl(QStringLiteral("https://example.org/x"))));
    ASSERT_TRUE(DropOnWindow(F, QPoint(150, 90), *data));
    ASSERT_TRUE(Settle(1));
    ASSERT_EQ(Calls.size(), 1u) << "once per drop";
    EXPECT_EQ(Calls[0].Files, paths) << "local files only, in the order given";
    EXPECT_EQ(Calls[0].At, QPoint(150, 90));
    EXPECT_EQ(F.OwnDrops, 0);

    // Over a child control, even one that takes drops of its own: the
    // window's drop, in the window's coordinates.
    std::unique_ptr<QMimeData> one(UriList(Files({QStringLiteral("/tmp/one")})));
    ASSERT_TRUE(DropOnWindow(F, QPoint(20, 15), *one));
    ASSERT_TRUE(DropOnWindow(F, QPoint(20, 55), *one));
    ASSERT_TRUE(Settle(3));
    EXPECT_EQ(Calls[1].At, QPoint(20, 15));
    EXPECT_EQ(Calls[2].At, QPoint(20, 55));
    EXPECT_EQ(Calls[1].Files, QStringList{QStringLiteral("/tmp/one")});
    EXPECT_TRUE(F.Edit->text().isEmpty()) << "no file name pasted as text";

    // What carries no local file is not a file drop: the window decides.
    QMimeData text;
    text.setText(QStringLiteral("plain"));
    EXPECT_TRUE(DropOnWindow(F, QPoint(150, 90), text));
    std::unique_ptr<QMimeData> remote(UriList({QUrl(QStringLiteral("file://otherhost/share/x"))}));
    EXPECT_TRUE(DropOnWindow(F, QPoint(150, 90), *remote));
    QCoreApplication::processEvents();
    EXPECT_EQ(Calls.size(), 3u);
    EXPECT_EQ(F.OwnDrops, 2);
}

TEST_F(DropTest, DropWithoutHandlerIsSwallowedAndFailuresAreShown) {
    Target->OnFileDrop = nullptr;
    std::unique_ptr<QMimeData> data(UriList(Files({QStringLiteral("/tmp/a")})));
    EXPECT_TRUE(DropOnWindow(F, QPoint(100, 100), *data)) << "taken all the same";
    QCoreApplication::processEvents();
    EXPECT_EQ(F.OwnDrops, 0) << "the window never sees it";

    QStringList shown;
    Target->OnError = [&](const QString& text) { shown << text; };
    int raised = 0;
    Target->OnFileDrop = [&](TDropDst&, const QStringList&, int, int) {
        ++raised;
        throw std::runtime_error("失敗");
    };
    EXPECT_TRUE(DropOnWindow(F, QPoint(100, 100), *data));
    ASSERT_TRUE(WaitFor([&] { return !shown.isEmpty(); }, 2000));
    EXPECT_EQ(shown, QStringList{QStringLiteral("失敗")});
    EXPECT_EQ(raised, 1);
    // The next drop is handled as usual.
    EXPECT_TRUE(DropOnWindow(F, QPoint(100, 100), *data));
    EXPECT_TRUE(WaitFor([&] { return raised == 2; }, 2000));
}

TEST_F(DropTest, DropStillArrivesAfterTheWindowWasCreatedAnew) {
    const WId before = F.winId();
    F.destroy();
    EXPECT_EQ(Target->HookedHandle(), 0u);
    EXPECT_EQ(Target->HookedControl(), &F) << "the control stays hooked";
    F.create();
    F.show();
    ASSERT_NE(F.winId(), 0u);
    EXPECT_NE(F.winId(), before);
    EXPECT_EQ(Target->HookedHandle(), F.winId());
    EXPECT_TRUE(F.acceptDrops());

    // Over the child edit box too: the new native window is the one registered.
    std::unique_ptr<QMimeData> data(UriList(Files({QStringLiteral("/tmp/after")})));
    ASSERT_TRUE(DropOnWindow(F, QPoint(20, 15), *data));
    ASSERT_TRUE(Settle(1));
    EXPECT_EQ(Calls[0].Files, QStringList{QStringLiteral("/tmp/after")});
    EXPECT_EQ(Calls[0].At, QPoint(20, 15));
    EXPECT_TRUE(F.Edit->text().isEmpty());
    EXPECT_EQ(F.OwnDrops, 0);
}

TEST_F(DropTest, AcceptDropFalseRefusesAndTheSameValueChangesNothing) {
    std::unique_ptr<QMimeData> data(UriList(Files({QStringLiteral("/tmp/a")})));
    Target->SetAcceptDrop(false);
    EXPECT_FALSE(F.acceptDrops());
    EXPECT_FALSE(DropOnWindow(F, QPoint(150, 90), *data)) << "the window takes no drops";
    QCoreApplication::processEvents();
    EXPECT_TRUE(Calls.empty());

    Target->SetAcceptDrop(true);
    EXPECT_TRUE(F.acceptDrops());
    EXPECT_TRUE(DropOnWindow(F, QPoint(150, 90), *data));
    EXPECT_TRUE(Settle(1));

    // Setting the current value registers nothing anew.
    F.setAcceptDrops(false);
    Target->SetAcceptDrop(true);
    EXPECT_FALSE(F.acceptDrops());
    Target->UpdateDropAccept();
    EXPECT_TRUE(F.acceptDrops());
}

TEST(ControlHookTest, DestroyingTheHookedControlFirstLeavesTheTargetUnhooked) {
    auto* control = new QWidget;
    TDropDst target;
    target.SetControl(control); // htControl
    target.Loaded();
    ASSERT_EQ(target.HookedControl(), control);
    EXPECT_NE(target.HookedHandle(), 0u);
    delete control;
    EXPECT_EQ(target.HookedControl(), nullptr);
    EXPECT_EQ(target.HookedHandle(), 0u);
    EXPECT_EQ(target.Control(), nullptr);
    target.UpdateDropAccept(); // nothing left to register
    target.UnhookWindow();
}

TEST(ControlHookTest, FindsItsTargetOrSaysSo) {
    // No control named: nothing hooked, silently.
    TControlHook bare;
    EXPECT_NO_THROW(bare.SetTarget(THookTarget::htControl));
    EXPECT_EQ(bare.HookedControl(), nullptr);
    // No form anywhere: the form target fails.
    try {
        bare.SetTarget(THookTarget::htForm);
        ADD_FAILURE() << "no error";
    } catch (const EHookError& error) {
        EXPECT_EQ(QString::fromUtf8(error.what()), QStringLiteral("フック先を特定できません。"));
    }
    EXPECT_EQ(bare.HookedControl(), nullptr);

    // The form is found from a control, or from the hook's owner.
    QWidget form;
    auto* panel = new QWidget(&form);
    auto* edit = new QLineEdit(panel);
    TControlHook byControl;
    byControl.SetControl(edit);
    byControl.SetTarget(THookTarget::htForm);
    EXPECT_EQ(byControl.HookedControl(), &form);
    EXPECT_EQ(byControl.HookedHandle(), form.winId());
    auto* owned = new TControlHook(panel);
    owned->SetTarget(THookTarget::htForm);
    EXPECT_EQ(owned->HookedControl(), &form);
    // A child control: its events, its form's native window.
    TControlHook child;
    child.SetControl(edit);
    EXPECT_EQ(child.HookedControl(), edit);
    EXPECT_EQ(child.HookedHandle(), form.winId());
}

// Records the events it sees and keeps one kind from the control.
class Recorder : public TControlHook {
public:
    using TControlHook::TControlHook;
    std::vector<QEvent::Type> Seen;
    QEvent::Type Kept = QEvent::None;

protected:
    bool HookedMessage(QEvent* event) override {
        Seen.push_back(event->type());
        if (event->type() == Kept) return true;
        return TControlHook::HookedMessage(event);
    }
};

class Watched : public QWidget {
public:
    std::vector<QString> Order;

protected:
    bool event(QEvent* e) override {
        if (e->type() >= QEvent::User) Order.push_back(QStringLiteral("window"));
        return QWidget::event(e);
    }
};

class EarlierFilter : public QObject {
public:
    explicit EarlierFilter(std::vector<QString>& order) : Order(order) {}
    std::vector<QString>& Order;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() >= QEvent::User) Order.push_back(QStringLiteral("filter"));
        return false;
    }
};

TEST(ControlHookTest, SeesEveryEventFirstAndPassesOnTheRest) {
    Watched window;
    EarlierFilter filter(window.Order);
    window.installEventFilter(&filter);
    Recorder hook;
    hook.SetControl(&window);
    hook.Kept = QEvent::Type(QEvent::User + 1);

    QEvent passed(QEvent::Type(QEvent::User + 2));
    QCoreApplication::sendEvent(&window, &passed);
    EXPECT_EQ(window.Order,
              (std::vector<QString>{QStringLiteral("filter"), QStringLiteral("window")}));
    ASSERT_FALSE(hook.Seen.empty());
    EXPECT_EQ(hook.Seen.back(), QEvent::User + 2);

    window.Order.clear();
    QEvent kept(QEvent::Type(QEvent::User + 1));
    QCoreApplication::sendEvent(&window, &kept);
    EXPECT_TRUE(window.Order.empty()) << "handled by the hook alone";
    EXPECT_EQ(hook.Seen.back(), QEvent::User + 1);

    // Unhooked, the window is on its own again.
    hook.UnhookWindow();
    hook.Seen.clear();
    QCoreApplication::sendEvent(&window, &kept);
    EXPECT_TRUE(hook.Seen.empty());
    EXPECT_EQ(window.Order.size(), 2u);
}

TEST(DroppedItemsTest, FoldersStandForTheRegularFilesInThemInNameOrder) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto make = [&](const QString& name) {
        QDir().mkpath(QFileInfo(dir.filePath(name)).absolutePath());
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        return dir.filePath(name);
    };
    const QString top = make(QStringLiteral("single.txt"));
    make(QStringLiteral("tree/b.txt"));
    make(QStringLiteral("tree/a/z.bin"));
    make(QStringLiteral("tree/a/y/深い.txt"));
    make(QStringLiteral("tree/c.txt"));
    make(QStringLiteral("tree/.hidden"));
    QDir().mkpath(dir.filePath(QStringLiteral("tree/empty")));
    ASSERT_EQ(::mkfifo(dir.filePath(QStringLiteral("tree/pipe")).toLocal8Bit().constData(), 0600),
              0);
    ASSERT_EQ(::mkfifo(dir.filePath(QStringLiteral("pipe2")).toLocal8Bit().constData(), 0600), 0);
    // A link back up the tree is not followed.
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("tree")),
                            dir.filePath(QStringLiteral("tree/loop"))));

    const QString missing = dir.filePath(QStringLiteral("gone.txt"));
    const QStringList files = RegularFilesOf({dir.filePath(QStringLiteral("tree")), top, missing,
                                              dir.filePath(QStringLiteral("pipe2"))});
    const QString t = dir.filePath(QStringLiteral("tree"));
    EXPECT_EQ(files,
              (QStringList{t + QStringLiteral("/.hidden"), t + QStringLiteral("/a/y/深い.txt"),
                           t + QStringLiteral("/a/z.bin"), t + QStringLiteral("/b.txt"),
                           t + QStringLiteral("/c.txt"), top, missing}));
    EXPECT_TRUE(RegularFilesOf({dir.filePath(QStringLiteral("tree/empty"))}).isEmpty());
}

} // namespace
} // namespace relvane
