#include "engine/run_report.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <nlohmann/json.hpp>

#include "base/utf8_path.h"
#include "mapi/util/sha256.h"
#include "mapi/util/text.h"

namespace varnolt::engine {

namespace {

using nlohmann::json;

// Appends bytes in base64 (with padding) to out.
void appendBase64(std::string& out, const std::string& bytes) {
  static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t start = out.size();
  out.resize(start + (bytes.size() + 2) / 3 * 4);
  char* to = out.data() + start;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    *to++ = digits[(v >> 18) & 63];
    *to++ = digits[(v >> 12) & 63];
    *to++ = digits[(v >> 6) & 63];
    *to++ = digits[v & 63];
  }
  if (i + 1 == bytes.size()) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    *to++ = digits[(v >> 18) & 63];
    *to++ = digits[(v >> 12) & 63];
    *to++ = '=';
    *to++ = '=';
  } else if (i + 2 == bytes.size()) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    *to++ = digits[(v >> 18) & 63];
    *to++ = digits[(v >> 12) & 63];
    *to++ = digits[(v >> 6) & 63];
    *to++ = '=';
  }
}

std::string tagHex(std::uint32_t tag) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", tag);
  return text;
}

// Appends the properties as the manifest lists them,
// [{"tag":"0x0037001F","value":"<base64>"},...] ("values" and an array of
// them for a multi-valued one), the very text a JSON library gives for
// that array, written directly: the values are the bulk of the manifest,
// and neither tags nor base64 need escaping.
void appendPropertiesJson(std::string& out, const std::vector<StoredProperty>& properties) {
  out += '[';
  for (std::size_t i = 0; i < properties.size(); ++i) {
    const StoredProperty& p = properties[i];
    if (i > 0) out += ',';
    out += "{\"tag\":\"";
    out += tagHex(p.tag);
    if ((p.tag & 0x1000) != 0) {
      out += "\",\"values\":[";
      for (std::size_t v = 0; v < p.values.size(); ++v) {
        out += v > 0 ? ",\"" : "\"";
        appendBase64(out, p.values[v]);
        out += '"';
      }
      out += "]}";
    } else {
      out += "\",\"value\":\"";
      appendBase64(out, p.value);
      out += "\"}";
    }
  }
  out += ']';
}

// The value of the property with this id among properties, for the
// manifest's readable summary: text for strings, a number for integers,
// true or false for a flag; null when the attachment does not have it.
json readable(const std::vector<StoredProperty>& properties, std::uint16_t id) {
  for (const StoredProperty& p : properties) {
    if ((p.tag >> 16) != id) continue;
    const std::string& v = p.value;
    switch (p.tag & 0xFFFF) {
      case 0x001F:
        return mapi::utf16leToUtf8(mapi::ByteView(reinterpret_cast<const std::uint8_t*>(v.data()), v.size()));
      case 0x001E:
        return mapi::codepageToUtf8(mapi::ByteView(reinterpret_cast<const std::uint8_t*>(v.data()), v.size()), 1252);
      case 0x0003:
        if (v.size() >= 4) {
          std::uint32_t n = 0;
          for (int b = 3; b >= 0; --b) n = (n << 8) | static_cast<unsigned char>(v[static_cast<std::size_t>(b)]);
          return static_cast<std::int32_t>(n);
        }
        return nullptr;
      case 0x000B:
        return !v.empty() && v[0] != 0;
      default:
        return nullptr;
    }
  }
  return nullptr;
}

// A field as spreadsheets read it back: quoted when it holds a comma, a
// quote or a line end. A text that begins like a formula gets a leading
// apostrophe, so that opening the report never runs what a message's
// sender wrote into its subject.
std::string csvField(const std::string& text, bool isText = true) {
  std::string value = text;
  if (isText && !value.empty() && std::strchr("=+-@\t\r", value[0]) != nullptr) value.insert(0, "'");
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string csvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    line += fields[i];
  }
  return line + "\r\n";
}

std::string dumped(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// The length of the well-formed UTF-8 sequence at text[at] (Unicode's
// table of well-formed byte sequences: no overlong forms, surrogates or
// code points past U+10FFFF); 0 when there is none.
std::size_t utf8SequenceAt(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

// Appends text as a JSON string exactly as dumped() writes it. Well-formed
// UTF-8, nearly every text the manifest holds (bodies' line breaks
// included), is escaped here as the library escapes it: the quote, the
// backslash and control characters, the common ones by their short forms;
// text with anything else goes through the library, for its replacement
// of what is not UTF-8.
void appendJsonText(std::string& out, const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::size_t start = out.size();
  out += '"';
  std::size_t at = 0;
  while (at < text.size()) {
    // What stands as it is goes over in runs.
    const std::size_t run = at;
    while (at < text.size()) {
      const auto c = static_cast<unsigned char>(text[at]);
      if (c >= 0x80) {
        const std::size_t length = utf8SequenceAt(text, at);
        if (length == 0) {
          out.resize(start);
          out += dumped(text);
          return;
        }
        at += length;
      } else if (c >= 0x20 && c != '"' && c != '\\') {
        ++at;
      } else {
        break;
      }
    }
    out.append(text, run, at - run);
    if (at == text.size()) break;
    switch (const auto c = static_cast<unsigned char>(text[at])) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
    ++at;
  }
  out += '"';
}

// Appends "key":text, after a comma unless it opens its object.
void appendMember(std::string& out, const char* key, const std::string& text, bool first = false) {
  if (!first) out += ',';
  out += '"';
  out += key;
  out += "\":";
  appendJsonText(out, text);
}

// readable() as dumped() writes it.
void appendReadable(std::string& out, const std::vector<StoredProperty>& properties, std::uint16_t id) {
  const json value = readable(properties, id);
  if (value.is_string()) appendJsonText(out, value.get_ref<const std::string&>());
  else out += dumped(value);
}

// The line's summary of the attachment, as dumped() would write it from a
// JSON object of these members: in the library's order, written directly,
// since it is written for every attachment of the run.
void appendAttachmentSummary(std::string& out, const ReportedAttachment& a) {
  const auto& p = a.properties;
  auto property = [&](const char* key, std::uint16_t id) {
    out += key;
    appendReadable(out, p, id);
  };
  property("{\"contentId\":", 0x3712);
  property(",\"contentLocation\":", 0x3713);
  property(",\"extension\":", 0x3703);
  property(",\"fileName\":", 0x3704);
  property(",\"flags\":", 0x3714);
  property(",\"hidden\":", 0x7FFE);
  out += ",\"index\":" + std::to_string(a.index);
  property(",\"longFileName\":", 0x3707);
  property(",\"method\":", 0x3705);
  property(",\"mimeType\":", 0x370E);
  appendMember(out, "name", a.name);
  property(",\"renderingPosition\":", 0x370B);
  property(",\"size\":", 0x0E20);
  out += '}';
}

std::string textSha256(const std::string& text) { return mapi::sha256Hex(text.data(), text.size()); }

}  // namespace

const char* OutcomeText(AttachmentOutcome outcome) {
  switch (outcome) {
    case AttachmentOutcome::Removed: return "removed";
    case AttachmentOutcome::Saved: return "saved";
    case AttachmentOutcome::Zipped: return "zipped";
    case AttachmentOutcome::Kept: return "kept";
    case AttachmentOutcome::KeptFilter: return "kept (filter)";
  }
  return "kept";
}

const char* TreatmentText(AttachmentTreatment treatment) {
  switch (treatment) {
    case AttachmentTreatment::Remove: return "remove";
    case AttachmentTreatment::Extract: return "extract";
    case AttachmentTreatment::ExtractZip: return "extract-zip";
  }
  return "";
}

std::string InsertedText(const std::string& before, const std::string& after) {
  const std::size_t shorter = std::min(before.size(), after.size());
  std::size_t start = 0;
  while (start < shorter && before[start] == after[start]) ++start;
  std::size_t end = 0;
  while (end < shorter - start && before[before.size() - 1 - end] == after[after.size() - 1 - end]) ++end;
  return after.substr(start, after.size() - start - end);
}

namespace {

struct RememberedSha256 {
  std::string path;
  base::FileIdentity identity;
  std::string sha256;
};

// Per thread: the thread that saves a file is the one that asks for its
// digest.
RememberedSha256& rememberedSha256() {
  thread_local RememberedSha256 remembered;
  return remembered;
}

}  // namespace

void RememberFileSha256(const std::string& path, const base::FileIdentity& identity, std::string sha256) {
  rememberedSha256() = RememberedSha256{path, identity, std::move(sha256)};
}

std::string FileSha256(const std::string& path, std::uint64_t* size, const base::EntryStatus* status) {
  std::error_code error;
  if (const RememberedSha256& remembered = rememberedSha256(); !remembered.path.empty() && remembered.path == path) {
    const base::EntryStatus now = status ? *status : base::fileSystem().status(base::pathFromUtf8(path), error);
    if (!error && now.type == base::EntryType::File && now.identity == remembered.identity) {
      if (size) *size = remembered.identity.size;
      return remembered.sha256;
    }
    error.clear();
  }
  const std::unique_ptr<base::ReadableFile> file = base::fileSystem().openRead(base::pathFromUtf8(path), error);
  if (!file) throw std::system_error(error, "cannot read " + path);
  if (file->type() == base::EntryType::Folder)
    throw std::system_error(std::make_error_code(std::errc::is_a_directory), "cannot read " + path);
  mapi::Sha256 digest;
  std::vector<std::uint8_t> buffer(1 << 16);
  std::uint64_t offset = 0;
  for (;;) {
    const std::size_t got = file->readAt(offset, buffer.data(), buffer.size(), error);
    if (error) throw std::system_error(error, "cannot read " + path);
    if (got == 0) break;
    digest.update(buffer.data(), got);
    offset += got;
  }
  if (size) *size = offset;
  return digest.finishHex();
}

RunReport::~RunReport() = default;

void RunReport::open(const std::string& runFolderPath, const std::string& pstPath) {
  runFolder_ = runFolderPath;
  pst_ = pstPath;
  rows_ = 0;
  const std::string csvPath = runFolder_ + "/" + kReportFileName;
  const std::string manifestPath = runFolder_ + "/" + kManifestFileName;
  base::FileSystem& files = base::fileSystem();
  std::error_code error;
  // Never over a report that is there already.
  csv_ = {files.openWrite(base::pathFromUtf8(csvPath), true, error), 0};
  if (!csv_.file) throw std::system_error(error, "cannot create " + csvPath);
  manifest_ = {files.openWrite(base::pathFromUtf8(manifestPath), true, error), 0};
  if (!manifest_.file) {
    const std::error_code manifestError = error;
    csv_.file.reset();
    files.remove(base::pathFromUtf8(csvPath), error);
    throw std::system_error(manifestError, "cannot create " + manifestPath);
  }
  writeOrThrow(csv_,
               "\xEF\xBB\xBF" + csvLine({"PST", "Folder", "Subject", "Sender", "Date", "Attachment", "Size (bytes)",
                                         "Treatment", "Outcome", "Saved file", "Reason"}),
               kReportFileName);
}

// Rows reach the file as each message ends (not kept in a buffer), so a
// run that is killed leaves the rows of every message it finished.
void RunReport::writeOrThrow(ReportFile& report, const std::string& text, const char* name) {
  std::error_code error;
  report.file->writeAt(report.end, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), error);
  if (error) throw std::system_error(error, std::string("cannot write ") + name);
  report.end += text.size();
}

void RunReport::beginMessage(const std::string& folderPath, std::int64_t position, const MessageSummary& facts,
                             const BodyState& before) {
  inMessage_ = true;
  folder_ = folderPath;
  position_ = position;
  facts_ = facts;
  before_ = before;
  pending_.clear();
}

void RunReport::attachment(ReportedAttachment attachment) {
  if (inMessage_) pending_.push_back(std::move(attachment));
}

void RunReport::endMessage(const std::string& entryId, const BodyState& after) {
  if (!inMessage_) return;
  inMessage_ = false;
  if (!isOpen()) return;
  // Rows in the order of the message's attachments; the run met them
  // from the last to the first.
  std::sort(pending_.begin(), pending_.end(),
            [](const ReportedAttachment& a, const ReportedAttachment& b) { return a.index < b.index; });
  const AppendedLinks links{InsertedText(before_.plain, after.plain), InsertedText(before_.html, after.html),
                            InsertedText(before_.rtf, after.rtf)};
  bool bodyWritten = false;
  std::string csv;
  std::string manifest;
  for (const ReportedAttachment& a : pending_) {
    json size = readable(a.properties, 0x0E20);
    const std::string sizeText = size.is_number() ? std::to_string(size.get<std::int64_t>())
                                                  : (a.contentSize > 0 ? std::to_string(a.contentSize) : "");
    csv += csvLine({csvField(pst_), csvField(folder_), csvField(facts_.subject), csvField(facts_.sender),
                    csvField(facts_.date), csvField(a.name), csvField(sizeText, false),
                    csvField(a.treatment ? TreatmentText(*a.treatment) : ""), csvField(OutcomeText(a.outcome)),
                    csvField(a.savedFile), csvField(a.reason)});
    ++rows_;
    if (a.outcome != AttachmentOutcome::Removed && a.outcome != AttachmentOutcome::Saved &&
        a.outcome != AttachmentOutcome::Zipped)
      continue;
    // The line's members in the order a JSON library sorts them, each
    // value as it dumps it; the property lists are written directly.
    std::string line = "{\"attachment\":";
    appendAttachmentSummary(line, a);
    if (!bodyWritten) {
      // Once per message: the bodies before the run changed them, and
      // digests of them after, so restore can tell whether the message
      // was changed since.
      line += ",\"body\":{\"afterHtmlSha256\":\"" + textSha256(after.html) + "\",\"afterPlainSha256\":\"" +
              textSha256(after.plain) + "\",\"afterRtfSha256\":\"" + textSha256(after.rtf) + "\",\"before\":";
      appendPropertiesJson(line, before_.properties);
      line += '}';
      bodyWritten = true;
    }
    line += ",\"file\":";
    if (a.outcome != AttachmentOutcome::Removed) {
      line += '{';
      if (a.outcome == AttachmentOutcome::Zipped) appendMember(line, "archiveEntry", a.archiveEntry, true);
      appendMember(line, "contentSha256", a.contentSha256, a.outcome != AttachmentOutcome::Zipped);
      appendMember(line, "path", a.savedFile);
      appendMember(line, "sha256", a.fileSha256);
      line += ",\"size\":" + std::to_string(a.contentSize) + '}';
    } else {
      line += "null";
    }
    line += ",\"format\":" + std::to_string(kManifestFormat);
    if (a.outcome != AttachmentOutcome::Removed) {
      line += ",\"link\":{";
      appendMember(line, "body", a.linkInPlainText ? "plain" : "html", true);
      appendMember(line, "text", a.linkText);
      line += '}';
    }
    line += ",\"links\":{";
    appendMember(line, "html", links.html, true);
    appendMember(line, "plain", links.plain);
    appendMember(line, "rtf", links.rtf);
    line += "},\"message\":{";
    appendMember(line, "date", facts_.date, true);
    appendMember(line, "entryId", entryId);
    appendMember(line, "folder", folder_);
    line += ",\"position\":" + std::to_string(position_);
    appendMember(line, "subject", facts_.subject);
    line += "},\"outcome\":";
    appendJsonText(line, OutcomeText(a.outcome));
    line += ",\"properties\":";
    appendPropertiesJson(line, a.properties);
    line += ",\"pst\":";
    appendJsonText(line, pst_);
    line += ",\"treatment\":";
    appendJsonText(line, a.treatment ? TreatmentText(*a.treatment) : "");
    manifest += line + "}\n";
  }
  pending_.clear();
  writeOrThrow(csv_, csv, kReportFileName);
  writeOrThrow(manifest_, manifest, kManifestFileName);
}

bool RunReport::finish() {
  bool whole = true;
  for (ReportFile* report : {&csv_, &manifest_}) {
    if (!report->file) continue;
    std::error_code error;
    report->file->sync(error);
    whole = !error && whole;
    report->file->close(error);
    whole = !error && whole;
    report->file.reset();
  }
  return whole;
}

void RunReport::discard() {
  finish();
  std::error_code ignored;
  base::fileSystem().remove(base::pathFromUtf8(runFolder_ + "/" + kReportFileName), ignored);
  base::fileSystem().remove(base::pathFromUtf8(runFolder_ + "/" + kManifestFileName), ignored);
}

}  // namespace varnolt::engine
