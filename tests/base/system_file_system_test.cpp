// The operating system's file system where Windows differs most: paths
// past 260 characters, names outside ASCII, and a file replaced while a
// reader still has it open. Run on whichever system the build is for.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "tests/support/test_support.h"
#ifdef _WIN32
#include "base/windows_file_system.h"
#endif

namespace varnolt::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

class SystemFileSystemTest : public ::testing::Test {
 protected:
  void put(const fs::path& path, const std::string& text) {
    std::error_code error;
    auto file = files_.createWhole(path, {}, error);
    ASSERT_TRUE(file) << path << ": " << error.message();
    file->writeAt(0, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), error);
    ASSERT_FALSE(error) << error.message();
    file->close(error);
    ASSERT_TRUE(file->publish(true, error)) << error.message();
  }

  std::string read(const fs::path& path) {
    std::error_code error;
    auto file = files_.openRead(path, error);
    if (!file) return "(none: " + error.message() + ")";
    return readAll(*file);
  }

  static std::string readAll(const base::ReadableFile& file) {
    std::error_code error;
    std::string text(file.size(), '\0');
    const std::size_t got = file.readAt(0, reinterpret_cast<std::uint8_t*>(text.data()), text.size(), error);
    EXPECT_FALSE(error) << error.message();
    return text.substr(0, got);
  }

  std::vector<std::string> names(const fs::path& folder) {
    std::error_code error;
    std::vector<std::string> found;
    for (const auto& entry : files_.list(folder, error)) found.push_back(entry.name);
    EXPECT_FALSE(error) << error.message();
    std::sort(found.begin(), found.end());
    return found;
  }

  TempDir tmp_;
  base::FileSystem& files_ = base::systemFileSystem();
};

TEST_F(SystemFileSystemTest, PathsLongerThan260CharactersWork) {
  // Five folders of 60 characters: the file's path passes 300.
  fs::path folder = tmp_.path();
  std::error_code error;
  for (char c : std::string("abcde")) {
    folder /= std::string(60, c);
    files_.createFolder(folder, error);
    ASSERT_FALSE(error) << folder << ": " << error.message();
  }
  const fs::path file = folder / "attachment with a long path.pdf";
  ASSERT_GT(file.string().size(), 300U);

  put(file, "saved");
  EXPECT_EQ(read(file), "saved");
  const base::EntryStatus status = files_.status(file, error);
  EXPECT_EQ(status.type, base::EntryType::File) << error.message();
  EXPECT_EQ(status.size, 5U);
  EXPECT_EQ(names(folder), std::vector<std::string>{"attachment with a long path.pdf"});
  EXPECT_TRUE(files_.sameFile(file, folder / ".." / std::string(60, 'e') / "attachment with a long path.pdf", error))
      << error.message();
  EXPECT_EQ(files_.resolved(folder / "." / "attachment with a long path.pdf", error).filename(),
            "attachment with a long path.pdf");
  EXPECT_FALSE(error) << error.message();
  EXPECT_GT(files_.space(file, error).capacity, 0U) << error.message();
  EXPECT_TRUE(files_.syncFolder(folder, error)) << error.message();

  files_.rename(file, folder / "renamed.pdf", error);
  EXPECT_FALSE(error) << error.message();
  EXPECT_TRUE(files_.remove(folder / "renamed.pdf", error)) << error.message();
  for (; folder != tmp_.path(); folder = folder.parent_path())
    EXPECT_TRUE(files_.remove(folder, error)) << folder << ": " << error.message();
  EXPECT_TRUE(names(tmp_.path()).empty());
}

TEST_F(SystemFileSystemTest, NamesOutsideAsciiArriveAsWritten) {
  // UTF-8, as the program carries every name it takes from a message.
  const std::string name = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\x93 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\x8E.txt";
  const std::string renamed = "\xC3\x89t\xC3\xA9 \xD0\xBF\xD0\xB8\xD1\x81\xD1\x8C\xD0\xBC\xD0\xBE.txt";
  put(tmp_.path() / name, "bytes");
  EXPECT_EQ(names(tmp_.path()), std::vector<std::string>{name});
  EXPECT_EQ(read(tmp_.path() / name), "bytes");

  // The name on disk is the Unicode name itself, not its bytes read in
  // another code page: the standard library finds it by its wide form.
  const fs::path unicode = tmp_.path() / fs::path(std::u8string(name.begin(), name.end()));
  EXPECT_TRUE(fs::exists(unicode));

  std::error_code error;
  files_.rename(tmp_.path() / name, tmp_.path() / renamed, error);
  EXPECT_FALSE(error) << error.message();
  EXPECT_EQ(names(tmp_.path()), std::vector<std::string>{renamed});
  files_.createFolder(tmp_.path() / name, error);
  EXPECT_FALSE(error) << error.message();
  EXPECT_EQ(files_.status(tmp_.path() / name, error).type, base::EntryType::Folder);
  put(tmp_.path() / name / renamed, "inside");
  EXPECT_EQ(read(tmp_.path() / name / renamed), "inside");
}

TEST_F(SystemFileSystemTest, PublishingReplacesAFileAReaderHoldsOpen) {
  const fs::path item = tmp_.path() / "item.msg";
  put(item, "old item");
  std::error_code error;
  auto reader = files_.openRead(item, error);
  ASSERT_TRUE(reader) << error.message();

  auto file = files_.createWhole(item, {}, error);
  ASSERT_TRUE(file) << error.message();
  const std::string text = "new item, longer";
  file->writeAt(0, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), error);
  file->sync(error);
  file->close(error);
  ASSERT_FALSE(error) << error.message();
  const bool published = file->publish(true, error);
#ifdef _WIN32
  // Windows replaces a file that is open elsewhere only with the POSIX
  // rename of Windows 10 on NTFS (Wine has none). Where it cannot, the
  // failure is told, and the old file and nothing else is left.
  if (!published) {
    EXPECT_EQ(error, std::errc::permission_denied) << error.message();
    EXPECT_EQ(read(item), "old item");
    file.reset();
    reader.reset();
    EXPECT_EQ(names(tmp_.path()), std::vector<std::string>{"item.msg"});
    return;
  }
#endif
  ASSERT_TRUE(published) << "a reader must not keep a new item from its place: " << error.message();
  EXPECT_EQ(readAll(*reader), "old item") << "the open reader keeps the bytes it opened";
  EXPECT_EQ(read(item), text);
  reader.reset();
  EXPECT_EQ(names(tmp_.path()), std::vector<std::string>{"item.msg"});
}

TEST(NoSpace, IsToldApartFromOtherFailures) {
  EXPECT_TRUE(base::isNoSpace(std::make_error_code(std::errc::no_space_on_device)));
#ifdef EDQUOT
  EXPECT_TRUE(base::isNoSpace({EDQUOT, std::generic_category()}));
#endif
  EXPECT_FALSE(base::isNoSpace(std::make_error_code(std::errc::io_error)));
  EXPECT_FALSE(base::isNoSpace(std::make_error_code(std::errc::permission_denied)));
  EXPECT_FALSE(base::isNoSpace({ENOSPC, std::iostream_category()}));
#ifdef _WIN32
  EXPECT_TRUE(base::isNoSpace({112, std::system_category()}));  // ERROR_DISK_FULL
  EXPECT_TRUE(base::isNoSpace({39, std::system_category()}));   // ERROR_HANDLE_DISK_FULL
  EXPECT_FALSE(base::isNoSpace({5, std::system_category()}));   // ERROR_ACCESS_DENIED
#endif
}

#ifdef _WIN32
TEST(WindowsPath, LongPathsTakeTheLongFormAndNamesTheirUnicode) {
  EXPECT_EQ(base::windowsPath("C:/Users/me/mail.pst"), L"C:\\Users\\me\\mail.pst");
  const std::string longName(300, 'x');
  EXPECT_EQ(base::windowsPath("C:/mail/" + longName), L"\\\\?\\C:\\mail\\" + std::wstring(300, L'x'));
  EXPECT_EQ(base::windowsPath("C:/mail/../mail/./" + longName), L"\\\\?\\C:\\mail\\" + std::wstring(300, L'x'))
      << "the long form takes no dots: they are resolved first";
  EXPECT_EQ(base::windowsPath("//server/share/" + longName), L"\\\\?\\UNC\\server\\share\\" + std::wstring(300, L'x'));
  // A path made from a UTF-8 string, and one made from wide text, name
  // the same file.
  EXPECT_EQ(base::windowsPath(fs::path(std::string("C:/caf\xC3\xA9"))), L"C:\\caf\u00E9");
  EXPECT_EQ(base::windowsPath(fs::path(L"C:\\\u65E5\u672C")), L"C:\\\u65E5\u672C");
}
#endif

}  // namespace
}  // namespace varnolt::test
