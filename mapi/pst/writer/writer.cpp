#include "mapi/pst/writer/writer.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/ndb/limits.h"
#include "mapi/pst/messaging/store.h"
#include "mapi/tags.h"
#include "mapi/util/text.h"

namespace varnolt::mapi::pst {
namespace {

// Columns of the table templates, in the order of their cell bits, as
// Outlook lays them out in a new file ([MS-PST] 2.4.4.4.1, 2.4.4.5.1,
// 2.4.4.6.1, 2.4.8.6.2.1, 2.4.6.1.1, 2.4.6.2.1).
const std::vector<PropTag> kHierarchyColumns{0x3001001F, 0x36020003, 0x36030003, 0x360A000B, 0x0E300102,
                                             0x0E330014, 0x0E340102, 0x0E380003, 0x3613001F, 0x66350003,
                                             0x66360003};
const std::vector<PropTag> kContentsColumns{0x0E170003, 0x001A001F, 0x0E070003, 0x00170003, 0x0042001F, 0x0037001F,
                                            0x0E060040, 0x00390040, 0x0E080003, 0x0E04001F, 0x0E03001F, 0x0057000B,
                                            0x0058000B, 0x00360003, 0x10970003, 0x0070001F, 0x00710102, 0x30130102,
                                            0x65C60003, 0x30080040, 0x0E300102, 0x0E330014, 0x0E340102, 0x0E3D0102,
                                            0x0E3C0102, 0x0E380003};
const std::vector<PropTag> kAssocColumns{0x0E170003, 0x001A001F, 0x0E070003, 0x3001001F, 0x70030003, 0x70040102,
                                         0x70050102, 0x7006001F, 0x70070003, 0x6800001F, 0x6803000B, 0x68051003,
                                         0x682F001F};
const std::vector<PropTag> kSearchColumns{0x67F10003, 0x0E05001F, 0x0E170003, 0x001A001F, 0x0E070003, 0x00170003,
                                          0x0042001F, 0x0037001F, 0x0E060040, 0x0E080003, 0x0E04001F, 0x0E03001F,
                                          0x0057000B, 0x0058000B, 0x00360003, 0x0E2A000B, 0x30080040};
const std::vector<PropTag> kAttachmentColumns{0x370B0003, 0x0E200003, 0x37050003, 0x3704001F};
const std::vector<PropTag> kRecipientColumns{0x0E0F000B, 0x3002001F, 0x3003001F, 0x0FFF0102, 0x3001001F,
                                             0x0C150003, 0x300B0102, 0x0FF90102, 0x0FFE0003, 0x39000003,
                                             0x3A40000B, 0x39FF001F};
const std::vector<PropTag> kReceiveFolderColumns{0x66050003, 0x001A001F};

// Nodes of a new file besides folders ([MS-PST] 2.4.1, 2.4.8).
constexpr NodeId kReceiveFolderTable = 0x62B;
constexpr NodeId kSpamSearchFolder = 0x2223;
constexpr NodeId kSpamSearchUpdateQueue = 0x2226;
constexpr NodeId kSpamSearchCriteria = 0x2227;

constexpr PropTag kTagSearchCriteriaFlags = 0x660B0003;
constexpr std::int32_t kValidInbox = 0x02;
constexpr std::int32_t kMsgFlagRead = 0x01;
constexpr std::int32_t kMsgFlagHasAttach = 0x10;

// Folder properties the writer keeps itself, from its tables.
bool computedFolderTag(PropTag tag) {
  return tag == tag::ContentCount || tag == tag::ContentUnreadCount || tag == tag::Subfolders;
}

// Store properties the writer keeps itself.
bool ownStoreTag(PropTag tag) {
  return tag == tag::RecordKey || tag == tag::IpmSubtreeEntryId || tag == tag::IpmWastebasketEntryId ||
         tag == tag::FinderEntryId || tag == tag::ValidFolderMask;
}

// Special-folder ids and settings the root folder and the Inbox keep: the
// ids, and the extended folder flags and views of 0x36DA-0x36DF.
PropertyBag specialFolderSettings(const PropertyBag& props) {
  PropertyBag out;
  for (const auto& [t, v] : props.all()) {
    std::uint16_t id = propId(t);
    if ((id >= 0x36D0 && id <= 0x36DF) || id == 0x36E4) out.set(t, v);
  }
  return out;
}

PropValue uint32Value(std::uint32_t v) { return PropValue::int32(static_cast<std::int32_t>(v)); }

std::string folderName(const PropertyBag& props) { return props.getString(0x3001).value_or(""); }

// The stored size of everything in a bag, for PR_MESSAGE_SIZE when a
// message comes without one.
std::uint64_t bagSize(const PropertyBag& bag) {
  std::uint64_t n = 0;
  for (const auto& [t, v] : bag.all()) {
    n += 8 + v.byteSize();
    for (const Bytes& e : v.values) n += 4 + e.size();
  }
  return n;
}

// Nodes Outlook puts in every file it makes, as it leaves them in a new
// one: the search domain object, the outgoing queue table and three more
// empty tables, and an empty BTree-on-heap from 16-byte keys to node ids
// (0xC01), which Outlook fills as it works in the file. The search domain
// lists the folders the search folders' criteria name; ours name none, so
// it stays empty, as in several files Outlook wrote.
constexpr NodeId kSearchDomainObject = 0x261;
constexpr NodeId kOutgoingQueueTable = 0x64C;
constexpr NodeId kEmptyTable16 = 0x6B6;
constexpr NodeId kEmptyTable17 = 0x6D7;
constexpr NodeId kEmptyTable18 = 0x6F8;
constexpr NodeId kGuidMap = 0xC01;
constexpr std::uint8_t kGuidMapClient = 0x9C;
// Columns in the order of their cell bits, as Outlook lays them out.
const std::vector<PropTag> kOutgoingQueueColumns{0x0E140003, 0x0E100003, 0x00390040, 0x0EA20003,
                                                 0x67F10003, 0x0E29001F, 0x0E070003, 0x000F0040};
const std::vector<PropTag> kTable16Columns{0x0E330014, 0x0E370102, 0x0E380003};
const std::vector<PropTag> kTable17Columns{0x0E3E0102, 0x0E310102, 0x0E300102, 0x0E380003,
                                           0x0E340102, 0x0E330014, 0x001A001F};
const std::vector<PropTag> kTable18Columns{0x30070040, 0x0E330014};

void writeOutlookNodes(NodeDatabaseWriter& db) {
  auto put = [&](NodeId nid, LtpNode node) {
    db.setNode({nid, db.writeDataBlocks(node.blocks), db.writeSubnodes(std::move(node.subnodes)), 0});
  };
  db.setNode({kSearchDomainObject, 0, 0, 0});
  put(kOutgoingQueueTable, buildTableContext(db, TableLayout::make(kOutgoingQueueColumns), {}, 0));
  put(kEmptyTable16, buildTableContext(db, TableLayout::make(kTable16Columns), {}, 0));
  put(kEmptyTable17, buildTableContext(db, TableLayout::make(kTable17Columns), {}, 0));
  put(kEmptyTable18, buildTableContext(db, TableLayout::make(kTable18Columns), {}, 0));
  // The heap's root holds the HID of the tree's header.
  HeapWriter heap(kGuidMapClient);
  Hid root = heap.allocate(Bytes(4, 0));
  Bytes header;
  putU32(header, writeBTreeOnHeap(heap, 16, 4, {}));
  heap.fill(root, header);
  heap.setUserRoot(root);
  put(kGuidMap, LtpNode{heap.finish(), {}});
}

}  // namespace

std::unique_ptr<Writer> Writer::create(const std::filesystem::path& path, const std::string& displayName,
                                       const WriterOptions& options) {
  return std::unique_ptr<Writer>(new Writer(path, displayName, options));
}

Writer::Writer(const std::filesystem::path& path, const std::string& displayName, const WriterOptions& options)
    : path_(path), options_(options) {
  if (options_.seed) {
    random_ = *options_.seed;
    // 2024-01-01 00:00 UTC as a FILETIME, so seeded files carry no clock.
    clock_ = 133485408000000000ull;
  } else {
    std::random_device rd;
    random_ = (std::uint64_t{rd()} << 32) ^ rd();
  }
  Bytes uid = randomBytes(16);
  std::copy(uid.begin(), uid.end(), uid_.begin());
  db_ = std::make_unique<NodeDatabaseWriter>(path, options_.crypt);

  hierarchyLayout_ = TableLayout::make(kHierarchyColumns);
  contentsLayout_ = TableLayout::make(kContentsColumns);
  assocLayout_ = TableLayout::make(kAssocColumns);
  searchLayout_ = TableLayout::make(kSearchColumns);
  attachmentLayout_ = TableLayout::make(kAttachmentColumns);
  recipientLayout_ = TableLayout::make(kRecipientColumns);
  receiveLayout_ = TableLayout::make(kReceiveFolderColumns);

  PropertyBag root;
  root.set(tag::DisplayName, PropValue::unicode(""));
  newFolder(nid::RootFolder, std::move(root), nid::RootFolder);
  PropertyBag ipm;
  ipm.set(tag::DisplayName, PropValue::unicode("Top of Personal Folders"));
  ipm_ = newFolder(nid::RootFolder, std::move(ipm));
  PropertyBag finder;
  finder.set(tag::DisplayName, PropValue::unicode("Search Root"));
  finder_ = newFolder(nid::RootFolder, std::move(finder));
  PropertyBag deleted;
  deleted.set(tag::DisplayName, PropValue::unicode("Deleted Items"));
  deleted_ = newFolder(ipm_, std::move(deleted));

  // A few names every mail file uses, so the map is never empty (libpff
  // refuses a file whose map has no entries).
  names_.idFor(NamedProperty::byId(psetid::Common, 0x8503));   // PidLidReminderSet
  names_.idFor(NamedProperty::byId(psetid::Common, 0x8506));   // PidLidPrivate
  names_.idFor(NamedProperty::byName(psetid::PublicStrings, "Keywords"));

  storeProps_.set(tag::DisplayName, PropValue::unicode(displayName));
  storeProps_.set(tag::PstPassword, PropValue::int32(0));
}

Writer::~Writer() {
  if (!closed_ && db_) db_->discard();
}

std::uint64_t Writer::now() {
  if (options_.seed) return clock_ += 10000000;  // one second a stamp
  auto t = std::chrono::system_clock::now().time_since_epoch();
  auto units = std::chrono::duration_cast<std::chrono::nanoseconds>(t).count() / 100;
  return static_cast<std::uint64_t>(units) + 116444736000000000ull;
}

Bytes Writer::randomBytes(std::size_t n) {
  Bytes out;
  for (std::size_t i = 0; i < n; ++i) {
    // splitmix64: small, and the same everywhere for a given seed.
    std::uint64_t z = (random_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    out.push_back(static_cast<std::uint8_t>(z ^ (z >> 31)));
  }
  return out;
}

Bytes Writer::entryId(NodeId nid) const {
  // A PST entry id: four flag bytes, the store's unique id, the NID.
  Bytes id;
  id.reserve(24);
  putU32(id, 0);
  putBytes(id, ByteView(uid_.data(), uid_.size()));
  putU32(id, nid);
  return id;
}

void Writer::requireOpen() const {
  if (closed_) throw Error(ErrorKind::InvalidArgument, "the PST file " + path_.string() + " is already closed");
}

Writer::FolderState& Writer::folderState(FolderId id) {
  auto it = folders_.find(id);
  if (it == folders_.end()) throw Error(ErrorKind::NotFound, "no folder " + hexText(id) + " in the file being written");
  return it->second;
}

const Writer::FolderState& Writer::folderState(FolderId id) const {
  auto it = folders_.find(id);
  if (it == folders_.end()) throw Error(ErrorKind::NotFound, "no folder " + hexText(id) + " in the file being written");
  return it->second;
}

void Writer::mapInto(const PropertyBag& bag, PropertyRefs& out) {
  for (const auto& [tag, value] : bag.all()) {
    std::uint16_t id = propId(tag);
    if (!isNamedId(id)) {
      out.borrow(tag, value);
      continue;
    }
    // A named id means nothing without its name; this file gives the name its own id.
    const NamedProperty* name = bag.nameOf(id);
    if (!name) continue;
    out.borrow(makeTag(names_.idFor(*name), propType(tag)), value);
  }
}

PropertyBag Writer::mapBag(const PropertyBag& bag) {
  PropertyBag out;
  for (const auto& [tag, value] : bag.all()) {
    std::uint16_t id = propId(tag);
    if (!isNamedId(id)) {
      out.set(tag, value);
      continue;
    }
    const NamedProperty* name = bag.nameOf(id);
    if (!name) continue;
    std::uint16_t mine = names_.idFor(*name);
    out.set(makeTag(mine, propType(tag)), value);
    out.setName(mine, *name);
  }
  return out;
}

Writer::FolderId Writer::newFolder(FolderId parent, PropertyBag props, NodeId nid) {
  if (nid == 0) nid = db_->allocateNid(nid_type::NormalFolder);
  FolderState f;
  f.nid = nid;
  f.parent = parent;
  // Counts come from the tables; row ids and versions belong to table rows.
  for (PropTag t : {tag::ContentCount, tag::ContentUnreadCount, tag::Subfolders, kTagLtpRowId, kTagLtpRowVersion})
    props.remove(t);
  if (!props.getString(0x3001)) props.set(tag::DisplayName, PropValue::unicode(""));
  f.props = std::move(props);
  folders_.emplace(nid, std::move(f));
  if (parent != nid) folderState(parent).children.push_back(nid);
  return nid;
}

Writer::FolderId Writer::createFolder(FolderId parent, const std::string& name, const std::string& containerClass) {
  PropertyBag props;
  props.set(tag::DisplayName, PropValue::unicode(name));
  if (!containerClass.empty()) props.set(tag::ContainerClass, PropValue::unicode(containerClass));
  return createFolder(parent, props);
}

Writer::FolderId Writer::createFolder(FolderId parent, const PropertyBag& props) {
  requireOpen();
  folderState(parent);
  std::size_t depth = 0;
  for (FolderId p = parent; p != nid::RootFolder; p = folderState(p).parent) ++depth;
  if (depth + 1 > limits::kMaxFolderDepth)
    throw Error(ErrorKind::Limit, "folders nest deeper than " + std::to_string(limits::kMaxFolderDepth));
  return newFolder(parent, mapBag(props));
}

std::optional<Writer::FolderId> Writer::findSubfolder(FolderId parent, const std::string& name) const {
  for (NodeId c : folderState(parent).children) {
    if (folderName(folderState(c).props) == name) return c;
  }
  return std::nullopt;
}

std::vector<Writer::FolderId> Writer::subfolders(FolderId parent) const { return folderState(parent).children; }

PropertyBag Writer::folderProperties(FolderId folder) const {
  const FolderState& f = folderState(folder);
  PropertyBag p = f.props;
  p.set(tag::ContentCount, uint32Value(static_cast<std::uint32_t>(f.contents.size())));
  p.set(tag::ContentUnreadCount, uint32Value(static_cast<std::uint32_t>(f.unread)));
  p.set(tag::Subfolders, PropValue::boolean(!f.children.empty()));
  return p;
}

void Writer::setFolderProperties(FolderId folder, const PropertyBag& props) {
  requireOpen();
  FolderState& f = folderState(folder);
  PropertyBag mapped = mapBag(props);
  for (const auto& [t, v] : mapped.all()) {
    if (computedFolderTag(t) || t == kTagLtpRowId || t == kTagLtpRowVersion) continue;
    f.props.set(t, v);
    if (const NamedProperty* n = mapped.nameOf(propId(t))) f.props.setName(propId(t), *n);
  }
}

std::size_t Writer::messageCount(FolderId folder, bool associated) const {
  const FolderState& f = folderState(folder);
  return associated ? f.associated.size() : f.contents.size();
}

void Writer::removeFolder(FolderId folder) {
  requireOpen();
  if (folder == nid::RootFolder || folder == ipm_ || folder == deleted_ || folder == finder_)
    throw Error(ErrorKind::InvalidArgument, "the folder " + folderName(folderState(folder).props) +
                                                " belongs to every PST file and cannot be removed");
  FolderState& f = folderState(folder);
  for (NodeId c : std::vector<NodeId>(f.children)) removeFolder(c);
  for (NodeId m : f.messageNodes) db_->removeNode(m);
  for (BlockId b : f.messageBlocks) db_->releaseBlock(b);
  auto& siblings = folderState(f.parent).children;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), folder), siblings.end());
  for (auto it = copiedNodes_.begin(); it != copiedNodes_.end();) {
    it = it->second == folder ? copiedNodes_.erase(it) : std::next(it);
  }
  folders_.erase(folder);
}

WrittenNode Writer::writeNode(LtpNode&& node) {
  WrittenNode w;
  w.bidData = db_->writeDataBlocks(node.blocks);
  w.bidSub = db_->writeSubnodes(std::move(node.subnodes));
  return w;
}

Writer::Written Writer::writeMessage(const Message& message, unsigned depth, bool associated) {
  if (depth > limits::kMaxEmbeddingDepth)
    throw Error(ErrorKind::Limit, "messages are embedded more than " + std::to_string(limits::kMaxEmbeddingDepth) +
                                      " deep");
  Written out;
  PropertyRefs& props = out.props;
  mapInto(message.props, props);
  if (depth == 0) mapMessageIds(props);
  std::vector<SlEntry> subnodes;

  // Recipients: every property of a recipient lives in its table row, so
  // the table has a column for each property any recipient has.
  std::vector<PropertyRefs> recipients;
  std::vector<PropTag> recipientTags = kRecipientColumns;
  for (const PropertyBag& r : message.recipients) {
    recipients.emplace_back();
    mapInto(r, recipients.back());
    for (const auto& [t, v] : recipients.back().all()) {
      if (t != kTagLtpRowId && t != kTagLtpRowVersion) recipientTags.push_back(t);
    }
  }
  std::sort(recipientTags.begin() + static_cast<std::ptrdiff_t>(kRecipientColumns.size()), recipientTags.end());
  TableLayout recipientLayout = TableLayout::make(recipientTags);
  std::vector<PackedRow> recipientRows;
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    recipientRows.emplace_back(static_cast<std::uint32_t>(i), recipientLayout, recipients[i]);
    out.size += bagSize(message.recipients[i]);
  }
  subnodes.push_back({nid::MessageRecipientTable, 0, 0});
  {
    WrittenNode t = writeNode(buildTableContext(*db_, recipientLayout, recipientRows, db_->nextUnique()));
    subnodes.back().bidData = t.bidData;
    subnodes.back().bidSub = t.bidSub;
  }

  // Attachments: each a property context in a subnode of its own; an
  // embedded message or an OLE storage in a subnode of the attachment.
  std::vector<PackedRow> attachmentRows;
  for (const Attachment& a : message.attachments) {
    PropertyRefs ap;
    mapInto(a.props, ap);
    ap.remove(tag::AttachDataObject);
    std::vector<SlEntry> attSubnodes;
    std::uint64_t dataSize = 0;
    const PropValue* object = a.props.get(tag::AttachDataObject);
    if (a.embedded) {
      Written inner = writeMessage(*a.embedded, depth + 1, false);
      NodeId innerNid = db_->allocateNid(nid_type::NormalMessage);
      attSubnodes.push_back({innerNid, inner.node.bidData, inner.node.bidSub});
      Bytes ref;
      putU32(ref, innerNid);
      putU32(ref, static_cast<std::uint32_t>(std::min<std::uint64_t>(inner.size, 0xFFFFFFFF)));
      ap.own(tag::AttachDataObject, PropValue{pt::Object, std::move(ref), {}});
      dataSize = inner.size;
    } else if (object) {
      NodeId objNid = db_->allocateNid(nid_type::Ltp);
      attSubnodes.push_back({objNid, db_->writeData(object->data), 0});
      Bytes ref;
      putU32(ref, objNid);
      putU32(ref, static_cast<std::uint32_t>(std::min<std::uint64_t>(object->data.size(), 0xFFFFFFFF)));
      ap.own(tag::AttachDataObject, PropValue{pt::Object, std::move(ref), {}});
      dataSize = object->data.size();
    } else if (const PropValue* bin = a.props.get(tag::AttachDataBinary); bin && !bin->isMulti()) {
      dataSize = bin->byteSize();
    }
    std::uint64_t attSize = dataSize + bagSize(a.props);
    if (!ap.get(tag::AttachSize)) ap.own(tag::AttachSize, uint32Value(static_cast<std::uint32_t>(std::min<std::uint64_t>(attSize, 0x7FFFFFFF))));
    if (!ap.get(tag::AttachMethod))
      ap.own(tag::AttachMethod, PropValue::int32(a.embedded ? kAttachEmbeddedMessage : kAttachByValue));
    if (!ap.get(tag::RenderingPosition)) ap.own(tag::RenderingPosition, PropValue::int32(-1));
    out.size += attSize;

    NodeId attNid = db_->allocateNid(nid_type::Attachment);
    LtpNode pc = buildPropertyContext(*db_, ap);
    for (SlEntry& e : attSubnodes) pc.subnodes.push_back(e);
    WrittenNode w = writeNode(std::move(pc));
    subnodes.push_back({attNid, w.bidData, w.bidSub});
    attachmentRows.emplace_back(attNid, attachmentLayout_, ap);
  }
  if (!attachmentRows.empty()) {
    WrittenNode t = writeNode(buildTableContext(*db_, attachmentLayout_, attachmentRows, db_->nextUnique()));
    subnodes.push_back({nid::MessageAttachmentTable, t.bidData, t.bidSub});
  }

  // What the format asks of every message ([MS-PST] 2.4.5.1.1), where the
  // message does not bring it.
  out.size += bagSize(message.props);
  if (!props.get(tag::MessageClass) && !props.get(makeTag(0x001A, pt::String8)))
    props.own(tag::MessageClass, PropValue::unicode(associated ? "IPM" : "IPM.Note"));
  std::int32_t flags = kMsgFlagRead;
  if (const PropValue* f = props.get(tag::MessageFlags); f && f->asInt32()) flags = *f->asInt32();
  flags = message.attachments.empty() ? (flags & ~kMsgFlagHasAttach) : (flags | kMsgFlagHasAttach);
  props.own(tag::MessageFlags, PropValue::int32(flags));
  if (!props.get(tag::MessageStatus)) props.own(tag::MessageStatus, PropValue::int32(0));
  if (!props.get(tag::MessageSize))
    props.own(tag::MessageSize, uint32Value(static_cast<std::uint32_t>(std::min<std::uint64_t>(out.size, 0x7FFFFFFF))));
  std::uint64_t stamp = now();
  if (!props.get(tag::CreationTime)) props.own(tag::CreationTime, PropValue::sysTime(stamp));
  if (!props.get(tag::LastModificationTime)) props.own(tag::LastModificationTime, PropValue::sysTime(stamp));
  if (!props.get(tag::SearchKey)) props.own(tag::SearchKey, PropValue::binary(randomBytes(16)));

  LtpNode pc = buildPropertyContext(*db_, props);
  for (SlEntry& e : subnodes) pc.subnodes.push_back(e);
  out.node = writeNode(std::move(pc));
  return out;
}

NodeId Writer::addMessage(FolderId folder, const Message& message, bool associated) {
  requireOpen();
  FolderState& f = folderState(folder);
  if (!rowFile_) rowFile_ = std::make_unique<RowFile>(path_.parent_path());
  NodeId nid = db_->allocateNid(associated ? nid_type::AssocMessage : nid_type::NormalMessage);
  const std::size_t firstBlock = f.messageBlocks.size();
  db_->collectInto(&f.messageBlocks);
  Written w;
  try {
    w = writeMessage(message, 0, associated);
  } catch (...) {
    db_->collectInto(nullptr);
    for (std::size_t i = firstBlock; i < f.messageBlocks.size(); ++i) db_->releaseBlock(f.messageBlocks[i]);
    f.messageBlocks.resize(firstBlock);
    throw;
  }
  db_->collectInto(nullptr);
  db_->setNode({nid, w.node.bidData, w.node.bidSub, folder});

  // The table row takes String8 values in their Unicode columns too.
  PropertyRefs row;
  for (const auto& [t, v] : w.props.all()) row.borrow(t, *v);
  std::uint32_t cp = message.props.codepage();
  for (const auto& [t, v] : w.props.all()) {
    if (propType(t) != pt::String8) continue;
    PropTag wide = makeTag(propId(t), pt::Unicode);
    if (!row.get(wide)) row.own(wide, PropValue{pt::Unicode, utf8ToUtf16le(codepageToUtf8(v->data, cp)), {}});
  }
  if (associated) {
    f.associated.emplace_back(nid, assocLayout_, row);
  } else {
    f.contents.add(PackedRow(nid, contentsLayout_, row), *rowFile_);
    const PropValue* flags = w.props.get(tag::MessageFlags);
    if (!flags || !flags->asInt32() || (*flags->asInt32() & kMsgFlagRead) == 0) ++f.unread;
  }
  f.messageNodes.push_back(nid);
  return nid;
}

PropertyBag Writer::storeProperties() const {
  PropertyBag p = storeProps_;
  p.set(tag::RecordKey, PropValue::binary(Bytes(uid_.begin(), uid_.end())));
  p.set(tag::IpmSubtreeEntryId, PropValue::binary(entryId(ipm_)));
  p.set(tag::IpmWastebasketEntryId, PropValue::binary(entryId(deleted_)));
  p.set(tag::FinderEntryId, PropValue::binary(entryId(finder_)));
  return p;
}

void Writer::setStoreProperties(const PropertyBag& props) {
  requireOpen();
  PropertyBag mapped = mapBag(props);
  for (const auto& [t, v] : mapped.all()) {
    if (ownStoreTag(t)) continue;
    storeProps_.set(t, v);
    if (const NamedProperty* n = mapped.nameOf(propId(t))) storeProps_.setName(propId(t), *n);
  }
}

// Entry ids that name objects of the store this file is made from are
// pointed at their copies here. An id whose object was not carried over (a
// search folder, a folder the file does not have) is left out: it must
// never name a wrong folder or none.
IdChange Writer::mapSourceId(ByteView id, bool foldersOnly) const {
  std::optional<StoreEntryId> e = parseEntryId(id);
  if (!e || std::find(sourceUids_.begin(), sourceUids_.end(), e->uid) == sourceUids_.end()) return {};
  if (foldersOnly && nidType(e->nid) != nid_type::NormalFolder && nidType(e->nid) != nid_type::SearchFolder) return {};
  std::optional<FolderId> copy = copyOf(e->nid);
  if (!copy) return {IdChange::Kind::Drop, {}};
  return {IdChange::Kind::Replace, entryId(*copy)};
}

std::optional<Writer::FolderId> Writer::copyOf(NodeId sourceNid) const {
  if (auto it = copiedNodes_.find(sourceNid); it != copiedNodes_.end()) return it->second;
  auto path = sourcePaths_.find(sourceNid);
  if (path == sourcePaths_.end()) return std::nullopt;
  FolderId at = path->second.fromTop ? ipm_ : nid::RootFolder;
  for (const auto& [name, which] : path->second.steps) {
    std::size_t seen = 0;
    std::optional<FolderId> next;
    for (NodeId c : folderState(at).children) {
      if (folderName(folderState(c).props) == name && seen++ == which) {
        next = c;
        break;
      }
    }
    if (!next) return std::nullopt;
    at = *next;
  }
  return at;
}

void Writer::finishProperties(PropertyRefs& refs, PropertyBag& storage) const {
  if (sourceUids_.empty()) return;
  IdMapper map = [this](ByteView id) { return mapSourceId(id, false); };
  std::vector<PropTag> dropped;
  for (const auto& [t, v] : refs.all()) {
    if (propType(t) != pt::Binary && propType(t) != (pt::Binary | pt::MultiValued)) continue;
    std::optional<PropValue> mapped = mapEntryIds(propId(t), *v, map);
    if (!mapped) {
      dropped.push_back(t);
    } else if (*mapped != *v) {
      storage.set(t, std::move(*mapped));
    }
  }
  for (PropTag t : dropped) refs.remove(t);
  for (const auto& [t, v] : storage.all()) refs.borrow(t, v);
}

// A message's ids of folders (the sent-mail folder 0x0E0A and the like)
// follow the folders; its ids of other messages stay as they are, since a
// message named may not be copied yet.
void Writer::mapMessageIds(PropertyRefs& props) const {
  if (sourceUids_.empty()) return;
  std::vector<std::pair<PropTag, IdChange>> changes;
  for (const auto& [t, v] : props.all()) {
    if (propType(t) != pt::Binary) continue;
    IdChange c = mapSourceId(v->data, true);
    if (c.kind != IdChange::Kind::Keep) changes.emplace_back(t, std::move(c));
  }
  for (auto& [t, c] : changes) {
    if (c.kind == IdChange::Kind::Drop) props.remove(t);
    else props.own(t, PropValue::binary(std::move(c.id)));
  }
}

// The receive folder table: the source's rows with its folders' copies;
// without a source (or when none of its receive folders is here),
// Outlook's rows for a new file, with the Inbox under the top of personal
// folders if there is one. The default row ("") always names a folder.
void Writer::writeReceiveFolders() {
  std::vector<std::pair<std::string, FolderId>> rows;
  if (sourceReceive_) {
    for (const ReceiveFolder& r : *sourceReceive_) {
      if (std::optional<FolderId> copy = copyOf(r.folder)) rows.emplace_back(r.messageClass, *copy);
    }
  }
  if (rows.empty()) {
    FolderId inbox = findSubfolder(ipm_, "Inbox").value_or(nid::RootFolder);
    rows = {{"", inbox}, {"IPM", inbox}, {"Report.IPM", inbox}, {"IPC", nid::RootFolder}};
    if (inbox == nid::RootFolder) rows = {{"", inbox}, {"IPC", inbox}};
  }
  std::vector<ReceiveFolder> listed;
  for (const auto& [cls, folder] : rows) listed.push_back({cls, folder});
  inboxBit_ = inboxOf(listed).has_value();
  if (std::none_of(rows.begin(), rows.end(), [](const auto& r) { return r.first.empty(); }))
    rows.insert(rows.begin(), {"", inboxOf(listed).value_or(nid::RootFolder)});

  std::vector<PropertyRefs> cells(rows.size());
  std::vector<PackedRow> packed;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    cells[i].own(kTagReceiveFolderNid, uint32Value(rows[i].second));
    cells[i].own(kTagReceiveFolderClass, PropValue::unicode(rows[i].first));
    packed.emplace_back(static_cast<std::uint32_t>(i + 1), receiveLayout_, cells[i]);
  }
  WrittenNode w = writeNode(buildTableContext(*db_, receiveLayout_, packed, db_->nextUnique()));
  db_->setNode({kReceiveFolderTable, w.bidData, w.bidSub, 0});
}

void Writer::writeFolder(const FolderState& f, const PropertyRefs& props, const PropertyBag* searchFolder) {
  WrittenNode pc = writeNode(buildPropertyContext(*db_, props));
  db_->setNode({f.nid, pc.bidData, pc.bidSub, f.parent});

  std::vector<PackedRow> children;
  for (NodeId c : f.children) {
    PropertyBag cp = folderProperties(c);
    PropertyRefs refs;
    for (const auto& [t, v] : cp.all()) refs.borrow(t, v);
    children.emplace_back(c, hierarchyLayout_, refs);
  }
  // The root's hierarchy table lists the spam search folder too.
  if (searchFolder) {
    PropertyRefs refs;
    for (const auto& [t, v] : searchFolder->all()) refs.borrow(t, v);
    children.emplace_back(kSpamSearchFolder, hierarchyLayout_, refs);
  }
  const std::vector<PackedRow> contents = f.contents.all(rowFile_.get());
  struct Table {
    std::uint8_t type;
    const TableLayout& layout;
    const std::vector<PackedRow>& rows;
  };
  for (const Table& t : {Table{nid_type::HierarchyTable, hierarchyLayout_, children},
                         Table{nid_type::ContentsTable, contentsLayout_, contents},
                         Table{nid_type::AssocContentsTable, assocLayout_, f.associated}}) {
    WrittenNode w = writeNode(buildTableContext(*db_, t.layout, t.rows, db_->nextUnique()));
    db_->setNode({withType(f.nid, t.type), w.bidData, w.bidSub, 0});
  }
}

void Writer::close() {
  requireOpen();
  try {
    // The spam search folder Outlook keeps under the root ([MS-PST] 2.4.8):
    // its properties, an empty update queue and its search criteria.
    PropertyBag spam;
    spam.set(tag::DisplayName, PropValue::unicode("SPAM Search Folder 2"));
    spam.set(tag::ContentCount, PropValue::int32(0));
    spam.set(tag::ContentUnreadCount, PropValue::int32(0));
    spam.set(tag::Subfolders, PropValue::boolean(false));
    {
      PropertyRefs refs;
      mapInto(spam, refs);
      WrittenNode w = writeNode(buildPropertyContext(*db_, refs));
      db_->setNode({kSpamSearchFolder, w.bidData, w.bidSub, nid::RootFolder});
      db_->setNode({kSpamSearchUpdateQueue, 0, 0, 0});
      PropertyBag criteria;
      criteria.set(kTagSearchCriteriaFlags, PropValue::int32(0));
      PropertyRefs crefs;
      mapInto(criteria, crefs);
      w = writeNode(buildPropertyContext(*db_, crefs));
      db_->setNode({kSpamSearchCriteria, w.bidData, w.bidSub, 0});
    }

    // The Inbox made anew from the source's takes its special-folder ids.
    if (sourceInbox_) {
      if (std::optional<FolderId> inbox = copyOf(*sourceInbox_)) setFolderProperties(*inbox, sourceInboxIds_);
    }
    writeReceiveFolders();

    // Folders with their tables and counts.
    for (const auto& [id, f] : folders_) {
      PropertyBag final = folderProperties(id);
      PropertyRefs refs;
      mapInto(final, refs);
      PropertyBag storage;
      finishProperties(refs, storage);
      writeFolder(f, refs, id == nid::RootFolder ? &spam : nullptr);
    }

    // Search management: an empty queue, and the list of search folders.
    db_->setNode({nid::SearchManagementQueue, 0, 0, 0});
    {
      Bytes list;
      putU32(list, kSpamSearchFolder);
      db_->setNode({nid::SearchActivityList, db_->writeData(list), 0, 0});
    }
    writeOutlookNodes(*db_);

    // Table templates, and the receive folder table.
    struct Template {
      NodeId nid;
      const TableLayout& layout;
    };
    for (const Template& t : {Template{nid::HierarchyTableTemplate, hierarchyLayout_},
                              Template{nid::ContentsTableTemplate, contentsLayout_},
                              Template{nid::AssocContentsTableTemplate, assocLayout_},
                              Template{nid::SearchContentsTableTemplate, searchLayout_},
                              Template{nid::AttachmentTableTemplate, attachmentLayout_},
                              Template{nid::RecipientTableTemplate, recipientLayout_}}) {
      WrittenNode w = writeNode(buildTableContext(*db_, t.layout, {}, 0));
      db_->setNode({t.nid, w.bidData, w.bidSub, 0});
    }
    // The store's properties, then the name-to-id map (last: every name
    // is known by now).
    {
      PropertyBag store = storeProperties();
      PropertyRefs refs;
      mapInto(store, refs);
      PropertyBag storage;
      finishProperties(refs, storage);
      // Which special folders the store names, from the entry ids it holds.
      std::int32_t mask = 0;
      const std::pair<std::uint16_t, std::int32_t> special[] = {{0x35E0, 0x01}, {0x35E2, 0x04}, {0x35E3, 0x08},
                                                                {0x35E4, 0x10}, {0x35E5, 0x20}, {0x35E6, 0x40},
                                                                {0x35E7, 0x80}};
      for (const auto& [id, bit] : special) {
        if (refs.get(makeTag(id, pt::Binary))) mask |= bit;
      }
      if (inboxBit_) mask |= kValidInbox;
      refs.own(tag::ValidFolderMask, PropValue::int32(mask));
      WrittenNode w = writeNode(buildPropertyContext(*db_, refs));
      db_->setNode({nid::MessageStore, w.bidData, w.bidSub, 0});
    }
    {
      PropertyBag map = names_.properties();
      PropertyRefs refs;
      for (const auto& [t, v] : map.all()) refs.borrow(t, v);
      WrittenNode w = writeNode(buildPropertyContext(*db_, refs));
      db_->setNode({nid::NameToIdMap, w.bidData, w.bidSub, 0});
    }
    db_->commit();
    closed_ = true;
  } catch (...) {
    db_->discard();
    closed_ = true;
    throw;
  }
}

void Writer::copyMessages(const Store& source, const std::vector<CopyStep>& steps, CopyReport* report) {
  for (const CopyStep& step : steps) {
    std::string where = "?";
    std::vector<NodeId> messages, associated;
    try {
      Folder folder = source.folder(step.source);
      where = folder.displayName();
      messages = folder.messageIds();
      associated = folder.associatedMessageIds();
    } catch (const Error& e) {
      if (!report) throw;
      report->problems.push_back("folder \"" + where + "\": " + e.what());
    }
    auto copy = [&](const std::vector<NodeId>& ids, bool isAssociated) {
      for (NodeId id : ids) {
        std::vector<std::string> problems;
        try {
          Message m = source.readMessage(id, report ? &problems : nullptr);
          if (report && report->change && !isAssociated) report->change(id, m);
          copiedNodes_[id] = addMessage(step.target, m, isAssociated);
          if (report) ++report->messages;
        } catch (const Error& e) {
          if (!report) throw;
          report->problems.push_back("message " + hexText(id) + " of \"" + where + "\": " + e.what());
        }
        if (report) {
          for (auto& p : problems) report->problems.push_back("message " + hexText(id) + " of \"" + where + "\": " + p);
        }
      }
    };
    copy(messages, false);
    copy(associated, true);
  }
}

// The folder's subfolders below target, which already stands for it.
// The source's deleted items go into this file's own.
void Writer::copyTree(const Store& source, NodeId sourceFolder, FolderId target, CopyReport* report,
                      std::vector<CopyStep>& steps) {
  copiedNodes_[sourceFolder] = target;
  if (report) ++report->folders;
  steps.push_back({sourceFolder, target});
  std::vector<NodeId> children;
  try {
    children = source.folder(sourceFolder).subfolderIds();
  } catch (const Error& e) {
    if (!report) throw;
    report->problems.push_back("folder " + hexText(sourceFolder) + ": " + e.what());
  }
  std::optional<NodeId> wastebasket;
  if (target == ipm_) {
    PropertyBag storeProps = source.storeProperties();
    if (const Bytes* id = storeProps.getBinary(tag::IpmWastebasketEntryId)) {
      if (auto e = parseEntryId(*id)) wastebasket = e->nid;
    }
  }
  for (NodeId c : children) {
    if (nidType(c) == nid_type::SearchFolder) continue;
    if (wastebasket && c == *wastebasket) {
      PropertyBag props = source.folder(c).properties();
      setFolderProperties(deleted_, props);
      copyTree(source, c, deleted_, report, steps);
    } else {
      makeFolderCopy(source, c, target, report, steps);
    }
  }
}

Writer::FolderId Writer::makeFolderCopy(const Store& source, NodeId sourceFolder, FolderId parent, CopyReport* report,
                                        std::vector<CopyStep>& steps) {
  FolderId id = createFolder(parent, source.folder(sourceFolder).properties());
  copyTree(source, sourceFolder, id, report, steps);
  return id;
}

// The uids a store names itself by: its record key, and those its own
// ids of special folders carry when they name a folder it has (Outlook
// does not always use the record key in them).
void Writer::learnSource(const Store& source) {
  if (!sourceUids_.empty()) return;
  PropertyBag storeProps = source.storeProperties();
  if (const Bytes* key = storeProps.getBinary(tag::RecordKey); key && key->size() == 16) {
    sourceUids_.emplace_back();
    std::copy(key->begin(), key->end(), sourceUids_.back().begin());
  }
  auto learn = [&](const PropertyBag& bag, bool (*isIdTag)(std::uint16_t)) {
    for (const auto& [t, v] : bag.all()) {
      if (!isIdTag(propId(t))) continue;
      for (const Bytes& id : entryIdsIn(propId(t), v)) {
        std::optional<StoreEntryId> e = parseEntryId(id);
        if (!e || std::find(sourceUids_.begin(), sourceUids_.end(), e->uid) != sourceUids_.end()) continue;
        if (nidType(e->nid) != nid_type::NormalFolder && nidType(e->nid) != nid_type::SearchFolder) continue;
        if (source.database().findNode(e->nid)) sourceUids_.push_back(e->uid);
      }
    }
  };
  learn(storeProps, isStoreFolderIdTag);
  try {
    learn(source.rootFolder().properties(), isFolderIdTag);
  } catch (const Error&) {
    // A root that cannot be read names nothing.
  }
}

Writer::FolderId Writer::copyFolderFrom(const Store& source, NodeId sourceFolder, FolderId parent, CopyReport* report) {
  requireOpen();
  learnSource(source);
  std::vector<CopyStep> steps;
  FolderId id = makeFolderCopy(source, sourceFolder, parent, report, steps);
  copyMessages(source, steps, report);
  return id;
}

void Writer::copyStoreFrom(const Store& source, CopyReport* report) {
  requireOpen();
  learnSource(source);
  PropertyBag props = source.storeProperties();
  setStoreProperties(props);
  std::optional<NodeId> finder;
  if (const Bytes* id = props.getBinary(tag::FinderEntryId); id && id->size() >= 24) finder = ByteView(*id).u32(20);
  std::optional<Folder> ipm;
  try {
    ipm = source.ipmSubtree();
  } catch (const Error& e) {
    if (!report) throw;
    report->problems.push_back(std::string("top of personal folders: ") + e.what());
  }
  try {
    sourceReceive_ = readReceiveFolders(source);
  } catch (const Error& e) {
    if (!report) throw;
    report->problems.push_back(std::string("receive folder table: ") + e.what());
  }
  Folder root = source.rootFolder();
  copiedNodes_[root.id()] = nid::RootFolder;
  setFolderProperties(nid::RootFolder, specialFolderSettings(root.properties()));
  std::vector<CopyStep> steps;
  std::vector<NodeId> children = root.subfolderIds();
  for (NodeId c : children) {
    if (nidType(c) == nid_type::SearchFolder) continue;
    if (ipm && c == ipm->id()) {
      PropertyBag top = source.folder(c).properties();
      setFolderProperties(ipm_, top);
      copyTree(source, c, ipm_, report, steps);
    } else if (finder && c == *finder) {
      // The search root holds search folders, which are not copied.
      copiedNodes_[c] = finder_;
    } else {
      makeFolderCopy(source, c, nid::RootFolder, report, steps);
    }
  }
  copyMessages(source, steps, report);
  // Messages kept in the root itself, if any.
  for (NodeId id : root.messageIds()) {
    try {
      copiedNodes_[id] = addMessage(nid::RootFolder, source.readMessage(id));
      if (report) ++report->messages;
    } catch (const Error& e) {
      if (!report) throw;
      report->problems.push_back("message " + hexText(id) + " of the root folder: " + e.what());
    }
  }
}

void Writer::keepSettingsOf(const Store& source) {
  requireOpen();
  // The store's own settings first: the password, and the special folders
  // this file does not keep itself.
  PropertyBag storeProps = source.storeProperties();
  PropertyBag kept;
  for (const auto& [t, v] : storeProps.all()) {
    if ((isStoreFolderIdTag(propId(t)) && !ownStoreTag(t)) || t == tag::PstPassword) kept.set(t, v);
  }
  setStoreProperties(kept);
  learnSource(source);

  // Where each of the source's folders lies. A part of the source that
  // cannot be read names no folder, and ids of it are left out.
  std::optional<NodeId> top;
  try {
    if (std::optional<Folder> ipm = source.ipmSubtree()) top = ipm->id();
  } catch (const Error&) {
  }
  std::vector<std::pair<NodeId, SourcePath>> todo{{nid::RootFolder, SourcePath{}}};
  while (!todo.empty()) {
    auto [nid, path] = std::move(todo.back());
    todo.pop_back();
    if (sourcePaths_.count(nid) != 0 || path.steps.size() > limits::kMaxFolderDepth) continue;
    sourcePaths_[nid] = path;
    std::map<std::string, std::size_t> seen;
    try {
      for (NodeId c : source.folder(nid).subfolderIds()) {
        std::string name = source.folder(c).displayName();
        SourcePath child = path;
        child.steps.emplace_back(name, seen[name]++);
        if (top && c == *top) child = SourcePath{true, {}};
        todo.emplace_back(c, std::move(child));
      }
    } catch (const Error&) {
    }
  }
  try {
    setFolderProperties(nid::RootFolder, specialFolderSettings(source.rootFolder().properties()));
  } catch (const Error&) {
  }
  try {
    sourceReceive_ = readReceiveFolders(source);
    sourceInbox_ = inboxOf(*sourceReceive_);
    if (sourceInbox_) sourceInboxIds_ = specialFolderSettings(source.folder(*sourceInbox_).properties());
  } catch (const Error&) {
    sourceInbox_.reset();
    sourceInboxIds_ = {};
  }
}

}  // namespace varnolt::mapi::pst
