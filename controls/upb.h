#pragma once
// UPB shows that work is going on, not how much of it is done. While it is
// enabled its timer moves a gradient band from the left edge to the right
// edge and back, again and again, optionally cut into blocks by white gaps,
// inside a 3-D edge. The host switches it on and off with SetEnabled and
// configures it through stored design values (ReadProperties).
//
// Every setter clamps instead of failing. Each timer tick redraws the whole
// control from the two band positions and the direction; setting a drawing
// property shows at the next tick, reset, enable or resize, not at once.
//
// Very narrow controls: the block pitch may not exceed a quarter of the
// width, but it never goes below 4 pixels either, so a control narrower
// than 16 pixels keeps a pitch of 4 and the gap loop always advances.

#include <cstdint>

#include <QTimer>
#include <QWidget>

#include "controls/property_bag.h"

namespace varnolt::controls {

// Colours are 0x00BBGGRR (red in the low byte); the top byte is ignored
// when drawing, so no system-colour translation takes place.
using Colour = std::uint32_t;

class UPB : public QWidget {
  Q_OBJECT

 public:
  // A newly placed control: timer stopped at 16 ms, orange to white band,
  // blocks on, etched edge.
  explicit UPB(QWidget* parent = nullptr);
  ~UPB() override;

  std::int16_t BlockSpace() const { return blockSpace_; }
  void SetBlockSpace(std::int16_t v);
  std::int16_t BlockSize() const { return blockSize_; }
  void SetBlockSize(std::int16_t v);
  std::int16_t ForeSpeed() const { return foreSpeed_; }
  void SetForeSpeed(std::int16_t v);
  std::int16_t Delay() const { return delay_; }
  void SetDelay(std::int16_t v);
  std::int32_t Borders() const { return borders_; }
  void SetBorders(std::int32_t v);
  bool Blocks() const { return blocks_; }
  void SetBlocks(bool v);
  bool VerticalColors() const { return verticalColors_; }
  void SetVerticalColors(bool v);
  Colour ForeColor() const { return foreColor_; }
  void SetForeColor(Colour v);
  Colour FollowColor() const { return followColor_; }
  void SetFollowColor(Colour v);

  // Starts or stops the animation and clears the control; the band
  // positions and direction are kept, so enabling again continues where
  // the band stopped. Setting the value the bar already has changes
  // nothing: the timer keeps its phase and the band stays.
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on);

  // Rewinds the band to the left edge and clears the control; the
  // direction is kept. The value is ignored.
  void Reset(int any = 0);

  // Saving omits values equal to their stored defaults; loading passes
  // every value through its setter (so clamping applies) and neither
  // starts nor stops the timer.
  void WriteProperties(PropertyBag& bag) const;
  void ReadProperties(const PropertyBag& bag);

  // One animation step, as the timer runs it.
  void AnimateTick();

  std::int32_t LeadPos() const { return leadPos_; }
  std::int32_t TrailPos() const { return trailPos_; }
  bool Returning() const { return returning_; }
  bool TimerActive() const { return animate_.isActive(); }
  int TimerInterval() const { return animate_.interval(); }
  int TimerRemainingTime() const { return animate_.remainingTime(); }
  // Whether the picture shows a band (false after a clear: enable,
  // disable, reset or resize).
  bool ShowsBand() const { return frame_.band; }

 signals:
  // A stored property changed, so the host should save it again.
  void PropertyChanged(const QString& name);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // What the last drawing step put on the control; painting repeats it
  // whenever the window system asks, so a covered control comes back alike.
  struct Frame {
    bool band = false;
    std::int32_t lead = 0, trail = 0;
    Colour head = 0, tail = 0;
    bool vertical = false, blocks = false;
    std::int16_t blockSize = 8, blockSpace = 1;
    std::int32_t borders = 0;
  };

  void clearAndEdge();
  void drawBar(Colour head, Colour tail);

  std::int16_t blockSpace_ = 1;
  std::int16_t blockSize_ = 8;
  std::int16_t foreSpeed_ = 8;
  std::int16_t delay_ = 16;
  std::int32_t borders_ = 6;
  bool blocks_ = true;
  bool verticalColors_ = false;
  Colour foreColor_ = 0x000080FF;
  Colour followColor_ = 0x00FFFFFF;
  bool enabled_ = false;

  std::int32_t leadPos_ = 0;
  std::int32_t trailPos_ = 0;
  bool returning_ = false;

  QTimer animate_;
  Frame frame_;
  QSize edgeSize_;  // size the edge was last drawn for
};

// Paints a Windows-style 3-D edge on rect: the outer border from bits 1
// (raised) and 2 (sunken), the inner one a pixel further in from bits 4
// (raised) and 8 (sunken), in the palette's light and shadow colours.
void DrawEdge(class QPainter& painter, const QRect& rect, std::int32_t edge, const class QPalette& palette);

}  // namespace varnolt::controls
