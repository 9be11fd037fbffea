#pragma once
// A message holding every property type, recipients, an attachment of each
// kind (by value, embedded message, OLE storage, by reference) and named
// properties of each kind, for the .msg tests.

#include <cstring>

#include "mapi/cfb/entry.h"
#include "mapi/cfb/writer.h"
#include "mapi/message.h"
#include "mapi/tags.h"

namespace varnolt::test::msgfix {

namespace m = varnolt::mapi;

inline constexpr std::uint64_t kPinnedTime = 0x01D9A2B3C4D5E6F7;

inline m::Bytes bytesOf(std::size_t size, std::uint8_t seed) {
  m::Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

inline m::Bytes le(std::uint64_t v, std::size_t size) {
  m::Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return b;
}

inline m::PropValue multi(m::PropType base, std::vector<m::Bytes> values) {
  m::PropValue v;
  v.type = static_cast<m::PropType>(base | m::pt::MultiValued);
  v.values = std::move(values);
  return v;
}

inline m::PropValue raw(m::PropType type, m::Bytes data) {
  m::PropValue v;
  v.type = type;
  v.data = std::move(data);
  return v;
}

inline m::Bytes oleImage() {
  m::cfb::Entry storage = m::cfb::Entry::storage("ole");
  storage.clsid = *m::Guid::parse("{0003000C-0000-0000-C000-000000000046}");
  storage.add(m::cfb::Entry::stream("\x01Ole10Native", bytesOf(470, 3)));
  storage.add(m::cfb::Entry::stream("\x01CompObj", bytesOf(76, 4)));
  storage.add(m::cfb::Entry::stream("\x03ObjInfo", bytesOf(6, 5)));
  return m::cfb::writeCompoundFile(storage);
}

inline m::Message everyTypeMessage() {
  using m::makeTag;
  namespace pt = m::pt;
  const m::Guid custom = *m::Guid::parse("{A1B2C3D4-0001-0002-0304-050607080910}");
  m::Message msg;
  auto& p = msg.props;
  p.set(m::tag::MessageClass, m::PropValue::unicode("IPM.Note"));
  p.set(m::tag::Subject, m::PropValue::unicode("Every type ✓ 日本"));
  p.set(makeTag(0x0E1D, pt::String8), m::PropValue::string8("Every type"));
  p.set(m::tag::MessageFlags, m::PropValue::int32(0x11));
  p.set(m::tag::Body, m::PropValue::unicode("Body text\r\nsecond line"));
  p.set(m::tag::Html, m::PropValue::binary(m::Bytes{'<', 'p', '>', 'h', 'i', '<', '/', 'p', '>'}));
  p.set(m::tag::RtfCompressed, m::PropValue::binary(bytesOf(300, 9)));
  p.set(makeTag(0x6801, pt::Int16), m::PropValue::int16(-3));
  float f = 1.5f;
  std::uint32_t fbits;
  std::memcpy(&fbits, &f, 4);
  p.set(makeTag(0x6802, pt::Float), raw(pt::Float, le(fbits, 4)));
  p.set(makeTag(0x6803, pt::Double), m::PropValue::floating(-2.25));
  p.set(makeTag(0x6804, pt::Currency), raw(pt::Currency, le(123456789, 8)));
  p.set(makeTag(0x6805, pt::AppTime), m::PropValue::floating(45000.5));
  p.set(makeTag(0x6806, pt::Error), raw(pt::Error, le(0x8004010F, 4)));
  p.set(makeTag(0x6807, pt::Boolean), m::PropValue::boolean(true));
  p.set(makeTag(0x6808, pt::Int64), m::PropValue::int64(-1234567890123));
  p.set(makeTag(0x6809, pt::SysTime), m::PropValue::sysTime(0x01D285DCC0B4F630));
  p.set(makeTag(0x680A, pt::Guid), m::PropValue::guid(custom));
  p.set(makeTag(0x680B, pt::Binary), m::PropValue::binary(bytesOf(33, 1)));
  p.set(makeTag(0x680C, pt::Binary), m::PropValue::binary(bytesOf(10000, 2)));
  p.set(makeTag(0x680D, pt::Binary), m::PropValue::binary({}));
  p.set(makeTag(0x680E, pt::Unicode), m::PropValue::unicode(""));
  p.set(makeTag(0x680F, pt::String8), m::PropValue::string8("Gr\xFC\xDF" "e"));
  p.set(makeTag(0x6810, pt::Unicode | pt::MultiValued), m::PropValue::multiUnicode({"ab", "", "c✓"}));
  p.set(makeTag(0x6811, pt::Binary | pt::MultiValued), multi(pt::Binary, {m::Bytes{1, 2, 3}, {}}));
  p.set(makeTag(0x6812, pt::Int32 | pt::MultiValued), multi(pt::Int32, {le(1, 4), le(0xFFFFFFFE, 4)}));
  p.set(makeTag(0x6813, pt::Int16 | pt::MultiValued), multi(pt::Int16, {le(7, 2)}));
  p.set(makeTag(0x6814, pt::Float | pt::MultiValued), multi(pt::Float, {le(fbits, 4), le(0, 4)}));
  p.set(makeTag(0x6815, pt::Double | pt::MultiValued), multi(pt::Double, {le(0x4000000000000000, 8)}));
  p.set(makeTag(0x6816, pt::Currency | pt::MultiValued), multi(pt::Currency, {le(5, 8), le(6, 8)}));
  p.set(makeTag(0x6817, pt::AppTime | pt::MultiValued), multi(pt::AppTime, {le(0x40E5F3E000000000, 8)}));
  p.set(makeTag(0x6818, pt::SysTime | pt::MultiValued), multi(pt::SysTime, {le(0x01D285DCC0B4F630, 8)}));
  p.set(makeTag(0x6819, pt::Guid | pt::MultiValued),
        multi(pt::Guid, {m::Bytes(custom.bytes.begin(), custom.bytes.end()), m::Bytes(16, 0xAB)}));
  p.set(makeTag(0x681A, pt::Int64 | pt::MultiValued), multi(pt::Int64, {le(1, 8), le(2, 8), le(3, 8)}));
  p.set(makeTag(0x681B, pt::String8 | pt::MultiValued), multi(pt::String8, {m::Bytes{'x'}, m::Bytes{'y', 'z'}}));
  p.set(makeTag(0x681C, pt::Unicode | pt::MultiValued), multi(pt::Unicode, {}));
  p.set(makeTag(0x681D, pt::ServerId), raw(pt::ServerId, bytesOf(21, 6)));
  p.set(makeTag(0x681E, pt::Null), raw(pt::Null, {}));
  p.set(makeTag(0x681F, 0x0033), raw(0x0033, bytesOf(5, 7)));  // a type nobody defines

  p.setNamed(m::NamedProperty::byId(m::psetid::Common, 0x8501), pt::Int32, m::PropValue::int32(15));
  p.setNamed(m::NamedProperty::byName(m::psetid::PublicStrings, "Keywords"), pt::Unicode | pt::MultiValued,
             m::PropValue::multiUnicode({"red", "green"}));
  p.setNamed(m::NamedProperty::byName(m::psetid::InternetHeaders, "x-mailer"), pt::Unicode,
             m::PropValue::unicode("Varnolt"));
  p.setNamed(m::NamedProperty::byId(custom, 0x0007), pt::Boolean, m::PropValue::boolean(false));
  p.setNamed(m::NamedProperty::byId(m::psetid::Mapi, 0x0E1F), pt::Boolean, m::PropValue::boolean(true));
  p.setNamed(m::NamedProperty::byName(custom, "Ünïcødé name"), pt::Binary, m::PropValue::binary({9, 9}));

  for (int i = 0; i < 2; ++i) {
    m::PropertyBag r;
    r.set(m::tag::DisplayName, m::PropValue::unicode(i ? "Zoë Example" : "Ann Example"));
    r.set(m::tag::EmailAddress, m::PropValue::unicode(i ? "zoe@example.org" : "ann@example.org"));
    r.set(m::tag::AddressType, m::PropValue::string8("SMTP"));
    r.set(m::tag::RecipientType, m::PropValue::int32(i + 1));
    r.set(m::tag::RowId, m::PropValue::int32(i));
    r.setName(0x8000, m::NamedProperty::byId(m::psetid::Common, 0x8501));
    r.set(makeTag(0x8000, pt::Int32), m::PropValue::int32(100 + i));
    msg.recipients.push_back(std::move(r));
  }

  m::Attachment byValue;
  byValue.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachByValue));
  byValue.props.set(m::tag::AttachLongFilename, m::PropValue::unicode("report ✓.pdf"));
  byValue.props.set(m::tag::AttachFilename, m::PropValue::unicode("REPORT~1.PDF"));
  byValue.props.set(m::tag::AttachMimeTag, m::PropValue::unicode("application/pdf"));
  byValue.props.set(m::tag::AttachDataBinary, m::PropValue::binary(bytesOf(5000, 11)));
  byValue.props.set(m::tag::AttachNumber, m::PropValue::int32(0));
  msg.attachments.push_back(std::move(byValue));

  m::Attachment embedded;
  embedded.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachEmbeddedMessage));
  embedded.props.set(m::tag::DisplayName, m::PropValue::unicode("Forwarded"));
  embedded.embedded = std::make_unique<m::Message>();
  {
    m::Message& inner = *embedded.embedded;
    inner.props.set(m::tag::MessageClass, m::PropValue::unicode("IPM.Note"));
    inner.props.set(m::tag::Subject, m::PropValue::unicode("Inner subject"));
    inner.props.set(m::tag::Body, m::PropValue::unicode("Inner body"));
    inner.props.setName(0x8000, m::NamedProperty::byId(m::psetid::Common, 0x8501));
    inner.props.set(makeTag(0x8000, pt::Int32), m::PropValue::int32(77));
    m::PropertyBag r;
    r.set(m::tag::DisplayName, m::PropValue::unicode("Inner recipient"));
    inner.recipients.push_back(std::move(r));
    m::Attachment innerAtt;
    innerAtt.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachByValue));
    innerAtt.props.set(m::tag::AttachLongFilename, m::PropValue::unicode("inner.txt"));
    innerAtt.props.set(m::tag::AttachDataBinary, m::PropValue::binary(bytesOf(20, 12)));
    inner.attachments.push_back(std::move(innerAtt));
  }
  msg.attachments.push_back(std::move(embedded));

  m::Attachment ole;
  ole.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachOle));
  ole.props.set(m::tag::DisplayName, m::PropValue::unicode("Package"));
  ole.props.set(m::tag::AttachDataObject, raw(pt::Object, oleImage()));
  ole.props.set(m::tag::AttachRendering, m::PropValue::binary(bytesOf(200, 13)));
  msg.attachments.push_back(std::move(ole));

  m::Attachment reference;
  reference.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachByReference));
  reference.props.set(m::tag::AttachLongPathname, m::PropValue::unicode("/srv/share/plan.xlsx"));
  msg.attachments.push_back(std::move(reference));
  return msg;
}

}  // namespace varnolt::test::msgfix
