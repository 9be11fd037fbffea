#include "mapi/cfb/reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <system_error>

#include "base/file_system.h"
#include "mapi/cfb/format.h"
#include "mapi/util/text.h"

namespace varnolt::mapi::cfb {
namespace {

std::string hex32(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// Where the bytes come from: a buffer, or a file read on demand.
class Source {
 public:
  virtual ~Source() = default;
  virtual std::uint64_t size() const = 0;
  // Copies n bytes at off; the caller has checked that they lie in the file.
  virtual void read(std::uint64_t off, std::uint8_t* dst, std::size_t n) const = 0;
};

class MemorySource final : public Source {
 public:
  explicit MemorySource(ByteView bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  void read(std::uint64_t off, std::uint8_t* dst, std::size_t n) const override {
    if (n) std::memcpy(dst, bytes_.data() + off, n);
  }

 private:
  ByteView bytes_;
};

class FileSource final : public Source {
 public:
  explicit FileSource(const std::filesystem::path& path) {
    std::error_code error;
    file_ = base::fileSystem().openRead(path, error);
    if (!file_) throw Error(ErrorKind::Io, "cannot open the file: " + error.message());
    if (file_->type() != base::EntryType::File) throw Error(ErrorKind::Io, "not a regular file");
    size_ = file_->size();
  }

  std::uint64_t size() const override { return size_; }
  void read(std::uint64_t off, std::uint8_t* dst, std::size_t n) const override {
    while (n > 0) {
      std::error_code error;
      const std::size_t got = file_->readAt(off, dst, n, error);
      if (error) throw Error(ErrorKind::Io, "cannot read the file: " + error.message(), off);
      if (got == 0) throwTruncated("the file became shorter while it was read", off);
      dst += got;
      n -= got;
      off += got;
    }
  }

 private:
  std::unique_ptr<base::ReadableFile> file_;
  std::uint64_t size_ = 0;
};

constexpr std::uint64_t kUntilEnd = std::numeric_limits<std::uint64_t>::max();

class Reader {
 public:
  Reader(const Source& src, const ReadLimits& limits) : src_(src), limits_(limits) {}

  Entry read() {
    readHeader();
    readFat();
    readDirectory();
    readMiniStream();
    return buildTree();
  }

 private:
  // --- header and allocation tables ---------------------------------

  void readHeader() {
    std::uint8_t raw[kHeaderSize];
    if (src_.size() < kHeaderSize) {
      // Tell a short compound file from something else altogether.
      std::size_t n = static_cast<std::size_t>(src_.size());
      src_.read(0, raw, n);
      if (n >= kSignature.size() && std::equal(kSignature.begin(), kSignature.end(), raw))
        throwTruncated("file is shorter than a compound-file header (512 bytes)");
      throw Error(ErrorKind::BadFormat, "not a compound file (the signature is missing)");
    }
    src_.read(0, raw, kHeaderSize);
    h_ = Header::parse(ByteView(raw, kHeaderSize));
    if (h_.byteOrder != kByteOrderMark)
      throw Error(ErrorKind::BadFormat, "compound-file byte order mark is " + hex32(h_.byteOrder) + ", not 0xFFFE");
    if (h_.majorVersion != 3 && h_.majorVersion != 4)
      throw Error(ErrorKind::Unsupported, "compound-file version " + std::to_string(h_.majorVersion) + " is not supported");
    if (h_.sectorShift != 9 && h_.sectorShift != 12)
      throw Error(ErrorKind::Unsupported, "compound-file sector size 2^" + std::to_string(h_.sectorShift) + " is not supported");
    if (h_.miniSectorShift != kMiniSectorShift)
      throw Error(ErrorKind::Unsupported, "compound-file mini sector size 2^" + std::to_string(h_.miniSectorShift) + " is not supported");
    if (h_.miniStreamCutoff != kMiniStreamCutoff)
      throw Error(ErrorKind::Unsupported, "compound-file mini stream cutoff " + std::to_string(h_.miniStreamCutoff) + " is not supported");
    ss_ = h_.sectorSize();
    std::uint64_t size = src_.size();
    std::uint64_t sectors = size > ss_ ? (size - ss_ + ss_ - 1) / ss_ : 0;
    nSectors_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, kMaxRegSect + std::uint64_t{1}));
    claimed_.assign(nSectors_, false);
  }

  std::uint64_t sectorOffset(std::uint32_t sid) const { return (std::uint64_t{sid} + 1) * ss_; }

  // Copies n bytes from the start of a sector, refusing to read past the file.
  void readSector(std::uint32_t sid, std::uint8_t* dst, std::size_t n, const char* what) const {
    std::uint64_t off = sectorOffset(sid);
    if (off > src_.size() || n > src_.size() - off)
      throwTruncated(std::string("the file ends inside ") + what + " (sector " + std::to_string(sid) + ")", off);
    src_.read(off, dst, n);
  }

  void checkSector(std::uint32_t sid, const std::string& what) const {
    if (sid > kMaxRegSect)
      throwCorrupt(what + " refers to the special sector id " + hex32(sid) + " where a sector is needed");
    if (sid >= nSectors_)
      throwCorrupt(what + " points past the end of the file (sector " + std::to_string(sid) + ", the file holds " +
                   std::to_string(nSectors_) + ")");
  }

  void claim(std::uint32_t sid, const std::string& what) {
    checkSector(sid, what);
    if (claimed_[sid])
      throwCorrupt(what + " reaches sector " + std::to_string(sid) +
                   " a second time (a loop in the allocation table, or two chains sharing a sector)");
    claimed_[sid] = true;
  }

  void readFat() {
    if (h_.numFatSectors > nSectors_)
      throwCorrupt("header lists " + std::to_string(h_.numFatSectors) + " FAT sectors but the file holds only " +
                   std::to_string(nSectors_) + " sectors");
    std::vector<std::uint32_t> fatSectors;
    fatSectors.reserve(h_.numFatSectors);
    for (std::size_t i = 0; i < kHeaderDifatEntries && fatSectors.size() < h_.numFatSectors; ++i)
      fatSectors.push_back(h_.difat[i]);

    // FAT sectors past the first 109 are listed in a chain of DIFAT
    // sectors, the last id of each pointing to the next.
    const std::size_t perDifat = ss_ / 4 - 1;
    std::uint32_t next = h_.firstDifatSector;
    std::vector<std::uint8_t> buf(ss_);
    while (fatSectors.size() < h_.numFatSectors) {
      if (next == kEndOfChain || next == kFreeSect)
        throwCorrupt("the DIFAT ends after " + std::to_string(fatSectors.size()) + " of " +
                     std::to_string(h_.numFatSectors) + " FAT sectors");
      claim(next, "the DIFAT chain");
      readSector(next, buf.data(), ss_, "a DIFAT sector");
      ByteView v(buf);
      for (std::size_t i = 0; i < perDifat && fatSectors.size() < h_.numFatSectors; ++i) fatSectors.push_back(v.u32(4 * i));
      next = v.u32(4 * perDifat);
    }

    const std::size_t perFat = ss_ / 4;
    fat_.reserve(fatSectors.size() * perFat);
    for (std::uint32_t sid : fatSectors) {
      claim(sid, "the list of FAT sectors");
      readSector(sid, buf.data(), ss_, "the FAT");
      ByteView v(buf);
      for (std::size_t i = 0; i < perFat; ++i) fat_.push_back(v.u32(4 * i));
    }
    // Entries past the last sector of the file describe nothing.
    if (fat_.size() > nSectors_) fat_.resize(nSectors_);
  }

  // The sectors of a chain, at most `need` of them (or up to its end).
  std::vector<std::uint32_t> followChain(std::uint32_t start, std::uint64_t need, const std::string& what) {
    std::vector<std::uint32_t> out;
    std::uint32_t sid = start;
    while (out.size() < need) {
      if (sid == kEndOfChain && need == kUntilEnd) break;
      if (sid == kEndOfChain || sid == kFreeSect)
        throwCorrupt(what + " ends after " + std::to_string(out.size()) + " sectors, " + std::to_string(need) +
                     " are needed");
      claim(sid, what);
      out.push_back(sid);
      if (sid >= fat_.size()) throwCorrupt(what + ": sector " + std::to_string(sid) + " has no FAT entry");
      sid = fat_[sid];
    }
    return out;
  }

  Bytes readChainBytes(std::uint32_t start, std::uint64_t size, const std::string& what) {
    // Sizes come from the file: a version 4 size near 2^64 must not wrap
    // around to a small sector count.
    std::uint64_t need = size / ss_ + (size % ss_ != 0 ? 1 : 0);
    if (need > nSectors_)
      throwCorrupt(what + " claims " + std::to_string(size) + " bytes, more than the file holds");
    auto sectors = followChain(start, need, what);
    Bytes out(static_cast<std::size_t>(size));
    std::size_t done = 0;
    for (std::uint32_t sid : sectors) {
      std::size_t n = std::min<std::size_t>(ss_, out.size() - done);
      readSector(sid, out.data() + done, n, what.c_str());
      done += n;
    }
    return out;
  }

  // --- directory and mini stream ------------------------------------

  void readDirectory() {
    auto sectors = followChain(h_.firstDirSector, kUntilEnd, "the directory chain");
    if (sectors.empty()) throwCorrupt("the compound file has no directory");
    std::vector<std::uint8_t> buf(ss_);
    dir_.reserve(sectors.size() * (ss_ / kDirEntrySize));
    for (std::uint32_t sid : sectors) {
      readSector(sid, buf.data(), ss_, "the directory");
      for (std::size_t off = 0; off + kDirEntrySize <= ss_; off += kDirEntrySize)
        dir_.push_back(DirEntry::parse(ByteView(buf.data() + off, kDirEntrySize)));
    }
    if (dir_[0].type != ObjectType::Root) throwCorrupt("the first directory entry is not the root storage");
    visited_.assign(dir_.size(), false);
  }

  std::uint64_t streamSize(const DirEntry& e) const {
    // Version 3 files keep sizes in 32 bits; some writers leave junk in
    // the high half, which readers are told to ignore.
    return h_.majorVersion == 3 ? (e.streamSize & 0xFFFFFFFFu) : e.streamSize;
  }

  void readMiniStream() {
    const DirEntry& root = dir_[0];
    std::uint64_t size = streamSize(root);
    if (size > 0) miniStream_ = readChainBytes(root.startSector, size, "the mini stream");
    std::uint64_t miniSectors = (miniStream_.size() + kMiniSectorSize - 1) / kMiniSectorSize;
    miniClaimed_.assign(static_cast<std::size_t>(miniSectors), false);

    if (h_.firstMiniFatSector != kEndOfChain && h_.numMiniFatSectors != 0) {
      auto sectors = followChain(h_.firstMiniFatSector, kUntilEnd, "the mini FAT chain");
      std::vector<std::uint8_t> buf(ss_);
      miniFat_.reserve(sectors.size() * (ss_ / 4));
      for (std::uint32_t sid : sectors) {
        readSector(sid, buf.data(), ss_, "the mini FAT");
        ByteView v(buf);
        for (std::size_t i = 0; i < ss_ / 4; ++i) miniFat_.push_back(v.u32(4 * i));
      }
    }
  }

  Bytes readMiniChainBytes(std::uint32_t start, std::uint64_t size, const std::string& what) {
    if (size > miniStream_.size())
      throwCorrupt(what + " claims " + std::to_string(size) + " bytes, more than the mini stream holds");
    Bytes out(static_cast<std::size_t>(size));
    std::size_t done = 0;
    std::uint32_t sid = start;
    while (done < out.size()) {
      if (sid >= miniClaimed_.size())
        throwCorrupt(what + " points past the end of the mini stream (mini sector " + hex32(sid) + ")");
      if (miniClaimed_[sid])
        throwCorrupt(what + " reaches mini sector " + std::to_string(sid) +
                     " a second time (a loop in the mini FAT, or two streams sharing a sector)");
      miniClaimed_[sid] = true;
      std::size_t off = std::size_t{sid} * kMiniSectorSize;
      std::size_t n = std::min<std::size_t>({kMiniSectorSize, out.size() - done, miniStream_.size() - off});
      if (n < std::min<std::size_t>(kMiniSectorSize, out.size() - done))
        throwTruncated(what + " runs past the end of the mini stream");
      std::memcpy(out.data() + done, miniStream_.data() + off, n);
      done += n;
      if (done < out.size()) {
        if (sid >= miniFat_.size()) throwCorrupt(what + ": mini sector " + std::to_string(sid) + " has no mini FAT entry");
        sid = miniFat_[sid];
      }
    }
    return out;
  }

  Bytes readStream(const DirEntry& e, const std::string& what) {
    std::uint64_t size = streamSize(e);
    if (size == 0) return {};
    if (size < h_.miniStreamCutoff) return readMiniChainBytes(e.startSector, size, what);
    return readChainBytes(e.startSector, size, what);
  }

  // --- the tree --------------------------------------------------------

  static std::string entryName(const DirEntry& e) {
    std::size_t units = std::min<std::size_t>(e.nameLength / 2, e.name.size());
    Bytes le;
    for (std::size_t i = 0; i < units && e.name[i] != 0; ++i) putU16(le, e.name[i]);
    return utf16leToUtf8(le);
  }

  // Ids 0 (the root) and NOSTREAM both mean "none" in a sibling or child
  // link; some writers use 0.
  static bool isLink(std::uint32_t id) { return id != kNoStream && id != 0; }

  void enter(std::uint32_t id, std::uint32_t from) {
    if (id >= dir_.size())
      throwCorrupt("directory entry " + std::to_string(from) + " refers to entry " + std::to_string(id) +
                   ", past the end of the directory (" + std::to_string(dir_.size()) + " entries)");
    if (visited_[id])
      throwCorrupt("directory entry " + std::to_string(id) + " is reached twice (a cycle in the directory tree)");
    visited_[id] = true;
    ObjectType t = dir_[id].type;
    if (t != ObjectType::Storage && t != ObjectType::Stream)
      throwCorrupt("the directory tree reaches entry " + std::to_string(id) + " of type " +
                   std::to_string(static_cast<int>(t)) + ", which is neither a storage nor a stream");
  }

  // The members of one storage, found by walking its red-black tree in
  // order without recursion (a hostile tree may be one long list).
  std::vector<std::uint32_t> members(std::uint32_t storageId) {
    std::vector<std::uint32_t> out;
    std::vector<std::uint32_t> stack;
    std::uint32_t from = storageId;
    std::uint32_t cur = dir_[storageId].child;
    while (true) {
      while (isLink(cur)) {
        enter(cur, from);
        stack.push_back(cur);
        from = cur;
        cur = dir_[cur].left;
      }
      if (stack.empty()) break;
      std::uint32_t id = stack.back();
      stack.pop_back();
      out.push_back(id);
      from = id;
      cur = dir_[id].right;
    }
    return out;
  }

  void fillStorage(std::uint32_t storageId, Entry& into, const std::string& path, unsigned depth) {
    if (depth > limits_.maxDepth)
      throw Error(ErrorKind::Limit, "storages are nested more than " + std::to_string(limits_.maxDepth) + " deep");
    for (std::uint32_t id : members(storageId)) {
      const DirEntry& d = dir_[id];
      Entry child;
      child.name = entryName(d);
      std::string childPath = path + "/" + child.name;
      if (d.type == ObjectType::Stream) {
        child.type = EntryType::Stream;
        child.data = readStream(d, "stream " + childPath);
      } else {
        child.type = EntryType::Storage;
        child.clsid = d.clsid;
        child.stateBits = d.stateBits;
        child.creationTime = d.creationTime;
        child.modifiedTime = d.modifiedTime;
        fillStorage(id, child, childPath, depth + 1);
      }
      into.children.push_back(std::move(child));
    }
  }

  Entry buildTree() {
    const DirEntry& r = dir_[0];
    visited_[0] = true;
    Entry root = Entry::root();
    std::string name = entryName(r);
    if (!name.empty()) root.name = name;
    root.clsid = r.clsid;
    root.stateBits = r.stateBits;
    root.creationTime = r.creationTime;
    root.modifiedTime = r.modifiedTime;
    fillStorage(0, root, "", 1);
    return root;
  }

  const Source& src_;
  ReadLimits limits_;
  Header h_;
  std::size_t ss_ = 512;
  std::uint32_t nSectors_ = 0;
  std::vector<std::uint32_t> fat_;
  std::vector<bool> claimed_;
  std::vector<DirEntry> dir_;
  std::vector<bool> visited_;
  Bytes miniStream_;
  std::vector<std::uint32_t> miniFat_;
  std::vector<bool> miniClaimed_;
};

}  // namespace

Entry readCompoundFile(ByteView bytes, const ReadLimits& limits) {
  MemorySource src(bytes);
  return Reader(src, limits).read();
}

Entry readCompoundFile(const std::filesystem::path& path, const ReadLimits& limits) {
  FileSource src(path);
  return Reader(src, limits).read();
}

bool hasCompoundFileSignature(ByteView bytes) {
  return bytes.size() >= kSignature.size() && std::equal(kSignature.begin(), kSignature.end(), bytes.data());
}

}  // namespace varnolt::mapi::cfb
