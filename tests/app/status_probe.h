#pragma once
// Watches a transfer status window for the tests: what it shows when it is
// shown, at each refresh while it shows, and when it is hidden. Used in the
// test process and in the second main window's process alike.

#include "status/statusform.h"

#include <QEvent>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

#include <functional>
#include <utility>

namespace relvane::test {

inline QJsonArray RectJson(const QRect& r) {
    return QJsonArray{r.x(), r.y(), r.width(), r.height()};
}

// What a status window shows.
inline QJsonObject StatusSnapshot(TStatusForm& w) {
    QJsonArray files;
    for (int i = 0; i < w.FileListBox->count(); ++i)
        files.append(w.FileListBox->item(i)->text());
    return QJsonObject{
        {QStringLiteral("visible"), w.isVisible()},
        {QStringLiteral("caption"), w.windowTitle()},
        {QStringLiteral("files"), files},
        {QStringLiteral("current"), w.FileListBox->currentRow()},
        {QStringLiteral("listMax"), w.ListProgressBar->MaxValue()},
        {QStringLiteral("listPos"), w.ListProgressBar->Position()},
        {QStringLiteral("fileMax"), w.FileProgressBar->MaxValue()},
        {QStringLiteral("filePos"), w.FileProgressBar->Position()},
        {QStringLiteral("compress"), w.CompressCheckIndicator->Checked()},
        {QStringLiteral("resume"), w.ResumeCheckIndicator->Checked()},
        {QStringLiteral("process"), w.ProcessLabel->text()},
        {QStringLiteral("average"), w.AverageLabel->text()},
        {QStringLiteral("attached"), w.Progress() != nullptr},
        {QStringLiteral("frame"), RectJson(w.frameGeometry())},
    };
}

// Reports the window's snapshot with "what" set to "show", "tick" (after a
// refresh while it shows) or "hide".
class StatusProbe : public QObject {
public:
    StatusProbe(TStatusForm& window, std::function<void(QJsonObject)> report)
        : Window(window), Report(std::move(report)) {
        window.installEventFilter(this);
        // Connected after the window's own handler: reports what the tick showed.
        connect(window.StatusTimer, &QTimer::timeout, this, [this] {
            if (Window.isVisible()) Tell(QStringLiteral("tick"));
        });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &Window && event->type() == QEvent::Show) Tell(QStringLiteral("show"));
        if (watched == &Window && event->type() == QEvent::Hide) Tell(QStringLiteral("hide"));
        return false;
    }

private:
    void Tell(const QString& what) {
        QJsonObject e = StatusSnapshot(Window);
        e[QStringLiteral("what")] = what;
        Report(e);
    }

    TStatusForm& Window;
    std::function<void(QJsonObject)> Report;
};

} // namespace relvane::test
