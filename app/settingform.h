#pragma once
// The settings dialog: user name, port, receive folder and switches on the
// page "通信", the look of the status windows' bars and their animation on
// the page "ｽﾃｰﾀｽ画面", with a preview that sweeps the bars up and down.
// A confirmed dialog takes effect through the restart of the main window.

#include "app/settings.h"
#include "controls/color.h"

#include <QAbstractSpinBox>
#include <QDialog>
#include <QFrame>
#include <QLabel>

#include <functional>
#include <optional>

class QCheckBox;
class QComboBox;
class QImage;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimer;

namespace relvane {
class TGrphProgressBar;
class TOpenFolder;
} // namespace relvane

namespace relvane::app {

class TMainForm;

// A number box with up and down buttons for integers from MinValue to
// MaxValue. Only digits and a sign can be typed; when the box loses the focus
// a number outside the range is replaced by the nearest bound, and Value()
// reads a text that is no number as MinValue.
class TSpinEdit : public QAbstractSpinBox {
    Q_OBJECT
public:
    explicit TSpinEdit(QWidget* parent = nullptr);

    void SetRange(int minValue, int maxValue);
    [[nodiscard]] int MinValue() const { return FMinValue; }
    [[nodiscard]] int MaxValue() const { return FMaxValue; }
    // Always within the range, whatever the text holds.
    [[nodiscard]] int Value() const;
    void SetValue(int value);
    [[nodiscard]] QLineEdit* Edit() const { return lineEdit(); }

    void stepBy(int steps) override;

protected:
    [[nodiscard]] StepEnabled stepEnabled() const override;
    QValidator::State validate(QString& input, int& pos) const override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void CheckValue();

    int FMinValue = 0;
    int FMaxValue = 100;
};

// A raised panel filled with one colour that reports clicks.
class TColorPanel : public QFrame {
    Q_OBJECT
public:
    explicit TColorPanel(QWidget* parent = nullptr);
    [[nodiscard]] TColor Color() const { return FColor; }
    void SetColor(TColor color);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    TColor FColor = clBtnFace;
};

// A picture that reports clicks.
class TClickImage : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// The colour dialog as the settings dialog uses it: Color presets it;
// Execute() is true when the user confirmed, with Color holding the choice.
class TColorDialog {
public:
    TColor Color = clBlack;
    bool Execute(QWidget* owner);

    // Answers in place of the modal dialog (tests): the chosen colour, or
    // none for a cancel. An empty hook restores the dialog.
    using THook = std::function<std::optional<TColor>(TColor preset)>;
    static void SetHook(THook hook);
};

class TSettingForm : public QDialog {
    Q_OBJECT
public:
    explicit TSettingForm(QWidget* owner = nullptr);

    // Members named for what they are; the layout's names are their objectNames.
    QTabWidget* Pages;          // PageControl1
    QWidget* CommunicationPage; // TabSheet1, "通信"
    QWidget* StatusPage;        // TabSheet2, "ｽﾃｰﾀｽ画面"
    QWidget* OtherPage;         // "その他": received names and desktop notices
    QPushButton* OKButton;
    QPushButton* CancelButton;

    QLabel* UserNameLabel; // Label3
    QLineEdit* UserNameEdit;
    QLabel* PortLabel; // Label1
    TSpinEdit* PortEdit;
    QLabel* FolderLabel; // Label2
    QLineEdit* FolderEdit;
    QPushButton* BrowseButton;
    QCheckBox* SaveSettingsCheckBox; // HistoryCheckBox, "設定の保存をする"
    QCheckBox* UseCompressCheckBox;
    QCheckBox* ResumeCheckBox;
    QCheckBox* InTaskBarCheckBox; // MinimumCheckBox
    // Whether a copy waiting as a server answers other copies' "探す".
    QCheckBox* AnswerDiscoveryCheckBox;
    QCheckBox* OverwriteCheckBox;  // "同名のファイルを上書きする"
    QCheckBox* ExtensionsCheckBox; // extensions with a copy of this program
    QCheckBox* NoticesCheckBox;    // desktop notices and the tray icon

    QLabel* Indicator1Label; // Label4
    TColorPanel* StartColorPanel1;
    TGrphProgressBar* PreviewBar1; // GrphProgressBar1
    TColorPanel* EndColorPanel1;
    QComboBox* GradTypeComboBox1;
    QLabel* Indicator2Label; // Label5
    TColorPanel* StartColorPanel2;
    TGrphProgressBar* PreviewBar2; // GrphProgressBar2
    TColorPanel* EndColorPanel2;
    QComboBox* GradTypeComboBox2;
    QLabel* AnimeLabel; // Label6
    QRadioButton* AnimeRadioButton1;
    TClickImage* AnimeImage1; // Image1
    QRadioButton* AnimeRadioButton2;
    TClickImage* AnimeImage2; // Image2

    TOpenFolder* FolderPicker; // OpenFolder1
    TColorDialog ColorDialog;  // ColorDialog1
    QTimer* PreviewTimer;      // Timer1

    int PreviewPosition = 0;
    int PreviewStep = 10;

    // Asked when the dialog is confirmed; false keeps it open with every
    // edit as it is (the main window refuses a port it cannot take).
    std::function<bool()> OnConfirm;

    void FormCreate();
    void PreviewTimerTimer();
    void BrowseButtonClick();
    void StartColorPanel1Click();
    void EndColorPanel1Click();
    void StartColorPanel2Click();
    void EndColorPanel2Click();
    void SetStartColor1(TColor color);
    void SetEndColor1(TColor color);
    void SetStartColor2(TColor color);
    void SetEndColor2(TColor color);
    void GradTypeComboBox1Change();
    void GradTypeComboBox2Change();
    void SetGradation1(int gradation);
    void SetGradation2(int gradation);
    void AnimeImage1Click();
    void AnimeImage2Click();

    void accept() override;

private:
    void CreatePage1();
    void CreatePage2();
    void CreatePage3();
    // One indicator row of page 2 at `top`, its combo box at `comboLeft`.
    void CreateIndicatorRow(int top, int comboLeft, TColorPanel*& start, TGrphProgressBar*& bar,
                            TColorPanel*& end, QComboBox*& gradType);
    // Presets the colour dialog with `current`; the chosen colour, if any.
    std::optional<TColor> ChooseColor(TColor current);
};

// The settings operation of the main window once it is idle: fills the dialog
// from the window's fields, shows it modally and, when it was confirmed,
// applies every value to the window; true then. The endpoints refuse a new
// port while the server still listens after its peer left: the dialog then
// says so and how to free the port, and stays open with the user's edits;
// nothing is applied until it is confirmed with a port the endpoints take.
bool ExecuteSettingForm(TMainForm& form);

// With "設定の保存をする" off the port, the receive folder and the address
// history are not written to the settings file; what the dialog confirmed
// still holds for the rest of the run. The dialog keeps them here, for the
// file they belong to, and each new main window takes them back after
// reading a file that holds none.
void HoldForThisRun(const QString& settingsFile, const TSettings& settings);
void ApplyHeldSettings(const QString& settingsFile, TSettings& settings);

// The sample pictures of the two animations (their first frames).
[[nodiscard]] QImage AnimeSample(int animeType);

} // namespace relvane::app
