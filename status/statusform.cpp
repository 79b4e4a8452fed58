#include "status/statusform.h"

#include "controls/captionbar.h"
#include "status/anime.h"

#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QScreen>

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

namespace relvane {

namespace {

constexpr int ClientWidth = 449;
constexpr int ClientHeight = 169;
constexpr int EntryHeight = 12; // the layout's; a taller font gets taller rows
int WindowSlot = 0;
const QString UnknownEntry = QStringLiteral("Unknown");

std::int64_t SteadyMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// "#.00": two decimals, rounded, no digit before the point below 1.
QString FormatRate(double value) {
    QString text = QString::number(value, 'f', 2);
    if (text.startsWith(QLatin1String("0.")))
        text.remove(0, 1);
    else if (text.startsWith(QLatin1String("-0.")))
        text.remove(1, 1);
    return text;
}

// The bar holds 32-bit values; larger sizes are scaled down alike, which keeps
// its fill and its percentage.
void ShowOnBar(TGrphProgressBar& bar, std::int64_t done, std::int64_t total) {
    int shift = 0;
    while ((std::max(done, total) >> shift) > std::numeric_limits<std::int32_t>::max())
        ++shift;
    bar.SetMaxValue(static_cast<std::int32_t>(total >> shift));
    bar.SetPosition(static_cast<std::int32_t>(done >> shift));
}

QString ByteText(std::int64_t done, std::int64_t total) {
    return QString::number(done) + QLatin1Char('/') + QString::number(total) +
           QLatin1String("Byte");
}

void SetupBar(TGrphProgressBar* bar, int top, TColor endColor) {
    bar->setGeometry(0, top, ClientWidth, 16);
    bar->SetBackColor(clBtnFace);
    bar->SetBorderStyle(TBorderStyle::bsNone);
    bar->SetStartColor(clWhite);
    bar->SetEndColor(endColor);
    bar->SetGradation(TGrphProgressGradation::pgPart);
    bar->SetPosition(0);
}

} // namespace

TStatusForm::TStatusForm(QWidget* owner)
    : QWidget(owner, NoButtonsWindowFlags), Clock(&SteadyMilliseconds),
      ClientArea(new QWidget(this)), TextPanel(new QFrame(ClientArea)),
      FileListBox(new QListWidget(TextPanel)), FileProgressBar(new TGrphProgressBar(ClientArea)),
      ListProgressBar(new TGrphProgressBar(ClientArea)), BottomPanel(new QWidget(ClientArea)),
      AnimeImage(new QLabel(BottomPanel)), CompressCheckIndicator(new TCheckIndicator(BottomPanel)),
      CompressLabel(new QLabel(QStringLiteral("Compress"), BottomPanel)),
      ResumeCheckIndicator(new TCheckIndicator(BottomPanel)),
      ResumeLabel(new QLabel(QStringLiteral("Resume"), BottomPanel)),
      CancelButton(new QPushButton(QStringLiteral("キャンセル"), BottomPanel)),
      ProcessLabel(new QLabel(BottomPanel)), AverageLabel(new QLabel(BottomPanel)),
      StatusTimer(new QTimer(this)) {
    setObjectName(QStringLiteral("StatusForm"));
    setWindowTitle(QStringLiteral("状況表示"));
    QFont f(QStringLiteral("ＭＳ Ｐゴシック"));
    f.setPixelSize(12);
    setFont(f);
    QPalette face = palette();
    face.setColor(QPalette::Window, ResolveColor(clBtnFace));
    face.setColor(QPalette::Base, ResolveColor(clBtnFace));
    setPalette(face);
    setAutoFillBackground(true);
    // The main window's closing ends the program, never this window's.
    setAttribute(Qt::WA_QuitOnClose, false);
    ClientArea->setObjectName(QStringLiteral("ClientArea"));
    ClientArea->setFixedSize(ClientWidth, ClientHeight);

    const std::pair<QObject*, const char*> layoutNames[] = {
        {TextPanel, "TextPanel"},
        {FileListBox, "FileListBox"},
        {FileProgressBar, "ProgressBarS"},
        {ListProgressBar, "ProgressBarL"},
        {BottomPanel, "Panel1"},
        {AnimeImage, "AnimeImage"},
        {CompressCheckIndicator, "CompressCheckIndicator"},
        {CompressLabel, "Label1"},
        {ResumeCheckIndicator, "ResumeCheckIndicator"},
        {ResumeLabel, "Label2"},
        {CancelButton, "CancelButton"},
        {ProcessLabel, "ProcessLabel"},
        {AverageLabel, "AverageLabel"},
        {StatusTimer, "StatusTimer"},
    };
    for (const auto& [object, name] : layoutNames)
        object->setObjectName(QLatin1String(name));

    TextPanel->setGeometry(0, 0, ClientWidth, 105);
    TextPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    TextPanel->setLineWidth(1);
    FileListBox->setGeometry(1, 1, ClientWidth - 2, 103);
    FileListBox->setFrameStyle(QFrame::NoFrame);
    FileListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    FileListBox->setSortingEnabled(false);
    FileListBox->setUniformItemSizes(true);

    SetupBar(FileProgressBar, 105, clAqua);
    SetupBar(ListProgressBar, 121, clLime);

    // The lamps stand one above the other, so that the byte text has room for
    // two sizes of 13 digits (a terabyte) at the substitute font, whose digits
    // are 7 pixels wide.
    BottomPanel->setGeometry(0, 137, ClientWidth, 32);
    AnimeImage->setGeometry(0, 0, 32, 32);
    CompressCheckIndicator->SetBounds(36, 3, 12, 12);
    CompressLabel->move(52, 2);
    CompressLabel->adjustSize();
    ResumeCheckIndicator->SetBounds(36, 18, 12, 12);
    ResumeLabel->move(52, 17);
    ResumeLabel->adjustSize();
    CancelButton->setGeometry(112, 4, 97, 25);
    CancelButton->setIcon(QIcon(QPixmap::fromImage(CancelGlyph())));
    CancelButton->setIconSize(QSize(16, 16));
    ProcessLabel->setGeometry(212, 1, 235, 15);
    ProcessLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    AverageLabel->setGeometry(212, 16, 235, 15);
    AverageLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    TCaptionBar* caption = FrameWithCaption(*this, *ClientArea);
    // The third lamp, lit when both copies hash every file (the peer is this
    // program), sits in the caption strip: the panel below keeps its layout.
    VerifyCheckIndicator = new TCheckIndicator(caption);
    VerifyCheckIndicator->setObjectName(QStringLiteral("VerifyCheckIndicator"));
    VerifyLabel = new QLabel(QStringLiteral("Verify"), caption);
    VerifyLabel->setObjectName(QStringLiteral("VerifyLabel"));
    VerifyLabel->adjustSize();
    const int right = caption->width() - 6;
    VerifyLabel->move(right - VerifyLabel->width(),
                      (caption->height() - VerifyLabel->height()) / 2);
    VerifyCheckIndicator->SetBounds(VerifyLabel->x() - 16, (caption->height() - 12) / 2, 12, 12);

    connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButtonClick(); });
    StatusTimer->setInterval(100);
    connect(StatusTimer, &QTimer::timeout, this, [this] { StatusTimerTimer(); });
    StatusTimer->start();
    StartTime = Clock();
}

QString TStatusForm::Caption() const {
    return FSendMode ? QStringLiteral("送信状況表示") : QStringLiteral("受信状況表示");
}

void TStatusForm::SetSendMode(bool sendMode) {
    FSendMode = sendMode;
    // The timer puts the caption back on every tick; until the first one the
    // window should not show the layout's placeholder.
    setWindowTitle(Caption());
    PlaceWindow();
}

void TStatusForm::PlaceWindow() {
    const QScreen* s = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    if (s == nullptr) return;
    const QSize outer = frameGeometry().size();
    // Until the window system has framed the window its outer size is not
    // known; the first move or resize that shows the frame places it again.
    PlaceAgainWithFrame = outer == size();
    move(StatusWindowPlace(s->geometry(), outer, FSendMode, WindowSlot));
}

bool TStatusForm::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    if (PlaceAgainWithFrame && (event->type() == QEvent::Move || event->type() == QEvent::Resize) &&
        frameGeometry().size() != size())
        PlaceWindow();
    return handled;
}

void TStatusForm::closeEvent(QCloseEvent* event) {
    event->ignore();
}

void TStatusForm::AppendEntry(const QString& text) {
    auto* item = new QListWidgetItem(text);
    // The substitute font needs more than the layout's 12 pixels for "p" and "g".
    const int height = std::max(EntryHeight, FileListBox->fontMetrics().height());
    item->setSizeHint(QSize(0, height));
    FileListBox->addItem(item);
}

int TStatusForm::FindEntry(const QString& text) const {
    for (int i = 0; i < FileListBox->count(); ++i)
        if (FileListBox->item(i)->text().compare(text, Qt::CaseInsensitive) == 0) return i;
    return -1;
}

void TStatusForm::ClearFileList() {
    FileListBox->clear();
    ListProgressBar->SetMaxValue(0);
}

void TStatusForm::AddFileList(const QStringList& files) {
    for (const QString& file : files)
        AppendEntry(file);
    ListProgressBar->SetMaxValue(FileListBox->count());
}

void TStatusForm::AddUnknownFiles(int count) {
    for (int i = 0; i < count; ++i)
        AppendEntry(UnknownEntry);
    ListProgressBar->SetMaxValue(FileListBox->count());
}

void TStatusForm::SetCurrentFile(const QString& name) {
    int index = FindEntry(name);
    if (index < 0) {
        const int unknown = FindEntry(UnknownEntry);
        if (unknown >= 0) {
            FileListBox->item(unknown)->setText(name);
            index = unknown;
        } else {
            AppendEntry(name);
            index = FileListBox->count() - 1;
        }
    }
    FileListBox->setCurrentRow(index);
    FileListBox->scrollToItem(FileListBox->item(index));
    ListProgressBar->SetPosition(index);
}

void TStatusForm::MarkStartTime() {
    StartTime = Clock();
}

void TStatusForm::UpdateStatus() {
    const std::shared_ptr<TransferProgress> progress = FProgress;
    if (!progress) return;

    // Bar and byte text from the same reading, so the text never lags the bar
    // (after a resume both start at the offset); the speed counts only what
    // this transfer moved.
    const std::int64_t total = FSendMode ? progress->SendTotal.load() : progress->RecvTotal.load();
    const std::int64_t done = FSendMode ? progress->SendDone.load() : progress->RecvDone.load();
    const std::int64_t resumed =
        FSendMode ? progress->SendResumedBytes.load() : progress->RecvResumedBytes.load();
    const std::int64_t checkTotal =
        FSendMode ? progress->SendCheckTotal.load() : progress->RecvCheckTotal.load();
    if (checkTotal > 0) {
        // The part already held is read through before the rest moves: its
        // progress, and in place of the speed what is happening.
        const std::int64_t checked =
            FSendMode ? progress->SendChecked.load() : progress->RecvChecked.load();
        ShowOnBar(*FileProgressBar, checked, checkTotal);
        ProcessLabel->setText(ByteText(checked, checkTotal));
        AverageLabel->setText(QStringLiteral("再開の確認中"));
    } else {
        ShowOnBar(*FileProgressBar, done, total);
        ProcessLabel->setText(ByteText(done, total));
    }
    const double seconds = double(Clock() - StartTime) / 1000.0;
    if (seconds >= 1.0 && checkTotal == 0) {
        const auto moved = static_cast<double>(std::max<std::int64_t>(0, done - resumed));
        AverageLabel->setText(FormatRate(moved / seconds / 1024) + QLatin1String("KByte/s"));
    }

    setWindowTitle(Caption());
    ResumeCheckIndicator->SetChecked(progress->Resumed.load());
    CompressCheckIndicator->SetChecked(progress->CompressOn.load());
    VerifyCheckIndicator->SetChecked(progress->VerifyOn.load());
    NextAnimeFrame();
}

void TStatusForm::NextAnimeFrame() {
    const int frames = AnimeFrameCount(FAnimeType);
    if (frames == 0) {
        AnimeImage->clear();
        return;
    }
    ++FAnimeFrame;
    if (FAnimeFrame >= frames) FAnimeFrame = 0;
    AnimeImage->setPixmap(QPixmap::fromImage(relvane::AnimeFrame(FAnimeType, FAnimeFrame)));
}

void TStatusForm::CancelButtonClick() {
    if (!FProgress) return;
    if (FSendMode)
        FProgress->SendCancel = true;
    else
        FProgress->ReceiveCancel = true;
}

void TStatusForm::ShowStatus() {
    show();
    raise();
}

void TStatusForm::BeginSendBatch(const QStringList& files) {
    ClearFileList();
    AddFileList(files);
    MarkStartTime();
    ShowStatus();
}

void TStatusForm::BeginReceiveBatch() {
    ShowStatus();
    MarkStartTime();
}

void TStatusForm::AnnounceFiles(int count) {
    ClearFileList();
    AddUnknownFiles(count);
}

void TStatusForm::AttachProgress(std::shared_ptr<TransferProgress> progress) {
    FProgress = std::move(progress);
}

void TStatusForm::DetachProgress() {
    FProgress.reset();
    hide();
}

void TStatusForm::StatusTimerTimer() {
    if (isVisible()) UpdateStatus();
}

void SetStatusWindowSlot(int slot) {
    WindowSlot = std::max(0, slot);
}

int StatusWindowSlot() {
    return WindowSlot;
}

QPoint StatusWindowPlace(const QRect& screen, QSize outer, bool sendMode, int slot) {
    const int w = std::max(1, outer.width());
    const int h = std::max(1, outer.height());
    // Pairs of rows around the middle line that fit on the screen.
    const int rings = std::max(1, screen.height() / (2 * h));
    const int ring = slot % rings;
    const int column = slot / rings; // 0 middle, then right, left, right, ...
    const int shift = (column + 1) / 2 * w * (column % 2 == 1 ? 1 : -1);
    const int left =
        std::clamp((screen.width() - w) / 2 + shift, 0, std::max(0, screen.width() - w));
    const int top = sendMode ? screen.height() / 2 - h - ring * h : screen.height() / 2 + ring * h;
    return {screen.x() + left, screen.y() + top};
}

void ApplyStatusSettings(TStatusForm& form, const StatusLook& look) {
    form.FileProgressBar->SetStartColor(look.StartColor1);
    form.FileProgressBar->SetEndColor(look.EndColor1);
    form.FileProgressBar->SetGradation(look.Gradation1);
    form.ListProgressBar->SetStartColor(look.StartColor2);
    form.ListProgressBar->SetEndColor(look.EndColor2);
    form.ListProgressBar->SetGradation(look.Gradation2);
    form.SetAnimeType(look.Anime);
    form.CompressCheckIndicator->SetChecked(false);
    form.ResumeCheckIndicator->SetChecked(false);
    form.VerifyCheckIndicator->SetChecked(false);
}

} // namespace relvane
