#pragma once
// A non-visual component that puts itself in front of one window: it sees
// every event of the hooked control before the control does, lets its
// subclass handle some of them, and passes on the rest. It follows the
// control when the toolkit destroys and creates its native window anew, and
// lets go when the control itself is destroyed.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <stdexcept>

namespace relvane {

enum class THookTarget {
    htControl, // the control named by Control
    htForm,    // the form that contains Control, or the form owning the hook
};

// The hook found no window to put itself in front of; what() is UTF-8.
class EHookError : public std::runtime_error {
public:
    explicit EHookError(const QString& message)
        : std::runtime_error(message.toUtf8().toStdString()) {}
};

[[nodiscard]] inline QString MsgNoHookTarget() {
    return QStringLiteral("フック先を特定できません。");
}

class TControlHook : public QObject {
    Q_OBJECT
public:
    explicit TControlHook(QObject* owner = nullptr);
    ~TControlHook() override;

    [[nodiscard]] THookTarget Target() const { return FTarget; }
    [[nodiscard]] QWidget* Control() const { return FControl.data(); }
    // Each setter unhooks, stores the value and hooks again; the htForm
    // target throws EHookError when it finds no form.
    void SetTarget(THookTarget target);
    void SetControl(QWidget* control);

    // The control whose events pass through the hook now, or none.
    [[nodiscard]] QWidget* HookedControl() const { return FHookedControl.data(); }
    // The native window the hooked control draws into; 0 while there is none.
    [[nodiscard]] WId HookedHandle() const { return FHookedHandle; }

    // The owner has set every property: hook again with the final values.
    virtual void Loaded();

    // The control the properties name, or none.
    [[nodiscard]] QWidget* HookTargetWindow() const;
    void HookWindow();
    void UnhookWindow();

protected:
    // kind 1: the hooked control's native window is gone; 2: it exists (again).
    virtual void HandleChanged(int kind);
    // One event of the hooked control; true when it was handled here and the
    // control must not see it. The base passes everything on.
    virtual bool HookedMessage(QEvent* event);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void HookedControlDestroyed();
    // A child control draws into its form's native window: the hook watches
    // that form for re-creation too.
    void WatchNativeWindow();
    [[nodiscard]] WId CurrentHandle() const;

    THookTarget FTarget = THookTarget::htControl;
    QPointer<QWidget> FControl;
    QPointer<QWidget> FHookedControl;
    QPointer<QWidget> FWatchedForm;
    QMetaObject::Connection DestroyedConnection;
    WId FHookedHandle = 0;
};

} // namespace relvane
