#include "app/versionform.h"

#include "app/consts.h"
#include "app/uifont.h"
#include "platform/memstatus.h"

#include <QLabel>
#include <QPalette>
#include <QPushButton>

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

    Label4 = new QLabel(ApplicationTitle(), this);
    QFont title(QStringLiteral("Times New Roman"));
    title.setPixelSize(32);
    title.setBold(true);
    title.setItalic(true);
    Label4->setFont(title);
    QPalette navy = Label4->palette();
    navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
    Label4->setPalette(navy);
    Label4->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label4->setGeometry(0, 0, 371, 36);

    Label1 = new QLabel(VersionText(), this);
    Label1->setFont(FormFont(16));
    Label1->setAlignment(Qt::AlignRight | Qt::AlignTop);
    Label1->setGeometry(0, 36, 371, 25);

    Label3 = new QLabel(this);
    Label3->setAlignment(Qt::AlignRight | Qt::AlignTop);
    Label3->setGeometry(0, 61, 371, 12);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setGeometry(152, 96, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    CenterOnScreen(this);
}

void TVersionForm::FormShow() {
    Label3->setText(FreeMemoryText(AvailablePhysicalMemory().value_or(0)));
}

void TVersionForm::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

} // namespace relvane::app
