// varnolt-cli analyze counts what compress then meets, and compress's
// filters (--min-size, --keep-inline, --before) leave exactly the
// attachments they name in their messages.

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "mapi/pst/messaging/store.h"
#include "mapi/pst/writer/writer.h"
#include "mapi/rtf/compressed_rtf.h"
#include "mapi/tags.h"
#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

using nlohmann::json;
namespace pst = mapi::pst;

CommandResult cli(const std::vector<std::string>& args) {
  std::vector<std::string> argv{(programPath("varnolt-cli")).string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, 300);
}

// The number after "label: " in the summary block of one PST, summed over
// every PST the summary lists.
std::int64_t summed(const std::string& summary, const std::string& label) {
  std::int64_t total = 0;
  const std::string key = "  " + label + ": ";
  for (std::size_t at = summary.find(key); at != std::string::npos; at = summary.find(key, at + 1))
    total += std::stoll(summary.substr(at + key.size()));
  return total;
}

fs::path newPstUnder(const fs::path& dest) {
  for (const auto& e : fs::directory_iterator(dest))
    if (fs::exists(e.path() / "KestrikCompress.pst")) return e.path() / "KestrikCompress.pst";
  return {};
}

// The attachment names the run's report lists with the given outcome
// (the report is RFC 4180 CSV with a byte-order mark; column 6 is the
// attachment, column 9 the outcome).
std::set<std::string> reportedWith(const fs::path& newPst, const std::string& outcome) {
  const std::vector<std::uint8_t> bytes = readFile(newPst.parent_path() / "Varnolt_Report.csv");
  const std::string text(bytes.begin(), bytes.end());
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (std::size_t i = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
      rows.back().back() += c;
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == ',') {
      rows.back().emplace_back();
    } else if (!quoted && c == '\n') {
      rows.emplace_back(1);
    } else if (quoted || c != '\r') {
      rows.back().back() += c;
    }
  }
  std::set<std::string> names;
  for (std::size_t r = 1; r < rows.size(); ++r)
    if (rows[r].size() > 8 && rows[r][8] == outcome) names.insert(rows[r][5]);
  return names;
}

// ---- analyze

TEST(AnalyzeCommand, AgreesWithCompressOnEverySampleAndKeepsItsSchema) {
  const fs::path schema = sourceDir() / "tests" / "cli" / "analyze_schema.json";
  const bool haveSchemaCheck = run({"/usr/bin/python3", "-c", "import jsonschema"}, 60).exitCode == 0;
  int compared = 0;
  for (const fs::path& sample : sampleFiles("pst", ".pst")) {
    SCOPED_TRACE(sample.string());
    const CommandResult analyzed = cli({"analyze", "--json", sample.string()});
    ASSERT_EQ(analyzed.exitCode, 0) << analyzed.err;
    const json doc = json::parse(analyzed.out);
    ASSERT_EQ(doc["files"].size(), 1u);
    const json& file = doc["files"][0];

    if (haveSchemaCheck) {
      TempDir tmp;
      writeFile(tmp / "doc.json", analyzed.out);
      const CommandResult valid = run({"/usr/bin/python3", "-c",
                                       "import json,sys,jsonschema; jsonschema.validate(json.load(open(sys.argv[1])), "
                                       "json.load(open(sys.argv[2])))",
                                       (tmp / "doc.json").string(), schema.string()},
                                      60);
      EXPECT_EQ(valid.exitCode, 0) << valid.err;
    }

    // The per-folder and per-type figures add up to the PST's.
    std::int64_t folderAttachments = 0, folderBytes = 0, folderMessages = 0, typeBytes = 0;
    for (const auto& f : file["folders"]) {
      folderAttachments += f["attachments"].get<std::int64_t>();
      folderBytes += f["attachmentBytes"].get<std::int64_t>();
      folderMessages += f["messages"].get<std::int64_t>();
    }
    for (const auto& t : file["byType"]) typeBytes += t["bytes"].get<std::int64_t>();
    EXPECT_EQ(folderAttachments, file["attachments"].get<std::int64_t>());
    EXPECT_EQ(folderBytes, file["attachmentBytes"].get<std::int64_t>());
    EXPECT_EQ(typeBytes, file["attachmentBytes"].get<std::int64_t>());
    EXPECT_EQ(folderMessages, file["messages"].get<std::int64_t>());

    // A filter that keeps nothing makes compress read every attachment's
    // size while treating all of them.
    TempDir dest;
    const CommandResult run =
        cli({"compress", "--treatment", "remove", "--min-size", "0", "--dest", dest.path().string(), sample.string()});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(summed(run.out, "messages in source"), file["messages"].get<std::int64_t>());
    EXPECT_EQ(summed(run.out, "attachments removed") + summed(run.out, "attachments kept in their messages"),
              file["attachments"].get<std::int64_t>());
    EXPECT_EQ(summed(run.out, "attachments kept (filter)"), 0);
    EXPECT_EQ(summed(run.out, "attachment bytes"), file["attachmentBytes"].get<std::int64_t>());

    // The largest attachments come largest first, none bigger than the sum.
    std::int64_t previous = INT64_MAX;
    for (const auto& l : file["largest"]) {
      EXPECT_LE(l["size"].get<std::int64_t>(), previous);
      previous = l["size"].get<std::int64_t>();
    }
    EXPECT_EQ(file["largest"].size(), std::min<std::size_t>(20, file["attachments"].get<std::size_t>()));
    if (file["attachments"].get<std::int64_t>() > 0) ++compared;
  }
  EXPECT_GE(compared, 3) << "too few samples with attachments to compare";
}

TEST(AnalyzeCommand, UnreadableFilesAreNamedAndTheOthersStillAnalysed) {
  const fs::path good = samplesDir() / "pst" / "unicode-one-attachment.pst";
  const fs::path bad = samplesDir() / "bad" / "not-a-pst.pst";
  const CommandResult r = cli({"analyze", bad.string(), good.string(), "/nonexistent/missing.pst"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("not-a-pst.pst: cannot be read"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("missing.pst: cannot be read"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("unicode-one-attachment.pst\n  size:"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("attachments: 1 "), std::string::npos) << r.out;

  // As JSON: the failed file carries its error, the good one its counts.
  const CommandResult asJson = cli({"analyze", "--json", bad.string(), good.string()});
  EXPECT_EQ(asJson.exitCode, 2);
  const json doc = json::parse(asJson.out);
  ASSERT_EQ(doc["files"].size(), 2u);
  EXPECT_TRUE(doc["files"][0].contains("error"));
  EXPECT_FALSE(doc["files"][0].contains("attachments"));
  EXPECT_EQ(doc["files"][1]["attachments"], 1);

  const CommandResult usage = cli({"analyze", "--fast", good.string()});
  EXPECT_EQ(usage.exitCode, 1);
  EXPECT_NE(usage.err.find("unknown option '--fast'"), std::string::npos);
  EXPECT_EQ(cli({"analyze"}).exitCode, 1);
}

// ---- filters

constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
std::uint64_t fileTime(std::int64_t unixSeconds) {
  return kUnixEpochAsFileTime + static_cast<std::uint64_t>(unixSeconds) * 10000000ull;
}
constexpr std::int64_t k2020Jan10 = 1578614400;
constexpr std::int64_t k2021Jun01 = 1622505600;
constexpr std::int32_t kUnsent = 0x8;

struct PlannedAttachment {
  std::string name;
  std::size_t size;
  std::string contentId;
  std::string contentLocation;
  bool hidden = false;
  std::int32_t flags = 0;
};

mapi::Message message(const std::string& subject, std::optional<std::int64_t> delivered, std::int64_t modified,
                      bool draft, const std::string& html, const std::string& rtf,
                      const std::vector<PlannedAttachment>& attachments) {
  mapi::Message m;
  m.props.set(mapi::tag::MessageClass, mapi::PropValue::unicode("IPM.Note"));
  m.props.set(mapi::tag::Subject, mapi::PropValue::unicode(subject));
  if (delivered) m.props.set(mapi::tag::MessageDeliveryTime, mapi::PropValue::sysTime(fileTime(*delivered)));
  m.props.set(mapi::tag::LastModificationTime, mapi::PropValue::sysTime(fileTime(modified)));
  m.props.set(mapi::tag::MessageFlags, mapi::PropValue::int32(draft ? kUnsent | 0x10 : 0x11));
  m.props.set(mapi::tag::Body, mapi::PropValue::unicode("body of " + subject));
  if (!html.empty()) m.props.set(mapi::tag::Html, mapi::PropValue::binary(mapi::Bytes(html.begin(), html.end())));
  if (!rtf.empty())
    m.props.set(mapi::tag::RtfCompressed,
                mapi::PropValue::binary(mapi::rtf::compress(mapi::ByteView(
                    reinterpret_cast<const std::uint8_t*>(rtf.data()), rtf.size()))));
  for (const auto& planned : attachments) {
    mapi::Attachment a;
    a.props.set(mapi::tag::AttachMethod, mapi::PropValue::int32(1));
    a.props.set(mapi::tag::AttachLongFilename, mapi::PropValue::unicode(planned.name));
    a.props.set(mapi::tag::AttachDataBinary, mapi::PropValue::binary(mapi::Bytes(planned.size, 'x')));
    a.props.set(mapi::tag::AttachSize, mapi::PropValue::int32(static_cast<std::int32_t>(planned.size + 200)));
    if (!planned.contentId.empty()) a.props.set(mapi::tag::AttachContentId, mapi::PropValue::unicode(planned.contentId));
    if (!planned.contentLocation.empty())
      a.props.set(mapi::makeTag(0x3713, mapi::pt::Unicode), mapi::PropValue::unicode(planned.contentLocation));
    if (planned.hidden) a.props.set(mapi::tag::AttachmentHidden, mapi::PropValue::boolean(true));
    if (planned.flags) a.props.set(mapi::tag::AttachFlags, mapi::PropValue::int32(planned.flags));
    m.attachments.push_back(std::move(a));
  }
  return m;
}

// Inline pictures (by content id in HTML and in RTF, by content location,
// hidden, rendered), small and large attachments, and dates on both sides
// of 2021-01-01, drafts among them.
fs::path writeMailbox(const fs::path& path) {
  auto w = pst::Writer::create(path, "Filters");
  const auto inbox = w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note");
  const auto html = [](const std::string& inner) { return "<html><body>" + inner + "</body></html>"; };
  w->addMessage(inbox, message("cid html", k2020Jan10, k2020Jan10, false,
                               html("<p>hi</p><img src=\"cid:logo@x\"><img src=\"cid:ab\">"), "",
                               {{"logo.png", 3000, "<logo@x>", ""},
                                {"big.pdf", 50000, "", ""},
                                {"small.txt", 500, "", ""},
                                {"decoy.gif", 1000, "a", ""}}));
  w->addMessage(inbox, message("location", k2020Jan10 + 86400, k2020Jan10, false,
                               html("<img src=\"pictures/pic.gif\">"), "",
                               {{"pic.gif", 2000, "", "pictures/pic.gif"}, {"report.docx", 40000, "", ""}}));
  w->addMessage(inbox, message("hidden and rendered", k2020Jan10 + 2 * 86400, k2020Jan10, false, "", "",
                               {{"sig.jpg", 1500, "", "", true},
                                {"data.csv", 1200, "", "", false, 0x4},
                                {"notes.txt", 800, "", ""}}));
  w->addMessage(inbox, message("rtf", k2020Jan10 + 3 * 86400, k2020Jan10, false, "",
                               "{\\rtf1\\ansi\\fromhtml1 {\\*\\htmltag84 <img src=\"cid:rtfpic@y\">}}",
                               {{"rtfpic.png", 2500, "rtfpic@y", ""}, {"other.bin", 9000, "", ""}}));
  w->addMessage(inbox, message("newer", k2021Jun01, k2021Jun01, false, "", "",
                               {{"new.pdf", 60000, "", ""}, {"new.txt", 100, "", ""}}));
  // Drafts go by their last change, whatever an old delivery time says.
  w->addMessage(inbox, message("old draft", std::nullopt, k2020Jan10, true, "", "", {{"draft.zip", 30000, "", ""}}));
  w->addMessage(inbox, message("new draft", k2020Jan10, k2021Jun01, true, "", "", {{"draft2.zip", 30000, "", ""}}));
  w->close();
  return path;
}

// Attachment names left in each message of the new PST's Inbox.
std::set<std::string> attachmentsLeft(const fs::path& newPst) {
  std::set<std::string> left;
  auto store = pst::Store::open(newPst);
  for (pst::NodeId folderId : store->ipmSubtree()->subfolderIds()) {
    const pst::Folder folder = store->folder(folderId);
    if (folder.displayName() != "Inbox") continue;
    for (pst::NodeId id : folder.messageIds())
      for (const auto& a : store->readMessage(id).attachments) left.insert(a.fileName().value_or("?"));
  }
  return left;
}

TEST(CompressFilters, EachFilterKeepsExactlyTheAttachmentsItNames) {
  TempDir tmp;
  const fs::path mailbox = writeMailbox(tmp / "filters.pst");
  struct Case {
    std::vector<std::string> filters;
    std::set<std::string> kept;
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{"--min-size", "2600"},
       {"small.txt", "decoy.gif", "pic.gif", "sig.jpg", "data.csv", "notes.txt", "rtfpic.png", "new.txt"}},
      {{"--keep-inline"}, {"logo.png", "pic.gif", "sig.jpg", "data.csv", "rtfpic.png"}},
      {{"--before", "2021-01-01"}, {"new.pdf", "new.txt", "draft2.zip"}},
      {{"--before", "2021-01-01", "--keep-inline", "--min-size", "1000"},
       {"small.txt", "logo.png", "pic.gif", "sig.jpg", "data.csv", "notes.txt", "rtfpic.png", "new.pdf", "new.txt",
        "draft2.zip"}},
  };
  const std::int64_t total = 15;
  for (const auto& c : cases) {
    std::string label;
    for (const auto& f : c.filters) label += f + " ";
    SCOPED_TRACE(label);
    for (const char* treatment : {"remove", "extract"}) {
      SCOPED_TRACE(treatment);
      TempDir dest;
      std::vector<std::string> args{"compress", "--treatment", treatment, "--dest", dest.path().string()};
      args.insert(args.end(), c.filters.begin(), c.filters.end());
      args.push_back(mailbox.string());
      const CommandResult r = cli(args);
      ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
      EXPECT_EQ(attachmentsLeft(newPstUnder(dest.path())), c.kept);
      EXPECT_EQ(reportedWith(newPstUnder(dest.path()), "kept (filter)"), c.kept);
      const auto keptCount = static_cast<std::int64_t>(c.kept.size());
      if (!c.filters.empty()) {
        EXPECT_EQ(summed(r.out, "attachments kept (filter)"), keptCount) << r.out;
      } else {
        EXPECT_EQ(r.out.find("(filter)"), std::string::npos) << "a run without filters shows none";
      }
      EXPECT_EQ(summed(r.out, std::string("attachments ") + (treatment[0] == 'r' ? "removed" : "saved")),
                total - keptCount)
          << r.out;
    }
  }
}

TEST(CompressFilters, BadValuesAreUsageErrors) {
  TempDir tmp;
  const std::string pst = (tmp / "a.pst").string();
  writeFile(pst, "not read before the arguments are checked");
  const std::string dest = tmp.path().string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--min-size", "ten"}, "--min-size needs a number of bytes, not 'ten'"},
      {{"--min-size", "-5"}, "--min-size needs a number of bytes, not '-5'"},
      {{"--min-size", "12k"}, "--min-size needs a number of bytes, not '12k'"},
      {{"--min-size"}, "--min-size needs a number of bytes"},
      {{"--before", "2021-13-01"}, "--before needs a date"},
      {{"--before", "2021-02-30"}, "--before needs a date"},
      {{"--before", "01/02/2021"}, "--before needs a date"},
      {{"--before", "2021-01-01T25:00"}, "--before needs a date"},
      {{"--before"}, "--before needs a date"},
  };
  for (const auto& [filter, message] : cases) {
    std::vector<std::string> args{"compress", "--dest", dest};
    args.insert(args.end(), filter.begin(), filter.end());
    if (filter.size() > 1) args.push_back(pst);
    const CommandResult r = cli(args);
    EXPECT_EQ(r.exitCode, 1) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace varnolt::test
