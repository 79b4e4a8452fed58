#include "controls/dropdst.h"

#include <QApplication>
#include <QDir>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>
#include <QWindow>

namespace relvane {

namespace {

bool IsDragEvent(QEvent::Type type) {
    return type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop;
}

void AddFolder(const QString& folder, QStringList& files) {
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.isDir()) {
            // A linked folder may lead back up the tree.
            if (!entry.isSymLink()) AddFolder(entry.absoluteFilePath(), files);
        } else if (entry.isFile()) {
            files << entry.absoluteFilePath();
        }
    }
}

} // namespace

TDropDst::TDropDst(QObject* owner) : TControlHook(owner) {}

void TDropDst::SetAcceptDrop(bool accept) {
    if (accept == FAcceptDrop) return;
    FAcceptDrop = accept;
    UpdateDropAccept();
}

void TDropDst::Loaded() {
    TControlHook::Loaded();
    UpdateDropAccept();
}

void TDropDst::HandleChanged(int kind) {
    TControlHook::HandleChanged(kind);
    UpdateDropAccept();
}

void TDropDst::UpdateDropAccept() {
    QWidget* control = HookedControl();
    if (HookedHandle() == 0 || control == nullptr) return;
    QWindow* window = control->window()->windowHandle();
    if (window == nullptr) return;
    control->setAcceptDrops(FAcceptDrop);
    if (DropWindow && (DropWindow != window || !FAcceptDrop)) DropWindow->removeEventFilter(this);
    if (!FAcceptDrop) {
        DropWindow = nullptr;
    } else if (DropWindow != window) {
        DropWindow = window;
        DragPassedOn = false;
        window->installEventFilter(this);
    }
}

bool TDropDst::Registered() const {
    const QWidget* control = HookedControl();
    return FAcceptDrop && control != nullptr && DropWindow &&
           control->window()->windowHandle() == DropWindow;
}

QStringList TDropDst::DroppedPaths(const QMimeData* data) {
    QStringList paths;
    if (data == nullptr || !data->hasUrls()) return paths;
    for (QUrl url : data->urls()) {
        if (!url.isLocalFile()) continue;
        if (url.host().compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0)
            url.setHost(QString());
        if (!url.host().isEmpty()) continue; // another machine's file
        const QString path = url.toLocalFile();
        if (!path.isEmpty()) paths << path;
    }
    return paths;
}

bool TDropDst::eventFilter(QObject* watched, QEvent* event) {
    if (watched == DropWindow.data() && watched != nullptr) return WindowDragEvent(event);
    return TControlHook::eventFilter(watched, event);
}

bool TDropDst::WindowDragEvent(QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::DragLeave) {
        DragPassedOn = false;
        return false;
    }
    if (!IsDragEvent(type) || !Registered()) return false;

    QWidget* control = HookedControl();
    auto* drag = static_cast<QDropEvent*>(event); // enter and move events are drop events too
    const QPoint point = control->mapFrom(control->window(), drag->position().toPoint());
    const bool ours = control->isEnabled() && control->rect().contains(point) &&
                      !DroppedPaths(drag->mimeData()).isEmpty();
    if (!ours) {
        // Some other drag, or outside the hooked control: the window's own
        // handling decides.
        DragPassedOn = type != QEvent::Drop;
        return false;
    }
    if (DragPassedOn) {
        // A child control was the drag's target so far: it is left now.
        DragPassedOn = false;
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(DropWindow.data(), &leave);
    }
    drag->setDropAction(Qt::CopyAction);
    drag->accept();
    if (type == QEvent::Drop) Drop(drag->mimeData(), point);
    return true;
}

bool TDropDst::HookedMessage(QEvent* event) {
    // Drag events sent to the control itself rather than to its window.
    if (!IsDragEvent(event->type()) || !FAcceptDrop) return TControlHook::HookedMessage(event);
    auto* drag = static_cast<QDropEvent*>(event);
    if (DroppedPaths(drag->mimeData()).isEmpty()) return TControlHook::HookedMessage(event);
    drag->setDropAction(Qt::CopyAction);
    drag->accept();
    if (event->type() == QEvent::Drop) Drop(drag->mimeData(), drag->position().toPoint());
    return true;
}

void TDropDst::Drop(const QMimeData* data, QPoint point) {
    if (!OnFileDrop) return; // swallowed all the same
    const QStringList files = DroppedPaths(data);
    // Raised once the drop has been answered: the file manager is not kept
    // waiting by the handler or by a message box it shows.
    QMetaObject::invokeMethod(
        this,
        [this, files, point] {
            if (!OnFileDrop) return;
            try {
                OnFileDrop(*this, files, point.x(), point.y());
            } catch (const std::exception& error) {
                ShowError(QString::fromUtf8(error.what()));
            }
        },
        Qt::QueuedConnection);
}

void TDropDst::ShowError(const QString& text) {
    if (OnError) {
        OnError(text);
        return;
    }
    QMessageBox::critical(HookedControl(), QApplication::applicationDisplayName(), text);
}

QStringList RegularFilesOf(const QStringList& paths) {
    QStringList files;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (info.isDir()) {
            AddFolder(info.absoluteFilePath(), files);
        } else if (info.isFile() || !info.exists()) {
            files << path;
        }
    }
    return files;
}

} // namespace relvane
