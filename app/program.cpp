#include "app/program.h"

#include "app/consts.h"
#include "app/mainform.h"
#include "app/messagebox.h"
#include "app/settings.h"
#include "app/uifont.h"
#include "net/socket.h"
#include "status/statusform.h"

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QLockFile>
#include <QPointer>
#include <QStandardPaths>
#include <QTranslator>

#include <cerrno>
#include <memory>

namespace relvane::app {

namespace {
QString& SettingsPath() {
    static QString path;
    return path;
}
QPointer<TMainForm>& Main() {
    static QPointer<TMainForm> form;
    return form;
}

// Texts of Qt's own that its Japanese translation lacks (the file dialog's
// "Type" column for folders and drives).
class TQtTextsSupplement : public QTranslator {
public:
    using QTranslator::QTranslator;
    [[nodiscard]] bool isEmpty() const override { return false; }
    [[nodiscard]] QString translate(const char* context, const char* source,
                                    const char* /*disambiguation*/, int /*n*/) const override {
        static const struct {
            const char* Context;
            const char* Source;
            const char16_t* Text;
        } texts[] = {
            {"QAbstractFileIconProvider", "Folder", u"フォルダー"},
            {"QAbstractFileIconProvider", "File Folder", u"ファイル フォルダー"},
            {"QAbstractFileIconProvider", "File", u"ファイル"},
            {"QAbstractFileIconProvider", "Drive", u"ドライブ"},
            {"QAbstractFileIconProvider", "Shortcut", u"ショートカット"},
            {"QAbstractFileIconProvider", "Unknown", u"不明"},
        };
        for (const auto& t : texts) {
            if (qstrcmp(context, t.Context) == 0 && qstrcmp(source, t.Source) == 0)
                return QString::fromUtf16(t.Text);
        }
        return {};
    }
};

// Qt's own texts and formats (the file, folder and colour dialogs, the
// standard buttons, dates and file types) in Japanese, whatever the system's
// language: the program speaks Japanese throughout.
void LoadQtJapanese(QApplication& app) {
    static bool loaded = false; // once per run, however often the program starts up
    if (loaded) return;
    loaded = true;
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    // Asked after the translation below, which is installed later.
    auto* supplement = new TQtTextsSupplement(&app);
    app.installTranslator(supplement);
    auto* translator = new QTranslator(&app);
    if (translator->load(QStringLiteral("qtbase_ja"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        app.installTranslator(translator);
    } else {
        delete translator; // English dialogs rather than none
    }
}

} // namespace

void InitApplication(QApplication& app) {
    // A plain name for the toolkit (temporary files, folders); the title
    // with its "/" is for captions and message boxes.
    app.setApplicationName(QStringLiteral("relvane"));
    // The main window's close ends the program, whatever else is open.
    app.setQuitOnLastWindowClosed(false);
    SubstituteJapaneseFonts();
    LoadQtJapanese(app);
    // The desktop's own dialogs follow the desktop's language; Qt's follow
    // the translation above.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    SetStatusWindowSlot(ClaimWindowSlot());
    SetSocketErrorHandler(
        [](const ESocketError& error) { ShowErrorMessage(MainForm(), SocketErrorText(error)); });
}

QString SocketErrorHint(const ESocketError& error) {
    const QString& api = error.Api();
    const bool connecting = api == u"connect" || api == u"async";
    const bool listening = api == u"bind" || api == u"listen";
    const bool moving = api == u"send" || api == u"recv";
    switch (error.Code()) {
    case ECONNREFUSED:
        return connecting ? HintConnectionRefused() : QString();
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
        if (connecting) return HintUnreachable();
        return moving ? HintConnectionLost() : QString();
    case ECONNRESET:
    case EPIPE:
        return moving ? HintConnectionLost() : QString();
    case EINVAL:
        // The only invalid argument of a connect is an address text that is
        // not a dotted IPv4 address.
        return api == u"connect" ? HintNotAnAddress() : QString();
    case EADDRINUSE:
        return listening ? HintPortTaken() : QString();
    case EACCES:
        return listening ? HintPortPrivileged() : QString();
    default:
        return {};
    }
}

QString SocketErrorText(const ESocketError& error) {
    const QString hint = SocketErrorHint(error);
    return hint.isEmpty() ? error.Message() : error.Message() + QStringLiteral("\r\n") + hint;
}

int ClaimWindowSlot() {
    constexpr int slotCount = 16;
    static int claimed = -1;
    static std::unique_ptr<QLockFile> held;
    if (claimed >= 0) return claimed;
    claimed = 0;
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) return claimed;
    for (int slot = 0; slot < slotCount; ++slot) {
        auto lock = std::make_unique<QLockFile>(
            QDir(folder).filePath(QStringLiteral("relvane-window-slot-%1.lock").arg(slot)));
        // Held for the whole run: only a holder that no longer runs makes a lock stale.
        lock->setStaleLockTime(0);
        if (lock->tryLock(0)) {
            held = std::move(lock);
            claimed = slot;
            break;
        }
    }
    return claimed;
}

QString SettingsFile() {
    return SettingsPath().isEmpty() ? DefaultSettingsFile() : SettingsPath();
}

void SetSettingsFile(const QString& path) {
    SettingsPath() = path;
}

TMainForm* MainForm() {
    return Main().data();
}

TMainForm* CreateMainForm() {
    auto* form = new TMainForm(SettingsFile());
    Main() = form;
    QObject::connect(
        form, &TMainForm::FormClosed, qApp,
        [form] {
            if (Main() == form) QCoreApplication::quit();
        },
        Qt::QueuedConnection);
    return form;
}

void ReplaceMainForm() {
    DestroyMainForm();
    CreateMainForm()->show();
}

void DestroyMainForm() {
    delete Main().data();
    Main() = nullptr;
}

} // namespace relvane::app
