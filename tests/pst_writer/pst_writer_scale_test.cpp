// Files at the scale users keep: 100,000 small messages in 100 folders, a
// single 300 MiB attachment, and a file past 2 GiB (past the old ANSI
// limit, with the free-page map that only files that large hold). Each
// must pass `varnolt-cli check`, pffinfo and readpst. Minutes of work and
// gigabytes of disk: labelled slow, run with `ctest -L slow`.

#include "tests/pst_writer/writer_fixtures.h"

namespace varnolt::test::pstw {
namespace {

fs::path cli() { return programPath("varnolt-cli"); }

bool roomFor(const fs::path& dir, std::uint64_t bytes) {
  std::error_code error;
  const fs::space_info space = fs::space(dir, error);
  return !error && space.available > bytes;
}

void independentReadersAccept(const fs::path& file, const TempDir& dir) {
  auto check = run({cli().string(), "check", file.string()}, 3600);
  EXPECT_EQ(check.exitCode, 0) << check.out.substr(0, 4000) << check.err;
  if (!haveProgram("pffinfo") || !haveProgram("readpst")) {
    ADD_FAILURE() << "pff-tools and pst-utils are needed for this test";
    return;
  }
  auto info = run({"pffinfo", file.string()}, 3600);
  EXPECT_EQ(info.exitCode, 0) << info.err;
  fs::path out = dir / "readpst";
  fs::create_directories(out);
  auto rp = run({"readpst", "-q", "-o", out.string(), file.string()}, 3600);
  EXPECT_EQ(rp.exitCode, 0) << rp.out << rp.err;
  fs::remove_all(out);
}

TEST(PstWriterScale, HundredThousandSmallMessagesInHundredFolders) {
  TempDir dir;
  if (!roomFor(dir.path(), 2ull << 30)) GTEST_SKIP() << "needs 2 GiB of free disk";
  fs::path file = dir / "small.pst";
  auto r = run({cli().string(), "generate", file.string(), "--folders", "100", "--messages", "100000",
                "--attachments-per-message", "0", "--seed", "5"},
               3600);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  independentReadersAccept(file, dir);
  auto s = p::Store::open(file);
  std::size_t messages = 0, folders = 0;
  std::function<void(const p::Folder&)> walk = [&](const p::Folder& f) {
    for (p::NodeId id : f.subfolderIds()) {
      p::Folder c = s->folder(id);
      ++folders;
      messages += c.messageIds().size();
      walk(c);
    }
  };
  walk(*s->ipmSubtree());
  EXPECT_EQ(messages, 100000u);
  EXPECT_EQ(folders, 101u);  // and Deleted Items
}

// Memory does not grow with the number of messages: 400,000 small
// messages are written, and copied by a compress run, in under 256 MiB at
// peak (a writer that keeps about 1 KB a message passes 400 MiB here), and
// the copy is read by every reader.
TEST(PstWriterScale, FourHundredThousandMessagesWrittenAndCompressedInUnder256MiB) {
  TempDir dir;
  if (!roomFor(dir.path(), 4ull << 30)) GTEST_SKIP() << "needs 4 GiB of free disk";
  if (!haveProgram("/usr/bin/time")) GTEST_SKIP() << "needs /usr/bin/time (Debian time)";
  auto peakKiB = [&](const fs::path& timeFile) {
    std::vector<std::uint8_t> text = readFile(timeFile);
    return std::stoull(std::string(text.begin(), text.end()));
  };
  fs::path file = dir / "many.pst";
  auto gen = run({"/usr/bin/time", "-f", "%M", "-o", (dir / "gen.time").string(), cli().string(), "generate",
                  file.string(), "--folders", "20", "--messages", "400000", "--attachments-per-message", "0",
                  "--seed", "3"},
                 3600);
  ASSERT_EQ(gen.exitCode, 0) << gen.err;
  EXPECT_LT(peakKiB(dir / "gen.time"), 256u * 1024);
  fs::path dest = dir / "dest";
  fs::create_directories(dest);
  auto compress = run({"/usr/bin/time", "-f", "%M", "-o", (dir / "compress.time").string(), cli().string(),
                       "compress", "--treatment", "remove", "--dest", dest.string(), file.string()},
                      3600);
  ASSERT_EQ(compress.exitCode, 0) << compress.out << compress.err;
  EXPECT_LT(peakKiB(dir / "compress.time"), 256u * 1024);
  fs::remove(file);
  fs::path copy;
  for (const auto& e : fs::recursive_directory_iterator(dest))
    if (e.path().extension() == ".pst") copy = e.path();
  ASSERT_FALSE(copy.empty());
  independentReadersAccept(copy, dir);
  auto s = p::Store::open(copy);
  std::size_t messages = 0;
  for (p::NodeId id : s->ipmSubtree()->subfolderIds()) messages += s->folder(id).messageIds().size();
  EXPECT_EQ(messages, 400000u);
}

TEST(PstWriterScale, OneAttachmentOf300MiB) {
  TempDir dir;
  if (!roomFor(dir.path(), 2ull << 30)) GTEST_SKIP() << "needs 2 GiB of free disk";
  fs::path file = dir / "big-attachment.pst";
  m::Bytes data = pattern(300u << 20, 7);
  std::string digest = sha256Hex(data);
  {
    auto w = p::Writer::create(file, "Big");
    m::Message msg = simpleMessage("a very large attachment");
    msg.attachments.push_back(byValue("large.bin", std::move(data)));
    w->addMessage(w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note"), msg);
    w->close();
  }
  EXPECT_GT(fs::file_size(file), 300u << 20);
  independentReadersAccept(file, dir);
  auto s = p::Store::open(file);
  p::Folder inbox = *childNamed(*s, *s->ipmSubtree(), "Inbox");
  m::Message back = s->readMessage(inbox.messageIds().at(0));
  ASSERT_TRUE(back.attachments.at(0).dataBinary());
  EXPECT_EQ(sha256Hex(*back.attachments[0].dataBinary()), digest);
}

TEST(PstWriterScale, FileLargerThanTwoGiB) {
  TempDir dir;
  if (!roomFor(dir.path(), 6ull << 30)) GTEST_SKIP() << "needs 6 GiB of free disk";
  fs::path file = dir / "past-2gib.pst";
  auto r = run({cli().string(), "generate", file.string(), "--folders", "20", "--messages", "2200",
                "--attachments-per-message", "1", "--attachment-size", "1048576", "--seed", "9"},
               3600);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_GT(fs::file_size(file), 2ull << 30);
  independentReadersAccept(file, dir);
}

}  // namespace
}  // namespace varnolt::test::pstw
