#include "base/memory_file_system.h"

#include <algorithm>
#include <cstring>

namespace varnolt::base {
namespace fs = std::filesystem;
namespace {

std::error_code errorOf(std::errc code) { return std::make_error_code(code); }

std::string parentOf(const std::string& key) {
  const auto slash = key.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return key.substr(0, slash);
}

FileIdentity identityOf(const MemoryFileSystem::Bytes& bytes, std::uint64_t version) {
  FileIdentity identity;
  identity.number = reinterpret_cast<std::uintptr_t>(&bytes);
  identity.size = bytes.size();
  identity.modified = static_cast<std::int64_t>(version);
  identity.changed = static_cast<std::int64_t>(version);
  return identity;
}

class MemoryReadableFile : public ReadableFile {
 public:
  explicit MemoryReadableFile(std::shared_ptr<const MemoryFileSystem::Bytes> bytes, FileIdentity identity)
      : bytes_(std::move(bytes)), identity_(identity) {}
  EntryType type() const override { return EntryType::File; }
  std::uint64_t size() const override { return bytes_->size(); }
  std::size_t readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length,
                     std::error_code& error) const override {
    error.clear();
    if (offset >= bytes_->size()) return 0;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes_->size() - offset));
    std::memcpy(out, bytes_->data() + offset, count);
    return count;
  }
  FileIdentity identity(std::error_code& error) const override {
    error.clear();
    return identity_;
  }

 private:
  // A copy taken when opened: later writers replace the file, not its bytes.
  std::shared_ptr<const MemoryFileSystem::Bytes> bytes_;
  FileIdentity identity_;
};

}  // namespace

// A file written in place: the entry's own bytes (or, for a scratch
// file, bytes under no name).
class MemoryOpenFile : public OpenFile {
 public:
  MemoryOpenFile(MemoryFileSystem& owner, std::shared_ptr<MemoryFileSystem::Bytes> bytes, bool counted)
      : owner_(owner), bytes_(std::move(bytes)), counted_(counted) {}

  EntryType type() const override { return EntryType::File; }
  std::uint64_t size() const override {
    std::lock_guard lock(owner_.mutex_);
    return bytes_->size();
  }
  std::size_t readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length,
                     std::error_code& error) const override {
    std::lock_guard lock(owner_.mutex_);
    if (!usable(error) || offset >= bytes_->size()) return 0;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes_->size() - offset));
    std::memcpy(out, bytes_->data() + offset, count);
    return count;
  }
  FileIdentity identity(std::error_code& error) const override {
    std::lock_guard lock(owner_.mutex_);
    if (!usable(error)) return {};
    return identityOf(*bytes_, owner_.versionOf(*bytes_));
  }
  void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size, std::error_code& error) override {
    std::lock_guard lock(owner_.mutex_);
    if (!usable(error) || !grow(offset + size, error)) return;
    std::copy(data, data + size, bytes_->begin() + static_cast<std::ptrdiff_t>(offset));
    owner_.touch(*bytes_);
  }
  void resize(std::uint64_t size, std::error_code& error) override {
    std::lock_guard lock(owner_.mutex_);
    if (!usable(error)) return;
    if (size < bytes_->size()) bytes_->resize(static_cast<std::size_t>(size));
    else if (!grow(size, error)) return;
    owner_.touch(*bytes_);
  }
  void sync(std::error_code& error) override {
    std::lock_guard lock(owner_.mutex_);
    usable(error);
  }
  void close(std::error_code& error) override {
    std::lock_guard lock(owner_.mutex_);
    usable(error);
    closed_ = true;
  }

 private:
  bool usable(std::error_code& error) const {
    error.clear();
    if (closed_) error = errorOf(std::errc::bad_file_descriptor);
    return !closed_;
  }
  // Scratch bytes are no file of the tree, and count against no capacity.
  bool grow(std::uint64_t size, std::error_code& error) {
    if (size <= bytes_->size()) return true;
    if (counted_) return owner_.reserve(*bytes_, size, error);
    bytes_->resize(static_cast<std::size_t>(size));
    return true;
  }

  MemoryFileSystem& owner_;
  std::shared_ptr<MemoryFileSystem::Bytes> bytes_;
  bool counted_;
  bool closed_ = false;
};

class MemoryNewFile : public NewFile {
 public:
  MemoryNewFile(MemoryFileSystem& owner, std::string destination, std::string temporary,
                std::shared_ptr<MemoryFileSystem::Bytes> bytes)
      : owner_(owner), dest_(std::move(destination)), temp_(std::move(temporary)), tempPath_(temp_),
        bytes_(std::move(bytes)) {}
  ~MemoryNewFile() override { discard(); }
  MemoryNewFile(const MemoryNewFile&) = delete;
  MemoryNewFile& operator=(const MemoryNewFile&) = delete;

  void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size, std::error_code& error) override {
    std::lock_guard lock(owner_.mutex_);
    error.clear();
    if (closed_) {
      error = errorOf(std::errc::bad_file_descriptor);
      return;
    }
    // Like an open file whose name was taken away, the bytes stay writable.
    if (offset + size > bytes_->size() && !owner_.reserve(*bytes_, offset + size, error)) return;
    std::copy(data, data + size, bytes_->begin() + static_cast<std::ptrdiff_t>(offset));
  }

  void resize(std::uint64_t size, std::error_code& error) override {
    std::lock_guard lock(owner_.mutex_);
    error.clear();
    owner_.reserve(*bytes_, size, error);
  }

  void sync(std::error_code& error) override { error.clear(); }
  void close(std::error_code& error) override {
    error.clear();
    closed_ = true;
  }

  bool publish(bool replace, std::error_code& error) override {
    std::lock_guard lock(owner_.mutex_);
    error.clear();
    if (!owner_.folderExists(parentOf(dest_))) {
      error = errorOf(std::errc::no_such_file_or_directory);
      return false;
    }
    const auto existing = owner_.entries_.find(dest_);
    if (existing != owner_.entries_.end()) {
      if (!replace) return false;
      if (existing->second.type == EntryType::Folder) {
        error = errorOf(std::errc::is_a_directory);
        return false;
      }
    }
    if (!owner_.entries_.count(temp_)) {
      error = errorOf(std::errc::no_such_file_or_directory);
      return false;
    }
    owner_.entries_[dest_] = MemoryFileSystem::Entry{EntryType::File, bytes_};
    owner_.entries_.erase(temp_);
    published_ = true;
    return true;
  }

  void discard() override {
    closed_ = true;
    if (published_ || temp_.empty()) return;
    std::lock_guard lock(owner_.mutex_);
    owner_.entries_.erase(temp_);
    temp_.clear();
  }

  const fs::path& temporaryPath() const override { return tempPath_; }

 private:
  MemoryFileSystem& owner_;
  std::string dest_;
  std::string temp_;
  fs::path tempPath_;
  std::shared_ptr<MemoryFileSystem::Bytes> bytes_;
  bool closed_ = false;
  bool published_ = false;
};

std::string MemoryFileSystem::key(const fs::path& path) const {
  std::string text = path.lexically_normal().generic_string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  if (text.empty() || text[0] != '/') text.insert(0, "/");
  return text;
}

bool MemoryFileSystem::folderExists(const std::string& folderKey) const {
  if (folderKey == "/") return true;
  const auto found = entries_.find(folderKey);
  return found != entries_.end() && found->second.type == EntryType::Folder;
}

std::uint64_t MemoryFileSystem::used() const {
  std::uint64_t total = 0;
  for (const auto& [name, entry] : entries_)
    if (entry.bytes) total += entry.bytes->size();
  return total;
}

bool MemoryFileSystem::reserve(Bytes& bytes, std::uint64_t size, std::error_code& error) {
  if (size > bytes.size() && used() + (size - bytes.size()) > capacity_) {
    error = errorOf(std::errc::no_space_on_device);
    return false;
  }
  bytes.resize(static_cast<std::size_t>(size));
  return true;
}

EntryStatus MemoryFileSystem::status(const fs::path& path, std::error_code& error, bool) {
  std::lock_guard lock(mutex_);
  error.clear();
  const std::string k = key(path);
  if (folderExists(k)) return {EntryType::Folder, 0, {}};
  const auto found = entries_.find(k);
  if (found == entries_.end()) {
    error = errorOf(std::errc::no_such_file_or_directory);
    return {};
  }
  const auto& bytes = found->second.bytes;
  if (!bytes) return {found->second.type, 0, {}};
  return {found->second.type, bytes->size(), identityOf(*bytes, versionOf(*bytes))};
}

std::unique_ptr<ReadableFile> MemoryFileSystem::openRead(const fs::path& path, std::error_code& error) {
  std::lock_guard lock(mutex_);
  error.clear();
  const auto found = entries_.find(key(path));
  if (found == entries_.end()) {
    error = errorOf(std::errc::no_such_file_or_directory);
    return nullptr;
  }
  if (!found->second.bytes) {
    error = errorOf(std::errc::is_a_directory);
    return nullptr;
  }
  const Bytes& bytes = *found->second.bytes;
  return std::make_unique<MemoryReadableFile>(std::make_shared<const Bytes>(bytes),
                                              identityOf(bytes, versionOf(bytes)));
}

std::unique_ptr<NewFile> MemoryFileSystem::createWhole(const fs::path& destination, const NewFileOptions& options,
                                                       std::error_code& error) {
  std::lock_guard lock(mutex_);
  error.clear();
  const std::string dest = key(destination);
  const std::string folder = parentOf(dest);
  if (!folderExists(folder)) {
    error = errorOf(std::errc::no_such_file_or_directory);
    return nullptr;
  }
  std::string base = dest.substr(dest.rfind('/') + 1);
  if (options.maxNameBytes > 0 && base.size() > options.maxNameBytes) base.resize(options.maxNameBytes);
  if (options.hidden) base.insert(0, ".");
  const std::string temporary =
      (folder == "/" ? "" : folder) + "/" + base + options.temporaryTag + std::to_string(nextTemporary_++);
  auto bytes = std::make_shared<Bytes>();
  entries_[temporary] = Entry{EntryType::File, bytes};
  return std::make_unique<MemoryNewFile>(*this, dest, temporary, bytes);
}

void MemoryFileSystem::createEntry(const fs::path& path, EntryType type, std::error_code& error) {
  std::lock_guard lock(mutex_);
  error.clear();
  const std::string k = key(path);
  if (!folderExists(parentOf(k))) error = errorOf(std::errc::no_such_file_or_directory);
  else if (entries_.count(k) || k == "/") error = errorOf(std::errc::file_exists);
  else entries_[k] = Entry{type, type == EntryType::File ? std::make_shared<Bytes>() : nullptr};
}

void MemoryFileSystem::createEmptyExclusive(const fs::path& path, std::error_code& error) {
  createEntry(path, EntryType::File, error);
}

std::unique_ptr<OpenFile> MemoryFileSystem::openWrite(const fs::path& path, bool mustBeNew,
                                                      std::error_code& error) {
  {
    std::lock_guard lock(mutex_);
    error.clear();
    const auto found = entries_.find(key(path));
    if (found != entries_.end()) {
      if (mustBeNew) error = errorOf(std::errc::file_exists);
      else if (!found->second.bytes) error = errorOf(std::errc::is_a_directory);
      if (error) return nullptr;
      return std::make_unique<MemoryOpenFile>(*this, found->second.bytes, true);
    }
  }
  createEntry(path, EntryType::File, error);
  if (error) return nullptr;
  std::lock_guard lock(mutex_);
  return std::make_unique<MemoryOpenFile>(*this, entries_.at(key(path)).bytes, true);
}

std::unique_ptr<OpenFile> MemoryFileSystem::createScratch(const fs::path& folder, std::error_code& error) {
  std::lock_guard lock(mutex_);
  error.clear();
  if (!folderExists(key(folder))) {
    error = errorOf(std::errc::no_such_file_or_directory);
    return nullptr;
  }
  return std::make_unique<MemoryOpenFile>(*this, std::make_shared<Bytes>(), false);
}

void MemoryFileSystem::createFolder(const fs::path& path, std::error_code& error) {
  createEntry(path, EntryType::Folder, error);
}

void MemoryFileSystem::rename(const fs::path& from, const fs::path& to, std::error_code& error) {
  std::lock_guard lock(mutex_);
  error.clear();
  const std::string source = key(from);
  const std::string target = key(to);
  const auto found = entries_.find(source);
  if (found == entries_.end() || !folderExists(parentOf(target))) {
    error = errorOf(std::errc::no_such_file_or_directory);
    return;
  }
  if (found->second.type == EntryType::Folder) {
    // Folders move with everything in them.
    std::map<std::string, Entry> moved;
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->first == source || it->first.rfind(source + "/", 0) == 0) {
        moved[target + it->first.substr(source.size())] = it->second;
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
    entries_.merge(moved);
    return;
  }
  entries_[target] = found->second;
  entries_.erase(source);
}

bool MemoryFileSystem::renameNoReplace(const fs::path& from, const fs::path& to, std::error_code& error) {
  {
    std::lock_guard lock(mutex_);
    error.clear();
    const std::string target = key(to);
    if (entries_.count(target) || target == "/") return false;
  }
  rename(from, to, error);
  return !error;
}

bool MemoryFileSystem::remove(const fs::path& path, std::error_code& error) {
  std::lock_guard lock(mutex_);
  error.clear();
  const std::string k = key(path);
  const auto found = entries_.find(k);
  if (found == entries_.end()) return false;
  const auto next = std::next(found);
  if (found->second.type == EntryType::Folder && next != entries_.end() && next->first.rfind(k + "/", 0) == 0) {
    error = errorOf(std::errc::directory_not_empty);
    return false;
  }
  entries_.erase(found);
  return true;
}

std::vector<FolderEntry> MemoryFileSystem::list(const fs::path& folder, std::error_code& error) {
  std::lock_guard lock(mutex_);
  error.clear();
  const std::string k = key(folder);
  if (!folderExists(k)) {
    error = errorOf(std::errc::no_such_file_or_directory);
    return {};
  }
  const std::string prefix = k == "/" ? "/" : k + "/";
  std::vector<FolderEntry> entries;
  for (auto it = entries_.lower_bound(prefix); it != entries_.end() && it->first.rfind(prefix, 0) == 0; ++it) {
    const std::string rest = it->first.substr(prefix.size());
    if (rest.find('/') == std::string::npos) entries.push_back({rest, it->second.type});
  }
  return entries;
}

FileSystem::Space MemoryFileSystem::space(const fs::path& path, std::error_code& error) {
  std::lock_guard lock(mutex_);
  error.clear();
  if (!folderExists(key(path)) && !entries_.count(key(path))) {
    error = errorOf(std::errc::no_such_file_or_directory);
    return {};
  }
  const std::uint64_t inUse = used();
  return {capacity_, capacity_ > inUse ? capacity_ - inUse : 0};
}

bool MemoryFileSystem::syncFolder(const fs::path& folder, std::error_code& error) {
  std::lock_guard lock(mutex_);
  error.clear();
  if (folderExists(key(folder))) return true;
  error = errorOf(std::errc::no_such_file_or_directory);
  return false;
}

bool MemoryFileSystem::syncFileSystemOf(const fs::path& folder, std::error_code& error) {
  return syncFolder(folder, error);
}

bool MemoryFileSystem::sameFile(const fs::path& a, const fs::path& b, std::error_code& error) {
  std::lock_guard lock(mutex_);
  error.clear();
  const std::string first = key(a);
  if (!folderExists(first) && !entries_.count(first)) {
    error = errorOf(std::errc::no_such_file_or_directory);
    return false;
  }
  return first == key(b);
}

fs::path MemoryFileSystem::resolved(const fs::path& path, std::error_code& error) {
  error.clear();
  return key(path);
}

std::uint64_t MemoryFileSystem::versionOf(const Bytes& bytes) const {
  const auto found = versions_.find(&bytes);
  return found == versions_.end() ? 0 : found->second;
}

void MemoryFileSystem::touch(const Bytes& bytes) { versions_[&bytes] = ++lastVersion_; }

void MemoryFileSystem::makeFolders(const fs::path& path) {
  std::lock_guard lock(mutex_);
  std::string k = key(path);
  for (std::size_t slash = k.find('/', 1);; slash = k.find('/', slash + 1)) {
    const std::string part = k.substr(0, slash);
    if (!folderExists(part)) entries_[part] = Entry{EntryType::Folder, nullptr};
    if (slash == std::string::npos) break;
  }
}

void MemoryFileSystem::writeFile(const fs::path& path, const Bytes& bytes) {
  std::lock_guard lock(mutex_);
  entries_[key(path)] = Entry{EntryType::File, std::make_shared<Bytes>(bytes)};
}

std::optional<MemoryFileSystem::Bytes> MemoryFileSystem::readFile(const fs::path& path) const {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(key(path));
  if (found == entries_.end() || !found->second.bytes) return std::nullopt;
  return *found->second.bytes;
}

std::vector<std::string> MemoryFileSystem::tree(const fs::path& folder) const {
  std::lock_guard lock(mutex_);
  const std::string k = key(folder);
  const std::string prefix = k == "/" ? "/" : k + "/";
  std::vector<std::string> paths;
  for (auto it = entries_.lower_bound(prefix); it != entries_.end() && it->first.rfind(prefix, 0) == 0; ++it)
    paths.push_back(it->first);
  return paths;
}

void MemoryFileSystem::setCapacity(std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  capacity_ = bytes;
}

void MemoryFileSystem::removeTree(const fs::path& folder) {
  std::lock_guard lock(mutex_);
  const std::string k = key(folder);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->first == k || it->first.rfind(k + "/", 0) == 0) it = entries_.erase(it);
    else ++it;
  }
}

}  // namespace varnolt::base
