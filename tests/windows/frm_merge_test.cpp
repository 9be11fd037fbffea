// The options-and-progress window hosting a run over the in-memory store:
// load, captions and product name, the ready, running and finished states,
// the failure list, OK, and close requests that end the program.

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <tuple>

#include <QApplication>
#include <QClipboard>
#include <QTableWidget>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <gmock/gmock.h>

#include "controls/upb.h"
#include "engine/clock.h"
#include "localisation/satellite_localization.h"
#include "platform/module1.h"
#include "scripted_dialogs.h"
#include "tests/engine/memory_store.h"
#include "tests/support/test_support.h"
#include "windows/frm_merge.h"
#include "windows/frm_run_report.h"
#include "window_fixture.h"

namespace varnolt::windows::test {
namespace {

using engine::AttachmentTreatment;
using memstore::AttachmentData;
using memstore::MessageData;

class ListInputs : public MainWindowInputs {
 public:
  QStringList list;
  QString destination;
  int PstCount() const override { return static_cast<int>(list.size()); }
  QString PstEntry(int i) const override { return list.value(i - 1); }
  QString DestinationFolder() const override { return destination; }
};

class GermanChecked : public localisation::LanguageMenuState {
 public:
  bool IsChecked(localisation::LanguageItem item) const override {
    return item == localisation::LanguageItem::mnuGerman;
  }
};

// Counts the pumps of a run and lets a test look at the window then.
class WatchedMerge : public frmMerge {
 public:
  using frmMerge::frmMerge;
  std::function<void(WatchedMerge&)> onPump;
  int pumps = 0;
  void ProcessPendingEvents() override {
    ++pumps;
    if (onPump) onPump(*this);
    frmMerge::ProcessPendingEvents();
  }
};

class MergeWindow : public ::testing::Test {
 protected:
  MergeWindow() {
    fs::create_directories(dir / "lang");
    fs::create_directories(dir / "dest");
    inputs.destination = q(dir / "dest") + "/";
    varnolt::test::writeFile(dir / "os-release", std::string("NAME=\"Windows\"\nVERSION=\"Vista Business\"\n"));
    services.sessions = world.factory();
    services.productKeyFiles = {dir / "os-release"};
  }

  // A source PST with an Inbox of three messages, two of them with
  // attachments.
  void addSourcePst(const std::string& name) {
    const std::string path = (dir / "src" / name).string();
    fs::create_directories(dir / "src");
    auto top = world.addSourcePst(path);
    auto inbox = top->add("Inbox");
    inbox->items.push_back(MessageData::make("one", "plain one", "",
                                             {AttachmentData::value("report one.pdf", "PDF-1"),
                                              AttachmentData::value("photo.jpg", "JPEG")}));
    inbox->items.push_back(MessageData::make("two", "", "<p>two</p>"));
    inbox->items.push_back(
        MessageData::make("three", "plain three", "", {AttachmentData::value("sheet.xlsx", "XLSX")}));
    inputs.list << QString::fromStdString(path);
  }

  void useSatellites(const std::vector<std::string>& codes) {
    for (const auto& code : codes) {
      const std::string name = localisation::SatelliteProgID(code);
      fs::copy_file(varnolt::test::sourceDir() / "lang" / name, dir / "lang" / name,
                    fs::copy_options::overwrite_existing);
    }
  }

  std::unique_ptr<WatchedMerge> makeMerge() {
    auto merge = std::make_unique<WatchedMerge>(inputs, texts, services);
    merge->Load();
    frmMain::PrepareOptionsWindow(*merge);
    return merge;
  }

  std::vector<fs::path> runFolders() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir / "dest")) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
  }

  varnolt::test::TempDir dir;
  ScriptedDialogs dialogs;
  memstore::MemoryWorld world;
  ListInputs inputs;
  RunServices services;
  localisation::SatelliteLocalization texts{nullptr, {dir / "lang"}, localeOf("en_US.UTF-8")};
};

TEST_F(MergeWindow, LoadWithoutSatellitesKeepsTheStoredCaptions) {
  auto merge = makeMerge();
  EXPECT_EQ(merge->windowTitle(), QStringLiteral("Compress PST"));
  EXPECT_EQ(merge->optRemoveAttachments->text(), QStringLiteral("Remove Attachments"));
  EXPECT_EQ(merge->optSaveAttachments->text(), QStringLiteral("Extract && Save Attachments"));
  EXPECT_EQ(merge->optZipAttachments->text(), QStringLiteral("Extract, Save && Compress Attachments"));
  EXPECT_EQ(merge->CmdCompressPSTFiles->text(), QStringLiteral("Compress"));
  EXPECT_EQ(merge->lblCompressframe->text(), QStringLiteral(" Compression Options"));
  EXPECT_EQ(merge->lblPSTName->text(), QStringLiteral("PST File Name :"));
  EXPECT_EQ(merge->lblFolderName->text(), QStringLiteral("Folder Name :"));
  EXPECT_EQ(merge->lblTotalMailCnt->text(), QStringLiteral("Mails # :"));
  EXPECT_EQ(merge->lblNumOfAttachments->text(), QStringLiteral("Attachments # :"));
  EXPECT_EQ(merge->cmdOk->text(), QStringLiteral("OK"));
  EXPECT_EQ(merge->fraProgressReport->title(), QStringLiteral("Progress Report"));
  EXPECT_EQ(merge->CurrentState(), frmMerge::State::Ready);
  EXPECT_FALSE(merge->cmdOk->isVisibleTo(merge.get()));
  // The bar is configured from its stored values.
  EXPECT_EQ(merge->UProgBarCntrl->ForeSpeed(), 30);
  EXPECT_EQ(merge->UProgBarCntrl->BlockSize(), 6);
  EXPECT_EQ(merge->UProgBarCntrl->size(), QSize(441, 17));
  EXPECT_FALSE(merge->UProgBarCntrl->TimerActive());
}

TEST_F(MergeWindow, LoadTakesTheTextsOfTheCheckedLanguage) {
  useSatellites({"407"});
  GermanChecked german;
  texts.SetMenuState(&german);
  auto merge = makeMerge();
  const std::vector<std::pair<std::int32_t, QString>> shown = {
      {116, merge->optRemoveAttachments->text()}, {117, merge->optSaveAttachments->text()},
      {118, merge->optZipAttachments->text()},    {119, merge->CmdCompressPSTFiles->text()},
      {120, merge->lblCompressframe->text()},     {121, merge->windowTitle()},
      {122, merge->lblPSTName->text()},           {123, merge->lblFolderName->text()},
      {124, merge->lblTotalMailCnt->text()},      {125, merge->lblNumOfAttachments->text()},
      {126, merge->cmdOk->text()},                {127, merge->fraProgressReport->title()}};
  for (const auto& [id, text] : shown) EXPECT_EQ(text, satelliteText("407", id)) << "id " << id;
  texts.SetMenuState(nullptr);
}

TEST_F(MergeWindow, ProductNameIsReadInLowerCase) {
  auto merge = makeMerge();
  EXPECT_EQ(merge->strGetOSVersion, "windows vista business");
  EXPECT_TRUE(dialogs.messages().empty());

  services.productKeyFiles = {dir / "no such file"};
  auto unreadable = makeMerge();
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_EQ(dialogs.messages()[0].text, QStringLiteral("Error opening key."));
  EXPECT_EQ(dialogs.messages()[0].title, platform::ApplicationTitle());
  EXPECT_EQ(unreadable->strGetOSVersion, "<error>");
  EXPECT_EQ(unreadable->CurrentState(), frmMerge::State::Ready);  // start-up went on
}

TEST_F(MergeWindow, ReadyRunningFinished) {
  addSourcePst("mail.pst");
  auto merge = makeMerge();
  merge->show();
  merge->optSaveAttachments->setChecked(true);
  int runningPumps = 0;
  bool barSeenOn = false;
  merge->onPump = [&](WatchedMerge& m) {
    if (m.CurrentState() != frmMerge::State::Running) return;
    ++runningPumps;
    EXPECT_FALSE(m.CmdCompressPSTFiles->isVisible());
    EXPECT_FALSE(m.cmdOk->isVisible());
    EXPECT_FALSE(m.optRemoveAttachments->isEnabled());
    EXPECT_TRUE(m.optSaveAttachments->isEnabled());
    EXPECT_FALSE(m.optZipAttachments->isEnabled());
    barSeenOn = barSeenOn || m.UProgBarCntrl->Enabled();
  };
  merge->CmdCompressPSTFiles_Click();
  EXPECT_GT(runningPumps, 3);
  EXPECT_TRUE(barSeenOn);

  EXPECT_EQ(merge->CurrentState(), frmMerge::State::Finished);
  EXPECT_TRUE(merge->cmdOk->isVisible());
  EXPECT_TRUE(merge->cmdOk->isEnabled());
  EXPECT_FALSE(merge->CmdCompressPSTFiles->isVisible());
  EXPECT_FALSE(merge->UProgBarCntrl->Enabled());
  EXPECT_EQ(merge->lblProcessing->text(), QStringLiteral("Compress Successfully!!!"));
  EXPECT_EQ(merge->lblCopy->text(), QString());
  EXPECT_EQ(merge->lblNameOfPSTFile->text(), QStringLiteral("mail.pst"));
  EXPECT_EQ(merge->lblAttachmentCount->text(), QStringLiteral("3"));
  EXPECT_FALSE(merge->cmdFailures->isVisible());
  EXPECT_TRUE(merge->RunFailures().empty());

  // The treatment came from the option button: three files beside the PST.
  const auto folders = runFolders();
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_NO_THROW(memstore::readPstFile((folders[0] / "KestrikCompress.pst").string()));
  int saved = 0;
  for (const auto& e : fs::directory_iterator(folders[0] / "Outlook_Attachments")) saved += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(saved, 3);
  EXPECT_FALSE(fs::exists(folders[0] / "MSG Folder"));
}

TEST_F(MergeWindow, TheBarMovesThroughARunThatSwitchesItOnEveryFewMilliseconds) {
  // Every message has an attachment, and the run switches the bar on for
  // each; the host takes about three milliseconds a step, less than one
  // tick of the bar.
  const std::string path = (dir / "src" / "busy.pst").string();
  fs::create_directories(dir / "src");
  auto inbox = world.addSourcePst(path)->add("Inbox");
  for (int i = 0; i < 120; ++i) {
    inbox->items.push_back(MessageData::make("m" + std::to_string(i), "plain", "",
                                             {AttachmentData::value("a" + std::to_string(i) + ".txt", "x")}));
  }
  inputs.list << QString::fromStdString(path);
  auto merge = makeMerge();
  merge->show();

  std::set<std::tuple<int, int, bool>> positions;
  int pumpsWithBand = 0, pumpsWhileOn = 0;
  merge->onPump = [&](WatchedMerge& m) {
    QThread::msleep(3);
    const controls::UPB& bar = *m.UProgBarCntrl;
    if (!bar.Enabled()) return;
    ++pumpsWhileOn;
    pumpsWithBand += bar.ShowsBand() ? 1 : 0;
    positions.insert({bar.LeadPos(), bar.TrailPos(), bar.Returning()});
  };
  merge->CmdCompressPSTFiles_Click();
  ASSERT_GT(pumpsWhileOn, 200);
  // Hundreds of milliseconds of work: the band went through many steps and
  // was on screen nearly all the time.
  EXPECT_GE(positions.size(), 15u);
  EXPECT_GE(pumpsWithBand, pumpsWhileOn * 3 / 4);
  EXPECT_TRUE(merge->RunFailures().empty());
}

TEST_F(MergeWindow, EveryPstStartsWithFreshLabels) {
  addSourcePst("mail.pst");  // three attachments
  const std::string plain = (dir / "src" / "plain.pst").string();
  world.addSourcePst(plain)->add("Notes")->items.push_back(MessageData::make("no attachment", "text"));
  inputs.list << QString::fromStdString(plain);
  auto merge = makeMerge();
  merge->show();
  merge->optSaveAttachments->setChecked(true);
  int pumpsInPlain = 0;
  merge->onPump = [&](WatchedMerge& m) {
    if (m.lblNameOfPSTFile->text() != QLatin1String("plain.pst")) return;
    ++pumpsInPlain;
    EXPECT_EQ(m.lblAttachmentCount->text(), QString());
    EXPECT_FALSE(m.lblCopy->text().startsWith(QLatin1String("Saving"))) << m.lblCopy->text().toStdString();
    EXPECT_NE(m.lblNameOfPSTFolder->text(), QLatin1String("Inbox"));
    EXPECT_FALSE(m.lblNumOfMails->text().endsWith(QLatin1String("/3)")));
  };
  merge->CmdCompressPSTFiles_Click();
  EXPECT_GT(pumpsInPlain, 1);
  EXPECT_EQ(merge->lblAttachmentCount->text(), QString());
  EXPECT_EQ(merge->lblNameOfPSTFolder->text(), QStringLiteral("Notes"));
  EXPECT_EQ(merge->lblNumOfMails->text(), QStringLiteral("(1/1)"));
  EXPECT_EQ(merge->lblCopy->text(), QString());
  EXPECT_EQ(merge->lblProcessing->text(), QStringLiteral("Compress Successfully!!!"));
}

TEST_F(MergeWindow, NamesFromTheMailAreShownAsTheyAre) {
  auto merge = makeMerge();
  merge->SetLabel(engine::Label::lblNameOfPSTFolder, "<b>Inbox</b> & <a href=x>more</a>");
  EXPECT_EQ(merge->lblNameOfPSTFolder->text(), QStringLiteral("<b>Inbox</b> & <a href=x>more</a>"));
  for (QLabel* label : {merge->lblNameOfPSTFile, merge->lblNameOfPSTFolder, merge->lblNumOfMails, merge->lblCopy,
                        merge->lblProcessing, merge->lblAttachmentCount}) {
    EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
  }
}

TEST_F(MergeWindow, ResultsPerPstAndFailedStepsAsACopyableTable) {
  addSourcePst("mail.pst");
  inputs.list << q(dir / "src" / "gone.pst");  // listed, then deleted
  world.inject({"ReadContent", "photo.jpg", 0, -1, memstore::FailureMode::Throw});
  auto merge = makeMerge();
  merge->show();
  merge->optZipAttachments->setChecked(true);
  merge->CmdCompressPSTFiles_Click();
  EXPECT_EQ(merge->CurrentState(), frmMerge::State::Finished);
  ASSERT_FALSE(merge->RunFailures().empty());
  EXPECT_NE(merge->lblProcessing->text(), QStringLiteral("Compress Successfully!!!"));
  EXPECT_TRUE(merge->cmdFailures->isVisible());
  EXPECT_TRUE(merge->cmdResults->isVisible());

  merge->cmdFailures->click();
  frmRunReport* report = merge->RunReport();
  ASSERT_NE(report, nullptr);
  EXPECT_TRUE(report->isVisible());
  EXPECT_TRUE(dialogs.messages().empty());

  // One row per listed PST: its run folder and what became of it.
  ASSERT_EQ(report->lstResults->rowCount(), 2);
  const auto cell = [](QTableWidget* t, int r, int c) { return t->item(r, c)->text(); };
  EXPECT_EQ(cell(report->lstResults, 0, 0), inputs.list[0]);
  const auto folders = runFolders();
  ASSERT_FALSE(folders.empty());
  EXPECT_EQ(cell(report->lstResults, 0, 1), q(folders[0]));
  EXPECT_EQ(cell(report->lstResults, 0, 2), QStringLiteral("3 / 3"));
  EXPECT_EQ(cell(report->lstResults, 0, 3), QStringLiteral("2"));  // the photo stayed
  const std::size_t firstFailures = merge->RunOutcomes().at(0).failureCount;
  EXPECT_EQ(cell(report->lstResults, 0, 4), QString::number(firstFailures));
  EXPECT_EQ(cell(report->lstResults, 1, 0), inputs.list[1]);
  EXPECT_NE(cell(report->lstResults, 1, 4), QStringLiteral("0"));

  QStringList opened;
  frmRunReport::SetFolderOpener([&](const QString& folder) {
    opened << folder;
    return true;
  });
  report->lstResults->selectRow(0);
  ASSERT_TRUE(report->cmdOpenFolder->isEnabled());
  report->cmdOpenFolder->click();
  EXPECT_EQ(opened, QStringList{q(folders[0])});
  frmRunReport::SetFolderOpener(nullptr);

  // Where the run folder's report of every attachment is.
  ASSERT_NE(report->lblReport, nullptr);
  EXPECT_TRUE(report->lblReport->text().contains(q(folders[0]) + QStringLiteral("/Varnolt_Report.csv")))
      << report->lblReport->text().toStdString();

  // The failed steps: one row each, the six parts in their own columns.
  const auto& failures = merge->RunFailures().list();
  ASSERT_EQ(report->lstFailures->rowCount(), static_cast<int>(failures.size()));
  ASSERT_EQ(report->lstFailures->columnCount(), 6);
  int photoRow = -1;
  for (int r = 0; r < report->lstFailures->rowCount(); ++r) {
    const auto& f = failures[static_cast<std::size_t>(r)];
    EXPECT_EQ(cell(report->lstFailures, r, 0), QString::fromStdString(f.pst));
    EXPECT_EQ(cell(report->lstFailures, r, 4), QString::fromStdString(f.operation));
    EXPECT_EQ(cell(report->lstFailures, r, 5), QString::fromStdString(f.reason));
    if (cell(report->lstFailures, r, 3) == QLatin1String("photo.jpg")) photoRow = r;
  }
  ASSERT_GE(photoRow, 0);
  EXPECT_EQ(cell(report->lstFailures, photoRow, 1), QStringLiteral("/Inbox"));
  EXPECT_EQ(cell(report->lstFailures, photoRow, 4), QStringLiteral("ReadContent"));

  // Copy: a header line, then every step as tab-separated cells; with rows
  // selected, Ctrl+C in the table takes those rows whole.
  report->cmdCopy->click();
  const QStringList lines = QApplication::clipboard()->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), static_cast<qsizetype>(failures.size()) + 1);
  EXPECT_EQ(lines[0], QStringLiteral("PST file\tFolder\tMessage\tAttachment\tStep\tReason"));
  for (const QString& line : lines) EXPECT_EQ(line.count(QLatin1Char('\t')), 5) << line.toStdString();
  report->lstFailures->setFocus();
  report->lstFailures->selectRow(photoRow);
  QTest::keyClick(report->lstFailures, Qt::Key_C, Qt::ControlModifier);
  const QStringList copied = QApplication::clipboard()->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(copied.size(), 2);
  EXPECT_TRUE(copied[1].contains(QLatin1String("\tphoto.jpg\tReadContent\t")));

  // Return presses OK, also from inside the table.
  int finishedWith = -1;
  QObject::connect(report, &QDialog::finished, [&](int result) { finishedWith = result; });
  QTest::keyClick(report->lstFailures, Qt::Key_Return);
  EXPECT_EQ(finishedWith, QDialog::Accepted);
}

TEST_F(MergeWindow, OkClosesTheModalWindowAndEscapeDoesNot) {
  addSourcePst("mail.pst");
  auto merge = makeMerge();
  bool escapeIgnored = false;
  QTimer::singleShot(0, [&] {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(merge.get(), &escape);
    escapeIgnored = merge->isVisible();
    merge->CmdCompressPSTFiles_Click();
    merge->cmdOk->click();
  });
  EXPECT_EQ(merge->exec(), QDialog::Accepted);
  EXPECT_TRUE(escapeIgnored);
  EXPECT_FALSE(merge->isVisible());
}

// A close request ends the program; a death test watches it from outside.
class MergeWindowDeath : public MergeWindow {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  // The child ends without cleaning up: remove the scratch folder it named.
  void removeChildScratch(const std::string& childOutput) {
    const auto at = childOutput.find("scratch=");
    if (at == std::string::npos) return;
    const auto end = childOutput.find('\n', at);
    const fs::path scratch = childOutput.substr(at + 8, end == std::string::npos ? std::string::npos : end - at - 8);
    if (scratch.parent_path() == dir.path().parent_path() && scratch != dir.path()) fs::remove_all(scratch);
  }
};

TEST_F(MergeWindowDeath, CloseBoxInTheReadyStateEndsTheProgram) {
  std::string childOutput;
  EXPECT_EXIT(
      {
        std::fprintf(stderr, "scratch=%s\n", dir.path().c_str());
        auto merge = makeMerge();
        merge->show();
        merge->close();
        std::fprintf(stderr, "still running\n");
        std::abort();
      },
      ::testing::ExitedWithCode(0), ::testing::Truly([&](const std::string& err) {
        childOutput = err;
        return err.find("still running") == std::string::npos;
      }));
  removeChildScratch(childOutput);
}

TEST_F(MergeWindowDeath, CloseRequestDuringARunClearsTheUnfinishedPstThenEndsTheProgram) {
  // The child process runs this test again up to the death statement; it
  // writes its run into the parent's folder, named in the environment, and
  // names its own scratch folder on stderr so the parent can remove it.
  if (std::getenv("VARNOLT_TEST_DEST") == nullptr) ::setenv("VARNOLT_TEST_DEST", (dir / "dest").c_str(), 1);
  std::string childOutput;
  EXPECT_EXIT(
      {
        std::fprintf(stderr, "scratch=%s\n", dir.path().c_str());
        inputs.destination = QString::fromLocal8Bit(std::getenv("VARNOLT_TEST_DEST")) + "/";
        addSourcePst("mail.pst");
        addSourcePst("never.pst");
        auto merge = makeMerge();
        merge->show();
        merge->optSaveAttachments->setChecked(true);
        // Closed once while the walk copies the Inbox's first message,
        // which has two attachments (a second close would not wait).
        merge->onPump = [closed = false](WatchedMerge& m) mutable {
          if (closed || m.lblNumOfMails->text().isEmpty()) return;
          closed = true;
          m.close();
        };
        merge->CmdCompressPSTFiles_Click();
        std::fprintf(stderr, "the run went on after the close request\n");
        std::abort();
      },
      ::testing::ExitedWithCode(0), ::testing::Truly([&](const std::string& err) {
        childOutput = err;
        return err.find("went on") == std::string::npos && err.find("the run was stopped") != std::string::npos;
      }));
  ::unsetenv("VARNOLT_TEST_DEST");
  removeChildScratch(childOutput);
  // The message under way was finished and the run stopped there: its two
  // saved attachments stay with the report that says where they came from,
  // nothing else does, and the next PST was never begun.
  const auto folders = runFolders();
  ASSERT_EQ(folders.size(), 1u);
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(folders[0])) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_THAT(left, ::testing::ElementsAre("Outlook_Attachments", "Varnolt_Manifest.jsonl", "Varnolt_Report.csv"));
  std::size_t saved = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(folders[0] / "Outlook_Attachments")) ++saved;
  EXPECT_EQ(saved, 2u);
}

}  // namespace
}  // namespace varnolt::windows::test
