#pragma once
// Names of saved attachments and the links that take their place in a
// message body. Pure text rules (apart from NextFreePath, which asks the
// file system), so the attachment handler and the tests use them without a
// mail store.
//
// Paths are built by joining texts exactly as the run holds them: the
// destination folder always ends with "/", the attachment folder name is
// "<run folder>/Outlook_Attachments".

#include <ctime>
#include <optional>
#include <string>

namespace varnolt::engine {

// Longest file name (one path component) the file systems we write to
// accept, in bytes of UTF-8.
inline constexpr std::size_t kMaxFileNameBytes = 255;

// The name under which an attachment is saved: "Kestrik_", the date as
// dd-mm-yyyy, "-", the time as hh-mm-ss (24-hour clock), "_" and the
// attachment's FileName, every blank then replaced by "_".
// Example: "Q3 report.pdf" at 7 Dec 2026 09:05:03 gives
// "Kestrik_07-12-2026-09-05-03_Q3_report.pdf".
// The result is also passed through SafeFileName, so a hostile or broken
// FileName can never name a file outside the attachment folder.
std::string AttachmentFileName(const std::string& fileName, const std::tm& localTime);

// Makes one path component safe to create inside a folder, on this system
// and on Windows (a run folder may be copied there or written to a share):
// control characters and <>:"/\|?* become "_"; dots and blanks at the end
// are dropped; a Windows device name (CON, PRN, AUX, NUL, COM1-COM9,
// LPT1-LPT9, with any extension) gets a "_" in front; ".." becomes "__" and
// a name left empty becomes "_"; a name longer than kMaxFileNameBytes is
// shortened, keeping its extension and never splitting a UTF-8 sequence.
// Other names are returned unchanged.
std::string SafeFileName(const std::string& name);

// Shortens name to at most maxBytes bytes, keeping its extension (the part
// from the last "." when it is short enough to be one) and cutting the stem
// only at UTF-8 character boundaries.
std::string ShortenFileName(const std::string& name, std::size_t maxBytes = kMaxFileNameBytes);

// The full path of a saved attachment: destination folder text, then
// strAttachmentFolderName, "/" and the attachment file name. Blanks in the
// folders are real folder names and stay.
std::string AttachmentFilePath(const std::string& strDestFolderPath,
                               const std::string& strAttachmentFolderName,
                               const std::string& strAttachmentFileName);

// For a path that is already taken (a file, folder or even a dangling
// symbolic link, which a save would follow), the first of "name_(2).ext",
// "name_(3).ext", ... that is free ("name_(2)" when there is no extension).
// A free path is returned as it is. The counter never pushes the file name
// past kMaxFileNameBytes: the stem is shortened instead.
std::string NextFreePath(const std::string& path);

// The Outlook major version from a version text such as "11.0.0.8118": its
// first two characters read as a decimal number, cut to the whole part
// ("12.0.4518.1014" gives 12, "9.0.0.2711" gives 9). Nothing when those
// characters are not a number.
std::optional<int> OutlookMajorVersion(const std::string& outlookVersion);

// Whether the blanks of a link target are written as "%20": outside Vista
// with Outlook 11 or later, and also when the version cannot be read.
// strGetOSVersion is the operating system's product name in lower case.
bool EscapeLinkBlanks(const std::string& strGetOSVersion, const std::string& outlookVersion);

// Whether the link goes into the plain-text body (otherwise the HTML body):
// on Vista, with Outlook older than 11, and when the version cannot be read.
bool UsePlainTextLink(const std::string& strGetOSVersion, const std::string& outlookVersion);

// How the paths of the system the program runs on are written.
enum class PathForm { Posix, Windows };
#ifdef _WIN32
inline constexpr PathForm kNativePathForm = PathForm::Windows;
#else
inline constexpr PathForm kNativePathForm = PathForm::Posix;
#endif

// The link target for a saved file or archive path: the path
// percent-encoded for a file URI (every byte outside A-Z, a-z, 0-9, "-",
// ".", "_", "~" and "/" as %XX), except that blanks stay blanks when
// EscapeLinkBlanks says they are not escaped. A Windows path is first
// written as a URI path (WindowsPathForUri), its drive's colon kept, so
// "C:\My Mail\a.pdf" gives "/C:/My%20Mail/a.pdf" and the link reads
// file:///C:/My%20Mail/a.pdf.
std::string LinkTarget(const std::string& path, const std::string& strGetOSVersion,
                       const std::string& outlookVersion, PathForm form = kNativePathForm);

// A Windows path as the path of a file URI: backslashes become slashes, a
// drive path gets a leading "/" ("C:\a\b" gives "/C:/a/b"), a share's
// server becomes the URI's host ("\\server\share\b" gives
// "server/share/b", read as file://server/share/b), and the long-path
// prefix "\\?\" is dropped. Nothing is escaped here.
std::string WindowsPathForUri(const std::string& path);

// The text appended to the plain-text body: CR LF, CR LF, "<file://",
// strURL, ">", CR LF.
std::string PlainTextLink(const std::string& strURL);

// The text appended to the HTML body:
// <br><br>Attachment : <a href="file://strURL">fileName</a>
// with the href quoted and both it and the visible name HTML-escaped, so
// that no attachment name or folder can add markup to the message.
std::string HtmlLink(const std::string& strURL, const std::string& fileName);

// Escapes &, <, > and " for use in HTML text and quoted attribute values.
std::string HtmlEscape(const std::string& text);

// One link as the attachment handler appends it.
struct AttachmentLink {
  std::string strURL;  // the link target
  bool plainText;      // true: append text to Body; false: to HTMLBody
  std::string text;    // what to append
};

// The whole link rule for a saved path (the file, or its archive) and the
// attachment's own FileName, which is the visible text of an HTML link.
AttachmentLink MakeAttachmentLink(const std::string& path, const std::string& fileName,
                                  const std::string& strGetOSVersion,
                                  const std::string& outlookVersion);

}  // namespace varnolt::engine
