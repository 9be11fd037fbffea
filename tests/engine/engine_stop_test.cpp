// PSTs that cannot be finished: a destination that fills up or clearly has
// too little room, a run the user stops, a source that cannot be opened.
// None of them may leave a new PST (finished or not) or scratch files
// behind; the attachments already saved stay, and the account says so.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/engine/engine_fixtures.h"

namespace varnolt::test::enginefx {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kFirstRun = "Varnolt_07-12-2026_09-05-03";
const std::string kSecondRun = "Varnolt_07-12-2026_09-05-04";

// A mail folder of count messages, each with one attachment.
void fillInbox(const std::shared_ptr<FolderData>& top, int count) {
  auto inbox = top->add("Inbox");
  for (int i = 1; i <= count; ++i) {
    const std::string n = std::to_string(i);
    inbox->items.push_back(MessageData::make("m" + n, "body " + n, "", {AttachmentData::value("a" + n + ".txt", n)}));
  }
}

TEST_F(EngineTest, AFullDestinationStopsThatPstOnceAndTheNextPstIsStillDone) {
  host.treatment = AttachmentTreatment::Extract;
  fillInbox(addPst("big.pst"), 6);
  addPst("small.pst")->add("Inbox")->items.push_back(MessageData::make("kept"));
  // The third attachment finds the file system full; so would everything
  // after it.
  world.inject({"SaveAsFile", "", 2, -1, memstore::FailureMode::DiskFull});
  run();

  // One failure line for the PST, saying the destination is full.
  ASSERT_EQ(engine().failures().count(), 1u);
  const auto& failure = engine().failures().list()[0];
  EXPECT_EQ(failure.pst, host.pstList[0]);
  EXPECT_EQ(failure.operation, "SaveAsFile");
  EXPECT_THAT(failure.reason, HasSubstr("the destination is full"));
  // It stopped at once: no later message was even written out.
  EXPECT_EQ(world.subjectsOf("SaveToFile").size(), 3u + 1u);  // three of big.pst, one of small.pst
  // No new PST, finished or not, and no scratch files; the two attachments
  // saved before stay and are counted, with the report that says where
  // they came from.
  EXPECT_THAT(filesIn(host.destination + kFirstRun),
              ElementsAre("Outlook_Attachments", "Varnolt_Manifest.jsonl", "Varnolt_Report.csv"));
  EXPECT_EQ(filesIn(attachmentFolder(kFirstRun)).size(), 2u);
  EXPECT_EQ(world.pst(host.destination + kFirstRun + "/KestrikCompress.pst")->discards, 1);
  const auto& outcome = engine().outcomes().at(0);
  EXPECT_EQ(outcome.stopped, engine::PstStop::DestinationFull);
  EXPECT_EQ(outcome.attachmentFilesKept, 2);
  EXPECT_EQ(outcome.failureCount, 1u);

  // The next PST is tried, and done.
  EXPECT_EQ(engine().outcomes().at(1).stopped, engine::PstStop::None);
  EXPECT_EQ(output(kSecondRun)->child("Inbox")->items.at(0)->subject, "kept");
  EXPECT_EQ(host.labels[Label::lblProcessing], "Compress finished with errors");
}

TEST_F(EngineTest, ADestinationThatFillsAsTheNewPstIsFinishedLeavesNothing) {
  fillInbox(addPst("a.pst"), 2);
  world.inject({"Close", "KestrikCompress", 0, -1, memstore::FailureMode::DiskFull});
  run();
  ASSERT_EQ(engine().failures().count(), 1u);
  EXPECT_EQ(engine().failures().list()[0].operation, "finish the new PST");
  EXPECT_THAT(engine().failures().list()[0].reason, HasSubstr("the destination is full"));
  EXPECT_EQ(engine().outcomes().at(0).stopped, engine::PstStop::DestinationFull);
  EXPECT_EQ(engine().outcomes().at(0).runFolder, "");
  EXPECT_TRUE(filesIn(host.destination).empty());
}

TEST_F(EngineTest, APstTheDestinationClearlyHasNoRoomForIsNotStarted) {
  host.treatment = AttachmentTreatment::Extract;
  addPst("huge.pst")->add("Inbox")->items.push_back(MessageData::make("never"));
  addPst("small.pst")->add("Inbox")->items.push_back(MessageData::make("kept"));
  // A sparse source larger than all the room the destination has.
  const auto free = engine::FreeSpace(host.destination);
  ASSERT_TRUE(free);
  if (*free > (std::uintmax_t{8} << 40)) GTEST_SKIP() << "more free space than a sparse file here can outgrow";
  std::error_code grown;
  fs::resize_file(host.pstList[0], *free + (std::uintmax_t{1} << 30), grown);
  // Windows makes a file that long only with room for it, sparse or not.
  if (grown) GTEST_SKIP() << "this file system makes no sparse file larger than its free space: " << grown.message();
  run();

  ASSERT_EQ(engine().failures().count(), 1u);
  EXPECT_EQ(engine().failures().list()[0].operation, "check the free space at the destination");
  EXPECT_THAT(engine().failures().list()[0].reason, HasSubstr("too little free space"));
  EXPECT_EQ(engine().outcomes().at(0).stopped, engine::PstStop::TooLittleSpace);
  EXPECT_EQ(engine().outcomes().at(0).runFolder, "");
  // Nothing of it was opened or made.
  EXPECT_THAT(world.subjectsOf("AttachPstFile"), ::testing::Not(::testing::Contains(host.pstList[0])));
  EXPECT_THAT(filesIn(host.destination), ElementsAre(kFirstRun));
  EXPECT_EQ(output(kFirstRun)->child("Inbox")->items.at(0)->subject, "kept");
}

TEST(RunHelpers, SpaceNeededFreeSpaceAndNoSpaceErrors) {
  // Saving needs about the source's size, removing a tenth of it, and
  // never less than an empty PST.
  EXPECT_EQ(engine::SpaceNeeded(100u << 20, AttachmentTreatment::Extract), 100u << 20);
  EXPECT_EQ(engine::SpaceNeeded(100u << 20, AttachmentTreatment::Remove), 10u << 20);
  EXPECT_EQ(engine::SpaceNeeded(1000, AttachmentTreatment::Remove), 271360u);
  // A real file system has a known room; a pseudo one (no capacity) does
  // not, so nothing is refused for it.
  TempDir tmp;
  EXPECT_TRUE(engine::FreeSpace(tmp.path().string()));
#ifndef _WIN32  // under Wine, Linux's /proc is a folder of drive Z: with a size
  if (fs::is_directory("/proc/sys")) {
    EXPECT_FALSE(engine::FreeSpace("/proc/sys"));
  }
#endif
  EXPECT_TRUE(engine::IsNoSpace(std::make_error_code(std::errc::no_space_on_device)));
#ifdef EDQUOT
  EXPECT_TRUE(engine::IsNoSpace(std::error_code(EDQUOT, std::system_category())));
#endif
  EXPECT_FALSE(engine::IsNoSpace(std::make_error_code(std::errc::permission_denied)));
}

TEST_F(EngineTest, AStopRequestEndsTheRunAtTheNextMessageAndClearsTheUnfinishedPst) {
  host.treatment = AttachmentTreatment::Extract;
  fillInbox(addPst("a.pst"), 5);
  addPst("b.pst")->add("Inbox")->items.push_back(MessageData::make("never"));
  // As a signal or the window's close box would, while the second message
  // is being treated.
  host.onPump = [&] {
    if (engine().pstMessageSerial == 2) engine().RequestStop();
  };
  run();

  // The message under way was finished; none after it was begun.
  EXPECT_EQ(world.subjectsOf("SaveToFile").size(), 2u);
  EXPECT_EQ(engine().outcomes().size(), 1u);
  EXPECT_THAT(world.subjectsOf("AttachPstFile"), ::testing::Not(::testing::Contains(host.pstList[1])));
  // The attachments saved stay, with the report that says where they
  // came from; nothing else is left.
  EXPECT_THAT(filesIn(host.destination), ElementsAre(kFirstRun));
  EXPECT_THAT(filesIn(host.destination + kFirstRun),
              ElementsAre("Outlook_Attachments", "Varnolt_Manifest.jsonl", "Varnolt_Report.csv"));
  EXPECT_EQ(filesIn(attachmentFolder(kFirstRun)).size(), 2u);
  EXPECT_EQ(engine().outcomes()[0].stopped, engine::PstStop::Interrupted);
  EXPECT_EQ(engine().outcomes()[0].attachmentFilesKept, 2);
  EXPECT_TRUE(engine().failures().empty());
  EXPECT_EQ(host.labels[Label::lblProcessing], "Compress interrupted");
  EXPECT_TRUE(host.okVisible);
  EXPECT_FALSE(host.progressBar);
}

TEST_F(EngineTest, AStoppedRemoveRunLeavesNoRunFolderAtAll) {
  fillInbox(addPst("a.pst"), 3);
  host.onPump = [&] { engine().RequestStop(); };
  run();
  EXPECT_TRUE(filesIn(host.destination).empty());
  EXPECT_EQ(engine().outcomes().at(0).runFolder, "");
}

TEST_F(EngineTest, ASourceThatCannotBeOpenedGetsNoNewPstAndNoRunFolder) {
  addPst("broken.pst");
  world.inject({"AttachPstFile", "broken.pst"});
  addPst("good.pst")->add("Inbox")->items.push_back(MessageData::make("kept"));
  run();

  ASSERT_EQ(engine().failures().count(), 1u);
  EXPECT_EQ(engine().failures().list()[0].operation, "AttachPstFile (source)");
  EXPECT_THAT(world.subjectsOf("AttachPstFile"), ::testing::Not(::testing::Contains(HasSubstr(kFirstRun))));
  EXPECT_EQ(engine().outcomes().at(0).runFolder, "");
  EXPECT_THAT(filesIn(host.destination), ElementsAre(kSecondRun));
  EXPECT_EQ(output(kSecondRun)->child("Inbox")->items.at(0)->subject, "kept");
}

}  // namespace
}  // namespace varnolt::test::enginefx
