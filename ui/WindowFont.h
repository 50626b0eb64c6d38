#pragma once

#include <QFont>

// The window's look was drawn for Tahoma; where that font is missing the
// closest sans-serif face of similar width stands in. Sizes are in pixels
// because every position of the window is given in pixels at 96 dpi.
QFont WindowFont(int PixelSize);

// Controls: Tahoma 8 point, 11 pixels high at 96 dpi.
inline constexpr int ControlFontPixels = 11;
// Tab captions: Tahoma 18 point, 24 pixels high at 96 dpi.
inline constexpr int TabFontPixels = 24;
