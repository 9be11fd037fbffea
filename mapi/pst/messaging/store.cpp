#include "mapi/pst/messaging/store.h"

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/ndb/limits.h"
#include "mapi/tags.h"
#include "mapi/util/text.h"

namespace varnolt::mapi::pst {
namespace {

// Reads the parts of a message. In lenient mode (a list for problems
// given) a part that fails is described there, `salvage` keeps what it
// can of it, and reading goes on; otherwise the failure goes to the caller.
class MessageParts {
 public:
  MessageParts(std::vector<std::string>* problems, const std::string& where) : problems_(problems), where_(where) {}

  template <class Read, class Salvage>
  void read(const std::string& what, const Read& read, const Salvage& salvage) const {
    if (!problems_) {
      read();
      return;
    }
    try {
      read();
    } catch (const Error& e) {
      problems_->push_back(where_ + what + ": " + e.what());
      try {
        salvage();
      } catch (const Error&) {
      }
    }
  }
  template <class Read>
  void read(const std::string& what, const Read& read) const {
    this->read(what, read, [] {});
  }

 private:
  std::vector<std::string>* problems_;
  const std::string& where_;
};

// The row id and version are a table's own bookkeeping, not properties of
// the object a row describes.
void dropRowBookkeeping(PropertyBag& bag) {
  bag.remove(kTagLtpRowId);
  bag.remove(kTagLtpRowVersion);
}

}  // namespace

std::unique_ptr<Store> Store::open(const std::filesystem::path& path, const OpenOptions& options) {
  return open(std::make_shared<FileSource>(path), options);
}

std::unique_ptr<Store> Store::open(std::shared_ptr<const ByteSource> source, const OpenOptions& options) {
  return std::unique_ptr<Store>(new Store(std::move(source), options));
}

Store::Store(std::shared_ptr<const ByteSource> source, const OpenOptions& options)
    : source_(std::move(source)), db_(source_, options.verifyChecksums), options_(options) {
  const Header& h = db_.header();
  if (h.ibFileEof > db_.fileSize())
    warnings_.push_back("the file is truncated: it has " + std::to_string(db_.fileSize()) +
                        " bytes, its header says " + std::to_string(h.ibFileEof));
  // Without the map named properties stay unnamed; everything else reads.
  try {
    if (db_.findNode(nid::NameToIdMap)) {
      names_ = NameToIdMap(PropertyContext(db_.node(nid::NameToIdMap)).readAll());
      if (names_.badEntries() > 0)
        warnings_.push_back("the name-to-id map has " + std::to_string(names_.badEntries()) +
                            " entries that point outside it");
    }
  } catch (const Error& e) {
    warnings_.push_back(std::string("the name-to-id map cannot be read: ") + e.what());
  }
}

std::uint32_t Store::codepageOf(const PropertyBag& bag, std::uint32_t inherited) const {
  std::uint32_t cp = 0;
  for (PropTag t : {tag::MessageCodepage, tag::InternetCodepage}) {
    if (auto v = bag.getInt32(t); v && *v > 0) {
      cp = static_cast<std::uint32_t>(*v);
      break;
    }
  }
  if (cp == 0) cp = inherited;
  if (cp == 0) cp = options_.ansiCodepage;
  // 8-bit strings cannot be UTF-16; files that say so hold UTF-8.
  if (cp == 1200 || cp == 1201) cp = 65001;
  return cp;
}

void Store::finishBag(PropertyBag& bag, std::uint32_t inherited) const {
  if (layout() == FileLayout::Ansi) {
    std::uint32_t cp = codepageOf(bag, inherited);
    std::vector<PropTag> eight;
    for (const auto& [t, v] : bag.all()) {
      if (baseType(propType(t)) == pt::String8) eight.push_back(t);
    }
    for (PropTag t : eight) {
      PropValue v = *bag.get(t);
      bool multi = v.isMulti();
      PropTag wide = makeTag(propId(t), multi ? static_cast<PropType>(pt::Unicode | pt::MultiValued) : pt::Unicode);
      PropValue out;
      out.type = propType(wide);
      if (multi) {
        for (const Bytes& e : v.values) out.values.push_back(utf8ToUtf16le(codepageToUtf8(e, cp)));
      } else {
        out.data = utf8ToUtf16le(codepageToUtf8(v.data, cp));
      }
      bag.remove(t);
      if (!bag.has(wide)) bag.set(wide, std::move(out));
    }
  }
  names_.nameProperties(bag);
}

PropertyBag Store::readProperties(const Node& node, std::uint32_t inherited) const {
  PropertyBag bag = PropertyContext(node).readAll();
  finishBag(bag, inherited);
  return bag;
}

PropertyBag Store::readRow(const TableContext& table, std::size_t row, std::uint32_t inherited) const {
  PropertyBag bag = table.row(row);
  finishBag(bag, inherited);
  return bag;
}

PropertyBag Store::storeProperties() const { return readProperties(db_.node(nid::MessageStore)); }

std::optional<Folder> Store::ipmSubtree() const {
  PropertyBag props = storeProperties();
  const Bytes* entryId = props.getBinary(tag::IpmSubtreeEntryId);
  // A PST entry id: 4 bytes of flags, the store's 16-byte uid, the NID.
  if (!entryId || entryId->size() < 24) return std::nullopt;
  return folder(ByteView(*entryId).u32(20));
}

Folder Store::folder(NodeId nid) const {
  Node node = db_.node(nid);
  return Folder(*this, node, readProperties(node));
}

ReadBudget Store::newBudget() const {
  // Distinct blocks can hold no more than the file; twice that leaves room
  // for the blocks Outlook shares between objects.
  return ReadBudget(2 * db_.fileSize() + (std::uint64_t{1} << 20));
}

Message Store::readMessage(NodeId nid, std::vector<std::string>* problems) const {
  ReadBudget budget = newBudget();
  return readMessageNode(db_.node(nid), 0, 0, budget, problems, "");
}

Message Store::readMessageNode(const Node& node, unsigned depth, std::uint32_t inherited, ReadBudget& budget,
                               std::vector<std::string>* problems, const std::string& where) const {
  Message m;
  m.props = PropertyContext(node).readAll(&budget);
  std::uint32_t cp = codepageOf(m.props, inherited);
  finishBag(m.props, cp);
  const MessageParts part(problems, where);

  std::optional<TableContext> recipients;
  part.read("recipients", [&] {
    if (auto n = node.findSubnode(nid::MessageRecipientTable)) recipients.emplace(*n);
  });
  if (recipients) {
    for (std::size_t r = 0; r < recipients->rowCount(); ++r) {
      part.read("recipient " + std::to_string(r + 1), [&] {
        PropertyBag bag = recipients->row(r, &budget);
        dropRowBookkeeping(bag);
        finishBag(bag, cp);
        m.recipients.push_back(std::move(bag));
      });
    }
  }

  std::optional<TableContext> attachments;
  part.read("attachments", [&] {
    if (auto n = node.findSubnode(nid::MessageAttachmentTable)) attachments.emplace(*n);
  });
  if (attachments) {
    for (std::size_t r = 0; r < attachments->rowCount(); ++r) {
      std::string what = "attachment " + std::to_string(r + 1);
      part.read(what, [&] {
        m.attachments.push_back(readAttachment(node, *attachments, r, depth, cp, budget, problems, where + what + ": "));
      }, [&] {
        // Keep the attachment's place with what its table row says of it.
        Attachment a;
        a.props = readRow(*attachments, r, cp);
        dropRowBookkeeping(a.props);
        m.attachments.push_back(std::move(a));
      });
    }
  }
  return m;
}

namespace {

// The data tree of one node, read a block at a time while its store lives.
class DataTreeSource : public ValueSource {
 public:
  DataTreeSource(const NodeDatabase& db, DataTree tree, NodeId nid, std::weak_ptr<const bool> alive)
      : db_(&db), tree_(std::move(tree)), nid_(nid), alive_(std::move(alive)) {}

  std::uint64_t size() const override { return tree_.size; }

  // The same data, read through another store's database.
  std::shared_ptr<const DataTreeSource> through(const NodeDatabase& db, std::weak_ptr<const bool> alive) const {
    return std::make_shared<DataTreeSource>(db, tree_, nid_, std::move(alive));
  }
  bool readsThrough(const NodeDatabase& db) const { return db_ == &db; }

  void read(const std::function<void(ByteView)>& sink) const override {
    std::uint64_t handed = 0;
    for (const BbtEntry& block : tree_.blocks) {
      if (alive_.expired())
        throw Error(ErrorKind::InvalidArgument, "the data of node " + hexText(nid_) + " is read after its store was closed");
      const Bytes bytes = db_->readBlock(block);
      handed += bytes.size();
      sink(ByteView(bytes));
    }
    if (handed != tree_.size)
      throw Error(ErrorKind::Corrupt, "the data of node " + hexText(nid_) + " holds " + std::to_string(handed) +
                                          " bytes, not the " + std::to_string(tree_.size) + " its blocks state");
  }

 private:
  const NodeDatabase* db_;
  DataTree tree_;
  NodeId nid_;
  std::weak_ptr<const bool> alive_;
};

}  // namespace

Store::~Store() = default;

void Store::adoptDeferredData(Message& message) const {
  for (Attachment& attachment : message.attachments) {
    std::vector<std::pair<PropTag, std::shared_ptr<const DataTreeSource>>> rebound;
    for (const auto& [tag, value] : attachment.props.all()) {
      const auto* data = dynamic_cast<const DataTreeSource*>(value.source.get());
      if (data && !data->readsThrough(db_)) rebound.emplace_back(tag, data->through(db_, alive_));
    }
    for (auto& [tag, source] : rebound) attachment.props.set(tag, PropValue::deferred(std::move(source)));
    if (attachment.embedded) adoptDeferredData(*attachment.embedded);
  }
}

PropertyBag Store::readAttachmentProperties(const Node& node, ReadBudget& budget) const {
  PropertyContext context(node);
  if (options_.deferAttachmentDataFrom == std::numeric_limits<std::uint64_t>::max()) return context.readAll(&budget);
  PropertyBag bag;
  budget.charge(context.heap().size());
  for (const PropertyContext::Record& r : context.records()) {
    if (r.tag == tag::AttachDataBinary && r.valueOrHnid != 0 && !isHid(r.valueOrHnid)) {
      Node data = node.subnode(r.valueOrHnid);
      DataTree tree = data.dataTree();
      if (tree.size >= options_.deferAttachmentDataFrom) {
        bag.set(r.tag, PropValue::deferred(std::make_shared<DataTreeSource>(db_, std::move(tree), data.id(), alive_)));
        continue;
      }
    }
    bag.set(r.tag, context.value(r, &budget));
  }
  return bag;
}

Attachment Store::readAttachment(const Node& message, const TableContext& table, std::size_t row, unsigned depth,
                                 std::uint32_t cp, ReadBudget& budget, std::vector<std::string>* problems,
                                 const std::string& where) const {
  Node node = message.subnode(table.rowId(row));
  Attachment a;
  a.props = readAttachmentProperties(node, budget);
  finishBag(a.props, cp);
  const PropValue* object = a.props.get(tag::AttachDataObject);
  if (!object) return a;
  // PtypObject in a property context: the NID of the subnode that holds
  // the object, then its size ([MS-PST] 2.3.3.5).
  if (object->data.size() < 8)
    throw Error(ErrorKind::Corrupt, "the attachment object of node " + hexText(node.id()) + " has no subnode");
  Node inner = node.subnode(ByteView(object->data).u32(0));
  if (a.method() == kAttachEmbeddedMessage) {
    if (depth + 1 > limits::kMaxEmbeddingDepth)
      throw Error(ErrorKind::Limit, "messages are embedded more than " + std::to_string(limits::kMaxEmbeddingDepth) +
                                        " deep");
    a.embedded = std::make_unique<Message>(readMessageNode(inner, depth + 1, cp, budget, problems, where));
    a.props.remove(tag::AttachDataObject);
  } else {
    // An OLE attachment: the subnode holds the storage as a compound file.
    budget.charge(inner.dataTree().size);
    PropValue v;
    v.type = pt::Object;
    v.data = inner.read();
    a.props.set(tag::AttachDataObject, std::move(v));
  }
  return a;
}

}  // namespace varnolt::mapi::pst
