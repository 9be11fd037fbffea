// varnolt-cli compress [--treatment remove|extract|extract-zip] --dest DIR
// FILE.pst...: the compression run with its inputs taken from the command
// line. Each PST is copied into a new PST in a run folder of its own under
// DIR; progress goes to standard error, and the account of each PST (with
// every step that failed) to standard output at the end.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "base/system.h"
#include "cli/command.h"
#include "cli/compress.h"
#include "engine/compression_run.h"
#include "engine/run_helpers.h"
#include "platform/mail_session.h"
#include "base/utf8_path.h"

namespace varnolt::cli {

engine::SessionFactory& compressSessionFactory() {
  // The store library's session.
  static engine::SessionFactory factory = platform::NewMailSession;
  return factory;
}

namespace {

namespace fs = std::filesystem;
using engine::AttachmentTreatment;
using engine::Label;

// The operating system's product name (os-release PRETTY_NAME, else NAME);
// "<Error>" when it cannot be read, as the desktop program has it.
std::string productName() {
  for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(file);
    if (!in) continue;
    std::string line, name, pretty;
    while (std::getline(in, line)) {
      auto value = [&line](std::size_t from) {
        std::string v = line.substr(from);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
        return v;
      };
      if (line.rfind("PRETTY_NAME=", 0) == 0) pretty = value(12);
      else if (line.rfind("NAME=", 0) == 0) name = value(5);
    }
    if (!pretty.empty()) return pretty;
    if (!name.empty()) return name;
  }
  return "<Error>";
}

// "2302976 bytes (2.2 MiB)".
std::string sizeText(std::uintmax_t bytes) {
  char text[96];
  const double b = static_cast<double>(bytes);
  if (bytes < 1024) std::snprintf(text, sizeof text, "%ju bytes", bytes);
  else if (bytes < 1024 * 1024) std::snprintf(text, sizeof text, "%ju bytes (%.1f KiB)", bytes, b / 1024);
  else if (bytes < 1024ull * 1024 * 1024) std::snprintf(text, sizeof text, "%ju bytes (%.1f MiB)", bytes, b / 1048576);
  else std::snprintf(text, sizeof text, "%ju bytes (%.2f GiB)", bytes, b / 1073741824);
  return text;
}

std::optional<std::uintmax_t> fileSize(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t n = fs::file_size(base::pathFromUtf8(path), ec);
  if (ec) return std::nullopt;
  return n;
}

// Answers the run from the arguments and shows where it is: on a terminal
// one line rewritten in place (PST, folder, message of the folder,
// attachments handled), otherwise a plain line per PST and per folder.
class ConsoleHost : public engine::RunInputs, public engine::ProgressReport {
 public:
  ConsoleHost(std::vector<std::string> pstFiles, std::string destination, AttachmentTreatment treatment,
              engine::AttachmentFilter filter, bool live)
      : pstFiles_(std::move(pstFiles)),
        destination_(std::move(destination)),
        treatment_(treatment),
        filter_(filter),
        live_(live) {}

  void setEngine(const engine::CompressionEngine* e) { engine_ = e; }
  const std::string& completion() const { return completion_; }
  const std::string& summaryLine() const { return summaryLine_; }
  // Ends the live line, so what follows starts on a line of its own.
  void endLiveLine() {
    if (live_ && shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

  std::int32_t PstCount() override { return static_cast<std::int32_t>(pstFiles_.size()); }
  std::string PstEntry(std::int32_t i) override { return pstFiles_.at(static_cast<std::size_t>(i - 1)); }
  std::string DestinationFolder() override { return destination_; }
  AttachmentTreatment SelectedTreatment() override { return treatment_; }
  engine::AttachmentFilter SelectedFilter() override { return filter_; }
  // The command line speaks English.
  bool LoadLanguageResources() override { return false; }
  std::string LocalizedText(std::int32_t) override { return ""; }

  void SetLabel(Label label, const std::string& text) override {
    switch (label) {
      case Label::lblNameOfPSTFile:
        // A PST that was not started shows no name: count the run's PSTs.
        pstNumber_ = engine_ ? static_cast<int>(engine_->outcomes().size()) : pstNumber_ + 1;
        pst_ = text;
        folder_.clear();
        numOfMails_.clear();
        attachments_ = "0";
        if (!live_) {
          const std::string runFolder = engine_ ? engine_->strDestFolderName : std::string();
          std::fprintf(stderr, "[%d/%zu] %s -> %s%s/%s\n", pstNumber_, pstFiles_.size(), text.c_str(),
                       destination_.c_str(), runFolder.c_str(), engine::kDestinationPstFileName);
        }
        redraw(true);
        break;
      case Label::lblNameOfPSTFolder:
        folder_ = text;
        numOfMails_.clear();
        if (!live_ && !text.empty()) std::fprintf(stderr, "  %s\n", text.c_str());
        redraw(true);
        break;
      case Label::lblNumOfMails:
        numOfMails_ = text;
        redraw(false);
        break;
      case Label::lblAttachmentCount:
        attachments_ = text;
        redraw(false);
        break;
      case Label::lblProcessing:
        completion_ = text;
        break;
      case Label::lblCopy:
        summaryLine_ = text;  // at the end: the failed-steps line, or nothing
        break;
    }
  }
  void SetProgressBarEnabled(bool) override {}
  void SetCompressButtonEnabled(bool) override {}
  void SetCompressButtonVisible(bool) override {}
  void SetOptionButtonEnabled(AttachmentTreatment, bool) override {}
  void SetOkButtonVisible(bool) override {}
  void SetOkButtonEnabled(bool) override {}
  void ProcessPendingEvents() override {}
  void ShowMessageBox(const std::string& text, const std::string& title) override {
    endLiveLine();
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
  }

 private:
  // The live line, at most ten times a second unless the PST or folder
  // changed.
  void redraw(bool now) {
    if (!live_) return;
    const auto t = std::chrono::steady_clock::now();
    if (!now && shown_ && t - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = t;
    shown_ = true;
    std::string line = "[" + std::to_string(pstNumber_) + "/" + std::to_string(pstFiles_.size()) + "] " + pst_;
    if (!folder_.empty()) line += "  " + folder_;
    if (!numOfMails_.empty()) line += " " + numOfMails_;
    line += "  attachments: " + attachments_;
    // Cut to the terminal's width, so the line never wraps and can be
    // rewritten in place; never inside a UTF-8 sequence.
    const int columns = base::standardErrorColumns();
    if (columns > 1 && line.size() >= static_cast<std::size_t>(columns)) {
      auto cut = static_cast<std::size_t>(columns - 1);
      while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
      line.resize(cut);
    }
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
  }

  std::vector<std::string> pstFiles_;
  std::string destination_;
  AttachmentTreatment treatment_;
  engine::AttachmentFilter filter_;
  bool live_;
  const engine::CompressionEngine* engine_ = nullptr;
  std::string completion_;
  std::string summaryLine_;
  int pstNumber_ = 0;
  std::string pst_, folder_, numOfMails_, attachments_ = "0";
  bool shown_ = false;
  std::chrono::steady_clock::time_point lastDraw_;
};

// Ctrl-C and SIGTERM stop the run at the next message, so it can clear
// away the unfinished PST; a second one ends the program at once.
std::atomic<engine::CompressionEngine*> stoppableRun{nullptr};
std::atomic<int> interruptsSeen{0};  // lock-free, so a signal handler may count

extern "C" void onInterrupt(int signal) {
  engine::CompressionEngine* run = stoppableRun.load();
  if (interruptsSeen.fetch_add(1) > 0 || run == nullptr) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  run->RequestStop();
  static const char note[] =
      "\nvarnolt-cli compress: stopping after the current message (interrupt again to end at once)\n";
  base::writeToStandardErrorNow(note, sizeof note - 1);
}

// The interrupt handlers for the length of one run.
class InterruptsStopRun {
 public:
  explicit InterruptsStopRun(engine::CompressionEngine& run) {
    stoppableRun.store(&run);
    // std::signal keeps the handler and restarts interrupted calls on
    // glibc, as sigaction with SA_RESTART did, and exists on Windows too.
    previousInt_ = std::signal(SIGINT, onInterrupt);
    previousTerm_ = std::signal(SIGTERM, onInterrupt);
    if (previousInt_ == SIG_ERR) previousInt_ = SIG_DFL;
    if (previousTerm_ == SIG_ERR) previousTerm_ = SIG_DFL;
  }
  ~InterruptsStopRun() {
    std::signal(SIGINT, previousInt_);
    std::signal(SIGTERM, previousTerm_);
    stoppableRun.store(nullptr);
  }
  InterruptsStopRun(const InterruptsStopRun&) = delete;
  InterruptsStopRun& operator=(const InterruptsStopRun&) = delete;

 private:
  void (*previousInt_)(int) = SIG_DFL;
  void (*previousTerm_)(int) = SIG_DFL;
};

// The exit status of a run ended by an interrupt, as shells give it.
constexpr int kExitInterrupted = 130;

const char* kUsage =
    "usage: varnolt-cli compress [--treatment remove|extract|extract-zip] [--min-size BYTES] [--keep-inline]\n"
    "                            [--before DATE] --dest DIR FILE.pst...\n";

// A count of bytes: decimal digits only, at most 18 of them.
std::optional<std::int64_t> byteCount(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

int usage(const char* problem, const std::string& detail = "") {
  std::fprintf(stderr, "varnolt-cli compress: %s%s\n", problem, detail.c_str());
  std::fputs(kUsage, stderr);
  return kExitFailed;
}

void printHelp() {
  std::fputs(kUsage, stdout);
  std::fputs(
      "\n"
      "Copies each PST file into a new PST, KestrikCompress.pst, in a run folder of\n"
      "its own under DIR (Varnolt_dd-mm-yyyy_hh-mm-ss), leaving the attachments of\n"
      "its mail folders behind. An OST file is turned into a new PST the same way.\n"
      "The source files are only read.\n"
      "\n"
      "  --treatment remove       delete the attachments (the default)\n"
      "  --treatment extract      save them in the run folder's Outlook_Attachments\n"
      "                           and link each from its message's body\n"
      "  --treatment extract-zip  as extract, each packed into a .zip of its own\n"
      "  --dest DIR               the folder that receives the run folders\n"
      "  --min-size BYTES         attachments smaller than this stay in their message\n"
      "  --keep-inline            attachments the body shows in place (pictures\n"
      "                           referenced by cid: or content location, hidden or\n"
      "                           rendered ones) stay in their message\n"
      "  --before DATE            only messages delivered (drafts: last changed)\n"
      "                           before DATE are treated; the others are copied as\n"
      "                           they are. DATE is YYYY-MM-DD, optionally with a time\n"
      "                           (THH:MM[:SS]) and an offset (Z, +HH:MM); without an\n"
      "                           offset it is local time\n"
      "  --help                   this text\n"
      "  --version                the program's version\n"
      "\n"
      "At the end each PST is summed up: its run folder, the messages in the source\n"
      "and those copied, the attachments removed, saved or zipped, its size before\n"
      "and after, and every step that failed. A PST the destination clearly has no\n"
      "room for is not started, and one that fills the destination is stopped;\n"
      "neither leaves a new PST. Ctrl-C (or SIGTERM) stops the run after the\n"
      "current message and removes the unfinished PST; the attachments already\n"
      "saved stay. A second Ctrl-C ends at once. Exit status: 0 when nothing\n"
      "failed, 2 when some steps failed, 1 when the command could not run, 130\n"
      "when it was interrupted.\n",
      stdout);
}

const char* takenOutLabel(AttachmentTreatment t) {
  switch (t) {
    case AttachmentTreatment::Extract:
      return "attachments saved";
    case AttachmentTreatment::ExtractZip:
      return "attachments zipped";
    case AttachmentTreatment::Remove:
      break;
  }
  return "attachments removed";
}

const char* stopText(engine::PstStop stop) {
  switch (stop) {
    case engine::PstStop::TooLittleSpace:
      return "not started: the destination has too little free space";
    case engine::PstStop::DestinationFull:
      return "stopped: the destination is full; the unfinished new PST was removed";
    case engine::PstStop::Interrupted:
      return "stopped: interrupted; the unfinished new PST was removed";
    case engine::PstStop::None:
      break;
  }
  return nullptr;
}

// The one line of an interrupted run.
std::string interruptLine(const engine::CompressionEngine& run) {
  std::int64_t kept = 0;
  for (const auto& o : run.outcomes()) kept += o.attachmentFilesKept;
  std::string line = "Interrupted: the unfinished new PST and its scratch folder were removed";
  if (kept > 0)
    line += "; " + std::to_string(kept) + " saved attachment file" + (kept == 1 ? "" : "s") + " kept in " +
            engine::kAttachmentFolderName + " (copies: the source still holds them)";
  return line;
}

void printSummary(const engine::CompressionEngine& run, const std::string& destination, AttachmentTreatment treatment,
                  bool filtered) {
  const auto& failures = run.failures().list();
  std::vector<bool> told(failures.size(), false);
  for (const auto& o : run.outcomes()) {
    std::printf("%s\n", o.pst.c_str());
    const std::string newPst =
        o.runFolder.empty() ? std::string() : destination + o.runFolder + "/" + engine::kDestinationPstFileName;
    std::printf("  run folder: %s\n", o.runFolder.empty() ? "(none)" : (destination + o.runFolder).c_str());
    if (!o.reportFile.empty()) std::printf("  report: %s\n", o.reportFile.c_str());
    // Every message of the source is either in a mail folder (copied one by
    // one) or in a folder copied whole; the two lines below add up to this
    // one when nothing failed.
    std::printf("  messages in source: %lld\n", static_cast<long long>(o.messagesInSource));
    if (const char* why = stopText(o.stopped)) std::printf("  %s\n", why);
    if (o.attachmentFilesKept > 0)
      std::printf("  saved attachment files kept: %lld in %s%s/%s\n", static_cast<long long>(o.attachmentFilesKept),
                  destination.c_str(), o.runFolder.c_str(), engine::kAttachmentFolderName);
    std::printf("  messages copied: %lld of %lld\n", static_cast<long long>(o.messagesCopied),
                static_cast<long long>(o.messages));
    if (o.foldersCopiedWhole > 0)
      std::printf("  folders without mail, copied whole: %lld, with %lld messages\n",
                  static_cast<long long>(o.foldersCopiedWhole), static_cast<long long>(o.messagesCopiedWhole));
    const std::pair<const char*, std::int64_t> counts[] = {
        {"attachments removed", o.attachmentsRemoved},
        {"attachments saved", o.attachmentsSaved},
        {"attachments zipped", o.attachmentsZipped},
    };
    for (const auto& [label, n] : counts) {
      if (n > 0 || std::string(label) == takenOutLabel(treatment))
        std::printf("  %s: %lld\n", label, static_cast<long long>(n));
    }
    if (o.attachmentsKept > 0)
      std::printf("  attachments kept in their messages: %lld\n", static_cast<long long>(o.attachmentsKept));
    if (filtered) {
      std::printf("  attachments %s: %lld\n", engine::kKeptFilterOutcome,
                  static_cast<long long>(o.attachmentsKeptByFilter));
      std::printf("  attachment bytes: %lld\n", static_cast<long long>(o.attachmentBytes));
    }
    for (const auto& kept : o.kept) std::printf("    %s\n", kept.describe().c_str());
    const auto before = fileSize(o.pst);
    const auto after = newPst.empty() ? std::nullopt : fileSize(newPst);
    std::printf("  size before: %s\n", before ? sizeText(*before).c_str() : "(unknown)");
    std::printf("  size after: %s\n", after ? sizeText(*after).c_str() : "(no new PST)");
    if (o.failureCount == 0) {
      std::printf("  failed steps: none\n");
    } else {
      std::printf("  failed steps: %zu\n", o.failureCount);
      for (std::size_t i = o.firstFailure; i < o.firstFailure + o.failureCount && i < failures.size(); ++i) {
        std::printf("    %s\n", failures[i].describe().c_str());
        told[i] = true;
      }
    }
  }
  // Steps that belong to no PST: the session, the end of the run.
  bool header = false;
  for (std::size_t i = 0; i < failures.size(); ++i) {
    if (told[i]) continue;
    if (!header) std::printf("failed steps of the run:\n");
    header = true;
    std::printf("  %s\n", failures[i].describe().c_str());
  }
}

int runCompress(const std::vector<std::string>& args) {
  AttachmentTreatment treatment = AttachmentTreatment::Remove;
  engine::AttachmentFilter filter;
  std::string dest;
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsEnded && a == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && (a == "--help" || a == "-h")) {
      printHelp();
      return kExitOk;
    } else if (!optionsEnded && a == "--version") {
      std::printf("varnolt-cli %s\n", VARNOLT_VERSION);
      return kExitOk;
    } else if (!optionsEnded && a == "--treatment") {
      if (i + 1 >= args.size()) return usage("--treatment needs remove, extract or extract-zip");
      const std::string& t = args[++i];
      if (t == "remove") treatment = AttachmentTreatment::Remove;
      else if (t == "extract") treatment = AttachmentTreatment::Extract;
      else if (t == "extract-zip") treatment = AttachmentTreatment::ExtractZip;
      else return usage("unknown treatment ", "'" + t + "'");
    } else if (!optionsEnded && a == "--min-size") {
      if (i + 1 >= args.size()) return usage("--min-size needs a number of bytes");
      const std::optional<std::int64_t> bytes = byteCount(args[++i]);
      if (!bytes) return usage("--min-size needs a number of bytes, not ", "'" + args[i] + "'");
      filter.minSize = *bytes;
    } else if (!optionsEnded && a == "--keep-inline") {
      filter.keepInline = true;
    } else if (!optionsEnded && a == "--before") {
      if (i + 1 >= args.size()) return usage("--before needs a date (YYYY-MM-DD)");
      const std::optional<std::int64_t> when = engine::ParseIsoDate(args[++i]);
      if (!when) return usage("--before needs a date as YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM], not ", "'" + args[i] + "'");
      filter.before = *when;
    } else if (!optionsEnded && a == "--dest") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return usage("--dest needs a folder");
      dest = args[++i];
    } else if (!optionsEnded && !a.empty() && a[0] == '-') {
      return usage("unknown option ", "'" + a + "'");
    } else if (a.empty()) {
      return usage("an empty PST path");
    } else {
      files.push_back(a);
    }
  }
  if (dest.empty()) return usage("--dest is required");
  if (files.empty()) return usage("no PST file given");

  std::error_code ec;
  if (!fs::is_directory(base::pathFromUtf8(dest), ec)) {
    std::fprintf(stderr, "varnolt-cli compress: %s: not a folder\n", dest.c_str());
    return kExitFailed;
  }
  // The run works on full paths; the destination ends with "/". A listed
  // file that is missing or unreadable is the run's to report: the others
  // are still done. The program joins names with "/", so the full paths
  // use it on Windows too.
  std::string destination = base::genericUtf8Of(fs::absolute(base::pathFromUtf8(dest)).lexically_normal());
  if (destination.empty() || destination.back() != '/') destination += '/';
  std::vector<std::string> pstFiles;
  for (const auto& f : files)
    pstFiles.push_back(base::genericUtf8Of(fs::absolute(base::pathFromUtf8(f)).lexically_normal()));
  if (!compressSessionFactory()) {
    std::fprintf(stderr, "varnolt-cli compress: this build has no mail store to open PST files with\n");
    return kExitFailed;
  }

  ConsoleHost host(pstFiles, destination, treatment, filter, base::standardErrorIsTerminal());
  engine::SystemClock clock;
  engine::CompressionEngine run(host, host, compressSessionFactory(), productName(), clock);
  host.setEngine(&run);
  {
    InterruptsStopRun interrupts(run);
    run.CompressionRun();
  }
  host.endLiveLine();

  printSummary(run, destination, treatment, filter.any());
  std::printf("%s\n", host.completion().c_str());
  if (!run.failures().empty()) std::printf("%s\n", host.summaryLine().c_str());
  if (run.StopRequested()) std::printf("%s\n", interruptLine(run).c_str());
  std::fflush(stdout);
  if (run.StopRequested()) return kExitInterrupted;
  return run.failures().empty() ? kExitOk : kExitPartial;
}

const Register reg({"compress",
                    "[--treatment remove|extract|extract-zip] [--min-size BYTES] [--keep-inline] [--before DATE] "
                    "--dest DIR FILE.pst...",
                    "copy each PST into a new PST under DIR without its attachments (removed, or saved and linked, "
                    "or saved, zipped and linked)",
                    runCompress});

}  // namespace
}  // namespace varnolt::cli
