#pragma once
// The about box (layout name VersionForm): program name, version, the free
// physical memory and this build's version (RELVANE_VERSION).

#include <QDialog>
#include <QLocale>

#include <optional>

class QLabel;
class QPushButton;

namespace relvane::app {

// "Free Memory Size = 1,234,567Byte": grouped with the locale's thousands
// separator, no decimals.
[[nodiscard]] QString FreeMemoryText(qint64 bytes, const QLocale& locale = QLocale());

class TVersionForm : public QDialog {
    Q_OBJECT
public:
    explicit TVersionForm(QWidget* parent = nullptr);

    // Members named for what they are; the layout's names are their objectNames.
    QLabel* TitleLabel;          // Label4: "TCP/IP Relvane"
    QLabel* VersionLabel;        // Label1: "Version 5.3"
    QLabel* MemoryLabel;         // Label3: the free memory
    QLabel* ProgramVersionLabel; // the build, "relvane 1.0.0"
    QPushButton* OKButton;

    // Fills the memory line; run each time the box is shown.
    void FormShow();

protected:
    void showEvent(QShowEvent* event) override;
};

} // namespace relvane::app
