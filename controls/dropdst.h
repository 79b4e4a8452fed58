#pragma once
// A drop target for files dragged from the desktop's file managers: on the
// hooked control (with htForm, the whole window) it takes URI lists of local
// files and raises OnFileDrop once per drop with their full paths, in the
// order the file manager gave them, and the drop point in the control's
// coordinates. Child controls that take drops of their own (edit boxes) do
// not get files dropped over them: the drop counts for the hooked control.

#include "controls/ctlhook.h"

#include <QPoint>
#include <QPointer>
#include <QStringList>

#include <functional>

class QDropEvent;
class QMimeData;
class QWindow;

namespace relvane {

class TDropDst;

using TFileDropEvent =
    std::function<void(TDropDst& sender, const QStringList& files, int x, int y)>;

class TDropDst : public TControlHook {
    Q_OBJECT
public:
    explicit TDropDst(QObject* owner = nullptr);

    TFileDropEvent OnFileDrop;
    // Shows a failure of the drop handling (the handler's, for instance);
    // a plain error box when not set.
    std::function<void(const QString& text)> OnError;

    [[nodiscard]] bool AcceptDrop() const { return FAcceptDrop; }
    // Registers or unregisters the hooked control, only when the value changes.
    void SetAcceptDrop(bool accept);

    void Loaded() override;
    // Registers the hooked control for dropped files when AcceptDrop is set,
    // unregisters it otherwise; nothing while there is no native window.
    void UpdateDropAccept();

    // The local files a drag carries, in its order; empty when it carries none.
    [[nodiscard]] static QStringList DroppedPaths(const QMimeData* data);

protected:
    void HandleChanged(int kind) override;
    bool HookedMessage(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The drag events as the form's native window receives them, before any
    // child control.
    bool WindowDragEvent(QEvent* event);
    void Drop(const QMimeData* data, QPoint point);
    void ShowError(const QString& text);
    [[nodiscard]] bool Registered() const;

    bool FAcceptDrop = true;
    // The native window whose drags pass through here while registered.
    QPointer<QWindow> DropWindow;
    // The current drag was left to the window's own handling so far.
    bool DragPassedOn = false;
};

// The files a drop stands for, in order: a regular file as given, a folder
// by the regular files under it (every level, each folder's entries in name
// order, folders linked to not followed). Anything else that exists (a pipe,
// a device) is left out: reading it would block the sender. A path that
// does not exist is kept, for the sender to report.
[[nodiscard]] QStringList RegularFilesOf(const QStringList& paths);

} // namespace relvane
