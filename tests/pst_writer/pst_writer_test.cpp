// The PST writer read back by our own reader and held to the checker: the
// nodes of a new file, folders with tables and counts in step, every
// property type, recipients, attachments of every size, embedded and OLE
// attachments, named properties, large tables and deep B-trees, removal,
// and what a writer leaves behind when it is not closed.

#include <functional>
#include <set>

#include "mapi/error.h"
#include "mapi/pst/ndb/layout.h"
#include "mapi/pst/ltp/table_context.h"
#include "mapi/util/text.h"
#include "tests/pst_writer/writer_fixtures.h"

namespace varnolt::test::pstw {
namespace {

using m::PropValue;
using m::tag::Subject;

TEST(PstWriter, NewFileHoldsEveryNodeOutlookPutsInOne) {
  TempDir dir;
  fs::path file = dir / "new.pst";
  {
    auto w = p::Writer::create(file, "Archive 2024");
    w->close();
  }
  EXPECT_EQ(findings(file), "");
  auto s = p::Store::open(file);
  EXPECT_EQ(s->layout(), p::FileLayout::Unicode);
  EXPECT_EQ(s->header().version, p::kVersionUnicode);
  EXPECT_EQ(s->header().crypt, p::CryptMethod::Permute);
  // Outlook keeps files in whole allocation-map sections.
  EXPECT_EQ((fs::file_size(file) - 0x4400) % (496 * 8 * 64), 0u);
  for (p::NodeId nid : {p::nid::MessageStore, p::nid::NameToIdMap, p::nid::RootFolder, p::NodeId{0x12D},
                        p::NodeId{0x12E}, p::NodeId{0x12F}, p::nid::SearchManagementQueue, p::nid::SearchActivityList,
                        p::NodeId{0x261}, p::NodeId{0x64C}, p::nid::HierarchyTableTemplate,
                        p::nid::ContentsTableTemplate, p::nid::AssocContentsTableTemplate,
                        p::nid::SearchContentsTableTemplate, p::nid::AttachmentTableTemplate,
                        p::nid::RecipientTableTemplate, p::NodeId{0x6B6}, p::NodeId{0x6D7}, p::NodeId{0x6F8},
                        p::NodeId{0xC01}, p::NodeId{0x2223}, p::NodeId{0x2226}, p::NodeId{0x2227}}) {
    EXPECT_TRUE(s->database().findNode(nid)) << std::hex << nid;
  }
  m::PropertyBag store = s->storeProperties();
  EXPECT_EQ(store.getString(0x3001), "Archive 2024");
  const m::Bytes* key = store.getBinary(m::tag::RecordKey);
  ASSERT_TRUE(key);
  ASSERT_EQ(key->size(), 16u);
  // Each special folder's entry id carries the store's key and names the folder.
  std::map<m::PropTag, std::string> special{{m::tag::IpmSubtreeEntryId, "Top of Personal Folders"},
                                            {m::tag::IpmWastebasketEntryId, "Deleted Items"},
                                            {m::tag::FinderEntryId, "Search Root"}};
  for (const auto& [tag, name] : special) {
    const m::Bytes* id = store.getBinary(tag);
    ASSERT_TRUE(id && id->size() == 24);
    EXPECT_TRUE(std::equal(key->begin(), key->end(), id->begin() + 4));
    EXPECT_EQ(s->folder(m::ByteView(*id).u32(20)).displayName(), name);
  }
  p::Folder root = s->rootFolder();
  std::vector<std::string> names;
  for (p::NodeId id : root.subfolderIds()) names.push_back(s->folder(id).displayName());
  EXPECT_EQ(names, (std::vector<std::string>{"Top of Personal Folders", "Search Root", "SPAM Search Folder 2"}));
  EXPECT_TRUE(childNamed(*s, *s->ipmSubtree(), "Deleted Items"));
}

TEST(PstWriter, NodesOutlookAddsToEveryFileAreAsOutlookWritesThem) {
  VARNOLT_REQUIRE_SAMPLES();
  TempDir dir;
  fs::path file = dir / "new.pst";
  p::Writer::create(file, "New")->close();
  auto ours = p::Store::open(file);
  auto outlook = p::Store::open(samplesDir() / "pst" / "unicode-one-attachment.pst");
  // The outgoing queue table, three more empty tables and the empty map
  // 0xC01, byte for byte (the fill levels included).
  for (p::NodeId nid : {0x64Cu, 0x6B6u, 0x6D7u, 0x6F8u, 0xC01u}) {
    EXPECT_EQ(ours->database().node(nid).read(), outlook->database().node(nid).read()) << p::hexText(nid);
  }
  // The search domain lists the folders that search criteria name: none.
  auto domain = ours->database().findNode(0x261);
  ASSERT_TRUE(domain);
  EXPECT_EQ(domain->bidData, 0u);
  EXPECT_EQ(p::TableContext(ours->database().node(0x64C)).rowCount(), 0u);
}

TEST(PstWriter, FoldersTablesAndCountsStayInStepInAnyOrder) {
  TempDir dir;
  fs::path file = dir / "folders.pst";
  auto w = p::Writer::create(file, "Mail");
  auto inbox = w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note");
  w->addMessage(inbox, simpleMessage("one", true));
  auto projects = w->createFolder(inbox, "Projects", "IPF.Note");
  w->addMessage(inbox, simpleMessage("two", false));
  auto deep = w->createFolder(projects, "Deep");
  w->addMessage(deep, simpleMessage("three", false));
  w->addMessage(projects, simpleMessage("view", true), true);
  auto doomed = w->createFolder(w->ipmSubtree(), "Doomed");
  auto doomedChild = w->createFolder(doomed, "Child");
  w->addMessage(doomedChild, simpleMessage("gone", true));
  w->addMessage(inbox, simpleMessage("four", false));

  EXPECT_EQ(w->findSubfolder(inbox, "Projects"), projects);
  EXPECT_FALSE(w->findSubfolder(inbox, "Nothing"));
  EXPECT_EQ(w->folderProperties(inbox).getInt32(m::tag::ContentUnreadCount), 2);
  EXPECT_THROW(w->removeFolder(w->deletedItems()), m::Error);
  w->removeFolder(doomed);
  EXPECT_THROW(w->addMessage(doomed, simpleMessage("late")), m::Error);
  w->close();
  EXPECT_THROW(w->createFolder(w->ipmSubtree(), "After"), m::Error);

  EXPECT_EQ(findings(file), "");
  auto s = p::Store::open(file);
  p::Folder ipm = *s->ipmSubtree();
  EXPECT_FALSE(childNamed(*s, ipm, "Doomed"));
  p::Folder in = *childNamed(*s, ipm, "Inbox");
  EXPECT_EQ(in.containerClass(), "IPF.Note");
  EXPECT_EQ(in.properties().getInt32(m::tag::ContentCount), 3);
  EXPECT_EQ(in.properties().getInt32(m::tag::ContentUnreadCount), 2);
  EXPECT_EQ(in.properties().getBool(m::tag::Subfolders), true);
  std::vector<std::string> subjects;
  for (p::NodeId id : in.messageIds()) subjects.push_back(*s->readMessage(id).props.getString(0x0037));
  EXPECT_EQ(subjects, (std::vector<std::string>{"one", "two", "four"}));
  // The contents table row repeats what the message says of itself.
  auto table = in.contentsTable();
  ASSERT_TRUE(table);
  EXPECT_EQ(table->cell(1, Subject)->asString(), "two");
  EXPECT_EQ(table->cell(1, m::tag::MessageFlags)->asInt32(), 0);

  p::Folder proj = *childNamed(*s, in, "Projects");
  EXPECT_EQ(proj.messageIds().size(), 0u);
  ASSERT_EQ(proj.associatedMessageIds().size(), 1u);
  EXPECT_EQ(s->readMessage(proj.associatedMessageIds()[0]).props.getString(0x0037), "view");
  // The parent's hierarchy row holds the child's counts.
  auto rows = in.hierarchyTable();
  ASSERT_TRUE(rows && rows->rowCount() == 1);
  EXPECT_EQ(rows->rowId(0), proj.id());
  EXPECT_EQ(rows->cell(0, m::tag::Subfolders)->asBool(), true);
  p::Folder d = *childNamed(*s, proj, "Deep");
  EXPECT_EQ(d.properties().getInt32(m::tag::ContentUnreadCount), 1);
  EXPECT_EQ(d.properties().getBool(m::tag::Subfolders), false);
}

m::Message everyType() {
  m::Message msg = simpleMessage("types");
  auto& p = msg.props;
  p.set(m::makeTag(0x6601, m::pt::Int16), PropValue::int16(-7));
  p.set(m::makeTag(0x6602, m::pt::Int32), PropValue::int32(-123456));
  p.set(m::makeTag(0x6603, m::pt::Float), PropValue{m::pt::Float, {0, 0, 0x80, 0x3F}, {}});
  p.set(m::makeTag(0x6604, m::pt::Double), PropValue::floating(2.5));
  p.set(m::makeTag(0x6605, m::pt::Currency), PropValue{m::pt::Currency, pattern(8, 1), {}});
  p.set(m::makeTag(0x6606, m::pt::AppTime), PropValue{m::pt::AppTime, pattern(8, 2), {}});
  p.set(m::makeTag(0x6607, m::pt::Error), PropValue{m::pt::Error, {0x0F, 0x01, 0x04, 0x80}, {}});
  p.set(m::makeTag(0x6608, m::pt::Boolean), PropValue::boolean(true));
  p.set(m::makeTag(0x6609, m::pt::Int64), PropValue::int64(-5000000000LL));
  p.set(m::makeTag(0x660A, m::pt::String8), PropValue::string8("eight bit \xE9"));
  p.set(m::makeTag(0x660B, m::pt::SysTime), PropValue::sysTime(133485408000000000ull));
  p.set(m::makeTag(0x660C, m::pt::Guid), PropValue::guid(m::psetid::Common));
  p.set(m::makeTag(0x660D, m::pt::Binary), PropValue::binary(pattern(100, 3)));
  p.set(m::makeTag(0x660E, m::pt::Unicode), PropValue::unicode(""));
  p.set(m::makeTag(0x660F, m::pt::Binary), PropValue::binary({}));
  // Values past the heap's largest allocation go to subnodes, and past one
  // block to data trees.
  p.set(m::makeTag(0x6610, m::pt::Binary), PropValue::binary(pattern(3580, 4)));
  p.set(m::makeTag(0x6611, m::pt::Binary), PropValue::binary(pattern(3581, 5)));
  p.set(m::makeTag(0x6612, m::pt::Binary), PropValue::binary(pattern(20000, 6)));
  p.set(m::makeTag(0x6613, m::pt::Unicode), PropValue::unicode(std::string(5000, 'x')));
  auto multi = [&](std::uint16_t id, m::PropType base, std::vector<m::Bytes> values) {
    PropValue v;
    v.type = static_cast<m::PropType>(base | m::pt::MultiValued);
    v.values = std::move(values);
    p.set(m::makeTag(id, v.type), v);
  };
  multi(0x6620, m::pt::Int16, {{1, 0}, {2, 0}});
  multi(0x6621, m::pt::Int32, {{1, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF}});
  multi(0x6622, m::pt::Float, {{0, 0, 0x80, 0x3F}});
  multi(0x6623, m::pt::Double, {pattern(8, 7), pattern(8, 8)});
  multi(0x6624, m::pt::Currency, {pattern(8, 9)});
  multi(0x6625, m::pt::AppTime, {pattern(8, 10)});
  multi(0x6626, m::pt::Int64, {pattern(8, 11), pattern(8, 12), pattern(8, 13)});
  multi(0x6627, m::pt::String8, {{'a', 'b'}, {}, {'c'}});
  multi(0x6628, m::pt::Unicode, {m::utf8ToUtf16le("first"), m::utf8ToUtf16le("zweite \xC3\xBC")});
  multi(0x6629, m::pt::SysTime, {pattern(8, 14)});
  multi(0x662A, m::pt::Guid, {pattern(16, 15), pattern(16, 16)});
  multi(0x662B, m::pt::Binary, {pattern(10, 17), {}, pattern(5000, 18)});
  return msg;
}

TEST(PstWriter, EveryPropertyTypeComesBackAsItWent) {
  TempDir dir;
  fs::path file = dir / "types.pst";
  m::Message msg = everyType();
  m::PropertyBag rec;
  rec.set(m::tag::DisplayName, PropValue::unicode("Anna Adler"));
  rec.set(m::tag::EmailAddress, PropValue::unicode("anna@example.com"));
  rec.set(m::tag::RecipientType, PropValue::int32(1));
  rec.set(m::makeTag(0x5FF6, m::pt::Unicode), PropValue::unicode("a recipient-only column"));
  rec.set(m::makeTag(0x6700, m::pt::Binary), PropValue::binary(pattern(4000, 19)));  // cell in a subnode
  msg.recipients.push_back(rec);
  m::PropertyBag rec2;
  rec2.set(m::tag::DisplayName, PropValue::unicode("Ben Berg"));
  rec2.set(m::tag::RecipientType, PropValue::int32(2));
  msg.recipients.push_back(rec2);
  {
    auto w = p::Writer::create(file, "Types");
    w->addMessage(w->createFolder(w->ipmSubtree(), "F"), msg);
    w->close();
  }
  EXPECT_EQ(findings(file), "");
  auto s = p::Store::open(file);
  p::Folder f = *childNamed(*s, *s->ipmSubtree(), "F");
  m::Message back = s->readMessage(f.messageIds().at(0));
  for (const auto& [tag, value] : msg.props.all()) {
    if (m::propType(tag) == m::pt::String8) continue;  // handed out decoded, below
    const PropValue* got = back.props.get(tag);
    ASSERT_TRUE(got) << std::hex << tag;
    EXPECT_EQ(*got, value) << std::hex << tag;
  }
  EXPECT_EQ(back.props.get(m::makeTag(0x660A, m::pt::String8))->data, msg.props.get(m::makeTag(0x660A, m::pt::String8))->data);
  EXPECT_EQ(back.props.get(m::makeTag(0x6627, m::pt::String8 | m::pt::MultiValued))->values.size(), 3u);
  ASSERT_EQ(back.recipients.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    for (const auto& [tag, value] : msg.recipients[i].all()) EXPECT_EQ(*back.recipients[i].get(tag), value) << std::hex << tag;
  }
  // What every message must hold is filled in where it was missing.
  for (m::PropTag t : {m::tag::MessageSize, m::tag::MessageStatus, m::tag::CreationTime, m::tag::LastModificationTime,
                       m::tag::SearchKey}) {
    EXPECT_TRUE(back.props.has(t)) << std::hex << t;
  }
}

TEST(PstWriter, AttachmentsOfEverySizeEmbeddedToAnyDepthAndOle) {
  TempDir dir;
  fs::path file = dir / "attachments.pst";
  m::Message msg = simpleMessage("attachments");
  std::vector<std::size_t> sizes{0, 1, 3580, 3581, 8176, 8177, 1021 * 8176, 1021 * 8176 + 1, 9 << 20};
  for (std::size_t i = 0; i < sizes.size(); ++i)
    msg.attachments.push_back(byValue("a" + std::to_string(i) + ".bin", pattern(sizes[i], static_cast<std::uint8_t>(i))));
  // Three levels of messages inside attachments.
  m::Message inner = simpleMessage("level 3");
  inner.attachments.push_back(byValue("deep.txt", pattern(10, 99)));
  for (int level = 2; level >= 1; --level) {
    m::Message outer = simpleMessage("level " + std::to_string(level));
    m::Attachment a;
    a.props.set(m::tag::AttachMethod, PropValue::int32(m::kAttachEmbeddedMessage));
    a.props.set(m::tag::DisplayName, PropValue::unicode("inner"));
    a.embedded = std::make_unique<m::Message>(inner);
    outer.attachments.push_back(std::move(a));
    inner = std::move(outer);
  }
  m::Attachment e;
  e.props.set(m::tag::AttachMethod, PropValue::int32(m::kAttachEmbeddedMessage));
  e.embedded = std::make_unique<m::Message>(inner);
  msg.attachments.push_back(std::move(e));
  m::Attachment ole;
  ole.props.set(m::tag::AttachMethod, PropValue::int32(m::kAttachOle));
  ole.props.set(m::tag::AttachDataObject, PropValue{m::pt::Object, pattern(12345, 77), {}});
  msg.attachments.push_back(std::move(ole));
  {
    auto w = p::Writer::create(file, "Attachments");
    w->addMessage(w->ipmSubtree(), msg);
    w->close();
  }
  EXPECT_EQ(findings(file), "");
  auto s = p::Store::open(file);
  m::Message back = s->readMessage(s->ipmSubtree()->messageIds().at(0));
  ASSERT_EQ(back.attachments.size(), sizes.size() + 2);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const m::Bytes* data = back.attachments[i].dataBinary();
    ASSERT_TRUE(data || sizes[i] == 0) << i;
    if (data) {
      EXPECT_TRUE(*data == *msg.attachments[i].dataBinary()) << "attachment of " << sizes[i] << " bytes";
    }
    EXPECT_EQ(back.attachments[i].fileName(), "a" + std::to_string(i) + ".bin");
  }
  const m::Message* level = back.attachments[sizes.size()].embedded.get();
  for (int depth = 1; depth <= 3; ++depth) {
    ASSERT_TRUE(level) << depth;
    EXPECT_EQ(level->props.getString(0x0037), "level " + std::to_string(depth));
    level = level->attachments.at(0).embedded.get();
  }
  EXPECT_EQ(back.attachments.back().props.get(m::tag::AttachDataObject)->data, pattern(12345, 77));
  EXPECT_EQ(back.props.getInt32(m::tag::MessageFlags).value_or(0) & 0x10, 0x10);  // MSGFLAG_HASATTACH
  // Attachments, embedded messages and large values at every depth take
  // their ids from the file's counters, as Outlook does: the counters cover
  // them, and no id Outlook counts is used twice anywhere in the file.
  EXPECT_EQ(idsAboveCounters(s->database()), "");
  std::map<p::NodeId, int> uses;
  for (p::NodeId nid : idsInUse(s->database()).subnodes) ++uses[nid];
  EXPECT_GE(uses.size(), sizes.size() + 8);
  for (const auto& [nid, n] : uses) {
    if (p::nidIndex(nid) >= 0x400) {
      EXPECT_EQ(n, 1) << p::hexText(nid);
    }
  }
}

TEST(PstWriter, NamedPropertiesGetThisFilesIdsForTheirNames) {
  TempDir dir;
  fs::path file = dir / "named.pst";
  m::NamedProperty byId = m::NamedProperty::byId(m::psetid::Appointment, 0x8205);
  m::NamedProperty byName = m::NamedProperty::byName(m::psetid::InternetHeaders, "x-custom");
  m::NamedProperty custom = m::NamedProperty::byName(*m::Guid::parse("{11223344-5566-7788-99AA-BBCCDDEEFF00}"), "Ünïcode");
  // Two messages from stores whose maps gave the same names other ids.
  m::Message a = simpleMessage("a");
  a.props.set(m::makeTag(0x8123, m::pt::Int32), PropValue::int32(5));
  a.props.setName(0x8123, byId);
  a.props.set(m::makeTag(0x8124, m::pt::Unicode), PropValue::unicode("header"));
  a.props.setName(0x8124, byName);
  a.props.set(m::makeTag(0x8999, m::pt::Int32), PropValue::int32(1));  // no name: means nothing here
  m::Message b = simpleMessage("b");
  b.props.set(m::makeTag(0x8124, m::pt::Int32), PropValue::int32(6));
  b.props.setName(0x8124, byId);
  b.props.set(m::makeTag(0x9000, m::pt::Unicode), PropValue::unicode("custom"));
  b.props.setName(0x9000, custom);
  m::PropertyBag r;
  r.set(m::makeTag(0x8500, m::pt::Unicode), PropValue::unicode("on a recipient"));
  r.setName(0x8500, byName);
  b.recipients.push_back(r);
  {
    auto w = p::Writer::create(file, "Named");
    w->addMessage(w->ipmSubtree(), a);
    w->addMessage(w->ipmSubtree(), b);
    w->close();
  }
  EXPECT_EQ(findings(file), "");
  auto s = p::Store::open(file);
  auto ids = s->ipmSubtree()->messageIds();
  m::Message ra = s->readMessage(ids.at(0)), rb = s->readMessage(ids.at(1));
  EXPECT_EQ(ra.props.getNamed(byId, m::pt::Int32)->asInt32(), 5);
  EXPECT_EQ(rb.props.getNamed(byId, m::pt::Int32)->asInt32(), 6);
  EXPECT_EQ(ra.props.getNamed(byName, m::pt::Unicode)->asString(), "header");
  EXPECT_EQ(rb.props.getNamed(custom, m::pt::Unicode)->asString(), "custom");
  EXPECT_EQ(rb.recipients.at(0).getNamed(byName, m::pt::Unicode)->asString(), "on a recipient");
  EXPECT_EQ(ra.props.idOf(byId), rb.props.idOf(byId));
  EXPECT_FALSE(ra.props.has(m::makeTag(0x8999, m::pt::Int32)));
  EXPECT_EQ(s->nameMap().badEntries(), 0u);
}

TEST(PstWriter, ThousandsOfMessagesMakeDeepTreesAndTablesInSubnodes) {
  TempDir dir;
  fs::path file = dir / "many.pst";
  constexpr int kMessages = 3000;
  std::set<p::NodeId> written;
  {
    auto w = p::Writer::create(file, "Many");
    auto f = w->createFolder(w->ipmSubtree(), "Bulk");
    for (int i = 0; i < kMessages; ++i) written.insert(w->addMessage(f, simpleMessage("message " + std::to_string(i), i % 3 == 0)));
    w->close();
  }
  EXPECT_EQ(findings(file), "");
  auto s = p::Store::open(file);
  p::Folder f = *childNamed(*s, *s->ipmSubtree(), "Bulk");
  auto ids = f.messageIds();
  ASSERT_EQ(ids.size(), static_cast<std::size_t>(kMessages));
  EXPECT_EQ(std::set<p::NodeId>(ids.begin(), ids.end()), written);
  EXPECT_EQ(f.properties().getInt32(m::tag::ContentUnreadCount), kMessages - kMessages / 3);
  EXPECT_EQ(s->readMessage(ids[2999]).props.getString(0x0037), "message 2999");
  // Both B-trees need branch pages for this many entries.
  const auto& nbt = s->database().nodeTree();
  EXPECT_GE(p::BtPageMeta::parse(nbt.readPage(nbt.root(), -1), p::Layout::unicode()).cLevel, 1);
  const auto& bbt = s->database().blockTree();
  EXPECT_GE(p::BtPageMeta::parse(bbt.readPage(bbt.root(), -1), p::Layout::unicode()).cLevel, 1);
  // The contents table's rows went to a subnode whose id the counters cover.
  EXPECT_EQ(idsAboveCounters(s->database()), "");
  // Rows kept aside until close come back whole and in order, on both
  // sides of every batch set aside together.
  auto table = f.contentsTable();
  ASSERT_TRUE(table);
  for (int i : {0, 63, 64, 65, 127, 128, 2943, 2944, 2999})
    EXPECT_EQ(table->cell(static_cast<std::size_t>(i), Subject)->asString(), "message " + std::to_string(i));
  std::size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) entries += e.path() != file;
  EXPECT_EQ(entries, 0u) << "a scratch file is left behind";
}

TEST(PstWriter, NothingAppearsAtThePathBeforeClose) {
  TempDir dir;
  fs::path file = dir / "out.pst";
  writeFile(file, std::string("the old file"));
  {
    auto w = p::Writer::create(file, "Unfinished");
    w->addMessage(w->ipmSubtree(), simpleMessage("never written"));
    // The old file stays whole while the new one is written beside it.
    EXPECT_EQ(readFile(file).size(), 12u);
  }
  EXPECT_EQ(readFile(file).size(), 12u);
  std::size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) entries += e.path() != file;
  EXPECT_EQ(entries, 0u) << "the temporary file is left behind";
  {
    auto w = p::Writer::create(file, "Finished");
    w->close();
  }
  EXPECT_EQ(p::Store::open(file)->storeProperties().getString(0x3001), "Finished");
  EXPECT_THROW(p::Writer::create(dir / "missing" / "x.pst", "x"), m::Error);
}

TEST(PstWriter, TheSameSeedGivesTheSameBytes) {
  TempDir dir;
  auto write = [&](const std::string& name) {
    p::WriterOptions o;
    o.seed = 42;
    auto w = p::Writer::create(dir / name, "Seeded", o);
    auto f = w->createFolder(w->ipmSubtree(), "F");
    m::Message msg = everyType();
    msg.attachments.push_back(byValue("x.bin", pattern(30000, 1)));
    w->addMessage(f, msg);
    w->close();
    return fileSha256(dir / name);
  };
  EXPECT_EQ(write("a.pst"), write("b.pst"));
}

// Bytes handed over in pieces of any size, counting how often it is read.
class PiecewiseSource : public m::ValueSource {
 public:
  PiecewiseSource(m::Bytes bytes, std::size_t piece) : bytes_(std::move(bytes)), piece_(piece) {}
  std::uint64_t size() const override { return bytes_.size(); }
  void read(const std::function<void(m::ByteView)>& sink) const override {
    ++reads;
    for (std::size_t at = 0; at < bytes_.size(); at += piece_)
      sink(m::ByteView(bytes_).sub(at, std::min(piece_, bytes_.size() - at)));
  }
  mutable int reads = 0;

 private:
  m::Bytes bytes_;
  std::size_t piece_;
};

// Attachment data written from a source a piece at a time makes the same
// file, byte for byte, as the same data written whole, at every size that
// changes the data tree (one block, an XBLOCK, an XXBLOCK); and a store
// asked to leave large data in place hands it out block by block while it
// is open, and refuses to once it is gone.
TEST(PstWriter, DataWrittenFromASourceIsTheSameFileAsDataWrittenWhole) {
  TempDir dir;
  const std::vector<std::size_t> sizes{1, 8176, 8177, 1021 * 8176 + 1, 9 << 20};
  std::vector<std::shared_ptr<PiecewiseSource>> sources;
  auto write = [&](const std::string& name, bool fromSource) {
    p::WriterOptions o;
    o.seed = 42;
    auto w = p::Writer::create(dir / name, "Seeded", o);
    m::Message msg = simpleMessage("large");
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      m::Bytes data = pattern(sizes[i], static_cast<std::uint8_t>(i + 1));
      m::Attachment a = byValue("a" + std::to_string(i) + ".bin", data);
      if (fromSource) {
        // Pieces that never line up with the file's blocks.
        sources.push_back(std::make_shared<PiecewiseSource>(std::move(data), 3001 + 997 * i));
        a.props.set(m::tag::AttachDataBinary, PropValue::deferred(sources.back()));
      }
      msg.attachments.push_back(std::move(a));
    }
    w->addMessage(w->ipmSubtree(), msg);
    w->close();
    return fileSha256(dir / name);
  };
  EXPECT_EQ(write("whole.pst", false), write("pieces.pst", true));
  for (const auto& source : sources) EXPECT_EQ(source->reads, 1);
  EXPECT_EQ(findings(dir / "pieces.pst"), "");

  p::OpenOptions options;
  options.deferAttachmentDataFrom = 8177;
  auto s = p::Store::open(dir / "pieces.pst", options);
  m::Message back = s->readMessage(s->ipmSubtree()->messageIds().at(0));
  ASSERT_EQ(back.attachments.size(), sizes.size());
  m::PropValue kept;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE(sizes[i]);
    const PropValue* v = back.attachments[i].props.get(m::tag::AttachDataBinary);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->source != nullptr, sizes[i] >= 8177);
    EXPECT_EQ(v->byteSize(), sizes[i]);
    std::size_t largest = 0;
    m::Bytes joined;
    v->readPieces([&](m::ByteView piece) {
      largest = std::max(largest, piece.size());
      joined.insert(joined.end(), piece.data(), piece.data() + piece.size());
    });
    EXPECT_TRUE(joined == pattern(sizes[i], static_cast<std::uint8_t>(i + 1)));
    if (v->source) {
      EXPECT_LE(largest, 8176u);
      EXPECT_EQ(back.attachments[i].dataBinary(), nullptr);
      kept = *v;
    }
  }
  s.reset();
  EXPECT_THROW(kept.bytes(), m::Error);
}

TEST(PstWriter, EveryEncryptionMethodReadsBack) {
  for (p::CryptMethod c : {p::CryptMethod::None, p::CryptMethod::Permute, p::CryptMethod::Cyclic}) {
    TempDir dir;
    p::WriterOptions o;
    o.crypt = c;
    auto w = p::Writer::create(dir / "c.pst", "Crypt", o);
    m::Message msg = simpleMessage("secret");
    msg.attachments.push_back(byValue("s.bin", pattern(50000, 3)));
    w->addMessage(w->ipmSubtree(), msg);
    w->close();
    EXPECT_EQ(findings(dir / "c.pst"), "");
    auto s = p::Store::open(dir / "c.pst");
    EXPECT_EQ(s->header().crypt, c);
    m::Message back = s->readMessage(s->ipmSubtree()->messageIds().at(0));
    EXPECT_EQ(*back.attachments.at(0).dataBinary(), pattern(50000, 3));
  }
}

TEST(PstWriter, CopiesFoldersOfAnotherStore) {
  VARNOLT_REQUIRE_SAMPLES();
  auto src = p::Store::open(samplesDir() / "pst" / "mixed-attachments.pst");
  TempDir dir;
  fs::path file = dir / "copy.pst";
  p::CopyReport report;
  {
    auto w = p::Writer::create(file, "Copy");
    auto target = w->createFolder(w->ipmSubtree(), "Imported");
    w->copyFolderFrom(*src, src->ipmSubtree()->id(), target, &report);
    w->close();
  }
  EXPECT_TRUE(report.problems.empty()) << report.problems.front();
  EXPECT_EQ(findings(file), "");
  auto s = p::Store::open(file);
  p::Folder imported = *childNamed(*s, *s->ipmSubtree(), "Imported");
  p::Folder copied = *childNamed(*s, imported, src->ipmSubtree()->displayName());
  // Same folder names, messages and attachment bytes, in the same order.
  std::function<void(const p::Folder&, const p::Folder&)> same = [&](const p::Folder& a, const p::Folder& b) {
    EXPECT_EQ(a.displayName(), b.displayName());
    auto am = a.messageIds(), bm = b.messageIds();
    ASSERT_EQ(am.size(), bm.size()) << a.displayName();
    for (std::size_t i = 0; i < am.size(); ++i) {
      m::Message x = src->readMessage(am[i]), y = s->readMessage(bm[i]);
      EXPECT_EQ(x.props.getString(0x0037), y.props.getString(0x0037));
      ASSERT_EQ(x.attachments.size(), y.attachments.size());
      for (std::size_t k = 0; k < x.attachments.size(); ++k) {
        const m::Bytes* xb = x.attachments[k].dataBinary();
        const m::Bytes* yb = y.attachments[k].dataBinary();
        EXPECT_EQ(xb == nullptr, yb == nullptr);
        if (xb && yb) {
          EXPECT_TRUE(*xb == *yb);
        }
        EXPECT_EQ(x.attachments[k].embedded == nullptr, y.attachments[k].embedded == nullptr);
      }
    }
    auto ac = a.subfolderIds(), bc = b.subfolderIds();
    ASSERT_EQ(ac.size(), bc.size()) << a.displayName();
    for (std::size_t i = 0; i < ac.size(); ++i) same(src->folder(ac[i]), s->folder(bc[i]));
  };
  same(*src->ipmSubtree(), copied);
  EXPECT_EQ(report.messages, 61u);
}

}  // namespace
}  // namespace varnolt::test::pstw
