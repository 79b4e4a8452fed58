#pragma once
// MenuImageList: the twelve 16 x 16 pictures of the main window's actions,
// menus and buttons, drawn by the program itself.

#include <QIcon>
#include <QPixmap>

namespace relvane::app {

enum class TMenuImage {
    miExit = 0,
    miOption = 1,
    miConnect = 2,
    miServer = 3,
    miFileMenu = 4,
    miEditMenu = 5,
    miHelp = 6,
    miDisconnect = 7,
    miFolder = 8,
    miCancel = 9,
    miChat = 10,
    miSend = 11,
};
constexpr int MenuImageSize = 16;

// One picture, 16 x 16 with a transparent background.
[[nodiscard]] QPixmap MenuImage(TMenuImage image);
[[nodiscard]] QIcon MenuIcon(TMenuImage image);

} // namespace relvane::app
