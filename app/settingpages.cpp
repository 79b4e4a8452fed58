// The settings dialog's three pages: the controls of "通信", "ｽﾃｰﾀｽ画面" and
// "その他", placed as the layout has them, and what they are tied to.

#include "app/images.h"
#include "app/settingform.h"
#include "controls/grphprogressbar.h"
#include "status/anime.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include <algorithm>
#include <cmath>

namespace relvane::app {

namespace {

constexpr int PortMin = 1;
constexpr int PortMax = 32767;
constexpr int UserNameMaxLength = 10;

QLabel* MakeLabel(const QString& name, const QString& text, QWidget* parent, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->move(left, top);
    label->adjustSize();
    return label;
}

// A caption on the left of a field: it ends `gap` pixels before the field,
// as in the layout, and a substitute font wider than the layout's is drawn
// slightly closer together instead of running under the field.
QLabel* MakeFieldLabel(const QString& name, const QString& text, QWidget* parent, int top,
                       int fieldLeft) {
    constexpr int gap = 2;
    auto* label = MakeLabel(name, text, parent, 0, top);
    const int room = fieldLeft - gap;
    const int overflow = label->width() - room;
    if (overflow > 0 && text.size() > 1) {
        QFont condensed = label->font();
        condensed.setLetterSpacing(QFont::AbsoluteSpacing,
                                   -std::ceil(10.0 * overflow / (text.size() - 1)) / 10.0);
        label->setFont(condensed);
        label->adjustSize();
    }
    label->move(std::max(0, room - label->width()), top);
    return label;
}

QCheckBox* MakeCheckBox(const QString& name, const QString& text, QWidget* parent, int left,
                        int top) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    box->move(left, top);
    box->adjustSize();
    return box;
}

} // namespace

void TSettingForm::CreatePage1() {
    QWidget* page = CommunicationPage;
    constexpr int fieldLeft = 84;
    UserNameLabel = MakeFieldLabel(QStringLiteral("Label3"), QStringLiteral("ユーザー名:"), page,
                                   16, fieldLeft);
    UserNameEdit = new QLineEdit(page);
    UserNameEdit->setObjectName(QStringLiteral("UserNameEdit"));
    UserNameEdit->setGeometry(84, 12, 101, 20);
    UserNameEdit->setMaxLength(UserNameMaxLength);

    PortLabel = MakeFieldLabel(QStringLiteral("Label1"), QStringLiteral("TCP/IPポート№:"), page, 44,
                               fieldLeft);
    PortEdit = new TSpinEdit(page);
    PortEdit->setObjectName(QStringLiteral("PortEdit"));
    PortEdit->setGeometry(84, 40, 73, 21);
    PortEdit->SetRange(PortMin, PortMax);

    FolderLabel = MakeFieldLabel(QStringLiteral("Label2"), QStringLiteral("受信フォルダ:"), page,
                                 72, fieldLeft);
    FolderEdit = new QLineEdit(page);
    FolderEdit->setObjectName(QStringLiteral("FolderEdit"));
    FolderEdit->setGeometry(84, 68, 221, 20);
    FolderEdit->setReadOnly(true);
    QPalette face = FolderEdit->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Window));
    FolderEdit->setPalette(face);

    BrowseButton =
        new QPushButton(MenuIcon(TMenuImage::miFolder), QStringLiteral("参照(&B)..."), page);
    BrowseButton->setObjectName(QStringLiteral("BrowseButton"));
    BrowseButton->setGeometry(308, 64, 81, 25);
    connect(BrowseButton, &QPushButton::clicked, this, &TSettingForm::BrowseButtonClick);

    SaveSettingsCheckBox = MakeCheckBox(QStringLiteral("HistoryCheckBox"),
                                        QStringLiteral("設定の保存をする"), page, 84, 96);
    UseCompressCheckBox = MakeCheckBox(QStringLiteral("UseCompressCheckBox"),
                                       QStringLiteral("圧縮転送を使用する"), page, 84, 120);
    ResumeCheckBox = MakeCheckBox(QStringLiteral("ResumeCheckBox"),
                                  QStringLiteral("レジュームを行う"), page, 84, 144);
    InTaskBarCheckBox = MakeCheckBox(QStringLiteral("MinimumCheckBox"),
                                     QStringLiteral("最小化時タスクバーに入れる"), page, 84, 168);
    InTaskBarCheckBox->setEnabled(false);
    // Beside the switches: the column under them is full.
    AnswerDiscoveryCheckBox = MakeCheckBox(QStringLiteral("AnswerDiscoveryCheckBox"),
                                           QStringLiteral("「探す」に応答する"), page, 230, 144);
    AnswerDiscoveryCheckBox->setToolTip(
        QStringLiteral("サーバー作成して待っている間、ほかのコンピューターの「探す」に"
                       "ユーザー名とポートを答えます"));
}

void TSettingForm::CreatePage3() {
    OtherPage = new QWidget();
    OtherPage->setObjectName(QStringLiteral("OtherPage"));
    Pages->addTab(OtherPage, MenuIcon(TMenuImage::miOption), QStringLiteral("その他"));
    OverwriteCheckBox =
        MakeCheckBox(QStringLiteral("OverwriteCheckBox"),
                     QStringLiteral("同名のファイルを上書きする"), OtherPage, 16, 16);
    OverwriteCheckBox->setToolTip(QStringLiteral("オフのときは、受信フォルダに同じ名前のファイルが"
                                                 "あれば「名前 (2).拡張子」として保存します"));
    NoticesCheckBox =
        MakeCheckBox(QStringLiteral("NoticesCheckBox"),
                     QStringLiteral("デスクトップ通知とトレイアイコンを使う"), OtherPage, 16, 40);
    NoticesCheckBox->setToolTip(QStringLiteral(
        "ウィンドウを見ていない間にファイルやメッセージが届いたとき、デスクトップに通知します"));
    ExtensionsCheckBox =
        MakeCheckBox(QStringLiteral("ExtensionsCheckBox"),
                     QStringLiteral("相手も TCP/IP Relvane なら拡張機能を使う"), OtherPage, 16, 64);
    ExtensionsCheckBox->setToolTip(QStringLiteral(
        "2GB 以上のファイル、フォルダの構成、全ファイルの検証（XXH3 または SHA-256）。"
        "接続直後に切断される相手にはオフにしてください"));
}

void TSettingForm::CreateIndicatorRow(int top, int comboLeft, TColorPanel*& start,
                                      TGrphProgressBar*& bar, TColorPanel*& end,
                                      QComboBox*& gradType) {
    QWidget* page = StatusPage;
    start = new TColorPanel(page);
    start->setGeometry(28, top, 33, 21);
    start->setToolTip(QStringLiteral("開始色"));

    bar = new TGrphProgressBar(page);
    bar->setGeometry(64, top, 201, 21);
    bar->SetBackColor(clBtnFace);
    bar->SetBorderStyle(TBorderStyle::bsNone);
    bar->SetMinValue(0);
    bar->SetMaxValue(100);
    bar->SetPosition(PreviewPosition);

    end = new TColorPanel(page);
    end->setGeometry(268, top, 33, 21);
    end->setToolTip(QStringLiteral("終了色"));

    gradType = new QComboBox(page);
    gradType->setGeometry(comboLeft, top, 77, 20);
    gradType->setToolTip(QStringLiteral("グラデーションタイプ"));
    gradType->addItems(
        {QStringLiteral("無し"), QStringLiteral("タイプ１"), QStringLiteral("タイプ２")});
}

void TSettingForm::CreatePage2() {
    QWidget* page = StatusPage;
    Indicator1Label =
        MakeLabel(QStringLiteral("Label4"), QStringLiteral("インジケーター１:"), page, 8, 8);
    CreateIndicatorRow(24, 304, StartColorPanel1, PreviewBar1, EndColorPanel1, GradTypeComboBox1);
    Indicator2Label =
        MakeLabel(QStringLiteral("Label5"), QStringLiteral("インジケーター２:"), page, 8, 56);
    CreateIndicatorRow(72, 303, StartColorPanel2, PreviewBar2, EndColorPanel2, GradTypeComboBox2);

    StartColorPanel1->setObjectName(QStringLiteral("StartColorPanel1"));
    PreviewBar1->setObjectName(QStringLiteral("GrphProgressBar1"));
    EndColorPanel1->setObjectName(QStringLiteral("EndColorPanel1"));
    GradTypeComboBox1->setObjectName(QStringLiteral("GradTypeComboBox1"));
    StartColorPanel2->setObjectName(QStringLiteral("StartColorPanel2"));
    PreviewBar2->setObjectName(QStringLiteral("GrphProgressBar2"));
    EndColorPanel2->setObjectName(QStringLiteral("EndColorPanel2"));
    GradTypeComboBox2->setObjectName(QStringLiteral("GradTypeComboBox2"));

    connect(StartColorPanel1, &TColorPanel::clicked, this, &TSettingForm::StartColorPanel1Click);
    connect(EndColorPanel1, &TColorPanel::clicked, this, &TSettingForm::EndColorPanel1Click);
    connect(StartColorPanel2, &TColorPanel::clicked, this, &TSettingForm::StartColorPanel2Click);
    connect(EndColorPanel2, &TColorPanel::clicked, this, &TSettingForm::EndColorPanel2Click);
    connect(GradTypeComboBox1, &QComboBox::currentIndexChanged, this,
            &TSettingForm::GradTypeComboBox1Change);
    connect(GradTypeComboBox2, &QComboBox::currentIndexChanged, this,
            &TSettingForm::GradTypeComboBox2Change);

    AnimeLabel =
        MakeLabel(QStringLiteral("Label6"), QStringLiteral("アニメーション:"), page, 8, 112);
    AnimeRadioButton1 = new QRadioButton(page);
    AnimeRadioButton1->setObjectName(QStringLiteral("AnimeRadioButton1"));
    AnimeRadioButton1->move(40, 128);
    AnimeRadioButton1->adjustSize();
    AnimeRadioButton1->setChecked(true);
    AnimeImage1 = new TClickImage(page);
    AnimeImage1->setObjectName(QStringLiteral("Image1"));
    AnimeImage1->setGeometry(32, 148, AnimeFrameSize, AnimeFrameSize);
    AnimeImage1->setPixmap(QPixmap::fromImage(AnimeSample(0)));
    connect(AnimeImage1, &TClickImage::clicked, this, &TSettingForm::AnimeImage1Click);

    AnimeRadioButton2 = new QRadioButton(page);
    AnimeRadioButton2->setObjectName(QStringLiteral("AnimeRadioButton2"));
    AnimeRadioButton2->move(100, 128);
    AnimeRadioButton2->adjustSize();
    AnimeImage2 = new TClickImage(page);
    AnimeImage2->setObjectName(QStringLiteral("Image2"));
    AnimeImage2->setGeometry(92, 148, AnimeFrameSize, AnimeFrameSize);
    AnimeImage2->setPixmap(QPixmap::fromImage(AnimeSample(1)));
    connect(AnimeImage2, &TClickImage::clicked, this, &TSettingForm::AnimeImage2Click);
}

} // namespace relvane::app
