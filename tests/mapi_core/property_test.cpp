#include <gtest/gtest.h>

#include "mapi/message.h"
#include "mapi/tags.h"

namespace m = varnolt::mapi;

TEST(Guid, ParsesAndPrintsInFileByteOrder) {
  auto g = m::Guid::parse("{00020329-0000-0000-C000-000000000046}");
  ASSERT_TRUE(g);
  EXPECT_EQ(g->bytes[0], 0x29);
  EXPECT_EQ(g->bytes[1], 0x03);
  EXPECT_EQ(g->bytes[2], 0x02);
  EXPECT_EQ(g->bytes[8], 0xC0);
  EXPECT_EQ(g->toString(), "{00020329-0000-0000-C000-000000000046}");
  EXPECT_FALSE(m::Guid::parse("{00020329-0000-0000-C000}"));
  EXPECT_FALSE(m::Guid::parse("{0002032Z-0000-0000-C000-000000000046}"));
}

TEST(PropertyBag, TypedValuesAndStringForms) {
  m::PropertyBag bag;
  bag.set(m::tag::Subject, m::PropValue::unicode("Hello ✓"));
  bag.set(m::tag::MessageFlags, m::PropValue::int32(-5));
  bag.set(m::tag::HasAttachments, m::PropValue::boolean(true));
  EXPECT_EQ(bag.getString(m::propId(m::tag::Subject)), "Hello ✓");
  EXPECT_EQ(bag.getInt32(m::tag::MessageFlags), -5);
  EXPECT_EQ(bag.getBool(m::tag::HasAttachments), true);
  // A type mismatch is absent, not a wrong value.
  EXPECT_FALSE(bag.getInt32(m::tag::Subject));

  // String8 decodes through the bag's code page.
  m::PropertyBag ansi;
  ansi.set(m::makeTag(0x0037, m::pt::String8), m::PropValue::string8("\xC4"));
  EXPECT_EQ(ansi.getString(0x0037), "Ä");
  ansi.set(m::tag::MessageCodepage, m::PropValue::int32(1251));
  EXPECT_EQ(ansi.getString(0x0037), "Д");
}

TEST(PropertyBag, NamedPropertiesKeepTheirNamesAndGetFreeIds) {
  m::PropertyBag bag;
  auto a = m::NamedProperty::byId(m::psetid::Common, 0x8501);
  auto b = m::NamedProperty::byName(m::psetid::PublicStrings, "Keywords");
  m::PropTag ta = bag.setNamed(a, m::pt::Int32, m::PropValue::int32(15));
  m::PropTag tb = bag.setNamed(b, m::pt::Unicode | m::pt::MultiValued, m::PropValue::multiUnicode({"x", "y"}));
  EXPECT_NE(m::propId(ta), m::propId(tb));
  EXPECT_GE(m::propId(ta), 0x8000);
  EXPECT_EQ(*bag.nameOf(m::propId(tb)), b);
  ASSERT_NE(bag.getNamed(a, m::pt::Int32), nullptr);
  EXPECT_EQ(bag.getNamed(a, m::pt::Int32)->asInt32(), 15);
  // Setting the same name again reuses its id.
  EXPECT_EQ(bag.setNamed(a, m::pt::Int32, m::PropValue::int32(16)), ta);
  EXPECT_EQ(bag.size(), 2u);
}

TEST(Message, CopiesEmbeddedMessagesDeeply) {
  m::Message outer;
  m::Attachment att;
  att.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachEmbeddedMessage));
  att.embedded = std::make_unique<m::Message>();
  att.embedded->props.set(m::tag::Subject, m::PropValue::unicode("inner"));
  outer.attachments.push_back(att);
  m::Message copy = outer;
  EXPECT_EQ(copy, outer);
  copy.attachments[0].embedded->props.set(m::tag::Subject, m::PropValue::unicode("changed"));
  EXPECT_EQ(outer.attachments[0].embedded->props.getString(0x0037), "inner");
  EXPECT_FALSE(copy == outer);
}
