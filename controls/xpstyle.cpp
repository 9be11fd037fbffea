#include "controls/xpstyle.h"

#include <QApplication>
#include <QResizeEvent>
#include <QStyle>

namespace varnolt::controls {

XPStyle::XPStyle(QWidget* parent) : QWidget(parent) {
  setFixedSize(kSidePixels, kSidePixels);
  setVisible(false);
  setAttribute(Qt::WA_DontShowOnScreen);
}

QString XPStyle::StyleName() const {
  const QStyle* style = QApplication::style();
  return style != nullptr ? style->name() : QString();
}

void XPStyle::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (event->size() != QSize(kSidePixels, kSidePixels)) resize(kSidePixels, kSidePixels);
}

}  // namespace varnolt::controls
