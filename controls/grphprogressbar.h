#pragma once
// A progress bar filled with a colour gradient between two colours, with its
// own flat border and sunken frame and the percentage printed over it in
// inverted colours. The whole picture is composed off-screen and copied in one
// step, so the status window's ten repaints a second do not flicker.

#include "controls/color.h"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <optional>

namespace relvane {

enum class TGrphProgressKind : std::uint8_t { pkText = 0, pkHorizontalBar = 1, pkVerticalBar = 2 };

// pgFull: the gradient spans the whole control and the bar uncovers it;
// pgPart: the gradient is squeezed into the filled part.
enum class TGrphProgressGradation : std::uint8_t { pgNone = 0, pgFull = 1, pgPart = 2 };

enum class TBorderStyle : std::uint8_t { bsNone = 0, bsSingle = 1 };

class TGrphProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit TGrphProgressBar(QWidget* owner = nullptr);

    [[nodiscard]] std::int32_t MinValue() const { return FMinValue; }
    [[nodiscard]] std::int32_t MaxValue() const { return FMaxValue; }
    [[nodiscard]] std::int32_t Position() const { return FPosition; }
    [[nodiscard]] bool ShowText() const { return FShowText; }
    [[nodiscard]] TBorderStyle BorderStyle() const { return FBorderStyle; }
    [[nodiscard]] TColor StartColor() const { return FStartColor; }
    [[nodiscard]] TColor EndColor() const { return FEndColor; }
    [[nodiscard]] TColor BackColor() const { return FBackColor; }
    [[nodiscard]] bool Transparent() const { return FTransparent; }
    [[nodiscard]] TGrphProgressKind Kind() const { return FKind; }
    [[nodiscard]] TGrphProgressGradation Gradation() const { return FGradation; }
    [[nodiscard]] bool Ctl3D() const { return FCtl3D; }

    // Each setter repaints at once, and only when the value changes. Nothing
    // is limited: Position may lie outside MinValue..MaxValue and MaxValue may
    // equal MinValue.
    void SetMinValue(std::int32_t value) { Change(FMinValue, value); }
    void SetMaxValue(std::int32_t value) { Change(FMaxValue, value); }
    void SetPosition(std::int32_t value) { Change(FPosition, value); }
    void SetShowText(bool value) { Change(FShowText, value); }
    void SetBorderStyle(TBorderStyle value) { Change(FBorderStyle, value); }
    void SetStartColor(TColor value) { Change(FStartColor, value); }
    void SetEndColor(TColor value) { Change(FEndColor, value); }
    void SetBackColor(TColor value) { Change(FBackColor, value); }
    void SetTransparent(bool value) { Change(FTransparent, value); }
    void SetKind(TGrphProgressKind value) { Change(FKind, value); }
    void SetGradation(TGrphProgressGradation value) { Change(FGradation, value); }
    void SetCtl3D(bool value) { Change(FCtl3D, value); }

    // The picture Paint copies onto the control.
    [[nodiscard]] QImage Picture();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Right and bottom exclusive.
    struct TRect {
        int Left, Top, Right, Bottom;
    };

    template <class T> void Change(T& field, T value) {
        if (field == value) return;
        field = value;
        repaint();
    }

    // (value - MinValue) / (MaxValue - MinValue); none when the span is 0.
    [[nodiscard]] std::optional<double> Fraction(std::int32_t value) const;
    [[nodiscard]] QRgb GradationColor(int d) const;
    void DrawBar(QImage& picture, double fraction) const;
    void DrawPercentText(QImage& surface, std::int32_t value) const;

    std::int32_t FMinValue = 0;
    std::int32_t FMaxValue = 100;
    std::int32_t FPosition = 0;
    bool FShowText = true;
    TBorderStyle FBorderStyle = TBorderStyle::bsSingle;
    TColor FStartColor = clBlack;
    TColor FEndColor = clBlack;
    TColor FBackColor = clWhite;
    bool FTransparent = false;
    TGrphProgressKind FKind = TGrphProgressKind::pkHorizontalBar;
    TGrphProgressGradation FGradation = TGrphProgressGradation::pgNone;
    bool FCtl3D = true;
    TRect PaintRect{0, 0, 0, 0}; // the working rectangle of the picture being composed
};

} // namespace relvane
