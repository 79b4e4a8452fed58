#include "controls/checkindicator.h"

#include <QPainter>

#include <array>

namespace relvane {

namespace {

// W white (transparent), K black rim, B bright, D dark.
constexpr std::array<const char*, 12> LitMap = {
    "WWWWKKKKWWWW", "WWKKBBBBKKWW", "WKBBBBBBBDKW", "WKBBBBBBBBKW", "KBBBBBBBBBDK", "KBBBBBBBBBDK",
    "KBBBBBBBBBDK", "KBBBBBBBBBDK", "WKBBBBBBBDKW", "WKDBBBBBDDKW", "WWKKDDDDKKWW", "WWWWKKKKWWWW",
};
constexpr std::array<const char*, 12> UnlitMap = {
    "WWWWKKKKWWWW", "WWKKDDDDKKWW", "WKDDDDDDDDKW", "WKDDDDDDDDKW", "KDDDDDDDDDDK", "KDDDDDDDDDDK",
    "KDDDDDDDDDDK", "KDDDDDDDDDDK", "WKDDDDDDDDKW", "WKDDDDDDDDKW", "WWKKDDDDKKWW", "WWWWKKKKWWWW",
};

struct LampColours {
    const char* Word;
    QRgb Bright;
    QRgb Dark;
};
// In the order of TIndicatorColor.
constexpr std::array<LampColours, 5> Colours = {{
    {"Green", qRgb(0, 255, 0), qRgb(0, 128, 0)},
    {"Red", qRgb(255, 0, 0), qRgb(128, 0, 0)},
    {"Yellow", qRgb(255, 255, 0), qRgb(128, 128, 0)},
    {"Blue", qRgb(0, 0, 255), qRgb(0, 0, 128)},
    {"Aqua", qRgb(0, 255, 255), qRgb(0, 128, 128)},
}};

QImage Draw(const std::array<const char*, 12>& map, const LampColours& c) {
    QImage image(TCheckIndicator::LampSize, TCheckIndicator::LampSize, QImage::Format_ARGB32);
    for (int y = 0; y < TCheckIndicator::LampSize; ++y)
        for (int x = 0; x < TCheckIndicator::LampSize; ++x) {
            QRgb pixel = qRgba(0, 0, 0, 0);
            switch (map[y][x]) {
            case 'K':
                pixel = qRgb(0, 0, 0);
                break;
            case 'B':
                pixel = c.Bright;
                break;
            case 'D':
                pixel = c.Dark;
                break;
            default:
                break;
            }
            image.setPixel(x, y, pixel);
        }
    return image;
}

} // namespace

QImage LampPicture(QStringView name) {
    for (const LampColours& c : Colours) {
        const QString word = QString::fromLatin1(c.Word);
        if (name.compare(word + QLatin1String("On"), Qt::CaseInsensitive) == 0)
            return Draw(LitMap, c);
        if (name.compare(word + QLatin1String("Off"), Qt::CaseInsensitive) == 0)
            return Draw(UnlitMap, c);
    }
    return {};
}

TCheckIndicator::TCheckIndicator(QWidget* owner) : QWidget(owner) {
    setFixedSize(LampSize, LampSize);
}

void TCheckIndicator::SetChecked(bool checked) {
    FChecked = checked;
    update();
}

void TCheckIndicator::SetColor(TIndicatorColor color) {
    FColor = color;
    update();
}

void TCheckIndicator::SetBounds(int left, int top, int /*width*/, int /*height*/) {
    setGeometry(left, top, LampSize, LampSize);
}

void TCheckIndicator::paintEvent(QPaintEvent* /*event*/) {
    const auto index = static_cast<std::size_t>(FColor);
    if (index >= Colours.size()) return;
    const QString name =
        QString::fromLatin1(Colours[index].Word) + QLatin1String(FChecked ? "On" : "Off");
    QPainter p(this);
    // Transparent pixels leave the parent's background at the corners.
    p.drawImage(0, 0, LampPicture(name));
}

} // namespace relvane
