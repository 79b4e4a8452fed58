#pragma once
// The receive history: one entry for each file that arrived or did not, kept
// in a file beside the settings file, newest last, at most the last Limit
// entries. Each entry is appended as one line and synced before Append
// returns, so a crash loses at most the entry being written; a line cut off
// by a crash (or damaged in any way) is skipped when the file is read.
// Qt Core only.

#include "session/session.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>

namespace relvane::app {

enum class THistoryOutcome : std::uint8_t {
    Received,
    CancelledHere,
    CancelledByPeer,
    Refused,
    Failed,
};

// "受信完了", "中止", "相手が中止", "拒否", "失敗"
[[nodiscard]] QString OutcomeText(THistoryOutcome outcome);

struct THistoryEntry {
    QDateTime When; // UTC
    QString Peer;
    QString File; // the name the peer sent; empty when the list ended before a file
    qint64 Size = 0;
    THistoryOutcome Outcome = THistoryOutcome::Received;
    QString StoredAt; // the stored file, or the receive folder when none was stored
    QString Detail;   // what the user was told when the list did not end well
    bool operator==(const THistoryEntry&) const = default;
};

class THistoryStore : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultLimit = 1000;
    explicit THistoryStore(QString path, int limit = DefaultLimit, QObject* parent = nullptr);

    // "ReceiveHistory.txt" in the folder of the settings file.
    [[nodiscard]] static QString FileBeside(const QString& settingsFile);
    [[nodiscard]] const QString& Path() const { return FPath; }
    // Oldest first.
    [[nodiscard]] const QList<THistoryEntry>& Entries() const { return FEntries; }
    // Reads the file again (another copy of the program may have written to it).
    void Reload();
    // Keeps the entry and writes it; false when the file could not be written
    // (the entry stays for this run).
    bool Append(const THistoryEntry& entry);

signals:
    void changed();

private:
    void Read();
    bool WriteAll();

    QString FPath;
    int Limit;
    QList<THistoryEntry> FEntries;
    int LinesInFile = 0; // whole lines, damaged ones included
};

// Feeds a store from a session's receiving events: an entry for each file
// that arrived, and one for a list that ended otherwise (for its file under
// way, if any).
class THistoryRecorder : public QObject {
    Q_OBJECT
public:
    THistoryRecorder(Session& session, THistoryStore& store, QObject* parent = nullptr);

private:
    void ListStarted();
    void FileStarted(const FileStart& file);
    void FileEnded(const QString& path);
    void ListEnded(const ListEnd& end);

    Session& S;
    THistoryStore& Store;
    QString Peer;
    QString Name;
    qint64 Size = 0;
    bool FileOpen = false;
};

} // namespace relvane::app
