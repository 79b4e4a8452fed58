#include "chat/messageform.h"
#include "tests/controls/fonts.h"
#include "tests/support/wait.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace relvane {
namespace {

const QString NotConnected = QStringLiteral("Error: 接続されてません");

class ChatTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::UseProgramFonts(); }

    void SetUp() override {
        Form.ChooseSaveFile = [this](QWidget*) { return Chosen; };
        Form.ShowMessage = [this](QWidget*, const QString& text) { Messages << text; };
        Form.OnSend = [this](TMessageForm&) { ++Sends; };
    }

    void Press(int key, const QString& text = {}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QCoreApplication::sendEvent(Form.MessageMemo, &press);
    }

    QByteArray Read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    TMessageForm Form;
    int Sends = 0;
    QString Chosen;
    QStringList Messages;
    QTemporaryDir Dir;
};

TEST_F(ChatTest, Layout) {
    EXPECT_EQ(Form.size(), QSize(328, 285));
    EXPECT_EQ(Form.MessageMemo->height(), 38);
    // Tab from the input box reaches the conversation next.
    QWidget* next = Form.MessageMemo->nextInFocusChain();
    while (next != Form.MessageMemo && !(next->focusPolicy() & Qt::TabFocus))
        next = next->nextInFocusChain();
    EXPECT_EQ(next, Form.LogMemo);
    Form.show();
    ASSERT_TRUE(test::WaitFor([&] { return Form.isVisible(); }));
    EXPECT_EQ(Form.focusWidget(), Form.MessageMemo);
    EXPECT_EQ(Form.MessageMemo->geometry().bottom(), Form.height() - 1);
    EXPECT_EQ(Form.LogMemo->geometry().top(), 0);
}

TEST_F(ChatTest, TabMovesToTheLogInsteadOfTypingATab) {
    Form.show();
    Form.activateWindow();
    ASSERT_TRUE(test::WaitFor([&] { return Form.isActiveWindow(); }));
    ASSERT_EQ(QApplication::focusWidget(), Form.MessageMemo);
    Press(Qt::Key_Tab, QStringLiteral("\t"));
    EXPECT_EQ(QApplication::focusWidget(), Form.LogMemo);
    EXPECT_EQ(Form.MessageText(), QString());
}

TEST_F(ChatTest, EnterSendsWithoutALineBreak) {
    Press(Qt::Key_Return); // empty box: nothing
    EXPECT_EQ(Sends, 0);
    Press(Qt::Key_A, QStringLiteral("a"));
    Press(Qt::Key_B, QStringLiteral("b"));
    EXPECT_EQ(Form.MessageText(), QStringLiteral("ab"));
    Press(Qt::Key_Return);
    Press(Qt::Key_Enter); // the keypad's Enter as well
    EXPECT_EQ(Sends, 2);
    EXPECT_EQ(Form.MessageText(), QStringLiteral("ab"));
    EXPECT_TRUE(Form.Lines().isEmpty()); // the window itself adds nothing

    Form.OnSend = nullptr; // nobody listening: Enter does nothing
    Press(Qt::Key_Return);
    EXPECT_EQ(Form.MessageText(), QStringLiteral("ab"));
}

TEST_F(ChatTest, SendingWhileNotConnectedAddsTheErrorLine) {
    Form.MessageMemo->setPlainText(QStringLiteral("やあ"));
    QString handed;
    SendChatText(Form, QStringLiteral("太郎"), [&](const QString& text) {
        handed = text;
        return ChatDelivery::NotConnected;
    });
    EXPECT_EQ(Form.Lines(), QStringList({QStringLiteral("太郎: やあ"), NotConnected}));
    EXPECT_TRUE(Form.MessageText().isEmpty());
    EXPECT_EQ(handed, QStringLiteral("やあ"));
}

TEST_F(ChatTest, SendingWhileConnectedEchoesOnly) {
    Form.MessageMemo->setPlainText(QStringLiteral("hello"));
    int calls = 0;
    SendChatText(Form, QStringLiteral("NoName"), [&](const QString& text) {
        ++calls;
        EXPECT_EQ(text, QStringLiteral("hello"));
        return ChatDelivery::Sent;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(Form.Lines(), QStringList({QStringLiteral("NoName: hello")}));
    EXPECT_TRUE(Form.MessageText().isEmpty());
}

TEST_F(ChatTest, AFailingSendKeepsTheTypedText) {
    Form.MessageMemo->setPlainText(QStringLiteral("keep me"));
    EXPECT_THROW(SendChatText(Form, QStringLiteral("me"),
                              [](const QString&) -> ChatDelivery {
                                  throw std::runtime_error("Broken pipe");
                              }),
                 std::runtime_error);
    EXPECT_EQ(Form.Lines(), QStringList({QStringLiteral("me: keep me")}));
    EXPECT_EQ(Form.MessageText(), QStringLiteral("keep me"));
}

TEST_F(ChatTest, PastedLineBreaksTravelAsCrLfAndSpanLines) {
    Form.MessageMemo->insertPlainText(QStringLiteral("one\r\ntwo\nthree"));
    EXPECT_EQ(Form.MessageText(), QStringLiteral("one\r\ntwo\r\nthree"));
    QString handed;
    SendChatText(Form, QStringLiteral("me"), [&](const QString& text) {
        handed = text;
        return ChatDelivery::Sent;
    });
    EXPECT_EQ(handed, QStringLiteral("one\r\ntwo\r\nthree"));
    EXPECT_EQ(Form.Lines(), QStringList({"me: one", "two", "three"}));
    EXPECT_EQ(Form.LogMemo->document()->blockCount(), 3);
}

TEST_F(ChatTest, PeerLinesShowTheWindowAndClosingOnlyHides) {
    Form.ShowChat(QStringLiteral("花子"), QStringLiteral("こんにちは"));
    EXPECT_TRUE(Form.isVisible());
    EXPECT_EQ(Form.Lines(), QStringList({QStringLiteral("花子: こんにちは")}));
    Form.close();
    EXPECT_FALSE(Form.isVisible());
    Form.ShowChat(QStringLiteral("花子"), QStringLiteral("まだ？"));
    EXPECT_TRUE(Form.isVisible());
    EXPECT_EQ(Form.Lines().size(), 2);
    EXPECT_EQ(Form.LogMemo->toPlainText(), QStringLiteral("花子: こんにちは\n花子: まだ？"));
}

TEST_F(ChatTest, TheInputBoxHasTheFocusWheneverTheWindowOpens) {
    QWidget owner; // the main window
    TMessageForm chat(&owner);
    const auto activateOwner = [&] {
        owner.show();
        owner.activateWindow();
        ASSERT_TRUE(test::WaitFor([&] { return owner.isActiveWindow(); }));
    };
    const std::pair<const char*, std::function<void()>> before[] = {
        {"first opening", [] {}},
        {"the log had the focus",
         [&] {
             chat.show();
             ASSERT_TRUE(test::WaitFor([&] { return chat.isActiveWindow(); }));
             chat.LogMemo->setFocus();
             chat.hide();
         }},
        {"the owner waited for a connection",
         [&] {
             owner.setEnabled(false);
             owner.setEnabled(true);
         }},
    };
    for (const auto& [what, prepare] : before) {
        SCOPED_TRACE(what);
        chat.hide();
        activateOwner();
        prepare();
        activateOwner(); // the user works in the main window when the line comes
        chat.ShowChat(QStringLiteral("花子"), QStringLiteral("返事をください"));
        ASSERT_TRUE(test::WaitFor([&] { return chat.isActiveWindow(); }));
        EXPECT_EQ(QApplication::focusWidget(), chat.MessageMemo);
    }
    // A wait while the window shows gives the focus back afterwards.
    owner.setEnabled(false);
    owner.setEnabled(true);
    ASSERT_EQ(QApplication::focusWidget(), chat.MessageMemo);
    QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    QCoreApplication::sendEvent(QApplication::focusWidget(), &key);
    EXPECT_EQ(chat.MessageText(), QStringLiteral("a"));
}

TEST_F(ChatTest, SaveErrorsAreTitledWithTheProgramsTitle) {
    TMessageForm chat; // with the real message box
    QString title;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            box->close();
        }
    });
    closer.start(5);
    chat.SaveLog(Dir.filePath(QStringLiteral("missing/chat")));
    EXPECT_EQ(title, QStringLiteral("TCP/IP Relvane"));
}

TEST_F(ChatTest, SavedLogIsShiftJisWithCrLfAfterEveryLine) {
    Form.AddLine(QStringLiteral("太郎"), QStringLiteral("こんにちは"));
    Form.AddLine(QStringLiteral("Error"), QStringLiteral("接続されてません"));
    Chosen = Dir.filePath(QStringLiteral("会話"));
    Form.SaveLogClick();
    EXPECT_TRUE(Messages.isEmpty());
    EXPECT_FALSE(QFile::exists(Chosen));
    EXPECT_EQ(Read(Chosen + ".log"),
              QByteArray::fromHex("91be98593a2082b182f182c982bf82cd0d0a"
                                  "4572726f723a2090da91b182b382ea82c482dc82b982f10d0a"));
}

TEST_F(ChatTest, LogNameGetsLogOnlyWithoutExtension) {
    Form.AddLine(QStringLiteral("a"), QStringLiteral("b"));
    Chosen = Dir.filePath(QStringLiteral("chat.txt"));
    Form.SaveLogClick();
    EXPECT_EQ(Read(Chosen), QByteArray("a: b\r\n"));
    EXPECT_FALSE(QFile::exists(Chosen + ".log"));

    ASSERT_TRUE(QDir(Dir.path()).mkdir(QStringLiteral("logs.d")));
    Chosen = Dir.filePath(QStringLiteral("logs.d/today"));
    Form.SaveLogClick();
    EXPECT_EQ(Read(Chosen + ".log"), QByteArray("a: b\r\n"));
    EXPECT_EQ(LogFilePath(QStringLiteral("/x/name.")), QStringLiteral("/x/name."));
}

TEST_F(ChatTest, SavingReplacesAnEarlierFileAndAnEmptyLogIsEmpty) {
    Chosen = Dir.filePath(QStringLiteral("old.log"));
    {
        QFile f(Chosen);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("a much longer earlier conversation\r\n");
    }
    Form.SaveLogClick();
    EXPECT_EQ(Read(Chosen), QByteArray());
    Form.AddLine(QStringLiteral("x"), QStringLiteral("y"));
    Form.SaveLogClick();
    EXPECT_EQ(Read(Chosen), QByteArray("x: y\r\n"));
}

TEST_F(ChatTest, CancelledOrImpossibleSaves) {
    Form.AddLine(QStringLiteral("a"), QStringLiteral("b"));
    Chosen.clear(); // the user cancelled
    Form.SaveLogClick();
    EXPECT_TRUE(Messages.isEmpty());
    EXPECT_TRUE(QDir(Dir.path()).isEmpty());

    Chosen = Dir.filePath(QStringLiteral("missing/chat"));
    Form.SaveLogClick();
    ASSERT_EQ(Messages.size(), 1);
    EXPECT_EQ(Messages[0], QStringLiteral("ファイル %1 を作成できません")
                               .arg(QDir::toNativeSeparators(Chosen + ".log")));
    EXPECT_FALSE(QFile::exists(Chosen + ".log"));
    EXPECT_EQ(Form.Lines(), QStringList({"a: b"}));
}

} // namespace
} // namespace relvane
