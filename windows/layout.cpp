#include "windows/layout.h"

#include <QFontDatabase>
#include <QStringList>
#include <QWidget>

namespace varnolt::windows {

void Place(QWidget* widget, int left, int top, int width, int height) {
  widget->setGeometry(TwipsRect(left, top, width, height));
}

QString FirstInstalledFamily(const QStringList& families) {
  const QStringList installed = QFontDatabase::families();
  for (const QString& family : families) {
    if (installed.contains(family, Qt::CaseInsensitive)) return family;
  }
  return QString();
}

namespace {
QFont fontOf(const QStringList& preferred) {
  QFont font;
  const QString family = FirstInstalledFamily(preferred);
  if (!family.isEmpty()) font.setFamily(family);
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(8.25);
  return font;
}
}  // namespace

QFont VerdanaFont() { return fontOf({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans"), QStringLiteral("Bitstream Vera Sans")}); }

QFont ArialFont() {
  return fontOf({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans"),
                 QStringLiteral("DejaVu Sans")});
}

}  // namespace varnolt::windows
