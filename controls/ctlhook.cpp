#include "controls/ctlhook.h"

#include <QEvent>

namespace relvane {

namespace {

// The native window `control` draws into: its own, or for a child control
// without one, that of the nearest ancestor that has one. 0 when none exists.
WId NativeHandle(const QWidget* control) {
    for (const QWidget* w = control; w != nullptr; w = w->parentWidget()) {
        if (w->internalWinId() != 0) return w->internalWinId();
        if (w->isWindow()) break;
    }
    return 0;
}

} // namespace

TControlHook::TControlHook(QObject* owner) : QObject(owner) {}

TControlHook::~TControlHook() {
    UnhookWindow();
}

void TControlHook::SetTarget(THookTarget target) {
    UnhookWindow();
    FTarget = target;
    HookWindow();
}

void TControlHook::SetControl(QWidget* control) {
    UnhookWindow();
    FControl = control;
    HookWindow();
}

void TControlHook::Loaded() {
    SetControl(FControl.data());
}

QWidget* TControlHook::HookTargetWindow() const {
    if (FTarget == THookTarget::htControl) return FControl.data();
    // The first form up the chain of owners; a control met first stands for
    // the form that contains it.
    for (QObject* o = FControl ? static_cast<QObject*>(FControl.data()) : parent(); o != nullptr;
         o = o->parent()) {
        if (auto* widget = qobject_cast<QWidget*>(o)) return widget->window();
    }
    return nullptr;
}

WId TControlHook::CurrentHandle() const {
    return NativeHandle(FHookedControl.data());
}

void TControlHook::HookWindow() {
    QWidget* target = HookTargetWindow();
    WId handle = 0;
    if (target != nullptr) {
        target->window()->winId(); // creates the native window when there is none yet
        handle = NativeHandle(target);
    }
    if (target == nullptr || handle == 0) {
        if (FTarget == THookTarget::htForm) throw EHookError(MsgNoHookTarget());
        return;
    }
    FHookedHandle = handle;
    FHookedControl = target;
    // The raw pointer: by the time destroyed() arrives the guard is cleared.
    DestroyedConnection =
        connect(target, &QObject::destroyed, this, [this] { HookedControlDestroyed(); });
    // Installed last, so it runs before every other filter of the control.
    target->installEventFilter(this);
    WatchNativeWindow();
}

void TControlHook::UnhookWindow() {
    if (!FHookedControl) return;
    FHookedControl->removeEventFilter(this);
    if (FWatchedForm) FWatchedForm->removeEventFilter(this);
    FWatchedForm = nullptr;
    disconnect(DestroyedConnection);
    FHookedControl = nullptr;
    FHookedHandle = 0;
}

void TControlHook::HookedControlDestroyed() {
    // The control is going away: nothing to give back to it.
    HandleChanged(1);
    FHookedControl = nullptr;
    if (FWatchedForm) FWatchedForm->removeEventFilter(this);
    FWatchedForm = nullptr;
}

void TControlHook::WatchNativeWindow() {
    QWidget* form =
        FHookedControl && !FHookedControl->isWindow() ? FHookedControl->window() : nullptr;
    if (form == FWatchedForm.data()) return;
    if (FWatchedForm) FWatchedForm->removeEventFilter(this);
    FWatchedForm = form;
    if (form != nullptr) form->installEventFilter(this);
}

void TControlHook::HandleChanged(int kind) {
    FHookedHandle = kind == 1 ? 0 : CurrentHandle();
}

bool TControlHook::HookedMessage(QEvent* /*event*/) {
    return false;
}

bool TControlHook::eventFilter(QObject* watched, QEvent* event) {
    QWidget* hooked = FHookedControl.data();
    if (hooked == nullptr) return false;
    if (watched == FWatchedForm.data() && watched != hooked) {
        // The form of a child control: only its native window matters here.
        if (event->type() == QEvent::WinIdChange) HandleChanged(CurrentHandle() == 0 ? 1 : 2);
        return false;
    }
    if (watched != hooked) return false;
    switch (event->type()) {
    case QEvent::WinIdChange:
        // Sent after the toolkit destroyed or created the native window.
        HandleChanged(CurrentHandle() == 0 ? 1 : 2);
        break;
    case QEvent::ParentChange:
        // Moved into another form: another native window.
        WatchNativeWindow();
        HandleChanged(CurrentHandle() == 0 ? 1 : 2);
        break;
    default:
        break;
    }
    return HookedMessage(event);
}

} // namespace relvane
