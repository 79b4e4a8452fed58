#include "app/program.h"

#include "app/consts.h"
#include "app/mainform.h"
#include "app/messagebox.h"
#include "app/settings.h"
#include "app/uifont.h"
#include "status/statusform.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QLockFile>
#include <QPointer>
#include <QStandardPaths>
#include <QTranslator>

#include <cerrno>
#include <memory>
#include <optional>

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

// The command-line options QGuiApplication, its X11 plugin and QApplication
// take for themselves, with a value and without.
constexpr const char* QtValueOptions = "platform platformpluginpath platformtheme plugin "
                                       "qwindowgeometry qwindowtitle qwindowicon session display "
                                       "geometry title icon name style stylesheet qmljsdebugger";
constexpr const char* QtFlagOptions = "reverse testability widgetcount nograb dograb sync";

} // namespace

TCommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    // Qt's options are single-dash words ("-platform xcb").
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("The desktop program of TCP/IP Relvane: send files and chat between two "
                       "computers over TCP/IP."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on commandline options."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays version information."));
    parser.addOption(help);
    parser.addOption(version);
    for (const QString& name : QString::fromLatin1(QtValueOptions).split(u' ')) {
        QCommandLineOption option(name, QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const QString& name : QString::fromLatin1(QtFlagOptions).split(u' ')) {
        QCommandLineOption option(name, QString());
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    const QString program = arguments.isEmpty() ? QStringLiteral("relvane")
                                                : QFileInfo(arguments.constFirst()).fileName();
    const bool parsed = parser.parse(arguments);
    // Help and version answer whatever else the line holds, as in relvane-cli.
    if (parser.isSet(help)) {
        // Qt's usage line names the program only once an application object exists.
        QString text = parser.helpText();
        text.remove(0, text.indexOf(u'\n') + 1);
        text.prepend(QStringLiteral("Usage: %1 [options]\n").arg(program));
        text += QStringLiteral("\nThe standard options of Qt programs, such as -platform NAME "
                               "and -style STYLE,\nare understood as well.\n");
        return {TCommandLine::TAction::Help, text};
    }
    if (parser.isSet(version))
        return {TCommandLine::TAction::Version,
                QStringLiteral("relvane %1\n").arg(QStringLiteral(RELVANE_VERSION))};
    QString error;
    if (!parsed)
        error = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        error = QStringLiteral("Unexpected argument '%1'.")
                    .arg(parser.positionalArguments().constFirst());
    if (error.isEmpty()) return {};
    return {TCommandLine::TAction::Refused,
            QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(program, error)};
}

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
    // The new window stands where the user left the old one. By its client
    // area: a window not yet shown has no frame to place (move() would put
    // the new window's client area where the old frame's corner was).
    const std::optional<QPoint> place =
        Main() ? std::optional<QPoint>(Main()->geometry().topLeft()) : std::nullopt;
    DestroyMainForm();
    TMainForm* form = CreateMainForm();
    if (place) form->setGeometry(QRect(*place, form->size()));
    form->show();
}

void DestroyMainForm() {
    delete Main().data();
    Main() = nullptr;
}

} // namespace relvane::app
