// The archive writer on its own: the bytes of every record, the order of
// records and the values in their fields, the deflate data and time stamps
// of entries, names and comments, and what AddFile and WriteZip answer or
// raise when files are missing, unreadable, in the way, too large, or when a
// write fails half way.

#include <signal.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "base/file_system.h"
#include "tests/support/test_support.h"
#include "tests/zip/zip_fixtures.h"
#include "zip/archive_output.h"
#include "zip/deflate_ahead.h"
#include "zip/dos_time.h"
#include "zip/error.h"
#include "zip/layout.h"
#include "zip/text_encoding.h"
#include "zip/zip_class.h"
#include "zip/zip_reader.h"

namespace t = varnolt::test;
namespace z = varnolt::zip;
using namespace varnolt::test::zipfx;

namespace {

constexpr std::uint16_t kTime090503 = 0x48A1;  // 09:05:02, odd seconds round down
constexpr std::uint16_t kDate20261207 = 0x5D87;

// One source file with known content, stamped 7 December 2026 09:05:03
// local time.
t::fs::path source(const t::TempDir& dir, const std::string& name, const Bytes& content) {
  t::fs::path p = dir / name;
  t::fs::create_directories(p.parent_path());
  t::writeFile(p, content);
  setModified(p, localTime(2026, 12, 7, 9, 5, 3));
  return p;
}

// Records as the archive format lays them out, from literal field values.
Bytes localHeader(std::uint16_t flags, std::uint32_t crc, std::uint32_t csize, std::uint32_t usize,
                  std::uint16_t nameLength) {
  return Builder()
      .u32(0x04034B50).u16(20).u16(flags).u16(8).u16(kTime090503).u16(kDate20261207)
      .u32(crc).u32(csize).u32(usize).u16(nameLength).u16(0)
      .bytes;
}

Bytes centralHeader(std::uint16_t flags, std::uint32_t crc, std::uint32_t csize, std::uint32_t usize,
                    std::uint16_t nameLength, std::uint16_t commentLength, std::uint32_t offset) {
  return Builder()
      .u32(0x02014B50).u16(20).u16(20).u16(flags).u16(8).u16(kTime090503).u16(kDate20261207)
      .u32(crc).u32(csize).u32(usize).u16(nameLength).u16(0).u16(commentLength)
      .u16(0).u16(0x0020).u32(0).u32(offset)
      .bytes;
}

Bytes endRecord(std::uint16_t entries, std::uint32_t cdSize, std::uint32_t cdOffset, std::uint16_t commentLength) {
  return Builder().u32(0x06054B50).u16(0).u16(0).u16(entries).u16(entries).u32(cdSize).u32(cdOffset).u16(commentLength).bytes;
}

Bytes writeAndRead(z::ZipClass& zip, const t::fs::path& target) {
  EXPECT_TRUE(zip.WriteZip(target, false));
  return t::readFile(target);
}

// Names of everything in a folder, to see that no temporary file is left.
std::vector<std::string> listing(const t::fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : t::fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

template <typename F>
std::optional<z::ErrorKind> errorKindOf(F&& f) {
  try {
    f();
  } catch (const z::Error& e) {
    EXPECT_NE(std::string(e.what()), "");
    return e.kind();
  }
  return std::nullopt;
}

// Takes this thread's file access down to an unprivileged user while it
// lives, so a file with no read permission is unreadable even to root.
#ifndef _WIN32
class UnprivilegedFileAccess {
 public:
  UnprivilegedFileAccess() {
    if (::geteuid() == 0) {
      ::setfsuid(65534);
      active_ = true;
    }
  }
  ~UnprivilegedFileAccess() {
    if (active_) ::setfsuid(0);
  }

 private:
  bool active_ = false;
};
#endif

// ---------------------------------------------------------------------------
// Byte layout

TEST(ZipLayout, ArchiveWithoutEntriesIsTheEndRecordAlone) {
  t::TempDir dir;
  z::ZipClass zip;
  EXPECT_EQ(zip.FileCount(), 0);
  Bytes got = writeAndRead(zip, dir / "empty.zip");
  EXPECT_EQ(got.size(), 22u);
  EXPECT_EQ(got, endRecord(0, 0, 0, 0));
}

TEST(ZipLayout, ArchiveCommentFollowsTheEndRecord) {
  t::TempDir dir;
  {
    z::ZipClass zip;
    zip.Comment("Saved attachments");
    Bytes expected = Builder().raw(endRecord(0, 0, 0, 17)).raw("Saved attachments").bytes;
    EXPECT_EQ(writeAndRead(zip, dir / "commented.zip"), expected);
  }
  {
    // A comment set again replaces the first, length included; Windows-1252
    // text is one byte per character.
    z::ZipClass zip;
    zip.Comment("first comment, longer");
    zip.Comment("Pi\xC3\xA8" "ces");  // "Pièces"
    Bytes expected = Builder().raw(endRecord(0, 0, 0, 6)).raw("Pi\xE8" "ces").bytes;
    EXPECT_EQ(writeAndRead(zip, dir / "replaced.zip"), expected);
  }
}

TEST(ZipLayout, OneEntryByteForByte) {
  t::TempDir dir;
  // "123456789" is the standard check string of CRC-32: 0xCBF43926.
  Bytes content = bytesOf("123456789");
  t::fs::path file = source(dir, "Q3_report.txt", content);
  z::ZipClass zip;
  ASSERT_TRUE(zip.AddFile(file));
  EXPECT_EQ(zip.FileCount(), 1);

  Bytes deflate = zlibDeflate(content);
  const std::string name = "Q3_report.txt";
  auto k = static_cast<std::uint32_t>(deflate.size());
  auto n = static_cast<std::uint16_t>(name.size());
  Bytes expected = Builder()
                       .raw(localHeader(2, 0xCBF43926, k, 9, n)).raw(name).raw(deflate)
                       .raw(centralHeader(2, 0xCBF43926, k, 9, n, 0, 0)).raw(name)
                       .raw(endRecord(1, 46u + n, 30u + n + k, 0))
                       .bytes;
  Bytes got = writeAndRead(zip, dir / "one.zip");
  EXPECT_EQ(got, expected);
  EXPECT_EQ(got.size(), 30u + n + k + 46u + n + 22u);
  // The stored data is a raw deflate stream of exactly the file's bytes.
  EXPECT_EQ(rawInflate(Bytes(got.begin() + 30 + n, got.begin() + 30 + n + k), content.size()), content);
}

TEST(ZipLayout, TwoEntriesAreLocalLocalCentralCentralEnd) {
  t::TempDir dir;
  Bytes first = bytesOf("first attachment body\n");
  Bytes second = randomBytes(5000, 7);
  z::ZipClass zip;
  ASSERT_TRUE(zip.AddFile(source(dir, "in/a.txt", first)));
  ASSERT_TRUE(zip.AddFile(source(dir, "in/photo.jpg", second)));
  EXPECT_EQ(zip.FileCount(), 2);

  Bytes d1 = zlibDeflate(first), d2 = zlibDeflate(second);
  auto k1 = static_cast<std::uint32_t>(d1.size()), k2 = static_cast<std::uint32_t>(d2.size());
  std::uint32_t secondOffset = 30 + 5 + k1;  // "a.txt"
  std::uint32_t cdOffset = secondOffset + 30 + 9 + k2;  // "photo.jpg"
  Bytes expected = Builder()
                       .raw(localHeader(2, crcOf(first), k1, 22, 5)).raw("a.txt").raw(d1)
                       .raw(localHeader(2, crcOf(second), k2, 5000, 9)).raw("photo.jpg").raw(d2)
                       .raw(centralHeader(2, crcOf(first), k1, 22, 5, 0, 0)).raw("a.txt")
                       .raw(centralHeader(2, crcOf(second), k2, 5000, 9, 0, secondOffset)).raw("photo.jpg")
                       .raw(endRecord(2, 46 + 5 + 46 + 9, cdOffset, 0))
                       .bytes;
  Bytes got = writeAndRead(zip, dir / "two.zip");
  EXPECT_EQ(got, expected);

  // The archive can be written again, byte for byte the same.
  ASSERT_TRUE(zip.WriteZip(dir / "again.zip", false));
  EXPECT_EQ(t::readFile(dir / "again.zip"), got);
}

TEST(ZipLayout, EntryNameAndCommentGivenByTheCaller) {
  t::TempDir dir;
  Bytes content = bytesOf("x");
  t::fs::path file = source(dir, "saved_under_this_name.bin", content);
  z::ZipClass zip;
  ASSERT_TRUE(zip.AddFile(file, "Renamed.bin", "From: Anna"));
  zip.Comment("archive note");

  Bytes d = zlibDeflate(content);
  auto k = static_cast<std::uint32_t>(d.size());
  // The comment sits in the central entry only and counts toward the
  // central directory's size.
  Bytes expected = Builder()
                       .raw(localHeader(2, crcOf(content), k, 1, 11)).raw("Renamed.bin").raw(d)
                       .raw(centralHeader(2, crcOf(content), k, 1, 11, 10, 0)).raw("Renamed.bin").raw("From: Anna")
                       .raw(endRecord(1, 46 + 11 + 10, 30 + 11 + k, 12)).raw("archive note")
                       .bytes;
  EXPECT_EQ(writeAndRead(zip, dir / "named.zip"), expected);
}

TEST(ZipLayout, NameOutsideWindows1252IsUtf8WithFlagBit11) {
  t::TempDir dir;
  Bytes content = bytesOf("data");
  struct Case {
    std::string name, comment;
    std::uint16_t flags;
    std::string storedName, storedComment;
  };
  const std::vector<Case> cases = {
      // é and € have bytes in Windows-1252 (0xE9, 0x80): one byte each, no flag.
      {"caf\xC3\xA9 \xE2\x82\xAC.txt", "", 0x0002, "caf\xE9 \x80.txt", ""},
      // Cyrillic has none: UTF-8 as given, flagged.
      {"\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.pdf", "", 0x0802, "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.pdf", ""},
      // A comment that needs UTF-8 takes the name along, since one flag covers both.
      {"caf\xC3\xA9.txt", "\xE6\x97\xA5\xE6\x9C\xAC", 0x0802, "caf\xC3\xA9.txt", "\xE6\x97\xA5\xE6\x9C\xAC"},
      // U+0081 is one of the five code points Windows-1252 leaves out.
      {"a\xC2\x81.txt", "", 0x0802, "a\xC2\x81.txt", ""},
      // Bytes that are not UTF-8 cannot be interpreted; they are kept unflagged.
      {"legacy\xE9.txt", "", 0x0002, "legacy\xE9.txt", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    t::fs::path file = source(dir, "src.bin", content);
    z::ZipClass zip;
    ASSERT_TRUE(zip.AddFile(file, c.name, c.comment));
    Bytes got = writeAndRead(zip, dir / "enc.zip");
    auto nlen = static_cast<std::uint16_t>(c.storedName.size());
    auto clen = static_cast<std::uint16_t>(c.storedComment.size());
    EXPECT_EQ(le16(got, 6), c.flags);
    EXPECT_EQ(le16(got, 26), nlen);
    EXPECT_EQ(std::string(got.begin() + 30, got.begin() + 30 + nlen), c.storedName);
    std::size_t central = le32(got, got.size() - 6);
    EXPECT_EQ(le16(got, central + 8), c.flags);
    EXPECT_EQ(le16(got, central + 28), nlen);
    EXPECT_EQ(le16(got, central + 32), clen);
    EXPECT_EQ(std::string(got.begin() + static_cast<std::ptrdiff_t>(central + 46 + nlen),
                          got.begin() + static_cast<std::ptrdiff_t>(central + 46 + nlen + clen)),
              c.storedComment);
    t::fs::remove(dir / "enc.zip");
  }
}

// ---------------------------------------------------------------------------
// Entry encoding

TEST(ZipEntry, DeflateDataAndCrcOfAnySource) {
  t::TempDir dir;
  const std::vector<Bytes> contents = {
      {}, {0x41}, bytesOf("Hello, attachments\n"), randomBytes(100000, 1), compressibleBytes(300000)};
  for (const Bytes& content : contents) {
    SCOPED_TRACE(content.size());
    z::ZipFile entry;
    entry.LoadFromFile(source(dir, "f.bin", content));
    EXPECT_EQ(entry.compressedData(), zlibDeflate(content));
    EXPECT_EQ(rawInflate(entry.compressedData(), content.size()), content);
    EXPECT_EQ(entry.localHeader().crc32, crcOf(content));
    EXPECT_EQ(entry.localHeader().uncompressedSize, content.size());
    EXPECT_EQ(entry.localHeader().compressedSize, entry.compressedData().size());
    EXPECT_EQ(entry.centralHeader().crc32, entry.localHeader().crc32);
    EXPECT_EQ(entry.centralHeader().compressedSize, entry.localHeader().compressedSize);
    EXPECT_EQ(entry.centralHeader().uncompressedSize, content.size());
  }
  // An empty file: CRC 0 and the two bytes of an empty final deflate block.
  z::ZipFile empty;
  empty.LoadFromFile(source(dir, "empty.bin", {}));
  EXPECT_EQ(empty.compressedData(), (Bytes{0x03, 0x00}));
  EXPECT_EQ(empty.localHeader().crc32, 0u);
}

// A file read a piece at a time while the archive is written gives the
// archive the same bytes as one read whole when added: the same deflate
// data, and the header's CRC-32 and sizes written over once known, also
// when the header has already left the output's buffer.
TEST(ZipEntry, StreamedFileGivesTheSameArchiveAsOneReadWhole) {
  t::TempDir dir;
  Bytes mixed = compressibleBytes(1500000);
  const Bytes noise = randomBytes(1200000, 7);
  mixed.insert(mixed.begin() + 700000, noise.begin(), noise.end());
  const std::vector<Bytes> contents = {{}, {0x41}, randomBytes(262144, 3), mixed};
  for (const Bytes& content : contents) {
    SCOPED_TRACE(content.size());
    const t::fs::path big = source(dir, "big.bin", content);
    const t::fs::path small = source(dir, "small.txt", bytesOf("after the large one"));
    std::vector<Bytes> archives;
    for (std::uint64_t streamFrom : {std::uint64_t{1} << 62, std::uint64_t{0}}) {
      z::ZipClass zip;
      zip.StreamFilesFrom(streamFrom);
      ASSERT_TRUE(zip.AddFile(big));
      ASSERT_TRUE(zip.AddFile(small));
      const t::fs::path target = dir / ("out-" + std::to_string(content.size()) + "-" + std::to_string(archives.size()) + ".zip");
      archives.push_back(writeAndRead(zip, target));
      EXPECT_EQ(z::ReadEntry(target, "big.bin"), content);
      // Written again, the entries stay and so do the bytes.
      ASSERT_TRUE(zip.WriteZip(target, true));
      EXPECT_EQ(t::readFile(target), archives.back());
    }
    // Handed over by a producer in uneven pieces, each time the archive is
    // written: the same bytes again.
    {
      z::ZipClass zip;
      int produced = 0;
      std::error_code error;
      const auto modified = varnolt::base::fileSystem().openRead(big, error)->identity(error).modifiedSeconds();
      ASSERT_FALSE(error);
      zip.AddContent("big.bin", static_cast<std::time_t>(modified), [&](const z::ZipFile::PieceSink& sink) {
                       ++produced;
                       std::size_t at = 0;
                       for (std::size_t piece = 1; at < content.size(); piece = piece * 3 + 5) {
                         const std::size_t n = std::min(piece, content.size() - at);
                         sink(content.data() + at, n);
                         at += n;
                       }
                     });
      ASSERT_TRUE(zip.AddFile(small));
      EXPECT_EQ(zip.FileCount(), 2);
      const t::fs::path target = dir / ("produced-" + std::to_string(content.size()) + ".zip");
      archives.push_back(writeAndRead(zip, target));
      ASSERT_TRUE(zip.WriteZip(target, true));
      EXPECT_EQ(t::readFile(target), archives.back());
      EXPECT_EQ(produced, 2);
    }
    ASSERT_EQ(archives[0].size(), archives[1].size());
    EXPECT_TRUE(archives[0] == archives[1]);
    EXPECT_TRUE(archives[0] == archives[2]);
    EXPECT_EQ(le32(archives[1], 14), crcOf(content));
    EXPECT_EQ(le32(archives[1], 22), content.size());
  }
  // Loaded, a streamed entry holds none of the file's data.
  const Bytes large = randomBytes(300000, 9);
  z::ZipFile entry;
  entry.LoadFromFile(source(dir, "held.bin", large), 1000);
  EXPECT_TRUE(entry.compressedData().empty());
  EXPECT_GE(entry.localEntrySize(), large.size());
}

// Bytes deflated ahead make the same archive as bytes deflated while it is
// written, and are taken only for exactly those bytes, whole.
TEST(ZipEntry, DeflatedAheadGivesTheSameArchiveOnlyForTheSameBytes) {
  t::TempDir dir;
  z::DeflateAhead& ahead = z::DeflateAhead::instance();
  const Bytes content = compressibleBytes(300000);
  Bytes changed = content;
  changed[150000] ^= 1;
  // The archive of one entry whose producer hands over pieces cut at cut
  // (one piece when cut is the whole).
  int archives = 0;
  auto archive = [&](const Bytes& bytes, std::size_t cut) {
    z::ZipClass zip;
    zip.AddContent("a.bin", 0, [&](const z::ZipFile::PieceSink& sink) {
      sink(bytes.data(), cut);
      if (cut < bytes.size()) sink(bytes.data() + cut, bytes.size() - cut);
    });
    return writeAndRead(zip, dir / ("a" + std::to_string(++archives) + ".zip"));
  };
  const Bytes plain = archive(content, content.size());
  const Bytes plainChanged = archive(changed, changed.size());

  z::DeflateAhead::Scope on(true);
  ahead.prepare(content.data(), content.size());
  const std::size_t kept = ahead.keptBytes();
  ASSERT_GT(kept, content.size());
  // Other bytes of the same length leave it kept.
  EXPECT_EQ(archive(changed, changed.size()), plainChanged);
  EXPECT_EQ(ahead.keptBytes(), kept);
  // The same bytes take it.
  EXPECT_EQ(archive(content, content.size()), plain);
  EXPECT_EQ(ahead.keptBytes(), 0u);
  // A first piece that matches, with more after it: the whole is deflated.
  const Bytes head(content.begin(), content.begin() + 1000);
  ahead.prepare(head.data(), head.size());
  EXPECT_EQ(archive(content, head.size()), plain);
  EXPECT_EQ(ahead.keptBytes(), 0u);

  // Never more kept than the room, the oldest let go of first; nothing
  // kept once off, nor prepared while off.
  const Bytes noise = randomBytes(z::DeflateAhead::kMostKeptBytes / 4, 5);
  for (int i = 0; i < 6; ++i) ahead.prepare(noise.data(), noise.size() - static_cast<std::size_t>(i));
  EXPECT_LE(ahead.keptBytes(), z::DeflateAhead::kMostKeptBytes);
  EXPECT_FALSE(ahead.take(noise.data(), noise.size()));
  EXPECT_TRUE(ahead.take(noise.data(), noise.size() - 5));
  ahead.setOn(false);
  EXPECT_EQ(ahead.keptBytes(), 0u);
  ahead.prepare(content.data(), content.size());
  EXPECT_EQ(ahead.keptBytes(), 0u);
}

TEST(ZipEntry, NameIsTheLastComponentOfThePath) {
  EXPECT_EQ(z::ZipFile::NameFromPath("/home/anna/Outlook_Attachments/Q3 report.pdf"), "Q3 report.pdf");
  EXPECT_EQ(z::ZipFile::NameFromPath("report.pdf"), "report.pdf");
  EXPECT_EQ(z::ZipFile::NameFromPath("folder/"), "");

  t::TempDir dir;
  z::ZipFile entry;
  entry.LoadFromFile(source(dir, "deep/er/Kestrik_07-12-2026-09-05-03_Q3_report.pdf", bytesOf("%PDF")));
  EXPECT_EQ(entry.storedName(), "Kestrik_07-12-2026-09-05-03_Q3_report.pdf");
  EXPECT_EQ(entry.localHeader().nameLength, 41);
  entry.SetStoredName("short.pdf");
  EXPECT_EQ(entry.localHeader().nameLength, 9);
  EXPECT_EQ(entry.centralHeader().nameLength, 9);
}

TEST(ZipEntry, DosDateAndTimePacking) {
  z::DateTime m{2026, 12, 7, 9, 5, 3};
  EXPECT_EQ(z::PackDosDate(m), kDate20261207);
  EXPECT_EQ(z::PackDosTime(m), kTime090503);
  EXPECT_EQ(z::PackDosDate({1980, 1, 1, 0, 0, 0}), 0x0021);
  EXPECT_EQ(z::PackDosTime({1980, 1, 1, 0, 0, 0}), 0x0000);
  EXPECT_EQ(z::PackDosDate({2107, 12, 31, 23, 59, 59}), 0xFF9F);
  EXPECT_EQ(z::PackDosTime({2107, 12, 31, 23, 59, 59}), 0xBF7D);
  EXPECT_EQ(z::PackDosTime({2000, 6, 15, 12, 30, 58}), (12 << 11) | (30 << 5) | 29);
}

TEST(ZipEntry, TimeStampIsLocalTimeWithinTheDosRange) {
  // A fixed zone three hours east of UTC, so local and universal time differ
  // whatever zone the machine is in.
  const char* oldTz = std::getenv("TZ");
  std::string saved = oldTz ? oldTz : "";
  t::setTimeZone("XYZ-3");
  struct Restore {
    bool had;
    std::string value;
    ~Restore() { t::setTimeZone(had ? value.c_str() : nullptr); }
  } restore{oldTz != nullptr, saved};

  t::TempDir dir;
  t::fs::path file = dir / "f.txt";
  t::writeFile(file, std::string("x"));
  struct {
    std::time_t utc;
    std::uint16_t date, time;
  } const cases[] = {
      {1796623503, kDate20261207, kTime090503},  // 2026-12-07 06:05:03 UTC = 09:05:03 local
      {0, 0x0021, 0x0000},                        // 1970: held at 1980-01-01 00:00:00, not wrapped to 2098
      {315522000, 0x0021, 0x0000},                // 1980-01-01 00:00:00 local, the first DOS time
      {7258118400, 0xFF9F, 0xBF7D},               // 2200: held at 2107-12-31 23:59:58
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utc);
    setModified(file, c.utc);
    z::ZipFile entry;
    entry.LoadFromFile(file);
    EXPECT_EQ(entry.localHeader().modDate, c.date);
    EXPECT_EQ(entry.localHeader().modTime, c.time);
    EXPECT_EQ(entry.centralHeader().modDate, c.date);
    EXPECT_EQ(entry.centralHeader().modTime, c.time);
  }
}

TEST(ZipEntry, OnlyWellFormedUtf8IsTakenForUtf8) {
  // The whole Windows-1252 table is checked against Python's codec by the
  // oracle tests; here, malformed input must never be flagged as UTF-8.
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80", "\xFF"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(z::isValidUtf8(bad));
    EXPECT_FALSE(z::encodeEntryText(bad, "").utf8);
  }
  EXPECT_TRUE(z::isValidUtf8("\xF0\x9F\x93\x8E"));  // U+1F4CE, a paperclip
  EXPECT_TRUE(z::encodeEntryText("\xF0\x9F\x93\x8E.txt", "").utf8);
}

// ---------------------------------------------------------------------------
// AddFile and WriteZip: answers and errors

TEST(ZipAddFile, NoFileAtThePathAnswersFalseAndAddsNothing) {
  t::TempDir dir;
  z::ZipClass zip;
  ASSERT_TRUE(zip.AddFile(source(dir, "present.txt", bytesOf("p"))));
  EXPECT_FALSE(zip.AddFile(dir / "absent.txt"));
  EXPECT_FALSE(zip.AddFile(dir / "absent-folder" / "x.txt"));
  EXPECT_FALSE(zip.AddFile(dir / "present.txt" / "x.txt"));  // a file is not a folder
  EXPECT_FALSE(zip.AddFile(""));
  // A folder and a FIFO are not files.
  t::fs::create_directory(dir / "folder");
  EXPECT_FALSE(zip.AddFile(dir / "folder"));
#ifndef _WIN32  // Windows has no FIFO in its folders
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  EXPECT_FALSE(zip.AddFile(dir / "fifo"));
#endif
  EXPECT_EQ(zip.FileCount(), 1);
  // Hidden (dot) files are files like any other.
  EXPECT_TRUE(zip.AddFile(source(dir, ".hidden", bytesOf("h"))));
  EXPECT_EQ(zip.FileCount(), 2);
}

TEST(ZipAddFile, UnreadableFileRaisesAnErrorAndAddsNothing) {
#ifdef _WIN32
  GTEST_SKIP() << "makes a file unreadable with POSIX permissions and setfsuid";
#else
  t::TempDir dir;
  t::fs::permissions(dir.path(), t::fs::perms(0755));
  t::fs::path file = source(dir, "locked.txt", bytesOf("secret"));
  t::fs::permissions(file, t::fs::perms::none);
  z::ZipClass zip;
  {
    UnprivilegedFileAccess guard;
    // The test is only meaningful when the file really cannot be opened.
    ASSERT_LT(::open(file.c_str(), O_RDONLY), 0) << "the file stayed readable";
    auto kind = errorKindOf([&] { zip.AddFile(file); });
    EXPECT_EQ(kind, z::ErrorKind::Io);
    // Nor when it would be read only as the archive is written.
    zip.StreamFilesFrom(0);
    EXPECT_EQ(errorKindOf([&] { zip.AddFile(file); }), z::ErrorKind::Io);
  }
  EXPECT_EQ(zip.FileCount(), 0);
  EXPECT_EQ(writeAndRead(zip, dir / "out.zip"), endRecord(0, 0, 0, 0));
#endif
}

TEST(ZipAddFile, UnsafeEntryNamesAreRefused) {
  t::TempDir dir;
  t::fs::path file = source(dir, "a.txt", bytesOf("a"));
  z::ZipClass zip;
  for (const std::string& name : std::vector<std::string>{"../a.txt", "docs/../../a.txt", "..\\..\\a.txt", "/etc/a.txt", "folder/",
                           std::string("a\0b", 3)}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(errorKindOf([&] { zip.AddFile(file, name); }), z::ErrorKind::InvalidArgument);
  }
  EXPECT_EQ(zip.FileCount(), 0);
  // A folder inside the archive and names merely starting with dots are fine.
  EXPECT_TRUE(zip.AddFile(file, "docs/a.txt"));
  EXPECT_TRUE(zip.AddFile(file, "..a.txt"));
  EXPECT_EQ(zip.FileCount(), 2);
}

TEST(ZipAddFile, TextsTooLongForTheirFieldsAreRefused) {
  t::TempDir dir;
  t::fs::path file = source(dir, "a.txt", bytesOf("a"));
  z::ZipClass zip;
  EXPECT_EQ(errorKindOf([&] { zip.AddFile(file, "", std::string(65536, 'c')); }), z::ErrorKind::Limit);
  EXPECT_EQ(errorKindOf([&] { zip.AddFile(file, std::string(65536, 'n')); }), z::ErrorKind::Limit);
  EXPECT_EQ(zip.FileCount(), 0);
  EXPECT_TRUE(zip.AddFile(file, "", std::string(65535, 'c')));

  EXPECT_EQ(errorKindOf([&] { zip.Comment(std::string(65536, 'c')); }), z::ErrorKind::Limit);
  // Readers search backwards for the end record; this comment would fool them.
  EXPECT_EQ(errorKindOf([&] { zip.Comment(std::string("see PK\x05\x06 here", 14)); }), z::ErrorKind::InvalidArgument);
  // Refused comments leave the previous one in place.
  zip.Comment("kept");
  EXPECT_THROW(zip.Comment(std::string(70000, 'x')), z::Error);
  Bytes got = writeAndRead(zip, dir / "c.zip");
  EXPECT_EQ(std::string(got.end() - 4, got.end()), "kept");
}

TEST(ZipAddFile, SourceTooLargeForAnArchiveWithoutZip64IsRefusedUnread) {
  t::TempDir dir;
  t::fs::path big = dir / "huge.bin";
  t::writeFile(big, std::string());
  t::fs::resize_file(big, 0xFFFFFFFFull);  // sparse: takes no disk space
  z::ZipClass zip;
  EXPECT_EQ(errorKindOf([&] { zip.AddFile(big); }), z::ErrorKind::Limit);
  EXPECT_EQ(zip.FileCount(), 0);
}

TEST(ZipLimits, CountsOffsetsAndSizesThatWouldNeedZip64AreRefused) {
  constexpr std::uint64_t k4G = 0x100000000ull;
  {
    // The central directory may start at 4 GiB - 2, not at 4 GiB - 1 (the
    // value readers take to mean "look in the ZIP64 record").
    z::ArchiveExtent e;
    e.add({k4G - 2 - 100, 50});
    e.add({100, 50});
    EXPECT_EQ(e.centralDirectoryOffset(), k4G - 2);
    EXPECT_EQ(errorKindOf([&] { e.add({1, 50}); }), z::ErrorKind::Limit);
    EXPECT_EQ(e.entries(), 2u);  // unchanged by the refused entry
    EXPECT_EQ(e.centralDirectoryOffset(), k4G - 2);
  }
  {
    z::ArchiveExtent e;
    e.add({1000, k4G - 3});
    EXPECT_THROW(e.add({1000, 2}), z::Error);
    EXPECT_EQ(e.centralDirectorySize(), k4G - 3);
  }
  {
    z::ArchiveExtent e;
    for (int i = 0; i < 65534; ++i) e.add({31, 47});
    EXPECT_EQ(errorKindOf([&] { e.add({31, 47}); }), z::ErrorKind::Limit);
  }
}

TEST(ZipWriteZip, ExistingTargetIsKeptUnlessOverwriteIsTrue) {
  t::TempDir dir;
  t::fs::path target = dir / "report.pdf.zip";
  t::writeFile(target, std::string("an older archive"));
  z::ZipClass zip;
  ASSERT_TRUE(zip.AddFile(source(dir, "report.pdf", bytesOf("%PDF-1.4"))));

  EXPECT_FALSE(zip.WriteZip(target, false));
  EXPECT_EQ(t::readFile(target), bytesOf("an older archive"));
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"report.pdf", "report.pdf.zip"}));

  EXPECT_TRUE(zip.WriteZip(target, true));
  Bytes got = t::readFile(target);
  EXPECT_EQ(le32(got, 0), 0x04034B50u);
  EXPECT_EQ(le16(got, got.size() - 12), 1);  // one entry
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"report.pdf", "report.pdf.zip"}));
  // Without a file in the way Overwrite does not matter.
  EXPECT_TRUE(zip.WriteZip(dir / "fresh.zip", false));
  EXPECT_TRUE(zip.WriteZip(dir / "fresh2.zip", true));
  EXPECT_EQ(t::readFile(dir / "fresh.zip"), got);
  EXPECT_EQ(t::readFile(dir / "fresh2.zip"), got);
  // Left to the caller to flush, the archive is the same and as safe from
  // replacing what is there.
  EXPECT_TRUE(zip.WriteZip(dir / "unflushed.zip", false, false));
  EXPECT_EQ(t::readFile(dir / "unflushed.zip"), got);
  t::writeFile(target, std::string("an older archive"));
  EXPECT_FALSE(zip.WriteZip(target, false, false));
  EXPECT_EQ(t::readFile(target), bytesOf("an older archive"));
  EXPECT_TRUE(zip.WriteZip(target, true, false));
  EXPECT_EQ(t::readFile(target), got);
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"fresh.zip", "fresh2.zip", "report.pdf", "report.pdf.zip",
                                                           "unflushed.zip"}));
}

TEST(ZipWriteZip, TargetThatCannotBeCreatedRaisesAnError) {
  t::TempDir dir;
  z::ZipClass zip;
  ASSERT_TRUE(zip.AddFile(source(dir, "a.txt", bytesOf("a"))));
  EXPECT_EQ(errorKindOf([&] { zip.WriteZip(dir / "no-such-folder" / "a.zip", true); }), z::ErrorKind::Io);
  t::fs::create_directory(dir / "folder.zip");
  EXPECT_EQ(errorKindOf([&] { zip.WriteZip(dir / "folder.zip", true); }), z::ErrorKind::Io);
  EXPECT_EQ(errorKindOf([&] { zip.WriteZip(dir / "folder.zip", false); }), z::ErrorKind::Io);
  EXPECT_TRUE(t::fs::is_directory(dir / "folder.zip"));
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"a.txt", "folder.zip"}));
}

TEST(ZipWriteZip, WriteThatFailsHalfWayLeavesTheOldArchiveAndNoPartialFile) {
  t::TempDir dir;
  t::fs::path target = dir / "big.bin.zip";
  t::writeFile(target, std::string("previous archive"));
  z::ZipClass zip;
  ASSERT_TRUE(zip.AddFile(source(dir, "big.bin", randomBytes(1 << 20, 3))));

#ifdef _WIN32
  GTEST_SKIP() << "fails the write with a POSIX file size limit (RLIMIT_FSIZE)";
#else
  // A file size limit makes the write fail after 64 KiB, as a full disk would.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
  struct rlimit oldLimit {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
  struct rlimit small = oldLimit;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::optional<z::ErrorKind> kind = errorKindOf([&] { zip.WriteZip(target, true); });
  ::setrlimit(RLIMIT_FSIZE, &oldLimit);
  ::sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_EQ(kind, z::ErrorKind::Io);
  EXPECT_EQ(t::readFile(target), bytesOf("previous archive"));
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"big.bin", "big.bin.zip"}));
  // With the limit gone the same archive writes in full.
  EXPECT_TRUE(zip.WriteZip(target, true));
  EXPECT_GT(t::fs::file_size(target), 1u << 20);
#endif
}

// A producer that fails part way: its own error comes out of WriteZip, and
// neither a partial archive nor a temporary file is left.
TEST(ZipWriteZip, ProducerThatFailsLeavesTheOldArchiveAndNoPartialFile) {
  t::TempDir dir;
  const t::fs::path target = dir / "part.bin.zip";
  t::writeFile(target, std::string("previous archive"));
  struct StoreGaveUp {};
  const Bytes content = randomBytes(600000, 5);
  z::ZipClass zip;
  zip.AddContent("part.bin", 0, [&](const z::ZipFile::PieceSink& sink) {
    sink(content.data(), content.size());
    throw StoreGaveUp{};
  });
  EXPECT_THROW(zip.WriteZip(target, true), StoreGaveUp);
  EXPECT_EQ(t::readFile(target), bytesOf("previous archive"));
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"part.bin.zip"}));
  EXPECT_EQ(errorKindOf([&] { zip.AddContent("../out.bin", 0, [](const z::ZipFile::PieceSink&) {}); }),
            z::ErrorKind::InvalidArgument);
  EXPECT_EQ(zip.FileCount(), 1);
}

TEST(ZipWriteZip, FileThatAppearsWhileWritingIsNotReplacedWithoutOverwrite) {
  t::TempDir dir;
  t::fs::path target = dir / "late.zip";
  z::ArchiveOutput out(target);
  out.write(bytesOf("new archive bytes"));
  t::writeFile(target, std::string("someone else's file"));
  EXPECT_FALSE(out.commit(false));
  EXPECT_EQ(t::readFile(target), bytesOf("someone else's file"));
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"late.zip"}));
}

// What restore reads back: the bytes of the entry ZipClass wrote, and a
// refusal, never wrong bytes, for an archive damaged since.
TEST(ZipReader, ReadsBackWhatWasWrittenAndRefusesDamage) {
  t::TempDir dir;
  Bytes content;
  for (int i = 0; i < 5000; ++i) content.push_back(static_cast<std::uint8_t>("compressible text "[i % 18]));
  const t::fs::path file = source(dir, "report.txt", content);
  z::ZipClass archive;
  ASSERT_TRUE(archive.AddFile(file));
  ASSERT_TRUE(archive.WriteZip(dir / "report.txt.zip", false));
  EXPECT_EQ(z::ReadEntry(dir / "report.txt.zip", "report.txt"), content);

  // A flipped byte inside the deflated data.
  Bytes damaged = t::readFile(dir / "report.txt.zip");
  ASSERT_GT(damaged.size(), 60u);
  damaged[30 + std::string("report.txt").size() + 5] ^= 0x01;
  t::writeFile(dir / "damaged.zip", damaged);
  EXPECT_THROW(z::ReadEntry(dir / "damaged.zip", "report.txt"), z::Error);

  // Cut short, and not an archive at all.
  t::writeFile(dir / "short.zip", Bytes(damaged.begin(), damaged.begin() + 40));
  EXPECT_THROW(z::ReadEntry(dir / "short.zip", "report.txt"), z::Error);
  EXPECT_THROW(z::ReadEntry(dir / "report.txt", "report.txt"), z::Error);
}

}  // namespace
