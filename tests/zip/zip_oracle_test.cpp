// Archives checked by readers none of us wrote: Info-ZIP's `unzip -t`,
// 7-Zip's `7z t` and Python's zipfile module (through
// tests/oracles/zip_check.py, which also reads every entry back). Each
// archive is made the way attachments are zipped: one file added by its
// path, written next to it as "<file>.zip".

#include <nlohmann/json.hpp>

#include "tests/support/test_support.h"
#include "tests/zip/zip_fixtures.h"
#include "zip/error.h"
#include "zip/zip_class.h"

namespace t = varnolt::test;
namespace z = varnolt::zip;
using namespace varnolt::test::zipfx;
using nlohmann::json;

namespace {

const char* const kPython = "/usr/bin/python3";

t::fs::path checkScript() { return t::sourceDir() / "tests" / "oracles" / "zip_check.py"; }

struct Expected {
  std::string name;  // UTF-8, as the reader should decode it
  Bytes content;
  std::uint16_t flags;
  std::string comment;
};

// Every oracle must accept the archive; zipfile must also find the entries
// as expected, byte for byte.
void checkWithOracles(const t::fs::path& archive, const std::vector<Expected>& expected,
                      const std::string& archiveComment = "") {
  SCOPED_TRACE(archive.filename().string());
  {
    auto r = t::run({"unzip", "-t", archive.string()}, 120);
    if (expected.empty())  // Info-ZIP warns about an archive without entries
      EXPECT_TRUE(r.exitCode == 1 && r.out.find("zipfile is empty") != std::string::npos) << r.out << r.err;
    else
      EXPECT_TRUE(r.exitCode == 0 && r.out.find("No errors detected") != std::string::npos) << r.out << r.err;
  }
  {
    auto r = t::run({"7z", "t", archive.string()}, 120);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Everything is Ok"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
  }

  auto r = t::run({kPython, checkScript().string(), archive.string()}, 120);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  json got = json::parse(r.out);
  EXPECT_TRUE(got["testzip"].is_null()) << got["testzip"];
  std::string commentHex;
  for (char c : archiveComment) {
    static const char* digits = "0123456789abcdef";
    auto b = static_cast<unsigned char>(c);
    commentHex += digits[b >> 4];
    commentHex += digits[b & 15];
  }
  EXPECT_EQ(got["comment_hex"], commentHex);
  ASSERT_EQ(got["entries"].size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const json& e = got["entries"][i];
    const Expected& x = expected[i];
    SCOPED_TRACE(x.name);
    EXPECT_EQ(e["name"], x.name) << e["name_hex"];
    EXPECT_EQ(e["flag_bits"], x.flags);
    EXPECT_EQ(e["comment"], x.comment);
    EXPECT_EQ(e["compress_type"], 8);
    EXPECT_EQ(e["create_version"], 20);
    EXPECT_EQ(e["create_system"], 0);
    EXPECT_EQ(e["extract_version"], 20);
    EXPECT_EQ(e["internal_attr"], 0x20);
    EXPECT_EQ(e["external_attr"], 0);
    EXPECT_EQ(e["date_time"], json::array({2026, 12, 7, 9, 5, 2}));
    EXPECT_EQ(e["file_size"], x.content.size());
    EXPECT_EQ(e["read_size"], x.content.size());
    EXPECT_EQ(e["crc"], crcOf(x.content));
    EXPECT_EQ(e["sha256"], t::sha256Hex(x.content));
  }
}

class ZipOracle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (t::run({kPython, "-c", "import zipfile"}, 60).exitCode != 0)
      GTEST_SKIP() << kPython << " with zipfile is not installed";
    if (!t::haveProgram("unzip") || !t::haveProgram("7z")) GTEST_SKIP() << "unzip or 7z is not installed";
  }

  // A source file stamped 7 December 2026 09:05:03 local time.
  t::fs::path source(const std::string& name, const Bytes& content) {
    t::fs::path p = dir_ / name;
    t::writeFile(p, content);
    setModified(p, localTime(2026, 12, 7, 9, 5, 3));
    return p;
  }

  t::TempDir dir_;
};

TEST_F(ZipOracle, EachKindOfAttachmentZippedOnItsOwn) {
  struct Case {
    std::string fileName;
    Bytes content;
    std::uint16_t flags;
  };
  const std::vector<Case> cases = {
      {"empty.txt", {}, 0x0002},
      {"one.bin", {0x5A}, 0x0002},
      {"random.bin", randomBytes(10 << 20, 42), 0x0002},
      {"compressible.txt", compressibleBytes(10 << 20), 0x0002},
      {"Q3 report with blanks.pdf", bytesOf("%PDF-1.4 blank names"), 0x0002},
      {"Pi\xC3\xA8" "ces jointes \xC3\xA9t\xC3\xA9 d\xC3\xA9j\xC3\xA0 \xE2\x82\xAC.docx",  // Windows-1252 holds these
       bytesOf("accented"), 0x0002},
      {"\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 \xD0\xB7\xD0\xB0 \xD0\xBA\xD0\xB2\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0\xD0\xBB.pdf",
       bytesOf("Cyrillic"), 0x0802},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE6\xB7\xBB\xE4\xBB\x98.xlsx", bytesOf("Japanese"), 0x0802},
      {"\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC.txt", bytesOf("Greek"), 0x0802},
  };
  for (const Case& c : cases) {
    t::fs::path file = source(c.fileName, c.content);
    t::fs::path archive = dir_ / (c.fileName + ".zip");
    z::ZipClass zip;
    ASSERT_TRUE(zip.AddFile(file, "", ""));
    ASSERT_TRUE(zip.WriteZip(archive, true));
    checkWithOracles(archive, {{c.fileName, c.content, c.flags, ""}});
  }
}

TEST_F(ZipOracle, ManyEntriesWithCommentsAndEveryWindows1252Character) {
  // Every printable character of Windows-1252 but the path separators.
  std::string all1252;
  for (int c = 0x20; c < 0x7F; ++c)
    if (c != '/' && c != '\\') all1252 += static_cast<char>(c);
  all1252 +=
      "\xE2\x82\xAC\xE2\x80\x9A\xC6\x92\xE2\x80\x9E\xE2\x80\xA6\xE2\x80\xA0\xE2\x80\xA1\xCB\x86\xE2\x80\xB0\xC5\xA0"
      "\xE2\x80\xB9\xC5\x92\xC5\xBD\xE2\x80\x98\xE2\x80\x99\xE2\x80\x9C\xE2\x80\x9D\xE2\x80\xA2\xE2\x80\x93\xE2\x80\x94"
      "\xCB\x9C\xE2\x84\xA2\xC5\xA1\xE2\x80\xBA\xC5\x93\xC5\xBE\xC5\xB8";
  for (int c = 0xA0; c <= 0xFF; ++c) {
    all1252 += static_cast<char>(0xC0 | (c >> 6));
    all1252 += static_cast<char>(0x80 | (c & 0x3F));
  }

  const std::vector<Expected> expected = {
      {all1252, bytesOf("every character"), 0x0002, "Windows-1252 comment: \xC3\xA9\xE2\x84\xA2"},
      {"docs/Smith, J. - notes.txt", compressibleBytes(40000), 0x0002, ""},
      {"\xD0\x9F\xD0\xB8\xD1\x81\xD1\x8C\xD0\xBC\xD0\xBE.eml", randomBytes(3000, 9), 0x0802,
       "\xE6\xB7\xBB\xE4\xBB\x98 comment"},
      {"empty", {}, 0x0002, ""},
  };
  z::ZipClass zip;
  int n = 0;
  for (const Expected& x : expected)
    ASSERT_TRUE(zip.AddFile(source("src" + std::to_string(n++), x.content), x.name, x.comment));
  const std::string comment = "Attachments of message 12 \xC2\xA9";
  zip.Comment(comment);
  ASSERT_EQ(zip.FileCount(), 4);
  ASSERT_TRUE(zip.WriteZip(dir_ / "many.zip", false));
  checkWithOracles(dir_ / "many.zip", expected, "Attachments of message 12 \xA9");
}

TEST_F(ZipOracle, ArchiveWithoutEntries) {
  z::ZipClass zip;
  EXPECT_FALSE(zip.AddFile(dir_ / "save-failed.pdf"));
  ASSERT_TRUE(zip.WriteZip(dir_ / "save-failed.pdf.zip", true));
  EXPECT_EQ(t::fs::file_size(dir_ / "save-failed.pdf.zip"), 22u);
  checkWithOracles(dir_ / "save-failed.pdf.zip", {});

  z::ZipClass commented;
  commented.Comment("nothing here");
  ASSERT_TRUE(commented.WriteZip(dir_ / "commented.zip", true));
  checkWithOracles(dir_ / "commented.zip", {}, "nothing here");
}

TEST_F(ZipOracle, LargestEntryCountIsReadAndOneMoreIsRefused) {
  // 65535 in the 16-bit count would send readers looking for a ZIP64 record.
  t::fs::path file = source("x.txt", bytesOf("x"));
  z::ZipClass zip;
  for (int i = 0; i < 65534; ++i) ASSERT_TRUE(zip.AddFile(file));
  EXPECT_THROW(zip.AddFile(file), z::Error);
  EXPECT_EQ(zip.FileCount(), 65534);
  ASSERT_TRUE(zip.WriteZip(dir_ / "full.zip", false));

  auto u = t::run({"unzip", "-t", (dir_ / "full.zip").string()}, 300);
  EXPECT_EQ(u.exitCode, 0) << u.err;
  auto s = t::run({"7z", "t", (dir_ / "full.zip").string()}, 300);
  EXPECT_EQ(s.exitCode, 0) << s.err;
  EXPECT_NE(s.out.find("Files: 65534"), std::string::npos) << s.out;
  auto p = t::run({kPython, "-c",
                   "import sys, zipfile\n"
                   "z = zipfile.ZipFile(sys.argv[1])\n"
                   "print(len(z.infolist()), z.testzip())",
                   (dir_ / "full.zip").string()},
                  300);
  EXPECT_EQ(p.out, "65534 None\n") << p.err;
}

}  // namespace
