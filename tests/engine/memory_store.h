#pragma once
// A mail store held in memory, for testing the compression engine without
// the store library. Stores, folders (with item kinds), messages with plain
// and HTML bodies and attachments (by value, embedded messages, and by
// reference, which cannot be saved) behave as the engine expects of a real
// store. Files are real: .msg files and finished PST files are written to
// disk in a small format of this test store's own, so the engine's
// scratch-file handling runs against the real file system.
//
// Failure injection makes chosen operations throw engine::StoreError (or
// misbehave in the ways real stores do), so tests can check that every
// failure is noted and skipped.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/mail_store.h"

namespace varnolt::memstore {

struct MessageData;

struct AttachmentData {
  enum class Kind { ByValue, Embedded, ByReference };
  Kind kind = Kind::ByValue;
  std::string fileName;
  std::string content;                    // ByValue
  std::shared_ptr<MessageData> embedded;  // Embedded
  std::string target;                     // ByReference: where the file lies

  static std::shared_ptr<AttachmentData> value(const std::string& fileName, const std::string& content);
  static std::shared_ptr<AttachmentData> embeddedMessage(const std::string& fileName,
                                                          std::shared_ptr<MessageData> message);
  static std::shared_ptr<AttachmentData> reference(const std::string& fileName, const std::string& target);
};

struct MessageData {
  std::string subject;
  std::string body;
  std::string htmlBody;
  std::string messageClass = "IPM.Note";
  std::vector<std::shared_ptr<AttachmentData>> attachments;

  static std::shared_ptr<MessageData> make(const std::string& subject, const std::string& body = "",
                                           const std::string& htmlBody = "",
                                           std::vector<std::shared_ptr<AttachmentData>> attachments = {});
  std::shared_ptr<MessageData> clone() const;
};

struct FolderData : std::enable_shared_from_this<FolderData> {
  std::string name;
  std::int32_t kind = engine::kMailItemKind;
  std::vector<std::shared_ptr<MessageData>> items;
  // Associated (hidden) items and the folder's own properties by name;
  // CopySettingsInto brings both over.
  std::vector<std::shared_ptr<MessageData>> hidden;
  std::map<std::string, std::string> properties;
  std::vector<std::shared_ptr<FolderData>> subfolders;
  std::weak_ptr<FolderData> parent;

  // Adds a subfolder and answers it.
  std::shared_ptr<FolderData> add(const std::string& childName, std::int32_t childKind = engine::kMailItemKind);
  std::shared_ptr<FolderData> child(const std::string& childName) const;
  std::shared_ptr<FolderData> clone() const;
};

// The stored form of messages and PSTs (this test store's own format).
std::string serializeMessage(const MessageData& message);
std::shared_ptr<MessageData> parseMessage(const std::string& bytes);  // throws StoreError
std::string serializeFolder(const FolderData& folder);
std::shared_ptr<FolderData> parseFolder(const std::string& bytes);    // throws StoreError
// The folder tree of a finished PST file on disk; throws StoreError when
// the file is missing or was never finished.
std::shared_ptr<FolderData> readPstFile(const std::string& path);

// How an injected failure shows.
enum class FailureMode {
  Throw,              // StoreError, nothing changed
  WriteHalfThenThrow, // file writers: half the bytes reach the file, then StoreError
  SilentNothing,      // file writers: report success but write nothing
  DiskFull,           // engine::DestinationFull, as a write to a full file system gives
};

struct Injection {
  std::string operation;  // e.g. "SaveAsFile", "AddSubfolder", "Enumerate.Next"
  std::string match;      // part of the subject (name or path); empty matches all
  int skip = 0;           // matching calls let through before the first failure
  int times = -1;         // failures to inject; -1 for every matching call
  FailureMode mode = FailureMode::Throw;
};

struct PstData {
  std::string path;
  std::string displayName;
  std::shared_ptr<FolderData> top;
  bool created = false;  // made by AttachPstFile (a destination)
  std::string settingsFrom;  // the path of the source whose settings it keeps
  int closes = 0;
  int discards = 0;
};

// Everything one test's stores share: the PSTs by path, the Outlook
// version the sessions report, the failures to inject and a log of every
// operation ("Operation subject").
class MemoryWorld {
 public:
  std::string outlookVersion = "11.0.0.8118";
  std::vector<std::string> calls;
  int sessionsCreated = 0;
  // Folders a newly created PST starts with under its top folder.
  std::vector<std::string> newPstFolders;
  // Runs after every attachment file a SaveAsFile wrote (tests use it to
  // put something in the way of the archive).
  std::function<void(const std::string& path)> afterSave;
  // Runs after ReadContent handed over an attachment's bytes, with its
  // file name (the zip treatment is then writing its archive).
  std::function<void(const std::string& fileName)> afterRead;

  // A source PST at path: its data lives here, and a placeholder file is
  // put on disk so the engine finds it there.
  std::shared_ptr<FolderData> addSourcePst(const std::string& path);
  std::shared_ptr<PstData> pst(const std::string& path) const;
  std::map<std::string, std::shared_ptr<PstData>>& psts() { return psts_; }

  void inject(Injection injection) { injections_.push_back(std::move(injection)); }

  // Logs the call; throws or answers the injected mode when an injection
  // applies (nothing when the call goes ahead normally).
  std::optional<FailureMode> check(const std::string& operation, const std::string& subject);

  engine::SessionFactory factory();

  // Calls made to one operation, in order, as their subjects.
  std::vector<std::string> subjectsOf(const std::string& operation) const;

 private:
  std::map<std::string, std::shared_ptr<PstData>> psts_;
  std::vector<Injection> injections_;
  std::vector<int> seen_;
};

}  // namespace varnolt::memstore
