#include "base/windows_file_system.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cerrno>
#include <limits>
#include <string>
#include <vector>

namespace varnolt::base {
namespace fs = std::filesystem;
namespace {

// Not named by every SDK's headers.
constexpr DWORD kDiskQuotaExceeded = 1295;

// The errno a POSIX call gives for the same failure, so callers compare
// with std::errc alike on every system. Codes without one keep the
// system's own category (and its message).
std::error_code errorOf(DWORD code) {
  auto generic = [](std::errc e) { return std::make_error_code(e); };
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
      return generic(std::errc::no_such_file_or_directory);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return generic(std::errc::file_exists);
    case ERROR_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
    case ERROR_PRIVILEGE_NOT_HELD:
      return generic(std::errc::permission_denied);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return generic(std::errc::device_or_resource_busy);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case kDiskQuotaExceeded:
      return generic(std::errc::no_space_on_device);
    case ERROR_DIR_NOT_EMPTY:
      return generic(std::errc::directory_not_empty);
    case ERROR_DIRECTORY:
      return generic(std::errc::not_a_directory);
    case ERROR_FILENAME_EXCED_RANGE:
      return generic(std::errc::filename_too_long);
    case ERROR_NOT_SAME_DEVICE:
      return generic(std::errc::cross_device_link);
    case ERROR_WRITE_PROTECT:
      return generic(std::errc::read_only_file_system);
    case ERROR_INVALID_HANDLE:
      return generic(std::errc::bad_file_descriptor);
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return generic(std::errc::not_enough_memory);
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return generic(std::errc::invalid_argument);
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return generic(std::errc::operation_not_supported);
    case ERROR_CANT_RESOLVE_FILENAME:
      return generic(std::errc::too_many_symbolic_link_levels);
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
      return generic(std::errc::io_error);
    default:
      return {static_cast<int>(code), std::system_category()};
  }
}

std::error_code lastError() { return errorOf(::GetLastError()); }

std::wstring wideOf(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

// The program keeps paths as UTF-8 strings, but a path made from a narrow
// string here takes each byte as one UTF-16 unit. A name (the part between
// two separators) whose units are all such bytes and read as UTF-8 is
// decoded as UTF-8; every other name (made from wide text, as the system's
// own answers are) is kept as it is. Name by name, so a folder the system
// named joined with a name the program carries is read right as well.
std::wstring fromUtf8Bytes(const std::wstring& native) {
  std::wstring wide;
  wide.reserve(native.size());
  std::size_t start = 0;
  while (start < native.size()) {
    std::size_t end = native.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = native.size();
    std::string bytes;
    bool narrow = true;
    bool ascii = true;
    for (std::size_t i = start; i < end && narrow; ++i) {
      narrow = native[i] < 0x100;
      ascii = ascii && native[i] < 0x80;
      bytes += static_cast<char>(native[i]);
    }
    const bool utf8 = narrow && !ascii &&
                      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                            static_cast<int>(bytes.size()), nullptr, 0) > 0;
    if (utf8) wide += wideOf(bytes);
    else wide.append(native, start, end - start);
    if (end < native.size()) wide += native[end];
    start = end + 1;
  }
  return wide;
}

std::string utf8Of(const wchar_t* wide, std::size_t size) {
  if (size == 0) return {};
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
  if (length > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(size), text.data(), length, nullptr, nullptr);
  return text;
}

std::string utf8Of(const std::wstring& wide) { return utf8Of(wide.data(), wide.size()); }

// A path as the UTF-8 text it stands for, and back.
std::string utf8Of(const fs::path& path) { return utf8Of(fromUtf8Bytes(path.native())); }
fs::path pathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

// FILETIME counts 100 ns from 1601; identities count ns from 1970.
std::int64_t nanosecondsOf(std::int64_t fileTime) { return (fileTime - 116444736000000000LL) * 100; }
std::int64_t nanosecondsOf(const FILETIME& time) {
  return nanosecondsOf(static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                                 time.dwLowDateTime));
}

// Closes the handle on every way out.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Closes it; false with the error when closing failed.
  bool reset() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle == INVALID_HANDLE_VALUE || ::CloseHandle(handle) != 0;
  }

 private:
  HANDLE handle_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens what is at path to look at it (a folder too); reparse points
// themselves when noFollow.
HANDLE openToLook(const fs::path& path, bool noFollow) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (noFollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  return ::CreateFileW(windowsPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

EntryType typeOf(HANDLE handle, DWORD attributes) {
  if (::GetFileType(handle) != FILE_TYPE_DISK) return EntryType::Other;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // Opened without following: a link is no file of its own.
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT))
      return EntryType::Other;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryType::Folder : EntryType::File;
}

FileIdentity identityOf(HANDLE handle, std::error_code& error) {
  error.clear();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) {
    error = lastError();
    return {};
  }
  FileIdentity identity;
  identity.volume = info.dwVolumeSerialNumber;
  identity.number = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  identity.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  identity.modified = nanosecondsOf(info.ftLastWriteTime);
  FILE_BASIC_INFO basic{};
  identity.changed = ::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)
                         ? nanosecondsOf(basic.ChangeTime.QuadPart)
                         : identity.modified;
  return identity;
}

// Reads and writes at offsets go through OVERLAPPED, one call each, in
// pieces a DWORD can count.
constexpr std::size_t kLargestPiece = std::size_t{1} << 30;

OVERLAPPED at(std::uint64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

// An open handle: read only when opened for reading, read and written in
// place otherwise.
class WindowsOpenFile : public OpenFile {
 public:
  WindowsOpenFile(HANDLE handle, EntryType type, std::uint64_t size) : handle_(handle), type_(type), size_(size) {}

  EntryType type() const override { return type_; }
  std::uint64_t size() const override { return size_; }

  std::size_t readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length,
                     std::error_code& error) const override {
    error.clear();
    OVERLAPPED where = at(offset);
    DWORD got = 0;
    if (!::ReadFile(handle_.get(), out, static_cast<DWORD>(std::min(length, kLargestPiece)), &got, &where)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_HANDLE_EOF) return 0;
      error = errorOf(code);
      return 0;
    }
    return got;
  }

  FileIdentity identity(std::error_code& error) const override { return identityOf(handle_.get(), error); }

  void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size, std::error_code& error) override {
    error.clear();
    while (size > 0) {
      OVERLAPPED where = at(offset);
      DWORD done = 0;
      if (!::WriteFile(handle_.get(), data, static_cast<DWORD>(std::min(size, kLargestPiece)), &done, &where)) {
        error = lastError();
        return;
      }
      if (done == 0) {
        error = std::make_error_code(std::errc::io_error);
        return;
      }
      data += done;
      size -= done;
      offset += done;
      size_ = std::max(size_, offset);
    }
  }

  void resize(std::uint64_t size, std::error_code& error) override {
    error.clear();
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFileInformationByHandle(handle_.get(), FileEndOfFileInfo, &end, sizeof end)) error = lastError();
    else size_ = size;
  }

  void sync(std::error_code& error) override {
    error.clear();
    if (!::FlushFileBuffers(handle_.get())) error = lastError();
  }

  void close(std::error_code& error) override {
    error.clear();
    if (!handle_.reset()) error = lastError();
  }

 private:
  Handle handle_;
  EntryType type_;
  std::uint64_t size_;
};

// Renames with POSIX semantics (Windows 10 and later, on NTFS): the name
// moves even while another program has the replaced file open, which keeps
// its bytes, as a reader keeps them on Linux.
bool replaceHeldOpen(const std::wstring& from, const std::wstring& to) {
  Handle file(::CreateFileW(from.c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  const std::size_t nameBytes = to.size() * sizeof(wchar_t);
  std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  // The flags share their place with the older call's one-byte switch;
  // not every SDK's headers name them.
  const DWORD flags = 0x1 /* replace if exists */ | 0x2 /* POSIX semantics */;
  std::memcpy(buffer.data(), &flags, sizeof flags);
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  std::copy(to.begin(), to.end(), rename->FileName);
  const auto renameEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);  // FileRenameInfoEx
  return ::SetFileInformationByHandle(file.get(), renameEx, rename, static_cast<DWORD>(buffer.size())) != 0;
}

// Renames from to to, replacing what is there when replace; without, false
// (error clear) when to is taken.
bool move(const fs::path& from, const fs::path& to, bool replace, std::error_code& error) {
  error.clear();
  const std::wstring source = windowsPath(from);
  const std::wstring target = windowsPath(to);
  // Write-through: the call returns once the new name is on disk, as the
  // folder sync after a rename gives on POSIX systems.
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (::MoveFileExW(source.c_str(), target.c_str(), flags)) return true;
  const DWORD code = ::GetLastError();
  if (!replace && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) return false;
  // A file open elsewhere (a viewer, a virus scanner) cannot be replaced
  // the classic way.
  if (replace && (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) &&
      replaceHeldOpen(source, target))
    return true;
  error = errorOf(code);
  return false;
}

class WindowsNewFile : public NewFile {
 public:
  WindowsNewFile(HANDLE handle, fs::path destination, fs::path temporary)
      : file_(handle, EntryType::File, 0), dest_(std::move(destination)), temp_(std::move(temporary)) {}
  ~WindowsNewFile() override { discard(); }
  WindowsNewFile(const WindowsNewFile&) = delete;
  WindowsNewFile& operator=(const WindowsNewFile&) = delete;

  void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size, std::error_code& error) override {
    file_.writeAt(offset, data, size, error);
  }
  void resize(std::uint64_t size, std::error_code& error) override { file_.resize(size, error); }
  void sync(std::error_code& error) override { file_.sync(error); }
  void close(std::error_code& error) override {
    error.clear();
    if (closed_) return;
    closed_ = true;
    file_.close(error);
  }

  bool publish(bool replace, std::error_code& error) override {
    // An open file cannot be renamed over another.
    close(error);
    if (error) return false;
    published_ = move(temp_, dest_, replace, error);
    return published_;
  }

  void discard() override {
    std::error_code ignored;
    close(ignored);
    if (!published_ && !discarded_) ::DeleteFileW(windowsPath(temp_).c_str());
    discarded_ = true;
  }

  const fs::path& temporaryPath() const override { return temp_; }

 private:
  WindowsOpenFile file_;
  fs::path dest_;
  fs::path temp_;
  bool closed_ = false;
  bool published_ = false;
  bool discarded_ = false;
};

// A name no other writer of this process or another one uses.
std::string uniqueTag() {
  static std::atomic<unsigned> counter{0};
  return std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++);
}

bool isAbsolute(const std::wstring& path) {
  const bool drive = path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
  const bool share = path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
  return drive || share;
}

// Flushes every file in the folder and below: without the right to flush
// a whole volume, that is how its written bytes reach the disk.
void flushFilesBelow(const fs::path& folder, std::error_code& error, int depth) {
  std::error_code listError;
  WindowsFileSystem files;
  for (const FolderEntry& entry : files.list(folder, listError)) {
    const fs::path path = folder / pathOf(entry.name);
    if (entry.type == EntryType::Folder) {
      if (depth < 32) flushFilesBelow(path, error, depth + 1);
      continue;
    }
    if (entry.type != EntryType::File) continue;
    Handle file(::CreateFileW(windowsPath(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    // A file another program holds shut, or one gone already, is not ours
    // to flush.
    if (!file.valid()) continue;
    if (!::FlushFileBuffers(file.get()) && !error) error = lastError();
  }
}

}  // namespace

std::wstring windowsPath(const fs::path& path) {
  std::wstring wide = fromUtf8Bytes(path.native());
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  // 248, not 260: a folder's name must leave room for an 8.3 file name in it.
  constexpr std::size_t kLongestPlain = 247;
  if (wide.size() <= kLongestPlain || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  // The long form takes no "." or ".." and no relative path: the system
  // makes the path whole first.
  const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed > 0) {
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length > 0 && length < needed) {
      full.resize(length);
      wide = std::move(full);
    }
  }
  if (!isAbsolute(wide)) return wide;
  if (wide.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + wide.substr(2);
  return L"\\\\?\\" + wide;
}

EntryStatus WindowsFileSystem::status(const fs::path& path, std::error_code& error, bool noFollow) {
  error.clear();
  Handle handle(openToLook(path, noFollow));
  if (!handle.valid()) {
    const DWORD code = ::GetLastError();
    // Some files (the page file, files locked whole) cannot be opened even
    // to look at: their attributes still say what they are.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if ((code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED) &&
        ::GetFileAttributesExW(windowsPath(path).c_str(), GetFileExInfoStandard, &data)) {
      EntryStatus result;
      result.type = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryType::Folder : EntryType::File;
      if (result.type == EntryType::File) {
        result.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        result.identity.size = result.size;
        result.identity.modified = nanosecondsOf(data.ftLastWriteTime);
        result.identity.changed = result.identity.modified;
      }
      return result;
    }
    error = errorOf(code);
    return {};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle.get(), &info)) {
    error = lastError();
    return {};
  }
  EntryStatus result;
  result.type = typeOf(handle.get(), info.dwFileAttributes);
  if (result.type == EntryType::File) {
    result.identity = identityOf(handle.get(), error);
    result.size = result.identity.size;
  }
  return result;
}

std::unique_ptr<ReadableFile> WindowsFileSystem::openRead(const fs::path& path, std::error_code& error) {
  error.clear();
  // Others may go on reading, writing, renaming and deleting it, as on a
  // POSIX system; a folder opens too, and says it is one.
  HANDLE handle = ::CreateFileW(windowsPath(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = lastError();
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) {
    error = lastError();
    ::CloseHandle(handle);
    return nullptr;
  }
  const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return std::make_unique<WindowsOpenFile>(handle, typeOf(handle, info.dwFileAttributes), size);
}

std::unique_ptr<NewFile> WindowsFileSystem::createWhole(const fs::path& destination, const NewFileOptions& options,
                                                        std::error_code& error) {
  error.clear();
  const fs::path folder = destination.parent_path();
  std::string base = utf8Of(destination.filename());
  if (options.maxNameBytes > 0 && base.size() > options.maxNameBytes) {
    base.resize(options.maxNameBytes);
    // Never inside a UTF-8 sequence: the name must still convert.
    while (!base.empty() && (static_cast<unsigned char>(base.back()) & 0xC0) == 0x80) base.pop_back();
    if (!base.empty() && (static_cast<unsigned char>(base.back()) & 0x80)) base.pop_back();
  }
  if (options.hidden) base.insert(0, ".");
  // keepPermissions needs nothing here: a file takes its folder's access
  // rules, the ones the file it replaces had from the same folder.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string name = base + options.temporaryTag + uniqueTag();
    fs::path temporary = folder / pathOf(name);
    HANDLE handle = ::CreateFileW(windowsPath(temporary).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
      error = errorOf(code);
      return nullptr;
    }
    return std::make_unique<WindowsNewFile>(handle, destination, std::move(temporary));
  }
  error = std::make_error_code(std::errc::file_exists);
  return nullptr;
}

void WindowsFileSystem::createEmptyExclusive(const fs::path& path, std::error_code& error) {
  error.clear();
  Handle handle(::CreateFileW(windowsPath(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.valid()) error = lastError();
}

std::unique_ptr<OpenFile> WindowsFileSystem::openWrite(const fs::path& path, bool mustBeNew, std::error_code& error) {
  error.clear();
  HANDLE handle = ::CreateFileW(windowsPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                mustBeNew ? CREATE_NEW : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = lastError();
    return nullptr;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle, &size)) {
    error = lastError();
    ::CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<WindowsOpenFile>(handle, EntryType::File, static_cast<std::uint64_t>(size.QuadPart));
}

std::unique_ptr<OpenFile> WindowsFileSystem::createScratch(const fs::path& folder, std::error_code& error) {
  error.clear();
  const fs::path where = folder.empty() ? fs::path(".") : folder;
  // Windows has no file without a name: this one is hidden, kept in the
  // cache where it can be, and deleted by the system when its handle
  // closes, even when the program is killed.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const fs::path path = where / (".rows-" + uniqueTag());
    HANDLE handle = ::CreateFileW(windowsPath(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                  CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
      error = errorOf(code);
      return nullptr;
    }
    return std::make_unique<WindowsOpenFile>(handle, EntryType::File, 0);
  }
  error = std::make_error_code(std::errc::file_exists);
  return nullptr;
}

void WindowsFileSystem::createFolder(const fs::path& path, std::error_code& error) {
  error.clear();
  if (!::CreateDirectoryW(windowsPath(path).c_str(), nullptr)) error = lastError();
}

void WindowsFileSystem::rename(const fs::path& from, const fs::path& to, std::error_code& error) {
  move(from, to, true, error);
}

bool WindowsFileSystem::renameNoReplace(const fs::path& from, const fs::path& to, std::error_code& error) {
  return move(from, to, false, error);
}

bool WindowsFileSystem::remove(const fs::path& path, std::error_code& error) {
  error.clear();
  const std::wstring wide = windowsPath(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return false;
    error = errorOf(code);
    return false;
  }
  // A folder (or a link to one) goes with RemoveDirectoryW, all else with DeleteFileW.
  const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(wide.c_str()) != 0
                                                               : ::DeleteFileW(wide.c_str()) != 0;
  if (!removed) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return false;
    error = errorOf(code);
  }
  return removed;
}

std::vector<FolderEntry> WindowsFileSystem::list(const fs::path& folder, std::error_code& error) {
  error.clear();
  std::vector<FolderEntry> entries;
  std::wstring pattern = windowsPath(folder.empty() ? fs::path(".") : folder);
  if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    // A drive's root holds no "." or "..": empty, it has nothing to find.
    if (code == ERROR_FILE_NOT_FOUND && status(folder, error).type == EntryType::Folder) return entries;
    error = errorOf(code);
    return entries;
  }
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry entry{utf8Of(name), EntryType::File};
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      // Types follow links, as a folder view shows them.
      std::error_code typeError;
      entry.type = status(folder / pathOf(entry.name), typeError).type;
    } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      entry.type = EntryType::Folder;
    }
    entries.push_back(std::move(entry));
  } while (::FindNextFileW(search, &found));
  const DWORD code = ::GetLastError();
  ::FindClose(search);
  if (code != ERROR_NO_MORE_FILES) error = errorOf(code);
  return entries;
}

FileSystem::Space WindowsFileSystem::space(const fs::path& path, std::error_code& error) {
  error.clear();
  // The call wants a folder; a file's space is its folder's.
  fs::path folder = path.empty() ? fs::path(".") : path;
  std::error_code statusError;
  if (status(folder, statusError).type == EntryType::File) folder = folder.parent_path();
  std::wstring wide = windowsPath(folder.empty() ? fs::path(".") : folder);
  if (!wide.empty() && wide.back() != L'\\') wide += L'\\';
  ULARGE_INTEGER available{}, capacity{}, free{};
  if (!::GetDiskFreeSpaceExW(wide.c_str(), &available, &capacity, &free)) {
    error = lastError();
    return {};
  }
  return {capacity.QuadPart, available.QuadPart};
}

bool WindowsFileSystem::syncFolder(const fs::path& folder, std::error_code& error) {
  error.clear();
  const std::wstring wide = windowsPath(folder.empty() ? fs::path(".") : folder);
  Handle handle(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) {
    const DWORD code = ::GetLastError();
    if (code != ERROR_ACCESS_DENIED) {
      error = errorOf(code);
      return false;
    }
    // Not ours to write: enough that it is there.
    Handle look(::CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!look.valid()) error = lastError();
    return look.valid();
  }
  if (!::FlushFileBuffers(handle.get())) {
    const DWORD code = ::GetLastError();
    // Many file systems refuse to flush a folder. NTFS keeps its folders in
    // its journal, so a name it returned from a rename is already safe.
    if (code != ERROR_ACCESS_DENIED && code != ERROR_INVALID_FUNCTION && code != ERROR_INVALID_PARAMETER &&
        code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_HANDLE)
      error = errorOf(code);
  }
  return true;
}

bool WindowsFileSystem::syncFileSystemOf(const fs::path& folder, std::error_code& error) {
  // Flushing the volume takes an administrator; the files the program wrote
  // there are the ones in this folder.
  if (!syncFolder(folder, error)) return false;
  if (error) return true;
  flushFilesBelow(folder, error, 0);
  return true;
}

bool WindowsFileSystem::sameFile(const fs::path& a, const fs::path& b, std::error_code& error) {
  error.clear();
  Handle first(openToLook(a, false));
  if (!first.valid()) {
    error = lastError();
    return false;
  }
  Handle second(openToLook(b, false));
  if (!second.valid()) return false;
  BY_HANDLE_FILE_INFORMATION one{}, other{};
  if (!::GetFileInformationByHandle(first.get(), &one) || !::GetFileInformationByHandle(second.get(), &other)) {
    error = lastError();
    return false;
  }
  return one.dwVolumeSerialNumber == other.dwVolumeSerialNumber && one.nFileIndexHigh == other.nFileIndexHigh &&
         one.nFileIndexLow == other.nFileIndexLow;
}

fs::path WindowsFileSystem::resolved(const fs::path& path, std::error_code& error) {
  error.clear();
  const std::wstring wide = windowsPath(path.empty() ? fs::path(".") : path);
  const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  std::wstring full(needed, L'\0');
  const DWORD length = needed ? ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr) : 0;
  if (length == 0 || length >= needed) {
    error = lastError();
    return {};
  }
  full.resize(length);
  // The longest part that exists has its links resolved; the rest follows
  // as written, as with weakly_canonical.
  fs::path existing(full);
  fs::path rest;
  for (;;) {
    Handle handle(::CreateFileW(windowsPath(existing).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.valid()) {
      std::wstring final(MAX_PATH, L'\0');
      DWORD got = ::GetFinalPathNameByHandleW(handle.get(), final.data(), static_cast<DWORD>(final.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
      if (got >= final.size()) {
        final.resize(got + 1);
        got = ::GetFinalPathNameByHandleW(handle.get(), final.data(), static_cast<DWORD>(final.size()),
                                          FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
      }
      if (got > 0 && got < final.size()) {
        final.resize(got);
        // The caller gets the form users know, not the long one.
        if (final.rfind(L"\\\\?\\UNC\\", 0) == 0) final = L"\\\\" + final.substr(8);
        else if (final.rfind(L"\\\\?\\", 0) == 0) final = final.substr(4);
        existing = fs::path(final);
      }
      break;
    }
    if (!existing.has_relative_path()) break;  // the root itself
    rest = rest.empty() ? existing.filename() : existing.filename() / rest;
    existing = existing.parent_path();
  }
  return rest.empty() ? existing : (existing / rest).lexically_normal();
}

}  // namespace varnolt::base
