// Compound files: what the writer produces must read back the same, satisfy
// the format's rules (checked here from the raw bytes and by olefile), and
// the reader must refuse damaged files with a clear error.

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>

#include "mapi/cfb/format.h"
#include "mapi/cfb/reader.h"
#include "mapi/cfb/writer.h"
#include "mapi/util/sha256.h"
#include "tests/support/test_support.h"

namespace m = varnolt::mapi;
namespace cfb = varnolt::mapi::cfb;
namespace t = varnolt::test;

namespace {

m::Bytes pattern(std::size_t size, std::uint32_t seed) {
  m::Bytes b(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : b) {
    x = x * 1103515245u + 12345u;
    c = static_cast<std::uint8_t>(x >> 16);
  }
  return b;
}

// Children in name order, so trees compare whatever order they were built in.
cfb::Entry sorted(cfb::Entry e) {
  for (auto& c : e.children) c = sorted(std::move(c));
  std::sort(e.children.begin(), e.children.end(),
            [](const cfb::Entry& a, const cfb::Entry& b) { return cfb::compareNames(a.name, b.name) < 0; });
  return e;
}

cfb::Entry sampleTree() {
  cfb::Entry root = cfb::Entry::root();
  root.clsid = *m::Guid::parse("{00020D0B-0000-0000-C000-000000000046}");
  root.modifiedTime = 0x01D285DCC0B4F630;
  std::uint32_t seed = 1;
  for (std::size_t size : {0u, 1u, 63u, 64u, 65u, 4095u, 4096u, 4097u, 20000u})
    root.add(cfb::Entry::stream("s" + std::to_string(size), pattern(size, seed++)));
  cfb::Entry& sub = root.add(cfb::Entry::storage("Sub"));
  sub.clsid = *m::Guid::parse("{0003000C-0000-0000-C000-000000000046}");
  sub.stateBits = 7;
  sub.creationTime = 0x01D282FB52220890;
  sub.modifiedTime = 0x01D282FB5234CD40;
  sub.add(cfb::Entry::stream("inner", pattern(300, 99)));
  sub.add(cfb::Entry::storage("empty"));
  return root;
}

// The directory of a file as written, read here without the library's
// reader: header, then the directory chain through the FAT.
std::vector<cfb::DirEntry> rawDirectory(const m::Bytes& file) {
  cfb::Header h = cfb::Header::parse(file);
  std::size_t ss = h.sectorSize();
  std::vector<std::uint32_t> fat;
  for (std::size_t i = 0; i < h.numFatSectors && i < cfb::kHeaderDifatEntries; ++i) {
    m::ByteView s(file.data() + (h.difat[i] + 1) * ss, ss);
    for (std::size_t k = 0; k < ss / 4; ++k) fat.push_back(s.u32(4 * k));
  }
  std::vector<cfb::DirEntry> dir;
  for (std::uint32_t sid = h.firstDirSector; sid != cfb::kEndOfChain; sid = fat.at(sid))
    for (std::size_t off = 0; off < ss; off += cfb::kDirEntrySize)
      dir.push_back(cfb::DirEntry::parse(m::ByteView(file.data() + (sid + 1) * ss + off, cfb::kDirEntrySize)));
  return dir;
}

std::u16string nameOf(const cfb::DirEntry& e) {
  std::u16string s;
  for (std::size_t i = 0; i + 1 < e.nameLength / 2u && i < e.name.size(); ++i) s += static_cast<char16_t>(e.name[i]);
  return s;
}

// Checks the red-black rules of one storage's member tree and returns its
// black height; `names` receives the members in order.
int checkRedBlack(const std::vector<cfb::DirEntry>& dir, std::uint32_t id, bool parentRed,
                  std::vector<std::u16string>& names) {
  if (id == cfb::kNoStream) return 1;
  const auto& e = dir.at(id);
  bool red = e.color == cfb::Color::Red;
  EXPECT_FALSE(red && parentRed) << "red node " << id << " has a red parent";
  int left = checkRedBlack(dir, e.left, red, names);
  names.push_back(nameOf(e));
  int right = checkRedBlack(dir, e.right, red, names);
  EXPECT_EQ(left, right) << "black heights differ below entry " << id;
  return left + (red ? 0 : 1);
}

void checkAllStorages(const std::vector<cfb::DirEntry>& dir) {
  for (std::uint32_t id = 0; id < dir.size(); ++id) {
    const auto& e = dir[id];
    if (e.type != cfb::ObjectType::Storage && e.type != cfb::ObjectType::Root) continue;
    if (e.child == cfb::kNoStream) continue;
    EXPECT_EQ(dir.at(e.child).color, cfb::Color::Black) << "the tree of entry " << id << " has a red root";
    std::vector<std::u16string> names;
    checkRedBlack(dir, e.child, false, names);
    for (std::size_t i = 1; i < names.size(); ++i)
      EXPECT_LT(cfb::compareNames(names[i - 1], names[i]), 0) << "members of entry " << id << " out of order";
  }
}

template <typename F>
m::Error errorOf(F&& f) {
  try {
    f();
  } catch (const m::Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error was raised";
  return m::Error(m::ErrorKind::InvalidArgument, "none");
}

bool havePythonOlefile() {
  return t::run({"/usr/bin/python3", "-c", "import olefile"}, 60).exitCode == 0;
}

nlohmann::json olefileTree(const t::fs::path& file) {
  auto r = t::run({"/usr/bin/python3", (t::sourceDir() / "tests/oracles/msg_olefile_tree.py").string(), file.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return r.exitCode == 0 ? nlohmann::json::parse(r.out) : nlohmann::json();
}

// Our tree in olefile's listing form, to compare the two.
void flatten(const cfb::Entry& e, const std::string& prefix, nlohmann::json& out) {
  for (const auto& c : e.children) {
    std::string path = prefix.empty() ? c.name : prefix + "/" + c.name;
    if (c.isStream()) {
      out[path] = {{"type", "stream"}, {"size", c.data.size()}, {"sha256", t::sha256Hex(c.data)}};
    } else {
      std::string clsid = c.clsid == m::Guid{} ? "" : c.clsid.toString().substr(1, 36);
      out[path] = {{"type", "storage"}, {"clsid", clsid}};
      flatten(c, path, out);
    }
  }
}

}  // namespace

TEST(CompoundFileWriter, TreesReadBackEqualAcrossMiniAndRegularSizes) {
  cfb::Entry tree = sampleTree();
  m::Bytes file = cfb::writeCompoundFile(tree);
  EXPECT_EQ(file.size() % 512, 0u);
  EXPECT_EQ(file.size(), cfb::compoundFileSize(tree));
  cfb::Entry back = cfb::readCompoundFile(file);
  EXPECT_EQ(sorted(back), sorted(tree));
  // Writing what was read gives the same bytes: the layout depends only on the tree.
  EXPECT_EQ(cfb::writeCompoundFile(back), file);

  cfb::Header h = cfb::Header::parse(file);
  EXPECT_EQ(h.majorVersion, 3);
  EXPECT_EQ(h.minorVersion, 0x3E);
  EXPECT_EQ(h.sectorShift, 9);
  EXPECT_EQ(h.miniStreamCutoff, 4096u);
  auto dir = rawDirectory(file);
  EXPECT_EQ(nameOf(dir[0]), u"Root Entry");
  EXPECT_EQ(dir[0].creationTime, 0u) << "a root entry has no creation time";
  for (const auto& e : dir) {
    if (e.type != cfb::ObjectType::Stream) continue;
    EXPECT_EQ(e.clsid, m::Guid{});
    EXPECT_EQ(e.modifiedTime, 0u);
    if (e.streamSize == 0) {
      EXPECT_EQ(e.startSector, cfb::kEndOfChain);
    }
  }
  checkAllStorages(dir);

  if (!havePythonOlefile()) GTEST_SKIP() << "python3-olefile is not installed";
  t::TempDir tmp;
  t::writeFile(tmp / "t.cfb", file);
  auto listing = olefileTree(tmp / "t.cfb");
  EXPECT_EQ(listing["version"], 3);
  EXPECT_EQ(listing["root_clsid"], "00020D0B-0000-0000-C000-000000000046");
  nlohmann::json ours;
  flatten(tree, "", ours);
  EXPECT_EQ(listing["entries"], ours);
}

TEST(CompoundFileWriter, ManyEntriesAndDeepStoragesFormValidRedBlackTrees) {
  cfb::Entry root = cfb::Entry::root();
  for (std::uint32_t i = 0; i < 1500; ++i)
    root.add(cfb::Entry::stream("stream " + std::to_string(i * 7919 % 100000), pattern(i % 97, i)));
  for (int n : {2, 3, 4, 5, 6, 7, 8, 15, 16, 17, 31, 33, 100}) {
    cfb::Entry& s = root.add(cfb::Entry::storage("set" + std::to_string(n)));
    for (int i = 0; i < n; ++i) s.add(cfb::Entry::stream("x" + std::to_string(i), {}));
  }
  cfb::Entry* deep = &root.add(cfb::Entry::storage("level0"));
  for (int i = 1; i < 60; ++i) deep = &deep->add(cfb::Entry::storage("level" + std::to_string(i)));
  deep->add(cfb::Entry::stream("bottom", pattern(5000, 3)));

  m::Bytes file = cfb::writeCompoundFile(root);
  checkAllStorages(rawDirectory(file));
  EXPECT_EQ(sorted(cfb::readCompoundFile(file)), sorted(root));
}

TEST(CompoundFileWriter, NamesOrderByLengthThenUpperCase) {
  EXPECT_LT(cfb::compareNames("Z", "aa"), 0);
  EXPECT_EQ(cfb::compareNames("abc", "ABC"), 0);
  EXPECT_LT(cfb::compareNames("ABC", "abd"), 0);
  EXPECT_EQ(cfb::compareNames("straße", "STRAßE"), 0);
  EXPECT_EQ(cfb::compareNames("ñandú", "ÑANDÚ"), 0);
  EXPECT_EQ(cfb::compareNames("привет", "ПРИВЕТ"), 0);
  EXPECT_EQ(cfb::compareNames("ÿ", "Ÿ"), 0);
  EXPECT_EQ(cfb::compareNames("łódź", "ŁÓDŹ"), 0);

  cfb::Entry root = cfb::Entry::root();
  for (const char* n : {"Ärger", "ärger2", "zeta", "Zeta2", "Πλάτων", "дом", "é"}) root.add(cfb::Entry::stream(n, pattern(10, 1)));
  m::Bytes file = cfb::writeCompoundFile(root);
  checkAllStorages(rawDirectory(file));
  EXPECT_EQ(sorted(cfb::readCompoundFile(file)), sorted(root));
}

TEST(CompoundFileWriter, RefusesTreesTheFormatCannotHold) {
  auto withChildren = [](std::vector<std::string> names) {
    cfb::Entry root = cfb::Entry::root();
    for (auto& n : names) root.add(cfb::Entry::stream(n, {}));
    return root;
  };
  for (auto names : std::vector<std::vector<std::string>>{{"same", "SAME"},
                                                           {"ä", "Ä"},
                                                           {std::string(32, 'x')},
                                                           {""},
                                                           {"a/b"},
                                                           {"a:b"},
                                                           {"a!b"}}) {
    m::Error e = errorOf([&] { cfb::writeCompoundFile(withChildren(names)); });
    EXPECT_EQ(e.kind(), m::ErrorKind::InvalidArgument) << names[0];
  }
  // 31 code units is the longest name there is.
  EXPECT_NO_THROW(cfb::writeCompoundFile(withChildren({std::string(31, 'x')})));
}

TEST(CompoundFileWriter, LargeStreamNeedsDifatSectorsBeyondTheHeader) {
  cfb::Entry root = cfb::Entry::root();
  root.add(cfb::Entry::stream("big", pattern(8 * 1024 * 1024, 5)));
  root.add(cfb::Entry::stream("small", pattern(100, 6)));
  m::Bytes file = cfb::writeCompoundFile(root);
  cfb::Header h = cfb::Header::parse(file);
  EXPECT_GT(h.numFatSectors, 109u);
  EXPECT_EQ(h.numDifatSectors, 1u);
  EXPECT_NE(h.firstDifatSector, cfb::kEndOfChain);
  EXPECT_EQ(sorted(cfb::readCompoundFile(file)), sorted(root));

  if (!havePythonOlefile()) GTEST_SKIP() << "python3-olefile is not installed";
  t::TempDir dir;
  cfb::writeCompoundFile(dir / "big.cfb", root);
  nlohmann::json ours;
  flatten(root, "", ours);
  EXPECT_EQ(olefileTree(dir / "big.cfb")["entries"], ours);
}

TEST(CompoundFileWriter, VersionFourWithLargeSectorsReadsBack) {
  cfb::Entry tree = sampleTree();
  cfb::WriteOptions v4;
  v4.version = cfb::WriteOptions::Version::V4;
  m::Bytes file = cfb::writeCompoundFile(tree, v4);
  cfb::Header h = cfb::Header::parse(file);
  EXPECT_EQ(h.majorVersion, 4);
  EXPECT_EQ(h.sectorShift, 12);
  EXPECT_NE(h.numDirSectors, 0u);
  EXPECT_EQ(file.size() % 4096, 0u);
  EXPECT_EQ(sorted(cfb::readCompoundFile(file)), sorted(tree));

  if (!havePythonOlefile()) GTEST_SKIP() << "python3-olefile is not installed";
  t::TempDir dir;
  t::writeFile(dir / "v4.cfb", file);
  auto listing = olefileTree(dir / "v4.cfb");
  EXPECT_EQ(listing["version"], 4);
  EXPECT_EQ(listing["sector_size"], 4096);
  nlohmann::json ours;
  flatten(tree, "", ours);
  EXPECT_EQ(listing["entries"], ours);
}

TEST(CompoundFileReader, ReadsOutlookFilesAsOlefileDoes) {
  VARNOLT_REQUIRE_SAMPLES();
  bool oracle = havePythonOlefile();
  for (const auto& path : t::sampleFiles("msg", ".msg")) {
    SCOPED_TRACE(path.filename().string());
    cfb::Entry tree = cfb::readCompoundFile(path);
    EXPECT_EQ(tree.clsid, *m::Guid::parse("{00020D0B-0000-0000-C000-000000000046}"));
    // The same tree from memory and from the file, and again after writing it.
    EXPECT_EQ(cfb::readCompoundFile(t::readFile(path)), tree);
    EXPECT_EQ(sorted(cfb::readCompoundFile(cfb::writeCompoundFile(tree))), sorted(tree));
    if (oracle) {
      nlohmann::json ours;
      flatten(tree, "", ours);
      EXPECT_EQ(olefileTree(path)["entries"], ours);
    }
  }
}

TEST(CompoundFileWriter, ReplacesFilesWhole) {
  t::TempDir dir;
  auto path = dir / "f.cfb";
  cfb::writeCompoundFile(path, sampleTree());
#ifndef _WIN32
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
#endif
  m::Bytes before = t::readFile(path);

  // A tree that cannot be written leaves the old file as it was, and no
  // temporary file behind.
  cfb::Entry bad = cfb::Entry::root();
  bad.add(cfb::Entry::stream("x", {}));
  bad.add(cfb::Entry::stream("X", {}));
  EXPECT_EQ(errorOf([&] { cfb::writeCompoundFile(path, bad); }).kind(), m::ErrorKind::InvalidArgument);
  EXPECT_EQ(t::readFile(path), before);
  EXPECT_EQ(std::distance(t::fs::directory_iterator(dir.path()), t::fs::directory_iterator()), 1);

  // A new content replaces the file and keeps its permissions.
  cfb::Entry other = cfb::Entry::root();
  other.add(cfb::Entry::stream("only", pattern(10, 1)));
  cfb::writeCompoundFile(path, other);
  EXPECT_EQ(sorted(cfb::readCompoundFile(path)), sorted(other));
#ifndef _WIN32
  // Windows files have no POSIX permission bits to keep.
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
#endif

  EXPECT_EQ(errorOf([&] { cfb::writeCompoundFile(dir / "missing" / "f.cfb", other); }).kind(), m::ErrorKind::Io);
  EXPECT_EQ(errorOf([&] { cfb::readCompoundFile(dir / "nothing.cfb"); }).kind(), m::ErrorKind::Io);
}

// --- hostile files -------------------------------------------------------

namespace {

// A file with one regular stream, one mini stream and a storage, and where
// their pieces lie.
struct Victim {
  m::Bytes file;
  cfb::Header header;
  std::vector<cfb::DirEntry> dir;
  std::uint32_t big = 0, small = 0, storage = 0;  // directory ids

  Victim() {
    cfb::Entry root = cfb::Entry::root();
    root.add(cfb::Entry::stream("big", pattern(10000, 1)));
    root.add(cfb::Entry::stream("small", pattern(300, 2)));
    root.add(cfb::Entry::storage("box")).add(cfb::Entry::stream("in", pattern(20, 3)));
    file = cfb::writeCompoundFile(root);
    header = cfb::Header::parse(file);
    dir = rawDirectory(file);
    for (std::uint32_t i = 0; i < dir.size(); ++i) {
      if (nameOf(dir[i]) == u"big") big = i;
      if (nameOf(dir[i]) == u"small") small = i;
      if (nameOf(dir[i]) == u"box") storage = i;
    }
  }
  std::size_t fatEntry(std::uint32_t sid) const { return 512 + (header.difat[0] + 0) * 512 + 4 * sid; }
  std::size_t dirEntry(std::uint32_t id) const { return (header.firstDirSector + 1) * 512 + 128 * id; }
  std::size_t miniFatEntry(std::uint32_t mid) const { return (header.firstMiniFatSector + 1) * 512 + 4 * mid; }
  m::Bytes with(std::size_t off, std::uint32_t v) const {
    m::Bytes b = file;
    m::setU32(b, off, v);
    return b;
  }
};

void expectRefused(const m::Bytes& file, m::ErrorKind kind, const std::string& words) {
  m::Error e = errorOf([&] { cfb::readCompoundFile(file); });
  EXPECT_EQ(e.kind(), kind) << e.what();
  EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
}

}  // namespace

TEST(CompoundFileReader, RefusesBrokenChains) {
  Victim v;
  ASSERT_NO_THROW(cfb::readCompoundFile(v.file));
  std::uint32_t start = v.dir[v.big].startSector;
  expectRefused(v.with(v.fatEntry(start + 3), start + 1), m::ErrorKind::Corrupt, "a second time");
  expectRefused(v.with(v.fatEntry(start + 3), start + 3), m::ErrorKind::Corrupt, "a second time");
  expectRefused(v.with(v.fatEntry(start + 3), 0x00FFFFFF), m::ErrorKind::Corrupt, "past the end of the file");
  expectRefused(v.with(v.fatEntry(start + 3), cfb::kEndOfChain), m::ErrorKind::Corrupt, "ends after 4 sectors");
  expectRefused(v.with(v.fatEntry(start + 3), cfb::kFreeSect), m::ErrorKind::Corrupt, "ends after 4 sectors");
  // Two streams sharing sectors are as wrong as a loop.
  expectRefused(v.with(v.dirEntry(v.big) + 116, v.header.firstDirSector), m::ErrorKind::Corrupt, "a second time");
  // The directory chain looping back on itself.
  expectRefused(v.with(v.fatEntry(v.header.firstDirSector), v.header.firstDirSector), m::ErrorKind::Corrupt,
                "a second time");
  // Mini FAT chains too.
  std::uint32_t mini = v.dir[v.small].startSector;
  expectRefused(v.with(v.miniFatEntry(mini + 2), mini), m::ErrorKind::Corrupt, "mini sector");
  expectRefused(v.with(v.miniFatEntry(mini + 2), 0x7FFFFFFF), m::ErrorKind::Corrupt, "mini stream");
}

TEST(CompoundFileReader, RefusesDirectoryCyclesAndBadLinks) {
  Victim v;
  std::uint32_t rootChild = v.dir[0].child;
  // A member whose sibling link points back at itself or at the root of
  // its own tree, and a storage containing its parent's tree.
  expectRefused(v.with(v.dirEntry(rootChild) + 68, rootChild), m::ErrorKind::Corrupt, "cycle");
  expectRefused(v.with(v.dirEntry(v.storage) + 76, rootChild), m::ErrorKind::Corrupt, "cycle");
  expectRefused(v.with(v.dirEntry(rootChild) + 72, 5000), m::ErrorKind::Corrupt, "past the end of the directory");
  // A link to an unused entry.
  std::uint32_t unused = static_cast<std::uint32_t>(v.dir.size() - 1);
  ASSERT_EQ(v.dir[unused].type, cfb::ObjectType::Unused);
  expectRefused(v.with(v.dirEntry(rootChild) + 72, unused), m::ErrorKind::Corrupt, "neither a storage nor a stream");
  // The first entry must be the root.
  m::Bytes notRoot = v.file;
  notRoot[v.dirEntry(0) + 66] = 1;
  expectRefused(notRoot, m::ErrorKind::Corrupt, "root storage");
}

TEST(CompoundFileReader, RefusesAbsurdSizesBeforeAllocating) {
  Victim v;
  expectRefused(v.with(v.dirEntry(v.big) + 120, 0xFFFFFF00), m::ErrorKind::Corrupt, "more than the file holds");
  expectRefused(v.with(v.dirEntry(v.small) + 120, 4000), m::ErrorKind::Corrupt, "more than the mini stream holds");
  expectRefused(v.with(v.dirEntry(0) + 120, 0x7FFFFFFF), m::ErrorKind::Corrupt, "more than the file holds");
  expectRefused(v.with(44, 0x40000000), m::ErrorKind::Corrupt, "FAT sectors");
  // Version 4 sizes are 64 bits: one close to 2^64 must not wrap around to
  // a small sector count and then ask for an impossible allocation.
  cfb::WriteOptions v4;
  v4.version = cfb::WriteOptions::Version::V4;
  m::Bytes wide = cfb::writeCompoundFile(sampleTree(), v4);
  cfb::Header wideHeader = cfb::Header::parse(wide);
  std::size_t rootEntry = (std::size_t{wideHeader.firstDirSector} + 1) * 4096;
  m::setU32(wide, rootEntry + 120, 0xFFFFFF01u);
  m::setU32(wide, rootEntry + 124, 0xFFFFFFFFu);
  expectRefused(wide, m::ErrorKind::Corrupt, "more than the file holds");
  // More FAT sectors than the header lists, with a DIFAT that loops.
  m::Bytes loop = v.with(44, 112);
  m::setU32(loop, 68, 0);  // DIFAT starts at the FAT sector itself
  for (std::size_t i = 1; i < 109; ++i) m::setU32(loop, 76 + 4 * i, static_cast<std::uint32_t>(i));
  m::Error e = errorOf([&] { cfb::readCompoundFile(loop); });
  EXPECT_EQ(e.kind(), m::ErrorKind::Corrupt) << e.what();
}

TEST(CompoundFileReader, RefusesTruncatedAndForeignFiles) {
  Victim v;
  for (std::size_t cut : {std::size_t{0}, std::size_t{7}, std::size_t{8}, std::size_t{100}, std::size_t{511},
                          std::size_t{512}, std::size_t{1000}, v.file.size() / 2, v.file.size() - 600}) {
    m::Bytes part(v.file.begin(), v.file.begin() + static_cast<std::ptrdiff_t>(cut));
    m::Error e = errorOf([&] { cfb::readCompoundFile(part); });
    EXPECT_TRUE(e.kind() == m::ErrorKind::Truncated || e.kind() == m::ErrorKind::Corrupt ||
                e.kind() == m::ErrorKind::BadFormat)
        << cut << ": " << e.what();
  }
  expectRefused(m::Bytes(600, 'x'), m::ErrorKind::BadFormat, "not a compound file");
  expectRefused(m::Bytes(v.file.begin(), v.file.begin() + 300), m::ErrorKind::Truncated, "shorter than");
  m::Bytes badOrder = v.file;
  badOrder[28] = 0xFF;
  expectRefused(badOrder, m::ErrorKind::BadFormat, "byte order");
  expectRefused(v.with(24, 0x00050000 | 0x3E), m::ErrorKind::Unsupported, "version 5");
  expectRefused(v.with(30, 0x0006000A), m::ErrorKind::Unsupported, "sector size");

  VARNOLT_REQUIRE_SAMPLES();
  for (const auto& path : t::sampleFiles("bad", ".pst")) {
    m::Error e = errorOf([&] { cfb::readCompoundFile(path); });
    EXPECT_EQ(e.kind(), m::ErrorKind::BadFormat) << path << ": " << e.what();
  }
}

TEST(CompoundFileReader, SurvivesScrambledStructures) {
  // Damage in the header, FAT and directory: every variant either reads or
  // gives an mapi::Error; nothing else may escape.
  Victim v;
  std::size_t structural = v.dirEntry(0) + 512 * 2;
  std::uint32_t x = 12345;
  int errors = 0;
  for (int round = 0; round < 3000; ++round) {
    m::Bytes b = v.file;
    for (int k = 0; k < 1 + round % 4; ++k) {
      x = x * 1103515245u + 12345u;
      std::size_t off = (x >> 8) % structural;
      x = x * 1103515245u + 12345u;
      b[off] = static_cast<std::uint8_t>(x >> 16);
    }
    try {
      cfb::readCompoundFile(b);
    } catch (const m::Error&) {
      ++errors;
    }
  }
  EXPECT_GT(errors, 100) << "the damage should be noticed often";
}

TEST(CompoundFileReader, LimitsStorageNesting) {
  cfb::Entry root = cfb::Entry::root();
  cfb::Entry* s = &root;
  for (int i = 0; i < 600; ++i) s = &s->add(cfb::Entry::storage("d"));
  m::Bytes file = cfb::writeCompoundFile(root);
  EXPECT_EQ(errorOf([&] { cfb::readCompoundFile(file); }).kind(), m::ErrorKind::Limit);
  cfb::ReadLimits deeper;
  deeper.maxDepth = 1000;
  EXPECT_EQ(cfb::readCompoundFile(file, deeper), root);
}
