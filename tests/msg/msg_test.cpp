// Outlook item files through the library: what is read from real files,
// what survives writing and reading again, the layout written, changes
// written back in place, and files that must be refused.

#include <algorithm>

#include "mapi/cfb/reader.h"
#include "mapi/cfb/writer.h"
#include "mapi/msg/format.h"
#include "mapi/msg/msg_file.h"
#include "mapi/msg/named_map.h"
#include "mapi/tags.h"
#include "mapi/util/text.h"
#include "tests/msg/msg_fixtures.h"
#include "tests/support/test_support.h"

namespace m = varnolt::mapi;
namespace cfb = varnolt::mapi::cfb;
namespace msg = varnolt::mapi::msg;
namespace t = varnolt::test;
using varnolt::test::msgfix::everyTypeMessage;
using varnolt::test::msgfix::kPinnedTime;

namespace {

msg::WriteOptions pinned() {
  msg::WriteOptions o;
  o.fileTime = kPinnedTime;
  return o;
}

t::fs::path sample(const std::string& name) { return t::samplesDir() / "msg" / name; }

template <typename F>
m::Error errorOf(F&& f) {
  try {
    f();
  } catch (const m::Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error was raised";
  return m::Error(m::ErrorKind::InvalidArgument, "none");
}

const cfb::Entry& child(const cfb::Entry& e, const std::string& name) {
  const cfb::Entry* c = e.find(name);
  if (!c) throw std::runtime_error("no entry " + name + " in " + e.name);
  return *c;
}

m::ByteView propertyEntry(const m::Bytes& ps, std::size_t header, m::PropTag tag) {
  for (std::size_t off = header; off + 16 <= ps.size(); off += 16)
    if (m::ByteView(ps).u32(off) == tag) return m::ByteView(ps).sub(off, 16);
  throw std::runtime_error("no property stream entry for the tag");
}

}  // namespace

TEST(MsgSamples, ReadWhatOutlookWrote) {
  VARNOLT_REQUIRE_SAMPLES();
  // Facts about the sample files, also visible with olefile.
  m::Message kb = msg::readMessageFile(sample("knowledgebase-message3.msg"));
  EXPECT_EQ(kb.props.getString(0x0037), "Message with Attachments");
  ASSERT_EQ(kb.attachments.size(), 3u);
  EXPECT_EQ(kb.recipients.size(), 1u);
  EXPECT_EQ(kb.attachments[0].fileName(), "1.doc");
  ASSERT_NE(kb.attachments[0].dataBinary(), nullptr);
  EXPECT_EQ(kb.attachments[0].dataBinary()->size(), 22528u);
  ASSERT_TRUE(kb.attachments[2].embedded);
  EXPECT_EQ(kb.attachments[2].method(), m::kAttachEmbeddedMessage);
  EXPECT_FALSE(kb.attachments[2].props.has(m::tag::AttachDataObject));
  EXPECT_EQ(kb.attachments[2].embedded->props.getString(0x0037), "creating an outlook message file");
  EXPECT_EQ(kb.attachments[2].embedded->recipients.size(), 1u);

  // An OLE attachment: its storage as a compound-file image.
  m::Message ole = msg::readMessageFile(sample("email-msg-file-with-rtf-formatting.msg"));
  ASSERT_EQ(ole.attachments.size(), 1u);
  EXPECT_EQ(ole.attachments[0].method(), m::kAttachOle);
  EXPECT_FALSE(ole.attachments[0].embedded);
  const m::PropValue* object = ole.attachments[0].props.get(m::tag::AttachDataObject);
  ASSERT_NE(object, nullptr);
  cfb::Entry storage = cfb::readCompoundFile(object->data);
  EXPECT_EQ(storage.clsid, *m::Guid::parse("{0003000C-0000-0000-C000-000000000046}"));
  ASSERT_NE(storage.findStream("\x01Ole10Native"), nullptr);
  EXPECT_EQ(storage.findStream("\x01Ole10Native")->data.size(), 470u);

  // Multi-valued strings and a string-named property.
  m::Message task = msg::readMessageFile(sample("outlook-mapitask.msg"));
  const m::PropValue* companies = task.props.get(m::makeTag(0x8000, m::pt::Unicode | m::pt::MultiValued));
  ASSERT_NE(companies, nullptr);
  ASSERT_EQ(companies->values.size(), 3u);
  EXPECT_EQ(m::utf16leToUtf8(companies->values[2]), "company3");
  const m::NamedProperty* keywords = task.props.nameOf(0x8001);
  ASSERT_NE(keywords, nullptr);
  EXPECT_EQ(*keywords, m::NamedProperty::byName(m::psetid::PublicStrings, "Keywords"));
  EXPECT_EQ(*task.props.nameOf(0x8000), m::NamedProperty::byId(m::psetid::Common, 0x8539));

  // An ANSI item keeps its String8 values as they are.
  m::Message ansi = msg::readMessageFile(sample("outlook-msgwithatt.msg"));
  EXPECT_TRUE(ansi.props.has(m::makeTag(0x0037, m::pt::String8)));
  EXPECT_FALSE(ansi.props.has(m::makeTag(0x0037, m::pt::Unicode)));
}

TEST(MsgSamples, WritingAndReadingAgainKeepsEverything) {
  VARNOLT_REQUIRE_SAMPLES();
  auto files = t::sampleFiles("msg", ".msg");
  ASSERT_FALSE(files.empty());
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    m::Message original = msg::readMessageFile(path);
    m::Bytes written = msg::writeMessage(original, pinned());
    m::Message back = msg::readMessage(written);
    EXPECT_EQ(back, original);
    // String8 values stay String8.
    for (const auto& [tag, v] : original.props.all())
      if (m::propType(tag) == m::pt::String8) {
        EXPECT_TRUE(back.props.has(tag));
      }
    // Writing what was read back gives the very same file.
    EXPECT_EQ(msg::writeMessage(back, pinned()), written);
  }
}

TEST(MsgWriter, EveryPropertyTypeSurvives) {
  m::Message original = everyTypeMessage();
  m::Message back = msg::readMessage(msg::writeMessage(original, pinned()));
  EXPECT_EQ(back.props, original.props);
  EXPECT_EQ(back.recipients, original.recipients);
  ASSERT_EQ(back.attachments.size(), original.attachments.size());
  for (std::size_t i = 0; i < back.attachments.size(); ++i) EXPECT_EQ(back.attachments[i], original.attachments[i]) << i;
  EXPECT_EQ(back, original);
}

TEST(MsgWriter, WritesTheLayoutOutlookWrites) {
  m::Message message = everyTypeMessage();
  cfb::Entry root = cfb::readCompoundFile(msg::writeMessage(message, pinned()));
  EXPECT_EQ(root.clsid, *m::Guid::parse("{00020D0B-0000-0000-C000-000000000046}"));
  EXPECT_EQ(root.modifiedTime, kPinnedTime);

  // Top-level property stream: 32-byte header with the counts, 16-byte entries.
  const m::Bytes& ps = child(root, "__properties_version1.0").data;
  ASSERT_GE(ps.size(), 32u);
  EXPECT_EQ((ps.size() - 32) % 16, 0u);
  m::ByteView h(ps);
  EXPECT_EQ(h.u64(0), 0u);
  EXPECT_EQ(h.u32(8), message.recipients.size());   // next recipient id
  EXPECT_EQ(h.u32(12), message.attachments.size()); // next attachment id
  EXPECT_EQ(h.u32(16), message.recipients.size());
  EXPECT_EQ(h.u32(20), message.attachments.size());
  EXPECT_EQ((ps.size() - 32) / 16, message.props.size());

  m::ByteView subject = propertyEntry(ps, 32, m::tag::Subject);
  EXPECT_EQ(subject.u32(4), msg::kPropAttrReadable | msg::kPropAttrWritable);
  const m::Bytes& subjectStream = child(root, "__substg1.0_0037001F").data;
  EXPECT_EQ(subject.u32(8), subjectStream.size() + 2) << "string sizes count the terminator";
  EXPECT_EQ(m::utf16leToUtf8(subjectStream), *message.props.getString(0x0037));
  m::ByteView ansi = propertyEntry(ps, 32, m::makeTag(0x0E1D, m::pt::String8));
  EXPECT_EQ(ansi.u32(8), child(root, "__substg1.0_0E1D001E").data.size() + 1);
  m::ByteView flags = propertyEntry(ps, 32, m::tag::MessageFlags);
  EXPECT_EQ(flags.u32(8), 0x11u);
  EXPECT_EQ(flags.u32(12), 0u);

  // Multi-valued strings: a length stream and one stream per value, each
  // with its terminator.
  m::PropTag mv = m::makeTag(0x6810, m::pt::Unicode | m::pt::MultiValued);
  const m::Bytes& lengths = child(root, msg::substgName(mv)).data;
  ASSERT_EQ(lengths.size(), 12u);
  EXPECT_EQ(m::ByteView(lengths).u32(0), 6u);  // "ab" and its terminator in UTF-16
  EXPECT_EQ(child(root, msg::substgElementName(mv, 0)).data, (m::Bytes{'a', 0, 'b', 0, 0, 0}));
  EXPECT_EQ(propertyEntry(ps, 32, mv).u32(8), 12u);
  m::PropTag mvBin = m::makeTag(0x6811, m::pt::Binary | m::pt::MultiValued);
  EXPECT_EQ(child(root, msg::substgName(mvBin)).data.size(), 16u) << "binary lengths take 8 bytes each";
  m::PropTag mvLong = m::makeTag(0x6812, m::pt::Int32 | m::pt::MultiValued);
  EXPECT_EQ(child(root, msg::substgName(mvLong)).data, (m::Bytes{1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));

  // Recipients and attachments in numbered storages with 8-byte headers.
  const cfb::Entry& recip = child(root, "__recip_version1.0_#00000001");
  EXPECT_EQ((child(recip, "__properties_version1.0").data.size() - 8) % 16, 0u);
  const cfb::Entry& embeddedAtt = child(root, "__attach_version1.0_#00000001");
  m::ByteView objEntry = propertyEntry(child(embeddedAtt, "__properties_version1.0").data, 8, m::tag::AttachDataObject);
  EXPECT_EQ(objEntry.u32(8), 0xFFFFFFFFu);
  EXPECT_EQ(objEntry.u32(12), msg::kObjectEmbeddedMessage);
  const cfb::Entry& inner = child(embeddedAtt, "__substg1.0_3701000D");
  ASSERT_TRUE(inner.isStorage());
  const m::Bytes& innerPs = child(inner, "__properties_version1.0").data;
  EXPECT_EQ((innerPs.size() - 24) % 16, 0u) << "embedded messages have a 24-byte header";
  EXPECT_EQ(m::ByteView(innerPs).u32(16), message.attachments[1].embedded->recipients.size());
  EXPECT_EQ(inner.find("__nameid_version1.0"), nullptr) << "one name map serves the whole file";
  EXPECT_EQ(inner.creationTime, kPinnedTime);

  const cfb::Entry& oleAtt = child(root, "__attach_version1.0_#00000002");
  m::ByteView oleEntry = propertyEntry(child(oleAtt, "__properties_version1.0").data, 8, m::tag::AttachDataObject);
  EXPECT_EQ(oleEntry.u32(8), 0xFFFFFFFFu);
  EXPECT_EQ(oleEntry.u32(12), msg::kObjectStorage);
  const cfb::Entry& oleStorage = child(oleAtt, "__substg1.0_3701000D");
  EXPECT_EQ(oleStorage.clsid, *m::Guid::parse("{0003000C-0000-0000-C000-000000000046}"));
  EXPECT_NE(oleStorage.findStream("\x01Ole10Native"), nullptr);

  // The name map: PS_MAPI and PS_PUBLIC_STRINGS by index, other sets in
  // the GUID stream, string names in the string stream.
  const cfb::Entry& names = child(root, "__nameid_version1.0");
  const m::Bytes& guids = child(names, "__substg1.0_00020102").data;
  EXPECT_EQ(guids.size() % 16, 0u);
  for (std::size_t off = 0; off < guids.size(); off += 16) {
    m::Guid g = m::Guid::fromBytes(m::ByteView(guids).sub(off, 16));
    EXPECT_NE(g, m::psetid::Mapi);
    EXPECT_NE(g, m::psetid::PublicStrings);
  }
  const m::Bytes& strings = child(names, "__substg1.0_00040102").data;
  EXPECT_EQ(strings.size() % 4, 0u);
  // "Keywords" in PS_PUBLIC_STRINGS hashes into stream 0x1015 in Outlook's
  // own outlook-mapitask.msg (CRC 0x2EDA4D3B); ours must agree.
  EXPECT_EQ(msg::nameCrc32(m::utf8ToUtf16le("Keywords")), 0x2EDA4D3Bu);
  const cfb::Entry* bucket = names.findStream("__substg1.0_10150102");
  ASSERT_NE(bucket, nullptr);
  bool found = false;
  for (std::size_t off = 0; off + 8 <= bucket->data.size(); off += 8)
    found = found || m::ByteView(bucket->data).u32(off) == 0x2EDA4D3Bu;
  EXPECT_TRUE(found);
}

TEST(MsgNamedProperties, KeepTheirNamesWhenIdsCollide) {
  auto nameA = m::NamedProperty::byId(m::psetid::Common, 0x8501);
  auto nameB = m::NamedProperty::byName(m::psetid::PublicStrings, "Colour");
  auto nameC = m::NamedProperty::byId(*m::Guid::parse("{11111111-2222-3333-4444-555555555555}"), 7);
  m::Message msgIn;
  msgIn.props.set(m::tag::Subject, m::PropValue::unicode("ids"));
  msgIn.props.setName(0x8000, nameA);
  msgIn.props.set(m::makeTag(0x8000, m::pt::Int32), m::PropValue::int32(1));
  // A recipient holding a named id with no name: kept as it is.
  m::PropertyBag recip;
  recip.set(m::makeTag(0x8001, m::pt::Int32), m::PropValue::int32(2));
  msgIn.recipients.push_back(recip);
  // An attachment using 0x8000 and 0x8001 for other names, one bag giving
  // one name two ids.
  m::Attachment att;
  att.props.setName(0x8000, nameB);
  att.props.set(m::makeTag(0x8000, m::pt::Unicode), m::PropValue::unicode("blue"));
  att.props.setName(0x8001, nameC);
  att.props.set(m::makeTag(0x8001, m::pt::Int32), m::PropValue::int32(3));
  att.props.setName(0x8005, nameC);
  att.props.set(m::makeTag(0x8005, m::pt::Int32), m::PropValue::int32(4));
  // An embedded message using another (free) id for nameA, and one using
  // the id the attachment gave nameB.
  att.embedded = std::make_unique<m::Message>();
  att.embedded->props.setName(0x8009, nameA);
  att.embedded->props.set(m::makeTag(0x8009, m::pt::Int32), m::PropValue::int32(5));
  m::Attachment second;
  second.embedded = std::make_unique<m::Message>();
  second.embedded->props.setName(0x8000, nameC);
  second.embedded->props.set(m::makeTag(0x8000, m::pt::Int32), m::PropValue::int32(6));
  msgIn.attachments.push_back(std::move(att));
  msgIn.attachments.push_back(std::move(second));

  m::Message back = msg::readMessage(msg::writeMessage(msgIn, pinned()));
  EXPECT_EQ(back.props, msgIn.props) << "the first user of an id keeps it";
  EXPECT_EQ(back.recipients[0], recip);
  const m::PropertyBag& a = back.attachments[0].props;
  ASSERT_NE(a.getNamed(nameB, m::pt::Unicode), nullptr);
  EXPECT_EQ(a.getNamed(nameB, m::pt::Unicode)->asString(), "blue");
  auto idB = a.idOf(nameB);
  ASSERT_TRUE(idB);
  EXPECT_NE(*idB, 0x8000);
  EXPECT_NE(*idB, 0x8001);
  std::vector<std::int32_t> cValues;
  for (const auto& [tag, v] : a.all())
    if (a.nameOf(m::propId(tag)) && *a.nameOf(m::propId(tag)) == nameC) cValues.push_back(*v.asInt32());
  std::sort(cValues.begin(), cValues.end());
  EXPECT_EQ(cValues, (std::vector<std::int32_t>{3, 4}));
  ASSERT_TRUE(back.attachments[0].embedded);
  EXPECT_EQ(back.attachments[0].embedded->props.getNamed(nameA, m::pt::Int32)->asInt32(), 5);
  EXPECT_TRUE(*back.attachments[0].embedded == *msgIn.attachments[0].embedded) << "a free id stays";
  const m::PropertyBag& e2 = back.attachments[1].embedded->props;
  ASSERT_NE(e2.getNamed(nameC, m::pt::Int32), nullptr);
  EXPECT_EQ(e2.getNamed(nameC, m::pt::Int32)->asInt32(), 6);
  EXPECT_NE(e2.idOf(nameC), 0x8000);

  // What was read back is written and read again unchanged, names shared
  // by several ids included.
  EXPECT_EQ(msg::readMessage(msg::writeMessage(back, pinned())), back);
}

TEST(MsgFiles, ChangesAreWrittenBackToTheSameFile) {
  VARNOLT_REQUIRE_SAMPLES();
  t::TempDir dir;
  auto path = dir / "item.msg";
  t::fs::copy_file(sample("outlook-outputattachments.msg"), path);
  t::fs::permissions(path, t::fs::perms::owner_read | t::fs::perms::owner_write);
  m::Message before = msg::readMessageFile(path);
  ASSERT_EQ(before.attachments.size(), 5u);

  m::Message changed = before;
  changed.props.set(m::tag::Subject, m::PropValue::unicode("Changed ✓"));
  changed.props.removeId(0x0E1D);
  changed.props.removeId(0x1009);  // the RTF body no longer matches
  changed.props.set(m::tag::Body, m::PropValue::unicode("New body\r\nwith a link file:///tmp/x.zip"));
  changed.props.set(m::makeTag(0x6800, m::pt::Int32), m::PropValue::int32(42));
  changed.attachments.erase(changed.attachments.begin() + 2);
  msg::writeMessageFile(path, changed);

  m::Message after = msg::readMessageFile(path);
  EXPECT_EQ(after, changed);
  EXPECT_EQ(after.props.getString(0x0037), "Changed ✓");
  EXPECT_FALSE(after.props.getById(0x0E1D));
  EXPECT_FALSE(after.props.getById(0x1009));
  ASSERT_EQ(after.attachments.size(), 4u);
  EXPECT_EQ(after.attachments[2], before.attachments[3]);
  EXPECT_EQ(after.recipients, before.recipients);
  EXPECT_EQ(std::distance(t::fs::directory_iterator(dir.path()), t::fs::directory_iterator()), 1)
      << "no temporary file is left behind";

  EXPECT_EQ(errorOf([&] { msg::writeMessageFile(dir / "no" / "such.msg", changed); }).kind(), m::ErrorKind::Io);
}

TEST(MsgFiles, EmbeddedMessagesNestToAnyReasonableDepth) {
  auto nest = [](int depth) {
    m::Message top;
    m::Message* cur = &top;
    for (int i = 0; i < depth; ++i) {
      cur->props.set(m::tag::Subject, m::PropValue::unicode("level " + std::to_string(i)));
      m::Attachment a;
      a.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachEmbeddedMessage));
      a.embedded = std::make_unique<m::Message>();
      cur->attachments.push_back(std::move(a));
      cur = cur->attachments.back().embedded.get();
    }
    return top;
  };
  m::Message deep = nest(100);
  EXPECT_EQ(msg::readMessage(msg::writeMessage(deep, pinned())), deep);
  // Past what the reader accepts: a clear refusal, not a crash.
  m::Bytes tooDeep = msg::writeMessage(nest(300), pinned());
  EXPECT_EQ(errorOf([&] { msg::readMessage(tooDeep); }).kind(), m::ErrorKind::Limit);
}

TEST(MsgReader, RefusesWhatIsNotAnItemFile) {
  EXPECT_EQ(errorOf([] { msg::readMessage(m::Bytes{}); }).kind(), m::ErrorKind::BadFormat);
  EXPECT_EQ(errorOf([] { msg::readMessage(m::Bytes(2000, 0x41)); }).kind(), m::ErrorKind::BadFormat);

  cfb::Entry word = cfb::Entry::root();
  word.add(cfb::Entry::stream("WordDocument", m::Bytes(100, 1)));
  m::Error e = errorOf([&] { msg::readMessage(cfb::writeCompoundFile(word)); });
  EXPECT_EQ(e.kind(), m::ErrorKind::BadFormat);
  EXPECT_NE(std::string(e.what()).find("no property stream"), std::string::npos) << e.what();

  cfb::Entry shortHeader = cfb::Entry::root();
  shortHeader.add(cfb::Entry::stream("__properties_version1.0", m::Bytes(20, 0)));
  EXPECT_EQ(errorOf([&] { msg::readMessage(cfb::writeCompoundFile(shortHeader)); }).kind(), m::ErrorKind::Corrupt);

  VARNOLT_REQUIRE_SAMPLES();
  m::Bytes file = t::readFile(sample("outlook-message2.msg"));
  file.resize(file.size() / 2);
  m::Error cut = errorOf([&] { msg::readMessage(file); });
  EXPECT_TRUE(cut.kind() == m::ErrorKind::Truncated || cut.kind() == m::ErrorKind::Corrupt) << cut.what();
}

TEST(MsgReader, ReadsValuesTheEntriesDoNotListAndSkipsBadNames) {
  // Some writers leave value streams out of the property stream, and name
  // maps can point outside their streams; neither costs the message.
  cfb::Entry root = cfb::Entry::root();
  m::Bytes ps(32, 0);
  for (std::uint32_t v : {0x80000003u, 6u, 7u, 0u, 0x80010003u, 6u, 8u, 0u, 0x80020003u, 6u, 9u, 0u}) m::putU32(ps, v);
  root.add(cfb::Entry::stream("__properties_version1.0", ps));
  root.add(cfb::Entry::stream("__substg1.0_0037001F", m::utf8ToUtf16le("unlisted")));
  cfb::Entry names = cfb::Entry::storage("__nameid_version1.0");
  names.add(cfb::Entry::stream("__substg1.0_00020102", {}));
  m::Bytes entries;
  for (std::uint32_t v : {0x8501u, 0x00000002u,    // 0x8000: PS_MAPI id 0x8501
                          0x9999u, 0x00010000u | (40u << 1),  // 0x8001: GUID index past the stream
                          0x1000u, 0x00020005u}) {  // 0x8002: string past the string stream
    m::putU32(entries, v);
  }
  names.add(cfb::Entry::stream("__substg1.0_00030102", entries));
  names.add(cfb::Entry::stream("__substg1.0_00040102", {}));
  root.add(std::move(names));

  m::Message got = msg::readMessage(cfb::writeCompoundFile(root));
  EXPECT_EQ(got.props.getString(0x0037), "unlisted");
  EXPECT_EQ(got.props.getInt32(m::makeTag(0x8000, m::pt::Int32)), 7);
  EXPECT_EQ(got.props.getInt32(m::makeTag(0x8001, m::pt::Int32)), 8);
  EXPECT_EQ(got.props.getInt32(m::makeTag(0x8002, m::pt::Int32)), 9);
  ASSERT_NE(got.props.nameOf(0x8000), nullptr);
  EXPECT_EQ(*got.props.nameOf(0x8000), m::NamedProperty::byId(m::psetid::Mapi, 0x8501));
  EXPECT_EQ(got.props.nameOf(0x8001), nullptr);
  EXPECT_EQ(got.props.nameOf(0x8002), nullptr);
}
