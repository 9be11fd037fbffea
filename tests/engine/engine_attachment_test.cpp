// The three attachment treatments through whole runs: order, labels and
// counts, saved files and their names, links in the bodies, archives, and
// what happens to an attachment when saving, zipping or linking fails.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/engine/engine_fixtures.h"

namespace varnolt::test::enginefx {
namespace {

// The link a reader follows to a plain path (no characters that need
// escaping): on Windows "C:\a\b" is file:///C:/a/b.
std::string fileUrl(std::string path) {
#ifdef _WIN32
  for (char& c : path)
    if (c == '\\') c = '/';
  return "file:///" + path;
#else
  return "file://" + path;
#endif
}

using ::testing::ElementsAre;

const std::string kRunAt = "Varnolt_07-12-2026_09-05-03";
const std::string kStamp = "Kestrik_07-12-2026-09-05-03_";

// Name and uncompressed size of the first entry of an archive, and its
// entry count from the end record.
struct ZipSummary {
  std::string firstName;
  std::uint32_t firstSize = 0;
  std::uint16_t entries = 0;
};

ZipSummary summarize(const fs::path& archive) {
  const auto b = readFile(archive);
  auto le16 = [&](std::size_t at) { return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8)); };
  auto le32 = [&](std::size_t at) { return static_cast<std::uint32_t>(le16(at) | (le16(at + 2) << 16)); };
  ZipSummary s;
  s.entries = le16(b.size() - 22 + 10);
  if (s.entries > 0) {
    const std::uint16_t nameLength = le16(26);
    s.firstName.assign(b.begin() + 30, b.begin() + 30 + nameLength);
    s.firstSize = le32(22);
  }
  return s;
}

class AttachmentTest : public EngineTest {
 protected:
  // One PST with one Inbox holding the given messages.
  std::shared_ptr<FolderData> inbox(std::vector<std::shared_ptr<MessageData>> messages) {
    auto folder = addPst("mail.pst")->add("Inbox");
    folder->items = std::move(messages);
    return folder;
  }
  std::vector<std::shared_ptr<MessageData>> outputItems() { return output(kRunAt)->child("Inbox")->items; }
  std::string savedPath(const std::string& name) { return (attachmentFolder(kRunAt) / name).string(); }
  std::vector<std::string> failedOperations() {
    std::vector<std::string> out;
    for (const auto& f : engine().failures().list()) out.push_back(f.operation);
    return out;
  }
};

TEST_F(AttachmentTest, RemoveGoesFromLastToFirstAndCountsPerPst) {
  inbox({MessageData::make("m1", "plain", "<p>html</p>",
                           {AttachmentData::value("a1.txt", "1"), AttachmentData::value("a2.txt", "2"),
                            AttachmentData::value("a3.txt", "3")}),
         MessageData::make("m2", "", "", {AttachmentData::value("b1.txt", "b")})});
  addPst("second.pst")->add("Inbox")->items.push_back(
      MessageData::make("m3", "", "", {AttachmentData::value("c1.txt", "c")}));
  run();

  EXPECT_THAT(world.subjectsOf("Delete"), ElementsAre("a3.txt", "a2.txt", "a1.txt", "b1.txt", "c1.txt"));
  // The second PST's labels start empty, as its counters start again.
  EXPECT_THAT(host.labelHistory(Label::lblCopy),
              ElementsAre("removing a3.txt", "removing a2.txt", "removing a1.txt", "removing b1.txt", "",
                          "removing c1.txt", ""));
  // Per PST: 1, 2, 3, 4 in the first; the second starts again at 1.
  EXPECT_THAT(host.labelHistory(Label::lblAttachmentCount), ElementsAre("1", "2", "3", "4", "", "1"));
  auto items = outputItems();
  EXPECT_TRUE(items[0]->attachments.empty());
  EXPECT_EQ(items[0]->body, "plain");
  EXPECT_EQ(items[0]->htmlBody, "<p>html</p>");
  EXPECT_TRUE(items[1]->attachments.empty());
  EXPECT_TRUE(engine().failures().empty());
  EXPECT_FALSE(fs::exists(attachmentFolder(kRunAt)));
}

TEST_F(AttachmentTest, RemoveWithLanguageTexts) {
  host.languageAvailable = true;
  host.texts = {{134, "entferne"}, {137, "fertig"}, {138, ""}};
  inbox({MessageData::make("m", "", "", {AttachmentData::value("Q3 report.pdf", "x")})});
  run();
  EXPECT_EQ(host.labelHistory(Label::lblCopy).at(0), "entferne Q3 report.pdf");
}

TEST_F(AttachmentTest, ALanguageWithoutTheTextFallsBackToEnglish) {
  host.treatment = AttachmentTreatment::Extract;
  host.languageAvailable = true;
  host.texts = {{137, "ok"}, {138, ""}};  // no 135
  inbox({MessageData::make("m", "", "", {AttachmentData::value("Q3 report.pdf", "x")})});
  run();
  EXPECT_EQ(host.labelHistory(Label::lblCopy).at(0), "Saving " + kStamp + "Q3_report.pdf");
  EXPECT_TRUE(engine().failures().empty());
  EXPECT_EQ(host.labels[Label::lblProcessing], "ok");
}

TEST_F(AttachmentTest, ExtractSavesEveryFileAndLinksTheLastFirst) {
  // A blank in the destination is a real folder name: kept in the file
  // path, written "%20" only in the HTML link.
  fs::create_directory(tmp.path() / "my mail");
  host.destination = (tmp.path() / "my mail").string() + "/";
  host.treatment = AttachmentTreatment::Extract;
  inbox({MessageData::make("m", "plain", "<p>hi</p>",
                           {AttachmentData::value("Q3 report.pdf", "quarter"), AttachmentData::value("b.txt", "bee")})});
  run();

  EXPECT_THAT(filesIn(attachmentFolder(kRunAt)), ElementsAre(kStamp + "Q3_report.pdf", kStamp + "b.txt"));
  EXPECT_EQ(readFile(savedPath(kStamp + "Q3_report.pdf")), std::vector<std::uint8_t>({'q', 'u', 'a', 'r', 't', 'e', 'r'}));
  const std::string url = fileUrl(tmp.path().string()) + "/my%20mail/" + kRunAt + "/Outlook_Attachments/" + kStamp;
  auto m = outputItems().at(0);
  EXPECT_TRUE(m->attachments.empty());
  EXPECT_EQ(m->body, "plain");
  EXPECT_EQ(m->htmlBody, "<p>hi</p>"
                         "<br><br>Attachment : <a href=\"" + url + "b.txt\">b.txt</a>"
                         "<br><br>Attachment : <a href=\"" + url + "Q3_report.pdf\">Q3 report.pdf</a>");
  EXPECT_THAT(host.labelHistory(Label::lblCopy),
              ElementsAre("Saving " + kStamp + "b.txt", "Saving " + kStamp + "Q3_report.pdf", ""));
  EXPECT_TRUE(engine().failures().empty());
}

TEST_F(AttachmentTest, PlainTextLinksOnVistaAndWithOldOutlook) {
  fs::create_directory(tmp.path() / "my mail");
  host.destination = (tmp.path() / "my mail").string() + "/";
  host.treatment = AttachmentTreatment::Extract;
  productName = "Windows Vista (TM) Business";
  inbox({MessageData::make("m", "plain", "", {AttachmentData::value("a b.txt", "x")})});
  run();
  const std::string path = host.destination + kRunAt + "/Outlook_Attachments/" + kStamp + "a_b.txt";
  auto m = outputItems().at(0);
  EXPECT_EQ(m->body, "plain\r\n\r\n<" + fileUrl(path) + ">\r\n");
  EXPECT_EQ(m->htmlBody, "");

  // Outlook 10 on any system: plain text too.
  memstore::MemoryWorld w;
  w.outlookVersion = "10.0.6626";
  auto folder = w.addSourcePst(host.pstList[0]);
  folder->add("Inbox")->items.push_back(MessageData::make("m", "", "<p></p>", {AttachmentData::value("c.txt", "x")}));
  FakeHost h;
  h.destination = host.destination;
  h.pstList = host.pstList;
  h.treatment = AttachmentTreatment::Extract;
  clock.advance(10);
  engine::CompressionEngine e(h, h, w.factory(), "Debian", clock);
  e.CompressionRun();
  auto out = memstore::readPstFile(h.destination + "Varnolt_07-12-2026_09-05-13/KestrikCompress.pst");
  const std::string second = h.destination + "Varnolt_07-12-2026_09-05-13/Outlook_Attachments/Kestrik_07-12-2026-09-05-13_c.txt";
  EXPECT_EQ(out->child("Inbox")->items.at(0)->body, "\r\n\r\n<" + fileUrl(second) + ">\r\n");
  EXPECT_EQ(out->child("Inbox")->items.at(0)->htmlBody, "<p></p>");
}

TEST_F(AttachmentTest, SaveStatusWithLanguageShowsTheAttachmentsOwnName) {
  host.treatment = AttachmentTreatment::Extract;
  host.languageAvailable = true;
  host.texts = {{135, "Speichere"}, {137, "ok"}, {138, ""}};
  inbox({MessageData::make("m", "", "", {AttachmentData::value("Q3 report.pdf", "x")})});
  run();
  EXPECT_EQ(host.labelHistory(Label::lblCopy).at(0), "Speichere Q3 report.pdf");
}

TEST_F(AttachmentTest, ZipMakesOneArchivePerAttachmentAndLinksIt) {
  host.treatment = AttachmentTreatment::ExtractZip;
  inbox({MessageData::make("m", "", "<p></p>",
                           {AttachmentData::value("Q3 report.pdf", "quarterly numbers"),
                            AttachmentData::value("bundle.zip", "PK already"), AttachmentData::value("BIG.ZIP", "upper"),
                            AttachmentData::value("empty.txt", "")})});
  run();

  EXPECT_THAT(filesIn(attachmentFolder(kRunAt)),
              ElementsAre(kStamp + "BIG.ZIP.zip", kStamp + "Q3_report.pdf.zip", kStamp + "bundle.zip",
                          kStamp + "empty.txt.zip"));
  auto q3 = summarize(savedPath(kStamp + "Q3_report.pdf.zip"));
  EXPECT_EQ(q3.entries, 1);
  EXPECT_EQ(q3.firstName, kStamp + "Q3_report.pdf");
  EXPECT_EQ(q3.firstSize, 17u);
  auto empty = summarize(savedPath(kStamp + "empty.txt.zip"));
  EXPECT_EQ(empty.entries, 1);
  EXPECT_EQ(empty.firstSize, 0u);
  // A file already named ".zip" is saved as it is and linked directly.
  EXPECT_EQ(readFile(savedPath(kStamp + "bundle.zip")).size(), 10u);

  const std::string url = fileUrl(host.destination) + kRunAt + "/Outlook_Attachments/" + kStamp;
  auto m = outputItems().at(0);
  EXPECT_TRUE(m->attachments.empty());
  EXPECT_EQ(m->htmlBody, "<p></p>"
                         "<br><br>Attachment : <a href=\"" + url + "empty.txt.zip\">empty.txt</a>"
                         "<br><br>Attachment : <a href=\"" + url + "BIG.ZIP.zip\">BIG.ZIP</a>"
                         "<br><br>Attachment : <a href=\"" + url + "bundle.zip\">bundle.zip</a>"
                         "<br><br>Attachment : <a href=\"" + url + "Q3_report.pdf.zip\">Q3 report.pdf</a>");
  EXPECT_TRUE(engine().failures().empty());
}

TEST_F(AttachmentTest, EmbeddedMessagesAreSavedAsFiles) {
  host.treatment = AttachmentTreatment::Extract;
  inbox({MessageData::make("outer", "", "",
                           {AttachmentData::embeddedMessage("Forwarded.msg", MessageData::make("inner", "inside"))})});
  run();
  const auto bytes = readFile(savedPath(kStamp + "Forwarded.msg"));
  auto saved = memstore::parseMessage(std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(saved->subject, "inner");
  EXPECT_EQ(saved->body, "inside");
  EXPECT_TRUE(outputItems().at(0)->attachments.empty());
}

TEST_F(AttachmentTest, NoAttachmentsNoChange) {
  auto session = world.factory()();
  auto message = std::make_shared<MessageData>();
  // The handler on its own with a count of 0: no label, no store call.
  auto& e = engine();
  std::int64_t counter = 5;
  const auto callsBefore = world.calls.size();
  e.StripAttachments(session, nullptr, nullptr, 0, counter, "run/Outlook_Attachments");
  EXPECT_EQ(counter, 5);
  EXPECT_TRUE(host.labelLog.empty());
  EXPECT_EQ(world.calls.size(), callsBefore);
}

// --- nothing is lost ------------------------------------------------------

TEST_F(AttachmentTest, AnAttachmentThatCannotBeSavedStaysWithoutALink) {
  host.treatment = AttachmentTreatment::Extract;
  inbox({MessageData::make("m", "plain", "<p></p>",
                           {AttachmentData::value("ok.txt", "fine"), AttachmentData::reference("link.lnk", "/elsewhere"),
                            AttachmentData::value("refused.txt", "r")})});
  world.inject({"SaveAsFile", "refused.txt"});
  run();

  auto m = outputItems().at(0);
  ASSERT_EQ(m->attachments.size(), 2u);
  EXPECT_EQ(m->attachments[0]->fileName, "link.lnk");
  EXPECT_EQ(m->attachments[1]->fileName, "refused.txt");
  EXPECT_EQ(m->htmlBody.find("refused"), std::string::npos);
  EXPECT_EQ(m->htmlBody.find("link.lnk"), std::string::npos);
  EXPECT_NE(m->htmlBody.find(">ok.txt</a>"), std::string::npos);
  EXPECT_THAT(filesIn(attachmentFolder(kRunAt)), ElementsAre(kStamp + "ok.txt"));
  ASSERT_EQ(engine().failures().count(), 2u);
  const auto& f = engine().failures().list()[0];
  EXPECT_EQ(f.attachment, "refused.txt");
  EXPECT_EQ(f.message, "1");
  EXPECT_EQ(f.folder, "/Inbox");
  EXPECT_EQ(f.operation, "SaveAsFile");
  EXPECT_EQ(engine().failures().list()[1].attachment, "link.lnk");
  // Every attachment was handled, so all three count.
  EXPECT_EQ(host.labels[Label::lblAttachmentCount], "3");
  EXPECT_EQ(host.labels[Label::lblProcessing], "Compress finished with errors");
}

TEST_F(AttachmentTest, HalfWrittenAndMissingFilesAreNotTakenForSaved) {
  host.treatment = AttachmentTreatment::Extract;
  inbox({MessageData::make("m", "", "",
                           {AttachmentData::value("half.txt", "0123456789"), AttachmentData::value("none.txt", "n")})});
  world.inject({"SaveAsFile", "half.txt", 0, -1, memstore::FailureMode::WriteHalfThenThrow});
  world.inject({"SaveAsFile", "none.txt", 0, -1, memstore::FailureMode::SilentNothing});
  run();
  auto m = outputItems().at(0);
  ASSERT_EQ(m->attachments.size(), 2u);
  EXPECT_EQ(m->attachments[0]->content, "0123456789");
  EXPECT_TRUE(m->htmlBody.empty());
  EXPECT_TRUE(m->body.empty());
  // The half-written file is gone.
  EXPECT_TRUE(filesIn(attachmentFolder(kRunAt)).empty());
  EXPECT_THAT(failedOperations(), ElementsAre("SaveAsFile", "SaveAsFile"));
}

TEST_F(AttachmentTest, AnArchiveNotWrittenLeavesNothingAndKeepsTheAttachment) {
  host.treatment = AttachmentTreatment::ExtractZip;
  inbox({MessageData::make("m", "", "",
                           {AttachmentData::value("a.txt", "alpha"), AttachmentData::value("b.txt", "beta"),
                            AttachmentData::value("c.txt", "gamma")})});
  // Something in the way of b.txt's archive once its bytes are packed;
  // the store gives up half way through c.txt.
  world.afterRead = [&](const std::string& name) {
    if (name == "b.txt") fs::create_directory(savedPath(kStamp + "b.txt.zip"));
  };
  world.inject({"ReadContent", "c.txt", 0, -1, memstore::FailureMode::WriteHalfThenThrow});
  run();

  auto m = outputItems().at(0);
  ASSERT_EQ(m->attachments.size(), 2u);
  EXPECT_EQ(m->attachments[0]->content, "beta");
  EXPECT_EQ(m->attachments[1]->content, "gamma");
  EXPECT_NE(m->htmlBody.find(">a.txt</a>"), std::string::npos);
  EXPECT_EQ(m->htmlBody.find("b.txt"), std::string::npos);
  EXPECT_EQ(m->htmlBody.find("c.txt"), std::string::npos);
  // No loose file at any time, no half archive: a.txt's archive and the
  // folder that was in b.txt's way.
  EXPECT_THAT(filesIn(attachmentFolder(kRunAt)), ElementsAre(kStamp + "a.txt.zip", kStamp + "b.txt.zip"));
  const auto archive = summarize(savedPath(kStamp + "a.txt.zip"));
  EXPECT_EQ(archive.entries, 1);
  // Attachments are taken from the last one back.
  EXPECT_THAT(failedOperations(), ElementsAre("ReadContent", "WriteZip"));
}

TEST_F(AttachmentTest, ALinkThatCannotBeWrittenKeepsTheAttachment) {
  host.treatment = AttachmentTreatment::Extract;
  inbox({MessageData::make("m", "", "", {AttachmentData::value("a.txt", "alpha")})});
  world.inject({"SetHTMLBody", ""});
  run();
  auto m = outputItems().at(0);
  ASSERT_EQ(m->attachments.size(), 1u);
  EXPECT_TRUE(fs::exists(savedPath(kStamp + "a.txt")));
  EXPECT_THAT(failedOperations(), ElementsAre("append the link to HTMLBody"));
}

TEST_F(AttachmentTest, AlikeNamesInTheSameSecondNeverOverwriteEachOther) {
  host.treatment = AttachmentTreatment::Extract;
  inbox({MessageData::make("m", "", "", {AttachmentData::value("a.pdf", "one"), AttachmentData::value("a.pdf", "two")})});
  run();
  EXPECT_THAT(filesIn(attachmentFolder(kRunAt)), ElementsAre(kStamp + "a.pdf", kStamp + "a_(2).pdf"));
  // Last first: the second attachment took the plain name.
  EXPECT_EQ(readFile(savedPath(kStamp + "a.pdf")), std::vector<std::uint8_t>({'t', 'w', 'o'}));
  EXPECT_EQ(readFile(savedPath(kStamp + "a_(2).pdf")), std::vector<std::uint8_t>({'o', 'n', 'e'}));
  EXPECT_NE(outputItems().at(0)->htmlBody.find(kStamp + "a_%282%29.pdf\">a.pdf</a>"), std::string::npos);
}

TEST_F(AttachmentTest, AlikeNamesUnderZipKeepEveryArchive) {
  // Once zipped, the loose file is gone but its archive is not: the next
  // attachment of that name must not replace the archive.
  host.treatment = AttachmentTreatment::ExtractZip;
  inbox({MessageData::make("m1", "", "", {AttachmentData::value("a.pdf", "first")}),
         MessageData::make("m2", "", "", {AttachmentData::value("a.pdf", "second")}),
         MessageData::make("m3", "", "", {AttachmentData::value("a.pdf", "third")})});
  run();
  EXPECT_THAT(filesIn(attachmentFolder(kRunAt)),
              ElementsAre(kStamp + "a.pdf.zip", kStamp + "a_(2).pdf.zip", kStamp + "a_(3).pdf.zip"));
  EXPECT_EQ(summarize(savedPath(kStamp + "a.pdf.zip")).firstSize, 5u);
  EXPECT_EQ(summarize(savedPath(kStamp + "a_(2).pdf.zip")).firstSize, 6u);
  EXPECT_EQ(summarize(savedPath(kStamp + "a_(3).pdf.zip")).firstSize, 5u);
  EXPECT_EQ(summarize(savedPath(kStamp + "a_(3).pdf.zip")).firstName, kStamp + "a_(3).pdf");
  EXPECT_TRUE(engine().failures().empty());
}

TEST_F(AttachmentTest, HostileNamesStayInsideTheAttachmentFolder) {
  host.treatment = AttachmentTreatment::Extract;
  inbox({MessageData::make("m", "", "",
                           {AttachmentData::value("../../escape.txt", "x"), AttachmentData::value("a/b.txt", "y"),
                            AttachmentData::value("..", "z")})});
  run();
  EXPECT_EQ(filesIn(attachmentFolder(kRunAt)).size(), 3u);
  EXPECT_THAT(filesIn(host.destination), ElementsAre(kRunAt));
  EXPECT_THAT(filesIn(host.destination + kRunAt), ElementsAre("KestrikCompress.pst", "Outlook_Attachments",
                                                              "Varnolt_Manifest.jsonl", "Varnolt_Report.csv"));
  EXPECT_TRUE(outputItems().at(0)->attachments.empty());
  EXPECT_TRUE(engine().failures().empty());
}

}  // namespace
}  // namespace varnolt::test::enginefx

namespace varnolt::test::enginefx {
namespace {

// What the host's account of a run rests on: per PST, its run folder, the
// messages met and copied, the attachments by what became of them, and its
// own share of the failures.
TEST_F(AttachmentTest, OutcomesCountPerPstAndOwnTheirFailures) {
  host.treatment = AttachmentTreatment::Extract;
  inbox({MessageData::make("m1", "", "<p>x</p>", {AttachmentData::value("a.txt", "a"), AttachmentData::value("b.txt", "b")}),
         MessageData::make("m2"), MessageData::make("m3")});
  addPst("calendar.pst")->add("Calendar", 1)->items.push_back(MessageData::make("meeting"));
  world.inject({"SaveAsFile", "b.txt"});
  world.inject({"ImportFromFile", "3.msg"});
  run();

  const auto& outcomes = engine().outcomes();
  ASSERT_EQ(outcomes.size(), 2u);
  const auto& mail = outcomes[0];
  EXPECT_EQ(mail.pst, host.pstList[0]);
  EXPECT_EQ(mail.runFolder, kRunAt);
  EXPECT_EQ(mail.messages, 3);
  EXPECT_EQ(mail.messagesCopied, 2);  // the third was not imported
  EXPECT_EQ(mail.attachmentsSaved, 1);
  EXPECT_EQ(mail.attachmentsKept, 1);  // its save failed
  EXPECT_EQ(mail.attachmentsRemoved + mail.attachmentsZipped, 0);
  EXPECT_EQ(mail.firstFailure, 0u);
  EXPECT_EQ(mail.failureCount, 2u);
  const auto& calendar = outcomes[1];
  EXPECT_NE(calendar.runFolder, mail.runFolder);
  EXPECT_EQ(calendar.messages, 0);
  EXPECT_EQ(calendar.foldersCopiedWhole, 1);
  EXPECT_EQ(calendar.firstFailure, 2u);
  EXPECT_EQ(calendar.failureCount, 0u);
  EXPECT_EQ(engine().failures().count(), 2u);
}

// A scratch file goes as soon as its message is in the new PST, so the
// scratch folder never holds more than the message at hand.
TEST_F(AttachmentTest, ScratchFilesGoOneByOne) {
  inbox({MessageData::make("m1"), MessageData::make("m2"), MessageData::make("m3")});
  std::size_t most = 0;
  host.onPump = [&] {
    const fs::path scratch = fs::path(host.destination) / kRunAt / "MSG Folder";
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = fs::directory_iterator(scratch, ec); !ec && it != fs::directory_iterator(); ++it) ++n;
    most = std::max(most, n);
  };
  run();
  EXPECT_EQ(most, 0u);
  EXPECT_EQ(engine().outcomes().at(0).messagesCopied, 3);
  EXPECT_TRUE(engine().failures().empty());
}

// Signed and encrypted messages hold their whole content in their one
// attachment (smime.p7m, or the signed MIME body): under every treatment it
// stays where it is, counted and listed as kept with the reason, while an
// ordinary message beside them is treated as usual.
class SmimeTest : public AttachmentTest, public ::testing::WithParamInterface<AttachmentTreatment> {};

TEST_P(SmimeTest, AttachmentStaysUnderEveryTreatment) {
  host.treatment = GetParam();
  const std::vector<std::string> classes = {"IPM.Note.SMIME", "ipm.note.smime.multipartsigned",
                                            "IPM.Schedule.Meeting.Request.SMIME"};
  std::vector<std::shared_ptr<MessageData>> messages;
  for (const auto& cls : classes) {
    auto m = MessageData::make("signed " + cls, "text", "<p>html</p>",
                               {AttachmentData::value("smime.p7m", "MIME content of " + cls)});
    m->messageClass = cls;
    messages.push_back(m);
  }
  auto ordinary = MessageData::make("ordinary", "text", "<p>html</p>", {AttachmentData::value("a.txt", "a")});
  ordinary->messageClass = "IPM.Note.SMIMEish";  // not an S/MIME class
  messages.push_back(ordinary);
  inbox(messages);
  run();

  const auto items = outputItems();
  ASSERT_EQ(items.size(), 4u);
  for (const auto& item : items) {
    SCOPED_TRACE(item->subject);
    if (item->subject == "ordinary") {
      EXPECT_TRUE(item->attachments.empty());
      continue;
    }
    ASSERT_EQ(item->attachments.size(), 1u);
    EXPECT_EQ(item->attachments[0]->fileName, "smime.p7m");
    EXPECT_EQ(item->attachments[0]->content, "MIME content of " + item->messageClass);
    EXPECT_EQ(item->body, "text");
    EXPECT_EQ(item->htmlBody, "<p>html</p>");
  }
  const engine::PstOutcome& outcome = engine().outcomes().at(0);
  EXPECT_EQ(outcome.attachmentsKept, 3);
  EXPECT_EQ(outcome.attachmentsRemoved + outcome.attachmentsSaved + outcome.attachmentsZipped, 1);
  ASSERT_EQ(outcome.kept.size(), 3u);
  for (const auto& kept : outcome.kept) {
    EXPECT_EQ(kept.folder, "/Inbox");
    EXPECT_EQ(kept.attachment, "smime.p7m");
    EXPECT_EQ(kept.reason, engine::kKeptSmimeReason);
    EXPECT_THAT(kept.describe(), ::testing::HasSubstr("smime.p7m: kept, signed or encrypted (S/MIME)"));
  }
  // Nothing of theirs on disk: only the ordinary attachment was saved.
  if (GetParam() != AttachmentTreatment::Remove) {
    EXPECT_EQ(filesIn(attachmentFolder(kRunAt)).size(), 1u);
  }
  EXPECT_EQ(host.labels[Label::lblAttachmentCount], "4");
  EXPECT_TRUE(engine().failures().empty());
}

INSTANTIATE_TEST_SUITE_P(Treatments, SmimeTest,
                         ::testing::Values(AttachmentTreatment::Remove, AttachmentTreatment::Extract,
                                           AttachmentTreatment::ExtractZip));

// A message whose class cannot be read might be signed: its attachments
// are kept, and the failed read is reported.
TEST_F(AttachmentTest, UnreadableClassKeepsTheAttachments) {
  host.treatment = AttachmentTreatment::Extract;
  inbox({MessageData::make("m", "text", "", {AttachmentData::value("smime.p7m", "x")})});
  world.inject({"MessageClass", ""});
  run();
  EXPECT_EQ(outputItems().at(0)->attachments.size(), 1u);
  EXPECT_THAT(failedOperations(), ElementsAre("MessageClass"));
  EXPECT_EQ(engine().outcomes().at(0).kept.size(), 1u);
}

}  // namespace
}  // namespace varnolt::test::enginefx
