#pragma once
// The status windows' animations and the cancel button's glyph, drawn here:
// choice 0 is a page being sent (4 frames), choice 1 a turning globe with a
// parcel in orbit (80 frames). Both loop seamlessly at one frame per tick.

#include <QImage>

namespace relvane {

constexpr int AnimeFrameSize = 32;

// 4 for choice 0, 80 for choice 1, 0 for any other choice.
[[nodiscard]] int AnimeFrameCount(int animeType);
// Frame `index` of the choice, 32 x 32; null when either is out of range.
[[nodiscard]] QImage AnimeFrame(int animeType, int index);

// 16 x 16: a black diagonal cross on a transparent ground.
[[nodiscard]] QImage CancelGlyph();

} // namespace relvane
