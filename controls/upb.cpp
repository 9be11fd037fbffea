#include "controls/upb.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QColor>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QResizeEvent>
#include <QPainter>
#include <QPalette>

namespace varnolt::controls {

namespace {

// Defaults of the property store; a value equal to one of these is not
// saved. Four of them differ from what a newly placed control starts with.
constexpr qlonglong kDefaultForeColor = 0;
constexpr qlonglong kDefaultFollowColor = 0;
constexpr bool kDefaultVerticalColors = false;
constexpr bool kDefaultBlocks = true;
constexpr qlonglong kDefaultBorders = 0;
constexpr qlonglong kDefaultDelay = 16;
constexpr qlonglong kDefaultForeSpeed = 6;
constexpr qlonglong kDefaultBlockSize = 8;
constexpr qlonglong kDefaultBlockSpace = 1;

// Smallest block pitch: below it the gaps would swallow the band.
constexpr std::int16_t kMinBlockSize = 4;

QColor toQColor(Colour c) {
  return QColor(static_cast<int>(c & 0xFFu), static_cast<int>((c >> 8) & 0xFFu),
                static_cast<int>((c >> 16) & 0xFFu));
}

std::int16_t clamp16(qlonglong v) {
  return static_cast<std::int16_t>(
      std::clamp<qlonglong>(v, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
}

std::int32_t clamp32(qlonglong v) {
  return static_cast<std::int32_t>(
      std::clamp<qlonglong>(v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

void edgeLines(QPainter& p, const QRect& r, const QColor& topLeft, const QColor& bottomRight) {
  if (r.width() <= 0 || r.height() <= 0) return;
  p.fillRect(QRect(r.x(), r.y(), r.width() - 1, 1), topLeft);
  p.fillRect(QRect(r.x(), r.y(), 1, r.height() - 1), topLeft);
  p.fillRect(QRect(r.x(), r.y() + r.height() - 1, r.width(), 1), bottomRight);
  p.fillRect(QRect(r.x() + r.width() - 1, r.y(), 1, r.height()), bottomRight);
}

}  // namespace

void DrawEdge(QPainter& painter, const QRect& rect, std::int32_t edge, const QPalette& palette) {
  const QColor light = palette.color(QPalette::Light);        // highlight
  const QColor midlight = palette.color(QPalette::Midlight);  // 3-D light
  const QColor dark = palette.color(QPalette::Dark);          // 3-D shadow
  const QColor shadow = palette.color(QPalette::Shadow);      // dark shadow
  // A raised border wins when both bits of one border are set.
  if (edge & 1) {
    edgeLines(painter, rect, midlight, shadow);
  } else if (edge & 2) {
    edgeLines(painter, rect, dark, light);
  }
  const QRect inner = rect.adjusted(1, 1, -1, -1);
  if (edge & 4) {
    edgeLines(painter, inner, light, dark);
  } else if (edge & 8) {
    edgeLines(painter, inner, shadow, midlight);
  }
}

UPB::UPB(QWidget* parent) : QWidget(parent) {
  animate_.setInterval(16);
  animate_.stop();
  connect(&animate_, &QTimer::timeout, this, &UPB::AnimateTick);
  frame_.borders = borders_;
  setAttribute(Qt::WA_OpaquePaintEvent);
}

UPB::~UPB() { animate_.stop(); }

void UPB::SetBlockSpace(std::int16_t v) {
  if (v < 1) {
    blockSpace_ = 1;
  } else if (v + 1 > blockSize_) {
    blockSpace_ = static_cast<std::int16_t>(blockSize_ - 2);
  } else {
    blockSpace_ = v;
  }
}

void UPB::SetBlockSize(std::int16_t v) {
  if (v < kMinBlockSize) {
    blockSize_ = kMinBlockSize;
  } else {
    const float quarter = static_cast<float>(width()) / 4.0f;
    if (quarter < static_cast<float>(v)) {
      // Halves round to even, as the default rounding mode does.
      const long rounded = std::lrint(quarter);
      blockSize_ = static_cast<std::int16_t>(std::max<long>(rounded, kMinBlockSize));
    } else {
      blockSize_ = v;
    }
  }
  if (blockSpace_ + 1 > blockSize_) blockSpace_ = static_cast<std::int16_t>(blockSize_ - 2);
}

void UPB::SetForeSpeed(std::int16_t v) { foreSpeed_ = std::clamp<std::int16_t>(v, 1, 60); }

void UPB::SetDelay(std::int16_t v) {
  delay_ = std::clamp<std::int16_t>(v, 1, 60);
  animate_.setInterval(delay_);
}

void UPB::SetBorders(std::int32_t v) {
  borders_ = v;
  emit PropertyChanged(QStringLiteral("Borders"));
}

void UPB::SetBlocks(bool v) {
  blocks_ = v;
  emit PropertyChanged(QStringLiteral("Blocks"));
}

void UPB::SetVerticalColors(bool v) {
  verticalColors_ = v;
  emit PropertyChanged(QStringLiteral("VerticalColors"));
}

void UPB::SetForeColor(Colour v) {
  foreColor_ = v;
  emit PropertyChanged(QStringLiteral("ForeColor"));
}

void UPB::SetFollowColor(Colour v) {
  followColor_ = v;
  emit PropertyChanged(QStringLiteral("FollowColor"));
}

void UPB::SetEnabled(bool on) {
  // The run switches the bar on for every folder and attachment: restarting
  // the timer and clearing each time would keep it from ever ticking.
  if (on == enabled_) return;
  if (on) {
    animate_.start();
  } else {
    animate_.stop();
  }
  enabled_ = on;
  clearAndEdge();
}

void UPB::Reset(int /*any*/) {
  leadPos_ = 0;
  trailPos_ = 0;
  clearAndEdge();
}

void UPB::WriteProperties(PropertyBag& bag) const {
  bag.WriteProperty(QStringLiteral("ForeColor"), qlonglong{foreColor_}, kDefaultForeColor);
  bag.WriteProperty(QStringLiteral("FollowColor"), qlonglong{followColor_}, kDefaultFollowColor);
  bag.WriteProperty(QStringLiteral("VerticalColors"), verticalColors_, kDefaultVerticalColors);
  bag.WriteProperty(QStringLiteral("Blocks"), blocks_, kDefaultBlocks);
  bag.WriteProperty(QStringLiteral("Borders"), qlonglong{borders_}, kDefaultBorders);
  bag.WriteProperty(QStringLiteral("Delay"), qlonglong{delay_}, kDefaultDelay);
  bag.WriteProperty(QStringLiteral("ForeSpeed"), qlonglong{foreSpeed_}, kDefaultForeSpeed);
  bag.WriteProperty(QStringLiteral("BlockSize"), qlonglong{blockSize_}, kDefaultBlockSize);
  bag.WriteProperty(QStringLiteral("BlockSpace"), qlonglong{blockSpace_}, kDefaultBlockSpace);
}

void UPB::ReadProperties(const PropertyBag& bag) {
  // Colours are 32-bit whatever way they were stored: -1 and 0xFFFFFFFF
  // are the same colour.
  const auto colour = [&](const char* name, qlonglong fallback) {
    return static_cast<Colour>(static_cast<std::uint64_t>(bag.ReadProperty(QLatin1String(name), fallback).toLongLong()) &
                               0xFFFFFFFFu);
  };
  SetForeColor(colour("ForeColor", kDefaultForeColor));
  SetFollowColor(colour("FollowColor", kDefaultFollowColor));
  SetVerticalColors(bag.ReadProperty(QStringLiteral("VerticalColors"), kDefaultVerticalColors).toBool());
  SetBlocks(bag.ReadProperty(QStringLiteral("Blocks"), kDefaultBlocks).toBool());
  SetBorders(clamp32(bag.ReadProperty(QStringLiteral("Borders"), kDefaultBorders).toLongLong()));
  SetDelay(clamp16(bag.ReadProperty(QStringLiteral("Delay"), kDefaultDelay).toLongLong()));
  SetForeSpeed(clamp16(bag.ReadProperty(QStringLiteral("ForeSpeed"), kDefaultForeSpeed).toLongLong()));
  SetBlockSize(clamp16(bag.ReadProperty(QStringLiteral("BlockSize"), kDefaultBlockSize).toLongLong()));
  SetBlockSpace(clamp16(bag.ReadProperty(QStringLiteral("BlockSpace"), kDefaultBlockSpace).toLongLong()));
}

void UPB::AnimateTick() {
  const std::int32_t w = width();
  const std::int32_t s = foreSpeed_;
  if (!returning_) {
    if (w > leadPos_) {
      leadPos_ += s;  // the band grows rightwards from the left edge
      drawBar(foreColor_, followColor_);
    } else if (w > trailPos_) {
      trailPos_ += s;  // and shrinks into the right edge
      drawBar(foreColor_, followColor_);
    } else {
      returning_ = true;
    }
  } else {
    if (leadPos_ > 0 && trailPos_ > 0) {
      trailPos_ -= s;  // the fore colour now leads leftwards
      drawBar(followColor_, foreColor_);
    } else if (trailPos_ <= 0 && leadPos_ > 0) {
      leadPos_ -= s;
      drawBar(followColor_, foreColor_);
    } else {
      returning_ = false;
    }
  }
}

void UPB::clearAndEdge() {
  edgeSize_ = size();
  frame_ = Frame{};
  frame_.borders = borders_;
  update();
}

void UPB::drawBar(Colour head, Colour tail) {
  edgeSize_ = size();
  frame_.band = true;
  frame_.lead = leadPos_;
  frame_.trail = trailPos_;
  frame_.head = head;
  frame_.tail = tail;
  frame_.vertical = verticalColors_;
  frame_.blocks = blocks_;
  frame_.blockSize = blockSize_;
  frame_.blockSpace = blockSpace_;
  frame_.borders = borders_;
  update();
}

void UPB::paintEvent(QPaintEvent* /*event*/) {
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Button));
  const int h = height();
  if (frame_.band) {
    const int x0 = std::min(frame_.lead, frame_.trail);
    const int x1 = std::max(frame_.lead, frame_.trail);
    QLinearGradient gradient = frame_.vertical ? QLinearGradient(0, 0, 0, h)
                                               : QLinearGradient(frame_.lead, 0, frame_.trail, 0);
    gradient.setColorAt(0, toQColor(frame_.head));
    gradient.setColorAt(1, toQColor(frame_.tail));
    if (x1 > x0 && h > 0) p.fillRect(QRect(x0, 0, x1 - x0, h), gradient);
    if (frame_.blocks && frame_.blockSize > 0) {
      // Gaps run from the left edge up to the lead end, wherever the trail
      // end is; nothing past the right edge is worth painting.
      const int last = std::min<std::int32_t>(clamp16(frame_.lead), width());
      for (int g = 0; g <= last; g += frame_.blockSize) {
        p.fillRect(QRect(g, 0, frame_.blockSpace, h), Qt::white);
      }
    }
  }
  DrawEdge(p, rect(), frame_.borders, palette());
}

void UPB::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // A hidden widget gets its resize event late (when shown or grabbed);
  // a picture drawn since then already has the new size and stays.
  if (event->size() != edgeSize_) clearAndEdge();
}

}  // namespace varnolt::controls
