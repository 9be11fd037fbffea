// The compression run and the folder walk against the in-memory store:
// run folders, the state of the options window, the Outlook note, the
// walk's order, labels and scratch files, and the end of a run with and
// without failures.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/engine/engine_fixtures.h"

namespace varnolt::test::enginefx {
namespace {

using ::testing::ElementsAre;

const std::string kRunAt = "Varnolt_07-12-2026_09-05-03";

TEST_F(EngineTest, EmptyListStillLogsOnAndEndsFinished) {
  run();
  EXPECT_EQ(world.sessionsCreated, 1);
  EXPECT_EQ(world.subjectsOf("LogOnDefault").size(), 1u);
  EXPECT_TRUE(world.subjectsOf("AttachPstFile").empty());
  EXPECT_TRUE(host.messageBoxes.empty());  // version 11 needs no note
  EXPECT_EQ(host.labels[Label::lblCopy], "");
  EXPECT_EQ(host.labels[Label::lblProcessing], "Compress Successfully!!!");
  EXPECT_FALSE(host.compressEnabled);
  EXPECT_FALSE(host.compressVisible);
  EXPECT_TRUE(host.okVisible);
  EXPECT_TRUE(host.okEnabled);
  EXPECT_FALSE(host.progressBar);
  EXPECT_TRUE(engine().failures().empty());
  EXPECT_TRUE(filesIn(host.destination).empty());
}

TEST_F(EngineTest, OnlyTheSelectedOptionStaysEnabled) {
  host.treatment = AttachmentTreatment::Extract;
  run();
  EXPECT_FALSE(host.optionEnabled[AttachmentTreatment::Remove]);
  EXPECT_TRUE(host.optionEnabled[AttachmentTreatment::Extract]);
  EXPECT_FALSE(host.optionEnabled[AttachmentTreatment::ExtractZip]);
}

TEST_F(EngineTest, LocalizedCompletionTexts) {
  host.languageAvailable = true;
  host.texts = {{137, "Erfolgreich komprimiert"}, {138, "Fertig"}};
  run();
  EXPECT_EQ(host.labels[Label::lblCopy], "Fertig");
  EXPECT_EQ(host.labels[Label::lblProcessing], "Erfolgreich komprimiert");
}

TEST_F(EngineTest, OutlookNoteForOldOrUnknownVersions) {
  const std::string note =
      "Note for Outlook 2000 Users : Please change the Email Service option by :\r\n clicking on Tools "
      "->Options->(select)Mail Services Tab ->(click)Reconfigure Mail Support-> (select)Corporate/Workgroup option";
  struct Case {
    std::string version;
    bool note;
  };
  for (const Case& c : {Case{"9.0.0.2711", true}, Case{"10.0.6626", true}, Case{"11.0.8118", false},
                        Case{"12.0.4518", false}, Case{"x1.0", true}}) {
    memstore::MemoryWorld w;
    w.outlookVersion = c.version;
    FakeHost h;
    h.destination = host.destination;
    engine::CompressionEngine e(h, h, w.factory(), productName, clock);
    e.CompressionRun();
    if (c.note) {
      ASSERT_EQ(h.messageBoxes.size(), 1u) << c.version;
      EXPECT_EQ(h.messageBoxes[0].first, note);
      EXPECT_EQ(h.messageBoxes[0].second, "Varnolt");
    } else {
      EXPECT_TRUE(h.messageBoxes.empty()) << c.version;
    }
  }
  // A version that cannot be read shows the note too, and the run says a
  // step failed.
  world.inject({"OutlookVersion", ""});
  run();
  EXPECT_EQ(host.messageBoxes.size(), 1u);
  EXPECT_EQ(engine().failures().count(), 1u);
}

TEST_F(EngineTest, RunFolderHoldsTheFinishedPstAndNoScratchFolder) {
  clock.now = {2026, 2, 3, 9, 5, 7};
  auto top = addPst("mail.pst");
  top->add("Inbox")->items.push_back(MessageData::make("hello", "body"));
  run();

  const std::string runFolder = "Varnolt_03-02-2026_09-05-07";
  EXPECT_THAT(filesIn(host.destination), ElementsAre(runFolder));
  EXPECT_THAT(filesIn(host.destination + runFolder),
              ElementsAre("KestrikCompress.pst", "Varnolt_Manifest.jsonl", "Varnolt_Report.csv"));
  auto pst = world.pst(host.destination + runFolder + "/KestrikCompress.pst");
  ASSERT_TRUE(pst);
  EXPECT_EQ(pst->displayName, "KestrikCompress PST");
  EXPECT_EQ(pst->closes, 1);
  // The file on disk is complete once the run is over.
  auto out = output(runFolder);
  ASSERT_EQ(out->subfolders.size(), 1u);
  EXPECT_EQ(out->subfolders[0]->name, "Inbox");
  ASSERT_EQ(out->subfolders[0]->items.size(), 1u);
  EXPECT_EQ(out->subfolders[0]->items[0]->body, "body");
  EXPECT_EQ(host.labels[Label::lblNameOfPSTFile], "mail.pst");
  EXPECT_TRUE(engine().failures().empty());
}

TEST_F(EngineTest, PstsStartedInTheSameSecondGetRunFoldersOfTheirOwn) {
  addPst("a.pst")->add("Inbox")->items.push_back(MessageData::make("from a"));
  addPst("b.pst")->add("Inbox")->items.push_back(MessageData::make("from b"));
  run();
  EXPECT_THAT(filesIn(host.destination), ElementsAre(kRunAt, "Varnolt_07-12-2026_09-05-04"));
  EXPECT_GT(clock.sleeps, 0);
  EXPECT_EQ(output(kRunAt)->subfolders[0]->items[0]->subject, "from a");
  EXPECT_EQ(output("Varnolt_07-12-2026_09-05-04")->subfolders[0]->items[0]->subject, "from b");
  EXPECT_TRUE(engine().failures().empty());
}

TEST_F(EngineTest, ExistingRunFolderIsReusedButAFinishedPstIsNeverReopened) {
  fs::create_directory(host.destination + kRunAt);
  addPst("a.pst");
  run();
  EXPECT_THAT(filesIn(host.destination), ElementsAre(kRunAt));

  // A second run in the same second must not empty the first run's PST.
  FakeHost again;
  again.destination = host.destination;
  again.pstList = host.pstList;
  engine::CompressionEngine second(again, again, world.factory(), productName, clock);
  second.CompressionRun();
  EXPECT_THAT(filesIn(host.destination), ElementsAre(kRunAt, "Varnolt_07-12-2026_09-05-04"));
  EXPECT_TRUE(second.failures().empty());
}

TEST_F(EngineTest, DestinationIsEmptiedAndEachStoreFinishedBeforeTheNextPst) {
  world.newPstFolders = {"Deleted Items", "Inbox"};
  auto first = addPst("a.pst");
  first->add("Inbox")->items.push_back(MessageData::make("copied"));
  addPst("b.pst")->add("Inbox");
  run();
  const std::string destA = host.destination + kRunAt + "/KestrikCompress.pst";
  const std::string sourceB = host.pstList[1];
  auto closeA = std::find(world.calls.begin(), world.calls.end(), "Close " + destA);
  auto attachB = std::find(world.calls.begin(), world.calls.end(), "AttachPstFile " + sourceB);
  ASSERT_NE(closeA, world.calls.end());
  ASSERT_NE(attachB, world.calls.end());
  EXPECT_LT(closeA, attachB);
  // The new PST's own folders went before the copy came in.
  EXPECT_THAT(world.subjectsOf("RemoveFolder"), ElementsAre("Deleted Items", "Inbox", "Deleted Items", "Inbox"));
  auto out = output(kRunAt);
  ASSERT_EQ(out->subfolders.size(), 1u);
  EXPECT_EQ(out->subfolders[0]->items.at(0)->subject, "copied");
  EXPECT_TRUE(engine().failures().empty());
  // Source first, then destination, as the store expects.
  EXPECT_THAT(world.subjectsOf("AttachPstFile"),
              ElementsAre(host.pstList[0], destA, sourceB,
                          host.destination + "Varnolt_07-12-2026_09-05-04/KestrikCompress.pst"));
}

// Each new PST keeps the settings (password, special and receive folders)
// of its own source, asked once, before the store is finished; a source
// that is not there has none to give.
TEST_F(EngineTest, EachNewPstKeepsTheSettingsOfItsOwnSource) {
  addPst("a.pst")->add("Inbox");
  addPst("b.pst")->add("Inbox");
  host.pstList.push_back(host.destination + "gone.pst");
  run();
  const auto destinations = world.subjectsOf("KeepSettingsOf");
  ASSERT_EQ(destinations.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(world.pst(destinations[i])->settingsFrom, host.pstList[i]);
    auto kept = std::find(world.calls.begin(), world.calls.end(), "KeepSettingsOf " + destinations[i]);
    auto closed = std::find(world.calls.begin(), world.calls.end(), "Close " + destinations[i]);
    EXPECT_LT(kept, closed);
  }
}

TEST_F(EngineTest, WalkOrderLabelsAndScratchFilesAcrossFolders) {
  auto top = addPst("mail.pst");
  // Messages of the top folder itself come first, treated like any other.
  top->items.push_back(MessageData::make("in the top folder", "", "", {AttachmentData::value("a.txt", "a")}));
  auto first = top->add("First");
  for (int i = 1; i <= 3; ++i) first->items.push_back(MessageData::make("f" + std::to_string(i)));
  auto empty = first->add("Empty");
  empty->add("Below empty")->items.push_back(MessageData::make("deep"));
  auto second = top->add("Second");
  for (int i = 1; i <= 2; ++i) second->items.push_back(MessageData::make("s" + std::to_string(i)));
  run();

  EXPECT_THAT(host.labelHistory(Label::lblNumOfMails),
              ElementsAre("(1/1)", "(1/3)", "(2/3)", "(3/3)", "(1/1)", "(1/2)", "(2/2)"));
  EXPECT_THAT(host.labelHistory(Label::lblNameOfPSTFolder),
              ElementsAre("Top of Personal Folders", "First", "Empty", "Below empty", "Second"));
  const std::string scratch = host.destination + kRunAt + "/MSG Folder/";
  EXPECT_THAT(world.subjectsOf("SaveToFile"),
              ElementsAre("in the top folder " + scratch + "1.msg", "f1 " + scratch + "2.msg", "f2 " + scratch + "3.msg",
                          "f3 " + scratch + "4.msg", "deep " + scratch + "5.msg", "s1 " + scratch + "6.msg",
                          "s2 " + scratch + "7.msg"));
  EXPECT_EQ(engine().pstMessageSerial, 7);
  EXPECT_FALSE(fs::exists(host.destination + kRunAt + "/MSG Folder"));
  // Remove makes no attachment folder.
  EXPECT_FALSE(fs::exists(attachmentFolder(kRunAt)));

  auto out = output(kRunAt);
  ASSERT_EQ(out->items.size(), 1u);
  EXPECT_EQ(out->items[0]->subject, "in the top folder");
  EXPECT_TRUE(out->items[0]->attachments.empty());
  ASSERT_EQ(out->subfolders.size(), 2u);
  EXPECT_EQ(out->child("First")->items.size(), 3u);
  EXPECT_EQ(out->child("First")->items[2]->subject, "f3");
  auto copiedEmpty = out->child("First")->child("Empty");
  ASSERT_TRUE(copiedEmpty);
  EXPECT_TRUE(copiedEmpty->items.empty());
  EXPECT_EQ(copiedEmpty->child("Below empty")->items.at(0)->subject, "deep");
  EXPECT_EQ(out->child("Second")->items.size(), 2u);
  const auto& outcome = engine().outcomes().at(0);
  EXPECT_EQ(outcome.messagesInSource, 7);
  EXPECT_EQ(outcome.messagesCopied, 7);
  EXPECT_EQ(outcome.attachmentsRemoved, 1);
}

// Every mail folder, the top one included, takes its source's hidden items
// (untreated: their attachments stay) and properties; folders copied whole
// bring theirs along. Every message of the source is accounted for, also
// those of a folder that could not be made.
TEST_F(EngineTest, MailFoldersKeepHiddenItemsAndPropertiesAndEveryMessageIsCounted) {
  host.treatment = AttachmentTreatment::Extract;
  auto top = addPst("mail.pst");
  top->hidden.push_back(MessageData::make("top view"));
  auto inbox = top->add("Inbox");
  inbox->items.push_back(MessageData::make("hello"));
  inbox->hidden.push_back(
      MessageData::make("IPM.RuleOrganizer", "", "", {AttachmentData::value("rules.dat", "rule bytes")}));
  inbox->hidden.push_back(MessageData::make("IPM.ExtendedRule.Message"));
  inbox->properties = {{"comment", "my mail"}, {"container class", "IPF.Note"}};
  auto calendar = top->add("Calendar", 1);
  calendar->items.push_back(MessageData::make("meeting"));
  calendar->add("Holidays", 1)->items.push_back(MessageData::make("holiday"));
  calendar->hidden.push_back(MessageData::make("calendar view"));
  auto lost = top->add("Lost");
  lost->items.push_back(MessageData::make("l1"));
  lost->add("Lost below")->items.push_back(MessageData::make("l2"));
  world.inject({"AddSubfolder", "Lost"});
  run();

  auto out = output(kRunAt);
  ASSERT_EQ(out->hidden.size(), 1u);
  EXPECT_EQ(out->hidden[0]->subject, "top view");
  auto copiedInbox = out->child("Inbox");
  ASSERT_TRUE(copiedInbox);
  ASSERT_EQ(copiedInbox->hidden.size(), 2u);
  EXPECT_EQ(copiedInbox->hidden[0]->subject, "IPM.RuleOrganizer");
  ASSERT_EQ(copiedInbox->hidden[0]->attachments.size(), 1u);
  EXPECT_EQ(copiedInbox->hidden[0]->attachments[0]->content, "rule bytes");
  EXPECT_EQ(copiedInbox->hidden[1]->subject, "IPM.ExtendedRule.Message");
  EXPECT_EQ(copiedInbox->properties, inbox->properties);
  EXPECT_EQ(out->child("Calendar")->hidden.size(), 1u);
  // Only the folders the walk made anew are given their settings.
  EXPECT_THAT(world.subjectsOf("CopySettingsInto"), ElementsAre("Top of Personal Folders", "Inbox"));
  EXPECT_TRUE(filesIn(attachmentFolder(kRunAt)).empty());

  const auto& outcome = engine().outcomes().at(0);
  EXPECT_EQ(outcome.messagesInSource, 5);  // hello, meeting, holiday, l1, l2
  EXPECT_EQ(outcome.messagesCopied, 1);
  EXPECT_EQ(outcome.messagesCopiedWhole, 2);
  ASSERT_EQ(engine().failures().count(), 1u);
  EXPECT_EQ(engine().failures().list()[0].operation, "AddSubfolder");
}

// Settings that cannot be copied are a failure of their own; the folder's
// messages are copied all the same.
TEST_F(EngineTest, SettingsThatFailLeaveTheMessagesCopied) {
  auto top = addPst("mail.pst");
  auto inbox = top->add("Inbox");
  inbox->items.push_back(MessageData::make("hello"));
  world.inject({"CopySettingsInto", "Inbox"});
  run();
  ASSERT_EQ(engine().failures().count(), 1u);
  EXPECT_EQ(engine().failures().list()[0].folder, "/Inbox");
  EXPECT_EQ(engine().failures().list()[0].operation, "copy the folder's hidden items and properties");
  EXPECT_EQ(output(kRunAt)->child("Inbox")->items.size(), 1u);
}

TEST_F(EngineTest, NonMailFoldersAreCopiedWholeAndUntreated) {
  host.treatment = AttachmentTreatment::Extract;
  auto top = addPst("mail.pst");
  auto calendar = top->add("Calendar", 1);
  calendar->items.push_back(
      MessageData::make("meeting", "agenda", "", {AttachmentData::value("minutes.doc", "minutes")}));
  calendar->add("Holidays", 1)->items.push_back(MessageData::make("holiday"));
  top->add("Contacts", 2);
  run();

  EXPECT_THAT(world.subjectsOf("CopyInto"), ElementsAre("Calendar", "Contacts"));
  EXPECT_TRUE(world.subjectsOf("SaveToFile").empty());
  auto out = output(kRunAt);
  auto copied = out->child("Calendar");
  ASSERT_TRUE(copied);
  EXPECT_EQ(copied->kind, 1);
  ASSERT_EQ(copied->items.at(0)->attachments.size(), 1u);
  EXPECT_EQ(copied->items[0]->body, "agenda");
  EXPECT_EQ(copied->child("Holidays")->items.at(0)->subject, "holiday");
  EXPECT_TRUE(out->child("Contacts"));
  // The attachment folder exists for the extract treatments all the same.
  EXPECT_TRUE(fs::is_directory(attachmentFolder(kRunAt)));
  EXPECT_TRUE(filesIn(attachmentFolder(kRunAt)).empty());
}

TEST_F(EngineTest, SourceWithoutFoldersGivesAnEmptyPstAndNoWorkFolders) {
  host.treatment = AttachmentTreatment::ExtractZip;
  addPst("empty.pst");
  run();
  EXPECT_THAT(filesIn(host.destination + kRunAt),
              ElementsAre("KestrikCompress.pst", "Varnolt_Manifest.jsonl", "Varnolt_Report.csv"));
  EXPECT_TRUE(output(kRunAt)->subfolders.empty());
}

TEST_F(EngineTest, CountersReachPastSixteenBits) {
  auto top = addPst("mail.pst");
  auto inbox = top->add("Inbox");
  inbox->items.push_back(MessageData::make("m", "", "", {AttachmentData::value("a.txt", "x")}));
  const std::string sourcePath = host.pstList[0];
  host.pstList.clear();
  // The walk on its own, with counters already at the 16-bit limit.
  engine::CompressionEngine& e = engine();
  e.strDestFolderName = "run";
  fs::create_directory(host.destination + "run");
  auto session = world.factory()();
  auto destination = session->StoreList()->AttachPstFile(host.destination + "run/out.pst", 1, std::string("out"));
  auto source = session->StoreList()->AttachPstFile(sourcePath, 1, std::nullopt);
  std::int64_t attachments = 32767;
  std::int64_t serial = 32767;
  e.folderMessageNumber = 0;
  e.CopyFolderTree(source->TopFolder(), session, destination->TopFolder(), attachments, serial);
  EXPECT_EQ(serial, 32768);
  EXPECT_EQ(attachments, 32768);
  EXPECT_EQ(host.labels[Label::lblAttachmentCount], "32768");
  EXPECT_THAT(world.subjectsOf("SaveToFile"), ElementsAre("m " + host.destination + "run/MSG Folder/32768.msg"));
  EXPECT_TRUE(e.failures().empty());
}

TEST_F(EngineTest, PumpsAfterEveryAttachmentMessageFolderAndPst) {
  auto top = addPst("mail.pst");
  auto inbox = top->add("Inbox");
  inbox->items.push_back(MessageData::make(
      "m", "", "", {AttachmentData::value("a.txt", "a"), AttachmentData::value("b.txt", "b")}));
  inbox->items.push_back(MessageData::make("n"));
  run();
  // 2 attachments + 2 messages + 1 folder + 1 PST.
  EXPECT_EQ(host.pumps, 6);
}

// --- failures: noted, skipped, and the run still ends ----------------------

TEST_F(EngineTest, AFailedStepIsListedAndTheRunSaysSo) {
  auto top = addPst("mail.pst");
  auto inbox = top->add("Inbox");
  inbox->items.push_back(MessageData::make("one"));
  inbox->items.push_back(MessageData::make("two"));
  inbox->items.push_back(MessageData::make("three"));
  world.inject({"SaveToFile", "two"});
  run();

  ASSERT_EQ(engine().failures().count(), 1u);
  const engine::Failure& f = engine().failures().list()[0];
  EXPECT_EQ(f.pst, host.pstList[0]);
  EXPECT_EQ(f.folder, "/Inbox");
  EXPECT_EQ(f.message, "2");
  EXPECT_EQ(f.operation, "SaveToFile");
  EXPECT_NE(f.reason.find("injected"), std::string::npos);
  EXPECT_EQ(f.describe(), "PST " + host.pstList[0] + ", folder /Inbox, message 2: SaveToFile failed: " + f.reason);
  EXPECT_EQ(host.labels[Label::lblProcessing], "Compress finished with errors");
  EXPECT_EQ(host.labels[Label::lblCopy], "Failed steps : 1");
  EXPECT_TRUE(host.okVisible && host.okEnabled);
  EXPECT_FALSE(host.progressBar);

  // The others are copied; the failed one leaves its empty new item behind.
  auto items = output(kRunAt)->child("Inbox")->items;
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0]->subject, "one");
  EXPECT_EQ(items[1]->subject, "");
  EXPECT_EQ(items[2]->subject, "three");
}

TEST_F(EngineTest, LocalizedFailureTextsFallBackToEnglishWhenTheLanguageLacksThem) {
  addPst("gone.pst");
  fs::remove(host.pstList[0]);
  host.languageAvailable = true;
  host.texts = {{137, "ok"}, {138, ""}, {151, "Fehler :"}};  // no 150
  run();
  EXPECT_EQ(host.labels[Label::lblCopy], "Fehler : 1");
  EXPECT_EQ(host.labels[Label::lblProcessing], "Compress finished with errors");
}

TEST_F(EngineTest, AMissingSourceIsNotCreatedAndTheNextPstGoesOn) {
  addPst("gone.pst");
  fs::remove(host.pstList[0]);
  addPst("b.pst")->add("Inbox")->items.push_back(MessageData::make("kept"));
  run();

  EXPECT_FALSE(fs::exists(host.pstList[0]));
  ASSERT_EQ(engine().failures().count(), 1u);
  EXPECT_EQ(engine().failures().list()[0].operation, "AttachPstFile (source)");
  // The missing PST gets no new PST, and its run folder goes again.
  EXPECT_FALSE(fs::exists(host.destination + kRunAt));
  EXPECT_EQ(output("Varnolt_07-12-2026_09-05-04")->child("Inbox")->items.at(0)->subject, "kept");
}

TEST_F(EngineTest, WithoutASessionEveryPstStillGetsItsRunFolder) {
  addPst("a.pst");
  addPst("b.pst");
  world.inject({"create session", ""});
  run();
  EXPECT_THAT(filesIn(host.destination), ElementsAre(kRunAt, "Varnolt_07-12-2026_09-05-04"));
  EXPECT_EQ(host.messageBoxes.size(), 1u);  // the version is unknown
  EXPECT_EQ(engine().failures().count(), 1u);
  EXPECT_EQ(host.labels[Label::lblProcessing], "Compress finished with errors");
}

TEST_F(EngineTest, FailuresInsideTheWalkSkipOnlyWhatDependsOnThem) {
  auto top = addPst("mail.pst");
  auto a = top->add("A");
  a->items.push_back(MessageData::make("a1"));
  a->add("A child")->items.push_back(MessageData::make("a2"));
  auto b = top->add("B");
  b->items.push_back(MessageData::make("b1"));
  b->items.push_back(MessageData::make("b2"));
  b->items.push_back(MessageData::make("b3"));
  top->add("C")->items.push_back(MessageData::make("c1"));
  world.inject({"AddSubfolder", "A"});     // A and all below it stay uncopied
  world.inject({"Enumerate.Next", "b2"});  // one item cannot be read
  run();

  auto out = output(kRunAt);
  EXPECT_FALSE(out->child("A"));
  auto copiedB = out->child("B");
  ASSERT_TRUE(copiedB);
  ASSERT_EQ(copiedB->items.size(), 2u);
  EXPECT_EQ(copiedB->items[0]->subject, "b1");
  EXPECT_EQ(copiedB->items[1]->subject, "b3");
  EXPECT_EQ(out->child("C")->items.at(0)->subject, "c1");
  std::vector<std::string> operations;
  for (const auto& f : engine().failures().list()) operations.push_back(f.operation + " " + f.folder);
  EXPECT_THAT(operations, ElementsAre("AddSubfolder /A", "enumerate the items /B"));
  EXPECT_EQ(host.labels[Label::lblCopy], "Failed steps : 2");
  // Messages of the folder that was never created take no scratch numbers.
  EXPECT_EQ(engine().pstMessageSerial, 3);
}

TEST_F(EngineTest, AFailedImportAndAnUnreadableScratchFileAreNoted) {
  auto top = addPst("mail.pst");
  auto inbox = top->add("Inbox");
  inbox->items.push_back(MessageData::make("opened", "", "", {AttachmentData::value("a.txt", "a")}));
  inbox->items.push_back(MessageData::make("imported"));
  world.inject({"GetMessageFromMsgFile", "1.msg"});
  world.inject({"ImportFromFile", "2.msg"});
  run();
  auto items = output(kRunAt)->child("Inbox")->items;
  ASSERT_EQ(items.size(), 2u);
  // Not opened: the message comes through untreated, attachment and all.
  EXPECT_EQ(items[0]->subject, "opened");
  EXPECT_EQ(items[0]->attachments.size(), 1u);
  // Not imported: the new item stays empty.
  EXPECT_EQ(items[1]->subject, "");
  ASSERT_EQ(engine().failures().count(), 2u);
  EXPECT_EQ(engine().failures().list()[0].operation, "GetMessageFromMsgFile");
  EXPECT_EQ(engine().failures().list()[1].operation, "ImportFromFile");
}

TEST_F(EngineTest, AStoreThatCannotBeFinishedIsReported) {
  addPst("a.pst")->add("Inbox");
  world.inject({"Close", "KestrikCompress"});
  run();
  ASSERT_EQ(engine().failures().count(), 1u);
  EXPECT_EQ(engine().failures().list()[0].operation, "finish the new PST");
  EXPECT_THROW(output(kRunAt), engine::StoreError);
}

}  // namespace
}  // namespace varnolt::test::enginefx
