#pragma once
// A PST or OST file as a message store ([MS-PST] 2.4 messaging layer):
// the store's properties, the folder tree from the root folder down, and
// messages read whole into mapi::Message with their recipients,
// attachments and embedded messages.
//
// Everything handed out is in the library's Unicode form: String8 values
// of ANSI files are decoded through the object's code page
// (PR_MESSAGE_CODEPAGE, else PR_INTERNET_CPID, else the enclosing
// message's, else OpenOptions::ansiCodepage) and returned as PtypString;
// named ids carry their names (PropertyBag::nameOf). The file is opened
// read-only and never written.
//
//   auto store = pst::Store::open("mail.pst");
//   pst::Folder root = store->rootFolder();
//   for (NodeId id : root.subfolderIds()) { ... store->folder(id) ... }
//   mapi::Message m = store->readMessage(messageId);

#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mapi/message.h"
#include "mapi/pst/messaging/folder.h"
#include "mapi/pst/ltp/name_to_id_map.h"
#include "mapi/pst/ndb/node.h"
#include "mapi/pst/ltp/property_context.h"
#include "mapi/pst/ltp/table_context.h"

namespace varnolt::mapi::pst {

struct OpenOptions {
  // The code page of String8 values in ANSI files whose objects name none.
  std::uint32_t ansiCodepage = 1252;
  // Compare header, page and block CRCs. Off only to salvage what a
  // damaged file still holds.
  bool verifyChecksums = true;
  // Attachment data (PR_ATTACH_DATA_BIN kept in a subnode) of at least
  // this many bytes is not read with its message: the value carries a
  // mapi::ValueSource that reads the data tree a block at a time when the
  // value is written. Such a value reads only while its Store exists.
  std::uint64_t deferAttachmentDataFrom = std::numeric_limits<std::uint64_t>::max();
};

class Store {
 public:
  static std::unique_ptr<Store> open(const std::filesystem::path& path, const OpenOptions& options = {});
  static std::unique_ptr<Store> open(std::shared_ptr<const ByteSource> source, const OpenOptions& options = {});

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  FileLayout layout() const { return db_.header().layout; }
  bool isOst() const { return db_.header().isOst(); }
  const Header& header() const { return db_.header(); }
  const NodeDatabase& database() const { return db_; }

  // Problems found on opening that do not stop reading (a truncated file,
  // a damaged name-to-id map). Empty for a sound file.
  const std::vector<std::string>& warnings() const { return warnings_; }

  PropertyBag storeProperties() const;
  const NameToIdMap& nameMap() const { return names_; }

  Folder rootFolder() const { return folder(nid::RootFolder); }
  // The top of the personal folders (PR_IPM_SUBTREE_ENTRYID), if the store names one.
  std::optional<Folder> ipmSubtree() const;
  Folder folder(NodeId nid) const;

  // A message with its recipients and attachments, embedded messages read
  // to any depth. Without `problems` any failure throws; with it, parts
  // that cannot be read (a recipient table, an attachment) are described
  // there and left out, and only a message that cannot be read at all
  // throws.
  Message readMessage(NodeId nid, std::vector<std::string>* problems = nullptr) const;
  // Deferred attachment data of a message that another Store over the same
  // file read is read through this one from then on: the other may be
  // closed, or busy on another thread. Embedded messages included.
  void adoptDeferredData(Message& message) const;

  // The decoded, named properties of any node with a property context.
  PropertyBag readProperties(const Node& node, std::uint32_t inheritedCodepage = 0) const;
  // The decoded, named cells of a table row.
  PropertyBag readRow(const TableContext& table, std::size_t row, std::uint32_t inheritedCodepage = 0) const;

  // Decodes String8 values (ANSI files only) and names the named ids.
  void finishBag(PropertyBag& bag, std::uint32_t inheritedCodepage) const;
  // The code page String8 values of the bag are in.
  std::uint32_t codepageOf(const PropertyBag& bag, std::uint32_t inheritedCodepage) const;

 private:
  Store(std::shared_ptr<const ByteSource> source, const OpenOptions& options);
  Message readMessageNode(const Node& node, unsigned depth, std::uint32_t codepage, ReadBudget& budget,
                          std::vector<std::string>* problems, const std::string& where) const;
  Attachment readAttachment(const Node& message, const TableContext& table, std::size_t row, unsigned depth,
                            std::uint32_t codepage, ReadBudget& budget, std::vector<std::string>* problems,
                            const std::string& where) const;
  ReadBudget newBudget() const;
  // The attachment's properties, its large data left in place as a source.
  PropertyBag readAttachmentProperties(const Node& node, ReadBudget& budget) const;

  std::shared_ptr<const ByteSource> source_;
  NodeDatabase db_;
  OpenOptions options_;
  NameToIdMap names_;
  std::vector<std::string> warnings_;
  // Let go when the store is: deferred values check it before every read.
  std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

}  // namespace varnolt::mapi::pst
