// The block progress bar: clamping setters, the animation's tick sequence,
// what each step leaves on screen, and the property store.

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QPalette>
#include <gtest/gtest.h>

#include "controls/property_bag.h"
#include "controls/upb.h"
#include "controls/xpstyle.h"

namespace varnolt::controls {
namespace {

QImage shot(UPB& bar) { return bar.grab().toImage().convertToFormat(QImage::Format_RGB32); }

bool near(QColor got, int r, int g, int b, int tolerance = 6) {
  return std::abs(got.red() - r) <= tolerance && std::abs(got.green() - g) <= tolerance &&
         std::abs(got.blue() - b) <= tolerance;
}

// A bar of the size the options window gives it, as stored there.
QString hostStoredValues() {
  return QStringLiteral("forecolor = 33023\nfollowcolor = 16777215\nborders = 6\nforespeed = 30\nblocksize = 6\n");
}

TEST(UPBProperties, NewControlStartsAsPlaced) {
  UPB bar;
  EXPECT_EQ(bar.BlockSpace(), 1);
  EXPECT_EQ(bar.BlockSize(), 8);
  EXPECT_EQ(bar.ForeSpeed(), 8);
  EXPECT_EQ(bar.Delay(), 16);
  EXPECT_EQ(bar.Borders(), 6);
  EXPECT_TRUE(bar.Blocks());
  EXPECT_FALSE(bar.VerticalColors());
  EXPECT_EQ(bar.ForeColor(), 0x000080FFu);
  EXPECT_EQ(bar.FollowColor(), 0x00FFFFFFu);
  EXPECT_FALSE(bar.Enabled());
  EXPECT_FALSE(bar.TimerActive());
  EXPECT_EQ(bar.TimerInterval(), 16);
}

TEST(UPBProperties, BlockSpaceIsHeldBelowThePitch) {
  UPB bar;
  bar.resize(441, 17);
  for (auto [given, kept] : std::vector<std::pair<int, int>>{{0, 1}, {-5, 1}, {7, 7}, {8, 6}, {100, 6}, {3, 3}}) {
    bar.SetBlockSpace(static_cast<std::int16_t>(given));
    EXPECT_EQ(bar.BlockSpace(), kept) << "BlockSpace = " << given;
  }
}

TEST(UPBProperties, BlockSizeIsAtLeastFourAndAtMostAQuarterOfTheWidth) {
  UPB bar;
  bar.resize(441, 17);
  bar.SetBlockSize(3);
  EXPECT_EQ(bar.BlockSize(), 4);
  bar.SetBlockSize(200);
  EXPECT_EQ(bar.BlockSize(), 110);  // 441 / 4 = 110.25
  bar.SetBlockSize(110);
  EXPECT_EQ(bar.BlockSize(), 110);
  bar.resize(42, 17);
  bar.SetBlockSize(50);
  EXPECT_EQ(bar.BlockSize(), 10);  // 10.5 rounds to even
  bar.resize(46, 17);
  bar.SetBlockSize(50);
  EXPECT_EQ(bar.BlockSize(), 12);  // 11.5 rounds to even
}

TEST(UPBProperties, BlockSizeDragsTheGapDown) {
  UPB bar;
  bar.resize(441, 17);
  bar.SetBlockSize(8);
  bar.SetBlockSpace(6);
  bar.SetBlockSize(4);
  EXPECT_EQ(bar.BlockSpace(), 2);
  bar.SetBlockSize(8);
  bar.SetBlockSpace(6);
  bar.SetBlockSize(7);
  EXPECT_EQ(bar.BlockSpace(), 6);
}

TEST(UPBProperties, NarrowControlsKeepAUsablePitch) {
  UPB bar;
  for (int w : {15, 10, 1, 0}) {
    bar.resize(w, 17);
    bar.SetBlockSize(50);
    EXPECT_EQ(bar.BlockSize(), 4) << "width " << w;
    EXPECT_GE(bar.BlockSpace(), 1);
    EXPECT_LT(bar.BlockSpace(), bar.BlockSize());
  }
  // A one-pixel bar still animates and paints without looping forever.
  bar.resize(1, 17);
  bar.SetForeSpeed(1);
  for (int i = 0; i < 20; ++i) {
    bar.AnimateTick();
    EXPECT_FALSE(shot(bar).isNull());
  }
}

TEST(UPBProperties, SpeedAndDelayAreClampedAndDelayDrivesTheTimer) {
  UPB bar;
  for (auto [given, kept] : std::vector<std::pair<int, int>>{{0, 1}, {-3, 1}, {61, 60}, {60, 60}, {25, 25}}) {
    bar.SetForeSpeed(static_cast<std::int16_t>(given));
    EXPECT_EQ(bar.ForeSpeed(), kept);
    bar.SetDelay(static_cast<std::int16_t>(given));
    EXPECT_EQ(bar.Delay(), kept);
    EXPECT_EQ(bar.TimerInterval(), kept);
  }
}

TEST(UPBProperties, OnlyStoredDrawingPropertiesAnnounceChanges) {
  UPB bar;
  bar.resize(441, 17);
  QStringList changed;
  QObject::connect(&bar, &UPB::PropertyChanged, [&](const QString& name) { changed << name; });
  bar.SetBlockSpace(2);
  bar.SetBlockSize(9);
  bar.SetForeSpeed(9);
  bar.SetDelay(9);
  bar.SetEnabled(true);
  bar.SetEnabled(false);
  bar.Reset(7);
  EXPECT_TRUE(changed.isEmpty()) << changed.join(QLatin1Char(',')).toStdString();
  bar.SetBorders(2);
  bar.SetBlocks(false);
  bar.SetVerticalColors(true);
  bar.SetForeColor(1);
  bar.SetFollowColor(2);
  EXPECT_EQ(changed, (QStringList{"Borders", "Blocks", "VerticalColors", "ForeColor", "FollowColor"}));
}

struct Step {
  int lead, trail;
  bool returning, drew;
};

TEST(UPBAnimation, TickSequenceOverAHundredPixels) {
  UPB bar;
  bar.resize(100, 17);
  bar.SetForeSpeed(30);
  const std::vector<Step> steps = {
      {30, 0, false, true},    {60, 0, false, true},    {90, 0, false, true},    {120, 0, false, true},
      {120, 30, false, true},  {120, 60, false, true},  {120, 90, false, true},  {120, 120, false, true},
      {120, 120, true, false},                                                     // turn round, no drawing
      {120, 90, true, true},   {120, 60, true, true},   {120, 30, true, true},   {120, 0, true, true},
      {90, 0, true, true},     {60, 0, true, true},     {30, 0, true, true},     {0, 0, true, true},
      {0, 0, false, false},                                                        // turn round again
      {30, 0, false, true},    {60, 0, false, true},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    // Toggling Blocks makes any drawing step change the picture, while a
    // step that draws nothing leaves the last picture as it was.
    bar.SetBlocks(!bar.Blocks());
    const QImage before = shot(bar);
    bar.AnimateTick();
    EXPECT_EQ(bar.LeadPos(), steps[i].lead) << "tick " << i + 1;
    EXPECT_EQ(bar.TrailPos(), steps[i].trail) << "tick " << i + 1;
    EXPECT_EQ(bar.Returning(), steps[i].returning) << "tick " << i + 1;
    EXPECT_EQ(shot(bar) != before, steps[i].drew) << "tick " << i + 1;
  }
}

TEST(UPBAnimation, DisablingClearsAndEnablingContinues) {
  UPB bar;
  bar.resize(100, 17);
  bar.SetForeSpeed(30);
  bar.SetEnabled(true);
  EXPECT_TRUE(bar.TimerActive());
  for (int i = 0; i < 10; ++i) bar.AnimateTick();  // into the return pass
  ASSERT_TRUE(bar.Returning());
  const int lead = bar.LeadPos(), trail = bar.TrailPos();

  bar.SetEnabled(false);
  EXPECT_FALSE(bar.TimerActive());
  EXPECT_FALSE(bar.ShowsBand());
  const QImage cleared = shot(bar);
  const QColor face = bar.palette().color(QPalette::Button);
  for (int x = 2; x < 98; x += 7) EXPECT_EQ(cleared.pixelColor(x, 8).rgb(), face.rgb()) << "x " << x;
  EXPECT_EQ(bar.LeadPos(), lead);
  EXPECT_EQ(bar.TrailPos(), trail);

  bar.SetEnabled(true);
  EXPECT_TRUE(bar.Returning());
  bar.AnimateTick();
  EXPECT_EQ(bar.LeadPos(), lead);
  EXPECT_EQ(bar.TrailPos(), trail - 30);
}

TEST(UPBAnimation, SwitchingOnWhatIsOnChangesNothing) {
  UPB bar;
  bar.resize(441, 17);
  bar.SetForeSpeed(30);
  bar.show();
  bar.SetEnabled(true);
  for (int i = 0; i < 3; ++i) bar.AnimateTick();
  const QImage band = shot(bar);
  ASSERT_TRUE(bar.ShowsBand());

  // Ten quiet milliseconds into the sixteen, the timer keeps its phase.
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 10) {
  }
  bar.SetEnabled(true);
  EXPECT_TRUE(bar.TimerActive());
  EXPECT_LE(bar.TimerRemainingTime(), 7);
  EXPECT_TRUE(bar.ShowsBand());
  EXPECT_EQ(shot(bar), band);
  EXPECT_EQ(bar.LeadPos(), 90);

  // A real change still clears; switching off twice is as once.
  bar.SetEnabled(false);
  EXPECT_FALSE(bar.ShowsBand());
  bar.SetEnabled(false);
  EXPECT_FALSE(bar.TimerActive());
  EXPECT_EQ(bar.LeadPos(), 90);
}

TEST(UPBAnimation, ResetInTheReturnPassRestartsFromTheLeft) {
  UPB bar;
  bar.resize(100, 17);
  bar.SetForeSpeed(30);
  bar.SetEnabled(true);
  for (int i = 0; i < 11; ++i) bar.AnimateTick();
  ASSERT_TRUE(bar.Returning());
  bar.Reset(12345);
  EXPECT_EQ(bar.LeadPos(), 0);
  EXPECT_EQ(bar.TrailPos(), 0);
  EXPECT_TRUE(bar.Returning());
  EXPECT_FALSE(bar.ShowsBand());
  EXPECT_TRUE(bar.TimerActive());
  bar.AnimateTick();  // only turns round
  EXPECT_FALSE(bar.Returning());
  EXPECT_FALSE(bar.ShowsBand());
  bar.AnimateTick();
  EXPECT_EQ(bar.LeadPos(), 30);
  EXPECT_TRUE(bar.ShowsBand());
}

TEST(UPBAnimation, TheTimerDrivesTheBandWhileEnabled) {
  UPB bar;
  bar.resize(441, 17);
  bar.show();
  bar.SetEnabled(true);
  QElapsedTimer clock;
  clock.start();
  while (bar.LeadPos() == 0 && clock.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_GT(bar.LeadPos(), 0);
  bar.SetEnabled(false);
  const int stopped = bar.LeadPos();
  clock.restart();
  while (clock.elapsed() < 100) QApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(bar.LeadPos(), stopped);
}

TEST(UPBDrawing, HorizontalBandFadesFromLeadToTrailWithWhiteGaps) {
  UPB bar;
  bar.resize(200, 17);
  bar.SetForeSpeed(30);
  for (int i = 0; i < 3; ++i) bar.AnimateTick();  // band 0..90, orange at 90
  const QImage img = shot(bar);
  // Gaps of one pixel every eight, from the left edge up to the lead end.
  for (int g = 8; g <= 88; g += 8) EXPECT_TRUE(near(img.pixelColor(g, 8), 255, 255, 255, 0)) << "gap at " << g;
  // Orange (0x0080FF is red 255, green 128) at the lead end, white at x 0.
  EXPECT_TRUE(near(img.pixelColor(87, 8), 255, 132, 8, 10));
  EXPECT_TRUE(near(img.pixelColor(3, 8), 255, 251, 247, 10));
  EXPECT_TRUE(near(img.pixelColor(45, 8), 255, 191, 127, 10));
  // Past the lead end the control shows its face colour.
  EXPECT_EQ(img.pixelColor(150, 8).rgb(), bar.palette().color(QPalette::Button).rgb());
}

TEST(UPBDrawing, VerticalColoursRunTopToBottom) {
  UPB bar;
  bar.resize(200, 60);
  bar.SetForeSpeed(60);
  bar.SetBlocks(false);
  bar.SetBorders(0);
  bar.SetVerticalColors(true);
  bar.SetForeColor(0x000000FF);    // red
  bar.SetFollowColor(0x00FF0000);  // blue
  bar.AnimateTick();
  const QImage img = shot(bar);
  EXPECT_TRUE(near(img.pixelColor(30, 0), 255, 0, 0, 8));
  EXPECT_TRUE(near(img.pixelColor(30, 59), 0, 0, 255, 8));
  EXPECT_TRUE(near(img.pixelColor(5, 30), 128, 0, 128, 10));
}

TEST(UPBDrawing, ColoursUseTheirLowThreeBytesOnly) {
  UPB bar;
  bar.resize(200, 17);
  bar.SetForeSpeed(60);
  bar.SetBlocks(false);
  bar.SetForeColor(0x8000000F);
  bar.SetFollowColor(0x8000000F);
  bar.AnimateTick();
  EXPECT_TRUE(near(shot(bar).pixelColor(30, 8), 15, 0, 0, 0));
}

TEST(UPBDrawing, EtchedEdgeAndPlainEdge) {
  UPB bar;
  bar.resize(100, 17);
  bar.Reset();
  const QPalette pal = bar.palette();
  QImage img = shot(bar);
  EXPECT_EQ(img.pixelColor(0, 0).rgb(), pal.color(QPalette::Dark).rgb());      // outer sunken
  EXPECT_EQ(img.pixelColor(99, 16).rgb(), pal.color(QPalette::Light).rgb());
  EXPECT_EQ(img.pixelColor(1, 1).rgb(), pal.color(QPalette::Light).rgb());     // inner raised
  EXPECT_EQ(img.pixelColor(98, 15).rgb(), pal.color(QPalette::Dark).rgb());
  // A new edge style shows from the next clear on, not at once.
  bar.SetBorders(0);
  EXPECT_EQ(shot(bar).pixelColor(0, 0).rgb(), pal.color(QPalette::Dark).rgb());
  bar.resize(100, 18);
  img = shot(bar);
  EXPECT_EQ(img.pixelColor(0, 0).rgb(), pal.color(QPalette::Button).rgb());
}

TEST(UPBStore, FreshControlStoresOnlyWhatDiffersFromTheDefaults) {
  UPB bar;
  PropertyBag bag;
  bar.WriteProperties(bag);
  EXPECT_EQ(bag.ToText(), QStringLiteral("ForeColor = 33023\nFollowColor = 16777215\nBorders = 6\nForeSpeed = 8\n"));
}

TEST(UPBStore, HostValuesLoadWithLowerCaseNames) {
  UPB bar;
  bar.resize(441, 17);
  bar.ReadProperties(PropertyBag::FromText(hostStoredValues()));
  EXPECT_EQ(bar.ForeColor(), 0x000080FFu);
  EXPECT_EQ(bar.FollowColor(), 0x00FFFFFFu);
  EXPECT_EQ(bar.Borders(), 6);
  EXPECT_EQ(bar.ForeSpeed(), 30);
  EXPECT_EQ(bar.BlockSize(), 6);
  EXPECT_EQ(bar.BlockSpace(), 1);
  EXPECT_EQ(bar.Delay(), 16);
  EXPECT_TRUE(bar.Blocks());
  EXPECT_FALSE(bar.VerticalColors());
  EXPECT_FALSE(bar.TimerActive());
  EXPECT_FALSE(bar.Enabled());
}

TEST(UPBStore, MissingNamesTakeTheStoredDefaults) {
  UPB bar;
  bar.resize(441, 17);
  bar.ReadProperties(PropertyBag{});
  EXPECT_EQ(bar.ForeColor(), 0u);
  EXPECT_EQ(bar.FollowColor(), 0u);
  EXPECT_EQ(bar.Borders(), 0);
  EXPECT_EQ(bar.ForeSpeed(), 6);
  EXPECT_EQ(bar.BlockSize(), 8);
}

TEST(UPBStore, RoundTripThroughTheTextForm) {
  UPB bar;
  bar.resize(441, 17);
  bar.SetForeColor(0x00123456);
  bar.SetFollowColor(0);
  bar.SetVerticalColors(true);
  bar.SetBlocks(false);
  bar.SetBorders(9);
  bar.SetDelay(40);
  bar.SetForeSpeed(6);  // the default: not stored
  bar.SetBlockSize(20);
  bar.SetBlockSpace(5);
  PropertyBag bag;
  bar.WriteProperties(bag);
  EXPECT_FALSE(bag.Contains(QStringLiteral("forespeed")));
  EXPECT_FALSE(bag.Contains(QStringLiteral("FollowColor")));

  UPB copy;
  copy.resize(441, 17);
  copy.ReadProperties(PropertyBag::FromText(bag.ToText()));
  EXPECT_EQ(copy.ForeColor(), 0x00123456u);
  EXPECT_EQ(copy.FollowColor(), 0u);
  EXPECT_TRUE(copy.VerticalColors());
  EXPECT_FALSE(copy.Blocks());
  EXPECT_EQ(copy.Borders(), 9);
  EXPECT_EQ(copy.Delay(), 40);
  EXPECT_EQ(copy.TimerInterval(), 40);
  EXPECT_EQ(copy.ForeSpeed(), 6);
  EXPECT_EQ(copy.BlockSize(), 20);
  EXPECT_EQ(copy.BlockSpace(), 5);
}

TEST(UPBStore, LoadingGoesThroughTheSetters) {
  UPB bar;
  bar.resize(441, 17);
  bar.SetEnabled(true);
  bar.ReadProperties(PropertyBag::FromText(
      QStringLiteral("DELAY = 99\nForeSpeed = 0\nblocksize = 200\nBlockSpace = 500\nforecolor = -1\n")));
  EXPECT_EQ(bar.Delay(), 60);
  EXPECT_EQ(bar.TimerInterval(), 60);
  EXPECT_EQ(bar.ForeSpeed(), 1);
  EXPECT_EQ(bar.BlockSize(), 110);
  EXPECT_EQ(bar.BlockSpace(), 108);
  EXPECT_EQ(bar.ForeColor(), 0xFFFFFFFFu);
  EXPECT_TRUE(bar.TimerActive());  // loading neither starts nor stops the timer

  UPB small;
  small.resize(42, 17);
  small.ReadProperties(PropertyBag::FromText(QStringLiteral("BlockSize = 50\n")));
  EXPECT_EQ(small.BlockSize(), 10);
  EXPECT_FALSE(small.TimerActive());
}

TEST(UPBStore, TextFormRejectsMalformedLines) {
  EXPECT_THROW(PropertyBag::FromText(QStringLiteral("forecolor 12\n")), std::invalid_argument);
  EXPECT_THROW(PropertyBag::FromText(QStringLiteral("forecolor = orange\n")), std::invalid_argument);
  EXPECT_THROW(PropertyBag::FromText(QStringLiteral(" = 4\n")), std::invalid_argument);
  const PropertyBag bag = PropertyBag::FromText(QStringLiteral("' comment\n\nBlocks = false\nblocks = True\n"));
  ASSERT_EQ(bag.Entries().size(), 1u);
  EXPECT_TRUE(bag.ReadProperty(QStringLiteral("BLOCKS"), false).toBool());
}

TEST(XPStyleControl, SnapsBackToItsSize) {
  XPStyle style;
  for (QSize s : {QSize(100, 100), QSize(1, 1), QSize(54, 200)}) {
    style.resize(s);
    EXPECT_EQ(style.size(), QSize(54, 54));
  }
  EXPECT_FALSE(style.StyleName().isEmpty());
}

}  // namespace
}  // namespace varnolt::controls
