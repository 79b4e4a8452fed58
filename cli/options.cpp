#include "cli/options.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace relvane::cli {

namespace {

// The options in the order --help lists them.
struct Parser {
    QCommandLineParser P;
    QCommandLineOption Listen{QStringLiteral("listen"),
                              QStringLiteral("wait for the peer on the port (this side drives the "
                                             "handshake)")};
    QCommandLineOption Connect{
        QStringLiteral("connect"),
        QStringLiteral("connect to the peer at this IPv4 address (dotted quad, no names)"),
        QStringLiteral("ADDRESS")};
    QCommandLineOption Discover{
        QStringLiteral("discover"),
        QStringLiteral("ask the local networks which peers wait with --listen (or as a server) "
                       "on the port, print each as NAME<TAB>ADDRESS<TAB>PORT and exit; only "
                       "networks this computer is on directly are asked, peers behind a "
                       "router are not found")};
    QCommandLineOption NoDiscovery{
        QStringLiteral("no-discovery"),
        QStringLiteral("with --listen: do not answer --discover and the desktop program's "
                       "search")};
    QCommandLineOption Port{QStringLiteral("port"),
                            QStringLiteral("TCP port, 1-65535 (default 2010)"),
                            QStringLiteral("N")};
    QCommandLineOption Name{QStringLiteral("name"),
                            QStringLiteral("user name shown to the peer (default NoName)"),
                            QStringLiteral("NAME")};
    QCommandLineOption RecvDir{QStringLiteral("recv-dir"),
                               QStringLiteral("folder for received files (default: the current "
                                              "folder)"),
                               QStringLiteral("DIR")};
    QCommandLineOption Compress{QStringLiteral("compress"),
                                QStringLiteral("ask for compressed blocks (default)")};
    QCommandLineOption NoCompress{QStringLiteral("no-compress"),
                                  QStringLiteral("do not compress; off for the connection if "
                                                 "either side says so")};
    QCommandLineOption Resume{QStringLiteral("resume"),
                              QStringLiteral("continue partial files (default)")};
    QCommandLineOption NoResume{QStringLiteral("no-resume"),
                                QStringLiteral("always send and receive whole files")};
    QCommandLineOption NoExtensions{
        QStringLiteral("no-extensions"),
        QStringLiteral("with another copy of this program too, use only what every peer "
                       "understands: no files of 2 GiB or more, no folders, no verification "
                       "(for a peer that drops the connection on frames it does not know)")};
    QCommandLineOption QuitAfterSend{QStringLiteral("quit-after-send"),
                                     QStringLiteral("quit once the peer has accepted the files "
                                                    "given")};
    QCommandLineOption QuitAfterReceive{
        QStringLiteral("quit-after-receive"),
        QStringLiteral("quit once one list of files has been received (with both, quit when "
                       "both have happened)")};
    QCommandLineOption Timeout{QStringLiteral("timeout"),
                               QStringLiteral("limit for waiting for the peer, connecting and the "
                                              "handshake (default 30; 0 waits without limit); "
                                              "with --discover: how long answers are collected, "
                                              "1-60 (default 2)"),
                               QStringLiteral("SECONDS")};
    QCommandLineOption AnswerTimeout{
        QStringLiteral("answer-timeout"),
        QStringLiteral("with --listen: how long a peer that connected may take to answer the "
                       "handshake's first step before it is dropped and the next one awaited "
                       "(default 10)"),
        QStringLiteral("SECONDS")};
    QCommandLineOption Threads{
        QStringLiteral("threads"),
        QStringLiteral("threads compressing the files this side sends, 1-8 (default: one per "
                       "core, at least 2)"),
        QStringLiteral("N")};
    QCommandLineOption Verbose{{QStringLiteral("v"), QStringLiteral("verbose")},
                               QStringLiteral("progress every half second also when standard "
                                              "error is not a terminal")};
    // Own help and version options: Qt's would add --help-all and take -v.
    QCommandLineOption Help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("this text")};
    QCommandLineOption Version{QStringLiteral("version"),
                               QStringLiteral("the program's name and version")};

    Parser() {
        P.setApplicationDescription(QStringLiteral(
            "Headless TCP/IP Relvane peer: sends files to and receives files from another\n"
            "peer (this program or the desktop program) over one TCP connection, and\n"
            "chats: each line read from standard input is sent as a chat line, each line\n"
            "from the peer is printed on standard output as \"name: text\", with control\n"
            "characters shown as \\xNN. Progress and messages go to standard error."));
        P.addOptions(
            {Listen,        Connect,          Discover, NoDiscovery,   NoExtensions, Port,
             Name,          RecvDir,          Compress, NoCompress,    Resume,       NoResume,
             QuitAfterSend, QuitAfterReceive, Timeout,  AnswerTimeout, Threads,      Verbose,
             Help,          Version});
        P.addPositionalArgument(QStringLiteral("FILE"),
                                QStringLiteral("files to send once connected (all in one list); "
                                               "put them after -- if a name starts with '-'"),
                                QStringLiteral("[FILE...]"));
    }
};

bool ParseInt(const QString& text, int min, int max, int& out) {
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    if (!ok || v < min || v > max || text.startsWith(u'+')) return false;
    out = v;
    return true;
}

} // namespace

bool IsDottedQuad(const QString& text) {
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4) return false;
    for (const QString& p : parts) {
        if (p.isEmpty() || p.size() > 3) return false;
        for (QChar c : p) {
            if (c < u'0' || c > u'9') return false;
        }
        if (p.toInt() > 255) return false;
    }
    return true;
}

ParseResult ParseOptions(const QStringList& args) {
    ParseResult r;
    Options& o = r.Opts;
    Parser parser;
    const bool parsed = parser.P.parse(QStringList{QString::fromLatin1(ProgramName)} + args);
    // Help and version answer whatever else the line holds.
    o.Help = parser.P.isSet(parser.Help);
    o.Version = parser.P.isSet(parser.Version);
    if (o.Help || o.Version) return r;
    if (!parsed) {
        r.Error = parser.P.errorText();
        return r;
    }

    // A value given twice: the last one counts.
    const auto last = [&](const QCommandLineOption& option) {
        return parser.P.values(option).constLast();
    };
    if (parser.P.isSet(parser.Connect)) {
        o.Address = last(parser.Connect);
        if (!IsDottedQuad(o.Address)) {
            r.Error =
                QStringLiteral("--connect needs an IPv4 address such as 192.168.0.5, not '%1'")
                    .arg(o.Address);
            return r;
        }
    }
    if (parser.P.isSet(parser.Port) && !ParseInt(last(parser.Port), 1, 65535, o.Port)) {
        r.Error = QStringLiteral("--port needs a number from 1 to 65535, not '%1'")
                      .arg(last(parser.Port));
        return r;
    }
    if (parser.P.isSet(parser.Name)) o.UserName = last(parser.Name);
    if (parser.P.isSet(parser.RecvDir)) {
        o.ReceiveDir = last(parser.RecvDir);
        if (o.ReceiveDir.isEmpty()) {
            r.Error = QStringLiteral("--recv-dir needs a folder");
            return r;
        }
    }
    if (parser.P.isSet(parser.Timeout) &&
        !ParseInt(last(parser.Timeout), 0, 24 * 3600, o.TimeoutSeconds)) {
        r.Error = QStringLiteral("--timeout needs a number of seconds from 0 to 86400, not '%1'")
                      .arg(last(parser.Timeout));
        return r;
    }
    if (parser.P.isSet(parser.AnswerTimeout) &&
        !ParseInt(last(parser.AnswerTimeout), 1, 3600, o.AnswerTimeoutSeconds)) {
        r.Error =
            QStringLiteral("--answer-timeout needs a number of seconds from 1 to 3600, not '%1'")
                .arg(last(parser.AnswerTimeout));
        return r;
    }
    if (parser.P.isSet(parser.Threads) &&
        !ParseInt(last(parser.Threads), 1, 8, o.CompressionThreads)) {
        r.Error = QStringLiteral("--threads needs a number from 1 to 8, not '%1'")
                      .arg(last(parser.Threads));
        return r;
    }
    // Of a pair of switches, the later one on the line wins.
    for (const QString& name : parser.P.optionNames()) {
        if (name == u"compress") o.Compress = true;
        if (name == u"no-compress") o.Compress = false;
        if (name == u"resume") o.Resume = true;
        if (name == u"no-resume") o.Resume = false;
    }
    o.QuitAfterSend = parser.P.isSet(parser.QuitAfterSend);
    o.QuitAfterReceive = parser.P.isSet(parser.QuitAfterReceive);
    o.Verbose = parser.P.isSet(parser.Verbose);
    o.Files = parser.P.positionalArguments();

    o.Discovery = !parser.P.isSet(parser.NoDiscovery);
    o.Extensions = !parser.P.isSet(parser.NoExtensions);

    const bool listen = parser.P.isSet(parser.Listen);
    const bool connect = parser.P.isSet(parser.Connect);
    if (parser.P.isSet(parser.Discover)) {
        o.Role = Options::Mode::Discover;
        if (listen || connect) {
            r.Error = QStringLiteral("--discover excludes --listen and --connect");
        } else if (!o.Files.isEmpty()) {
            r.Error = QStringLiteral("--discover sends no files");
        } else if (parser.P.isSet(parser.Timeout) &&
                   !ParseInt(last(parser.Timeout), 1, 60, o.DiscoverSeconds)) {
            r.Error = QStringLiteral("with --discover, --timeout needs a number of seconds from 1 "
                                     "to 60, not '%1'")
                          .arg(last(parser.Timeout));
        }
        return r;
    }
    if (listen && connect) {
        r.Error = QStringLiteral("--listen and --connect exclude each other");
    } else if (!listen && !connect) {
        r.Error = QStringLiteral("say --listen, --connect ADDRESS or --discover");
    } else if (o.QuitAfterSend && o.Files.isEmpty()) {
        r.Error = QStringLiteral("--quit-after-send needs files to send");
    }
    o.Role = listen ? Options::Mode::Listen : Options::Mode::Connect;
    return r;
}

QString HelpText() {
    Parser parser;
    QString text = parser.P.helpText();
    // Qt's usage line names the path the program was started by and cannot
    // say that one of the two roles is required.
    text.remove(0, text.indexOf(u'\n') + 1);
    return QStringLiteral("Usage: %1 (--listen | --connect ADDRESS) [options] [FILE...]\n"
                          "       %1 --discover [--port N] [--timeout SECONDS]\n\n")
               .arg(QString::fromLatin1(ProgramName)) +
           text +
           QStringLiteral(
               "\n"
               "Only the first peer is served; later ones are closed at once, and one that\n"
               "closes or stays silent before the handshake is dropped while --listen goes\n"
               "on waiting. The program ends when the peer disconnects, when a --quit-after\n"
               "condition is met, on Ctrl-C (it disconnects cleanly), or at the end of\n"
               "standard input if nothing is left to wait for: no --quit-after condition\n"
               "pending, no own files still unaccepted and no transfer running. Redirect\n"
               "standard input from a source that stays open to keep an idle peer connected.\n"
               "\n"
               "--listen answers discovery queries while it waits for a peer, and only then;\n"
               "the answer (the --name and the port) goes to the asking computer alone.\n"
               "--discover sends its query to the broadcast address of each network this\n"
               "computer is on, three times within a second, and prints the answers: names\n"
               "escaped like every text from a peer. A peer behind a router never sees the\n"
               "query; connect to it by its address. Nothing found: exit status 1.\n"
               "\n"
               "Exit status: 0 when everything asked for was done; 1 on any error (a\n"
               "failed connection or handshake, a transfer error or cancel, a list not\n"
               "delivered, the peer gone while a list was arriving, no answer to\n"
               "--discover); 2 for a bad command line; 128+N after signal N.\n");
}

QString VersionText() {
    return QStringLiteral("%1 %2\n").arg(QString::fromLatin1(ProgramName),
                                         QStringLiteral(RELVANE_VERSION));
}

} // namespace relvane::cli
