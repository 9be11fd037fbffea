// The store API over the real sample files: every sample reads whole,
// ANSI strings come out as Unicode through the right code page, named
// properties carry their names, embedded messages nest, and the same
// store under each encryption method reads the same.

#include <gtest/gtest.h>

#include "mapi/tags.h"
#include "mapi/util/text.h"
#include "tests/pst/pst_fixtures.h"

namespace varnolt::test::pst {
namespace {

const auto* const kUnchanged = ::testing::AddGlobalTestEnvironment(new SamplesUnchanged);

fs::path sample(const std::string& name) { return samplesDir() / "pst" / name; }

bool anyString8(const m::PropertyBag& bag) {
  for (const auto& [t, v] : bag.all())
    if (m::baseType(m::propType(t)) == m::pt::String8) return true;
  return false;
}

TEST(PstStore, EverySampleReadsWholeAndStrictly) {
  VARNOLT_REQUIRE_SAMPLES();
  ASSERT_FALSE(pstSamples().empty());
  for (const auto& path : pstSamples()) {
    SCOPED_TRACE(path.string());
    auto store = p::Store::open(path);
    EXPECT_TRUE(store->warnings().empty()) << store->warnings().front();
    EXPECT_FALSE(store->isOst());
    std::vector<FolderContent> all;
    ASSERT_NO_THROW(all = readEverything(*store));
    ASSERT_FALSE(all.empty());
    // The top of the personal folders is what the store names as such,
    // and it hangs under the root folder.
    auto top = store->ipmSubtree();
    ASSERT_TRUE(top.has_value());
    EXPECT_EQ(all.front().path, std::vector<std::string>{top->displayName()});
    EXPECT_EQ(top->node().parentId(), p::nid::RootFolder);
    for (const auto& f : all) {
      for (const auto& msg : f.messages) {
        EXPECT_TRUE(msg.props.has(m::tag::MessageClass) || msg.props.has(m::makeTag(0x001A, m::pt::String8)));
        // Every named id that the file's map knows carries its name.
        for (const auto& [t, v] : msg.props.all()) {
          std::uint16_t id = m::propId(t);
          if (m::isNamedId(id) && store->nameMap().nameOf(id)) {
            EXPECT_NE(msg.props.nameOf(id), nullptr);
          }
        }
      }
    }
  }
}

TEST(PstStore, AnsiStringsBecomeUnicodeThroughTheirCodePage) {
  VARNOLT_REQUIRE_SAMPLES();
  auto store = p::Store::open(sample("ansi-one-attachment.pst"));
  ASSERT_EQ(store->layout(), p::FileLayout::Ansi);
  EXPECT_EQ(store->header().crypt, p::CryptMethod::Permute);
  for (const auto& f : readEverything(*store)) {
    EXPECT_FALSE(anyString8(f.props));
    for (const auto& msg : f.messages) {
      EXPECT_FALSE(anyString8(msg.props));
      EXPECT_TRUE(msg.props.has(m::tag::Subject));
      for (const auto& r : msg.recipients) EXPECT_FALSE(anyString8(r));
      for (const auto& a : msg.attachments) {
        EXPECT_FALSE(anyString8(a.props));
        EXPECT_TRUE(a.fileName().has_value());
      }
    }
  }
  // The object's own code page wins, then the one it inherits, then the
  // store's default.
  auto decoded = [&](std::int32_t own, std::uint32_t inherited) {
    m::PropertyBag bag;
    bag.set(m::makeTag(0x0037, m::pt::String8), m::PropValue::string8("\xC0\xE9"));
    if (own) bag.set(m::tag::MessageCodepage, m::PropValue::int32(own));
    store->finishBag(bag, inherited);
    EXPECT_FALSE(bag.has(m::makeTag(0x0037, m::pt::String8)));
    return bag.getString(0x0037).value_or("?");
  };
  EXPECT_EQ(decoded(1252, 1251), "Àé");
  EXPECT_EQ(decoded(1251, 1252), "Ай");
  EXPECT_EQ(decoded(0, 1251), "Ай");
  EXPECT_EQ(decoded(0, 0), "Àé");

  // Unicode files keep String8 values as they are.
  auto unicode = p::Store::open(sample("unicode-one-attachment.pst"));
  m::PropertyBag bag;
  bag.set(m::makeTag(0x0037, m::pt::String8), m::PropValue::string8("abc"));
  unicode->finishBag(bag, 0);
  EXPECT_TRUE(bag.has(m::makeTag(0x0037, m::pt::String8)));
}

TEST(PstStore, EmbeddedMessagesNestInsideTheirAttachment) {
  VARNOLT_REQUIRE_SAMPLES();
  auto store = p::Store::open(sample("unicode-embedded-message.pst"));
  int embedded = 0;
  for (const auto& f : readEverything(*store)) {
    for (const auto& msg : f.messages) {
      for (const auto& a : msg.attachments) {
        if (a.method() != m::kAttachEmbeddedMessage) continue;
        ++embedded;
        ASSERT_TRUE(a.embedded);
        // The object reference belongs to the file, not to the message.
        EXPECT_FALSE(a.props.has(m::tag::AttachDataObject));
        EXPECT_TRUE(a.embedded->props.getString(m::propId(m::tag::Subject)).has_value());
        EXPECT_FALSE(a.embedded->recipients.empty());
      }
    }
  }
  EXPECT_EQ(embedded, 1);
}

TEST(PstStore, TablesGiveFoldersAndMessagesInTableOrder) {
  VARNOLT_REQUIRE_SAMPLES();
  std::size_t associated = 0, messages = 0;
  for (const char* name : {"mixed-attachments.pst", "calendar-contacts-distlist.pst"}) {
    SCOPED_TRACE(name);
    auto store = p::Store::open(sample(name));
    p::Folder root = store->rootFolder();
    EXPECT_EQ(root.id(), p::nid::RootFolder);
    std::function<void(const p::Folder&)> walk = [&](const p::Folder& f) {
      auto table = f.contentsTable();
      auto ids = f.messageIds();
      if (table) {
        ASSERT_EQ(table->rowCount(), ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
          EXPECT_EQ(ids[i], table->rowId(i));
          EXPECT_EQ(p::nidType(ids[i]), p::nid_type::NormalMessage);
          // Each row's cells are the message's own properties.
          m::PropertyBag row = store->readRow(*table, i);
          m::Message msg = store->readMessage(ids[i]);
          if (auto s = row.getString(m::propId(m::tag::Subject))) {
            EXPECT_EQ(s, msg.props.getString(m::propId(m::tag::Subject)));
          }
        }
      }
      messages += ids.size();
      for (auto id : f.associatedMessageIds()) {
        EXPECT_EQ(p::nidType(id), p::nid_type::AssocMessage);
        EXPECT_NO_THROW(store->readMessage(id));
        ++associated;
      }
      for (auto id : f.subfolderIds()) {
        p::Folder child = store->folder(id);
        EXPECT_EQ(child.node().parentId(), f.id());
        if (!child.isSearchFolder()) walk(child);
      }
    };
    walk(root);
  }
  EXPECT_GT(messages, 0u);
  EXPECT_GT(associated, 0u);
}

TEST(PstStore, EveryEncryptionMethodReadsTheSame) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const char* name : {"ansi-one-attachment.pst", "mixed-attachments.pst"}) {
    SCOPED_TRACE(name);
    m::Bytes original = readFile(sample(name));
    auto reference = readEverything(*p::Store::open(std::make_shared<p::MemorySource>(original)));
    for (p::CryptMethod method : {p::CryptMethod::None, p::CryptMethod::Cyclic, p::CryptMethod::Permute}) {
      m::Bytes copy = reencode(original, method);
      if (method != p::CryptMethod::Permute) {
        EXPECT_NE(copy, original);
      }
      auto store = p::Store::open(std::make_shared<p::MemorySource>(copy));
      EXPECT_EQ(store->header().crypt, method);
      EXPECT_TRUE(readEverything(*store) == reference) << "method " << static_cast<int>(method);
    }
  }
}

TEST(PstStore, OpensReadOnlyAndLeavesTheFileAlone) {
  VARNOLT_REQUIRE_SAMPLES();
  TempDir dir;
  fs::path copy = dir / "copy.pst";
  fs::copy_file(sample("unicode-one-attachment.pst"), copy);
  fs::permissions(copy, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  auto before = fs::last_write_time(copy);
  std::string hash = fileSha256(copy);
  {
    auto store = p::Store::open(copy);
    readEverything(*store);
  }
  EXPECT_EQ(fileSha256(copy), hash);
  EXPECT_EQ(fs::last_write_time(copy), before);
  EXPECT_THROW(p::Store::open(dir / "missing.pst"), m::Error);
  EXPECT_THROW(p::Store::open(dir.path()), m::Error);  // a folder, not a file
}

}  // namespace
}  // namespace varnolt::test::pst

namespace varnolt::test::pst {
namespace {

// No sample holds an OLE attachment (method 6); a crafted message does.
// Its object is a subnode of the attachment whose bytes are the storage
// image; the reader hands them over as a PtypObject value.
TEST(PstStore, OleAttachmentsKeepTheirStorageImage) {
  const p::Layout& l = p::Layout::unicode();
  MiniPst pst;
  m::Bytes image{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  image.resize(3000, 0x42);
  const p::NodeId objectNid = 0x61F;  // any NID of the attachment's subnodes
  const p::NodeId attachmentNid = p::makeNid(p::nid_type::Attachment, 1);
  m::Bytes sl;
  p::SubnodeBlockHeader{p::kBlockTypeSubnode, 0, 1}.write(sl, l);
  p::SlEntry{objectNid, pst.block(image, false), 0}.write(sl, l);
  p::BlockId attachmentSubnodes = pst.block(sl, true);
  m::Bytes ref;
  m::putU32(ref, objectNid);
  m::putU32(ref, static_cast<std::uint32_t>(image.size()));
  m::Bytes method;
  m::putU32(method, m::kAttachOle);
  p::BlockId attachmentPc = pst.block(pcHeap({{0x3705, m::pt::Int32, method},
                                              {0x3701, m::pt::Object, ref},
                                              unicodeValue(0x3704, "drawing.xls")}),
                                      false);
  m::Bytes msgSl;
  p::SubnodeBlockHeader{p::kBlockTypeSubnode, 0, 2}.write(msgSl, l);
  p::SlEntry{attachmentNid, attachmentPc, attachmentSubnodes}.write(msgSl, l);
  p::SlEntry{p::nid::MessageAttachmentTable, pst.block(tcHeap({attachmentNid}), false), 0}.write(msgSl, l);
  p::BlockId messageSubnodes = pst.block(msgSl, true);
  pst.node(0x200024, pst.block(pcHeap({unicodeValue(0x0037, "with a drawing")}), false), messageSubnodes);
  m::Bytes file = pst.finish();

  auto store = p::Store::open(std::make_shared<p::MemorySource>(file));
  m::Message msg = store->readMessage(0x200024);
  EXPECT_TRUE(msg.recipients.empty());
  ASSERT_EQ(msg.attachments.size(), 1u);
  const m::Attachment& a = msg.attachments[0];
  EXPECT_EQ(a.method(), m::kAttachOle);
  EXPECT_EQ(a.fileName(), "drawing.xls");
  EXPECT_FALSE(a.embedded);
  const m::PropValue* object = a.props.get(m::tag::AttachDataObject);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->type, m::pt::Object);
  EXPECT_EQ(object->data, image);
}

}  // namespace
}  // namespace varnolt::test::pst
