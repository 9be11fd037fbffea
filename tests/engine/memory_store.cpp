#include "tests/engine/memory_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace varnolt::memstore {

using engine::StoreError;
namespace fs = std::filesystem;

namespace {

constexpr const char* kMsgMagic = "VMSG1\n";
constexpr const char* kPstMagic = "VPST1\n";
constexpr const char* kPstUnfinished = "VPST-UNFINISHED\n";

// --- the stored format: length-prefixed fields ---------------------------

void putString(std::string& out, const std::string& s) {
  const auto n = static_cast<std::uint32_t>(s.size());
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>((n >> (8 * k)) & 0xFF));
  out += s;
}

void putNumber(std::string& out, std::uint32_t n) {
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>((n >> (8 * k)) & 0xFF));
}

class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}
  std::uint32_t number() {
    if (bytes_.size() - at_ < 4) throw StoreError("the file is cut short");
    std::uint32_t n = 0;
    for (int k = 0; k < 4; ++k)
      n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes_[at_ + static_cast<std::size_t>(k)])) << (8 * k);
    at_ += 4;
    return n;
  }
  std::string string() {
    const std::uint32_t n = number();
    if (bytes_.size() - at_ < n) throw StoreError("the file is cut short");
    std::string s = bytes_.substr(at_, n);
    at_ += n;
    return s;
  }
  void expect(const std::string& magic) {
    if (bytes_.compare(0, magic.size(), magic) != 0) throw StoreError("not a file of this store");
    at_ = magic.size();
  }
  bool atEnd() const { return at_ == bytes_.size(); }

 private:
  const std::string& bytes_;
  std::size_t at_ = 0;
};

void writeMessage(std::string& out, const MessageData& m, int depth);
std::shared_ptr<MessageData> readMessage(Reader& in, int depth);

void writeMessage(std::string& out, const MessageData& m, int depth) {
  putString(out, m.subject);
  putString(out, m.body);
  putString(out, m.htmlBody);
  putString(out, m.messageClass);
  putNumber(out, static_cast<std::uint32_t>(m.attachments.size()));
  for (const auto& a : m.attachments) {
    putNumber(out, static_cast<std::uint32_t>(a->kind));
    putString(out, a->fileName);
    putString(out, a->content);
    putString(out, a->target);
    putNumber(out, a->embedded ? 1u : 0u);
    if (a->embedded) writeMessage(out, *a->embedded, depth + 1);
  }
}

std::shared_ptr<MessageData> readMessage(Reader& in, int depth) {
  if (depth > 16) throw StoreError("embedded messages nested too deep");
  auto m = std::make_shared<MessageData>();
  m->subject = in.string();
  m->body = in.string();
  m->htmlBody = in.string();
  m->messageClass = in.string();
  const std::uint32_t n = in.number();
  for (std::uint32_t i = 0; i < n; ++i) {
    auto a = std::make_shared<AttachmentData>();
    const std::uint32_t kind = in.number();
    if (kind > 2) throw StoreError("unknown attachment kind");
    a->kind = static_cast<AttachmentData::Kind>(kind);
    a->fileName = in.string();
    a->content = in.string();
    a->target = in.string();
    if (in.number() != 0) a->embedded = readMessage(in, depth + 1);
    m->attachments.push_back(a);
  }
  return m;
}

void writeFolder(std::string& out, const FolderData& f) {
  putString(out, f.name);
  putNumber(out, static_cast<std::uint32_t>(f.kind));
  putNumber(out, static_cast<std::uint32_t>(f.items.size()));
  for (const auto& m : f.items) writeMessage(out, *m, 0);
  putNumber(out, static_cast<std::uint32_t>(f.hidden.size()));
  for (const auto& m : f.hidden) writeMessage(out, *m, 0);
  putNumber(out, static_cast<std::uint32_t>(f.properties.size()));
  for (const auto& [key, value] : f.properties) {
    putString(out, key);
    putString(out, value);
  }
  putNumber(out, static_cast<std::uint32_t>(f.subfolders.size()));
  for (const auto& s : f.subfolders) writeFolder(out, *s);
}

std::shared_ptr<FolderData> readFolder(Reader& in, int depth) {
  if (depth > 64) throw StoreError("folders nested too deep");
  auto f = std::make_shared<FolderData>();
  f->name = in.string();
  f->kind = static_cast<std::int32_t>(in.number());
  const std::uint32_t items = in.number();
  for (std::uint32_t i = 0; i < items; ++i) f->items.push_back(readMessage(in, 0));
  const std::uint32_t hidden = in.number();
  for (std::uint32_t i = 0; i < hidden; ++i) f->hidden.push_back(readMessage(in, 0));
  const std::uint32_t properties = in.number();
  for (std::uint32_t i = 0; i < properties; ++i) {
    std::string key = in.string();
    f->properties[key] = in.string();
  }
  const std::uint32_t subs = in.number();
  for (std::uint32_t i = 0; i < subs; ++i) {
    auto s = readFolder(in, depth + 1);
    s->parent = f;
    f->subfolders.push_back(s);
  }
  return f;
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw StoreError("cannot open " + path + ": " + std::strerror(errno));
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Writes bytes to path the way the injected mode says.
void writeWholeFile(const std::string& path, const std::string& bytes, std::optional<FailureMode> mode) {
  if (mode == FailureMode::SilentNothing) return;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw StoreError("cannot write " + path + ": " + std::strerror(errno));
  if (mode == FailureMode::WriteHalfThenThrow) {
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    out.close();
    throw StoreError("the disk gave up half way through " + path);
  }
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw StoreError("cannot write " + path);
}

// --- the objects --------------------------------------------------------

template <class T, class Data, class Make>
class SnapshotEnumerator : public engine::Enumerator<T> {
 public:
  SnapshotEnumerator(MemoryWorld& world, std::vector<std::shared_ptr<Data>> members, Make make,
                     std::function<std::string(const Data&)> subject)
      : world_(world), members_(std::move(members)), make_(make), subject_(std::move(subject)) {}
  std::shared_ptr<T> Next() override {
    if (next_ >= members_.size()) return nullptr;
    const auto& member = members_[next_++];  // a failing member is passed over
    world_.check("Enumerate.Next", subject_(*member));
    return make_(member);
  }

 private:
  MemoryWorld& world_;
  std::vector<std::shared_ptr<Data>> members_;
  Make make_;
  std::function<std::string(const Data&)> subject_;
  std::size_t next_ = 0;
};

class MemMessage;

class MemAttachment : public engine::MailAttachment {
 public:
  MemAttachment(MemoryWorld& world, std::shared_ptr<MessageData> message, std::shared_ptr<AttachmentData> data)
      : world_(world), message_(std::move(message)), data_(std::move(data)) {}

  std::string FileName() override {
    world_.check("FileName", data_->fileName);
    return data_->fileName;
  }
  void SaveAsFile(const std::string& path) override {
    auto mode = world_.check("SaveAsFile", data_->fileName + " " + path);
    switch (data_->kind) {
      case AttachmentData::Kind::ByReference:
        throw StoreError("an attachment by reference has no content of its own");
      case AttachmentData::Kind::Embedded:
        writeWholeFile(path, serializeMessage(data_->embedded ? *data_->embedded : MessageData()), mode);
        break;
      case AttachmentData::Kind::ByValue:
        writeWholeFile(path, data_->content, mode);
        break;
    }
    if (world_.afterSave) world_.afterSave(path);
  }
  void ReadContent(const ContentSink& sink) override {
    auto mode = world_.check("ReadContent", data_->fileName);
    std::string bytes;
    switch (data_->kind) {
      case AttachmentData::Kind::ByReference:
        throw StoreError("an attachment by reference has no content of its own");
      case AttachmentData::Kind::Embedded:
        bytes = serializeMessage(data_->embedded ? *data_->embedded : MessageData());
        break;
      case AttachmentData::Kind::ByValue:
        bytes = data_->content;
        break;
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t half = bytes.size() / 2;
    sink(data, half);
    if (mode == FailureMode::WriteHalfThenThrow) throw StoreError("the store gave up half way through " + data_->fileName);
    sink(data + half, bytes.size() - half);
    if (world_.afterRead) world_.afterRead(data_->fileName);
  }
  void Delete() override {
    world_.check("Delete", data_->fileName);
    auto& list = message_->attachments;
    auto it = std::find(list.begin(), list.end(), data_);
    if (it == list.end()) throw StoreError("the attachment was already deleted");
    list.erase(it);
  }

 private:
  MemoryWorld& world_;
  std::shared_ptr<MessageData> message_;
  std::shared_ptr<AttachmentData> data_;
};

class MemAttachmentList : public engine::AttachmentList {
 public:
  MemAttachmentList(MemoryWorld& world, std::shared_ptr<MessageData> message)
      : world_(world), message_(std::move(message)) {}
  std::int32_t Count() override {
    world_.check("AttachmentList.Count", message_->subject);
    return static_cast<std::int32_t>(message_->attachments.size());
  }
  std::shared_ptr<engine::MailAttachment> Item(std::int32_t i) override {
    world_.check("Item", std::to_string(i));
    if (i < 1 || static_cast<std::size_t>(i) > message_->attachments.size())
      throw StoreError("no attachment " + std::to_string(i));
    return std::make_shared<MemAttachment>(world_, message_, message_->attachments[static_cast<std::size_t>(i - 1)]);
  }

 private:
  MemoryWorld& world_;
  std::shared_ptr<MessageData> message_;
};

// A message works on a copy of its data; Commit puts the copy where the
// message is bound: an item of a folder, or a .msg file.
class MemMessage : public engine::MailMessage {
 public:
  enum class Binding { Item, NewItem, File };

  MemMessage(MemoryWorld& world, Binding binding, std::shared_ptr<MessageData> stored,
             std::shared_ptr<FolderData> folder, std::string path)
      : world_(world),
        binding_(binding),
        stored_(std::move(stored)),
        folder_(std::move(folder)),
        path_(std::move(path)),
        working_(stored_ ? stored_->clone() : std::make_shared<MessageData>()) {}

  void SaveToFile(const std::string& path) override {
    auto mode = world_.check("SaveToFile", working_->subject + " " + path);
    writeWholeFile(path, serializeMessage(*working_), mode);
  }
  void ImportFromFile(const std::string& path, std::int32_t kind) override {
    world_.check("ImportFromFile", path);
    if (kind != engine::kImportMsgFile) throw StoreError("unknown import kind " + std::to_string(kind));
    working_ = parseMessage(readWholeFile(path));
  }
  std::shared_ptr<engine::AttachmentList> AttachmentList() override {
    world_.check("AttachmentList", working_->subject);
    return std::make_shared<MemAttachmentList>(world_, working_);
  }
  void Commit() override {
    world_.check("Commit", working_->subject);
    switch (binding_) {
      case Binding::File:
        writeWholeFile(path_, serializeMessage(*working_), std::nullopt);
        break;
      case Binding::NewItem:
        stored_ = working_->clone();
        folder_->items.push_back(stored_);
        binding_ = Binding::Item;
        break;
      case Binding::Item:
        *stored_ = *working_->clone();
        break;
    }
  }
  std::string Body() override {
    world_.check("Body", working_->subject);
    return working_->body;
  }
  void Body(const std::string& text) override {
    world_.check("SetBody", working_->subject);
    working_->body = text;
  }
  std::string HTMLBody() override {
    world_.check("HTMLBody", working_->subject);
    return working_->htmlBody;
  }
  void HTMLBody(const std::string& text) override {
    world_.check("SetHTMLBody", working_->subject);
    working_->htmlBody = text;
  }
  std::string MessageClass() override {
    world_.check("MessageClass", working_->subject);
    return working_->messageClass;
  }

 private:
  MemoryWorld& world_;
  Binding binding_;
  std::shared_ptr<MessageData> stored_;
  std::shared_ptr<FolderData> folder_;
  std::string path_;
  std::shared_ptr<MessageData> working_;
};

class MemFolder;

class MemItemList : public engine::ItemList {
 public:
  MemItemList(MemoryWorld& world, std::shared_ptr<FolderData> folder) : world_(world), folder_(std::move(folder)) {}
  std::int32_t Count() override {
    world_.check("ItemList.Count", folder_->name);
    return static_cast<std::int32_t>(folder_->items.size());
  }
  std::unique_ptr<engine::Enumerator<engine::MailMessage>> Enumerate() override {
    world_.check("ItemList.Enumerate", folder_->name);
    auto& world = world_;
    auto folder = folder_;
    auto make = [&world, folder](const std::shared_ptr<MessageData>& m) -> std::shared_ptr<engine::MailMessage> {
      return std::make_shared<MemMessage>(world, MemMessage::Binding::Item, m, folder, "");
    };
    return std::make_unique<SnapshotEnumerator<engine::MailMessage, MessageData, decltype(make)>>(
        world_, folder_->items, make, [](const MessageData& m) { return m.subject; });
  }
  std::shared_ptr<engine::MailMessage> NewItem() override {
    world_.check("NewItem", folder_->name);
    return std::make_shared<MemMessage>(world_, MemMessage::Binding::NewItem, nullptr, folder_, "");
  }

 private:
  MemoryWorld& world_;
  std::shared_ptr<FolderData> folder_;
};

std::shared_ptr<engine::MailFolder> makeFolder(MemoryWorld& world, std::shared_ptr<FolderData> data);

class MemFolderList : public engine::FolderList {
 public:
  MemFolderList(MemoryWorld& world, std::shared_ptr<FolderData> folder) : world_(world), folder_(std::move(folder)) {}
  std::int32_t Count() override {
    world_.check("Subfolders.Count", folder_->name);
    return static_cast<std::int32_t>(folder_->subfolders.size());
  }
  std::unique_ptr<engine::Enumerator<engine::MailFolder>> Enumerate() override {
    world_.check("Subfolders.Enumerate", folder_->name);
    auto& world = world_;
    auto make = [&world](const std::shared_ptr<FolderData>& f) { return makeFolder(world, f); };
    return std::make_unique<SnapshotEnumerator<engine::MailFolder, FolderData, decltype(make)>>(
        world_, folder_->subfolders, make, [](const FolderData& f) { return f.name; });
  }
  std::shared_ptr<engine::MailFolder> AddSubfolder(const std::string& name) override {
    world_.check("AddSubfolder", name);
    if (folder_->child(name)) throw StoreError("a folder named " + name + " is already there");
    return makeFolder(world_, folder_->add(name));
  }

 private:
  MemoryWorld& world_;
  std::shared_ptr<FolderData> folder_;
};

class MemFolder : public engine::MailFolder {
 public:
  MemFolder(MemoryWorld& world, std::shared_ptr<FolderData> data) : world_(world), data_(std::move(data)) {}
  std::string FolderName() override {
    world_.check("FolderName", data_->name);
    return data_->name;
  }
  std::shared_ptr<engine::FolderList> Subfolders() override {
    world_.check("Subfolders", data_->name);
    return std::make_shared<MemFolderList>(world_, data_);
  }
  std::shared_ptr<engine::ItemList> ItemList() override {
    world_.check("ItemList", data_->name);
    return std::make_shared<MemItemList>(world_, data_);
  }
  std::int32_t DefaultItemKind() override {
    world_.check("DefaultItemKind", data_->name);
    return data_->kind;
  }
  void RemoveFolder() override {
    world_.check("RemoveFolder", data_->name);
    auto parent = data_->parent.lock();
    if (!parent) throw StoreError("the top folder cannot be removed");
    auto& list = parent->subfolders;
    list.erase(std::remove(list.begin(), list.end(), data_), list.end());
    data_->parent.reset();
  }
  void CopyInto(const std::shared_ptr<engine::MailFolder>& destination) override {
    world_.check("CopyInto", data_->name);
    auto target = std::dynamic_pointer_cast<MemFolder>(destination);
    if (!target) throw StoreError("the destination is not a folder of this store");
    if (target->data_->child(data_->name)) throw StoreError("a folder named " + data_->name + " is already there");
    auto copy = data_->clone();
    copy->parent = target->data_;
    target->data_->subfolders.push_back(copy);
  }
  void CopySettingsInto(const std::shared_ptr<engine::MailFolder>& destination) override {
    world_.check("CopySettingsInto", data_->name);
    auto target = std::dynamic_pointer_cast<MemFolder>(destination);
    if (!target) throw StoreError("the destination is not a folder of this store");
    for (const auto& [key, value] : data_->properties) target->data_->properties[key] = value;
    for (const auto& m : data_->hidden) target->data_->hidden.push_back(m->clone());
  }

 private:
  MemoryWorld& world_;
  std::shared_ptr<FolderData> data_;
};

std::shared_ptr<engine::MailFolder> makeFolder(MemoryWorld& world, std::shared_ptr<FolderData> data) {
  return std::make_shared<MemFolder>(world, std::move(data));
}

class MemStore : public engine::MailStore {
 public:
  MemStore(MemoryWorld& world, std::shared_ptr<PstData> pst) : world_(world), pst_(std::move(pst)) {}
  std::shared_ptr<engine::MailFolder> TopFolder() override {
    world_.check("TopFolder", pst_->path);
    if (closed_) throw StoreError("the store is closed");
    return makeFolder(world_, pst_->top);
  }
  void KeepSettingsOf(const std::shared_ptr<engine::MailStore>& source) override {
    world_.check("KeepSettingsOf", pst_->path);
    auto* from = dynamic_cast<MemStore*>(source.get());
    if (from == nullptr) throw StoreError("KeepSettingsOf: not a store of this world");
    if (!pst_->created) throw StoreError("KeepSettingsOf: the source store is read-only");
    pst_->settingsFrom = from->pst_->path;
  }
  void Close() override {
    world_.check("Close", pst_->path);
    if (closed_) return;
    if (pst_->created) writeWholeFile(pst_->path, std::string(kPstMagic) + serializeFolder(*pst_->top), std::nullopt);
    closed_ = true;
    ++pst_->closes;
  }
  void Discard() override {
    world_.check("Discard", pst_->path);
    if (closed_) return;
    closed_ = true;
    ++pst_->discards;
    if (pst_->created) std::filesystem::remove(pst_->path);
  }

 private:
  MemoryWorld& world_;
  std::shared_ptr<PstData> pst_;
  bool closed_ = false;
};

class MemStoreList : public engine::StoreList {
 public:
  explicit MemStoreList(MemoryWorld& world) : world_(world) {}
  std::int32_t Count() override {
    world_.check("StoreList.Count", "");
    return static_cast<std::int32_t>(stores_.size());
  }
  std::unique_ptr<engine::Enumerator<engine::MailStore>> Enumerate() override {
    world_.check("StoreList.Enumerate", "");
    auto make = [](const std::shared_ptr<engine::MailStore>& s) { return s; };
    return std::make_unique<SnapshotEnumerator<engine::MailStore, engine::MailStore, decltype(make)>>(
        world_, stores_, make, [](const engine::MailStore&) { return std::string(); });
  }
  std::shared_ptr<engine::MailStore> AttachPstFile(const std::string& path, std::int32_t format,
                                                   const std::optional<std::string>& displayName) override {
    world_.check("AttachPstFile", path);
    if (format != engine::kFormatUnicodePst) throw StoreError("unknown store format " + std::to_string(format));
    auto pst = world_.pst(path);
    if (!pst) {
      std::error_code ec;
      if (fs::exists(fs::path(path), ec)) {
        // A PST this store finished earlier is opened again.
        pst = std::make_shared<PstData>();
        pst->path = path;
        pst->top = readPstFile(path);
      } else {
        pst = std::make_shared<PstData>();
        pst->path = path;
        pst->displayName = displayName.value_or("");
        pst->top = std::make_shared<FolderData>();
        pst->top->name = "Top of Personal Folders";
        for (const auto& name : world_.newPstFolders) pst->top->add(name);
        pst->created = true;
        writeWholeFile(path, kPstUnfinished, std::nullopt);
      }
      world_.psts()[path] = pst;
    }
    auto store = std::make_shared<MemStore>(world_, pst);
    stores_.push_back(store);
    return store;
  }

 private:
  MemoryWorld& world_;
  std::vector<std::shared_ptr<engine::MailStore>> stores_;
};

class MemSession : public engine::MailSession {
 public:
  explicit MemSession(MemoryWorld& world) : world_(world), stores_(std::make_shared<MemStoreList>(world)) {}
  void LogOnDefault() override { world_.check("LogOnDefault", ""); }
  std::string OutlookVersion() override {
    world_.check("OutlookVersion", "");
    return world_.outlookVersion;
  }
  std::shared_ptr<engine::StoreList> StoreList() override {
    world_.check("StoreList", "");
    return stores_;
  }
  std::shared_ptr<engine::MailMessage> GetMessageFromMsgFile(const std::string& path) override {
    world_.check("GetMessageFromMsgFile", path);
    auto data = parseMessage(readWholeFile(path));
    return std::make_shared<MemMessage>(world_, MemMessage::Binding::File, data, nullptr, path);
  }

 private:
  MemoryWorld& world_;
  std::shared_ptr<MemStoreList> stores_;
};

}  // namespace

// --- data helpers -------------------------------------------------------

std::shared_ptr<AttachmentData> AttachmentData::value(const std::string& fileName, const std::string& content) {
  auto a = std::make_shared<AttachmentData>();
  a->fileName = fileName;
  a->content = content;
  return a;
}

std::shared_ptr<AttachmentData> AttachmentData::embeddedMessage(const std::string& fileName,
                                                                std::shared_ptr<MessageData> message) {
  auto a = std::make_shared<AttachmentData>();
  a->kind = Kind::Embedded;
  a->fileName = fileName;
  a->embedded = std::move(message);
  return a;
}

std::shared_ptr<AttachmentData> AttachmentData::reference(const std::string& fileName, const std::string& target) {
  auto a = std::make_shared<AttachmentData>();
  a->kind = Kind::ByReference;
  a->fileName = fileName;
  a->target = target;
  return a;
}

std::shared_ptr<MessageData> MessageData::make(const std::string& subject, const std::string& body,
                                               const std::string& htmlBody,
                                               std::vector<std::shared_ptr<AttachmentData>> attachments) {
  auto m = std::make_shared<MessageData>();
  m->subject = subject;
  m->body = body;
  m->htmlBody = htmlBody;
  m->attachments = std::move(attachments);
  return m;
}

std::shared_ptr<MessageData> MessageData::clone() const {
  auto m = std::make_shared<MessageData>(*this);
  for (auto& a : m->attachments) {
    a = std::make_shared<AttachmentData>(*a);
    if (a->embedded) a->embedded = a->embedded->clone();
  }
  return m;
}

std::shared_ptr<FolderData> FolderData::add(const std::string& childName, std::int32_t childKind) {
  auto f = std::make_shared<FolderData>();
  f->name = childName;
  f->kind = childKind;
  f->parent = weak_from_this();
  subfolders.push_back(f);
  return f;
}

std::shared_ptr<FolderData> FolderData::child(const std::string& childName) const {
  for (const auto& s : subfolders)
    if (s->name == childName) return s;
  return nullptr;
}

std::shared_ptr<FolderData> FolderData::clone() const {
  auto f = std::make_shared<FolderData>();
  f->name = name;
  f->kind = kind;
  for (const auto& m : items) f->items.push_back(m->clone());
  for (const auto& m : hidden) f->hidden.push_back(m->clone());
  f->properties = properties;
  for (const auto& s : subfolders) {
    auto c = s->clone();
    c->parent = f;
    f->subfolders.push_back(c);
  }
  return f;
}

std::string serializeMessage(const MessageData& message) {
  std::string out = kMsgMagic;
  writeMessage(out, message, 0);
  return out;
}

std::shared_ptr<MessageData> parseMessage(const std::string& bytes) {
  Reader in(bytes);
  in.expect(kMsgMagic);
  auto m = readMessage(in, 0);
  if (!in.atEnd()) throw StoreError("trailing bytes after the message");
  return m;
}

std::string serializeFolder(const FolderData& folder) {
  std::string out;
  writeFolder(out, folder);
  return out;
}

std::shared_ptr<FolderData> parseFolder(const std::string& bytes) {
  Reader in(bytes);
  auto f = readFolder(in, 0);
  if (!in.atEnd()) throw StoreError("trailing bytes after the folders");
  return f;
}

std::shared_ptr<FolderData> readPstFile(const std::string& path) {
  const std::string bytes = readWholeFile(path);
  if (bytes.compare(0, std::strlen(kPstMagic), kPstMagic) != 0) throw StoreError("the PST was never finished: " + path);
  return parseFolder(bytes.substr(std::strlen(kPstMagic)));
}

// --- the world ----------------------------------------------------------

std::shared_ptr<FolderData> MemoryWorld::addSourcePst(const std::string& path) {
  auto pst = std::make_shared<PstData>();
  pst->path = path;
  pst->top = std::make_shared<FolderData>();
  pst->top->name = "Top of Personal Folders";
  psts_[path] = pst;
  std::ofstream(path, std::ios::binary) << "source PST held in memory\n";
  return pst->top;
}

std::shared_ptr<PstData> MemoryWorld::pst(const std::string& path) const {
  auto it = psts_.find(path);
  return it == psts_.end() ? nullptr : it->second;
}

std::optional<FailureMode> MemoryWorld::check(const std::string& operation, const std::string& subject) {
  calls.push_back(subject.empty() ? operation : operation + " " + subject);
  seen_.resize(injections_.size(), 0);
  for (std::size_t k = 0; k < injections_.size(); ++k) {
    auto& inj = injections_[k];
    if (inj.operation != operation) continue;
    if (!inj.match.empty() && subject.find(inj.match) == std::string::npos) continue;
    if (seen_[k]++ < inj.skip) continue;
    if (inj.times == 0) continue;
    if (inj.times > 0) --inj.times;
    if (inj.mode == FailureMode::Throw) throw StoreError("injected failure of " + operation);
    if (inj.mode == FailureMode::DiskFull)
      throw engine::DestinationFull("injected failure of " + operation + ": No space left on device");
    return inj.mode;
  }
  return std::nullopt;
}

engine::SessionFactory MemoryWorld::factory() {
  return [this]() -> std::shared_ptr<engine::MailSession> {
    check("create session", "");
    ++sessionsCreated;
    return std::make_shared<MemSession>(*this);
  };
}

std::vector<std::string> MemoryWorld::subjectsOf(const std::string& operation) const {
  std::vector<std::string> out;
  for (const auto& c : calls) {
    if (c == operation) out.emplace_back();
    else if (c.compare(0, operation.size() + 1, operation + " ") == 0) out.push_back(c.substr(operation.size() + 1));
  }
  return out;
}

}  // namespace varnolt::memstore
