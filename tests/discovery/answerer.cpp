// A stand-in for a copy in the namespace tests: `discovery_answerer PORT NAME
// active|idle` holds a Responder that answers (active: waiting as a server)
// or that answered once and stopped (idle: its peer came, or the wait was
// given up), prints "ready" and runs until killed or its standard input ends.
#include "discovery/responder.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fputs("usage: discovery_answerer PORT NAME active|idle\n", stderr);
        return 2;
    }
    relvane::discovery::Responder responder(QString::fromLatin1(argv[1]).toInt(),
                                            QString::fromUtf8(argv[2]));
    if (!responder.SetActive(true)) {
        std::fputs("cannot bind the port\n", stderr);
        return 1;
    }
    if (QByteArray(argv[3]) != "active") responder.SetActive(false);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [] {
        char c;
        if (::read(STDIN_FILENO, &c, 1) <= 0) QCoreApplication::quit();
    });
    std::puts("ready");
    std::fflush(stdout);
    return QCoreApplication::exec();
}
