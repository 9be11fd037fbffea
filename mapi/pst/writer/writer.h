#pragma once
// A new Unicode PST file as a message store ([MS-PST] 2.4 messaging layer,
// 2.7 minimum PST requirements). A new file holds what Outlook puts in
// one: the message store, the name-to-id map, the table templates, the
// search management nodes, the root folder with "Top of Personal Folders",
// "Search Root" and the spam search folder, and "Deleted Items", and the
// empty tables and lists Outlook keeps in every file (outgoing queue,
// search domain). Every node and subnode id comes from the header's
// counters, as Outlook takes the ids of what it adds later.
//
// Folders can be created, removed and filled in any order. Messages go to
// the file as they are added (their blocks are written at once); folders,
// their tables and counts are kept in memory, always in step, and written
// by close(). The receive folder table sends new mail to the Inbox under
// the top of personal folders when there is one (to the root otherwise),
// as Outlook's tables do; a copy, or a file that keeps another store's
// settings, follows that store's table instead. Only close() puts the file
// at its path: until then it lives
// under a temporary name, and a writer destroyed without close() removes
// it.
//
//   auto w = pst::Writer::create("out.pst", "Personal Folders");
//   auto inbox = w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note");
//   w->addMessage(inbox, message);
//   w->close();

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mapi/message.h"
#include "mapi/pst/messaging/entry_id.h"
#include "mapi/pst/writer/database_writer.h"
#include "mapi/pst/writer/name_map_writer.h"
#include "mapi/pst/writer/property_context_writer.h"
#include "mapi/pst/writer/row_store.h"

namespace varnolt::mapi::pst {

class Store;

struct WriterOptions {
  // Outlook's default for new files is the permutative encoding.
  CryptMethod crypt = CryptMethod::Permute;
  // With a seed, the store's unique id, the times the writer stamps and
  // the keys it makes up come from it, so the same input gives the same
  // file byte for byte.
  std::optional<std::uint64_t> seed;
};

// What a copy from another store did; parts that could not be read are
// described and left out, and the copy goes on.
struct CopyReport {
  std::size_t folders = 0;
  std::size_t messages = 0;
  std::vector<std::string> problems;
  // When set, every message (not the hidden ones) passes through it, with
  // its node id in the source, on its way into the new file.
  std::function<void(NodeId sourceMessage, Message& message)> change;
};

class Writer {
 public:
  using FolderId = NodeId;

  static std::unique_ptr<Writer> create(const std::filesystem::path& path, const std::string& displayName,
                                        const WriterOptions& options = {});
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // The folders every new file has.
  FolderId rootFolder() const { return nid::RootFolder; }
  FolderId ipmSubtree() const { return ipm_; }
  FolderId deletedItems() const { return deleted_; }
  FolderId searchRoot() const { return finder_; }

  FolderId createFolder(FolderId parent, const std::string& name, const std::string& containerClass = {});
  // A folder with these properties (named ones carry their names). The
  // counts and the subfolder flag are the writer's to keep.
  FolderId createFolder(FolderId parent, const PropertyBag& props);
  std::optional<FolderId> findSubfolder(FolderId parent, const std::string& name) const;
  std::vector<FolderId> subfolders(FolderId parent) const;
  // The folder's properties as they stand (named ids carry their names).
  PropertyBag folderProperties(FolderId folder) const;
  void setFolderProperties(FolderId folder, const PropertyBag& props);
  std::size_t messageCount(FolderId folder, bool associated = false) const;
  // Removes the folder with everything in and below it. The folders every
  // file has cannot be removed.
  void removeFolder(FolderId folder);

  // Writes the message with its recipients, attachments and embedded
  // messages; named properties get this file's ids for their names.
  // Returns the message's node id.
  NodeId addMessage(FolderId folder, const Message& message, bool associated = false);

  PropertyBag storeProperties() const;
  // The entry id that names the object nid (a message, a folder) of this file.
  Bytes entryId(NodeId nid) const;
  // Sets store properties; the record key, the entry ids of the special
  // folders and the mask of valid ones stay the writer's own.
  void setStoreProperties(const PropertyBag& props);

  // A folder of another store with its messages and subfolders, under
  // `parent`. Search folders are left out (they only hold search results).
  FolderId copyFolderFrom(const Store& source, NodeId sourceFolder, FolderId parent, CopyReport* report = nullptr);
  // A whole store: its properties and every folder; its top of personal
  // folders and deleted items go into this file's own.
  void copyStoreFrom(const Store& source, CopyReport* report = nullptr);
  // For a file whose folders are made anew from another store's: keeps
  // that store's password, its special-folder entry ids (store, root
  // folder, Inbox) and its receive folders. close() points them at the
  // folders this file has on the same path from the top (or the root),
  // and leaves out those that name a folder it does not have.
  void keepSettingsOf(const Store& source);

  // Finishes the file and renames it into place. Nothing can be added after.
  void close();
  bool closed() const { return closed_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  struct FolderState {
    NodeId nid = 0;
    NodeId parent = 0;
    PropertyBag props;  // this file's tags, names kept in the bag
    std::vector<NodeId> children;
    RowStore contents;
    std::vector<PackedRow> associated;
    // The nodes of its messages and every block they wrote, for a removal
    // of the folder; flat lists, a few bytes a message.
    std::vector<NodeId> messageNodes;
    std::vector<BlockId> messageBlocks;
    std::size_t unread = 0;
  };
  struct Written {
    WrittenNode node;
    PropertyRefs props;  // what went into the property context
    std::uint64_t size = 0;
  };

  Writer(const std::filesystem::path& path, const std::string& displayName, const WriterOptions& options);
  void requireOpen() const;
  FolderState& folderState(FolderId id);
  const FolderState& folderState(FolderId id) const;
  FolderId newFolder(FolderId parent, PropertyBag props, NodeId nid = 0);
  void mapInto(const PropertyBag& bag, PropertyRefs& out);
  PropertyBag mapBag(const PropertyBag& bag);
  Written writeMessage(const Message& message, unsigned depth, bool associated);
  WrittenNode writeNode(LtpNode&& node);
  void writeFolder(const FolderState& f, const PropertyRefs& props, const PropertyBag* searchFolder);
  void finishProperties(PropertyRefs& refs, PropertyBag& storage) const;
  void mergeFolder(const Store& source, NodeId sourceFolder, FolderId target, CopyReport* report);
  // Copies make the whole folder tree first, then the messages, so a
  // message's entry ids of folders can be pointed at their copies.
  struct CopyStep {
    NodeId source;
    FolderId target;
  };
  void copyTree(const Store& source, NodeId sourceFolder, FolderId target, CopyReport* report,
                std::vector<CopyStep>& steps);
  void copyMessages(const Store& source, const std::vector<CopyStep>& steps, CopyReport* report);
  FolderId makeFolderCopy(const Store& source, NodeId sourceFolder, FolderId parent, CopyReport* report,
                          std::vector<CopyStep>& steps);
  void learnSource(const Store& source);
  std::optional<FolderId> copyOf(NodeId sourceNid) const;
  IdChange mapSourceId(ByteView id, bool foldersOnly) const;
  void mapMessageIds(PropertyRefs& props) const;
  void writeReceiveFolders();
  std::uint64_t now();
  Bytes randomBytes(std::size_t n);

  std::filesystem::path path_;
  WriterOptions options_;
  std::unique_ptr<NodeDatabaseWriter> db_;
  std::unique_ptr<RowFile> rowFile_;  // made with the first message
  NameMapWriter names_;
  std::map<FolderId, FolderState> folders_;
  PropertyBag storeProps_;
  std::array<std::uint8_t, 16> uid_{};
  FolderId ipm_ = 0, deleted_ = 0, finder_ = 0;
  TableLayout hierarchyLayout_, contentsLayout_, assocLayout_, searchLayout_, attachmentLayout_, recipientLayout_,
      receiveLayout_;
  // Entry ids of a store being copied: the uids it names itself by, and
  // where its folders and messages went.
  std::vector<ProviderUid> sourceUids_;
  std::map<NodeId, NodeId> copiedNodes_;
  // A store whose settings this file keeps (keepSettingsOf): where each of
  // its folders lies, as names (and which of equal names) from its top
  // of personal folders or its root, its Inbox, and its receive folders.
  struct SourcePath {
    bool fromTop = false;
    std::vector<std::pair<std::string, std::size_t>> steps;
  };
  std::map<NodeId, SourcePath> sourcePaths_;
  std::optional<NodeId> sourceInbox_;
  PropertyBag sourceInboxIds_;
  std::optional<std::vector<ReceiveFolder>> sourceReceive_;
  bool inboxBit_ = false;
  std::uint64_t random_ = 0;
  std::uint64_t clock_ = 0;
  bool closed_ = false;
};

}  // namespace varnolt::mapi::pst
