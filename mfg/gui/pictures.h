#pragma once

#include "mfg/test_page.h"

#include <QPixmap>

namespace mfg::gui {

// The list's images, all drawn here: one 64x15 strip of four 16x15 images
// on magenta (255, 0, 255), which is the transparent colour: 0 an arrow,
// 1 a red cross, 2 a green tick, 3 blank.
inline constexpr int kArrowImage = 0;
inline constexpr int kCrossImage = 1;
inline constexpr int kTickImage = 2;
inline constexpr int kBlankImage = 3;
QPixmap rowImageStrip();
// One image of the strip with its magenta made transparent.
QPixmap rowImage(int index);

// The big result picture: the blank display, PASS in green or FAIL in red.
QPixmap resultPicture(ResultPicture picture);

} // namespace mfg::gui
