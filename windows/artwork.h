#pragma once
// The program's pictures, drawn in code so that they scale and need no
// image plug-ins: the main window's banner and the window icon (the same
// design as app/varnolt.svg, the icon of the desktop entry).

#include <QIcon>
#include <QPixmap>

namespace varnolt::windows {

inline constexpr int kBannerWidth = 601;
inline constexpr int kBannerHeight = 107;

// The banner at the top-left of the main window, 601 x 107 pixels, with
// the tagline (two lines at most) under the name; none when it is empty.
QPixmap BannerPicture(const QString& tagline);

// The tagline in English, for when no language texts can be loaded.
QString EnglishBannerTagline();

// The program's icon: an envelope over a blue tile, with an orange arrow
// pressing it flat.
QIcon ProgramIcon();
QPixmap ProgramIconPixmap(int side);

}  // namespace varnolt::windows
