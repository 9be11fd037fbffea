// The run's report and manifest: one CSV row per attachment met, whatever
// became of it, as spreadsheets read CSV; one manifest line per attachment
// taken out, with its saved file's digest; rows on disk as soon as their
// message is done; and what a run appended told apart from what was there.

#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "engine/run_report.h"
#include "tests/engine/engine_fixtures.h"

namespace varnolt::test::enginefx {
namespace {

using nlohmann::json;

const std::string kRunAt = "Varnolt_07-12-2026_09-05-03";

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> csvRows(const fs::path& p) {
  std::vector<std::string> rows;
  const std::string text = slurp(p);
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    rows.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 2;
  }
  return rows;
}

// Each line also reads as the very text a JSON library writes for it
// (members sorted, no blanks), as the run wrote it before it wrote the
// lines itself.
std::vector<json> manifestLines(const fs::path& p) {
  std::vector<json> out;
  std::ifstream in(p);
  for (std::string line; std::getline(in, line);) {
    out.push_back(json::parse(line));
    EXPECT_EQ(out.back().dump(-1, ' ', false, json::error_handler_t::replace), line);
  }
  return out;
}

class ReportRunTest : public EngineTest {
 protected:
  fs::path runFolder() const { return fs::path(host.destination + kRunAt); }
};

TEST_F(ReportRunTest, EveryAttachmentHasARowAndEveryTakenOneAManifestLine) {
  host.treatment = AttachmentTreatment::ExtractZip;
  auto inbox = addPst("mail.pst")->add("Inbox");
  inbox->items = {MessageData::make("m1", "plain", "<p>hi</p>",
                                    {AttachmentData::value("a.txt", "aaa"), AttachmentData::value("refused.txt", "r")}),
                  MessageData::make("m2", "plain", "", {})};
  auto signedMessage = MessageData::make("s", "plain", "", {AttachmentData::value("smime.p7m", "sig")});
  signedMessage->messageClass = "IPM.Note.SMIME";
  inbox->items.push_back(signedMessage);
  world.inject({"ReadContent", "refused.txt"});
  run();

  const std::vector<std::string> rows = csvRows(runFolder() / engine::kReportFileName);
  ASSERT_EQ(rows.size(), 4u);  // the header and three attachments; m2 has none
  EXPECT_EQ(rows[0], "\xEF\xBB\xBFPST,Folder,Subject,Sender,Date,Attachment,Size (bytes),Treatment,Outcome,Saved file,Reason");
  EXPECT_THAT(rows[1], ::testing::HasSubstr(",/Inbox,"));
  EXPECT_THAT(rows[1], ::testing::HasSubstr(",a.txt,3,extract-zip,zipped,Outlook_Attachments/Kestrik_07-12-2026-09-05-03_a.txt.zip,"));
  EXPECT_THAT(rows[2], ::testing::HasSubstr(",refused.txt,,extract-zip,kept,,"));
  EXPECT_THAT(rows[3], ::testing::HasSubstr(",smime.p7m,,,kept,,signed or encrypted (S/MIME) message"));

  const std::vector<json> lines = manifestLines(runFolder() / engine::kManifestFileName);
  ASSERT_EQ(lines.size(), 1u);
  const json& line = lines[0];
  EXPECT_EQ(line.at("outcome"), "zipped");
  EXPECT_EQ(line.at("attachment").at("index"), 1);
  EXPECT_EQ(line.at("message").at("folder"), "/Inbox");
  EXPECT_EQ(line.at("message").at("position"), 1);
  const fs::path archive = runFolder() / line.at("file").at("path").get<std::string>();
  EXPECT_EQ(line.at("file").at("sha256"), fileSha256(archive));
  EXPECT_EQ(line.at("file").at("contentSha256"), sha256Hex({'a', 'a', 'a'}));
  EXPECT_EQ(line.at("file").at("archiveEntry"), "Kestrik_07-12-2026-09-05-03_a.txt");
  EXPECT_EQ(line.at("link").at("body"), "html");
  // The link the run appended, exactly: the body now ends with it.
  const auto out = output(kRunAt)->child("Inbox")->items.at(0);
  const std::string link = line.at("link").at("text");
  ASSERT_GE(out->htmlBody.size(), link.size());
  EXPECT_EQ(out->htmlBody.substr(out->htmlBody.size() - link.size()), link);
  // Compared name by name: Windows writes either separator.
  EXPECT_EQ(fs::path(engine().outcomes().at(0).reportFile), runFolder() / engine::kReportFileName);
}

TEST_F(ReportRunTest, RemovedAttachmentsAreInTheManifestWithoutAFile) {
  host.treatment = AttachmentTreatment::Remove;
  addPst("mail.pst")->add("Inbox")->items = {MessageData::make("m", "plain", "", {AttachmentData::value("x.bin", "x")})};
  run();
  const std::vector<json> lines = manifestLines(runFolder() / engine::kManifestFileName);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].at("outcome"), "removed");
  EXPECT_TRUE(lines[0].at("file").is_null());
  EXPECT_THAT(csvRows(runFolder() / engine::kReportFileName).at(1), ::testing::HasSubstr(",x.bin,,remove,removed,,"));
}

TEST_F(ReportRunTest, ASavedFileIsHashedAsItIsOnDisk) {
  host.treatment = AttachmentTreatment::Extract;
  addPst("mail.pst")->add("Inbox")->items = {MessageData::make("m", "plain", "", {AttachmentData::value("a.txt", "aaa")})};
  run();
  const std::vector<json> lines = manifestLines(runFolder() / engine::kManifestFileName);
  ASSERT_EQ(lines.size(), 1u);
  const json& file = lines[0].at("file");
  EXPECT_EQ(file.at("sha256"), fileSha256(runFolder() / file.at("path").get<std::string>()));
  EXPECT_EQ(file.at("contentSha256"), sha256Hex({'a', 'a', 'a'}));
  EXPECT_EQ(file.at("sha256"), file.at("contentSha256"));
  EXPECT_EQ(file.at("size"), 3);
  EXPECT_FALSE(file.contains("archiveEntry"));
}

TEST(RunReport, RowsAreOnDiskOnceTheirMessageIsDoneAndQuotedForSpreadsheets) {
  TempDir tmp;
  engine::RunReport report;
  report.open(tmp.path().string(), "/mail/a,b.pst");
  engine::MessageSummary facts{"Re: \"budget\", Q3\r\nnext line", "=HYPERLINK(\"http://x\")", "2026-12-07T09:05:03Z"};
  report.beginMessage("/Inbox", 1, facts, {});
  engine::ReportedAttachment kept;
  kept.index = 1;
  kept.name = "-1+1.txt";
  kept.reason = "a filter keeps it";
  kept.outcome = engine::AttachmentOutcome::KeptFilter;
  report.attachment(kept);
  report.endMessage("", {});
  // Not finished: what a crash would leave is already readable.
  const std::vector<std::string> rows = csvRows(tmp.path() / engine::kReportFileName);
  // The header, then one row whose quoted field holds a line break.
  ASSERT_EQ(rows.size(), 3u) << slurp(tmp.path() / engine::kReportFileName);
  EXPECT_EQ(rows[1].substr(0, 24), "\"/mail/a,b.pst\",/Inbox,\"");
  EXPECT_THAT(slurp(tmp.path() / engine::kReportFileName),
              ::testing::HasSubstr("\"Re: \"\"budget\"\", Q3\r\nnext line\",\"'=HYPERLINK(\"\"http://x\"\")\","
                                   "2026-12-07T09:05:03Z,'-1+1.txt,,,kept (filter),,a filter keeps it\r\n"));
  // A kept attachment is for people only: restore has nothing to do with it.
  EXPECT_TRUE(slurp(tmp.path() / engine::kManifestFileName).empty());
  EXPECT_TRUE(report.finish());
}

// Texts the run writes itself into the manifest come out as the JSON
// library writes them: escapes, UTF-8 as it is, and what is not UTF-8
// replaced.
TEST(RunReport, ManifestTextsAreWrittenAsTheLibraryWritesThem) {
  TempDir tmp;
  engine::RunReport report;
  report.open(tmp.path().string(), "C:\\mail\\\"old\".pst");
  const std::string subject =
      std::string("tab\there\r\nquote \" back \\ bell \x07 nul ") + std::string(1, '\0') +
      " del \x7F \xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\x8E \x1F\x0B\x0C\x08";
  const std::vector<std::string> invalid = {"lone \x80", "cut \xE2\x82", "overlong \xC0\xAF", "surrogate \xED\xA0\x80",
                                            "past \xF4\x90\x80\x80", "at end \xF0"};
  engine::MessageSummary facts{subject, "s\xC3\xBC", ""};
  report.beginMessage("/In\x01" "box", 1, facts, {});
  for (std::size_t i = 0; i < invalid.size(); ++i) {
    engine::ReportedAttachment removed;
    removed.index = static_cast<std::int32_t>(i + 1);
    removed.name = invalid[i];
    removed.outcome = engine::AttachmentOutcome::Removed;
    removed.treatment = engine::AttachmentTreatment::Remove;
    report.attachment(removed);
  }
  engine::BodyState after;
  after.plain = "text\r\n";
  report.endMessage("", after);
  ASSERT_TRUE(report.finish());
  const std::vector<json> lines = manifestLines(tmp.path() / engine::kManifestFileName);
  ASSERT_EQ(lines.size(), invalid.size());
  EXPECT_EQ(lines[0].at("message").at("subject"), subject);
  EXPECT_EQ(lines[0].at("message").at("folder"), "/In\x01" "box");
  EXPECT_EQ(lines[0].at("pst"), "C:\\mail\\\"old\".pst");
  EXPECT_EQ(lines[0].at("attachment").at("name"), "lone \xEF\xBF\xBD");
  for (const json& line : lines)
    EXPECT_NE(line.at("attachment").at("name").get<std::string>().find("\xEF\xBF\xBD"), std::string::npos);
}

// A digest remembered when a file was written serves only that file as
// it was written: a file put in its place is read.
TEST(RunReport, ARememberedDigestServesOnlyTheFileItWasTakenOf) {
  TempDir tmp;
  const fs::path saved = tmp.path() / "saved.txt";
  writeFile(saved, std::string("aaa"));
  std::error_code error;
  const varnolt::base::FileIdentity identity = varnolt::base::fileSystem().status(saved, error).identity;
  ASSERT_FALSE(error);
  // A digest that is not the file's shows that it is taken as it was
  // remembered, without reading the file.
  const std::string remembered(64, '0');
  engine::RememberFileSha256(saved.string(), identity, remembered);
  std::uint64_t size = 0;
  EXPECT_EQ(engine::FileSha256(saved.string(), &size), remembered);
  EXPECT_EQ(size, 3u);
  const fs::path other = tmp.path() / "other.txt";
  writeFile(other, std::string("aaa"));
  EXPECT_EQ(engine::FileSha256(other.string()), fileSha256(other));
  // Another file of the same size renamed over it.
  writeFile(other, std::string("bbb"));
  fs::rename(other, saved);
  writeFile(saved, std::string("bbbb"));
  EXPECT_EQ(engine::FileSha256(saved.string(), &size), fileSha256(saved));
  EXPECT_EQ(size, 4u);
  EXPECT_NE(engine::FileSha256(saved.string()), remembered);
}

TEST(RunReport, InsertedTextIsWhatTheRunAdded) {
  EXPECT_EQ(engine::InsertedText("body", "body<br>link"), "<br>link");
  EXPECT_EQ(engine::InsertedText("{\\rtf1 text}", "{\\rtf1 text{\\par link}}"), "{\\par link}");
  EXPECT_EQ(engine::InsertedText("", "all new"), "all new");
  EXPECT_EQ(engine::InsertedText("same", "same"), "");
  // Text taken out is not an insertion of anything.
  EXPECT_EQ(engine::InsertedText("longer text", "longer"), "");
}

}  // namespace
}  // namespace varnolt::test::enginefx
