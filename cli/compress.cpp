// varnolt-cli compress [--treatment remove|extract|extract-zip] --dest DIR
// FILE.pst...: the compression run with its inputs taken from the command
// line. Each PST is copied into a new PST in a run folder of its own under
// DIR; progress goes to standard error, and every step that failed is
// listed at the end.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "cli/command.h"
#include "cli/compress.h"
#include "engine/compression_run.h"
#include "engine/run_helpers.h"
#ifdef VARNOLT_HAVE_MAIL_SESSION
#include "platform/mail_session.h"
#endif

namespace varnolt::cli {

engine::SessionFactory& compressSessionFactory() {
#ifdef VARNOLT_HAVE_MAIL_SESSION
  // The store library's session, when the build has it.
  static engine::SessionFactory factory = platform::NewMailSession;
#else
  static engine::SessionFactory factory;
#endif
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

// Answers the run from the arguments and prints what a user of a terminal
// wants to see: which PST is being copied, where its copy goes, and the end.
class ConsoleHost : public engine::RunInputs, public engine::ProgressReport {
 public:
  ConsoleHost(std::vector<std::string> pstFiles, std::string destination, AttachmentTreatment treatment)
      : pstFiles_(std::move(pstFiles)), destination_(std::move(destination)), treatment_(treatment) {}

  void setEngine(const engine::CompressionEngine* e) { engine_ = e; }
  const std::string& completion() const { return completion_; }

  std::int32_t PstCount() override { return static_cast<std::int32_t>(pstFiles_.size()); }
  std::string PstEntry(std::int32_t i) override { return pstFiles_.at(static_cast<std::size_t>(i - 1)); }
  std::string DestinationFolder() override { return destination_; }
  AttachmentTreatment SelectedTreatment() override { return treatment_; }
  // The command line speaks English.
  bool LoadLanguageResources() override { return false; }
  std::string LocalizedText(std::int32_t) override { return ""; }

  void SetLabel(Label label, const std::string& text) override {
    if (label == Label::lblNameOfPSTFile && engine_ != nullptr) {
      std::fprintf(stderr, "%s -> %s%s/%s\n", text.c_str(), destination_.c_str(), engine_->strDestFolderName.c_str(),
                   engine::kDestinationPstFileName);
    } else if (label == Label::lblProcessing) {
      completion_ = text;
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
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
  }

 private:
  std::vector<std::string> pstFiles_;
  std::string destination_;
  AttachmentTreatment treatment_;
  const engine::CompressionEngine* engine_ = nullptr;
  std::string completion_;
};

int usage(const char* problem, const std::string& detail = "") {
  std::fprintf(stderr, "varnolt-cli compress: %s%s\n", problem, detail.c_str());
  std::fprintf(stderr, "usage: varnolt-cli compress [--treatment remove|extract|extract-zip] --dest DIR FILE.pst...\n");
  return kExitFailed;
}

int runCompress(const std::vector<std::string>& args) {
  AttachmentTreatment treatment = AttachmentTreatment::Remove;
  std::string dest;
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsEnded && a == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && a == "--treatment") {
      if (i + 1 >= args.size()) return usage("--treatment needs remove, extract or extract-zip");
      const std::string& t = args[++i];
      if (t == "remove") treatment = AttachmentTreatment::Remove;
      else if (t == "extract") treatment = AttachmentTreatment::Extract;
      else if (t == "extract-zip") treatment = AttachmentTreatment::ExtractZip;
      else return usage("unknown treatment ", "'" + t + "'");
    } else if (!optionsEnded && a == "--dest") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return usage("--dest needs a folder");
      dest = args[++i];
    } else if (!optionsEnded && !a.empty() && a[0] == '-') {
      return usage("unknown option ", "'" + a + "'");
    } else {
      files.push_back(a);
    }
  }
  if (dest.empty()) return usage("--dest is required");
  if (files.empty()) return usage("no PST file given");

  std::error_code ec;
  if (!fs::is_directory(dest, ec)) {
    std::fprintf(stderr, "varnolt-cli compress: %s: not a folder\n", dest.c_str());
    return kExitFailed;
  }
  // The run works on full paths; the destination ends with "/".
  std::string destination = fs::absolute(dest).lexically_normal().string();
  if (destination.empty() || destination.back() != '/') destination += '/';
  std::vector<std::string> pstFiles;
  for (const auto& f : files) {
    if (!fs::is_regular_file(f, ec)) {
      std::fprintf(stderr, "varnolt-cli compress: %s: no such file\n", f.c_str());
      return kExitFailed;
    }
    pstFiles.push_back(fs::absolute(f).lexically_normal().string());
  }
  if (!compressSessionFactory()) {
    std::fprintf(stderr, "varnolt-cli compress: this build has no mail store to open PST files with\n");
    return kExitFailed;
  }

  ConsoleHost host(pstFiles, destination, treatment);
  engine::SystemClock clock;
  engine::CompressionEngine run(host, host, compressSessionFactory(), productName(), clock);
  host.setEngine(&run);
  run.CompressionRun();

  std::fprintf(stderr, "%s\n", host.completion().c_str());
  for (const auto& failure : run.failures().list()) std::fprintf(stderr, "  %s\n", failure.describe().c_str());
  return run.failures().empty() ? kExitOk : kExitPartial;
}

const Register reg({"compress", "[--treatment remove|extract|extract-zip] --dest DIR FILE.pst...",
                    "copy each PST into a new PST under DIR without its attachments (removed, or saved and linked, "
                    "or saved, zipped and linked)",
                    runCompress});

}  // namespace
}  // namespace varnolt::cli
