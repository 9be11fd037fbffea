#pragma once
// A host for the compression engine that records what the run shows, a
// clock the test sets, and a fixture tying them to an in-memory store with
// its PSTs in a scratch destination folder.

#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <algorithm>

#include "engine/compression_run.h"
#include "engine/run_helpers.h"
#include "tests/engine/memory_store.h"
#include "tests/support/test_support.h"

namespace varnolt::test::enginefx {

using engine::AttachmentTreatment;
using engine::Label;
using memstore::AttachmentData;
using memstore::FolderData;
using memstore::MessageData;

class FakeHost : public engine::RunInputs, public engine::ProgressReport {
 public:
  // Inputs.
  std::vector<std::string> pstList;
  std::string destination;  // ends with "/"
  AttachmentTreatment treatment = AttachmentTreatment::Remove;
  bool languageAvailable = false;
  std::map<std::int32_t, std::string> texts;  // a missing id throws

  // Outputs, as last set, and every label change in order.
  std::map<Label, std::string> labels;
  std::vector<std::pair<Label, std::string>> labelLog;
  bool progressBar = false;
  bool compressEnabled = true;
  bool compressVisible = true;
  std::map<AttachmentTreatment, bool> optionEnabled{
      {AttachmentTreatment::Remove, true}, {AttachmentTreatment::Extract, true}, {AttachmentTreatment::ExtractZip, true}};
  bool okVisible = false;
  bool okEnabled = false;
  int pumps = 0;
  std::vector<std::pair<std::string, std::string>> messageBoxes;  // text, title
  std::function<void()> onPump;

  std::int32_t PstCount() override { return static_cast<std::int32_t>(pstList.size()); }
  std::string PstEntry(std::int32_t i) override { return pstList.at(static_cast<std::size_t>(i - 1)); }
  std::string DestinationFolder() override { return destination; }
  AttachmentTreatment SelectedTreatment() override { return treatment; }
  bool LoadLanguageResources() override { return languageAvailable; }
  std::string LocalizedText(std::int32_t id) override { return texts.at(id); }

  void SetLabel(Label label, const std::string& text) override {
    labels[label] = text;
    labelLog.emplace_back(label, text);
  }
  void SetProgressBarEnabled(bool enabled) override { progressBar = enabled; }
  void SetCompressButtonEnabled(bool enabled) override { compressEnabled = enabled; }
  void SetCompressButtonVisible(bool visible) override { compressVisible = visible; }
  void SetOptionButtonEnabled(AttachmentTreatment t, bool enabled) override { optionEnabled[t] = enabled; }
  void SetOkButtonVisible(bool visible) override { okVisible = visible; }
  void SetOkButtonEnabled(bool enabled) override { okEnabled = enabled; }
  void ProcessPendingEvents() override {
    ++pumps;
    if (onPump) onPump();
  }
  void ShowMessageBox(const std::string& text, const std::string& title) override {
    messageBoxes.emplace_back(text, title);
  }

  std::vector<std::string> labelHistory(Label label) const {
    std::vector<std::string> out;
    for (const auto& [l, text] : labelLog)
      if (l == label) out.push_back(text);
    return out;
  }
};

// Wall-clock time the test sets; Sleep moves it on.
class FakeClock : public engine::Clock {
 public:
  engine::LocalDateTime now{2026, 12, 7, 9, 5, 3};
  int sleeps = 0;
  long pendingMs = 0;

  engine::LocalDateTime Now() override { return now; }
  void Sleep(std::chrono::milliseconds duration) override {
    ++sleeps;
    pendingMs += static_cast<long>(duration.count());
    while (pendingMs >= 1000) {
      pendingMs -= 1000;
      advance(1);
    }
  }
  void advance(int seconds) {
    std::tm tm{};
    tm.tm_year = now.year - 1900;
    tm.tm_mon = now.month - 1;
    tm.tm_mday = now.day;
    tm.tm_hour = now.hour;
    tm.tm_min = now.minute;
    tm.tm_sec = now.second + seconds;
#ifdef _WIN32
    const std::time_t t = _mkgmtime(&tm);
#else
    const std::time_t t = timegm(&tm);
#endif
    gmtime_r(&t, &tm);
    now = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
  }
};

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() { host.destination = (tmp.path() / "dest").string() + "/"; fs::create_directory(tmp.path() / "dest"); fs::create_directory(tmp.path() / "src"); }

  // A source PST with the given path under the scratch source folder.
  std::shared_ptr<FolderData> addPst(const std::string& name) {
    const std::string path = (tmp.path() / "src" / name).string();
    host.pstList.push_back(path);
    return world.addSourcePst(path);
  }

  engine::CompressionEngine& engine() {
    if (!engine_) engine_.emplace(host, host, world.factory(), productName, clock);
    return *engine_;
  }
  void run() { engine().CompressionRun(); }

  // The folder tree of the finished destination PST of a run folder.
  std::shared_ptr<FolderData> output(const std::string& runFolder) {
    return memstore::readPstFile(host.destination + runFolder + "/KestrikCompress.pst");
  }
  std::string runFolderOf(const engine::LocalDateTime& t) const { return engine::RunFolderName(t); }
  fs::path attachmentFolder(const std::string& runFolder) const {
    return fs::path(host.destination + runFolder) / "Outlook_Attachments";
  }
  std::vector<std::string> filesIn(const fs::path& folder) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir tmp;
  memstore::MemoryWorld world;
  FakeHost host;
  FakeClock clock;
  std::string productName = "Debian GNU/Linux 12 (bookworm)";
  std::optional<engine::CompressionEngine> engine_;
};

}  // namespace varnolt::test::enginefx
