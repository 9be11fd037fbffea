// Names of saved attachments and the links put into message bodies: the
// naming and link rules with their examples, what blanks become where, the
// Vista and Outlook-version rules, and the protections on top of them:
// cleaned names that stay inside the attachment folder, length limits,
// free names for collisions, links that cannot inject markup.

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "base/utf8_path.h"
#include "engine/naming.h"
#include "tests/support/test_support.h"

namespace e = varnolt::engine;
namespace t = varnolt::test;

namespace {

std::tm at(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return tm;
}

const std::tm kExampleTime = at(2026, 12, 7, 9, 5, 3);
const std::string kLinux = "debian gnu/linux 12 (bookworm)";
const std::string kVista = "windows vista (tm) business";
const std::string kFolder = "Varnolt_07-12-2026_09-04-58/Outlook_Attachments";

bool wellFormedUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t n = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

std::string htmlUnescape(std::string s) {
  const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}};
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    bool replaced = false;
    for (const auto& [entity, ch] : entities) {
      if (s.compare(i, std::char_traits<char>::length(entity), entity) == 0) {
        out += ch;
        i += std::char_traits<char>::length(entity);
        replaced = true;
        break;
      }
    }
    if (!replaced) out += s[i++];
  }
  return out;
}

// Splits an HTML link into its href value and visible text, the way a mail
// reader sees them; fails the test when the markup is not one plain anchor.
struct ParsedLink {
  std::string href;
  std::string text;
};
ParsedLink parseHtmlLink(const std::string& html) {
  const std::string start = "<br><br>Attachment : <a href=\"";
  EXPECT_EQ(html.rfind(start, 0), 0u) << html;
  const std::size_t hrefEnd = html.find('"', start.size());
  EXPECT_NE(hrefEnd, std::string::npos);
  EXPECT_EQ(html.compare(hrefEnd, 2, "\">"), 0) << html;
  const std::size_t textStart = hrefEnd + 2;
  EXPECT_GE(html.size(), textStart + 4);
  EXPECT_EQ(html.substr(html.size() - 4), "</a>");
  const std::string text = html.substr(textStart, html.size() - 4 - textStart);
  EXPECT_EQ(text.find('<'), std::string::npos) << "markup in the visible name: " << html;
  return {htmlUnescape(html.substr(start.size(), hrefEnd - start.size())), htmlUnescape(text)};
}

}  // namespace

TEST(AttachmentFileName, ExampleAndTimestampFields) {
  EXPECT_EQ(e::AttachmentFileName("Q3 report.pdf", kExampleTime), "Kestrik_07-12-2026-09-05-03_Q3_report.pdf");
  // Two digits for day, month, hour, minute, second; 24-hour clock.
  EXPECT_EQ(e::AttachmentFileName("a.txt", at(2027, 1, 2, 0, 0, 0)), "Kestrik_02-01-2027-00-00-00_a.txt");
}

TEST(AttachmentFileName, BlanksBecomeUnderscoresOneForOne) {
  EXPECT_EQ(e::AttachmentFileName("a  b.p df", kExampleTime), "Kestrik_07-12-2026-09-05-03_a__b.p_df");
  // Everything else stays as it is.
  const std::string odd = "Ärger(1)&Co,#%'~;[x]+=@!.tar.gz";
  EXPECT_EQ(e::AttachmentFileName(odd, kExampleTime), "Kestrik_07-12-2026-09-05-03_" + odd);
}

TEST(AttachmentFileName, HostileNamesStayInsideTheAttachmentFolder) {
  const std::string folder = "/dest/" + kFolder;
  for (const std::string name : {"../../../etc/passwd", "/etc/passwd", "a/../../b", "..", ".", "", "sub/dir/x.pdf"}) {
    const std::string file = e::AttachmentFileName(name, kExampleTime);
    EXPECT_EQ(file.find('/'), std::string::npos) << name;
    const std::filesystem::path path = e::AttachmentFilePath("/dest/", kFolder, file);
    EXPECT_EQ(path.lexically_normal().parent_path(), std::filesystem::path(folder)) << name;
  }
  EXPECT_EQ(e::AttachmentFileName("../x", kExampleTime), "Kestrik_07-12-2026-09-05-03_.._x");
}

TEST(AttachmentFileName, ControlCharactersAndNulAreReplaced) {
  const char raw[] = "a\0b\x01\x1F\x7F\n\r\tc.pdf";
  const std::string name(raw, sizeof raw - 1);
  EXPECT_EQ(e::AttachmentFileName(name, kExampleTime), "Kestrik_07-12-2026-09-05-03_a_b______c.pdf");
  // Bytes of UTF-8 characters are not control characters.
  EXPECT_EQ(e::SafeFileName("Résumé \xF0\x9F\x93\x8E.pdf"), "Résumé \xF0\x9F\x93\x8E.pdf");
}

TEST(SafeFileName, DotNamesAndEmptyBecomeOrdinaryNames) {
  EXPECT_EQ(e::SafeFileName(""), "_");
  EXPECT_EQ(e::SafeFileName("."), "_");
  EXPECT_EQ(e::SafeFileName(".."), "__");
  EXPECT_EQ(e::SafeFileName("..."), "_");  // Windows would drop every dot
  EXPECT_EQ(e::SafeFileName(".profile"), ".profile");
}

// A run folder may be copied to Windows or written to a share from here, so
// names are made safe for Windows on every system.
TEST(SafeFileName, NamesAreSafeForWindowsFileSystems) {
  for (const char c : std::string("<>:\"/\\|?*"))
    EXPECT_EQ(e::SafeFileName(std::string("a") + c + "b.txt"), "a_b.txt") << c;
  EXPECT_EQ(e::SafeFileName("what? \"now\" <1|2>.doc"), "what_ _now_ _1_2_.doc");

  const std::vector<std::string> devices = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4", "COM5",
                                            "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5",
                                            "LPT6", "LPT7", "LPT8", "LPT9", "COM0", "LPT0", "COM\xC2\xB9", "LPT\xC2\xB3"};
  for (const std::string& device : devices) {
    std::string lower = device;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(e::SafeFileName(device), "_" + device);
    EXPECT_EQ(e::SafeFileName(lower + ".txt"), "_" + lower + ".txt");
    EXPECT_EQ(e::SafeFileName(device + ".tar.gz"), "_" + device + ".tar.gz");
    EXPECT_EQ(e::SafeFileName(device + " .txt"), "_" + device + " .txt");
  }
  // Names that only begin like a device are ordinary.
  for (const std::string name : {"CONSOLE.txt", "COM10", "COM\xC2\xB4", "LPT", "NULL.pdf", "aux_notes.doc", "xCON"})
    EXPECT_EQ(e::SafeFileName(name), name);

  EXPECT_EQ(e::SafeFileName("report.pdf. . "), "report.pdf");
  EXPECT_EQ(e::SafeFileName(" . "), "_");
  // A saved attachment's full name keeps its prefix, so a device name
  // cannot come out of it; trailing dots and blanks still go.
  EXPECT_EQ(e::AttachmentFileName("NUL", kExampleTime), "Kestrik_07-12-2026-09-05-03_NUL");
  EXPECT_EQ(e::AttachmentFileName("notes.", kExampleTime), "Kestrik_07-12-2026-09-05-03_notes");
  EXPECT_EQ(e::AttachmentFileName("a:b\\c.pdf", kExampleTime), "Kestrik_07-12-2026-09-05-03_a_b_c.pdf");
  // Shortening may end on a blank; that blank goes too.
  const std::string cut = e::SafeFileName(std::string(254, 'x') + " y");
  EXPECT_EQ(cut, std::string(254, 'x'));
}

TEST(SafeFileName, LongNamesKeepExtensionAndWholeCharacters) {
  // Characters of 1 to 4 bytes, so that the cut falls at every position
  // inside a character across the loop.
  const std::string pieces[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x93\x8E"};
  for (std::size_t extra = 0; extra < 8; ++extra) {
    std::string stem(extra, 'x');
    while (stem.size() < 300) stem += pieces[stem.size() % 4];
    const std::string cleaned = e::SafeFileName(stem + ".pdf");
    EXPECT_LE(cleaned.size(), e::kMaxFileNameBytes);
    EXPECT_GE(cleaned.size(), e::kMaxFileNameBytes - 3);  // at most a partial character dropped
    EXPECT_TRUE(cleaned.ends_with(".pdf")) << cleaned;
    EXPECT_TRUE(wellFormedUtf8(cleaned));
    EXPECT_EQ(stem.rfind(cleaned.substr(0, cleaned.size() - 4), 0), 0u);
  }
  const std::string exact(e::kMaxFileNameBytes, 'n');
  EXPECT_EQ(e::SafeFileName(exact), exact);
  // A very long "extension" is part of the name, not a type worth keeping.
  const std::string dotted = "a." + std::string(300, 'b');
  EXPECT_EQ(e::SafeFileName(dotted), dotted.substr(0, e::kMaxFileNameBytes));
}

TEST(SafeFileName, GeneratedNameOfLongAttachmentFitsWithPrefix) {
  const std::string file = e::AttachmentFileName(std::string(400, 'q') + " final.docx", kExampleTime);
  EXPECT_EQ(file.size(), e::kMaxFileNameBytes);
  EXPECT_TRUE(file.starts_with("Kestrik_07-12-2026-09-05-03_qqq"));
  EXPECT_TRUE(file.ends_with(".docx"));
}

TEST(AttachmentFilePath, JoinsFoldersAndKeepsTheirBlanks) {
  const std::string file = e::AttachmentFileName("Q3 report.pdf", kExampleTime);
  EXPECT_EQ(e::AttachmentFilePath("/home/ana/My Mail/", kFolder, file),
            "/home/ana/My Mail/Varnolt_07-12-2026_09-04-58/Outlook_Attachments/"
            "Kestrik_07-12-2026-09-05-03_Q3_report.pdf");
}

TEST(OutlookMajorVersion, FirstTwoCharactersAsANumber) {
  EXPECT_EQ(e::OutlookMajorVersion("11.0.0.8118"), 11);
  EXPECT_EQ(e::OutlookMajorVersion("12.0.4518.1014"), 12);
  EXPECT_EQ(e::OutlookMajorVersion("10.0.6626"), 10);
  EXPECT_EQ(e::OutlookMajorVersion("9.0.0.2711"), 9);
  EXPECT_EQ(e::OutlookMajorVersion("16.0.17928.20114"), 16);
  EXPECT_EQ(e::OutlookMajorVersion("9"), 9);
  EXPECT_EQ(e::OutlookMajorVersion("123.4"), 12);  // only two characters count
  for (const std::string unreadable : {"", "Outlook 11", "1x.0", "-1", "+9", " 9", "..", "x"})
    EXPECT_FALSE(e::OutlookMajorVersion(unreadable).has_value()) << '"' << unreadable << '"';
}

TEST(LinkRules, StyleAndEscapingByOsAndVersion) {
  struct Case {
    std::string os, version;
    bool escaped, plain;
  };
  const Case cases[] = {
      {kLinux, "11.0.0.8118", true, false},   {kLinux, "12.0.4518.1014", true, false},
      {kLinux, "10.0.6626", false, true},     {kLinux, "9.0.0.2711", false, true},
      {kVista, "12.0.4518.1014", false, true}, {kVista, "9.0.0.2711", false, true},
      // An unreadable version: blanks escaped and a plain-text link, on any OS.
      {kLinux, "", true, true},               {kLinux, "abc", true, true},
      {kVista, "", true, true},               {"<error>", "x.y", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.os + " / " + c.version);
    EXPECT_EQ(e::EscapeLinkBlanks(c.os, c.version), c.escaped);
    EXPECT_EQ(e::UsePlainTextLink(c.os, c.version), c.plain);
    EXPECT_EQ(e::LinkTarget("/My Mail/a  b.pdf", c.os, c.version),
              c.escaped ? "/My%20Mail/a%20%20b.pdf" : "/My Mail/a  b.pdf");
  }
  // The product name is expected in lower case already: only "vista" counts.
  EXPECT_TRUE(e::UsePlainTextLink("windows vista", "12.0"));
  EXPECT_FALSE(e::UsePlainTextLink("Windows VISTA", "12.0"));
}

TEST(LinkRules, TargetIsAFileUriPathThatNamesTheFile) {
  const std::string paths[] = {
      "/d/100% sure #1?.pdf", "/d/%41%20&;=+,$@!'()*[]{}|^`\\x.pdf", "/d/r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.doc",
      "/d/a~b-c_d.e/f.txt", "/d/<\"quoted\">\t.txt"};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const std::string target = e::LinkTarget(path, kLinux, "12.0", e::PathForm::Posix);
    // Only unreserved characters, "/" and escapes remain ...
    for (std::size_t i = 0; i < target.size(); ++i) {
      const char c = target[i];
      EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || std::string("-._~/%").find(c) != std::string::npos)
          << "'" << c << "' at " << i << " of " << target;
      if (c == '%') {
        ASSERT_LT(i + 2, target.size());
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(target[i + 1])) &&
                    std::isxdigit(static_cast<unsigned char>(target[i + 2])));
        EXPECT_FALSE(std::islower(static_cast<unsigned char>(target[i + 1])) ||
                     std::islower(static_cast<unsigned char>(target[i + 2])));
      }
    }
    // ... and decoding gives back the very path.
    EXPECT_EQ(t::fileUriPath("file://" + target), path);
  }
  EXPECT_EQ(e::LinkTarget("/d/100% sure #1?.pdf", kLinux, "12.0"), "/d/100%25%20sure%20%231%3F.pdf");
  EXPECT_EQ(e::LinkTarget("/d/r\xC3\xA9.pdf", kLinux, "12.0"), "/d/r%C3%A9.pdf");
  // Where the rule keeps blanks, only they stay as they are.
  EXPECT_EQ(e::LinkTarget("/d/100% sure #1?.pdf", kVista, "12.0"), "/d/100%25 sure %231%3F.pdf");
}

TEST(LinkRules, WindowsPathsBecomeFileUris) {
  const auto target = [](const std::string& path, const std::string& os = kLinux) {
    return e::LinkTarget(path, os, "12.0", e::PathForm::Windows);
  };
  EXPECT_EQ(target("C:\\My Mail\\Varnolt_07-12-2026_09-04-58\\Outlook_Attachments\\Kestrik_Q3_report.pdf"),
            "/C:/My%20Mail/Varnolt_07-12-2026_09-04-58/Outlook_Attachments/Kestrik_Q3_report.pdf");
  // Mixed separators, as the run builds them below a Windows destination.
  EXPECT_EQ(target("d:\\Mail/Varnolt_x/Outlook_Attachments/r\xC3\xA9 #1.pdf"),
            "/d:/Mail/Varnolt_x/Outlook_Attachments/r%C3%A9%20%231.pdf");
  EXPECT_EQ(target("\\\\server\\share\\a b.pdf"), "server/share/a%20b.pdf");
  EXPECT_EQ(target("\\\\?\\C:\\long\\a.pdf"), "/C:/long/a.pdf");
  EXPECT_EQ(target("\\\\?\\UNC\\server\\share\\a.pdf"), "server/share/a.pdf");
  // Only a drive's colon stays; one elsewhere is escaped, and the Vista rule
  // still keeps blanks.
  EXPECT_EQ(target("C:\\a:b\\x y.pdf", kVista), "/C:/a%3Ab/x y.pdf");
  // The whole link, as a reader sees it.
  EXPECT_EQ(t::fileUriPath("file://" + target("C:\\My Mail\\a.pdf")), "/C:/My Mail/a.pdf");
}

TEST(Links, HtmlExampleQuotesHref) {
  const std::string path = e::AttachmentFilePath(
      "/home/ana/My Mail/", kFolder, e::AttachmentFileName("Q3 report.pdf", kExampleTime));
  const e::AttachmentLink link = e::MakeAttachmentLink(path, "Q3 report.pdf", kLinux, "11.0.0.8118");
  EXPECT_FALSE(link.plainText);
  EXPECT_EQ(link.strURL,
            "/home/ana/My%20Mail/Varnolt_07-12-2026_09-04-58/Outlook_Attachments/"
            "Kestrik_07-12-2026-09-05-03_Q3_report.pdf");
  EXPECT_EQ(link.text,
            "<br><br>Attachment : <a href=\"file:///home/ana/My%20Mail/Varnolt_07-12-2026_09-04-58/"
            "Outlook_Attachments/Kestrik_07-12-2026-09-05-03_Q3_report.pdf\">Q3 report.pdf</a>");
  // Zip treatment: the link names the archive, the visible text stays the
  // attachment's own name.
  const e::AttachmentLink zipped = e::MakeAttachmentLink(path + ".zip", "Q3 report.pdf", kLinux, "11.0.0.8118");
  EXPECT_EQ(zipped.text, "<br><br>Attachment : <a href=\"file://" + link.strURL + ".zip\">Q3 report.pdf</a>");
}

TEST(Links, PlainTextFormKeepsBlanksOnVistaAndOldOutlook) {
  const std::string path = "/home/ana/My Mail/" + kFolder + "/Kestrik_07-12-2026-09-05-03_Q3_report.pdf";
  for (const auto& [os, version] : {std::pair{kVista, std::string("12.0.4518.1014")}, {kLinux, "10.0.2627"}}) {
    const e::AttachmentLink link = e::MakeAttachmentLink(path, "Q3 report.pdf", os, version);
    EXPECT_TRUE(link.plainText);
    EXPECT_EQ(link.text, "\r\n\r\n<file://" + path + ">\r\n");
  }
  const e::AttachmentLink unreadable = e::MakeAttachmentLink(path, "Q3 report.pdf", kLinux, "");
  EXPECT_TRUE(unreadable.plainText);
  EXPECT_EQ(unreadable.text, "\r\n\r\n<file:///home/ana/My%20Mail/" + kFolder +
                                 "/Kestrik_07-12-2026-09-05-03_Q3_report.pdf>\r\n");
}

TEST(Links, NamesAndFoldersCannotInjectMarkup) {
  const std::string hostile[] = {
      "\"><script>alert(1)</script>.pdf", "a&amp;b <b>bold</b>.txt", "x\" onmouseover=\"steal()\".doc",
      "</a><img src=x>.png", "plain.pdf"};
  for (const std::string& name : hostile) {
    SCOPED_TRACE(name);
    const std::string path = e::AttachmentFilePath(
        "/home/o\"brien & co/<mail>/", kFolder, e::AttachmentFileName(name, kExampleTime));
    const e::AttachmentLink link = e::MakeAttachmentLink(path, name, kLinux, "12.0");
    ASSERT_FALSE(link.plainText);
    const ParsedLink parsed = parseHtmlLink(link.text);
    EXPECT_EQ(parsed.href, "file://" + e::LinkTarget(path, kLinux, "12.0"));
    EXPECT_EQ(parsed.text, name);
  }
  EXPECT_EQ(e::HtmlEscape("<&\">'"), "&lt;&amp;&quot;&gt;'");
}

class NextFreePathTest : public ::testing::Test {
 protected:
  t::TempDir dir;
  // Names are UTF-8, as the run makes them, on every system.
  std::string at(const std::string& name) const { return varnolt::base::utf8Of(dir.path() / varnolt::base::pathFromUtf8(name)); }
  void touch(const std::string& name) const { t::writeFile(dir.path() / varnolt::base::pathFromUtf8(name), std::string("x")); }
};

TEST_F(NextFreePathTest, CounterGoesBeforeTheExtension) {
  EXPECT_EQ(e::NextFreePath(at("a.pdf")), at("a.pdf"));  // free: kept
  touch("Kestrik_07-12-2026-09-05-03_Q3_report.pdf");
  EXPECT_EQ(e::NextFreePath(at("Kestrik_07-12-2026-09-05-03_Q3_report.pdf")),
            at("Kestrik_07-12-2026-09-05-03_Q3_report_(2).pdf"));
  touch("Kestrik_07-12-2026-09-05-03_Q3_report_(2).pdf");
  touch("Kestrik_07-12-2026-09-05-03_Q3_report_(3).pdf");
  EXPECT_EQ(e::NextFreePath(at("Kestrik_07-12-2026-09-05-03_Q3_report.pdf")),
            at("Kestrik_07-12-2026-09-05-03_Q3_report_(4).pdf"));
  touch("x.tar.gz");
  EXPECT_EQ(e::NextFreePath(at("x.tar.gz")), at("x.tar_(2).gz"));
}

TEST_F(NextFreePathTest, NamesWithoutExtension) {
  touch("README");
  EXPECT_EQ(e::NextFreePath(at("README")), at("README_(2)"));
  touch(".profile");
  EXPECT_EQ(e::NextFreePath(at(".profile")), at(".profile_(2)"));
  std::filesystem::create_directories(dir / "dir.v2");
  touch("dir.v2/name");
  EXPECT_EQ(e::NextFreePath(at("dir.v2/name")), at("dir.v2/name_(2)"));
}

TEST_F(NextFreePathTest, FoldersAndDanglingLinksAreTaken) {
  std::filesystem::create_directory(dir / "folder.pdf");
  EXPECT_EQ(e::NextFreePath(at("folder.pdf")), at("folder_(2).pdf"));
  // A save would follow a dangling link and write wherever it points.
  std::error_code linkError;
  std::filesystem::create_symlink(dir / "nowhere" / "target", dir / "link.pdf", linkError);
  if (linkError) GTEST_SKIP() << "no symbolic link can be made here: " << linkError.message();
  EXPECT_EQ(e::NextFreePath(at("link.pdf")), at("link_(2).pdf"));
}

TEST_F(NextFreePathTest, CounterNeverMakesTheNameTooLong) {
  std::string stem;
  while (stem.size() < e::kMaxFileNameBytes - 4) stem += "\xE2\x82\xAC";  // 3-byte characters
  stem.resize(e::kMaxFileNameBytes - 4 - (e::kMaxFileNameBytes - 4) % 3);
  const std::string name = stem + ".pdf";
  ASSERT_LE(name.size(), e::kMaxFileNameBytes);
  touch(name);
  const std::string next = varnolt::base::utf8Of(varnolt::base::pathFromUtf8(e::NextFreePath(at(name))).filename());
  EXPECT_LE(next.size(), e::kMaxFileNameBytes);
  EXPECT_TRUE(next.ends_with("_(2).pdf")) << next;
  EXPECT_TRUE(wellFormedUtf8(next));
  t::writeFile(dir.path() / varnolt::base::pathFromUtf8(next), std::string("y"));  // the file system takes it
  EXPECT_TRUE(std::filesystem::exists(dir.path() / varnolt::base::pathFromUtf8(next)));
}
