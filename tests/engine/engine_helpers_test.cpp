// The run's small helpers: run folder names, one-level folder creation,
// PST file names for the label, deletes that never touch folders, removal
// of the scratch folder, the failure lines, and the test store's own
// attachment-list semantics the engine relies on.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/memory_file_system.h"
#include "engine/naming.h"
#include "engine/run_helpers.h"
#include "tests/engine/engine_fixtures.h"

namespace varnolt::test::enginefx {
namespace {

TEST(RunHelpers, RunFolderName) {
  EXPECT_EQ(engine::RunFolderName({2026, 2, 3, 9, 5, 7}), "Varnolt_03-02-2026_09-05-07");
  EXPECT_EQ(engine::RunFolderName({2026, 12, 31, 23, 59, 59}), "Varnolt_31-12-2026_23-59-59");
}

TEST(RunHelpers, EnsureDestinationSubfolderMakesOneLevelOnly) {
  TempDir tmp;
  const std::string d = tmp.path().string() + "/";
  engine::EnsureDestinationSubfolder(d, "run");
  EXPECT_TRUE(fs::is_directory(tmp / "run"));
  writeFile(tmp / "run" / "keep.txt", "kept");
  engine::EnsureDestinationSubfolder(d, "run");  // an existing folder is kept as it is
  EXPECT_TRUE(fs::exists(tmp / "run" / "keep.txt"));
  EXPECT_THROW(engine::EnsureDestinationSubfolder(d, "missing/child"), fs::filesystem_error);
  EXPECT_FALSE(fs::exists(tmp / "missing"));
  writeFile(tmp / "file", "x");
  EXPECT_THROW(engine::EnsureDestinationSubfolder(d, "file"), fs::filesystem_error);
}

TEST(RunHelpers, ParsePstFileName) {
  std::string s = "/home/ann/mail/Archive 2025.pst";
  engine::parsePSTFileName(s);
  EXPECT_EQ(s, "Archive 2025.pst");
  s = "plain.pst";
  engine::parsePSTFileName(s);
  EXPECT_EQ(s, "plain.pst");
  s = "/trailing/";
  engine::parsePSTFileName(s);
  EXPECT_EQ(s, "");
  // A backslash separates folders only on Windows; elsewhere it is part of a name.
  s = "C:\\Mail\\Archive.pst";
  engine::parsePSTFileName(s);
  EXPECT_EQ(s, engine::kNativePathForm == engine::PathForm::Windows ? "Archive.pst" : "C:\\Mail\\Archive.pst");
}

TEST(RunHelpers, DeleteFileIfPresentAndScratchFolderRemoval) {
  TempDir tmp;
  writeFile(tmp / "a.txt", "a");
  engine::DeleteFileIfPresent((tmp / "a.txt").string());
  EXPECT_FALSE(fs::exists(tmp / "a.txt"));
  EXPECT_NO_THROW(engine::DeleteFileIfPresent((tmp / "a.txt").string()));
  fs::create_directory(tmp / "dir");
  engine::DeleteFileIfPresent((tmp / "dir").string());
  EXPECT_TRUE(fs::is_directory(tmp / "dir"));
  // A file noted gone is not looked for by the delete right after; the
  // note serves that delete only, whichever file it is for.
  engine::NoteFileGone((tmp / "held.msg").string());
  engine::DeleteFileIfPresent((tmp / "held.msg").string());
  writeFile(tmp / "held.msg", "now on disk");
  engine::NoteFileGone((tmp / "held.msg").string());
  writeFile(tmp / "b.txt", "b");
  engine::DeleteFileIfPresent((tmp / "b.txt").string());
  EXPECT_FALSE(fs::exists(tmp / "b.txt"));
  engine::DeleteFileIfPresent((tmp / "held.msg").string());
  EXPECT_FALSE(fs::exists(tmp / "held.msg"));

  fs::create_directory(tmp / "MSG Folder");
  writeFile(tmp / "MSG Folder" / "1.msg", "1");
  writeFile(tmp / "MSG Folder" / "2.msg", "2");
  engine::RemoveScratchFolder((tmp / "MSG Folder").string());
  EXPECT_FALSE(fs::exists(tmp / "MSG Folder"));
  EXPECT_NO_THROW(engine::RemoveScratchFolder((tmp / "MSG Folder").string()));
  // Something that is not a file stays, and so does the folder.
  fs::create_directories(tmp / "MSG Folder" / "sub");
  writeFile(tmp / "MSG Folder" / "3.msg", "3");
  EXPECT_THROW(engine::RemoveScratchFolder((tmp / "MSG Folder").string()), fs::filesystem_error);
  EXPECT_FALSE(fs::exists(tmp / "MSG Folder" / "3.msg"));
  EXPECT_TRUE(fs::exists(tmp / "MSG Folder" / "sub"));
}

// The helpers reach files only through the file system in use: here one
// in memory that fills up and whose destination is taken away mid-run.
TEST(RunHelpers, FullAndVanishingDestinationInMemory) {
  base::MemoryFileSystem memory;
  base::ScopedFileSystem inUse(memory);
  memory.makeFolders("/dest");
  memory.setCapacity(100);
  memory.writeFile("/dest/old.pst", std::vector<std::uint8_t>(40, 1));
  EXPECT_EQ(engine::FreeSpace("/dest/"), std::optional<std::uintmax_t>(60));

  engine::EnsureDestinationSubfolder("/dest/", "run");
  engine::EnsureDestinationSubfolder("/dest/", "run/MSG Folder");
  memory.writeFile("/dest/run/MSG Folder/1.msg", {1, 2, 3});
  memory.writeFile("/dest/run/kept.txt", {4});
  EXPECT_EQ(engine::FilesIn("/dest/run"), 1);
  EXPECT_NO_THROW(engine::FlushFolder("/dest/run"));
  engine::RemoveScratchFolder("/dest/run/MSG Folder");
  engine::RemoveFolderIfEmpty("/dest/run");  // holds kept.txt: stays
  EXPECT_EQ(memory.tree("/dest"), (std::vector<std::string>{"/dest/old.pst", "/dest/run", "/dest/run/kept.txt"}));
  EXPECT_FALSE(fs::exists("/dest/run")) << "the helpers went to the disk, not the file system in use";

  // A full destination: the error a write meets is the one the run treats
  // as a full destination.
  std::error_code error;
  auto file = memory.createWhole("/dest/run/big.bin", {}, error);
  ASSERT_TRUE(file);
  const std::vector<std::uint8_t> big(100, 7);
  file->writeAt(0, big.data(), big.size(), error);
  EXPECT_TRUE(engine::IsNoSpace(error)) << error.message();
  file.reset();

  // The destination taken away (an unplugged drive): making a folder in
  // it fails loudly, flushing and counting find nothing to do.
  memory.removeTree("/dest");
  EXPECT_THROW(engine::EnsureDestinationSubfolder("/dest/", "run"), fs::filesystem_error);
  EXPECT_NO_THROW(engine::FlushFolder("/dest/run"));
  EXPECT_EQ(engine::FilesIn("/dest/run"), 0);
  EXPECT_EQ(engine::FreeSpace("/dest/"), std::nullopt);
  EXPECT_TRUE(memory.tree("/").empty());
}

TEST(RunHelpers, FailureLines) {
  engine::Failure f;
  f.operation = "create the mail-store session";
  f.reason = "no store";
  EXPECT_EQ(f.describe(), "create the mail-store session failed: no store");
  f.pst = "/m/a.pst";
  f.folder = "/Inbox/Sub";
  f.message = "4";
  f.attachment = "x.pdf";
  f.operation = "SaveAsFile";
  EXPECT_EQ(f.describe(), "PST /m/a.pst, folder /Inbox/Sub, message 4, attachment x.pdf: SaveAsFile failed: no store");
}

TEST(MemoryStore, DeleteKeepsLowerIndexesAndCommitWritesTheFile) {
  TempDir tmp;
  memstore::MemoryWorld world;
  const std::string path = (tmp / "m.msg").string();
  writeFile(path, memstore::serializeMessage(*MessageData::make(
                      "s", "b", "h", {AttachmentData::value("1", "a"), AttachmentData::value("2", "b"),
                                      AttachmentData::value("3", "c")})));
  auto session = world.factory()();
  auto message = session->GetMessageFromMsgFile(path);
  auto list = message->AttachmentList();
  auto first = list->Item(1);
  list->Item(3)->Delete();
  list->Item(2)->Delete();
  EXPECT_EQ(list->Count(), 1);
  EXPECT_EQ(list->Item(1)->FileName(), "1");
  EXPECT_EQ(first->FileName(), "1");
  EXPECT_THROW(list->Item(2), engine::StoreError);
  message->Commit();
  const auto bytes = readFile(path);
  auto reread = memstore::parseMessage(std::string(bytes.begin(), bytes.end()));
  ASSERT_EQ(reread->attachments.size(), 1u);
  EXPECT_EQ(reread->attachments[0]->fileName, "1");
  // A file cut short is refused, not half read.
  writeFile(path, std::string(bytes.begin(), bytes.begin() + 12));
  EXPECT_THROW(session->GetMessageFromMsgFile(path), engine::StoreError);
}

}  // namespace
}  // namespace varnolt::test::enginefx
