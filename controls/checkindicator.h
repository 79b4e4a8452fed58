#pragma once
// A round lamp, lit or unlit, in one of five colours; always 12 x 12 pixels.

#include <QImage>
#include <QStringView>
#include <QWidget>

#include <cstdint>

namespace relvane {

enum class TIndicatorColor : std::uint8_t {
    icGreen = 0,
    icRed = 1,
    icYellow = 2,
    icBlue = 3,
    icAqua = 4
};

// The lamp's pictures by name: "GREENON", "GREENOFF", "REDON", ... "AQUAOFF",
// letter case ignored; a null image for any other name. 12 x 12, the white
// ground already transparent.
[[nodiscard]] QImage LampPicture(QStringView name);

class TCheckIndicator : public QWidget {
    Q_OBJECT
public:
    static constexpr int LampSize = 12;

    explicit TCheckIndicator(QWidget* owner = nullptr);

    [[nodiscard]] bool Checked() const { return FChecked; }
    [[nodiscard]] TIndicatorColor Color() const { return FColor; }
    // Both ask for a deferred repaint, even when the value is unchanged.
    void SetChecked(bool checked);
    void SetColor(TIndicatorColor color);

    // Keeps the requested place; width and height stay 12 (as for
    // setGeometry and resize, which the fixed size bounds).
    void SetBounds(int left, int top, int width, int height);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool FChecked = false;
    TIndicatorColor FColor = TIndicatorColor::icGreen;
};

} // namespace relvane
