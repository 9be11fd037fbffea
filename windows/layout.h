#pragma once
// Placement and fonts shared by the windows. Positions and sizes are kept
// in twips, as the window layouts give them, and converted at 15 twips per
// pixel.

#include <QFont>
#include <QRect>
#include <QString>

class QWidget;

namespace varnolt::windows {

inline constexpr int kTwipsPerPixel = 15;

constexpr int Px(int twips) { return twips / kTwipsPerPixel; }
inline QRect TwipsRect(int left, int top, int width, int height) {
  return QRect(Px(left), Px(top), Px(width), Px(height));
}
// Places widget inside its parent at a position given in twips.
void Place(QWidget* widget, int left, int top, int width, int height);

// Verdana 8.25 pt where it is installed, otherwise the closest sans-serif
// the system has (DejaVu Sans, which shares Verdana's wide, open shapes).
QFont VerdanaFont();
// Arial 8.25 pt, or Liberation Sans (same metrics), or the system's
// sans-serif.
QFont ArialFont();

// The first of families that the font database knows, or "" for none.
QString FirstInstalledFamily(const QStringList& families);

}  // namespace varnolt::windows
