// relvane-cli: the headless peer. Everything but the start is in cli_peer.
#include "cli/cli_peer.h"
#include "cli/discover.h"
#include "cli/options.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    using namespace relvane::cli;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(ProgramName));
    QCoreApplication::setApplicationVersion(QStringLiteral(RELVANE_VERSION));

    const ParseResult parsed = ParseOptions(QCoreApplication::arguments().mid(1));
    if (parsed.Opts.Help) {
        std::fputs(HelpText().toLocal8Bit().constData(), stdout);
        return ExitOk;
    }
    if (parsed.Opts.Version) {
        std::fputs(VersionText().toLocal8Bit().constData(), stdout);
        return ExitOk;
    }
    if (!parsed.Error.isEmpty()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", ProgramName,
                     parsed.Error.toLocal8Bit().constData(), ProgramName);
        return ExitUsage;
    }
    if (parsed.Opts.Role == Options::Mode::Discover) return RunDiscover(parsed.Opts);
    CliPeer peer(parsed.Opts);
    return peer.Run();
}
