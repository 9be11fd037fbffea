// Module1's helpers: the operating system's product name, the folder
// picker's answers, the PST folder scan and the same-file test; and the
// file-dialog filter as Qt writes it.

#include <filesystem>
#include <string>

#include <QDir>
#include <gtest/gtest.h>

#include "platform/dialogs.h"
#include "platform/module1.h"
#include "tests/windows/scripted_dialogs.h"
#include "tests/support/test_support.h"

namespace varnolt::platform {
namespace {

namespace fs = std::filesystem;
using varnolt::test::TempDir;
using varnolt::test::writeFile;

QString q(const fs::path& p) { return QString::fromStdString(p.string()); }

TEST(ProductKey, ParsesOsReleaseQuotingAndComments) {
  const auto values = ParseOsRelease(
      "# comment\n"
      "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
      "NAME='Debian GNU/Linux'\r\n"
      "VERSION_ID=12\n"
      "ESCAPED=\"a \\\"quoted\\\" \\$word\\\\ here\"\n"
      "BROKEN=\"no end\n"
      "  SPACED=value  \n"
      "not a variable line\n");
  EXPECT_EQ(values.at("PRETTY_NAME"), "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(values.at("NAME"), "Debian GNU/Linux");
  EXPECT_EQ(values.at("VERSION_ID"), "12");
  EXPECT_EQ(values.at("ESCAPED"), "a \"quoted\" $word\\ here");
  EXPECT_EQ(values.at("SPACED"), "value");
  EXPECT_EQ(values.count("BROKEN"), 0u);
}

TEST(ProductKey, ProductNameAndTheLengthLimit) {
  RegistryKey pretty({{"PRETTY_NAME", "Windows Vista"}, {"NAME", "x"}});
  EXPECT_EQ(ReadRegistryString(pretty, "ProductName"), "Windows Vista");
  RegistryKey plain({{"NAME", "Debian GNU/Linux"}, {"VERSION", "12 (bookworm)"}});
  EXPECT_EQ(ReadRegistryString(plain, "ProductName"), "Debian GNU/Linux 12 (bookworm)");
  RegistryKey empty({});
  EXPECT_EQ(ReadRegistryString(empty, "ProductName"), "<Error>");
  EXPECT_EQ(ReadRegistryString(pretty, "CurrentBuild"), "<Error>");

  RegistryKey sized({{"TEN", std::string(10, 'x')}, {"MAX", std::string(255, 'y')}, {"OVER", std::string(256, 'z')}});
  EXPECT_EQ(ReadRegistryString(sized, "TEN"), std::string(10, 'x'));
  EXPECT_EQ(ReadRegistryString(sized, "MAX"), std::string(255, 'y'));
  EXPECT_EQ(ReadRegistryString(sized, "OVER"), "<Error>");
}

TEST(ProductKey, OpensTheFirstReadableFile) {
  TempDir dir;
  writeFile(dir / "second", std::string("PRETTY_NAME=\"Second OS\"\n"));
  const auto key = OpenProductKey({dir / "missing", dir.path(), dir / "second"});
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(ReadRegistryString(*key, "ProductName"), "Second OS");
  EXPECT_FALSE(OpenProductKey({dir / "missing"}).has_value());
  EXPECT_FALSE(OpenProductKey({}).has_value());
}

TEST(FolderScan, DirectPstFilesOnlyHiddenIncludedCaseIgnored) {
  TempDir dir;
  for (const char* name : {"b.pst", "a.pst", ".hidden.pst", "UPPER.PST", "notes.txt", "x.pstx", "archive.pst.bak"}) {
    writeFile(dir / name, std::string("x"));
  }
  fs::create_directories(dir / "sub");
  writeFile(dir / "sub" / "deep.pst", std::string("x"));
  fs::create_directories(dir / "folder.pst");  // a folder is no file
  fs::create_symlink(dir / "gone.pst", dir / "dangling.pst");

  const auto names = FilesInFolder(q(dir.path()), QStringLiteral("*.pst"));
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(*names, (QStringList{".hidden.pst", "a.pst", "b.pst", "UPPER.PST"}));

  fs::create_directories(dir / "empty");
  const auto none = FilesInFolder(q(dir / "empty"), QStringLiteral("*.pst"));
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->isEmpty());
  EXPECT_FALSE(FilesInFolder(q(dir / "no such folder"), QStringLiteral("*.pst")).has_value());
  EXPECT_FALSE(FilesInFolder(q(dir / "a.pst"), QStringLiteral("*.pst")).has_value());
}

TEST(SameFileTest, SameFileNotSamePrefix) {
  TempDir dir;
  fs::create_directories(dir / "a");
  writeFile(dir / "a" / "x.pst", std::string("1"));
  writeFile(dir / "a" / "x.pstx", std::string("2"));
  writeFile(dir / "a" / "X.pst", std::string("3"));
  fs::create_symlink(dir / "a" / "x.pst", dir / "link.pst");

  EXPECT_TRUE(SameFile(q(dir / "a" / "x.pst"), q(dir / "a" / "x.pst")));
  EXPECT_TRUE(SameFile(q(dir / "a" / "x.pst"), q(dir / "a" / ".." / "a" / "x.pst")));
  EXPECT_TRUE(SameFile(q(dir / "a" / "x.pst"), q(dir / "link.pst")));
  EXPECT_FALSE(SameFile(q(dir / "a" / "x.pstx"), q(dir / "a" / "x.pst")));  // a longer name is another file
  EXPECT_FALSE(SameFile(q(dir / "a" / "X.pst"), q(dir / "a" / "x.pst")));   // this file system tells case apart
  // Paths of files that are gone compare by their normalised form.
  EXPECT_TRUE(SameFile(q(dir / "gone.pst"), q(dir / "a" / ".." / "gone.pst")));
  EXPECT_FALSE(SameFile(q(dir / "gone.pst"), q(dir / "a" / "x.pst")));
}

TEST(FolderPicker, AnswersOnlyFoldersAndEmptyOnCancel) {
  TempDir dir;
  writeFile(dir / "file.pst", std::string("x"));
  windows::test::ScriptedDialogs dialogs;
  dialogs.folders = {q(dir.path()), QString(), q(dir / "file.pst"), q(dir / "missing")};
  EXPECT_EQ(BrowseForFolder(nullptr, QStringLiteral("Pick")), q(dir.path()));
  EXPECT_EQ(BrowseForFolder(nullptr, QStringLiteral("Pick")), QString());
  EXPECT_EQ(BrowseForFolder(nullptr, QStringLiteral("Pick")), QString());
  EXPECT_EQ(BrowseForFolder(nullptr, QStringLiteral("Pick")), QString());
  ASSERT_EQ(dialogs.calls.size(), 4u);
  EXPECT_EQ(dialogs.calls[0].title, QStringLiteral("Pick"));
}

TEST(FolderMemory, EachPickerOpensWhereItWasLastUsedAlsoAfterARestart) {
  TempDir dir;
  fs::create_directories(dir / "mail" / "2019");
  fs::create_directories(dir / "out");
  const QString settings = q(dir / "settings.ini");
  {
    FolderMemory first(settings);
    EXPECT_EQ(first.StartFolder(QStringLiteral("Select a PST file")), QString());
    first.Remember(QStringLiteral("Select a PST file"), q(dir / "mail" / "2019"));
    first.Remember(QStringLiteral("Select Folder to Save Compressed PST File"), q(dir / "out"));
    first.Remember(QStringLiteral("Select a PST file"), QString());  // a cancel changes nothing
  }
  // A new program run reads what the last one kept.
  FolderMemory again(settings);
  EXPECT_EQ(again.StartFolder(QStringLiteral("Select a PST file")), q(dir / "mail" / "2019"));
  EXPECT_EQ(again.StartFolder(QStringLiteral("Select Folder to Save Compressed PST File")), q(dir / "out"));
  // A picker never used (another language's title) opens where any was last.
  EXPECT_EQ(again.StartFolder(QStringLiteral("PST-Datei ausw\u00e4hlen")), q(dir / "out"));
  // A folder removed since: its nearest folder still there.
  fs::remove_all(dir / "mail" / "2019");
  EXPECT_EQ(again.StartFolder(QStringLiteral("Select a PST file")), q(dir / "mail"));
}

TEST(FolderPicker, PstFolderPickerAnswersLikeTheFolderPicker) {
  TempDir dir;
  writeFile(dir / "file.pst", std::string("x"));
  windows::test::ScriptedDialogs dialogs;
  dialogs.folders = {q(dir.path()), q(dir / "file.pst")};
  EXPECT_EQ(BrowseForPstFolder(nullptr, QStringLiteral("Pick")), q(dir.path()));
  EXPECT_EQ(BrowseForPstFolder(nullptr, QStringLiteral("Pick")), QString());
}

TEST(DialogFilters, PairsBecomeQtNameFilters) {
  EXPECT_EQ(QtNameFilters(QStringLiteral("Outlook Personal Storage File (*.pst)|*.pst")),
            QStringLiteral("Outlook Personal Storage File (*.pst)"));
  EXPECT_EQ(QtNameFilters(QStringLiteral("Mail|*.pst;*.ost|All files|*")),
            QStringLiteral("Mail (*.pst *.ost);;All files (*)"));
}

}  // namespace
}  // namespace varnolt::platform
