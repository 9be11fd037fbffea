// The filters' decisions on their own: dates as --before reads them, and
// which references in a body show an attachment in place.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "engine/attachment_filter.h"
#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

using engine::AttachmentFacts;
using engine::ParseIsoDate;

TEST(AttachmentFilter, IsoDatesWithAndWithoutOffsets) {
  constexpr std::int64_t k2021 = 1609459200;  // 2021-01-01T00:00:00Z
  EXPECT_EQ(ParseIsoDate("2021-01-01T00:00Z"), k2021);
  EXPECT_EQ(ParseIsoDate("2021-01-01 02:30:15+02:30"), k2021 + 15);
  EXPECT_EQ(ParseIsoDate("2020-12-31T19:00-05:00"), k2021);
  EXPECT_EQ(ParseIsoDate("2020-02-29T00:00:00Z"), 1582934400);
  EXPECT_EQ(ParseIsoDate("1969-12-31T23:59:59Z"), -1);

  // Without an offset the date is the machine's local time.
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setTimeZone("UTC-3");  // three hours east of UTC
  EXPECT_EQ(ParseIsoDate("2021-01-01"), k2021 - 3 * 3600);
  setTimeZone(old ? saved.c_str() : nullptr);

  for (const char* bad : {"", "2021", "2021-1-01", "2021-02-29", "2021-04-31", "2021-00-10", "2021-01-01T24:00",
                          "2021-01-01T10", "2021-01-01T10:00+25:00", "2021-01-01x", "01/01/2021", "2021-01-01T10:61"})
    EXPECT_FALSE(ParseIsoDate(bad).has_value()) << bad;
}

TEST(AttachmentFilter, InlineReferencesMatchWholeIdsAndLocations) {
  AttachmentFacts logo;
  logo.contentId = "<Logo@Example>";
  EXPECT_TRUE(engine::ShownInBody(logo, "<img src=\"CID:logo@example\">"));
  EXPECT_TRUE(engine::ShownInBody(logo, "background: url(cid:logo@example)"));
  EXPECT_TRUE(engine::ShownInBody(logo, "<img src='cid:logo@example'>"));
  EXPECT_FALSE(engine::ShownInBody(logo, "<img src=\"cid:logo@example.com\">"));
  EXPECT_FALSE(engine::ShownInBody(logo, "logo@example without the scheme"));

  AttachmentFacts placed;
  placed.contentLocation = "images/chart.png";
  EXPECT_TRUE(engine::ShownInBody(placed, "<img src=\"IMAGES/chart.png\">"));
  EXPECT_FALSE(engine::ShownInBody(placed, "<img src=\"chart.png\">"));

  // No id and no location: nothing in any body refers to it.
  EXPECT_FALSE(engine::ShownInBody(AttachmentFacts{}, "<img src=\"cid:\">"));
}

TEST(AttachmentFilter, UnknownFactsKeepTheAttachment) {
  engine::AttachmentFilter bySize;
  bySize.minSize = 100;
  EXPECT_TRUE(engine::AttachmentKeptByFilter(bySize, std::nullopt, std::nullopt).has_value());
  AttachmentFacts big;
  big.size = 100;
  EXPECT_FALSE(engine::AttachmentKeptByFilter(bySize, big, std::nullopt).has_value());

  engine::AttachmentFilter byDate;
  byDate.before = 1000;
  EXPECT_TRUE(engine::MessageKeptByFilter(byDate, std::nullopt).has_value());
  EXPECT_TRUE(engine::MessageKeptByFilter(byDate, engine::MessageFacts{}).has_value());
  engine::MessageFacts dated;
  dated.deliveryTime = 999;
  dated.lastModification = 5000;
  EXPECT_FALSE(engine::MessageKeptByFilter(byDate, dated).has_value());
  dated.draft = true;  // a draft goes by its last change
  EXPECT_TRUE(engine::MessageKeptByFilter(byDate, dated).has_value());
  EXPECT_FALSE(engine::MessageKeptByFilter(engine::AttachmentFilter{}, std::nullopt).has_value());
}

}  // namespace
}  // namespace varnolt::test
