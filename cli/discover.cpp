#include "cli/discover.h"

#include "cli/terminal.h"
#include "discovery/finder.h"

#include <QCoreApplication>

namespace relvane::cli {

int RunDiscover(const Options& options) {
    discovery::Finder finder(options.Port);
    finder.SetCollectMs(options.DiscoverSeconds * 1000);
    int count = 0;
    QObject::connect(
        &finder, &discovery::Finder::found,
        [](const QString& name, const QString& address, int port) {
            Out(QStringLiteral("%1\t%2\t%3").arg(TerminalSafe(name), address).arg(port));
        });
    QObject::connect(&finder, &discovery::Finder::finished, [&count](int n) {
        count = n;
        QCoreApplication::quit();
    });
    if (finder.Start() == 0) {
        Note(QStringLiteral("relvane-cli: no network to ask: no IPv4 interface is up with a "
                            "broadcast address"));
        return ExitFailure;
    }
    QCoreApplication::exec();
    if (count == 0) {
        Note(QStringLiteral("見つかりませんでした"));
        Note(QStringLiteral("relvane-cli: nobody answered on UDP port %1 within %2 s. Is the "
                            "peer waiting (--listen or サーバー作成) on this port, on the same "
                            "network, and does its firewall let UDP and TCP on the port through?")
                 .arg(options.Port)
                 .arg(options.DiscoverSeconds));
        return ExitFailure;
    }
    return ExitOk;
}

} // namespace relvane::cli
