// The settings dialog's frame and its small controls, the choices of colour
// and folder, and the main window's settings operation; the pages themselves
// are built in settingpages.cpp.

#include "app/settingform.h"

#include "app/consts.h"
#include "app/images.h"
#include "app/mainform.h"
#include "app/messagebox.h"
#include "app/uifont.h"
#include "controls/grphprogressbar.h"
#include "controls/openfolder.h"
#include "status/anime.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QHash>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <array>

namespace relvane::app {

namespace {

constexpr int FormWidth = 400;
constexpr int FormHeight = 262;
constexpr int PageControlHeight = 225;

// The values a run keeps when they are not written to the file.
struct THeldSettings {
    int Port = DefaultPort;
    QString ReceiveFolder;
    std::array<QString, HistorySize> AddressHistory;
};

QHash<QString, THeldSettings>& Held() {
    static QHash<QString, THeldSettings> held;
    return held;
}

TColorDialog::THook& ColorHook() {
    static TColorDialog::THook hook;
    return hook;
}

// ImageList1: the pictures of the two tabs.
QIcon TabImage(int index) {
    if (index == 0) return MenuIcon(TMenuImage::miConnect);
    // A small status window with a gradient bar.
    QPixmap pixmap(MenuImageSize, MenuImageSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setPen(QColor(40, 40, 40));
    p.setBrush(QColor(236, 233, 216));
    p.drawRect(QRectF(0.5, 1.5, 15, 13));
    p.fillRect(QRectF(1, 2, 15, 3), QColor(10, 36, 106));
    QLinearGradient gradient(2, 0, 14, 0);
    gradient.setColorAt(0, Qt::white);
    gradient.setColorAt(1, QColor(0, 200, 0));
    p.fillRect(QRectF(2, 7, 12, 3), gradient);
    p.fillRect(QRectF(2, 11, 8, 2), QColor(136, 136, 255));
    return QIcon(pixmap);
}

QIcon OkImage() {
    QPixmap pixmap(MenuImageSize, MenuImageSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(20, 150, 40), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({{2.5, 8.5}, {6.5, 12.5}, {13.5, 3.5}}));
    return QIcon(pixmap);
}

void SetBarGradation(TGrphProgressBar* bar, int gradation) {
    bar->SetGradation(static_cast<TGrphProgressGradation>(gradation));
}

} // namespace

// ---- TSpinEdit

TSpinEdit::TSpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    setAccelerated(true);
    lineEdit()->setText(QStringLiteral("0"));
}

void TSpinEdit::SetRange(int minValue, int maxValue) {
    FMinValue = minValue;
    FMaxValue = std::max(minValue, maxValue);
    SetValue(Value());
}

int TSpinEdit::Value() const {
    bool ok = false;
    const qlonglong value = lineEdit()->text().trimmed().toLongLong(&ok);
    if (!ok) return FMinValue;
    return static_cast<int>(std::clamp<qlonglong>(value, FMinValue, FMaxValue));
}

void TSpinEdit::SetValue(int value) {
    const QString text = QString::number(std::clamp(value, FMinValue, FMaxValue));
    if (lineEdit()->text() != text) lineEdit()->setText(text);
    update(); // the arrows' enabled look
}

void TSpinEdit::stepBy(int steps) {
    SetValue(
        static_cast<int>(std::clamp<qlonglong>(qlonglong(Value()) + steps, FMinValue, FMaxValue)));
    lineEdit()->selectAll();
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
    if (isReadOnly()) return StepNone;
    StepEnabled enabled = StepNone;
    if (Value() < FMaxValue) enabled |= StepUpEnabled;
    if (Value() > FMinValue) enabled |= StepDownEnabled;
    return enabled;
}

QValidator::State TSpinEdit::validate(QString& input, int& /*pos*/) const {
    static const QRegularExpression digits(QStringLiteral("^[+-]?[0-9]*$"));
    return digits.match(input).hasMatch() ? QValidator::Acceptable : QValidator::Invalid;
}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
    QAbstractSpinBox::focusOutEvent(event);
    CheckValue();
}

void TSpinEdit::CheckValue() {
    // Only a number out of range is corrected; a text that is no number stays
    // as typed and reads as MinValue.
    bool ok = false;
    const qlonglong typed = lineEdit()->text().trimmed().toLongLong(&ok);
    if (ok && (typed < FMinValue || typed > FMaxValue)) SetValue(Value());
}

// ---- TColorPanel, TClickImage

TColorPanel::TColorPanel(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
    setAutoFillBackground(true);
    SetColor(FColor);
}

void TColorPanel::SetColor(TColor color) {
    FColor = color;
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, ResolveColor(color));
    setPalette(palette);
}

void TColorPanel::mouseReleaseEvent(QMouseEvent* event) {
    QFrame::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

void TClickImage::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

// ---- TColorDialog

void TColorDialog::SetHook(THook hook) {
    ColorHook() = std::move(hook);
}

bool TColorDialog::Execute(QWidget* owner) {
    if (const THook hook = ColorHook()) {
        const std::optional<TColor> chosen = hook(Color);
        if (chosen) Color = *chosen;
        return chosen.has_value();
    }
    QColorDialog dialog(ResolveColor(Color), owner);
    dialog.setObjectName(QStringLiteral("ColorDialog1"));
    dialog.setWindowTitle(QStringLiteral("色の設定"));
    if (dialog.exec() != QDialog::Accepted) return false;
    Color = ColorFromRgb(dialog.currentColor().rgb());
    return true;
}

// ---- TSettingForm

TSettingForm::TSettingForm(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("SettingForm"));
    setWindowTitle(QStringLiteral("設定"));
    setFont(FormFont());
    setFixedSize(FormWidth, FormHeight);

    Pages = new QTabWidget(this);
    Pages->setObjectName(QStringLiteral("PageControl1"));
    Pages->setGeometry(0, 0, FormWidth, PageControlHeight);
    Pages->setIconSize(QSize(MenuImageSize, MenuImageSize));
    CommunicationPage = new QWidget();
    CommunicationPage->setObjectName(QStringLiteral("TabSheet1"));
    StatusPage = new QWidget();
    StatusPage->setObjectName(QStringLiteral("TabSheet2"));
    Pages->addTab(CommunicationPage, TabImage(0), QStringLiteral("通信"));
    Pages->addTab(StatusPage, TabImage(1), QStringLiteral("ｽﾃｰﾀｽ画面"));
    CreatePage1();
    CreatePage2();
    CreatePage3();

    OKButton = new QPushButton(OkImage(), QStringLiteral("設定(&O)"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(92, 232, 105, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    CancelButton =
        new QPushButton(MenuIcon(TMenuImage::miCancel), QStringLiteral("キャンセル(&C)"), this);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setGeometry(208, 232, 105, 25);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

    FolderPicker = new TOpenFolder(this);
    FolderPicker->setObjectName(QStringLiteral("OpenFolder1"));
    FolderPicker->Title = QStringLiteral("受信フォルダ選択");
    FolderPicker->OpenDir = TBrowseDir::bdDeskTop;

    PreviewTimer = new QTimer(this);
    PreviewTimer->setObjectName(QStringLiteral("Timer1"));
    PreviewTimer->setInterval(500);
    connect(PreviewTimer, &QTimer::timeout, this, &TSettingForm::PreviewTimerTimer);
    PreviewTimer->start();

    FormCreate();
    CenterOnScreen(this);
}

void TSettingForm::FormCreate() {
    PreviewPosition = 0;
    PreviewStep = 10;
}

void TSettingForm::PreviewTimerTimer() {
    PreviewPosition += PreviewStep;
    if (PreviewPosition >= 100 || PreviewPosition <= 0) PreviewStep = -PreviewStep;
    PreviewBar1->SetPosition(PreviewPosition);
    PreviewBar2->SetPosition(PreviewPosition);
}

void TSettingForm::BrowseButtonClick() {
    // Opens where the files go now, so a small change is a small step.
    FolderPicker->InitialFolder = FolderEdit->text();
    if (FolderPicker->Browse()) FolderEdit->setText(FolderPicker->Directory);
}

void TSettingForm::accept() {
    if (OnConfirm && !OnConfirm()) return;
    QDialog::accept();
}

std::optional<TColor> TSettingForm::ChooseColor(TColor current) {
    ColorDialog.Color = current;
    if (!ColorDialog.Execute(this)) return std::nullopt;
    return ColorDialog.Color;
}

void TSettingForm::StartColorPanel1Click() {
    if (const auto colour = ChooseColor(PreviewBar1->StartColor())) SetStartColor1(*colour);
}
void TSettingForm::EndColorPanel1Click() {
    if (const auto colour = ChooseColor(PreviewBar1->EndColor())) SetEndColor1(*colour);
}
void TSettingForm::StartColorPanel2Click() {
    if (const auto colour = ChooseColor(PreviewBar2->StartColor())) SetStartColor2(*colour);
}
void TSettingForm::EndColorPanel2Click() {
    if (const auto colour = ChooseColor(PreviewBar2->EndColor())) SetEndColor2(*colour);
}

void TSettingForm::SetStartColor1(TColor color) {
    PreviewBar1->SetStartColor(color);
    StartColorPanel1->SetColor(color);
}
void TSettingForm::SetEndColor1(TColor color) {
    PreviewBar1->SetEndColor(color);
    EndColorPanel1->SetColor(color);
}
void TSettingForm::SetStartColor2(TColor color) {
    PreviewBar2->SetStartColor(color);
    StartColorPanel2->SetColor(color);
}
void TSettingForm::SetEndColor2(TColor color) {
    PreviewBar2->SetEndColor(color);
    EndColorPanel2->SetColor(color);
}

void TSettingForm::GradTypeComboBox1Change() {
    const int item = GradTypeComboBox1->currentIndex();
    if (item >= 0 && item <= 2) SetBarGradation(PreviewBar1, item);
}
void TSettingForm::GradTypeComboBox2Change() {
    const int item = GradTypeComboBox2->currentIndex();
    if (item >= 0 && item <= 2) SetBarGradation(PreviewBar2, item);
}

void TSettingForm::SetGradation1(int gradation) {
    if (gradation >= 0 && gradation <= 2) GradTypeComboBox1->setCurrentIndex(gradation);
    SetBarGradation(PreviewBar1, gradation);
}
void TSettingForm::SetGradation2(int gradation) {
    if (gradation >= 0 && gradation <= 2) GradTypeComboBox2->setCurrentIndex(gradation);
    SetBarGradation(PreviewBar2, gradation);
}

void TSettingForm::AnimeImage1Click() {
    AnimeRadioButton1->setChecked(true);
}
void TSettingForm::AnimeImage2Click() {
    AnimeRadioButton2->setChecked(true);
}

// ---- The main window's settings operation

bool ExecuteSettingForm(TMainForm& form) {
    TSettingForm dialog(&form);
    const TSettings& s = form.Settings;
    dialog.UserNameEdit->setText(s.UserName);
    dialog.PortEdit->SetValue(form.ListenPort());
    dialog.FolderEdit->setText(s.ReceiveFolder);
    dialog.SaveSettingsCheckBox->setChecked(s.SaveSettings);
    dialog.InTaskBarCheckBox->setChecked(s.InTaskBar);
    dialog.UseCompressCheckBox->setChecked(s.UseCompress);
    dialog.ResumeCheckBox->setChecked(s.UseResume);
    dialog.AnswerDiscoveryCheckBox->setChecked(s.AnswerDiscovery);
    dialog.OverwriteCheckBox->setChecked(s.OverwriteExisting);
    dialog.ExtensionsCheckBox->setChecked(s.Extensions);
    dialog.NoticesCheckBox->setChecked(s.DesktopNotices);
    dialog.SetStartColor1(s.StartColor1);
    dialog.SetStartColor2(s.StartColor2);
    dialog.SetEndColor1(s.EndColor1);
    dialog.SetEndColor2(s.EndColor2);
    dialog.SetGradation1(s.Gradation1);
    dialog.SetGradation2(s.Gradation2);
    if (s.Anime == 0) dialog.AnimeRadioButton1->setChecked(true);
    if (s.Anime == 1) dialog.AnimeRadioButton2->setChecked(true);

    // The port first: refused while the server still listens, and then
    // nothing is applied and the dialog stays open with every edit.
    const int oldPort = form.ListenPort();
    dialog.OnConfirm = [&] {
        try {
            form.SetListenPort(dialog.PortEdit->Value());
            return true;
        } catch (const ESocketError& error) {
            ShowErrorMessage(&dialog, error.Message() + QStringLiteral("\r\n") +
                                          MsgPortStillListening(oldPort));
            dialog.Pages->setCurrentWidget(dialog.CommunicationPage);
            dialog.PortEdit->setFocus();
            return false;
        }
    };
    if (dialog.exec() != QDialog::Accepted) return false;

    TSettings& t = form.Settings;
    t.UserName = dialog.UserNameEdit->text();
    t.Port = form.ListenPort();
    t.SaveSettings = dialog.SaveSettingsCheckBox->isChecked();
    t.InTaskBar = dialog.InTaskBarCheckBox->isChecked();
    t.ReceiveFolder = dialog.FolderEdit->text();
    t.UseCompress = dialog.UseCompressCheckBox->isChecked();
    t.UseResume = dialog.ResumeCheckBox->isChecked();
    t.AnswerDiscovery = dialog.AnswerDiscoveryCheckBox->isChecked();
    t.OverwriteExisting = dialog.OverwriteCheckBox->isChecked();
    t.Extensions = dialog.ExtensionsCheckBox->isChecked();
    t.DesktopNotices = dialog.NoticesCheckBox->isChecked();
    // What the preview shows is what applies.
    t.StartColor1 = dialog.PreviewBar1->StartColor();
    t.StartColor2 = dialog.PreviewBar2->StartColor();
    t.EndColor1 = dialog.PreviewBar1->EndColor();
    t.EndColor2 = dialog.PreviewBar2->EndColor();
    t.Gradation1 = static_cast<int>(dialog.PreviewBar1->Gradation());
    t.Gradation2 = static_cast<int>(dialog.PreviewBar2->Gradation());
    if (dialog.AnimeRadioButton1->isChecked()) {
        t.Anime = 0;
    } else if (dialog.AnimeRadioButton2->isChecked()) {
        t.Anime = 1;
    }
    HoldForThisRun(form.SettingsFileName(), t);
    return true;
}

void HoldForThisRun(const QString& settingsFile, const TSettings& settings) {
    if (settings.SaveSettings) {
        Held().remove(settingsFile); // the file holds them from now on
        return;
    }
    Held().insert(settingsFile, {settings.Port, settings.ReceiveFolder, settings.AddressHistory});
}

void ApplyHeldSettings(const QString& settingsFile, TSettings& settings) {
    if (settings.SaveSettings) return;
    const auto held = Held().constFind(settingsFile);
    if (held == Held().cend()) return;
    settings.Port = held->Port;
    settings.ReceiveFolder = held->ReceiveFolder;
    settings.AddressHistory = held->AddressHistory;
}

QImage AnimeSample(int animeType) {
    return AnimeFrame(animeType, 0);
}

} // namespace relvane::app
