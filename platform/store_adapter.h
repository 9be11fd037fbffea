#pragma once
// The pieces of the mail session over the store library, shared by its
// source files and its tests. Nothing outside platform/ and its tests
// includes this header; the program knows only mail_session.h.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/mail_store.h"
#include "mapi/error.h"
#include "mapi/message.h"
#include "mapi/pst/messaging/store.h"
#include "mapi/pst/writer/writer.h"
#include "platform/read_ahead.h"

namespace varnolt::platform::detail {

namespace pst = mapi::pst;

// Runs f and hands back its result; a failure of the store library (or
// any other exception) leaves as a StoreError "what: reason". StoreErrors
// already carry their context and pass through unchanged.
template <class F>
auto guarded(const std::string& what, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const engine::StoreError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw engine::StoreError(what + ": not enough memory");
  } catch (const mapi::Error& e) {
    if (e.kind() == mapi::ErrorKind::NoSpace) throw engine::DestinationFull(what + ": " + e.what());
    throw engine::StoreError(what + ": " + e.what());
  } catch (const std::exception& e) {
    throw engine::StoreError(what + ": " + e.what());
  }
}

// A node id as error texts show it ("0x200024").
std::string hexId(pst::NodeId nid);

// DefaultItemKind codes, as Outlook numbers its item types.
inline constexpr std::int32_t kAppointmentItemKind = 1;
inline constexpr std::int32_t kContactItemKind = 2;
inline constexpr std::int32_t kTaskItemKind = 3;
inline constexpr std::int32_t kJournalItemKind = 4;
inline constexpr std::int32_t kNoteItemKind = 5;
inline constexpr std::int32_t kPostItemKind = 6;

// The item kind of a folder with this container class: mail for IPF.Note
// and its subclasses, IPF.Imap and folders without a class; the matching
// kind for calendars, contacts, tasks, journals, notes and posts; and the
// post kind for any other class (configuration folders and the like), so
// that such folders are copied whole and left as they are.
std::int32_t ItemKindOfClass(const std::optional<std::string>& containerClass);

// The top of the personal folders of a store: the folder its IPM-subtree
// entry id names, else, as an OST lays it out, the "IPM_SUBTREE" folder
// under the mailbox root (the root folder, or its "Root - Mailbox"
// subfolder). Nothing when the store has neither.
std::optional<pst::NodeId> TopOfPersonalFolders(const pst::Store& store);

// The properties of a source folder that its copy takes over: all but the
// name, the counts and subfolder flag the new store keeps itself, the
// folder's own ids, and every id that names a folder of the source store
// (sourceStoreKey is its record key).
mapi::PropertyBag FolderSettings(const mapi::PropertyBag& folderProperties, const mapi::Bytes* sourceStoreKey);

// Attachment data of this many bytes or more is read from a source PST
// only as it is written.
inline constexpr std::uint64_t kDeferAttachmentDataFrom = 1u << 20;

// One open PST: a source read with pst::Store (never written) or a new
// file being written with pst::Writer. Folders, lists and messages hold it
// shared; the last one to let go finishes a new file.
class StoreState {
 public:
  // An existing file, read-only.
  static std::shared_ptr<StoreState> openSource(const std::filesystem::path& path);
  // A new Unicode PST; the file appears at path when the store is closed.
  static std::shared_ptr<StoreState> create(const std::filesystem::path& path, const std::string& displayName);
  ~StoreState();
  StoreState(const StoreState&) = delete;
  StoreState& operator=(const StoreState&) = delete;

  const std::filesystem::path& path() const { return path_; }
  bool isSource() const { return isSource_; }
  bool isOpen() const { return source_ != nullptr || writer_ != nullptr; }

  // The reader of a source; StoreError once the store is closed.
  const pst::Store& source() const;
  // The writer of a new file; StoreError for a source ("the source store
  // is read-only") and once the store is closed.
  pst::Writer& writer();

  // Finishes a new file (everything on disk, renamed into place) or lets go
  // of a source. Closing a closed store does nothing.
  void close();
  // Lets go of the store without finishing a new file: what was written of
  // it is removed.
  void discard();

  // Has the source's messages ids read ahead on a second thread, in this
  // order, and takes each when it was (see read_ahead.h). Nothing to take
  // once the store is closed.
  void readAhead(std::vector<pst::NodeId> ids);
  std::optional<mapi::Message> takeReadAhead(pst::NodeId nid, std::size_t* heldBytes = nullptr,
                                            std::optional<mapi::Message>* copy = nullptr);

  // Folders every new file must keep that the engine removed: they stay
  // in the file, empty and out of sight, until a folder of the same name
  // is added under the same parent.
  std::set<pst::NodeId> hidden;

 private:
  StoreState(std::filesystem::path path, bool isSource) : path_(std::move(path)), isSource_(isSource) {}
  [[noreturn]] void throwClosed() const;

  std::filesystem::path path_;
  bool isSource_;
  std::unique_ptr<pst::Store> source_;
  pst::OpenOptions sourceOptions_;
  std::unique_ptr<MessageReadAhead> readAhead_;
  std::unique_ptr<pst::Writer> writer_;
};

class PstMailStore : public engine::MailStore {
 public:
  explicit PstMailStore(std::shared_ptr<StoreState> state) : state_(std::move(state)) {}
  std::shared_ptr<engine::MailFolder> TopFolder() override;
  void KeepSettingsOf(const std::shared_ptr<engine::MailStore>& source) override;
  void Close() override;
  void Discard() override;
  const std::shared_ptr<StoreState>& state() const { return state_; }

 private:
  std::shared_ptr<StoreState> state_;
};

// A folder of a source store.
class SourceFolder : public engine::MailFolder {
 public:
  SourceFolder(std::shared_ptr<StoreState> state, pst::NodeId nid) : state_(std::move(state)), nid_(nid) {}
  std::string FolderName() override;
  std::shared_ptr<engine::FolderList> Subfolders() override;
  std::shared_ptr<engine::ItemList> ItemList() override;
  std::int32_t DefaultItemKind() override;
  void RemoveFolder() override;
  void CopyInto(const std::shared_ptr<engine::MailFolder>& destination) override;
  void CopySettingsInto(const std::shared_ptr<engine::MailFolder>& destination) override;

 private:
  std::string describe() const;
  std::shared_ptr<StoreState> state_;
  pst::NodeId nid_;
};

// A folder of a store being written.
class DestinationFolder : public engine::MailFolder {
 public:
  DestinationFolder(std::shared_ptr<StoreState> state, pst::NodeId id) : state_(std::move(state)), id_(id) {}
  std::string FolderName() override;
  std::shared_ptr<engine::FolderList> Subfolders() override;
  std::shared_ptr<engine::ItemList> ItemList() override;
  std::int32_t DefaultItemKind() override;
  void RemoveFolder() override;
  void CopyInto(const std::shared_ptr<engine::MailFolder>& destination) override;
  void CopySettingsInto(const std::shared_ptr<engine::MailFolder>& destination) override;

  pst::NodeId id() const { return id_; }
  const std::shared_ptr<StoreState>& state() const { return state_; }

 private:
  std::string describe();
  std::shared_ptr<StoreState> state_;
  pst::NodeId id_;
};

// The message a MailMessage works on, and a stable id for each of its
// attachments, so that an attachment object keeps meaning the same
// attachment when others before it are deleted.
struct MessageContent {
  mapi::Message message;
  std::vector<std::uint64_t> attachmentIds;
  std::uint64_t nextAttachmentId = 1;
  // Grows with every change, so a committed item can tell whether it has
  // changed since.
  std::uint64_t revision = 0;

  void replace(mapi::Message m);
  // Where the attachment with this id is now; nothing once it is deleted.
  std::optional<std::size_t> indexOf(std::uint64_t id) const;
};

// What every message does the same way: files, attachments and bodies.
// Subclasses say where the content comes from and where Commit puts it.
class MessageBase : public engine::MailMessage {
 public:
  void SaveToFile(const std::string& path) override;
  void ImportFromFile(const std::string& path, std::int32_t kind) override;
  std::shared_ptr<engine::AttachmentList> AttachmentList() override;
  std::string Body() override;
  void Body(const std::string& text) override;
  std::string HTMLBody() override;
  void HTMLBody(const std::string& text) override;
  std::string MessageClass() override;
  engine::MessageFacts Facts() override;
  engine::MessageSummary Summary() override;
  engine::BodyState Bodies() override;

  // The content, read on first use.
  MessageContent& content();

 protected:
  // Names the message in error texts.
  virtual std::string describe() const = 0;
  // Reads the content of a message that does not hold it yet.
  virtual mapi::Message load() = 0;

  std::shared_ptr<MessageContent> content_;
};

// A message of a source store, read whole when first needed. It can be
// changed in memory and saved to a file, never committed to its store.
class SourceMessage : public MessageBase {
 public:
  SourceMessage(std::shared_ptr<StoreState> state, pst::NodeId nid) : state_(std::move(state)), nid_(nid) {}
  // A message read only to be written out is not kept in memory afterwards.
  void SaveToFile(const std::string& path) override;
  void Commit() override;

 protected:
  std::string describe() const override;
  mapi::Message load() override;

 private:
  std::shared_ptr<StoreState> state_;
  pst::NodeId nid_;
};

// A message read from an Outlook item file; Commit writes the file back.
class FileMessage : public MessageBase {
 public:
  // Reads the file; StoreError when it cannot be read.
  explicit FileMessage(std::filesystem::path path);
  void Commit() override;

 protected:
  std::string describe() const override;
  mapi::Message load() override;

 private:
  std::filesystem::path path_;
  std::uint64_t readRevision_ = 0;  // the content's revision the file holds
};

// A new item of a folder of a store being written. The first Commit writes
// it into the folder; the file format cannot rewrite a message in place,
// so a later Commit with nothing changed does nothing and one after a
// change fails, leaving the committed message as it is.
class NewMessage : public MessageBase {
 public:
  NewMessage(std::shared_ptr<StoreState> state, pst::NodeId folder);
  void Commit() override;
  std::string EntryId() override;
  bool committed() const { return committed_.has_value(); }

 protected:
  std::string describe() const override;
  mapi::Message load() override;

 private:
  std::shared_ptr<StoreState> state_;
  pst::NodeId folder_;
  std::optional<std::uint64_t> committed_;  // the revision written
  std::optional<pst::NodeId> written_;      // the message's node in the new file
};

class MessageAttachments : public engine::AttachmentList {
 public:
  explicit MessageAttachments(std::shared_ptr<MessageContent> content) : content_(std::move(content)) {}
  std::int32_t Count() override;
  std::shared_ptr<engine::MailAttachment> Item(std::int32_t i) override;

 private:
  std::shared_ptr<MessageContent> content_;
};

class MessageAttachment : public engine::MailAttachment {
 public:
  MessageAttachment(std::shared_ptr<MessageContent> content, std::uint64_t id)
      : content_(std::move(content)), id_(id) {}
  std::string FileName() override;
  void SaveAsFile(const std::string& path) override;
  void ReadContent(const ContentSink& sink) override;
  void Delete() override;
  engine::AttachmentFacts Facts() override;
  std::vector<engine::StoredProperty> Properties() override;

 private:
  mapi::Attachment& attachment();
  // The bytes SaveAsFile writes, a piece at a time.
  void produceContent(const std::function<void(mapi::ByteView)>& sink);
  std::shared_ptr<MessageContent> content_;
  std::uint64_t id_;
};

// The name an attachment is saved under: long file name, else short file
// name, else display name; an embedded message without any of them takes
// its subject, and its name always ends in ".msg".
std::string AttachmentFileName(const mapi::Attachment& attachment);

// The size the filters and analyze go by: the bytes of an attachment's
// data (by value) or storage (OLE); for others (an embedded message, a
// reference) PR_ATTACH_SIZE as the store gives it, else 0.
std::int64_t AttachmentSize(const mapi::Attachment& attachment);

// The bytes SaveAsFile writes: the data of an attachment by value, an
// Outlook item file for an embedded message, the storage of an OLE
// attachment. StoreError for an attachment without data of its own.
mapi::Bytes AttachmentContent(const mapi::Attachment& attachment);

// About how much memory a message takes: the bytes of its values, with
// those of its recipients, attachments and embedded messages. A scratch
// item file of the run is held in memory up to 32 MiB of it, and written
// to disk when larger.
std::size_t HeldMessageBytes(const mapi::Message& message);

}  // namespace varnolt::platform::detail
