#pragma once
// XPStyle gives the windows it sits on the platform's themed look. With Qt
// every widget already draws through the application's style, so what is
// left is to make sure that style is the platform's own and to keep the
// control's fixed size: whatever size it is given, it snaps back to
// 54 x 54 pixels (810 twips at 15 twips per pixel). It is never shown.

#include <QWidget>

namespace varnolt::controls {

class XPStyle : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kSidePixels = 54;

  explicit XPStyle(QWidget* parent = nullptr);

  // The name of the style the application draws with ("" without one).
  QString StyleName() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;
};

}  // namespace varnolt::controls
