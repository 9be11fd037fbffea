// varnolt-cli restore RUN_FOLDER [--out FILE.pst]: a new PST made from a
// run folder's KestrikCompress.pst and its manifest, with every saved or
// zipped attachment whose file is still as the run left it back in its
// message, and the link the run appended taken out of the body again.
//
// Nothing is taken on trust: an attachment comes back only when its file's
// SHA-256 (and for an archive, its entry's) is the one the manifest
// recorded; a body is put back only when the message's body is still the
// one the run wrote, so changes made in Outlook since are never undone.
// The new file appears at its path only when complete, and never over a
// file that is there.

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/utf8_path.h"
#include "base/system.h"
#include "cli/command.h"
#include "engine/run_helpers.h"
#include "engine/run_report.h"
#include "mapi/body/body.h"
#include "mapi/msg/msg_file.h"
#include "mapi/pst/messaging/entry_id.h"
#include "mapi/pst/messaging/folder.h"
#include "mapi/pst/messaging/store.h"
#include "mapi/pst/writer/writer.h"
#include "mapi/tags.h"
#include "mapi/util/sha256.h"
#include "platform/report_facts.h"
#include "zip/zip_reader.h"

namespace varnolt::cli {
namespace {

namespace fs = std::filesystem;
namespace pst = mapi::pst;
using nlohmann::json;

inline constexpr const char* kRestoredPstName = "Restored.pst";
constexpr int kExitInterrupted = 130;
// Set by SIGINT or SIGTERM; lock-free, so the handler may set it.
std::atomic<bool> interrupted{false};
constexpr std::int32_t kMsgFlagHasAttach = 0x10;

std::string fromBase64(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const int v = value(c);
    if (v < 0) throw std::runtime_error("a property value is not base64");
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

mapi::Bytes toBytes(const std::string& s) { return mapi::Bytes(s.begin(), s.end()); }

std::string sha256Of(const std::string& s) { return mapi::sha256Hex(s.data(), s.size()); }
std::string sha256Of(const mapi::Bytes& b) { return mapi::sha256Hex(b.data(), b.size()); }

// The properties the manifest lists, as a bag; throws for a malformed list.
mapi::PropertyBag bagOf(const json& list) {
  mapi::PropertyBag bag;
  for (const json& p : list) {
    const mapi::PropTag tag = static_cast<mapi::PropTag>(std::stoul(p.at("tag").get<std::string>(), nullptr, 16));
    mapi::PropValue value;
    value.type = mapi::propType(tag);
    if (p.contains("values")) {
      for (const json& v : p.at("values")) value.values.push_back(toBytes(fromBase64(v.get<std::string>())));
    } else {
      value.data = toBytes(fromBase64(p.at("value").get<std::string>()));
    }
    bag.set(tag, std::move(value));
  }
  return bag;
}

// The node id an entry id names, and the store it belongs to.
std::optional<pst::StoreEntryId> parseHexEntryId(const std::string& hex) {
  if (hex.size() != 2 * pst::kEntryIdSize) return std::nullopt;
  mapi::Bytes bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const std::string pair = hex.substr(i, 2);
    if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
  }
  return pst::parseEntryId(mapi::ByteView(bytes));
}

// One attachment the run took out, as its manifest line says.
struct TakenAttachment {
  json line;
  std::int32_t index = 0;
  std::string name;
  std::string outcome;
};

// A message of KestrikCompress.pst the manifest names, and what became of
// it here.
struct MessagePlan {
  std::string entryId;
  std::string folder;
  std::int64_t position = 0;
  std::string subject;
  std::vector<TakenAttachment> taken;
  std::optional<json> body;
  bool met = false;
  // Set when the message is not at the place the run recorded (an earlier
  // message of its folder may have failed to copy): then its subject must
  // still be the recorded one.
  std::string movedTo;
  std::int64_t restored = 0;
  std::vector<std::string> notes;  // one line per attachment not restored, and why
};

struct Restore {
  fs::path runFolder;
  std::map<pst::NodeId, MessagePlan> plans;
  std::vector<std::string> problems;  // that make the result partial
  std::int64_t attachmentsSaved = 0;  // saved or zipped, to restore
  std::int64_t attachmentsRestored = 0;
  std::int64_t attachmentsRemoved = 0;
  std::int64_t messagesChanged = 0;
  std::size_t messagesDone = 0;
};

// The bytes an attachment line's saved file holds for it, or why there
// are none to trust.
std::optional<mapi::Bytes> savedContent(const fs::path& runFolder, const json& file, std::string& why) {
  const std::string relative = file.value("path", "");
  const fs::path path = runFolder / relative;
  std::error_code ec;
  if (relative.empty() || !fs::is_regular_file(path, ec)) {
    why = "its file is missing: " + path.string();
    return std::nullopt;
  }
  std::string digest;
  try {
    digest = engine::FileSha256(path.string());
  } catch (const std::exception& e) {
    why = std::string("its file cannot be read: ") + e.what();
    return std::nullopt;
  }
  if (digest != file.value("sha256", "")) {
    why = "its file was changed since the run (SHA-256 differs): " + path.string();
    return std::nullopt;
  }
  mapi::Bytes content;
  try {
    const std::string entry = file.value("archiveEntry", "");
    if (!entry.empty()) {
      content = zip::ReadEntry(path, entry);
    } else {
      std::ifstream in(path, std::ios::binary | std::ios::ate);
      if (!in) throw std::runtime_error("cannot open " + path.string());
      content.resize(static_cast<std::size_t>(in.tellg()));
      in.seekg(0);
      in.read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(content.size()));
      if (!in) throw std::runtime_error("cannot read " + path.string());
    }
  } catch (const std::exception& e) {
    why = std::string("its file cannot be read: ") + e.what();
    return std::nullopt;
  }
  if (sha256Of(content) != file.value("contentSha256", "")) {
    why = "its content differs from what the run saved (SHA-256): " + path.string();
    return std::nullopt;
  }
  return content;
}

// The attachment as the source had it: its recorded properties and the
// saved bytes in the place its method keeps them.
mapi::Attachment rebuild(const json& line, mapi::Bytes content) {
  mapi::Attachment a;
  a.props = bagOf(line.at("properties"));
  switch (a.method()) {
    case mapi::kAttachEmbeddedMessage:
      a.embedded = std::make_unique<mapi::Message>(mapi::msg::readMessage(mapi::ByteView(content)));
      break;
    case mapi::kAttachOle:
      a.props.set(mapi::tag::AttachDataObject, mapi::PropValue::binary(std::move(content)));
      break;
    default:
      a.props.set(mapi::tag::AttachDataBinary, mapi::PropValue::binary(std::move(content)));
      break;
  }
  return a;
}

// Appends a link as the run does, so that a message some of whose
// attachments stay outside keeps exactly their links.
void appendLinkAgain(mapi::PropertyBag& props, const json& link) {
  const std::string text = link.value("text", "");
  if (link.value("body", "html") == "plain") {
    const std::string body = mapi::body::plainBody(props) + text;
    if (!mapi::body::appendTextToRtfBody(props, body)) mapi::body::writePlainBody(props, body);
  } else {
    const std::string body = mapi::body::htmlBody(props) + text;
    if (!mapi::body::appendHtmlToRtfBody(props, body))
      mapi::body::writeHtmlBody(props, body, mapi::body::RtfOnHtmlWrite::Remove);
  }
}

// Whether the message's bodies are still those the run wrote.
bool bodyAsTheRunLeftIt(const mapi::PropertyBag& props, const json& body) {
  const engine::BodyState now = platform::BodyStateOf(props);
  return sha256Of(now.plain) == body.value("afterPlainSha256", "") &&
         sha256Of(now.html) == body.value("afterHtmlSha256", "") &&
         sha256Of(now.rtf) == body.value("afterRtfSha256", "");
}

void restoreMessage(Restore& r, MessagePlan& plan, mapi::Message& m) {
  plan.met = true;
  std::vector<TakenAttachment> taken = plan.taken;
  std::sort(taken.begin(), taken.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
  std::vector<const TakenAttachment*> linkedStillOutside;
  std::vector<std::pair<std::int32_t, mapi::Attachment>> back;
  for (const TakenAttachment& t : taken) {
    if (t.outcome == "removed") {
      ++r.attachmentsRemoved;
      plan.notes.push_back(t.name + ": removed by the run, cannot be restored");
      continue;
    }
    std::string why;
    std::optional<mapi::Bytes> content = savedContent(r.runFolder, t.line.at("file"), why);
    if (content) {
      try {
        back.emplace_back(t.index, rebuild(t.line, std::move(*content)));
        continue;
      } catch (const std::exception& e) {
        why = std::string("it cannot be rebuilt: ") + e.what();
      }
    }
    plan.notes.push_back(t.name + ": not restored, the message keeps its link; " + why);
    r.problems.push_back(plan.folder + " #" + std::to_string(plan.position) + " \"" + plan.subject + "\", " +
                         t.name + ": " + why);
    linkedStillOutside.push_back(&t);
  }

  // The bodies first: once the attachments are back, nothing about them
  // tells the body apart any more.
  if (plan.body && !back.empty()) {
    if (bodyAsTheRunLeftIt(m.props, *plan.body)) {
      for (std::uint16_t id : platform::BodyPropertyIds()) m.props.removeId(id);
      const mapi::PropertyBag before = bagOf(plan.body->at("before"));
      for (const auto& [tag, value] : before.all()) m.props.set(tag, value);
      // The run appended from the last attachment to the first.
      for (auto it = linkedStillOutside.rbegin(); it != linkedStillOutside.rend(); ++it)
        if ((*it)->line.contains("link")) appendLinkAgain(m.props, (*it)->line.at("link"));
    } else {
      ++r.messagesChanged;
      plan.notes.push_back("the body was changed after the run: it keeps its links");
    }
  }

  // Back in their places among the attachments the run left.
  for (auto& [index, attachment] : back) {
    const std::size_t at = std::min(static_cast<std::size_t>(index > 0 ? index - 1 : 0), m.attachments.size());
    m.attachments.insert(m.attachments.begin() + static_cast<std::ptrdiff_t>(at), std::move(attachment));
    ++plan.restored;
    ++r.attachmentsRestored;
  }
  if (!back.empty()) {
    m.props.set(mapi::tag::MessageFlags,
                mapi::PropValue::int32(m.props.getInt32(mapi::tag::MessageFlags).value_or(0) | kMsgFlagHasAttach));
    if (m.props.has(mapi::tag::HasAttachments)) m.props.set(mapi::tag::HasAttachments, mapi::PropValue::boolean(true));
  }
}

// Every message's folder path and place in its folder, as the run named
// them: "/" for the top of the personal folders, "/Inbox/Sub" below it.
void mapPlaces(const pst::Store& store, pst::NodeId folder, const std::string& path,
               std::map<pst::NodeId, std::pair<std::string, std::int64_t>>& places, int depth = 0) {
  if (depth > 300) return;
  const pst::Folder f = store.folder(folder);
  std::int64_t position = 0;
  for (pst::NodeId id : f.messageIds()) places[id] = {path.empty() ? "/" : path, ++position};
  for (pst::NodeId sub : f.subfolderIds()) {
    try {
      mapPlaces(store, sub, path + "/" + store.folder(sub).displayName(), places, depth + 1);
    } catch (const std::exception&) {
      // A folder that cannot be read is reported by the copy itself.
    }
  }
}

int usage() {
  std::fprintf(stderr, "usage: varnolt-cli restore RUN_FOLDER [--out FILE.pst]\n");
  return kExitFailed;
}

int fail(const std::string& text) {
  std::fprintf(stderr, "varnolt-cli restore: %s\n", text.c_str());
  return kExitFailed;
}

// Reads the manifest into plans by message; lines that cannot be used are
// problems of the restore.
void readManifest(Restore& r, const fs::path& manifest) {
  std::ifstream in(manifest, std::ios::binary);
  std::string text;
  std::size_t lineNumber = 0;
  while (std::getline(in, text)) {
    ++lineNumber;
    if (text.empty()) continue;
    const std::string where = manifest.filename().string() + " line " + std::to_string(lineNumber);
    try {
      json line = json::parse(text);
      if (line.value("format", 0) != engine::kManifestFormat) {
        r.problems.push_back(where + ": a format this program does not know");
        continue;
      }
      const json& message = line.at("message");
      const std::string entryId = message.value("entryId", "");
      const std::optional<pst::StoreEntryId> id = parseHexEntryId(entryId);
      TakenAttachment t;
      t.index = line.at("attachment").value("index", 0);
      t.name = line.at("attachment").value("name", "");
      t.outcome = line.value("outcome", "");
      if (!id) {
        r.problems.push_back(where + ": " + t.name + ": its message did not reach the new PST");
        continue;
      }
      MessagePlan& plan = r.plans[id->nid];
      plan.entryId = entryId;
      plan.folder = message.value("folder", "");
      plan.position = message.value("position", 0);
      plan.subject = message.value("subject", "");
      if (line.contains("body")) plan.body = line.at("body");
      if (t.outcome != "removed") ++r.attachmentsSaved;
      t.line = std::move(line);
      plan.taken.push_back(std::move(t));
    } catch (const std::exception& e) {
      r.problems.push_back(where + ": cannot be read: " + e.what());
    }
  }
}

void printSummary(const Restore& r, const fs::path& source, const fs::path& out, const pst::CopyReport& copy) {
  std::printf("%s\n", source.string().c_str());
  std::printf("  restored PST: %s\n", out.string().c_str());
  std::printf("  folders: %zu, messages: %zu\n", copy.folders, copy.messages);
  std::printf("  attachments restored: %lld of %lld saved\n", static_cast<long long>(r.attachmentsRestored),
              static_cast<long long>(r.attachmentsSaved));
  if (r.attachmentsRemoved > 0)
    std::printf("  attachments removed by the run (not restorable): %lld\n",
                static_cast<long long>(r.attachmentsRemoved));
  if (r.messagesChanged > 0)
    std::printf("  messages changed after the run, links kept: %lld\n", static_cast<long long>(r.messagesChanged));
  for (const auto& [nid, plan] : r.plans) {
    if (plan.notes.empty()) continue;
    std::printf("  %s #%lld \"%s\":\n", plan.folder.c_str(), static_cast<long long>(plan.position),
                plan.subject.c_str());
    for (const std::string& note : plan.notes) std::printf("    %s\n", note.c_str());
  }
  if (r.problems.empty()) {
    std::printf("  problems: none\n");
  } else {
    std::printf("  problems: %zu\n", r.problems.size());
    for (const std::string& p : r.problems) std::printf("    %s\n", p.c_str());
  }
}

// What the command line names: the run folder, and the file to write.
struct RestoreTarget {
  fs::path runFolder;
  fs::path out;
};

std::optional<RestoreTarget> parseArgs(const std::vector<std::string>& args) {
  std::optional<fs::path> runFolder;
  std::optional<fs::path> out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--out") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return std::nullopt;
      out = base::pathFromUtf8(args[++i]);
    } else if (!args[i].empty() && args[i][0] != '-' && !runFolder) {
      runFolder = base::pathFromUtf8(args[i]);
    } else {
      return std::nullopt;
    }
  }
  if (!runFolder) return std::nullopt;
  return RestoreTarget{*runFolder, out ? *out : *runFolder / kRestoredPstName};
}

// Why the target cannot be restored as asked; empty when it can.
std::string targetProblem(const RestoreTarget& target) {
  std::error_code ec;
  const fs::path newPst = target.runFolder / engine::kDestinationPstFileName;
  const fs::path manifest = target.runFolder / engine::kManifestFileName;
  if (!fs::is_directory(target.runFolder, ec)) return target.runFolder.string() + ": not a folder";
  if (!fs::is_regular_file(newPst, ec)) return newPst.string() + ": no such file; is this a run folder?";
  if (!fs::is_regular_file(manifest, ec))
    return manifest.string() + ": no such file; was the run made by a version that writes none?";
  if (fs::exists(fs::symlink_status(target.out, ec)))
    return target.out.string() + ": a file is there already; it is never replaced";
  return {};
}

// The manifest names messages of this very file, and each where the run
// put it; a message somewhere else is not the one it means, and its plan
// is dropped with the reason.
void keepPlansInPlace(Restore& r, const pst::Store& store, const mapi::PropertyBag& storeProperties) {
  const mapi::Bytes* key = storeProperties.getBinary(mapi::tag::RecordKey);
  std::map<pst::NodeId, std::pair<std::string, std::int64_t>> places;
  try {
    if (std::optional<pst::Folder> top = store.ipmSubtree()) mapPlaces(store, top->id(), "", places);
  } catch (const std::exception& e) {
    r.problems.push_back(std::string("the folders of the new PST cannot be read: ") + e.what());
  }
  for (auto it = r.plans.begin(); it != r.plans.end();) {
    const std::optional<pst::StoreEntryId> id = parseHexEntryId(it->second.entryId);
    const auto place = places.find(it->first);
    std::string why;
    if (!id || !key || key->size() != id->uid.size() || !std::equal(id->uid.begin(), id->uid.end(), key->begin()))
      why = "the manifest names a message of another PST";
    else if (place == places.end())
      why = "the message is no longer in the new PST";
    else if (place->second.first != it->second.folder)
      why = "the message is no longer in the folder the run put it in (now in " + place->second.first + ")";
    else if (place->second.second != it->second.position)
      it->second.movedTo = place->second.first + " #" + std::to_string(place->second.second);
    if (why.empty()) {
      ++it;
      continue;
    }
    r.problems.push_back(it->second.folder + " #" + std::to_string(it->second.position) + " \"" +
                         it->second.subject + "\": " + why + "; its attachments were not restored");
    it = r.plans.erase(it);
  }
}

// Puts back the attachments of one copied message, if the manifest has a
// plan for it and it is still the message the plan means.
void restorePlanned(Restore& r, std::size_t planned, pst::NodeId id, mapi::Message& m) {
  if (interrupted.load()) throw std::runtime_error("interrupted");
  const auto plan = r.plans.find(id);
  if (plan == r.plans.end()) return;
  if (!plan->second.movedTo.empty()) {
    std::string subject = m.props.getString(mapi::propId(mapi::tag::Subject)).value_or("");
    if (subject.size() >= 2 && subject[0] == '\x01') subject.erase(0, 2);
    if (subject != plan->second.subject) {
      plan->second.met = true;
      r.problems.push_back(plan->second.folder + " #" + std::to_string(plan->second.position) + " \"" +
                           plan->second.subject + "\": the message at " + plan->second.movedTo +
                           " is another one; its attachments were not restored");
      return;
    }
  }
  ++r.messagesDone;
  std::fprintf(stderr, "[%zu/%zu] %s: %s\n", r.messagesDone, planned, plan->second.folder.c_str(),
               plan->second.subject.c_str());
  restoreMessage(r, plan->second, m);
}

extern "C" void stopCopy(int signal) {
  interrupted.store(true);
  std::signal(signal, stopCopy);  // Windows resets the handler before it calls it
}

// Copies the store into temp, the copy changing each planned message; the
// failure's text, empty when the copy is whole. Ctrl-C or SIGTERM stops it
// at the next message.
std::string writeCopy(const pst::Store& store, const std::string& name, const fs::path& temp, pst::CopyReport& copy) {
  void (*oldInt)(int) = std::signal(SIGINT, stopCopy);
  void (*oldTerm)(int) = std::signal(SIGTERM, stopCopy);
  std::string failure;
  try {
    auto writer = pst::Writer::create(temp, name);
    writer->copyStoreFrom(store, &copy);
    if (interrupted.load()) throw std::runtime_error("interrupted");
    writer->close();
  } catch (const std::exception& e) {
    failure = e.what();
  }
  std::signal(SIGINT, oldInt == SIG_ERR ? SIG_DFL : oldInt);
  std::signal(SIGTERM, oldTerm == SIG_ERR ? SIG_DFL : oldTerm);
  return failure;
}

int runRestore(const std::vector<std::string>& args) {
  const std::optional<RestoreTarget> target = parseArgs(args);
  if (!target) return usage();
  if (const std::string problem = targetProblem(*target); !problem.empty()) return fail(problem);
  const fs::path newPst = target->runFolder / engine::kDestinationPstFileName;
  const fs::path& out = target->out;

  Restore r;
  r.runFolder = target->runFolder;
  readManifest(r, target->runFolder / engine::kManifestFileName);

  std::unique_ptr<pst::Store> store;
  try {
    store = pst::Store::open(newPst);
  } catch (const std::exception& e) {
    return fail(newPst.string() + ": " + e.what());
  }
  for (const auto& w : store->warnings()) std::fprintf(stderr, "%s: %s\n", newPst.string().c_str(), w.c_str());
  const mapi::PropertyBag storeProperties = store->storeProperties();
  keepPlansInPlace(r, *store, storeProperties);

  // Written under a name of its own beside the destination, and put in
  // place only when whole and only where nothing is.
  const fs::path parent = out.parent_path().empty() ? fs::path(".") : out.parent_path();
  const fs::path temp = parent / ("." + out.filename().string() + ".restoring-" + std::to_string(base::processId()));
  pst::CopyReport copy;
  const std::size_t planned = r.plans.size();
  copy.change = [&](pst::NodeId id, mapi::Message& m) { restorePlanned(r, planned, id, m); };
  const std::string failure =
      writeCopy(*store, storeProperties.getString(0x3001).value_or("Personal Folders"), temp, copy);
  std::error_code ec;
  if (!failure.empty() || interrupted.load()) {
    fs::remove(temp, ec);
    if (interrupted.load()) {
      std::fprintf(stderr, "varnolt-cli restore: interrupted; no restored PST was written\n");
      return kExitInterrupted;
    }
    return fail(out.string() + ": " + failure);
  }
  if (!base::fileSystem().renameNoReplace(temp, out, ec)) {
    const std::string reason = ec ? ec.message() : std::make_error_code(std::errc::file_exists).message();
    fs::remove(temp, ec);
    return fail(out.string() + ": cannot put the restored PST in place: " + reason);
  }
  for (const auto& [nid, plan] : r.plans)
    if (!plan.met) r.problems.push_back(plan.folder + " #" + std::to_string(plan.position) + " \"" + plan.subject +
                                        "\": the message could not be copied; its attachments were not restored");
  for (const auto& p : copy.problems) r.problems.push_back(p);
  printSummary(r, newPst, out, copy);
  return r.problems.empty() ? kExitOk : kExitPartial;
}

const Register reg({"restore", "RUN_FOLDER [--out FILE.pst]",
                    "make a new PST from a run folder with its saved and zipped attachments put back (Restored.pst)",
                    runRestore});

}  // namespace
}  // namespace varnolt::cli
