#pragma once
// The about box: program name, version and the free physical memory.

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

    QLabel* Label4; // program name
    QLabel* Label1; // version
    QLabel* Label3; // free memory
    QPushButton* OKButton;

    // Fills the memory line; run each time the box is shown.
    void FormShow();

protected:
    void showEvent(QShowEvent* event) override;
};

} // namespace relvane::app
