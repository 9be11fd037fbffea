// varnolt-cli compress, then restore, end to end: every sample PST under
// the treatments that keep attachments, the restored PST read back by
// independent readers (pst-extractor, libpff, pffinfo, readpst) and
// compared with the source message by message; the manifest checked
// against its schema and its files; the report opened in LibreOffice Calc;
// attachment files deleted or changed before a restore.

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

using nlohmann::json;

std::string cli() { return (programPath("varnolt-cli")).string(); }
fs::path oracle(const std::string& name) { return sourceDir() / "tests" / "oracles" / name; }
fs::path here(const std::string& name) { return sourceDir() / "tests" / "restore" / name; }

json runJson(const std::vector<std::string>& argv) {
  const CommandResult r = run(argv, 300);
  if (r.exitCode != 0) throw std::runtime_error(argv[1] + " " + argv.back() + " failed: " + r.err);
  return json::parse(r.out);
}

std::string str(const json& j) { return j.is_string() ? j.get<std::string>() : std::string(); }

// Every message of a reader's dump by folder path below the top of the
// personal folders and place in its folder ("/Inbox#2"); folders outside
// the top (search roots) are left out, as the copy leaves them.
// Every message of a dump by folder path below the top of the personal
// folders, in the folder's order.
std::map<std::string, std::vector<json>> foldersOf(const json& dump) {
  std::map<std::string, std::vector<json>> out;
  for (const json& folder : dump.at("folders")) {
    const json& path = folder.at("path");
    if (path.empty() || str(path[0]).rfind("Top of ", 0) != 0 || !folder.contains("messages")) continue;
    std::string key;
    for (std::size_t i = 1; i < path.size(); ++i) key += "/" + str(path[i]);
    out[key] = std::vector<json>(folder.at("messages").begin(), folder.at("messages").end());
  }
  return out;
}

// Every readable message of the source has its match in the same folder of
// the restored file, each match used once; a folder the run copies whole
// need not keep its order. Answers how many were matched.
template <typename Same>
std::size_t expectEveryMessageMatched(const json& sourceDump, const json& restoredDump, Same&& same) {
  const auto want = foldersOf(sourceDump);
  auto have = foldersOf(restoredDump);
  std::size_t matched = 0;
  for (const auto& [folder, messages] : want) {
    std::vector<json>& candidates = have[folder];
    // At least: a reader may leave out source messages it cannot read.
    EXPECT_GE(candidates.size(), messages.size()) << folder;
    for (const json& message : messages) {
      if (message.contains("errors")) continue;  // the source's own damage
      const auto found = std::find_if(candidates.begin(), candidates.end(),
                                      [&](const json& c) { return same(message, c); });
      if (found == candidates.end()) {
        ADD_FAILURE() << folder << ": no restored message matches " << message.dump().substr(0, 400);
        continue;
      }
      candidates.erase(found);
      ++matched;
    }
  }
  return matched;
}

// Every message by folder path and place in its folder ("/Inbox#2").
std::map<std::string, json> messagesOf(const json& dump) {
  std::map<std::string, json> out;
  for (const auto& [folder, messages] : foldersOf(dump))
    for (std::size_t n = 0; n < messages.size(); ++n) out[folder + "#" + std::to_string(n + 1)] = messages[n];
  return out;
}

struct CompressRun {
  fs::path runFolder;
  CommandResult compress;
};

CompressRun compress(const fs::path& source, const std::string& treatment, const fs::path& dest) {
  fs::create_directories(dest);
  CompressRun r;
  r.compress = run({cli(), "compress", "--treatment", treatment, "--dest", dest.string(), source.string()}, 300);
  for (const auto& entry : fs::directory_iterator(dest))
    if (entry.is_directory()) r.runFolder = entry.path();
  return r;
}

// The manifest's lines, once checked with nothing of ours: schema, file
// and archive-entry digests.
json checkedManifest(const fs::path& runFolder) {
  const json checked = runJson(
      {"/usr/bin/python3", here("manifest_check.py").string(), runFolder.string(), here("manifest.schema.json").string()});
  EXPECT_TRUE(checked.at("problems").empty()) << checked.at("problems").dump(1);
  return checked.at("lines");
}

class RestoreSample : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {
 protected:
  void SetUp() override {
    VARNOLT_REQUIRE_SAMPLES();
    for (const char* program : {"node", "pffinfo", "readpst", "/usr/bin/python3"})
      if (!haveProgram(program)) GTEST_SKIP() << program << " is not installed (scripts/install-deps)";
    if (run({"/usr/bin/python3", "-c", "import jsonschema"}).exitCode != 0)
      GTEST_SKIP() << "python3-jsonschema is not installed (scripts/install-deps)";
  }
};

TEST_P(RestoreSample, RestoredPstHoldsTheSourceMessagesAgain) {
  const auto& [name, treatment] = GetParam();
  const fs::path source = samplesDir() / "pst" / name;
  TempDir tmp;
  const CompressRun r = compress(source, treatment, tmp / "dest");
  ASSERT_EQ(r.compress.exitCode, 0) << r.compress.out << r.compress.err;
  ASSERT_FALSE(r.runFolder.empty());
  EXPECT_NE(r.compress.out.find("report: " + (r.runFolder / "Varnolt_Report.csv").string()), std::string::npos)
      << r.compress.out;
  const json manifest = checkedManifest(r.runFolder);

  const CommandResult restore = run({cli(), "restore", r.runFolder.string()}, 300);
  ASSERT_EQ(restore.exitCode, 0) << restore.out << restore.err;
  const fs::path restored = r.runFolder / "Restored.pst";
  ASSERT_TRUE(fs::is_regular_file(restored));
  EXPECT_NE(restore.out.find("attachments restored: " + std::to_string(manifest.size()) + " of " +
                             std::to_string(manifest.size()) + " saved"),
            std::string::npos)
      << restore.out;
  // Nothing but the run's files and the restored PST in the run folder.
  for (const auto& entry : fs::directory_iterator(r.runFolder))
    EXPECT_TRUE(std::set<std::string>({"KestrikCompress.pst", "Restored.pst", "Varnolt_Report.csv",
                                       "Varnolt_Manifest.jsonl", "Outlook_Attachments"})
                    .count(entry.path().filename().string()))
        << entry.path();

  // Sound to every reader.
  const CommandResult check = run({cli(), "check", restored.string()});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  const CommandResult pffinfo = run({"pffinfo", restored.string()});
  EXPECT_EQ(pffinfo.exitCode, 0) << pffinfo.out << pffinfo.err;
  fs::create_directory(tmp / "readpst");
  const CommandResult readpst = run({"readpst", "-q", "-o", (tmp / "readpst").string(), restored.string()});
  EXPECT_EQ(readpst.exitCode, 0) << readpst.out << readpst.err;

  // pst-extractor: subjects, plain and HTML bodies, attachment names and
  // bytes (an embedded message by its subject and recipients). It cannot
  // read the ANSI sources at all; libpff compares those below.
  const CommandResult sourceByExtractor = run({"node", oracle("pst_content.js").string(), source.string()});
  const json extractorHave = runJson({"node", oracle("pst_content.js").string(), restored.string()});
  if (sourceByExtractor.exitCode == 0) {
    const std::size_t matched = expectEveryMessageMatched(json::parse(sourceByExtractor.out), extractorHave,
                                                          [](const json& a, const json& b) { return a == b; });
    if (!manifest.empty()) EXPECT_GT(matched, 0u);
  }

  // libpff: the plain, HTML and RTF bodies each where the source had it,
  // and the attachments' bytes.
  const auto bodies = [&](const fs::path& pst) {
    return runJson({"/usr/bin/python3", oracle("pst_bodies_dump.py").string(), "pypff", pst.string()});
  };
  const std::size_t bodiesMatched =
      expectEveryMessageMatched(bodies(source), bodies(restored), [](const json& want, const json& have) {
        for (const char* form : {"subject", "plain", "html", "rtf"})
          if (!want.value(form, json()).is_null() && have.value(form, json()) != want.at(form)) return false;
        return true;
      });
  const auto content = [&](const fs::path& pst) {
    return runJson({"/usr/bin/python3", oracle("pst_pypff_content.py").string(), pst.string()});
  };
  // libpff hands out an embedded message's raw node data, which no two
  // writers lay out alike; pst-extractor compares those.
  const auto withoutEmbedded = [](const json& attachments) {
    json out = json::array();
    for (const json& a : attachments)
      if (a.value("method", 0) != 5) out.push_back(a);
    return out;
  };
  const std::size_t contentMatched =
      expectEveryMessageMatched(content(source), content(restored), [&](const json& want, const json& have) {
        return want.at("subject") == have.at("subject") && want.at("body") == have.at("body") &&
               want.at("html") == have.at("html") && have.at("attachments").size() == want.at("attachments").size() &&
               withoutEmbedded(have.at("attachments")) == withoutEmbedded(want.at("attachments"));
      });
  EXPECT_EQ(bodiesMatched > 0, contentMatched > 0);
}

std::vector<std::string> samplePsts() {
  std::vector<std::string> names;
  for (const auto& p : sampleFiles("pst", ".pst")) names.push_back(p.filename().string());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Samples, RestoreSample,
                         ::testing::Combine(::testing::ValuesIn(samplePsts()),
                                            ::testing::Values(std::string("extract"), std::string("extract-zip"))),
                         [](const auto& info) {
                           std::string n = std::get<0>(info.param) + "_" + std::get<1>(info.param);
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

class RestoreMixed : public ::testing::Test {
 protected:
  void SetUp() override {
    VARNOLT_REQUIRE_SAMPLES();
    for (const char* program : {"node", "/usr/bin/python3"})
      if (!haveProgram(program)) GTEST_SKIP() << program << " is not installed (scripts/install-deps)";
  }
  const fs::path source = samplesDir() / "pst" / "mixed-attachments.pst";
};

TEST_F(RestoreMixed, MissingOrChangedFilesStayOutsideAndKeepTheirLinks) {
  TempDir tmp;
  const CompressRun r = compress(source, "extract", tmp / "dest");
  ASSERT_EQ(r.compress.exitCode, 0) << r.compress.out << r.compress.err;
  std::vector<json> lines;
  {
    std::ifstream in(r.runFolder / "Varnolt_Manifest.jsonl");
    for (std::string text; std::getline(in, text);) lines.push_back(json::parse(text));
  }
  // Two ordinary files of two different messages.
  const json* gone = nullptr;
  const json* changed = nullptr;
  for (const json& line : lines) {
    if (line.at("attachment").value("method", 0) != 1) continue;
    if (!gone) gone = &line;
    else if (line.at("message").at("entryId") != gone->at("message").at("entryId")) {
      changed = &line;
      break;
    }
  }
  ASSERT_TRUE(gone && changed);
  const fs::path gonePath = r.runFolder / str(gone->at("file").at("path"));
  const fs::path changedPath = r.runFolder / str(changed->at("file").at("path"));
  fs::remove(gonePath);
  {
    std::ofstream out(changedPath, std::ios::binary | std::ios::app);
    out << "x";
  }

  const CommandResult restore = run({cli(), "restore", r.runFolder.string(), "--out", (tmp / "back.pst").string()});
  EXPECT_EQ(restore.exitCode, 2) << restore.out << restore.err;
  EXPECT_NE(restore.out.find("attachments restored: " + std::to_string(lines.size() - 2) + " of " +
                             std::to_string(lines.size()) + " saved"),
            std::string::npos)
      << restore.out;
  EXPECT_NE(restore.out.find("its file is missing: " + gonePath.string()), std::string::npos) << restore.out;
  EXPECT_NE(restore.out.find("its file was changed since the run (SHA-256 differs): " + changedPath.string()),
            std::string::npos)
      << restore.out;

  // The two messages keep the links to those files and lack only them;
  // every other message is whole again.
  const auto want = messagesOf(runJson({"node", oracle("pst_content.js").string(), source.string()}));
  const auto have =
      messagesOf(runJson({"node", oracle("pst_content.js").string(), (tmp / "back.pst").string()}));
  std::map<std::string, std::string> outside;  // message key -> attachment left outside
  for (const json* line : {gone, changed})
    outside[str(line->at("message").at("folder")) + "#" +
            std::to_string(line->at("message").at("position").get<int>())] = str(line->at("attachment").at("name"));
  std::size_t checked = 0;
  for (const auto& [key, message] : want) {
    if (message.contains("errors")) continue;
    std::string folderKey = key;
    if (folderKey.rfind("#", 0) == 0) folderKey = "/" + folderKey;  // the top folder's own messages
    const auto left = outside.find(folderKey);
    if (left == outside.end()) {
      EXPECT_EQ(have.at(key), message) << key;
      continue;
    }
    ++checked;
    const json& atts = have.at(key).at("attachments");
    EXPECT_EQ(atts.size() + 1, message.at("attachments").size()) << key;
    for (const json& a : atts) EXPECT_NE(str(a.at("filename")), left->second) << key;
    const std::string html = str(have.at(key).at("html"));
    const std::string file = fs::path(left->second == str(gone->at("attachment").at("name")) ? gonePath : changedPath)
                                 .filename()
                                 .string();
    EXPECT_NE(html.find(file), std::string::npos) << key << " keeps no link to " << file;
  }
  EXPECT_EQ(checked, 2u);

  // Never over a file that is there, and the file stays as it was.
  const std::string before = fileSha256(tmp / "back.pst");
  const CommandResult again = run({cli(), "restore", r.runFolder.string(), "--out", (tmp / "back.pst").string()});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_EQ(fileSha256(tmp / "back.pst"), before);
}

TEST_F(RestoreMixed, RemovedAttachmentsAreReportedAsNotRestorable) {
  TempDir tmp;
  const CompressRun r = compress(source, "remove", tmp / "dest");
  ASSERT_EQ(r.compress.exitCode, 0) << r.compress.out << r.compress.err;
  const CommandResult restore = run({cli(), "restore", r.runFolder.string()});
  EXPECT_EQ(restore.exitCode, 0) << restore.out << restore.err;
  EXPECT_NE(restore.out.find("attachments restored: 0 of 0 saved"), std::string::npos) << restore.out;
  EXPECT_NE(restore.out.find("attachments removed by the run (not restorable): 43"), std::string::npos)
      << restore.out;
  EXPECT_NE(restore.out.find("text file.txt: removed by the run, cannot be restored"), std::string::npos)
      << restore.out;
}

TEST_F(RestoreMixed, ReportOpensInCalcWithOneRowPerAttachment) {
  if (!haveProgram("soffice")) GTEST_SKIP() << "soffice is not installed (libreoffice-calc-nogui)";
  TempDir tmp;
  const CompressRun r = compress(source, "extract-zip", tmp / "dest");
  ASSERT_EQ(r.compress.exitCode, 0) << r.compress.out << r.compress.err;
  const fs::path report = r.runFolder / "Varnolt_Report.csv";
  const std::vector<std::uint8_t> bytes = readFile(report);
  ASSERT_GE(bytes.size(), 3u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 3), (std::vector<std::uint8_t>{0xEF, 0xBB, 0xBF}));
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] == '\n') ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at " << i;

  const json rows =
      runJson({"/usr/bin/python3", here("report_in_calc.py").string(), report.string(), (tmp / "calc").string()})
          .at("rows");
  ASSERT_EQ(rows.size(), 1u + 43u);
  EXPECT_EQ(rows[0], json({"PST", "Folder", "Subject", "Sender", "Date", "Attachment", "Size (bytes)", "Treatment",
                           "Outcome", "Saved file", "Reason"}));
  std::set<std::string> files;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const json& row = rows[i];
    ASSERT_EQ(row.size(), 11u) << row.dump();
    EXPECT_EQ(str(row[0]), source.string());
    EXPECT_EQ(str(row[1]).rfind("/", 0), 0u) << row.dump();
    EXPECT_FALSE(str(row[5]).empty()) << row.dump();
    EXPECT_GT(std::stoll(str(row[6])), 0) << row.dump();
    EXPECT_EQ(str(row[7]), "extract-zip");
    EXPECT_EQ(str(row[8]), "zipped");
    EXPECT_TRUE(fs::is_regular_file(r.runFolder / str(row[9]))) << row.dump();
    files.insert(str(row[9]));
  }
  EXPECT_EQ(files.size(), 43u);
}

}  // namespace
}  // namespace varnolt::test
