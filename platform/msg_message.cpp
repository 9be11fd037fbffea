// Messages and attachments of the mail session: a message of a source PST,
// a message of an Outlook item file and a new item of a PST being written
// share one in-memory form (mapi::Message) and differ only in where their
// content comes from and where Commit puts it.

#include <algorithm>
#include <chrono>
#include <cctype>
#include <exception>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#include "base/file_system.h"
#include "base/utf8_path.h"
#include "engine/run_helpers.h"
#include "engine/run_report.h"
#include "mapi/body/body.h"
#include "mapi/msg/msg_file.h"
#include "mapi/rtf/compressed_rtf.h"
#include "mapi/tags.h"
#include "mapi/util/digest_ahead.h"
#include "mapi/util/sha256.h"
#include "platform/store_adapter.h"

namespace varnolt::platform::detail {

namespace {

using engine::StoreError;

constexpr std::int32_t kMsgFlagHasAttach = 0x10;
constexpr std::int32_t kMsgFlagUnsent = 0x8;
constexpr std::uint16_t kPropIdAttachContentLocation = 0x3713;

bool endsWithIgnoringCase(const std::string& s, const std::string& tail) {
  if (s.size() < tail.size()) return false;
  return std::equal(tail.begin(), tail.end(), s.end() - static_cast<std::ptrdiff_t>(tail.size()), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
}

// A subject as readers show it: without the prefix-length marker some
// stores put in front (U+0001 and a length character).
std::string shownSubject(std::string s) {
  if (s.size() >= 2 && s[0] == '\x01') s.erase(0, 2);
  return s;
}

// A write that failed; a full file system is told apart, since nothing
// more can be written there.
[[noreturn]] void throwWriteError(const std::string& what, const std::error_code& error) {
  const std::string reason = what + ": " + error.message();
  if (base::isNoSpace(error)) throw engine::DestinationFull(reason);
  throw StoreError(reason);
}

// A saved attachment is written under a temporary name and renamed into
// place when whole, so a failure never leaves a file that looks complete.
// It is not flushed to disk on its own: a flush per attachment took most
// of an extract run. The run flushes the attachment folder once, before it
// finishes the new PST that no longer holds the attachments.
void writeFileWhole(const std::string& path,
                    const std::function<void(const std::function<void(mapi::ByteView)>&)>& produce) {
  std::error_code error;
  base::NewFileOptions options;
  options.temporaryTag = ".part-";
  // Dropped unpublished on every way out (a piece that cannot be read
  // included), it takes its temporary file along: nothing that looks saved
  // is left.
  const std::unique_ptr<base::NewFile> file = base::fileSystem().createWhole(base::pathFromUtf8(path), options, error);
  if (!file) throwWriteError("cannot create a file beside " + path, error);
  std::uint64_t written = 0;
  produce([&](mapi::ByteView piece) {
    file->writeAt(written, piece.data(), piece.size(), error);
    if (error) throwWriteError("cannot write " + path, error);
    written += piece.size();
  });
  file->close(error);
  if (error) throwWriteError("cannot write " + path, error);
  if (!file->publish(true, error)) throwWriteError("cannot put " + path + " in place", error);
}

// The last scratch file written, with the message it holds. The walk
// reads each scratch file back right after writing it; while the file is
// still the one written (same file, size and times), the message is
// handed over instead of parsed again, which was a good part of the copy's
// work. Anything else reads the file.
struct WrittenScratch {
  std::string path;
  base::FileIdentity identity;
  std::optional<mapi::Message> message;
};

WrittenScratch& lastScratch() {
  static WrittenScratch written;
  return written;
}

void remember(const std::string& path, const base::FileIdentity& identity, mapi::Message message) {
  WrittenScratch& w = lastScratch();
  w.path = path;
  w.identity = identity;
  w.message = std::move(message);
}

// The run's .msg files are scratch files, gone as soon as their message is
// in the new PST, so they are not flushed to disk: a flush per write took
// longer than all the rest of the copy. A file written again is
// overwritten and then cut to its new length, neither truncated to nothing
// first nor renamed over: ext4 pushes a file replaced those ways to disk at
// once (auto_da_alloc), which cost several milliseconds per message, and a
// new file per write costs a new inode. A write that fails is reported
// like any other.
void writeMessageFileToDisk(const std::string& path, mapi::Message message) {
  lastScratch().message.reset();
  const mapi::Bytes bytes = mapi::msg::writeMessage(message);
  std::error_code error;
  const std::unique_ptr<base::OpenFile> file = base::fileSystem().openWrite(path, false, error);
  if (!file) throwWriteError("cannot create " + path, error);
  file->writeAt(0, bytes.data(), bytes.size(), error);
  if (!error) file->resize(bytes.size(), error);
  if (error) throwWriteError("cannot write " + path, error);
  std::error_code identityError;
  const base::FileIdentity identity = file->identity(identityError);
  file->close(error);
  if (error) throwWriteError("cannot write " + path, error);
  if (!identityError) remember(path, identity, std::move(message));
}

std::size_t valueBytes(const mapi::PropertyBag& props) {
  std::size_t total = 0;
  for (const auto& [tag, value] : props.all()) {
    total += value.data.size() + 16;
    for (const mapi::Bytes& v : value.values) total += v.size() + 16;
  }
  return total;
}

}  // namespace

std::size_t HeldMessageBytes(const mapi::Message& message) {
  std::size_t total = valueBytes(message.props);
  for (const mapi::PropertyBag& r : message.recipients) total += valueBytes(r);
  for (const mapi::Attachment& a : message.attachments) {
    total += valueBytes(a.props);
    if (a.embedded) total += HeldMessageBytes(*a.embedded);
  }
  return total;
}

namespace {

// The item files of the run's scratch folder are kept in memory: written,
// read back, changed and imported, every message of a PST used to pass
// through the disk twice over for nothing. A file is held only while the
// folder it goes into exists, so a write that would fail on disk fails
// here too. Importing a held file hands its message on to the new item and
// lets go of it: the walk deletes the file right after, and a file of the
// folder that is never imported stays held until others push it out to
// disk. A message too large to hold is written to disk as before, so
// memory stays well under the run's bound.
class HeldScratchFiles {
 public:
  static HeldScratchFiles& instance() {
    static HeldScratchFiles files;
    return files;
  }

  // Whether a file at path is one of the scratch folder's.
  static bool isScratchPath(const std::string& path) {
    const std::filesystem::path p = base::pathFromUtf8(path);
    return p.has_parent_path() && p.parent_path().filename() == engine::kScratchFolderName;
  }

  // Holds message as the file at path; false when it is to go to disk.
  // heldBytes is HeldMessageBytes(message) when known already; copy, when
  // given, is a copy of message made ahead on another thread, for the
  // first reader of the file.
  bool put(const std::string& path, mapi::Message& message, std::optional<std::size_t> heldBytes = std::nullopt,
           std::optional<mapi::Message> copy = std::nullopt) {
    if (!isScratchPath(path)) return false;
    const std::size_t bytes = heldBytes ? *heldBytes : HeldMessageBytes(message);
    if (bytes > kLargestHeld) return false;
    base::FileSystem& files = base::fileSystem();
    std::error_code error;
    if (!folderThere(base::pathFromUtf8(path).parent_path())) return false;
    std::vector<Held> spilled;
    {
      std::lock_guard lock(mutex_);
      // An older file on disk under the same name is replaced. Only a file
      // written to disk from here can be there: the run's scratch folder is
      // written by nobody else, and asking the disk for every message cost
      // a failed delete each.
      if (!eraseLocked(path) && onDisk_.erase(path) > 0) files.remove(path, error);
      held_.push_back(Held{path, std::move(message), bytes, std::move(copy)});
      total_ += held_.back().kept();
      while (total_ > kMostHeld && held_.size() > 1) {
        total_ -= held_.front().kept();
        onDisk_.insert(held_.front().path);
        spilled.push_back(std::move(held_.front()));
        held_.pop_front();
      }
    }
    // Pushed out: the files become what they would have been all along.
    for (Held& h : spilled) {
      try {
        writeMessageFileToDisk(h.path, std::move(h.message));
      } catch (const std::exception&) {
        // Its folder is gone with the run that made it; so is the file.
      }
    }
    return true;
  }

  bool holds(const std::string& path) {
    std::lock_guard lock(mutex_);
    return find(path) != held_.end();
  }

  // A copy of the held file's message (the one made ahead, if any);
  // nothing when path is not held.
  std::optional<mapi::Message> read(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto it = find(path);
    if (it == held_.end()) return std::nullopt;
    if (!it->copy) return it->message;
    std::optional<mapi::Message> copy = std::move(it->copy);
    it->copy.reset();
    total_ -= it->bytes;
    return copy;
  }

  // The held file's message, no longer held.
  std::optional<mapi::Message> take(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto it = find(path);
    if (it == held_.end()) return std::nullopt;
    mapi::Message m = std::move(it->message);
    total_ -= it->kept();
    held_.erase(it);
    return m;
  }

  // Lets go of a file about to be written to disk under the same name.
  void forget(const std::string& path) {
    std::lock_guard lock(mutex_);
    eraseLocked(path);
    onDisk_.insert(path);
  }

 private:
  static constexpr std::size_t kLargestHeld = 32u << 20;
  static constexpr std::size_t kMostHeld = 64u << 20;

  struct Held {
    std::string path;
    mapi::Message message;
    std::size_t bytes = 0;
    std::optional<mapi::Message> copy;  // made ahead, until the file is first read
    std::size_t kept() const { return copy ? 2 * bytes : bytes; }
  };

  std::list<Held>::iterator find(const std::string& path) {
    return std::find_if(held_.begin(), held_.end(), [&](const Held& h) { return h.path == path; });
  }

  // Whether the folder is there. A run puts thousands of files a second
  // into its one scratch folder: the disk is asked again about the same
  // folder once a tenth of a second has passed since it was last seen.
  bool folderThere(const std::filesystem::path& folder) {
    const auto now = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(mutex_);
      if (folder == seenFolder_ && now - seenAt_ < kFolderSeenFor) return true;
    }
    std::error_code error;
    if (base::fileSystem().status(folder, error).type != base::EntryType::Folder) return false;
    std::lock_guard lock(mutex_);
    seenFolder_ = folder;
    seenAt_ = now;
    return true;
  }

  // Whether a file was held at path.
  bool eraseLocked(const std::string& path) {
    auto it = find(path);
    if (it == held_.end()) return false;
    total_ -= it->kept();
    held_.erase(it);
    return true;
  }

  std::mutex mutex_;
  std::list<Held> held_;
  std::size_t total_ = 0;
  // Scratch files written to disk from here, which a later put replaces.
  std::set<std::string> onDisk_;
  static constexpr std::chrono::milliseconds kFolderSeenFor{100};
  std::filesystem::path seenFolder_;
  std::chrono::steady_clock::time_point seenAt_;
};

void writeScratchMessageFile(const std::string& path, mapi::Message message,
                             std::optional<std::size_t> heldBytes = std::nullopt,
                             std::optional<mapi::Message> copy = std::nullopt) {
  HeldScratchFiles& held = HeldScratchFiles::instance();
  if (held.put(path, message, heldBytes, std::move(copy))) return;
  held.forget(path);
  writeMessageFileToDisk(path, std::move(message));
}

// An item file read whole and then parsed: the compound-file reader would
// otherwise fetch it a sector at a time, dozens of reads per message, and
// the parsed message holds all of it in memory anyway.
mapi::Message readWholeMessageFile(const std::string& path) {
  if (std::optional<mapi::Message> held = HeldScratchFiles::instance().read(path)) return std::move(*held);
  std::error_code error;
  const std::unique_ptr<base::ReadableFile> file = base::fileSystem().openRead(path, error);
  if (!file) throw StoreError("cannot open " + path + ": " + error.message());
  const base::FileIdentity identity = file->identity(error);
  if (error || file->type() != base::EntryType::File) throw StoreError(path + ": not a file");
  WrittenScratch& w = lastScratch();
  if (w.message && w.path == path && w.identity == identity) {
    mapi::Message m = std::move(*w.message);
    w.message.reset();
    return m;
  }
  mapi::Bytes bytes(static_cast<std::size_t>(identity.size));
  std::size_t have = 0;
  while (have < bytes.size()) {
    const std::size_t n = file->readAt(have, bytes.data() + have, bytes.size() - have, error);
    if (!error && n == 0) error = std::make_error_code(std::errc::io_error);
    if (error) throw StoreError("cannot read " + path + ": " + error.message());
    have += n;
  }
  return mapi::msg::readMessage(bytes);
}

// With its last attachment gone, a message no longer says it has any.
void noteAttachmentsGone(mapi::PropertyBag& props) {
  if (auto flags = props.getInt32(mapi::tag::MessageFlags))
    props.set(mapi::tag::MessageFlags, mapi::PropValue::int32(*flags & ~kMsgFlagHasAttach));
  if (props.has(mapi::tag::HasAttachments)) props.set(mapi::tag::HasAttachments, mapi::PropValue::boolean(false));
}

}  // namespace

// ---- MessageContent

void MessageContent::replace(mapi::Message m) {
  message = std::move(m);
  attachmentIds.clear();
  for (std::size_t i = 0; i < message.attachments.size(); ++i) attachmentIds.push_back(nextAttachmentId++);
  ++revision;
}

std::optional<std::size_t> MessageContent::indexOf(std::uint64_t id) const {
  auto it = std::find(attachmentIds.begin(), attachmentIds.end(), id);
  if (it == attachmentIds.end()) return std::nullopt;
  return static_cast<std::size_t>(it - attachmentIds.begin());
}

// ---- attachments

std::string AttachmentFileName(const mapi::Attachment& a) {
  const bool embedded = a.embedded != nullptr || a.method() == mapi::kAttachEmbeddedMessage;
  if (!embedded) return a.fileName().value_or("");
  std::string name;
  for (mapi::PropTag t : {mapi::tag::AttachLongFilename, mapi::tag::AttachFilename, mapi::tag::DisplayName}) {
    if (auto s = a.props.getString(mapi::propId(t)); s && !s->empty()) {
      name = *s;
      break;
    }
  }
  if (name.empty() && a.embedded) name = shownSubject(a.embedded->props.getString(mapi::propId(mapi::tag::Subject)).value_or(""));
  if (name.empty()) name = "Untitled";
  // It is saved as an Outlook item file, which a desktop opens only by
  // its ".msg"; a name without it, or with another extension, gets it.
  return endsWithIgnoringCase(name, ".msg") ? name : name + ".msg";
}

namespace {

bool isReference(std::int32_t method) {
  return method == mapi::kAttachByReference || method == mapi::kAttachByRefResolve ||
         method == mapi::kAttachByRefOnly || method == mapi::kAttachByWebReference;
}

}  // namespace

mapi::Bytes AttachmentContent(const mapi::Attachment& a) {
  const std::int32_t method = a.method();
  if (a.embedded) return mapi::msg::writeMessage(*a.embedded);
  switch (method) {
    case mapi::kAttachEmbeddedMessage:
      throw StoreError("the embedded message of this attachment is missing");
    case mapi::kAttachByReference:
    case mapi::kAttachByRefResolve:
    case mapi::kAttachByRefOnly:
    case mapi::kAttachByWebReference: {
      std::string where = a.props.getString(mapi::propId(mapi::tag::AttachLongPathname))
                              .value_or(a.props.getString(mapi::propId(mapi::tag::AttachPathname)).value_or(""));
      throw StoreError("the attachment only refers to a file elsewhere" + (where.empty() ? "" : " (" + where + ")") +
                       " and holds no data to save");
    }
    case mapi::kAttachOle:
      // The storage of the OLE object, as the compound file it is.
      if (const mapi::PropValue* object = a.props.get(mapi::tag::AttachDataObject); object && !object->data.empty())
        return object->data;
      break;
    default:
      break;
  }
  if (const mapi::PropValue* data = a.props.get(mapi::tag::AttachDataBinary); data && !data->isMulti())
    return data->bytes();
  throw StoreError("the attachment holds no data to save");
}

std::int64_t AttachmentSize(const mapi::Attachment& a) {
  if (const mapi::PropValue* data = a.props.get(mapi::tag::AttachDataBinary))
    return static_cast<std::int64_t>(data->byteSize());
  if (const mapi::PropValue* object = a.props.get(mapi::tag::AttachDataObject))
    return static_cast<std::int64_t>(object->data.size());
  return std::max<std::int64_t>(0, a.props.getInt32(mapi::tag::AttachSize).value_or(0));
}

std::int32_t MessageAttachments::Count() {
  return content_->attachmentIds.size() > 0x7FFFFFFF ? 0x7FFFFFFF
                                                     : static_cast<std::int32_t>(content_->attachmentIds.size());
}

std::shared_ptr<engine::MailAttachment> MessageAttachments::Item(std::int32_t i) {
  const std::size_t n = content_->attachmentIds.size();
  if (i < 1 || static_cast<std::size_t>(i) > n)
    throw StoreError("Item(" + std::to_string(i) + "): the message has " + std::to_string(n) + " attachment(s)");
  return std::make_shared<MessageAttachment>(content_, content_->attachmentIds[static_cast<std::size_t>(i - 1)]);
}

mapi::Attachment& MessageAttachment::attachment() {
  std::optional<std::size_t> at = content_->indexOf(id_);
  if (!at) throw StoreError("the attachment has been deleted from its message");
  return content_->message.attachments[*at];
}

std::string MessageAttachment::FileName() {
  return guarded("FileName", [&] { return AttachmentFileName(attachment()); });
}

void MessageAttachment::SaveAsFile(const std::string& path) {
  guarded("SaveAsFile " + path, [&] {
    // The digest of what is written, for the run's report: it need not
    // read the file back while the file is still the one written. Data
    // held whole may have been digested ahead, beside the reading.
    std::string sha256;
    writeFileWhole(path, [&](const auto& sink) {
      const mapi::Attachment& a = attachment();
      const mapi::Bytes* whole = a.embedded || a.method() != mapi::kAttachByValue ? nullptr : a.dataBinary();
      if (whole) {
        std::optional<std::string> ahead = mapi::DigestAhead::instance().take(whole->data(), whole->size());
        sha256 = ahead ? std::move(*ahead) : mapi::sha256Hex(whole->data(), whole->size());
        sink(mapi::ByteView(*whole));
        return;
      }
      mapi::Sha256 digest;
      produceContent([&](mapi::ByteView piece) {
        digest.update(piece.data(), piece.size());
        sink(piece);
      });
      sha256 = digest.finishHex();
    });
    std::error_code error;
    const base::EntryStatus saved = base::fileSystem().status(base::pathFromUtf8(path), error);
    if (!error && saved.type == base::EntryType::File) engine::RememberFileSha256(path, saved.identity, std::move(sha256));
  });
}

void MessageAttachment::ReadContent(const ContentSink& sink) {
  // What the sink throws (the archive's disk filling up) passes through as
  // it is; only the store's own failures become StoreError.
  struct SinkFailure {
    std::exception_ptr error;
  };
  try {
    guarded("ReadContent", [&] {
      produceContent([&](mapi::ByteView piece) {
        try {
          sink(piece.data(), piece.size());
        } catch (...) {
          throw SinkFailure{std::current_exception()};
        }
      });
    });
  } catch (const SinkFailure& failure) {
    std::rethrow_exception(failure.error);
  }
}

void MessageAttachment::produceContent(const std::function<void(mapi::ByteView)>& sink) {
  const mapi::Attachment& a = attachment();
  // Data still in its store comes a block at a time.
  const mapi::PropValue* data = a.props.get(mapi::tag::AttachDataBinary);
  if (data && data->source && !a.embedded && a.method() != mapi::kAttachOle && !isReference(a.method())) {
    data->readPieces(sink);
    return;
  }
  const mapi::Bytes content = AttachmentContent(a);
  sink(mapi::ByteView(content));
}

engine::AttachmentFacts MessageAttachment::Facts() {
  return guarded("read the size of an attachment", [&] {
    const mapi::Attachment& a = attachment();
    engine::AttachmentFacts facts;
    facts.size = AttachmentSize(a);
    facts.contentId = a.props.getString(mapi::propId(mapi::tag::AttachContentId)).value_or("");
    facts.contentLocation = a.props.getString(kPropIdAttachContentLocation).value_or("");
    facts.hidden = a.props.getBool(mapi::tag::AttachmentHidden).value_or(false);
    facts.flags = a.props.getInt32(mapi::tag::AttachFlags).value_or(0);
    return facts;
  });
}

void MessageAttachment::Delete() {
  guarded("Delete", [&] {
    attachment();  // one already deleted fails here
    const std::size_t at = *content_->indexOf(id_);
    auto& atts = content_->message.attachments;
    atts.erase(atts.begin() + static_cast<std::ptrdiff_t>(at));
    content_->attachmentIds.erase(content_->attachmentIds.begin() + static_cast<std::ptrdiff_t>(at));
    if (atts.empty()) noteAttachmentsGone(content_->message.props);
    ++content_->revision;
  });
}

// ---- MessageBase

MessageContent& MessageBase::content() {
  if (!content_) {
    auto c = std::make_shared<MessageContent>();
    c->replace(load());
    content_ = std::move(c);
  }
  return *content_;
}

void MessageBase::SaveToFile(const std::string& path) {
  guarded("SaveToFile " + path + " (" + describe() + ")", [&] { writeScratchMessageFile(path, content().message); });
}

void MessageBase::ImportFromFile(const std::string& path, std::int32_t kind) {
  guarded("ImportFromFile " + path, [&] {
    if (kind != engine::kImportMsgFile)
      throw StoreError("ImportFromFile: kind " + std::to_string(kind) + " is not an Outlook item file (" +
                       std::to_string(engine::kImportMsgFile) + ")");
    std::optional<mapi::Message> held = HeldScratchFiles::instance().take(path);
    // Held in memory, the file was never on disk.
    if (held) engine::NoteFileGone(path);
    std::error_code ec;
    if (!held && !std::filesystem::is_regular_file(path, ec))
      throw StoreError("ImportFromFile: " + path + ": no such file");
    mapi::Message m = held ? std::move(*held) : readWholeMessageFile(path);
    if (!content_) content_ = std::make_shared<MessageContent>();
    content_->replace(std::move(m));
  });
}

std::shared_ptr<engine::AttachmentList> MessageBase::AttachmentList() {
  return guarded("AttachmentList of " + describe(), [&] {
    content();
    return std::make_shared<MessageAttachments>(content_);
  });
}

std::string MessageBase::Body() {
  return guarded("Body of " + describe(), [&] { return mapi::body::plainBody(content().message.props); });
}

void MessageBase::Body(const std::string& text) {
  guarded("Body of " + describe(), [&] {
    mapi::PropertyBag props = content().message.props;
    if (!mapi::body::appendTextToRtfBody(props, text)) mapi::body::writePlainBody(props, text);
    content_->message.props = std::move(props);
    ++content_->revision;
  });
}

std::string MessageBase::HTMLBody() {
  return guarded("HTMLBody of " + describe(), [&] { return mapi::body::htmlBody(content().message.props); });
}

// A body that is RTF of its own keeps its formatting when the new text
// only adds to it: the addition goes into the RTF. Otherwise PR_HTML takes
// the new body, the native body becomes HTML, PR_BODY its text, and the
// compressed RTF goes: Outlook makes it anew from PR_HTML, and no older RTF
// can show instead of the new body.
void MessageBase::HTMLBody(const std::string& text) {
  guarded("HTMLBody of " + describe(), [&] {
    mapi::PropertyBag props = content().message.props;
    if (!mapi::body::appendHtmlToRtfBody(props, text))
      mapi::body::writeHtmlBody(props, text, mapi::body::RtfOnHtmlWrite::Remove);
    content_->message.props = std::move(props);
    ++content_->revision;
  });
}

std::string MessageBase::MessageClass() {
  return guarded("MessageClass of " + describe(), [&] {
    return content().message.props.getString(mapi::propId(mapi::tag::MessageClass)).value_or("");
  });
}

engine::MessageFacts MessageBase::Facts() {
  return guarded("read the dates and bodies of " + describe(), [&] {
    const mapi::PropertyBag& props = content().message.props;
    engine::MessageFacts facts;
    auto seconds = [&](mapi::PropTag t) -> std::optional<std::int64_t> {
      const mapi::PropValue* v = props.get(t);
      if (!v) return std::nullopt;
      const std::optional<std::int64_t> fileTime = v->asInt64();
      if (!fileTime) return std::nullopt;
      // FILETIME counts 100 ns from 1601-01-01.
      return (*fileTime - 116444736000000000LL) / 10000000LL;
    };
    facts.deliveryTime = seconds(mapi::tag::MessageDeliveryTime);
    facts.lastModification = seconds(mapi::tag::LastModificationTime);
    facts.draft = (props.getInt32(mapi::tag::MessageFlags).value_or(0) & kMsgFlagUnsent) != 0;
    facts.bodies = mapi::body::htmlBody(props);
    // An RTF body references pictures in the RTF itself, and carries the
    // HTML it was made from there too.
    if (const mapi::Bytes* rtf = props.getBinary(mapi::tag::RtfCompressed)) {
      try {
        const mapi::Bytes text = mapi::rtf::decompressLenient(*rtf).rtf;
        facts.bodies.append("\n");
        facts.bodies.append(text.begin(), text.end());
      } catch (const std::exception&) {
        // An RTF body that cannot be read shows nothing in place.
      }
    }
    return facts;
  });
}

// ---- SourceMessage

std::string SourceMessage::describe() const { return "message " + hexId(nid_) + " of " + state_->path().string(); }

// Read whole or not at all: a message that cannot be read completely is
// reported rather than copied with parts missing.
mapi::Message SourceMessage::load() {
  const pst::Store& store = state_->source();
  if (std::optional<mapi::Message> ahead = state_->takeReadAhead(nid_)) return std::move(*ahead);
  return store.readMessage(nid_);
}

// A walk's list of a folder's messages holds every one of them until the
// folder is done; kept, the content of a message read only to be written
// out would keep the whole folder in memory.
void SourceMessage::SaveToFile(const std::string& path) {
  if (content_) {
    MessageBase::SaveToFile(path);  // with the changes made to it
    return;
  }
  guarded("SaveToFile " + path + " (" + describe() + ")", [&] {
    // A message read ahead comes with its size counted and with a copy
    // for the scratch file's first reader (the walk's own item), both
    // made on the read-ahead thread.
    std::size_t bytes = 0;
    std::optional<mapi::Message> copy;
    if (std::optional<mapi::Message> ahead = state_->takeReadAhead(nid_, &bytes, &copy))
      writeScratchMessageFile(path, std::move(*ahead), bytes, std::move(copy));
    else
      writeScratchMessageFile(path, load());
  });
}

void SourceMessage::Commit() {
  guarded("Commit (" + describe() + ")", [&] { state_->writer(); });  // throws: a source is read-only
}

// ---- FileMessage

FileMessage::FileMessage(std::filesystem::path path) : path_(std::move(path)) {
  guarded("GetMessageFromMsgFile " + path_.string(), [&] {
    std::error_code ec;
    if (!HeldScratchFiles::instance().holds(path_.string()) && !std::filesystem::is_regular_file(path_, ec))
      throw StoreError(path_.string() + ": no such file");
    readRevision_ = content().revision;
  });
}

std::string FileMessage::describe() const { return path_.string(); }

mapi::Message FileMessage::load() { return readWholeMessageFile(path_.string()); }

// A message that has not changed since it was read is in its file
// already; only the next reader of the file is spared the parsing.
void FileMessage::Commit() {
  guarded("Commit " + path_.string(), [&] {
    // Handed to the held file by the last Commit and not looked at since:
    // the file is what this item is.
    if (!content_) return;
    MessageContent& c = content();
    HeldScratchFiles& held = HeldScratchFiles::instance();
    if (c.revision == readRevision_ && held.holds(path_.string())) return;
    std::error_code error;
    const base::EntryStatus found =
        c.revision == readRevision_ ? base::fileSystem().status(path_, error) : base::EntryStatus{};
    if (found.type == base::EntryType::File) {
      remember(path_.string(), found.identity, c.message);
      return;
    }
    // When nothing else shares the content (no attachment list of this
    // item is alive), the message moves into the held file instead of
    // being copied there: the copy of every changed message cost more
    // than reading it again on the rare later look. put moves it only
    // when it holds it.
    if (content_.use_count() == 1 && held.put(path_.string(), c.message)) {
      content_.reset();
      // A content read again starts at a revision of its own: the next
      // Commit after a read writes the file again, as after a change.
      readRevision_ = 0;
      return;
    }
    writeScratchMessageFile(path_.string(), c.message);
    readRevision_ = c.revision;
  });
}

// ---- NewMessage

NewMessage::NewMessage(std::shared_ptr<StoreState> state, pst::NodeId folder)
    : state_(std::move(state)), folder_(folder) {
  content_ = std::make_shared<MessageContent>();
  content_->replace(load());
}

std::string NewMessage::describe() const {
  return "new item of folder " + hexId(folder_) + " of " + state_->path().string();
}

// An empty message of the class a new item has in Outlook.
mapi::Message NewMessage::load() {
  mapi::Message m;
  m.props.set(mapi::tag::MessageClass, mapi::PropValue::unicode("IPM.Note"));
  return m;
}

void NewMessage::Commit() {
  guarded("Commit (" + describe() + ")", [&] {
    MessageContent& c = content();
    if (committed_) {
      if (*committed_ == c.revision) return;
      throw StoreError("Commit: the item is already saved in " + state_->path().string() +
                       ", and a saved message of a PST being written cannot be changed");
    }
    // The store computes the size of what it holds; a size brought from
    // elsewhere (before attachments were taken out) would be wrong.
    c.message.props.remove(mapi::tag::MessageSize);
    written_ = state_->writer().addMessage(folder_, c.message);
    committed_ = c.revision;
  });
}

}  // namespace varnolt::platform::detail
