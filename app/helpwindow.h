#pragma once
// The help viewer: a short Japanese help page built into the program, opened
// at a context number (1 the contents, 5 the connection controls).

#include <QWidget>

class QTextBrowser;

namespace relvane::app {

constexpr int HelpContents = 1;
constexpr int HelpConnection = 5;
// The property of a control or an action that names its topic for F1.
constexpr const char* HelpContextProperty = "helpContext";

class THelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit THelpWindow(QWidget* parent = nullptr);

    // Shows the page at the topic of `context` (the contents when unknown).
    void OpenContext(int context);
    [[nodiscard]] int CurrentContext() const { return FContext; }

    QTextBrowser* Browser;

private:
    int FContext = HelpContents;
};

// The page's HTML; every topic is an anchor named "context<N>".
[[nodiscard]] QString HelpPage();

} // namespace relvane::app
