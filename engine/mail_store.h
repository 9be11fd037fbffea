#pragma once
// The mail store as the compression engine sees it: a session with attached
// PST stores, their folders, messages, .msg files and attachments. The
// engine knows only these operations; the store library sits behind them in
// an adapter, and the tests put an in-memory store in its place.
//
// Every object is shared (std::shared_ptr) and lives as long as its last
// holder. Every operation may fail. A failure reaches the caller as a
// StoreError carrying a reason a user can read, and leaves the object as it
// was before the call, so the engine can note it, skip the step and go on.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/attachment_filter.h"

namespace varnolt::engine {

class StoreError : public std::runtime_error {
 public:
  explicit StoreError(const std::string& reason) : std::runtime_error(reason) {}
};

// A write that found the destination's file system full (or the user's
// quota used up): nothing more of the new PST can be written there.
class DestinationFull : public StoreError {
 public:
  using StoreError::StoreError;
};

// Format of a store attached by AttachPstFile: a new Unicode PST.
inline constexpr std::int32_t kFormatUnicodePst = 1;
// Kind of file ImportFromFile reads: an Outlook item (.msg) file.
inline constexpr std::int32_t kImportMsgFile = 3;
// DefaultItemKind of a folder that holds mail.
inline constexpr std::int32_t kMailItemKind = 0;

class MailSession;
class StoreList;
class MailStore;
class MailFolder;
class FolderList;
class ItemList;
class MailMessage;
class AttachmentList;
class MailAttachment;

// One pass over the members of a list, each member once, in the store's
// order. Next() answers nullptr after the last member. When Next() throws,
// the member it could not produce is passed over and the following call
// goes on with the member after it.
template <class T>
class Enumerator {
 public:
  virtual ~Enumerator() = default;
  virtual std::shared_ptr<T> Next() = 0;
};

// One property of a stored object as the run's manifest records it: its
// tag and its value in the store's canonical bytes (one entry in values per
// value of a multi-valued property).
struct StoredProperty {
  std::uint32_t tag = 0;
  std::string value;
  std::vector<std::string> values;
};

// What the run's report says about a message; empty texts where the store
// cannot tell. date is ISO 8601 in UTC ("2026-12-07T09:05:03Z").
struct MessageSummary {
  std::string subject;
  std::string sender;
  std::string date;
};

// A message's body in each of its forms (UTF-8 text; the RTF as its
// decompressed document) and the properties that hold them, so that the
// run can record what it appended and restore can put back what was there.
struct BodyState {
  std::string plain;
  std::string html;
  std::string rtf;
  std::vector<StoredProperty> properties;
};

class MailAttachment {
 public:
  virtual ~MailAttachment() = default;
  // The attachment's own properties, its content left out; empty when the
  // store cannot list them.
  virtual std::vector<StoredProperty> Properties() { return {}; }
  // The attachment's file name, without a folder.
  virtual std::string FileName() = 0;
  // Writes the content to the file at path (an attachment by reference has
  // no content of its own and cannot be saved).
  virtual void SaveAsFile(const std::string& path) = 0;
  // Hands the bytes SaveAsFile would write to sink, in order, a piece at a
  // time, without a file: the zip treatment packs them straight into the
  // archive. Throws as SaveAsFile does for an attachment without content.
  using ContentSink = std::function<void(const std::uint8_t* data, std::size_t size)>;
  virtual void ReadContent(const ContentSink& sink) = 0;
  // Removes the attachment from its message; the message's Commit keeps the
  // removal.
  virtual void Delete() = 0;
  // Its size and how the body shows it, read without its content; only
  // the run's filters ask. A store that cannot tell throws.
  virtual AttachmentFacts Facts() { throw StoreError("the store does not tell the attachment's size"); }
};

class AttachmentList {
 public:
  virtual ~AttachmentList() = default;
  virtual std::int32_t Count() = 0;
  // The i-th attachment, from 1. Deleting an attachment leaves the indexes
  // below it unchanged.
  virtual std::shared_ptr<MailAttachment> Item(std::int32_t i) = 0;
};

class MailMessage {
 public:
  virtual ~MailMessage() = default;
  // Writes the message as an Outlook item (.msg) file.
  virtual void SaveToFile(const std::string& path) = 0;
  // Replaces the message's content by that of the file; kind is
  // kImportMsgFile.
  virtual void ImportFromFile(const std::string& path, std::int32_t kind) = 0;
  virtual std::shared_ptr<::varnolt::engine::AttachmentList> AttachmentList() = 0;
  // Saves pending changes: into the folder for an item of a store, into the
  // file for a message opened from a .msg file.
  virtual void Commit() = 0;
  virtual std::string Body() = 0;
  virtual void Body(const std::string& text) = 0;
  virtual std::string HTMLBody() = 0;
  virtual void HTMLBody(const std::string& text) = 0;
  // The message class, e.g. "IPM.Note" or "IPM.Note.SMIME".
  virtual std::string MessageClass() = 0;
  // Its dates, whether it is a draft, and the bodies inline references
  // stand in; only the run's filters ask. A store that cannot tell throws.
  virtual MessageFacts Facts() { throw StoreError("the store does not tell the message's dates"); }
  // For the run's report; stores that cannot tell answer empty values.
  virtual MessageSummary Summary() { return {}; }
  virtual BodyState Bodies() { return {}; }
  // The entry id (hex) of a committed item of a store; empty when it has
  // none or the store cannot tell.
  virtual std::string EntryId() { return {}; }
};

class ItemList {
 public:
  virtual ~ItemList() = default;
  virtual std::int32_t Count() = 0;
  virtual std::unique_ptr<Enumerator<MailMessage>> Enumerate() = 0;
  // A new, empty item of the folder; it becomes part of the folder when it
  // is committed.
  virtual std::shared_ptr<MailMessage> NewItem() = 0;
};

class FolderList {
 public:
  virtual ~FolderList() = default;
  virtual std::int32_t Count() = 0;
  virtual std::unique_ptr<Enumerator<MailFolder>> Enumerate() = 0;
  virtual std::shared_ptr<MailFolder> AddSubfolder(const std::string& name) = 0;
};

class MailFolder {
 public:
  virtual ~MailFolder() = default;
  virtual std::string FolderName() = 0;
  virtual std::shared_ptr<FolderList> Subfolders() = 0;
  virtual std::shared_ptr<::varnolt::engine::ItemList> ItemList() = 0;
  // kMailItemKind for a folder of mail; other values for calendars,
  // contacts, tasks, notes and the like.
  virtual std::int32_t DefaultItemKind() = 0;
  // Deletes the folder with everything in it.
  virtual void RemoveFolder() = 0;
  // Copies the folder whole (items, subfolders) into destination.
  virtual void CopyInto(const std::shared_ptr<MailFolder>& destination) = 0;
  // Gives destination, a folder made anew for this one, what the folder
  // holds besides its messages and subfolders: its hidden (associated)
  // items such as rules and view settings, copied as they are, and its own
  // properties (comment, container class, views, flags and the rest).
  // The destination keeps its own name, counts and subfolder flag, and
  // takes no id that names a folder of this folder's store. Whatever could
  // be copied stays copied when the call fails.
  virtual void CopySettingsInto(const std::shared_ptr<MailFolder>& destination) = 0;
};

class MailStore {
 public:
  virtual ~MailStore() = default;
  virtual std::shared_ptr<MailFolder> TopFolder() = 0;
  // A new store keeps the settings of the source it is made from: its
  // password, the folders it names as its special folders and the folders
  // that receive new mail. Close points them at the new store's folders on
  // the same path from the top and leaves out those it does not have. A
  // source store is read-only and refuses.
  virtual void KeepSettingsOf(const std::shared_ptr<MailStore>& source) = 0;
  // Finishes the store's file: everything written so far is on disk and
  // the file is complete. The store is not used afterwards. A store that
  // was only read just lets go of its file.
  virtual void Close() = 0;
  // Abandons a store being written: its unfinished file is removed and
  // nothing appears at its path. A store that was only read just lets go
  // of its file. The store is not used afterwards.
  virtual void Discard() = 0;
};

class StoreList {
 public:
  virtual ~StoreList() = default;
  virtual std::int32_t Count() = 0;
  virtual std::unique_ptr<Enumerator<MailStore>> Enumerate() = 0;
  // Opens the PST at path, or creates it when there is no file there.
  // format is kFormatUnicodePst; displayName names a store being created.
  virtual std::shared_ptr<MailStore> AttachPstFile(const std::string& path, std::int32_t format,
                                                   const std::optional<std::string>& displayName) = 0;
};

class MailSession {
 public:
  virtual ~MailSession() = default;
  // Logs on without asking the user anything.
  virtual void LogOnDefault() = 0;
  // A dotted version text such as "11.0.0.8118"; its first two characters
  // give the major version.
  virtual std::string OutlookVersion() = 0;
  virtual std::shared_ptr<::varnolt::engine::StoreList> StoreList() = 0;
  // The message in the .msg file at path; its Commit writes the file.
  virtual std::shared_ptr<MailMessage> GetMessageFromMsgFile(const std::string& path) = 0;
};

// Creates the session of one run; the desktop program and the command line
// hand the engine one over the store library. May throw StoreError.
using SessionFactory = std::function<std::shared_ptr<MailSession>()>;

}  // namespace varnolt::engine
