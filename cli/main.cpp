// relvane-cli: the headless peer. Everything but the start is in cli_peer.
#include "cli/cli_peer.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    const QString program = QFileInfo(args.takeFirst()).fileName();

    const relvane::cli::ParseResult parsed = relvane::cli::ParseOptions(args);
    if (parsed.Opts.Help) {
        std::fputs(relvane::cli::HelpText(program).toLocal8Bit().constData(), stdout);
        return relvane::cli::ExitOk;
    }
    if (!parsed.Error.isEmpty()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", qPrintable(program),
                     qPrintable(parsed.Error), qPrintable(program));
        return relvane::cli::ExitUsage;
    }
    relvane::cli::CliPeer peer(parsed.Opts);
    return peer.Run();
}
