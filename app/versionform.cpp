#include "app/versionform.h"

#include "app/consts.h"
#include "app/uifont.h"
#include "platform/memstatus.h"

#include <QLabel>
#include <QPalette>
#include <QPushButton>

#include <algorithm>

namespace relvane::app {

QString FreeMemoryText(qint64 bytes, const QLocale& locale) {
    QLocale grouped = locale;
    grouped.setNumberOptions(grouped.numberOptions() & ~QLocale::OmitGroupSeparator);
    return QStringLiteral("Free Memory Size = ") + grouped.toString(bytes) + QStringLiteral("Byte");
}

TVersionForm::TVersionForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("VersionForm"));
    setWindowTitle(QStringLiteral("バージョン情報"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(FormFont());
    setFixedSize(371, 124);

    // The right-aligned lines keep clear of the border.
    constexpr int rightMargin = 8;

    TitleLabel = new QLabel(ApplicationTitle(), this);
    TitleLabel->setObjectName(QStringLiteral("Label4"));
    QFont title(QStringLiteral("Times New Roman"));
    title.setPixelSize(32);
    title.setBold(true);
    title.setItalic(true);
    TitleLabel->setFont(title);
    QPalette navy = TitleLabel->palette();
    navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
    TitleLabel->setPalette(navy);
    TitleLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    TitleLabel->setGeometry(0, 0, 371, 36);

    VersionLabel = new QLabel(VersionText(), this);
    VersionLabel->setObjectName(QStringLiteral("Label1"));
    VersionLabel->setFont(FormFont(16));
    VersionLabel->setAlignment(Qt::AlignRight | Qt::AlignTop);
    VersionLabel->setContentsMargins(0, 0, rightMargin, 0);
    VersionLabel->setGeometry(0, 36, 371, 25);

    MemoryLabel = new QLabel(this);
    MemoryLabel->setObjectName(QStringLiteral("Label3"));
    MemoryLabel->setAlignment(Qt::AlignRight | Qt::AlignTop);
    MemoryLabel->setContentsMargins(0, 0, rightMargin, 0);
    // The layout's 12 pixels cut the substitute font's descenders.
    MemoryLabel->setGeometry(0, 61, 371, std::max(12, MemoryLabel->fontMetrics().height()));

    ProgramVersionLabel = new QLabel(ProgramVersionText(), this);
    ProgramVersionLabel->setObjectName(QStringLiteral("ProgramVersionLabel"));
    ProgramVersionLabel->setAlignment(Qt::AlignRight | Qt::AlignTop);
    ProgramVersionLabel->setContentsMargins(0, 0, rightMargin, 0);
    ProgramVersionLabel->setGeometry(0, 76, 371, ProgramVersionLabel->fontMetrics().height());
    QPalette grey = ProgramVersionLabel->palette();
    grey.setColor(QPalette::WindowText, QColor(96, 96, 96));
    ProgramVersionLabel->setPalette(grey);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(152, 96, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    CenterOnScreen(this);
}

void TVersionForm::FormShow() {
    MemoryLabel->setText(FreeMemoryText(AvailablePhysicalMemory().value_or(0)));
}

void TVersionForm::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

} // namespace relvane::app
