#pragma once
// The command line of relvane-cli.

#include <QString>
#include <QStringList>

namespace relvane::cli {

inline constexpr char ProgramName[] = "relvane-cli";

// Exit codes; a signal N ends the program with 128+N.
constexpr int ExitOk = 0;
constexpr int ExitFailure = 1; // anything that went wrong at run time
constexpr int ExitUsage = 2;   // the command line itself

struct Options {
    enum class Mode { Unset, Listen, Connect, Discover };
    Mode Role = Mode::Unset;
    QString Address; // --connect: IPv4 dotted quad
    int Port = 2010;
    QString UserName = QStringLiteral("NoName");
    QString ReceiveDir; // empty: the current directory
    bool Compress = true;
    bool Resume = true;
    QStringList Files;
    bool QuitAfterSend = false;
    bool QuitAfterReceive = false;
    int TimeoutSeconds = 30;       // 0: no limit
    int AnswerTimeoutSeconds = 10; // --listen: a connected peer's first answer
    int CompressionThreads = 0;    // 0: one per core, at least 2
    bool Extensions = true;        // extended lists with another copy of this program
    bool Discovery = true;         // --listen: answer discovery queries while waiting
    int DiscoverSeconds = 2;       // --discover: how long answers are collected
    bool Verbose = false;
    bool Help = false;
    bool Version = false;
};

struct ParseResult {
    Options Opts;
    QString Error; // empty when the command line is usable
};

// args without the program name.
[[nodiscard]] ParseResult ParseOptions(const QStringList& args);
[[nodiscard]] QString HelpText();
// "relvane-cli 1.0.0", the form help2man reads.
[[nodiscard]] QString VersionText();
// Strict IPv4 dotted quad: four decimal numbers 0-255.
[[nodiscard]] bool IsDottedQuad(const QString& text);

} // namespace relvane::cli
