#include "mapi/cfb/writer.h"

#include <algorithm>
#include <string>

#include "mapi/cfb/atomic_file.h"
#include "mapi/cfb/format.h"

namespace varnolt::mapi::cfb {
namespace {

// Version 3 holds streams of at most 2 GiB ([MS-CFB] 2.6.3).
constexpr std::uint64_t kV3MaxStreamSize = 0x80000000u;

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// One directory entry to be written, with where its data goes.
struct Node {
  const Entry* entry = nullptr;
  std::u16string name;
  DirEntry dir;
  std::vector<std::uint32_t> members;  // storages: children's ids, sorted by name
  bool mini = false;
  std::uint64_t sectors = 0;           // regular or mini sectors the data takes
};

class Layout {
 public:
  Layout(const Entry& root, const WriteOptions& options) {
    if (!root.isStorage()) throw Error(ErrorKind::InvalidArgument, "the root of a compound file must be a storage");
    add(root, "");
    // The mini stream is a stream too, held by the root entry.
    std::uint64_t largest = 0, miniStream = 0;
    for (const auto& n : nodes_) {
      if (!n.entry->isStream()) continue;
      std::uint64_t size = n.entry->data.size();
      largest = std::max(largest, size);
      if (size < kMiniStreamCutoff) miniStream += ceilDiv(size, kMiniSectorSize) * kMiniSectorSize;
    }
    largest = std::max(largest, miniStream);
    bool v4 = options.version == WriteOptions::Version::V4 ||
              (options.version == WriteOptions::Version::Auto && largest > kV3MaxStreamSize);
    if (!v4 && largest > kV3MaxStreamSize)
      throw Error(ErrorKind::Limit, "a stream of " + std::to_string(largest) + " bytes needs a version 4 compound file");
    header_.majorVersion = v4 ? 4 : 3;
    header_.sectorShift = v4 ? 12 : 9;
    ss_ = header_.sectorSize();
    for (auto& n : nodes_) buildTree(n);
    place();
  }

  std::uint64_t fileSize() const { return (std::uint64_t{totalSectors_} + 1) * ss_; }
  void emit(const Sink& sink) const;

 private:
  std::uint32_t add(const Entry& e, const std::string& path) {
    std::uint32_t id = static_cast<std::uint32_t>(nodes_.size());
    Node n;
    n.entry = &e;
    n.name = toUtf16(e.name);
    std::string where = path.empty() ? e.name : path + "/" + e.name;
    if (id != 0) {
      checkName(n.name, where);
    } else {
      n.name = u"Root Entry";  // the only name the root may have
    }
    nodes_.push_back(std::move(n));
    if (e.isStorage()) {
      // Members are numbered in name order, so the file depends only on
      // the tree and not on the order its children were added in.
      std::vector<std::pair<std::u16string, const Entry*>> children;
      for (const auto& c : e.children) children.emplace_back(toUtf16(c.name), &c);
      std::stable_sort(children.begin(), children.end(),
                       [](const auto& a, const auto& b) { return compareNames(a.first, b.first) < 0; });
      for (std::size_t i = 1; i < children.size(); ++i)
        if (compareNames(children[i - 1].first, children[i].first) == 0)
          throw Error(ErrorKind::InvalidArgument, "two entries of one storage are both named '" +
                                                      children[i].second->name + "' (names ignore case)");
      std::vector<std::uint32_t> members;
      for (const auto& c : children) members.push_back(add(*c.second, id == 0 ? std::string() : where));
      nodes_[id].members = std::move(members);
    }
    return id;
  }

  static void checkName(const std::u16string& name, const std::string& where) {
    if (name.empty()) throw Error(ErrorKind::InvalidArgument, "an entry in '" + where + "' has an empty name");
    if (name.size() > kMaxNameUnits)
      throw Error(ErrorKind::InvalidArgument, "the name '" + where + "' is longer than 31 characters");
    for (char16_t c : name)
      if (c == u'/' || c == u'\\' || c == u':' || c == u'!' || c == 0)
        throw Error(ErrorKind::InvalidArgument, "the name '" + where + "' holds a character names may not hold");
  }

  // The members of a storage as a balanced binary tree: the middle member
  // is the root of each subtree. All leaves then lie on the last two
  // levels; colouring the nodes of the incomplete last level red and all
  // others black satisfies the red-black rules.
  void buildTree(Node& storage) {
    if (storage.members.empty()) return;
    std::size_t n = storage.members.size();
    unsigned fullLevels = 0;
    while ((std::size_t{2} << fullLevels) - 1 <= n) ++fullLevels;  // floor(log2(n + 1))
    storage.dir.child = subtree(storage.members, 0, n, 0, fullLevels);
  }

  std::uint32_t subtree(const std::vector<std::uint32_t>& ids, std::size_t lo, std::size_t hi, unsigned depth,
                        unsigned redDepth) {
    if (lo >= hi) return kNoStream;
    std::size_t mid = lo + (hi - lo) / 2;
    Node& node = nodes_[ids[mid]];
    node.dir.color = depth == redDepth ? Color::Red : Color::Black;
    std::uint32_t left = subtree(ids, lo, mid, depth + 1, redDepth);
    std::uint32_t right = subtree(ids, mid + 1, hi, depth + 1, redDepth);
    nodes_[ids[mid]].dir.left = left;
    nodes_[ids[mid]].dir.right = right;
    return ids[mid];
  }

  void place() {
    const std::uint64_t regular = fillDirectory();
    sizeSectors(regular);
    assignStartSectors();
    fillHeader();
  }

  // Fills each directory entry and counts the sectors of its data: mini
  // sectors first, in directory order. Returns the regular sectors the
  // streams take.
  std::uint64_t fillDirectory() {
    std::uint64_t miniSectors = 0;
    std::uint64_t regular = 0;
    for (auto& n : nodes_) {
      DirEntry& d = n.dir;
      const Entry& e = *n.entry;
      d.name.fill(0);
      for (std::size_t i = 0; i < n.name.size(); ++i) d.name[i] = n.name[i];
      d.nameLength = static_cast<std::uint16_t>((n.name.size() + 1) * 2);
      if (e.isStream()) {
        d.type = ObjectType::Stream;
        d.streamSize = e.data.size();
        d.startSector = kEndOfChain;
        if (e.data.empty()) continue;
        if (e.data.size() < kMiniStreamCutoff) {
          n.mini = true;
          n.sectors = ceilDiv(e.data.size(), kMiniSectorSize);
          d.startSector = static_cast<std::uint32_t>(miniSectors);
          miniSectors += n.sectors;
        } else {
          n.sectors = ceilDiv(e.data.size(), ss_);
          regular += n.sectors;
        }
      } else {
        d.type = &n == &nodes_[0] ? ObjectType::Root : ObjectType::Storage;
        d.clsid = e.clsid;
        d.stateBits = e.stateBits;
        d.creationTime = &n == &nodes_[0] ? 0 : e.creationTime;  // the root's is always zero
        d.modifiedTime = e.modifiedTime;
      }
    }
    miniSectors_ = miniSectors;
    return regular;
  }

  // Counts the sectors of each part of the file. The FAT must also cover
  // its own sectors and those of the DIFAT.
  void sizeSectors(std::uint64_t regular) {
    dirSectors_ = ceilDiv(nodes_.size() * kDirEntrySize, ss_);
    miniFatSectors_ = ceilDiv(miniSectors_ * 4, ss_);
    miniStreamSectors_ = ceilDiv(miniSectors_ * kMiniSectorSize, ss_);
    std::uint64_t content = dirSectors_ + miniFatSectors_ + miniStreamSectors_ + regular;

    const std::uint64_t perFat = ss_ / 4;
    const std::uint64_t perDifat = perFat - 1;
    std::uint64_t fat = 0, difat = 0;
    while (true) {
      std::uint64_t total = content + fat + difat;
      std::uint64_t needFat = ceilDiv(total, perFat);
      std::uint64_t needDifat = needFat > kHeaderDifatEntries ? ceilDiv(needFat - kHeaderDifatEntries, perDifat) : 0;
      if (needFat == fat && needDifat == difat) break;
      fat = needFat;
      difat = needDifat;
    }
    std::uint64_t total = content + fat + difat;
    if (total > kMaxRegSect)
      throw Error(ErrorKind::Limit, "the compound file would need more sectors than the format can number");
    fatSectors_ = fat;
    difatSectors_ = difat;
    totalSectors_ = static_cast<std::uint32_t>(total);
  }

  // Sector order: FAT, DIFAT, directory, mini FAT, mini stream, streams.
  void assignStartSectors() {
    std::uint32_t next = static_cast<std::uint32_t>(fatSectors_ + difatSectors_);
    dirStart_ = next;
    next += static_cast<std::uint32_t>(dirSectors_);
    miniFatStart_ = next;
    next += static_cast<std::uint32_t>(miniFatSectors_);
    miniStreamStart_ = next;
    next += static_cast<std::uint32_t>(miniStreamSectors_);
    for (auto& n : nodes_) {
      if (n.entry->isStream() && !n.mini && n.sectors > 0) {
        n.dir.startSector = next;
        next += static_cast<std::uint32_t>(n.sectors);
      }
    }
    Node& root = nodes_[0];
    root.dir.startSector = miniSectors_ ? miniStreamStart_ : kEndOfChain;
    root.dir.streamSize = miniSectors_ * kMiniSectorSize;
  }

  void fillHeader() {
    const std::uint64_t fat = fatSectors_;
    const std::uint64_t difat = difatSectors_;
    header_.numFatSectors = static_cast<std::uint32_t>(fat);
    header_.numDirSectors = header_.majorVersion == 4 ? static_cast<std::uint32_t>(dirSectors_) : 0;
    header_.firstDirSector = dirStart_;
    header_.firstMiniFatSector = miniFatSectors_ ? miniFatStart_ : kEndOfChain;
    header_.numMiniFatSectors = static_cast<std::uint32_t>(miniFatSectors_);
    header_.firstDifatSector = difat ? static_cast<std::uint32_t>(fat) : kEndOfChain;
    header_.numDifatSectors = static_cast<std::uint32_t>(difat);
    header_.difat.fill(kFreeSect);
    for (std::size_t i = 0; i < kHeaderDifatEntries && i < fat; ++i) header_.difat[i] = static_cast<std::uint32_t>(i);
  }

  std::vector<std::uint32_t> fatTable() const {
    std::vector<std::uint32_t> t(fatSectors_ * (ss_ / 4), kFreeSect);
    std::uint32_t s = 0;
    for (std::uint64_t i = 0; i < fatSectors_; ++i) t[s++] = kFatSect;
    for (std::uint64_t i = 0; i < difatSectors_; ++i) t[s++] = kDifSect;
    auto chain = [&t, &s](std::uint64_t count) {
      for (std::uint64_t i = 0; i < count; ++i, ++s) t[s] = i + 1 < count ? s + 1 : kEndOfChain;
    };
    chain(dirSectors_);
    chain(miniFatSectors_);
    chain(miniStreamSectors_);
    for (const auto& n : nodes_)
      if (n.entry->isStream() && !n.mini) chain(n.sectors);
    return t;
  }

  std::vector<std::uint32_t> miniFatTable() const {
    std::vector<std::uint32_t> t(miniFatSectors_ * (ss_ / 4), kFreeSect);
    std::uint32_t s = 0;
    for (const auto& n : nodes_)
      if (n.mini)
        for (std::uint64_t i = 0; i < n.sectors; ++i, ++s) t[s] = i + 1 < n.sectors ? s + 1 : kEndOfChain;
    return t;
  }

  std::vector<Node> nodes_;
  Header header_;
  std::size_t ss_ = 512;
  std::uint64_t miniSectors_ = 0, dirSectors_ = 0, miniFatSectors_ = 0, miniStreamSectors_ = 0;
  std::uint64_t fatSectors_ = 0, difatSectors_ = 0;
  std::uint32_t totalSectors_ = 0, dirStart_ = 0, miniFatStart_ = 0, miniStreamStart_ = 0;
};

// Collects output and hands it on in whole sectors.
class SectorWriter {
 public:
  SectorWriter(const Sink& sink, std::size_t ss) : sink_(sink), ss_(ss) { buf_.reserve(ss); }
  void put(const std::uint8_t* p, std::size_t n) {
    if (buf_.empty() && n >= ss_) {
      std::size_t whole = n - n % ss_;
      sink_(p, whole);
      p += whole;
      n -= whole;
    }
    while (n > 0) {
      std::size_t take = std::min(n, ss_ - buf_.size());
      buf_.insert(buf_.end(), p, p + take);
      p += take;
      n -= take;
      if (buf_.size() == ss_) flush();
    }
  }
  void put(const Bytes& b) { put(b.data(), b.size()); }
  void putTable(const std::vector<std::uint32_t>& t) {
    Bytes b;
    b.reserve(t.size() * 4);
    for (auto v : t) putU32(b, v);
    put(b);
  }
  // Fills the current sector with `fill` bytes.
  void pad(std::uint8_t fill = 0) {
    if (buf_.empty()) return;
    buf_.resize(ss_, fill);
    flush();
  }

 private:
  void flush() {
    sink_(buf_.data(), buf_.size());
    buf_.clear();
  }
  const Sink& sink_;
  std::size_t ss_;
  Bytes buf_;
};

void Layout::emit(const Sink& sink) const {
  SectorWriter out(sink, ss_);
  out.put(header_.serialize());
  out.pad();
  out.putTable(fatTable());

  // DIFAT sectors list the FAT sectors past the first 109.
  const std::size_t perDifat = ss_ / 4 - 1;
  for (std::uint64_t d = 0; d < difatSectors_; ++d) {
    std::vector<std::uint32_t> t(ss_ / 4, kFreeSect);
    for (std::size_t i = 0; i < perDifat; ++i) {
      std::uint64_t fatIndex = kHeaderDifatEntries + d * perDifat + i;
      if (fatIndex < fatSectors_) t[i] = static_cast<std::uint32_t>(fatIndex);
    }
    t[perDifat] = d + 1 < difatSectors_ ? static_cast<std::uint32_t>(fatSectors_ + d + 1) : kEndOfChain;
    out.putTable(t);
  }

  Bytes dir;
  dir.reserve(dirSectors_ * ss_);
  for (const auto& n : nodes_) n.dir.serializeTo(dir);
  DirEntry unused;  // all zero but for the three links
  unused.color = Color::Red;
  while (dir.size() < dirSectors_ * ss_) unused.serializeTo(dir);
  out.put(dir);

  out.putTable(miniFatTable());

  static const std::uint8_t zeros[kMiniSectorSize] = {};
  for (const auto& n : nodes_) {
    if (!n.mini) continue;
    out.put(n.entry->data);
    std::size_t tail = n.entry->data.size() % kMiniSectorSize;
    if (tail) out.put(zeros, kMiniSectorSize - tail);
  }
  out.pad();

  for (const auto& n : nodes_) {
    if (!n.entry->isStream() || n.mini || n.sectors == 0) continue;
    out.put(n.entry->data);
    out.pad();
  }
}

}  // namespace

void writeCompoundFile(const Entry& root, const Sink& sink, const WriteOptions& options) {
  Layout(root, options).emit(sink);
}

Bytes writeCompoundFile(const Entry& root, const WriteOptions& options) {
  Layout layout(root, options);
  Bytes out;
  out.reserve(static_cast<std::size_t>(layout.fileSize()));
  layout.emit([&out](const std::uint8_t* p, std::size_t n) { out.insert(out.end(), p, p + n); });
  return out;
}

void writeCompoundFile(const std::filesystem::path& path, const Entry& root, const WriteOptions& options) {
  Layout layout(root, options);
  AtomicFile file(path);
  layout.emit([&file](const std::uint8_t* p, std::size_t n) { file.write(p, n); });
  file.commit();
}

std::uint64_t compoundFileSize(const Entry& root, const WriteOptions& options) {
  return Layout(root, options).fileSize();
}

}  // namespace varnolt::mapi::cfb
