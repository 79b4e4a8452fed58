#include "app/history.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace relvane::app {

namespace {

// The file holds up to this many entries more than the limit before it is
// rewritten, so that a long list does not rewrite it for every file.
int Slack(int limit) {
    return std::max(1, limit / 10);
}

constexpr int FieldCount = 8; // check, when, outcome, size, peer, file, stored at, detail

const char* const OutcomeCodes[] = {"received", "cancelled", "cancelled-by-peer", "refused",
                                    "failed"};

// Tabs, line ends and backslashes inside a field are written as \t, \n, \r, \\.
QString Escape(const QString& field) {
    QString out;
    out.reserve(field.size());
    for (const QChar c : field) {
        switch (c.unicode()) {
        case u'\\':
            out += QStringLiteral("\\\\");
            break;
        case u'\t':
            out += QStringLiteral("\\t");
            break;
        case u'\n':
            out += QStringLiteral("\\n");
            break;
        case u'\r':
            out += QStringLiteral("\\r");
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::optional<QString> Unescape(QStringView field) {
    QString out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] != u'\\') {
            out += field[i];
            continue;
        }
        if (++i == field.size()) return std::nullopt;
        switch (field[i].unicode()) {
        case u'\\':
            out += u'\\';
            break;
        case u't':
            out += u'\t';
            break;
        case u'n':
            out += u'\n';
            break;
        case u'r':
            out += u'\r';
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

// A check of the rest of the line leads it: a line that a crash cut off or
// filled with zeros is not taken for an entry.
QByteArray Check(QByteArrayView rest) {
    return QByteArray::number(qChecksum(rest), 16).rightJustified(4, '0');
}

QByteArray Encode(const THistoryEntry& e) {
    const QStringList fields = {
        e.When.toUTC().toString(Qt::ISODateWithMs),
        QString::fromLatin1(OutcomeCodes[static_cast<int>(e.Outcome)]),
        QString::number(e.Size),
        Escape(e.Peer),
        Escape(e.File),
        Escape(e.StoredAt),
        Escape(e.Detail),
    };
    const QByteArray rest = fields.join(u'\t').toUtf8();
    return Check(rest) + '\t' + rest + '\n';
}

std::optional<THistoryEntry> Decode(QByteArrayView line) {
    const qsizetype tab = line.indexOf('\t');
    if (tab != 4 || line.first(4) != Check(line.sliced(5))) return std::nullopt;
    const QString rest = QString::fromUtf8(line.sliced(5));
    const QStringList fields = rest.split(u'\t');
    if (fields.size() != FieldCount - 1) return std::nullopt;
    THistoryEntry e;
    e.When = QDateTime::fromString(fields[0], Qt::ISODateWithMs);
    if (!e.When.isValid()) return std::nullopt;
    const auto code = std::find_if(std::begin(OutcomeCodes), std::end(OutcomeCodes),
                                   [&](const char* c) { return fields[1] == QLatin1String(c); });
    if (code == std::end(OutcomeCodes)) return std::nullopt;
    e.Outcome = static_cast<THistoryOutcome>(code - std::begin(OutcomeCodes));
    bool ok = false;
    e.Size = fields[2].toLongLong(&ok);
    if (!ok) return std::nullopt;
    const auto peer = Unescape(fields[3]), file = Unescape(fields[4]), stored = Unescape(fields[5]),
               detail = Unescape(fields[6]);
    if (!peer || !file || !stored || !detail) return std::nullopt;
    e.Peer = *peer;
    e.File = *file;
    e.StoredAt = *stored;
    e.Detail = *detail;
    return e;
}

bool WriteWhole(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

} // namespace

QString OutcomeText(THistoryOutcome outcome) {
    switch (outcome) {
    case THistoryOutcome::Received:
        return QStringLiteral("受信完了");
    case THistoryOutcome::CancelledHere:
        return QStringLiteral("中止");
    case THistoryOutcome::CancelledByPeer:
        return QStringLiteral("相手が中止");
    case THistoryOutcome::Refused:
        return QStringLiteral("拒否");
    case THistoryOutcome::Failed:
        return QStringLiteral("失敗");
    }
    return {};
}

THistoryStore::THistoryStore(QString path, int limit, QObject* parent)
    : QObject(parent), FPath(std::move(path)), Limit(limit) {
    Reload();
}

QString THistoryStore::FileBeside(const QString& settingsFile) {
    return QFileInfo(settingsFile).dir().filePath(QStringLiteral("ReceiveHistory.txt"));
}

void THistoryStore::Reload() {
    Read();
    emit changed();
}

void THistoryStore::Read() {
    FEntries.clear();
    LinesInFile = 0;
    QFile file(FPath);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray all = file.readAll();
        qsizetype start = 0;
        // What follows the last line end is an entry a crash cut off.
        for (qsizetype end = all.indexOf('\n'); end >= 0; end = all.indexOf('\n', start)) {
            ++LinesInFile;
            if (auto entry = Decode(QByteArrayView(all).sliced(start, end - start)))
                FEntries << *entry;
            start = end + 1;
        }
    }
    if (FEntries.size() > Limit) FEntries.remove(0, FEntries.size() - Limit);
}

bool THistoryStore::Append(const THistoryEntry& entry) {
    const bool compact = LinesInFile + 1 > Limit + Slack(Limit);
    // What another copy of the program appended is kept too.
    if (compact) Read();
    FEntries << entry;
    if (FEntries.size() > Limit) FEntries.removeFirst();
    bool written = false;
    if (compact) {
        written = WriteAll();
    } else {
        const int fd = ::open(QFile::encodeName(FPath).constData(),
                              O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            QByteArray line = Encode(entry);
            // A line a crash cut off ends here, so that this one starts a line.
            struct stat st {};
            char last = '\n';
            if (::fstat(fd, &st) == 0 && st.st_size > 0 &&
                ::pread(fd, &last, 1, st.st_size - 1) != 1)
                last = '\n';
            if (last != '\n') {
                line.prepend('\n');
                ++LinesInFile;
            }
            written = WriteWhole(fd, line) && ::fsync(fd) == 0;
            ::close(fd);
            if (written) ++LinesInFile;
        }
    }
    emit changed();
    return written;
}

bool THistoryStore::WriteAll() {
    // A new file beside the old one, then one rename: a crash leaves either.
    const QString temporary = FPath + QStringLiteral(".new");
    const QByteArray name = QFile::encodeName(temporary);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    QByteArray all;
    for (const THistoryEntry& e : FEntries)
        all += Encode(e);
    const bool ok = WriteWhole(fd, all) && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(name.constData(), QFile::encodeName(FPath).constData()) != 0) {
        ::unlink(name.constData());
        return false;
    }
    const int dir = ::open(QFile::encodeName(QFileInfo(FPath).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    LinesInFile = static_cast<int>(FEntries.size());
    return true;
}

// ---- THistoryRecorder

THistoryRecorder::THistoryRecorder(Session& session, THistoryStore& store, QObject* parent)
    : QObject(parent), S(session), Store(store) {
    connect(&S, &Session::listStarted, this, [this](Direction d, int, const QStringList&) {
        if (d == Direction::Receive) ListStarted();
    });
    connect(&S, &Session::fileStarted, this, [this](Direction d, const FileStart& file) {
        if (d == Direction::Receive) FileStarted(file);
    });
    connect(&S, &Session::fileEnded, this, [this](Direction d, int, const QString& path) {
        if (d == Direction::Receive) FileEnded(path);
    });
    connect(&S, &Session::listEnded, this, [this](Direction d, const ListEnd& end) {
        if (d == Direction::Receive) ListEnded(end);
    });
}

void THistoryRecorder::ListStarted() {
    // The connection may be gone when the list ends: the peer is taken now.
    Peer = S.PeerName();
    if (const QString address = S.PeerAddress(); !address.isEmpty())
        Peer += QStringLiteral(" [%1]").arg(address);
    FileOpen = false;
}

void THistoryRecorder::FileStarted(const FileStart& file) {
    Name = file.Name;
    Size = file.Size;
    FileOpen = true;
}

void THistoryRecorder::FileEnded(const QString& path) {
    FileOpen = false;
    Store.Append(
        {QDateTime::currentDateTimeUtc(), Peer, Name, Size, THistoryOutcome::Received, path, {}});
}

void THistoryRecorder::ListEnded(const ListEnd& end) {
    THistoryOutcome outcome = THistoryOutcome::Failed;
    switch (end.Result) {
    case Outcome::Done:
        return;
    case Outcome::CancelledHere:
        outcome = THistoryOutcome::CancelledHere;
        break;
    case Outcome::CancelledByPeer:
        outcome = THistoryOutcome::CancelledByPeer;
        break;
    case Outcome::Refused:
        outcome = THistoryOutcome::Refused;
        break;
    case Outcome::Failed:
        outcome = THistoryOutcome::Failed;
        break;
    }
    const bool open = std::exchange(FileOpen, false);
    Store.Append({QDateTime::currentDateTimeUtc(), Peer, open ? Name : QString(), open ? Size : 0,
                  outcome, S.Settings().ReceiveFolder, end.Text});
}

} // namespace relvane::app
