#pragma once

#include <QFont>
#include <QString>

// The window's look was drawn for Tahoma; where that font is missing the
// closest sans-serif face of similar width stands in. Sizes are in pixels
// because every position of the window is given in pixels at 96 dpi.
QFont WindowFont(int PixelSize);

// Family at PixelSize (an empty family: the system's sans-serif face),
// narrowed where needed so that every caption standing left of a field
// fits the room the Tahoma layout gives it. The narrowing is found at the
// controls' size and kept at every size, so all text of the window shares
// one width.
QFont FittedWindowFont(const QString& Family, int PixelSize);

// Controls: Tahoma 8 point, 11 pixels high at 96 dpi.
inline constexpr int ControlFontPixels = 11;
// Tab captions: Tahoma 18 point, 24 pixels high at 96 dpi.
inline constexpr int TabFontPixels = 24;
