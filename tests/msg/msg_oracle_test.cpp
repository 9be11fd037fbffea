// Item files checked against readers none of us wrote: olefile (with a
// script of ours that walks the streams) and the npm package
// @kenjiuno/msgreader. `varnolt-cli inspect` must read every sample as they
// do, `varnolt-cli copy` must give files they read as they read the source,
// and what the library writes must satisfy olefile's strict checks.
//
// Differences of msgreader that are known and allowed for here: it ends
// strings at their first NUL (MAPI's C-string reading, while we keep every
// byte), it takes any "__substg1.0_3701000D" storage for an embedded
// message, OLE storages (attachment method 6) included, and it misspells
// the GUIDs of PS_MAPI and PS_PUBLIC_STRINGS.

#include <nlohmann/json.hpp>

#include "mapi/msg/msg_file.h"
#include "tests/msg/msg_fixtures.h"
#include "tests/support/test_support.h"

namespace m = varnolt::mapi;
namespace msg = varnolt::mapi::msg;
namespace t = varnolt::test;
using nlohmann::json;

namespace {

t::fs::path cli() { return t::programPath("varnolt-cli"); }
t::fs::path oracle(const std::string& name) { return t::sourceDir() / "tests" / "oracles" / name; }

bool haveOlefile() { return t::run({"/usr/bin/python3", "-c", "import olefile"}, 60).exitCode == 0; }
bool haveMsgreader() {
  return t::haveProgram("node") && t::fs::exists(oracle("node_modules/@kenjiuno/msgreader/package.json"));
}

json runJson(const std::vector<std::string>& argv) {
  auto r = t::run(argv, 120);
  EXPECT_EQ(r.exitCode, 0) << argv[0] << " " << argv.back() << ": " << r.err;
  if (r.exitCode != 0) return json();
  return json::parse(r.out);
}

json inspect(const t::fs::path& file) { return runJson({cli().string(), "inspect", "--properties", file.string()}); }
json olefileDump(const t::fs::path& file, bool strict = false) {
  std::vector<std::string> argv{"/usr/bin/python3", oracle("msg_olefile_dump.py").string()};
  if (strict) argv.push_back("--strict");
  argv.push_back(file.string());
  return runJson(argv);
}
json msgreaderDump(const t::fs::path& file) { return runJson({"node", oracle("msg_reader_dump.js").string(), file.string()}); }

// The value of the first property with this id in an inspect property list.
json propertyValue(const json& props, std::uint16_t id) {
  char prefix[8];
  std::snprintf(prefix, sizeof prefix, "0x%04X", id);
  for (const auto& p : props)
    if (p["tag"].get<std::string>().compare(0, 6, prefix) == 0 && p["value"].is_string()) return p["value"];
  return nullptr;
}

json cString(const json& s) {
  if (!s.is_string()) return s;
  std::string v = s.get<std::string>();
  return v.substr(0, v.find('\0'));
}

// What an oracle should print, from `inspect --properties`.
json expected(const json& message, bool asMsgreader) {
  auto str = [asMsgreader](const json& v) { return asMsgreader ? cString(v) : v; };
  json out;
  out["subject"] = str(message["subject"]);
  out["message_class"] = str(message["message_class"]);
  out["body_text_sha256"] = message["body_text_sha256"];
  json body = propertyValue(message["properties"], 0x1000);
  if (asMsgreader && body.is_string() && body.get<std::string>().find('\0') != std::string::npos) {
    std::string text = cString(body);
    out["body_text_sha256"] = t::sha256Hex(std::vector<std::uint8_t>(text.begin(), text.end()));
  }
  out["body_html_sha256"] = message["body_html_sha256"];
  out["has_rtf"] = message["has_rtf"];
  out["recipients"] = json::array();
  for (const auto& r : message["recipient_properties"])
    out["recipients"].push_back({{"name", str(propertyValue(r, 0x3001))}, {"email", str(propertyValue(r, 0x3003))}});
  out["attachments"] = json::array();
  for (const auto& a : message["attachments"]) {
    json att = {{"filename", str(a["filename"])}, {"size", a["size"]}, {"sha256", a["sha256"]}};
    if (!asMsgreader) att["method"] = a["method"];
    if (a.contains("embedded")) att["embedded"] = expected(a["embedded"], asMsgreader);
    out["attachments"].push_back(att);
  }
  return out;
}

// An oracle's message without its name list, and (for msgreader) without
// the embedded message it sees in an OLE storage.
json comparable(json message, const json& ours) {
  message.erase("named");
  auto& atts = message["attachments"];
  for (std::size_t i = 0; i < atts.size() && i < ours["attachments"].size(); ++i) {
    if (ours["attachments"][i]["method"] == 6) atts[i].erase("embedded");
    if (atts[i].contains("embedded") && ours["attachments"][i].contains("embedded"))
      atts[i]["embedded"] = comparable(atts[i]["embedded"], ours["attachments"][i]["embedded"]);
  }
  return message;
}

// msgreader 1.28 misspells the two property sets that the name map refers
// to by index (PS_MAPI and PS_PUBLIC_STRINGS) with a digit too many and one
// too few; the index it read is right.
std::string msgreaderSetFixed(std::string name) {
  for (const char* set : {"00020328", "00020329"}) {
    std::string wrong = std::string("{") + set + "-00000-0000-C000-00000000046}";
    if (name.compare(0, wrong.size(), wrong) == 0)
      name = std::string("{") + set + "-0000-0000-C000-000000000046}" + name.substr(wrong.size());
  }
  return name;
}

json ourNames(const json& message) {
  json names = json::object();
  for (const auto& p : message["properties"])
    if (p.contains("name")) names[p["tag"].get<std::string>()] = p["name"];
  return names;
}

// Both oracles read the file as `inspect` does.
void expectOraclesAgree(const t::fs::path& file, bool strict) {
  json ours = inspect(file);
  ASSERT_TRUE(ours.is_object());
  const json& m = ours["message"];
  if (haveOlefile()) {
    json ole = olefileDump(file, strict);
    EXPECT_EQ(comparable(ole["message"], m), expected(m, false)) << "olefile";
    EXPECT_EQ(ole["message"]["named"], ourNames(m)) << "olefile names";
  }
  if (haveMsgreader()) {
    json mr = msgreaderDump(file);
    EXPECT_EQ(comparable(mr["message"], m), expected(m, true)) << "msgreader";
    // msgreader gives string names without their property set.
    json names = ourNames(m);
    ASSERT_EQ(mr["message"]["named"].size(), names.size()) << "msgreader names";
    for (const auto& [tag, name] : mr["message"]["named"].items()) {
      std::string n = msgreaderSetFixed(name.get<std::string>());
      std::string o = names.value(tag, "");
      if (n[0] == ':') {
        EXPECT_TRUE(o.size() > n.size() && o.compare(o.size() - n.size(), n.size(), n) == 0) << tag << " " << n;
      } else {
        EXPECT_EQ(n, o) << tag;
      }
    }
  }
}

}  // namespace

TEST(MsgOracles, InspectReadsEverySampleAsOlefileAndMsgreaderDo) {
  VARNOLT_REQUIRE_SAMPLES();
  auto files = t::sampleFiles("msg", ".msg");
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    expectOraclesAgree(file, false);
  }
}

TEST(MsgOracles, CopiesKeepEverythingTheSourceHolds) {
  VARNOLT_REQUIRE_SAMPLES();
  t::TempDir dir;
  for (const auto& file : t::sampleFiles("msg", ".msg")) {
    SCOPED_TRACE(file.filename().string());
    auto copy = dir / file.filename().string();
    auto r = t::run({cli().string(), "copy", file.string(), copy.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(inspect(copy), inspect(file));
    if (haveOlefile()) {
      EXPECT_EQ(olefileDump(copy, true), olefileDump(file));
    }
    if (haveMsgreader()) {
      EXPECT_EQ(msgreaderDump(copy), msgreaderDump(file));
    }
    expectOraclesAgree(copy, true);
  }
}

TEST(MsgOracles, WrittenMessagesReadByIndependentReaders) {
  t::TempDir dir;
  auto file = dir / "every-type.msg";
  msg::writeMessageFile(file, varnolt::test::msgfix::everyTypeMessage());
  expectOraclesAgree(file, true);
  json ours = inspect(file)["message"];
  EXPECT_EQ(ours["subject"], "Every type ✓ 日本");
  EXPECT_EQ(ours["attachments"].size(), 4u);
  EXPECT_EQ(ours["attachments"][1]["embedded"]["subject"], "Inner subject");
  EXPECT_EQ(ourNames(ours).size(), 6u);
}

TEST(MsgCli, CopyAndInspectReportFailuresClearly) {
  VARNOLT_REQUIRE_SAMPLES();
  t::TempDir dir;
  // A damaged item file: one line naming the file, exit code 1.
  auto broken = dir / "broken.msg";
  auto bytes = t::readFile(t::samplesDir() / "msg" / "outlook-message1.msg");
  bytes.resize(3000);
  t::writeFile(broken, bytes);
  auto r = t::run({cli().string(), "inspect", broken.string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind(broken.string() + ": ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;

  r = t::run({cli().string(), "copy", broken.string(), (dir / "out.msg").string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.rfind(broken.string() + ": ", 0), 0u) << r.err;
  EXPECT_FALSE(t::fs::exists(dir / "out.msg"));

  // A PST copied to a folder that does not exist leaves nothing behind.
  auto pst = t::samplesDir() / "pst" / "contacts.pst";
  r = t::run({cli().string(), "copy", pst.string(), (dir / "absent" / "out.pst").string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err, "");
  EXPECT_FALSE(t::fs::exists(dir / "absent"));

  r = t::run({cli().string(), "copy", (dir / "missing.msg").string(), (dir / "out.msg").string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;

  auto good = t::samplesDir() / "msg" / "outlook-msgwithatt.msg";
  r = t::run({cli().string(), "copy", good.string(), (dir / "no" / "such" / "dir.msg").string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.rfind((dir / "no" / "such" / "dir.msg").string() + ": ", 0), 0u) << r.err;

  r = t::run({cli().string(), "copy", good.string()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("usage"), std::string::npos);

  // A file copied onto itself is read whole first, then replaced whole.
  auto self = dir / "self.msg";
  t::fs::copy_file(good, self);
  r = t::run({cli().string(), "copy", self.string(), self.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(inspect(self), inspect(good));
}
