// The whole program as a user drives it, over the real store library: add
// a sample PST, choose a destination, Compress, pick "Extract, Save &
// Compress Attachments", Compress, wait for the finished window, OK; then
// the run folder on disk is checked with the store library and unzip.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTableWidget>
#include <QTimer>

#include "engine/mail_store.h"
#include "platform/mail_session.h"
#include "window_fixture.h"
#include "windows/frm_merge.h"
#include "windows/frm_run_report.h"

namespace varnolt::windows::test {
namespace {

void click(QAbstractButton* button) {
  ASSERT_TRUE(button->isVisible() && button->isEnabled()) << button->objectName().toStdString();
  QTest::mouseClick(button, Qt::LeftButton);
}

// Every message of a store, depth first.
void collectMessages(const std::shared_ptr<engine::MailFolder>& folder,
                     std::vector<std::shared_ptr<engine::MailMessage>>& out) {
  auto items = folder->ItemList()->Enumerate();
  while (auto message = items->Next()) out.push_back(message);
  auto subfolders = folder->Subfolders()->Enumerate();
  while (auto sub = subfolders->Next()) collectMessages(sub, out);
}

class WholeProgram : public WindowFixture {
 protected:
  void SetUp() override {
    RunServices services;
    services.sessions = [] { return platform::NewMailSession(); };
    // Not Vista: links go into the HTML body.
    varnolt::test::writeFile(dir / "debian-os-release", std::string("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"));
    services.productKeyFiles = {dir / "debian-os-release"};
    makeWindow({"407", "409", "40C", "C0A"}, "en_US.UTF-8", services);
  }

  // Clicks Compress PST >>, then in the options window: whenReady (which
  // starts the run), and whenFinished before OK. False when the run never
  // finished.
  bool compressThroughTheWindows(const std::function<void(frmMerge&)>& whenReady,
                                 const std::function<void(frmMerge&)>& whenFinished) {
    bool finished = false;
    QTimer watcher;
    watcher.setInterval(10);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
      auto* merge = qobject_cast<frmMerge*>(QApplication::activeModalWidget());
      if (merge == nullptr || !merge->isVisible()) return;
      if (merge->CurrentState() == frmMerge::State::Ready && !merge->RunInProgress()) whenReady(*merge);
      if (merge->CurrentState() != frmMerge::State::Finished) return;
      watcher.stop();
      finished = true;
      whenFinished(*merge);
      click(merge->cmdOk);
    });
    watcher.start();
    // A safety net: a window that never finishes is closed by its OK path
    // rather than hanging the suite.
    QTimer::singleShot(120000, [&] {
      if (auto* merge = qobject_cast<frmMerge*>(QApplication::activeModalWidget())) merge->cmdOk_Click();
    });
    click(window->CmdCompress);
    return finished;
  }
};

TEST_F(WholeProgram, ExtractAndZipOneSamplePst) {
  VARNOLT_REQUIRE_SAMPLES();
  const fs::path sample = varnolt::test::samplesDir() / "pst" / "unicode-one-attachment.pst";
  ASSERT_TRUE(fs::exists(sample));
  const fs::path dest = dir / "Compressed Mail";
  fs::create_directories(dest);
  window->show();

  dialogs.files.push_back(q(sample));
  click(window->CmdAddFile);
  ASSERT_EQ(window->PstCount(), 1);
  dialogs.folders.push_back(q(dest));
  click(window->CmdBrowse);
  ASSERT_EQ(window->txtDestFolderPath->text(), q(dest) + "/");

  QString completion;
  const bool finished = compressThroughTheWindows(
      [](frmMerge& merge) {
        click(merge.optZipAttachments);
        click(merge.CmdCompressPSTFiles);  // the run works inside this click
      },
      [&](frmMerge& merge) {
        completion = merge.lblProcessing->text();
        EXPECT_TRUE(merge.RunFailures().empty());
        for (const auto& f : merge.RunFailures().list()) ADD_FAILURE() << f.describe();
      });
  EXPECT_TRUE(finished);
  EXPECT_EQ(completion, QStringLiteral("Compress Successfully!!!"));
  EXPECT_TRUE(window->isEnabled());

  // One run folder with the new PST and one archive per attachment.
  std::vector<fs::path> runs;
  for (const auto& e : fs::directory_iterator(dest)) runs.push_back(e.path());
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].filename().string().rfind("Varnolt_", 0), 0u);
  EXPECT_TRUE(fs::is_regular_file(runs[0] / "KestrikCompress.pst"));
  EXPECT_FALSE(fs::exists(runs[0] / "MSG Folder"));
  std::vector<fs::path> archives;
  for (const auto& e : fs::directory_iterator(runs[0] / "Outlook_Attachments")) archives.push_back(e.path());
  ASSERT_EQ(archives.size(), 1u);
  EXPECT_EQ(archives[0].extension(), ".zip");
  EXPECT_EQ(archives[0].filename().string().rfind("Kestrik_", 0), 0u);
  if (varnolt::test::haveProgram("unzip")) {
    const auto check = varnolt::test::run({"unzip", "-t", archives[0].string()});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  }

  // The new PST holds the message, without its attachment, linked to the
  // archive.
  auto session = platform::NewMailSession();
  auto store = session->StoreList()->AttachPstFile((runs[0] / "KestrikCompress.pst").string(),
                                                   engine::kFormatUnicodePst, std::nullopt);
  std::vector<std::shared_ptr<engine::MailMessage>> messages;
  collectMessages(store->TopFolder(), messages);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->AttachmentList()->Count(), 0);
  const std::string html = messages[0]->HTMLBody();
  EXPECT_NE(html.find("file://"), std::string::npos) << html;
  EXPECT_NE(html.find(archives[0].filename().string()), std::string::npos) << html;
  store->Close();
}

TEST_F(WholeProgram, OneBadAndTwoGoodPstsEachHaveTheirResultAndOnlyTheBadOneFails) {
  VARNOLT_REQUIRE_SAMPLES();
  const fs::path samples = varnolt::test::samplesDir();
  const std::vector<fs::path> listed = {samples / "pst" / "unicode-one-attachment.pst",
                                        samples / "bad" / "not-a-pst.pst", samples / "pst" / "ansi-one-attachment.pst"};
  const fs::path dest = dir / "Compressed Mail";
  fs::create_directories(dest);
  window->show();
  for (const fs::path& pst : listed) {
    dialogs.files.push_back(q(pst));
    click(window->CmdAddFile);
  }
  ASSERT_EQ(window->PstCount(), 3);
  dialogs.folders.push_back(q(dest));
  click(window->CmdBrowse);

  QStringList failedPsts, reportedPsts, reportedFolders;
  const bool finished = compressThroughTheWindows(
      [](frmMerge& merge) { click(merge.CmdCompressPSTFiles); },  // Remove, the preselected treatment
      [&](frmMerge& merge) {
        click(merge.cmdFailures);
        frmRunReport* report = merge.RunReport();
        ASSERT_NE(report, nullptr);
        for (int r = 0; r < report->lstFailures->rowCount(); ++r) failedPsts << report->lstFailures->item(r, 0)->text();
        for (int r = 0; r < report->lstResults->rowCount(); ++r) {
          reportedPsts << report->lstResults->item(r, 0)->text();
          reportedFolders << report->RunFolderOf(r);
        }
        click(report->cmdOk);
      });
  ASSERT_TRUE(finished);

  // Every listed PST has its row; the failed steps all belong to the bad one.
  EXPECT_EQ(reportedPsts, (QStringList{q(listed[0]), q(listed[1]), q(listed[2])}));
  ASSERT_EQ(failedPsts.size(), 1);
  EXPECT_EQ(failedPsts[0], q(listed[1]));
  // The bad one gets no run folder, so nothing could be taken for its
  // compressed copy: two run folders for three listed PSTs.
  EXPECT_TRUE(reportedFolders[1].isEmpty());
  std::size_t runFolders = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dest)) ++runFolders;
  EXPECT_EQ(runFolders, 2u);
  // The good ones each have a run folder with a new PST that opens.
  for (int i : {0, 2}) {
    const fs::path runFolder = reportedFolders[i].toStdString();
    ASSERT_TRUE(fs::is_regular_file(runFolder / "KestrikCompress.pst")) << runFolder;
    auto session = platform::NewMailSession();
    auto store = session->StoreList()->AttachPstFile((runFolder / "KestrikCompress.pst").string(),
                                                     engine::kFormatUnicodePst, std::nullopt);
    std::vector<std::shared_ptr<engine::MailMessage>> messages;
    collectMessages(store->TopFolder(), messages);
    EXPECT_FALSE(messages.empty()) << runFolder;
    store->Close();
  }
}

}  // namespace
}  // namespace varnolt::windows::test
