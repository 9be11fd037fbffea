// varnolt-cli analyze [--json] FILE.pst...: what a compress run would meet
// and gain, before it runs. It walks the folders compress treats (from the
// top of the personal folders; folders of calendars, contacts and the like
// are copied whole and only their messages counted) and reads, per
// message, the attachment table and each attachment's property context:
// sizes come from the property records (the data's heap item or subnode
// size, PR_ATTACH_SIZE for embedded messages), never from the data itself.
//
// Estimates: the new PST is written compact, so it is the source's size
// less the free space its allocation map reports, less what the
// attachments take in the file (their bytes with the blocks' trailers and
// index entries, and kAttachmentOverhead for each attachment's own
// properties and table row), plus, for the treatments that link, the link
// text each message gains (kLinkBytes plus the saved file's path). Saved
// files are the attachments' bytes; zipped ones that times a fixed ratio
// by file type (kZipRatios, not sampled: no attachment data is read),
// plus the archive's own headers.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "cli/command.h"
#include "mapi/error.h"
#include "mapi/util/byte_view.h"
#include "engine/run_helpers.h"
#include "mapi/pst/ltp/heap.h"
#include "mapi/pst/ltp/property_context.h"
#include "mapi/pst/ltp/table_context.h"
#include "mapi/pst/messaging/store.h"
#include "mapi/tags.h"
#include "platform/store_adapter.h"

namespace varnolt::cli {
namespace {

namespace fs = std::filesystem;
namespace pst = mapi::pst;
using nlohmann::json;

constexpr std::size_t kLargestShown = 20;
constexpr unsigned kDeepestFolder = 300;
constexpr std::int32_t kAttachEmbedded = 5;
// Bytes a link adds to its message besides the saved file's path: the
// HTML or RTF around the path, the plain-text form the body keeps in step,
// and the blocks the longer body takes. Measured with the extract
// treatment on a generated mailbox of 12131 attachments; the path is added
// per attachment.
constexpr std::int64_t kLinkBytes = 950;
// What a saved file's name adds to the attachment's: "Kestrik_", the date
// and time, "_".
constexpr std::int64_t kSavedNamePrefix = 28;
// An attachment's own properties, its row in the attachment table and its
// subnode entry; measured on generated mailboxes.
constexpr std::int64_t kAttachmentOverhead = 1100;
// A data block holds 8176 bytes and carries a 16-byte trailer, an index
// entry of 24 bytes and on average 32 bytes of alignment.
constexpr double kBlockOverhead = 72.0 / 8176.0;
// A new PST with nothing in it but its folders.
constexpr std::int64_t kEmptyPstBytes = 265 * 1024;
// A zip archive of one file: local header (30) and central directory entry
// (46), each with the name, the end record (22), the data descriptor and
// the Unicode path field the zip writer adds.
constexpr std::int64_t kZipHeaderBytes = 30 + 46 + 22 + 16 + 32;

// Deflate ratios by file type. Formats that are compressed already keep
// their size; text shrinks to about a third; the rest is a guess between.
struct ZipRatio {
  const char* extension;
  double ratio;
};
constexpr ZipRatio kZipRatios[] = {
    {".zip", 1.0},  {".7z", 1.0},   {".rar", 1.0},  {".gz", 1.0},   {".jpg", 1.0},  {".jpeg", 1.0}, {".png", 1.0},
    {".gif", 1.0},  {".mp3", 1.0},  {".mp4", 1.0},  {".mov", 1.0},  {".docx", 1.0}, {".xlsx", 1.0}, {".pptx", 1.0},
    {".pdf", 0.9},  {".txt", 0.35}, {".csv", 0.35}, {".log", 0.3},  {".xml", 0.3},  {".htm", 0.3},  {".html", 0.3},
    {".rtf", 0.3},  {".ics", 0.4},  {".vcf", 0.4},  {".eml", 0.5},  {".msg", 0.5},  {".doc", 0.45}, {".xls", 0.4},
    {".ppt", 0.6},  {".bmp", 0.3},  {".tif", 0.7},  {".tiff", 0.7},
};
constexpr double kUnknownZipRatio = 0.8;

double zipRatio(const std::string& type) {
  for (const auto& r : kZipRatios)
    if (type == r.extension) return r.ratio;
  return kUnknownZipRatio;
}

// The lower-cased extension with its dot; "(none)" for a name without.
std::string fileType(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size() || name.find('/', dot) != std::string::npos) return "(none)";
  std::string ext = name.substr(dot);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

struct TypeTotal {
  std::int64_t attachments = 0;
  std::int64_t bytes = 0;
};

struct Totals {
  std::int64_t messages = 0;
  std::int64_t attachments = 0;
  std::int64_t attachmentBytes = 0;
  std::map<std::string, TypeTotal> byType;
  // Sums the estimate needs: saved file name bytes, zipped bytes.
  std::int64_t nameBytes = 0;
  double zippedBytes = 0;

  void add(const std::string& name, std::int64_t size) {
    ++attachments;
    attachmentBytes += size;
    TypeTotal& t = byType[fileType(name)];
    ++t.attachments;
    t.bytes += size;
    nameBytes += static_cast<std::int64_t>(name.size());
    zippedBytes += static_cast<double>(size) * zipRatio(fileType(name));
  }
};

struct FolderReport {
  std::string path;
  bool treated = true;  // a mail folder; others are copied whole
  Totals totals;
};

struct Largest {
  std::string folder;
  pst::NodeId message = 0;
  std::string name;
  std::int64_t size = 0;
};

json typesJson(const Totals& t) {
  std::vector<std::pair<std::string, TypeTotal>> rows(t.byType.begin(), t.byType.end());
  std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second.bytes > b.second.bytes; });
  json out = json::array();
  for (const auto& [type, total] : rows)
    out.push_back({{"type", type}, {"attachments", total.attachments}, {"bytes", total.bytes}});
  return out;
}

class PstAnalyzer {
 public:
  explicit PstAnalyzer(const pst::Store& store) : store_(store) {}

  // Walks the store; parts that cannot be read are listed in problems().
  void run() {
    const std::optional<pst::NodeId> top = platform::detail::TopOfPersonalFolders(store_);
    if (!top) {
      problem("the store has no top of personal folders");
      return;
    }
    walk(*top, "/", 0, true);
  }

  const std::vector<FolderReport>& folders() const { return folders_; }
  const std::vector<std::string>& problems() const { return problems_; }
  Totals total() const {
    Totals all;
    for (const auto& f : folders_) {
      all.messages += f.totals.messages;
      all.attachments += f.totals.attachments;
      all.attachmentBytes += f.totals.attachmentBytes;
      all.nameBytes += f.totals.nameBytes;
      all.zippedBytes += f.totals.zippedBytes;
      for (const auto& [type, t] : f.totals.byType) {
        all.byType[type].attachments += t.attachments;
        all.byType[type].bytes += t.bytes;
      }
    }
    return all;
  }
  // The largest attachments, largest first, with their messages' subjects.
  json largest() const {
    json out = json::array();
    for (const auto& l : largest_) {
      std::string subject;
      try {
        subject = store_.readProperties(store_.database().node(l.message))
                      .getString(mapi::propId(mapi::tag::Subject))
                      .value_or("");
        if (subject.size() >= 2 && subject[0] == '\x01') subject.erase(0, 2);
      } catch (const std::exception&) {
        subject = "(unreadable)";
      }
      out.push_back({{"folder", l.folder}, {"subject", subject}, {"name", l.name}, {"size", l.size}});
    }
    return out;
  }

 private:
  void problem(const std::string& what) { problems_.push_back(what); }

  void walk(pst::NodeId id, const std::string& path, unsigned depth, bool isTop) {
    if (depth > kDeepestFolder) {
      problem(path + ": folders nest deeper than " + std::to_string(kDeepestFolder));
      return;
    }
    std::optional<pst::Folder> folder;
    try {
      folder.emplace(store_.folder(id));
    } catch (const std::exception& e) {
      problem(path + ": " + e.what());
      return;
    }
    FolderReport report;
    report.path = path;
    // The top folder is always walked, as compress does.
    report.treated = isTop || platform::detail::ItemKindOfClass(folder->containerClass()) == engine::kMailItemKind;
    if (!report.treated) {
      report.totals.messages = messagesBelow(*folder, path, depth);
      folders_.push_back(std::move(report));
      return;
    }
    const std::size_t at = folders_.size();
    folders_.push_back(std::move(report));
    readMessages(*folder, folders_[at]);
    std::vector<pst::NodeId> subfolders;
    try {
      subfolders = folder->subfolderIds();
    } catch (const std::exception& e) {
      problem(path + ": subfolders: " + e.what());
    }
    for (pst::NodeId sub : subfolders) {
      if (pst::nidType(sub) == pst::nid_type::SearchFolder) continue;
      std::string name = "?";
      try {
        name = store_.folder(sub).displayName();
      } catch (const std::exception&) {
      }
      walk(sub, (path == "/" ? "/" : path + "/") + name, depth + 1, false);
    }
  }

  std::int64_t messagesBelow(const pst::Folder& folder, const std::string& path, unsigned depth) {
    std::int64_t n = 0;
    try {
      n = static_cast<std::int64_t>(folder.messageIds().size());
      if (depth > kDeepestFolder) return n;
      for (pst::NodeId sub : folder.subfolderIds())
        if (pst::nidType(sub) != pst::nid_type::SearchFolder)
          n += messagesBelow(store_.folder(sub), path, depth + 1);
    } catch (const std::exception& e) {
      problem(path + ": " + e.what());
    }
    return n;
  }

  void readMessages(const pst::Folder& folder, FolderReport& report) {
    std::vector<pst::NodeId> messages;
    try {
      messages = folder.messageIds();
    } catch (const std::exception& e) {
      problem(report.path + ": messages: " + e.what());
      return;
    }
    report.totals.messages = static_cast<std::int64_t>(messages.size());
    for (pst::NodeId id : messages) {
      try {
        readAttachments(id, report);
      } catch (const std::exception& e) {
        problem(report.path + ": message " + std::to_string(id) + ": " + e.what());
      }
    }
  }

  void readAttachments(pst::NodeId messageId, FolderReport& report) {
    const pst::Node message = store_.database().node(messageId);
    const std::optional<pst::Node> tableNode = message.findSubnode(pst::nid::MessageAttachmentTable);
    if (!tableNode) return;
    const pst::TableContext table(*tableNode);
    for (std::size_t row = 0; row < table.rowCount(); ++row) {
      const pst::Node node = message.subnode(table.rowId(row));
      const pst::PropertyContext pc(node);
      mapi::Attachment attachment;
      std::optional<std::int64_t> dataSize;
      for (const auto& record : pc.records()) {
        const std::uint16_t id = mapi::propId(record.tag);
        if (id == mapi::propId(mapi::tag::AttachDataBinary)) {
          // By value: the data's own size. An object (embedded message or
          // OLE storage) names its subnode in an 8-byte heap item.
          const bool object = mapi::propType(record.tag) == mapi::pt::Object;
          std::uint32_t hnid = record.valueOrHnid;
          if (object) {
            const mapi::ByteView item = pc.heap().item(hnid);
            if (item.size() < 8) throw mapi::Error(mapi::ErrorKind::Corrupt, "an attachment object without subnode");
            hnid = item.u32(0);
          }
          if (hnid == 0) dataSize = 0;
          else if (!object && pst::isHid(hnid)) dataSize = static_cast<std::int64_t>(pc.heap().item(hnid).size());
          else dataSize = static_cast<std::int64_t>(node.subnode(hnid).dataTree().size);
          continue;
        }
        attachment.props.set(record.tag, pc.value(record));
      }
      store_.finishBag(attachment.props, 0);
      std::int64_t size = 0;
      if (attachment.method() == kAttachEmbedded) {
        size = std::max<std::int64_t>(0, attachment.props.getInt32(mapi::tag::AttachSize).value_or(0));
      } else if (dataSize) {
        size = *dataSize;
      } else {
        size = platform::detail::AttachmentSize(attachment);
      }
      std::string name = attachment.fileName().value_or("");
      if (attachment.method() == kAttachEmbedded && fileType(name) != ".msg") name += ".msg";
      report.totals.add(name, size);
      noteLargest({report.path, messageId, name, size});
    }
  }

  void noteLargest(Largest l) {
    auto at = std::upper_bound(largest_.begin(), largest_.end(), l.size,
                               [](std::int64_t size, const Largest& x) { return size > x.size; });
    if (at == largest_.end() && largest_.size() >= kLargestShown) return;
    largest_.insert(at, std::move(l));
    if (largest_.size() > kLargestShown) largest_.pop_back();
  }

  const pst::Store& store_;
  std::vector<FolderReport> folders_;
  std::vector<Largest> largest_;
  std::vector<std::string> problems_;
};

// The estimate for one treatment: the new PST and the saved files.
json estimates(std::int64_t sourceBytes, std::int64_t freeBytes, const Totals& t, const std::string& attachmentFolder) {
  const auto stored = static_cast<std::int64_t>(static_cast<double>(t.attachmentBytes) * (1.0 + kBlockOverhead)) +
                      t.attachments * kAttachmentOverhead;
  const std::int64_t removed = std::max<std::int64_t>(kEmptyPstBytes, sourceBytes - freeBytes - stored);
  // A saved file's path: the run folder, the attachment folder and the name.
  const std::int64_t pathBytes =
      t.attachments * (static_cast<std::int64_t>(attachmentFolder.size()) + kSavedNamePrefix) + t.nameBytes;
  const std::int64_t links = t.attachments * kLinkBytes + pathBytes;
  const auto zipped = static_cast<std::int64_t>(t.zippedBytes) +
                      t.attachments * (kZipHeaderBytes + 2 * kSavedNamePrefix) + t.nameBytes * 2;
  return {{"remove", {{"newPst", removed}, {"savedFiles", 0}}},
          {"extract", {{"newPst", removed + links}, {"savedFiles", t.attachmentBytes}}},
          {"extract-zip", {{"newPst", removed + links + 4 * t.attachments}, {"savedFiles", zipped}}}};
}

json analyzeFile(const std::string& path, std::vector<std::string>& errors) {
  json out;
  out["pst"] = path;
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    errors.push_back(path + ": a folder, not a PST file");
    out["error"] = errors.back();
    return out;
  }
  std::unique_ptr<pst::Store> store;
  try {
    store = pst::Store::open(path);
  } catch (const std::exception& e) {
    errors.push_back(path + ": cannot be read: " + e.what());
    out["error"] = errors.back();
    return out;
  }
  const std::int64_t sourceBytes = static_cast<std::int64_t>(fs::file_size(path, ec));
  PstAnalyzer analyzer(*store);
  analyzer.run();
  const Totals t = analyzer.total();
  out["size"] = ec ? 0 : sourceBytes;
  out["messages"] = t.messages;
  out["attachments"] = t.attachments;
  out["attachmentBytes"] = t.attachmentBytes;
  out["byType"] = typesJson(t);
  json folders = json::array();
  for (const auto& f : analyzer.folders()) {
    folders.push_back({{"path", f.path},
                       {"treated", f.treated},
                       {"messages", f.totals.messages},
                       {"attachments", f.totals.attachments},
                       {"attachmentBytes", f.totals.attachmentBytes},
                       {"byType", typesJson(f.totals)}});
  }
  out["folders"] = std::move(folders);
  out["largest"] = analyzer.largest();
  // "/dest/Varnolt_dd-mm-yyyy_hh-mm-ss/Outlook_Attachments/" beside a
  // destination path of typical length.
  const std::string runFolder = "/home/user/Varnolt_00-00-0000_00-00-00/" + std::string(engine::kAttachmentFolderName) + "/";
  const auto freeBytes = static_cast<std::int64_t>(std::min<std::uint64_t>(
      store->header().cbAMapFree, static_cast<std::uint64_t>(std::max<std::int64_t>(0, sourceBytes))));
  out["estimates"] = estimates(sourceBytes, freeBytes, t, runFolder);
  if (!analyzer.problems().empty()) {
    out["problems"] = analyzer.problems();
    for (const auto& p : analyzer.problems()) errors.push_back(path + ": " + p);
  }
  return out;
}

std::string bytesText(std::int64_t bytes) {
  char text[64];
  const double b = static_cast<double>(bytes);
  if (bytes < 1024) std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
  else if (bytes < 1024 * 1024) std::snprintf(text, sizeof text, "%.1f KiB", b / 1024);
  else if (bytes < 1024ll * 1024 * 1024) std::snprintf(text, sizeof text, "%.1f MiB", b / 1048576);
  else std::snprintf(text, sizeof text, "%.2f GiB", b / 1073741824);
  return text;
}

void printTypes(const json& types, const char* indent) {
  for (const auto& t : types)
    std::printf("%s%-8s %6lld  %s\n", indent, t["type"].get<std::string>().c_str(),
                static_cast<long long>(t["attachments"].get<std::int64_t>()),
                bytesText(t["bytes"].get<std::int64_t>()).c_str());
}

void printText(const json& file) {
  std::printf("%s\n", file["pst"].get<std::string>().c_str());
  if (file.contains("error")) {
    std::printf("  error: %s\n\n", file["error"].get<std::string>().c_str());
    return;
  }
  std::printf("  size: %s\n", bytesText(file["size"].get<std::int64_t>()).c_str());
  std::printf("  messages: %lld  attachments: %lld  attachment bytes: %lld (%s)\n",
              static_cast<long long>(file["messages"].get<std::int64_t>()),
              static_cast<long long>(file["attachments"].get<std::int64_t>()),
              static_cast<long long>(file["attachmentBytes"].get<std::int64_t>()),
              bytesText(file["attachmentBytes"].get<std::int64_t>()).c_str());
  std::printf("  by type:\n");
  printTypes(file["byType"], "    ");
  std::printf("  folders:\n");
  for (const auto& f : file["folders"]) {
    std::printf("    %s  messages: %lld", f["path"].get<std::string>().c_str(),
                static_cast<long long>(f["messages"].get<std::int64_t>()));
    if (!f["treated"].get<bool>()) {
      std::printf("  (no mail: copied whole)\n");
      continue;
    }
    std::printf("  attachments: %lld  %s\n", static_cast<long long>(f["attachments"].get<std::int64_t>()),
                bytesText(f["attachmentBytes"].get<std::int64_t>()).c_str());
    printTypes(f["byType"], "      ");
  }
  std::printf("  largest attachments:\n");
  for (const auto& l : file["largest"])
    std::printf("    %10s  %s  \"%s\"  %s\n", bytesText(l["size"].get<std::int64_t>()).c_str(),
                l["folder"].get<std::string>().c_str(), l["subject"].get<std::string>().c_str(),
                l["name"].get<std::string>().c_str());
  std::printf("  estimates (new PST / saved files):\n");
  for (const char* treatment : {"remove", "extract", "extract-zip"}) {
    const json& e = file["estimates"][treatment];
    std::printf("    %-12s %s / %s\n", treatment, bytesText(e["newPst"].get<std::int64_t>()).c_str(),
                bytesText(e["savedFiles"].get<std::int64_t>()).c_str());
  }
  if (file.contains("problems"))
    for (const auto& p : file["problems"]) std::printf("  problem: %s\n", p.get<std::string>().c_str());
  std::printf("\n");
}

const char* kUsage = "usage: varnolt-cli analyze [--json] FILE.pst...\n";

int usage(const std::string& problem) {
  std::fprintf(stderr, "varnolt-cli analyze: %s\n", problem.c_str());
  std::fputs(kUsage, stderr);
  return kExitFailed;
}

int runAnalyze(const std::vector<std::string>& args) {
  bool asJson = false;
  bool optionsEnded = false;
  std::vector<std::string> files;
  for (const auto& a : args) {
    if (!optionsEnded && a == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && (a == "--help" || a == "-h")) {
      std::fputs(kUsage, stdout);
      std::fputs(
          "\nWhat compress would meet in each PST file, read from its tables without\n"
          "reading the attachments' content: per PST and per mail folder the messages,\n"
          "attachments and their bytes by file type, the 20 largest attachments, and\n"
          "the estimated size of the new PST and of the saved files for each\n"
          "treatment. --json writes one JSON document instead. Exit status: 0 when\n"
          "every file was read whole, 2 when a file or part of one could not be read\n"
          "(the others are still analysed), 1 for bad arguments.\n",
          stdout);
      return kExitOk;
    } else if (!optionsEnded && a == "--json") {
      asJson = true;
    } else if (!optionsEnded && !a.empty() && a[0] == '-') {
      return usage("unknown option '" + a + "'");
    } else if (a.empty()) {
      return usage("an empty PST path");
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) return usage("no PST file given");

  std::vector<std::string> errors;
  json doc;
  doc["files"] = json::array();
  for (const auto& f : files) {
    json file = analyzeFile(f, errors);
    if (!asJson) {
      printText(file);
      std::fflush(stdout);
    }
    doc["files"].push_back(std::move(file));
  }
  if (asJson) std::printf("%s\n", doc.dump(2, ' ', false, json::error_handler_t::replace).c_str());
  for (const auto& e : errors) std::fprintf(stderr, "varnolt-cli analyze: %s\n", e.c_str());
  return errors.empty() ? kExitOk : kExitPartial;
}

const Register reg({"analyze", "[--json] FILE.pst...",
                    "count each PST's messages and attachments and estimate what compress would gain", runAnalyze});

}  // namespace
}  // namespace varnolt::cli
