#include "windows/artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include "windows/layout.h"

namespace varnolt::windows {

namespace {

// Draws the icon's design into a square of side s at the painter's origin.
void paintIcon(QPainter& p, qreal s) {
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient tile(0, 0, 0, s);
  tile.setColorAt(0, QColor(0x2F, 0x6F, 0xB3));
  tile.setColorAt(1, QColor(0x1B, 0x3F, 0x73));
  p.setPen(Qt::NoPen);
  p.setBrush(tile);
  p.drawRoundedRect(QRectF(0.03 * s, 0.03 * s, 0.94 * s, 0.94 * s), 0.18 * s, 0.18 * s);

  // Envelope.
  const QRectF env(0.17 * s, 0.40 * s, 0.66 * s, 0.40 * s);
  p.setBrush(QColor(0xF7, 0xF9, 0xFC));
  p.setPen(QPen(QColor(0xC9, 0xD6, 0xE6), 0.015 * s));
  p.drawRoundedRect(env, 0.03 * s, 0.03 * s);
  QPainterPath flap;
  flap.moveTo(env.topLeft());
  flap.lineTo(env.center().x(), env.top() + 0.55 * env.height());
  flap.lineTo(env.topRight());
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(0x8E, 0xA7, 0xC4), 0.03 * s, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(flap);

  // Arrow pressing down on the envelope.
  QPainterPath arrow;
  const qreal cx = 0.5 * s;
  arrow.moveTo(cx - 0.07 * s, 0.08 * s);
  arrow.lineTo(cx + 0.07 * s, 0.08 * s);
  arrow.lineTo(cx + 0.07 * s, 0.22 * s);
  arrow.lineTo(cx + 0.15 * s, 0.22 * s);
  arrow.lineTo(cx, 0.36 * s);
  arrow.lineTo(cx - 0.15 * s, 0.22 * s);
  arrow.lineTo(cx - 0.07 * s, 0.22 * s);
  arrow.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xFF, 0x80, 0x00));
  p.drawPath(arrow);
}

}  // namespace

QPixmap ProgramIconPixmap(int side) {
  QPixmap pixmap(side, side);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  paintIcon(p, side);
  return pixmap;
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int side : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(ProgramIconPixmap(side));
  return icon;
}

QString EnglishBannerTagline() { return QStringLiteral("Smaller Outlook PST files:\nattachments out, links in"); }

QPixmap BannerPicture(const QString& tagline) {
  QPixmap pixmap(kBannerWidth, kBannerHeight);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);

  QLinearGradient sky(0, 0, kBannerWidth, 0);
  sky.setColorAt(0, QColor(0x1B, 0x3F, 0x73));
  sky.setColorAt(0.65, QColor(0x2F, 0x6F, 0xB3));
  sky.setColorAt(1, QColor(0x6F, 0xA8, 0xDC));
  p.fillRect(pixmap.rect(), sky);

  // A row of envelopes growing thinner to the right: mail pressed smaller.
  for (int i = 0; i < 6; ++i) {
    const qreal w = 64 - i * 6;
    const qreal h = 40 - i * 5.5;
    const qreal x = 330 + i * 44;
    const qreal y = 58 - h / 2;
    p.setPen(QPen(QColor(255, 255, 255, 150), 1.2));
    p.setBrush(QColor(255, 255, 255, 40 + i * 18));
    p.drawRoundedRect(QRectF(x, y, w, h), 3, 3);
    QPainterPath flap;
    flap.moveTo(x, y);
    flap.lineTo(x + w / 2, y + h * 0.55);
    flap.lineTo(x + w, y);
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
  }
  // The orange band of the progress bar under them.
  QLinearGradient band(330, 0, 590, 0);
  band.setColorAt(0, QColor(255, 255, 255));
  band.setColorAt(1, QColor(0xFF, 0x80, 0x00));
  p.fillRect(QRectF(330, 88, 260, 6), band);

  p.drawPixmap(18, 19, ProgramIconPixmap(70));

  QFont title = VerdanaFont();
  title.setPointSizeF(26);
  title.setBold(true);
  p.setFont(title);
  p.setPen(Qt::white);
  p.drawText(QRectF(102, 16, 240, 46), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Varnolt"));
  // The tagline stays left of the envelopes: a longer translation gets a
  // smaller type rather than a cut line.
  if (!tagline.isEmpty()) {
    const QRectF room(104, 62, 220, 40);
    QFont subtitle = VerdanaFont();
    for (qreal size = 9.5; size >= 6.5; size -= 0.5) {
      subtitle.setPointSizeF(size);
      const QRectF needed = QFontMetricsF(subtitle).boundingRect(room, Qt::AlignLeft | Qt::AlignTop, tagline);
      if (needed.width() <= room.width() && needed.height() <= room.height()) break;
    }
    p.setFont(subtitle);
    p.setPen(QColor(0xDD, 0xE8, 0xF4));
    p.drawText(room, Qt::AlignLeft | Qt::AlignTop, tagline);
  }
  return pixmap;
}

}  // namespace varnolt::windows
