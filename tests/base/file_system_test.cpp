// The file-system interface: a file created whole appears whole or not at
// all on disk and in memory alike, and the writers built on it leave
// nothing behind when the disk fills or the folder vanishes half way.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/memory_file_system.h"
#ifdef _WIN32
#include "base/windows_file_system.h"
#else
#include "base/posix_file_system.h"
#endif
#include "mapi/cfb/atomic_file.h"
#include "mapi/error.h"
#include "mapi/pst/writer/output_file.h"
#include "mapi/pst/writer/row_store.h"
#include "tests/support/test_support.h"
#include "zip/archive_output.h"
#include "zip/error.h"

namespace varnolt::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The implementation the program uses on this system, as a new object.
std::unique_ptr<base::FileSystem> diskFileSystem() {
#ifdef _WIN32
  return std::make_unique<base::WindowsFileSystem>();
#else
  return std::make_unique<base::PosixFileSystem>();
#endif
}

// Each test runs against the disk (in a scratch folder) and against memory.
class WholeFileTest : public ::testing::TestWithParam<bool> {
 protected:
  WholeFileTest() {
    if (GetParam()) {
      files_ = std::make_unique<base::MemoryFileSystem>();
      root_ = "/work";
      static_cast<base::MemoryFileSystem&>(*files_).makeFolders(root_);
    } else {
      files_ = diskFileSystem();
      root_ = tmp_.path();
    }
  }

  void put(const std::string& name, const std::string& text) {
    std::error_code error;
    auto file = files_->createWhole(root_ / name, {}, error);
    ASSERT_TRUE(file) << error.message();
    file->writeAt(0, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), error);
    file->close(error);
    ASSERT_TRUE(file->publish(true, error)) << error.message();
  }

  // The file's bytes as text, read back through the interface; "(none)"
  // when it cannot be opened.
  std::string read(const std::string& name) {
    std::error_code error;
    auto file = files_->openRead(root_ / name, error);
    if (!file) return "(none)";
    std::string text(file->size(), '\0');
    const std::size_t got = file->readAt(0, reinterpret_cast<std::uint8_t*>(text.data()), text.size(), error);
    EXPECT_FALSE(error);
    return text.substr(0, got);
  }

  std::vector<std::string> names() {
    std::error_code error;
    std::vector<std::string> found;
    for (const auto& entry : files_->list(root_, error)) found.push_back(entry.name);
    EXPECT_FALSE(error) << error.message();
    std::sort(found.begin(), found.end());
    return found;
  }

  TempDir tmp_;
  std::unique_ptr<base::FileSystem> files_;
  fs::path root_;
};

TEST_P(WholeFileTest, AppearsWholeOrNotAtAll) {
  put("mail.pst", "old");
  std::error_code error;
  {
    auto file = files_->createWhole(root_ / "mail.pst", {".partial-", false, 0, false}, error);
    ASSERT_TRUE(file) << error.message();
    const Bytes half = bytesOf("new and longer");
    file->writeAt(0, half.data(), half.size(), error);
    ASSERT_FALSE(error);
    // Written but not published: the old file is what readers see.
    EXPECT_EQ(read("mail.pst"), "old");
    EXPECT_EQ(names().size(), 2U);
    EXPECT_EQ(file->temporaryPath().filename().string().rfind("mail.pst.partial-", 0), 0U);
  }  // dropped unpublished, as when a writer throws
  EXPECT_EQ(names(), std::vector<std::string>{"mail.pst"});
  EXPECT_EQ(read("mail.pst"), "old");

  auto file = files_->createWhole(root_ / "mail.pst", {}, error);
  ASSERT_TRUE(file);
  const Bytes text = bytesOf("new");
  file->writeAt(4, text.data(), text.size(), error);
  file->resize(9, error);
  file->sync(error);
  file->close(error);
  ASSERT_FALSE(error);
  // Not replacing: the taken name is left alone and the answer says so.
  EXPECT_FALSE(file->publish(false, error));
  EXPECT_FALSE(error);
  EXPECT_EQ(read("mail.pst"), "old");
  EXPECT_TRUE(file->publish(true, error)) << error.message();
  EXPECT_EQ(read("mail.pst"), std::string("\0\0\0\0new\0\0", 9));
  file.reset();
  EXPECT_EQ(names(), std::vector<std::string>{"mail.pst"});
}

TEST_P(WholeFileTest, FoldersNamesAndMissingThings) {
  std::error_code error;
  files_->createFolder(root_ / "run", error);
  ASSERT_FALSE(error);
  files_->createFolder(root_ / "run", error);
  EXPECT_EQ(error, std::errc::file_exists);
  files_->createFolder(root_ / "missing" / "child", error);
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);

  put("run/a.txt", "a");
  files_->createEmptyExclusive(root_ / "run" / "a.txt", error);
  EXPECT_EQ(error, std::errc::file_exists);  // a held name is never taken over
  EXPECT_EQ(read("run/a.txt"), "a");
  EXPECT_FALSE(files_->remove(root_ / "run", error));
  EXPECT_TRUE(error) << "a folder that holds a file is not removed";
  EXPECT_EQ(files_->status(root_ / "run", error).type, base::EntryType::Folder);
  EXPECT_EQ(files_->status(root_ / "run" / "a.txt", error).size, 1U);

  // Something absent is reported as absent, with the error that says so.
  EXPECT_EQ(files_->status(root_ / "nothing", error, true).type, base::EntryType::None);
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  files_->list(root_ / "nothing", error);
  EXPECT_TRUE(error);
  EXPECT_FALSE(files_->syncFolder(root_ / "nothing", error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);

  files_->rename(root_ / "run" / "a.txt", root_ / "b.txt", error);
  EXPECT_FALSE(error);
  EXPECT_EQ(read("b.txt"), "a");
  EXPECT_TRUE(files_->sameFile(root_ / "b.txt", root_ / "run" / ".." / "b.txt", error));
  EXPECT_FALSE(files_->sameFile(root_ / "b.txt", root_ / "run", error));
  EXPECT_TRUE(files_->remove(root_ / "run", error));
  EXPECT_EQ(names(), std::vector<std::string>{"b.txt"});
}

TEST_P(WholeFileTest, FilesWrittenInPlaceKeepWhatTheyHold) {
  put("report.csv", "header\n");
  std::error_code error;
  // A report is never opened over one that is there.
  EXPECT_EQ(files_->openWrite(root_ / "report.csv", true, error), nullptr);
  EXPECT_EQ(error, std::errc::file_exists);
  EXPECT_EQ(read("report.csv"), "header\n");

  const base::EntryStatus before = files_->status(root_ / "report.csv", error);
  ASSERT_FALSE(error);
  EXPECT_EQ(before.identity.size, 7U);
  EXPECT_EQ(before.identity, files_->openRead(root_ / "report.csv", error)->identity(error))
      << "an unchanged file has one identity however it is looked at";

  // Opened again, it is not cut short: writes land where they are put.
  auto file = files_->openWrite(root_ / "report.csv", false, error);
  ASSERT_TRUE(file) << error.message();
  EXPECT_EQ(file->size(), 7U);
  const Bytes row = bytesOf("row\n");
  file->writeAt(7, row.data(), row.size(), error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(read("report.csv"), "header\nrow\n") << "written in place, seen before it is closed";
  std::string back(4, '\0');
  EXPECT_EQ(file->readAt(7, reinterpret_cast<std::uint8_t*>(back.data()), back.size(), error), 4U);
  EXPECT_EQ(back, "row\n");
  const base::FileIdentity after = file->identity(error);
  EXPECT_EQ(after.size, 11U);
  EXPECT_NE(after, before.identity) << "a written file must not pass for the one read before";
  file->resize(3, error);
  file->sync(error);
  file->close(error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(read("report.csv"), "hea");

  // A new one is created empty, and held against a second creator.
  auto fresh = files_->openWrite(root_ / "manifest.jsonl", true, error);
  ASSERT_TRUE(fresh) << error.message();
  EXPECT_EQ(fresh->size(), 0U);
  EXPECT_EQ(files_->openWrite(root_ / "manifest.jsonl", true, error), nullptr);
  EXPECT_EQ(error, std::errc::file_exists);
  EXPECT_EQ(files_->openWrite(root_ / "missing" / "x", false, error), nullptr);
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

TEST_P(WholeFileTest, ScratchFilesLeaveNoNameBehind) {
  std::error_code error;
  {
    auto scratch = files_->createScratch(root_, error);
    ASSERT_TRUE(scratch) << error.message();
    Bytes rows(100000);
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<std::uint8_t>(i * 7);
    scratch->writeAt(0, rows.data(), rows.size(), error);
    scratch->writeAt(rows.size(), rows.data(), 10, error);
    ASSERT_FALSE(error) << error.message();
    Bytes back(rows.size());
    std::size_t got = 0;
    while (got < back.size()) {
      const std::size_t n = scratch->readAt(got, back.data() + got, back.size() - got, error);
      ASSERT_FALSE(error) << error.message();
      ASSERT_GT(n, 0U);
      got += n;
    }
    EXPECT_EQ(back, rows);
  }
  EXPECT_TRUE(names().empty()) << "a scratch file outlived its writer";
  EXPECT_EQ(files_->createScratch(root_ / "missing", error), nullptr);
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

TEST_P(WholeFileTest, RenameWithoutReplacingLeavesATakenNameAlone) {
  put("Restored.pst", "kept");
  put("restoring", "new");
  std::error_code error;
  EXPECT_FALSE(files_->renameNoReplace(root_ / "restoring", root_ / "Restored.pst", error));
  EXPECT_FALSE(error) << "a taken name is an answer, not a failure: " << error.message();
  EXPECT_EQ(read("Restored.pst"), "kept");
  EXPECT_EQ(read("restoring"), "new");
  EXPECT_TRUE(files_->renameNoReplace(root_ / "restoring", root_ / "Restored (2).pst", error)) << error.message();
  EXPECT_EQ(names(), (std::vector<std::string>{"Restored (2).pst", "Restored.pst"}));
  EXPECT_EQ(read("Restored (2).pst"), "new");
  EXPECT_FALSE(files_->renameNoReplace(root_ / "gone", root_ / "elsewhere", error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, WholeFileTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "Memory" : "Disk"; });

// The writers over a file system that fills up or loses its folder.
class WritersTest : public ::testing::Test {
 protected:
  WritersTest() { memory.makeFolders("/out"); }
  base::MemoryFileSystem memory;
};

TEST_F(WritersTest, FullDiskLeavesNoPartialFileAndSaysSo) {
  memory.setCapacity(1000);
  const Bytes big(200 * 1024, 0x5A);
  {
    zip::ArchiveOutput archive("/out/a.zip", memory);
    try {
      archive.write(big);
      archive.commit(true);
      FAIL() << "an archive larger than the disk was written";
    } catch (const zip::Error& e) {
      EXPECT_EQ(e.kind(), zip::ErrorKind::NoSpace) << e.what();
      EXPECT_NE(std::string(e.what()).find("cannot write /out/a.zip"), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(memory.tree("/out").empty());

  {
    mapi::pst::OutputFile pst("/out/new.pst", memory);
    pst.writeAt(0, mapi::ByteView(big.data(), 600));
    pst.writeAt(600, mapi::ByteView(big.data(), 600));  // buffered: the disk is only reached at commit
    try {
      pst.commit();
      FAIL() << "a PST larger than the disk was committed";
    } catch (const mapi::Error& e) {
      EXPECT_EQ(e.kind(), mapi::ErrorKind::NoSpace) << e.what();
    }
  }
  EXPECT_TRUE(memory.tree("/out").empty());

  // A compound file being replaced: the old one stays whole.
  memory.writeFile("/out/item.msg", bytesOf("the old item"));
  {
    mapi::cfb::AtomicFile item("/out/item.msg", memory);
    EXPECT_THROW(item.write(big.data(), big.size()), mapi::Error);
  }
  EXPECT_EQ(memory.tree("/out"), std::vector<std::string>{"/out/item.msg"});
  EXPECT_EQ(memory.readFile("/out/item.msg"), bytesOf("the old item"));
}

TEST_F(WritersTest, FolderThatVanishesBeforeCommitFailsTheCommit) {
  zip::ArchiveOutput archive("/out/a.zip", memory);
  archive.write(bytesOf("PK..."));
  memory.removeTree("/out");
  try {
    archive.commit(true);
    FAIL() << "an archive was reported written into a folder that is gone";
  } catch (const zip::Error& e) {
    EXPECT_EQ(e.kind(), zip::ErrorKind::Io) << e.what();
  }
  EXPECT_TRUE(memory.tree("/").empty());

  memory.makeFolders("/out");
  mapi::pst::OutputFile pst("/out/new.pst", memory);
  pst.writeAt(0, mapi::ByteView(bytesOf("!BDN")));
  memory.removeTree("/out");
  EXPECT_THROW(pst.commit(), mapi::Error);
  EXPECT_TRUE(memory.tree("/").empty());
}

TEST_F(WritersTest, WrittenFilesArriveWholeUnderTheirNames) {
  zip::ArchiveOutput archive("/out/a.zip", memory);
  archive.write(bytesOf("first "));
  archive.write(bytesOf("second"));
  EXPECT_EQ(archive.position(), 12U);
  EXPECT_TRUE(memory.readFile("/out/a.zip") == std::nullopt);
  ASSERT_TRUE(archive.commit(false));
  EXPECT_EQ(memory.readFile("/out/a.zip"), bytesOf("first second"));

  // Not replacing: an archive that appeared meanwhile is kept.
  zip::ArchiveOutput second("/out/a.zip", memory);
  second.write(bytesOf("other"));
  EXPECT_FALSE(second.commit(false));
  EXPECT_EQ(memory.readFile("/out/a.zip"), bytesOf("first second"));
  EXPECT_EQ(memory.tree("/out"), std::vector<std::string>{"/out/a.zip"});

  mapi::pst::OutputFile pst("/out/new.pst", memory);
  pst.writeAt(4, mapi::ByteView(bytesOf("tail")));
  pst.writeAt(0, mapi::ByteView(bytesOf("head")));
  pst.resize(10);
  pst.commit();
  EXPECT_EQ(memory.readFile("/out/new.pst"), bytesOf(std::string("headtail\0\0", 10)));
}

TEST_F(WritersTest, TableRowsGoToAScratchFileWithoutANameAndComeBackInOrder) {
  mapi::pst::RowFile file("/out", memory);
  mapi::pst::RowStore rows;
  const std::size_t count = 3 * mapi::pst::RowStore::kRowsPerChunk + 5;  // three chunks spilled, five held
  for (std::uint32_t id = 0; id < count; ++id)
    rows.add(mapi::pst::PackedRow(0x200000 + id, Bytes(id % 50, static_cast<std::uint8_t>(id))), file);
  EXPECT_TRUE(memory.tree("/out").empty()) << "the scratch file took a name in the folder";

  const std::vector<mapi::pst::PackedRow> back = rows.all(&file);
  ASSERT_EQ(back.size(), count);
  for (std::uint32_t id = 0; id < count; ++id) {
    EXPECT_EQ(back[id].rowId(), 0x200000 + id);
    EXPECT_EQ(back[id].cells(), Bytes(id % 50, static_cast<std::uint8_t>(id))) << "row " << id;
  }

  try {
    mapi::pst::RowFile nowhere("/gone", memory);
    FAIL() << "a scratch file was made in a folder that is not there";
  } catch (const mapi::Error& e) {
    EXPECT_EQ(e.kind(), mapi::ErrorKind::Io);
    EXPECT_NE(std::string(e.what()).find("cannot create a scratch file in /gone"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace varnolt::test
