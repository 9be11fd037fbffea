// Every sample PST read by `varnolt-cli inspect` and by readers none of us
// wrote: libpff (pypff, through tests/oracles/pst_pypff_dump.py) and libpst
// (lspst and readpst -S, through tests/oracles/pst_readpst_dump.py). They
// must name the same folders, the same messages per folder and the same
// attachments with the same bytes. Copies of samples re-encoded with no
// encryption and with the cyclic method are read by libpff too, so our
// encoders are checked by a decoder we did not write.
//
// Known and allowed for:
//  - folders and messages come in different orders: we follow the
//    hierarchy and contents tables, libpff the node B-tree; each folder's
//    messages are compared as a multiset;
//  - libpff (2018) refuses messages holding a property record of type
//    0x0000 (twelve contacts of mixed-attachments.pst); such a record is a
//    valid, empty placeholder, and we read those messages whole. They are
//    left out of the comparison only as far as libpff failed on them;
//  - libpst lists folders by name only, skips empty folders, lists only
//    e-mails (IPM.Note) and appointments, and writes only attachments held
//    by value; the comparison keeps to what it shows.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>

#include "tests/pst/pst_fixtures.h"

namespace varnolt::test::pst {
namespace {

using nlohmann::json;

const auto* const kUnchanged = ::testing::AddGlobalTestEnvironment(new SamplesUnchanged);

fs::path cli() { return programPath("varnolt-cli"); }
fs::path oracle(const std::string& name) { return sourceDir() / "tests" / "oracles" / name; }

bool havePypff() { return run({"/usr/bin/python3", "-c", "import pypff"}, 60).exitCode == 0; }
bool haveLibpst() { return haveProgram("readpst") && haveProgram("lspst"); }

json runJson(const std::vector<std::string>& argv) {
  auto r = run(argv, 300);
  EXPECT_EQ(r.exitCode, 0) << argv[0] << " " << argv.back() << ": " << r.err;
  if (r.exitCode != 0) return json::object();
  return json::parse(r.out);
}

json inspect(const fs::path& file) { return runJson({cli().string(), "inspect", file.string()}); }

// What identifies a message for the comparison: its subject and its
// attachments in table order (name, method, size and hash of the bytes;
// embedded messages by their presence).
std::string messageKey(const json& m) {
  json key;
  key["subject"] = m.value("subject", json());
  json atts = json::array();
  for (const auto& a : m.value("attachments", json::array())) {
    json k;
    k["filename"] = a.value("filename", json());
    k["method"] = a.value("method", 0);
    if (a.value("method", 0) == 5) {
      k["embedded"] = a.contains("embedded") && !a["embedded"].is_null() && a["embedded"] != false;
    } else {
      k["size"] = a.value("size", json());
      k["sha256"] = a.value("sha256", json());
    }
    atts.push_back(k);
  }
  key["attachments"] = atts;
  return key.dump();
}

// Folder path -> message keys, for every folder (folders of one path merged).
std::map<std::string, std::vector<std::string>> byPath(const json& doc, std::size_t* failed = nullptr) {
  std::map<std::string, std::vector<std::string>> out;
  for (const auto& f : doc["folders"]) {
    auto& list = out[f["path"].dump()];
    for (const auto& m : f["messages"]) {
      if (m.contains("errors")) {
        if (failed) ++*failed;
        list.push_back("<unreadable>");
        continue;
      }
      list.push_back(messageKey(m));
    }
  }
  for (auto& [path, list] : out) std::sort(list.begin(), list.end());
  return out;
}

void compareWithPypff(const fs::path& file, const json& ours) {
  json theirs = runJson({"/usr/bin/python3", oracle("pst_pypff_dump.py").string(), file.string()});
  ASSERT_TRUE(theirs.contains("folders"));
  std::size_t ourFailures = 0, theirFailures = 0;
  auto a = byPath(ours, &ourFailures);
  auto b = byPath(theirs, &theirFailures);
  EXPECT_EQ(ourFailures, 0u);
  std::vector<std::string> pathsA, pathsB;
  for (const auto& f : ours["folders"]) pathsA.push_back(f["path"].dump());
  for (const auto& f : theirs["folders"]) pathsB.push_back(f["path"].dump());
  std::sort(pathsA.begin(), pathsA.end());
  std::sort(pathsB.begin(), pathsB.end());
  EXPECT_EQ(pathsA, pathsB) << "folder paths differ";
  for (const auto& [path, theirList] : b) {
    SCOPED_TRACE("folder " + path);
    std::vector<std::string> ourList = a[path];
    ASSERT_EQ(ourList.size(), theirList.size()) << "message counts differ";
    // Each message libpff read must be one of ours; those it could not
    // read stand for whatever is left.
    std::size_t wildcards = 0;
    for (const auto& key : theirList) {
      if (key == "<unreadable>") {
        ++wildcards;
        continue;
      }
      auto it = std::find(ourList.begin(), ourList.end(), key);
      if (it == ourList.end()) {
        ADD_FAILURE() << "libpff read a message we did not: " << key;
      } else {
        ourList.erase(it);
      }
    }
    EXPECT_EQ(ourList.size(), wildcards);
  }
  if (theirFailures > 0) {
    // Only the sample known for it trips libpff, and only there.
    EXPECT_EQ(file.filename(), "mixed-attachments.pst") << "libpff failed on " << theirFailures << " messages";
  }
}

void compareWithLibpst(const fs::path& file, const json& ours) {
  TempDir scratch;
  json theirs = runJson({"/usr/bin/python3", oracle("pst_readpst_dump.py").string(), file.string(),
                         scratch.path().string()});
  ASSERT_TRUE(theirs.contains("lspst"));
  // lspst: subjects of e-mails and appointments by folder name.
  std::map<std::string, std::vector<std::string>> emails, appointments;
  // readpst: attachments held by value, by path below the top folder.
  std::map<std::string, std::vector<std::string>> attachments;
  for (const auto& f : ours["folders"]) {
    const auto& path = f["path"];
    std::string name = path.empty() ? "" : path.back().get<std::string>();
    std::string below;
    for (std::size_t i = 1; i < path.size(); ++i) below += (i > 1 ? "/" : "") + path[i].get<std::string>();
    for (const auto& m : f["messages"]) {
      std::string cls = m.value("message_class", json("")).is_string() ? m["message_class"].get<std::string>() : "";
      std::string subject = m["subject"].is_string() ? m["subject"].get<std::string>() : "";
      if (cls.rfind("IPM.Note", 0) == 0) emails[name].push_back(subject);
      if (cls.rfind("IPM.Appointment", 0) == 0) appointments[name].push_back(subject);
      for (const auto& a : m["attachments"])
        if (a["method"] == 1 && a["size"].is_number())
          attachments[below].push_back(a["filename"].get<std::string>() + "|" + std::to_string(a["size"].get<long>()) +
                                       "|" + a["sha256"].get<std::string>());
    }
  }
  for (auto* m : {&emails, &appointments, &attachments})
    for (auto& [k, v] : *m) std::sort(v.begin(), v.end());

  std::size_t compared = 0;
  for (const auto& [name, f] : theirs["lspst"].items()) {
    SCOPED_TRACE("lspst folder " + name);
    std::vector<std::string> e = f["emails"], ap = f["appointments"];
    std::sort(e.begin(), e.end());
    std::sort(ap.begin(), ap.end());
    EXPECT_EQ(e, emails[name]);
    EXPECT_EQ(ap, appointments[name]);
    compared += e.size() + ap.size();
  }
  for (const auto& f : theirs["readpst"]) {
    std::string below;
    for (std::size_t i = 0; i < f["path"].size(); ++i) below += (i ? "/" : "") + f["path"][i].get<std::string>();
    SCOPED_TRACE("readpst folder " + below);
    std::vector<std::string> atts;
    for (const auto& a : f["attachments"])
      atts.push_back(a["filename"].get<std::string>() + "|" + std::to_string(a["size"].get<long>()) + "|" +
                     a["sha256"].get<std::string>());
    std::sort(atts.begin(), atts.end());
    EXPECT_EQ(atts, attachments[below]);
    compared += atts.size();
  }
  // Every attachment we hold by value in the personal folders is one readpst wrote.
  std::size_t ours_ = 0, theirs_ = 0;
  for (const auto& [k, v] : attachments) ours_ += v.size();
  for (const auto& f : theirs["readpst"]) theirs_ += f["attachments"].size();
  EXPECT_EQ(ours_, theirs_);
  ::testing::Test::RecordProperty("libpst_items_compared", static_cast<int>(compared));
}

class PstOracle : public ::testing::TestWithParam<fs::path> {};

TEST_P(PstOracle, InspectAgreesWithLibpffAndLibpst) {
  VARNOLT_REQUIRE_SAMPLES();
  ASSERT_TRUE(fs::exists(cli())) << "varnolt-cli is not built";
  json ours = inspect(GetParam());
  ASSERT_TRUE(ours.contains("folders"));
  EXPECT_FALSE(ours.contains("errors"));
  if (!havePypff()) {
    GTEST_SKIP() << "python3-pypff is not installed";
  }
  compareWithPypff(GetParam(), ours);
  if (haveLibpst()) compareWithLibpst(GetParam(), ours);
}

std::string sampleName(const ::testing::TestParamInfo<fs::path>& info) {
  std::string s = info.param.stem().string();
  for (char& c : s)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return s;
}

INSTANTIATE_TEST_SUITE_P(Samples, PstOracle, ::testing::ValuesIn(pstSamples()), sampleName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PstOracle);

// The same content written with each encryption method, and marked as an
// OST: libpff decodes our encoding, and both readers agree on every copy.
TEST(PstOracleEncryption, LibpffReadsOurReencodedAndOstCopies) {
  VARNOLT_REQUIRE_SAMPLES();
  if (!havePypff()) GTEST_SKIP() << "python3-pypff is not installed";
  TempDir dir;
  for (const char* name : {"ansi-one-attachment.pst", "unicode-one-attachment.pst", "unicode-embedded-message.pst"}) {
    m::Bytes original = readFile(samplesDir() / "pst" / name);
    json reference = inspect(samplesDir() / "pst" / name);
    for (p::CryptMethod method : {p::CryptMethod::None, p::CryptMethod::Cyclic}) {
      SCOPED_TRACE(std::string(name) + " method " + std::to_string(static_cast<int>(method)));
      fs::path copy = dir / ("copy-" + std::to_string(static_cast<int>(method)) + "-" + name);
      writeFile(copy, reencode(original, method));
      json ours = inspect(copy);
      EXPECT_EQ(ours, reference);
      compareWithPypff(copy, ours);
    }
    // The same file marked as an OST ("SO"): inspect says so, and reads the same.
    m::Bytes ost = original;
    m::setU16(ost, 8, p::kClientOst);
    MiniPst::restampHeader(ost);
    fs::path copy = dir / (std::string("copy-") + name + ".ost");
    writeFile(copy, ost);
    json ours = inspect(copy);
    EXPECT_EQ(ours["format"], "ost");
    ours["format"] = reference["format"];
    EXPECT_EQ(ours, reference);
    compareWithPypff(copy, ours);
  }
}

}  // namespace
}  // namespace varnolt::test::pst
