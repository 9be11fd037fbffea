#include "engine/naming.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "base/file_system.h"
#include "base/utf8_path.h"

namespace varnolt::engine {

namespace {

// An extension longer than this is more likely part of a name than a type
// ("notes.from the meeting with ..."), so shortening does not keep it.
constexpr std::size_t kMaxExtensionBytes = 32;

// Past this many "(n)" variants of one name something is wrong (or hostile);
// better to fail the save than to probe the folder forever.
constexpr int kMaxCounter = 100000;

bool isContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U;
}

// Splits a file name into stem and extension ("a.b.pdf" -> "a.b", ".pdf").
// A leading dot starts a hidden name, not an extension.
std::pair<std::string, std::string> splitExtension(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > kMaxExtensionBytes)
    return {name, std::string()};
  return {name.substr(0, dot), name.substr(dot)};
}

// The longest prefix of text of at most maxBytes bytes that ends on a
// character boundary.
std::string utf8Prefix(const std::string& text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t cut = maxBytes;
  while (cut > 0 && isContinuationByte(text[cut])) --cut;
  return text.substr(0, cut);
}

// True when something (even a dangling symbolic link) already has this name.
// When the folder cannot be looked into, no name can be called free.
bool pathTaken(const std::string& path) {
  std::error_code ec;
  const base::EntryStatus status = base::fileSystem().status(base::pathFromUtf8(path), ec, true);
  if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory)
    throw std::system_error(ec, "cannot look for " + path);
  return status.type != base::EntryType::None;
}

// Characters Windows file systems refuse in a name, and control
// characters. A run folder may be copied to Windows or written to a share
// from here, so these are replaced on every system.
bool isForbiddenInFileName(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte < 0x20U || byte == 0x7FU) return true;
  return std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos;
}

// Windows drops dots and blanks at the end of a name, so "a.pdf." and
// "a.pdf" would be one file there.
std::string dropTrailingDotsAndBlanks(std::string name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  return name;
}

// CON, PRN, AUX, NUL, COM0-COM9 and LPT0-LPT9 (also with a superscript
// 1, 2 or 3) name devices on Windows, whatever extension follows and in any
// case ("nul.txt", "Com1.tar.gz").
bool isReservedDeviceName(const std::string& name) {
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  if (!base.starts_with("COM") && !base.starts_with("LPT")) return false;
  const std::string_view number = std::string_view(base).substr(3);
  if (number.size() == 1) return number[0] >= '0' && number[0] <= '9';
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

std::string twoDigits(int value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d", value);
  return buffer;
}

}  // namespace

std::string AttachmentFileName(const std::string& fileName, const std::tm& localTime) {
  char year[16];
  std::snprintf(year, sizeof year, "%04d", localTime.tm_year + 1900);
  std::string name = "Kestrik_" + twoDigits(localTime.tm_mday) + "-" +
                     twoDigits(localTime.tm_mon + 1) + "-" + year + "-" +
                     twoDigits(localTime.tm_hour) + "-" + twoDigits(localTime.tm_min) + "-" +
                     twoDigits(localTime.tm_sec) + "_" + fileName;
  for (char& c : name)
    if (c == ' ') c = '_';
  return SafeFileName(name);
}

std::string SafeFileName(const std::string& name) {
  if (name == "..") return "__";
  std::string safe = name;
  for (char& c : safe)
    if (isForbiddenInFileName(c)) c = '_';
  safe = ShortenFileName(dropTrailingDotsAndBlanks(safe), kMaxFileNameBytes);
  // Shortening can end the name on a dot or blank again.
  safe = dropTrailingDotsAndBlanks(safe);
  if (safe.empty()) return "_";
  if (isReservedDeviceName(safe)) safe = ShortenFileName("_" + safe, kMaxFileNameBytes);
  return safe;
}

std::string ShortenFileName(const std::string& name, std::size_t maxBytes) {
  if (name.size() <= maxBytes) return name;
  const auto [stem, extension] = splitExtension(name);
  if (extension.size() >= maxBytes) return utf8Prefix(name, maxBytes);
  return utf8Prefix(stem, maxBytes - extension.size()) + extension;
}

std::string AttachmentFilePath(const std::string& strDestFolderPath,
                               const std::string& strAttachmentFolderName,
                               const std::string& strAttachmentFileName) {
  return strDestFolderPath + strAttachmentFolderName + "/" + strAttachmentFileName;
}

std::string NextFreePath(const std::string& path) {
  if (!pathTaken(path)) return path;
  const std::size_t slash = path.find_last_of(kNativePathForm == PathForm::Windows ? "/\\" : "/");
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const auto [stem, extension] = splitExtension(name);
  for (int n = 2; n <= kMaxCounter; ++n) {
    // No blank: the names of saved files are kept free of them, so that a
    // link stays readable and a bare path in a plain body is not cut short.
    const std::string counter = "_(" + std::to_string(n) + ")";
    std::string candidate = stem + counter + extension;
    if (candidate.size() > kMaxFileNameBytes) {
      const std::size_t room = kMaxFileNameBytes > counter.size() + extension.size()
                                   ? kMaxFileNameBytes - counter.size() - extension.size()
                                   : 0;
      candidate = utf8Prefix(stem, room) + counter + extension;
    }
    if (!pathTaken(folder + candidate)) return folder + candidate;
  }
  throw std::runtime_error("no free name left for " + path);
}

std::optional<int> OutlookMajorVersion(const std::string& outlookVersion) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (outlookVersion.empty()) return std::nullopt;
  const char first = outlookVersion[0];
  const char second = outlookVersion.size() > 1 ? outlookVersion[1] : '\0';
  if (digit(first) && digit(second)) return (first - '0') * 10 + (second - '0');
  if (digit(first) && (second == '.' || second == '\0')) return first - '0';
  if (first == '.' && digit(second)) return 0;  // ".5": a fraction, whole part 0
  return std::nullopt;
}

bool EscapeLinkBlanks(const std::string& strGetOSVersion, const std::string& outlookVersion) {
  const std::optional<int> major = OutlookMajorVersion(outlookVersion);
  if (!major) return true;
  return strGetOSVersion.find("vista") == std::string::npos && *major >= 11;
}

bool UsePlainTextLink(const std::string& strGetOSVersion, const std::string& outlookVersion) {
  const std::optional<int> major = OutlookMajorVersion(outlookVersion);
  if (!major) return true;
  return strGetOSVersion.find("vista") != std::string::npos || *major < 11;
}

// A link must open the file it names, so the path is percent-encoded as a
// file URI needs: every byte of its UTF-8 form outside the unreserved
// characters and "/" is written as %XX. A "#", "?" or "%" left as it is
// would end the path or start an escape of its own in any reader.
// Blanks are the one exception the link rule makes: on Vista and with
// Outlook before 11 the plain-text link keeps them, enclosed in "<" and
// ">", which mark where a link in running text ends.
std::string LinkTarget(const std::string& path, const std::string& strGetOSVersion,
                       const std::string& outlookVersion, PathForm form) {
  const bool escapeBlanks = EscapeLinkBlanks(strGetOSVersion, outlookVersion);
  const std::string uriPath = form == PathForm::Windows ? WindowsPathForUri(path) : path;
  // "/C:/..." keeps its drive's colon: readers take "%3A" for part of a name.
  const bool driveColon = form == PathForm::Windows && uriPath.size() >= 3 && uriPath[0] == '/' &&
                          std::isalpha(static_cast<unsigned char>(uriPath[1])) && uriPath[2] == ':';
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string target;
  target.reserve(uriPath.size());
  for (std::size_t i = 0; i < uriPath.size(); ++i) {
    const char c = uriPath[i];
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved || c == '/' || (c == ' ' && !escapeBlanks) || (driveColon && i == 2)) {
      target += c;
    } else {
      target += '%';
      target += kHex[byte >> 4U];
      target += kHex[byte & 0x0FU];
    }
  }
  return target;
}

std::string WindowsPathForUri(const std::string& path) {
  std::string uriPath = path;
  for (char& c : uriPath)
    if (c == '\\') c = '/';
  // The long-path forms name the same file as the plain ones.
  if (uriPath.starts_with("//?/UNC/")) uriPath = "//" + uriPath.substr(8);
  else if (uriPath.starts_with("//?/")) uriPath.erase(0, 4);
  // A share is the URI's host: file://server/share/...
  if (uriPath.starts_with("//")) return uriPath.substr(2);
  if (uriPath.size() >= 2 && std::isalpha(static_cast<unsigned char>(uriPath[0])) && uriPath[1] == ':')
    return "/" + uriPath;
  return uriPath;
}

std::string PlainTextLink(const std::string& strURL) {
  return "\r\n\r\n<file://" + strURL + ">\r\n";
}

// The href is quoted and escaped like the visible name: HTML undoes the
// escapes before it reads the address, so the target stays the same, while
// a quote or "<" in a name or folder can no longer end the tag early.
std::string HtmlLink(const std::string& strURL, const std::string& fileName) {
  return "<br><br>Attachment : <a href=\"file://" + HtmlEscape(strURL) + "\">" +
         HtmlEscape(fileName) + "</a>";
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

AttachmentLink MakeAttachmentLink(const std::string& path, const std::string& fileName,
                                  const std::string& strGetOSVersion,
                                  const std::string& outlookVersion) {
  AttachmentLink link;
  link.strURL = LinkTarget(path, strGetOSVersion, outlookVersion);
  link.plainText = UsePlainTextLink(strGetOSVersion, outlookVersion);
  link.text = link.plainText ? PlainTextLink(link.strURL) : HtmlLink(link.strURL, fileName);
  return link;
}

}  // namespace varnolt::engine
