#pragma once
// The transfer status window: one shows the outgoing direction ("送信状況表示"),
// one the incoming ("受信状況表示"). The worker fills, shows and hides it
// through the host; while it shows, its 100 ms timer pulls the counters from
// the shared TransferProgress, never from the worker itself, so a worker that
// has ended is never read. It stays above its owner (the main window) and
// offers no title-bar button: no close, minimise or maximise, and a close
// request from the window manager is refused; the batch decides when it goes.

#include "controls/checkindicator.h"
#include "controls/grphprogressbar.h"
#include "protocol/progress.h"

#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

namespace relvane {

class TStatusForm : public QWidget {
    Q_OBJECT
    // First, so that they are set before the child controls are made (their
    // making already sends events to the window).
    bool FSendMode = false;
    bool PlaceAgainWithFrame = false; // placed before the window frame was known
    int FAnimeFrame = 0;
    int FAnimeType = 0;
    std::int64_t StartTime = 0; // Clock() at MarkStartTime
    std::shared_ptr<TransferProgress> FProgress;

public:
    explicit TStatusForm(QWidget* owner = nullptr);

    // Stores the direction and places the window: the send window just above
    // the screen's middle line, the receive window just below, both centred.
    void SetSendMode(bool sendMode);
    [[nodiscard]] bool SendMode() const { return FSendMode; }
    void PlaceWindow();

    void ClearFileList();
    void AddFileList(const QStringList& files);
    void AddUnknownFiles(int count);
    // Selects the file's entry (letter case ignored); a name not in the list
    // takes the place of the first remaining "Unknown", or is appended.
    void SetCurrentFile(const QString& name);
    void MarkStartTime();
    // Refreshes texts, lamps, bar and animation from the attached progress;
    // does nothing while none is attached.
    void UpdateStatus();
    void NextAnimeFrame();
    // Sets this direction's cancel flag; nothing else.
    void CancelButtonClick();
    // Plain non-modal show that brings the window to the front.
    void ShowStatus();

    // The batch steps the worker's host calls make, each in one go.
    void BeginSendBatch(const QStringList& files); // clear, fill, mark start, show
    void BeginReceiveBatch();                      // show, mark start
    void AnnounceFiles(int count);                 // clear, that many "Unknown"

    // The current connection's counters and flags. Detaching forgets them and
    // hides the window (the connection has ended).
    void AttachProgress(std::shared_ptr<TransferProgress> progress);
    void DetachProgress();
    [[nodiscard]] const std::shared_ptr<TransferProgress>& Progress() const { return FProgress; }

    // 0: four-frame animation, 1: eighty frames, anything else: none.
    void SetAnimeType(int animeType) { FAnimeType = animeType; }
    [[nodiscard]] int AnimeType() const { return FAnimeType; }
    [[nodiscard]] int AnimeFrame() const { return FAnimeFrame; }

    // Milliseconds of a monotonic clock: the speed stays true across midnight
    // and clock changes. Tests replace it.
    std::function<std::int64_t()> Clock;

    // The layout's client area; the window adds its own caption strip and frame.
    QWidget* const ClientArea;
    QFrame* const TextPanel;
    QListWidget* const FileListBox;
    // Members named for what they are; the layout's names are their objectNames.
    TGrphProgressBar* const FileProgressBar; // ProgressBarS: the current file
    TGrphProgressBar* const ListProgressBar; // ProgressBarL: the whole list
    QWidget* const BottomPanel;              // Panel1
    QLabel* const AnimeImage;
    TCheckIndicator* const CompressCheckIndicator;
    QLabel* const CompressLabel; // Label1
    TCheckIndicator* const ResumeCheckIndicator;
    QLabel* const ResumeLabel;                       // Label2
    TCheckIndicator* VerifyCheckIndicator = nullptr; // in the caption strip
    QLabel* VerifyLabel = nullptr;
    QPushButton* const CancelButton;
    QLabel* const ProcessLabel;
    QLabel* const AverageLabel;
    QTimer* const StatusTimer;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void StatusTimerTimer();
    void AppendEntry(const QString& text);
    [[nodiscard]] int FindEntry(const QString& text) const;
    [[nodiscard]] QString Caption() const;
};

// Several copies on one display: each running copy has a slot number (0 for
// the first, set once at start-up) and places its status windows where those
// of the copies before it are not.
void SetStatusWindowSlot(int slot);
[[nodiscard]] int StatusWindowSlot();

// Where a status window of outer size `outer` goes on `screen`. Slot 0: the
// send window just above the middle line, the receive window just below,
// centred. Further slots stack outwards, the send windows upwards and the
// receive windows downwards, as far as the screen's height allows; the next
// ones continue in columns to the right and left of the middle.
[[nodiscard]] QPoint StatusWindowPlace(const QRect& screen, QSize outer, bool sendMode, int slot);

// The display settings of the status windows, as the settings file holds them.
struct StatusLook {
    TColor StartColor1 = clWhite;
    TColor EndColor1 = clLime;
    TGrphProgressGradation Gradation1 = TGrphProgressGradation::pgPart;
    TColor StartColor2 = clWhite;
    TColor EndColor2 = 0x8888FF;
    TGrphProgressGradation Gradation2 = TGrphProgressGradation::pgPart;
    int Anime = 1;
};

// Per-file bar from indicator 1, whole-list bar from indicator 2, the
// animation choice, both lamps unlit.
void ApplyStatusSettings(TStatusForm& form, const StatusLook& look);

} // namespace relvane
