// Compressed RTF and encapsulated HTML checked against readers none of us
// wrote: the npm packages @kenjiuno/decompressrtf (compressed RTF) and
// rtf-stream-parser (de-encapsulation), through the scripts in
// tests/oracles. Both directions: what we write they read back exactly,
// and what real files hold we read as they do.

#include <nlohmann/json.hpp>

#include "mapi/msg/msg_file.h"
#include "mapi/rtf/compressed_rtf.h"
#include "mapi/rtf/rtf_text.h"
#include "mapi/tags.h"
#include "tests/rtf/rtf_fixtures.h"
#include "tests/support/test_support.h"

namespace m = varnolt::mapi;
namespace rtf = varnolt::mapi::rtf;
namespace t = varnolt::test;
using namespace varnolt::test::rtf;
using nlohmann::json;

namespace {

t::fs::path oracle(const std::string& name) { return t::sourceDir() / "tests" / "oracles" / name; }

bool haveNodePackage(const std::string& package) {
  return t::haveProgram("node") && t::fs::exists(oracle("node_modules/" + package + "/package.json"));
}

#define REQUIRE_NODE_PACKAGE(package)                                                     \
  do {                                                                                    \
    if (!haveNodePackage(package)) GTEST_SKIP() << "node or the npm package " package " is missing"; \
  } while (0)

// The RTF bytes @kenjiuno/decompressrtf makes of a compressed property.
m::Bytes oracleDecompress(const t::TempDir& dir, const m::Bytes& compressed) {
  t::writeFile(dir / "in.bin", compressed);
  t::CommandResult r = t::run({"node", oracle("rtf_decompress.js").string(), (dir / "in.bin").string()}, 120);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return m::Bytes(r.out.begin(), r.out.end());
}

// rtf-stream-parser's de-encapsulation of an RTF document.
json oracleDeencapsulate(const t::TempDir& dir, const std::string& rtfText) {
  t::writeFile(dir / "in.rtf", rtfText);
  t::CommandResult r = t::run({"node", oracle("rtf_deencapsulate.js").string(), (dir / "in.rtf").string()}, 120);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  if (r.exitCode != 0) return json();
  return json::parse(r.out);
}

// True when the outermost group closes before the end of the document
// (one sample's RTF does, after its first line).
bool closesEarly(const std::string& doc) {
  int depth = 0;
  for (std::size_t i = 0; i < doc.size(); ++i) {
    if (doc[i] == '\\') {
      ++i;
    } else if (doc[i] == '{') {
      ++depth;
    } else if (doc[i] == '}' && --depth == 0) {
      return doc.find_first_not_of(" \r\n", i + 1) != std::string::npos;
    }
  }
  return false;
}

struct SampleRtf {
  std::string name;
  m::Bytes compressed;
};

std::vector<SampleRtf> sampleRtfs() {
  std::vector<SampleRtf> out;
  for (const auto& file : t::sampleFiles("msg", ".msg")) {
    m::Message message = m::msg::readMessageFile(file);
    if (const m::Bytes* b = message.props.getBinary(m::tag::RtfCompressed))
      out.push_back({file.filename().string(), *b});
  }
  return out;
}

TEST(RtfOracle, OurCompressedRtfReadsBackExactly) {
  REQUIRE_NODE_PACKAGE("@kenjiuno/decompressrtf");
  t::TempDir dir;
  std::string repeated;
  for (int i = 0; i < 3000; ++i) repeated += "{\\b x}\\par ";
  std::vector<std::pair<std::string, m::Bytes>> inputs = {
      {"empty", {}},
      {"example 1", bytesOf(kExample1Raw)},
      {"example 2", bytesOf(kExample2Raw)},
      {"repeated", bytesOf(repeated)},
      {"long body", bytesOf(longRtf(4000))},
      {"random bytes", randomBytes(30000, 11)},
      {"encapsulated HTML", bytesOf(rtf::rtfFromHtml("<html><body><p>Hello &amp; welcome</p>"
                                                    "<a href=\"file:///x/y.txt\">y.txt</a></body></html>"))},
  };
  if (!t::samplesDir().empty())
    for (const SampleRtf& s : sampleRtfs()) inputs.push_back({s.name, rtf::decompressLenient(s.compressed).rtf});
  for (const auto& [name, raw] : inputs) {
    SCOPED_TRACE(name);
    m::Bytes packed = rtf::compress(raw);
    EXPECT_EQ(oracleDecompress(dir, packed), raw);
    EXPECT_EQ(oracleDecompress(dir, rtf::storeUncompressed(raw)), raw);
  }
}

TEST(RtfOracle, SampleRtfDecompressesAlike) {
  VARNOLT_REQUIRE_SAMPLES();
  REQUIRE_NODE_PACKAGE("@kenjiuno/decompressrtf");
  t::TempDir dir;
  std::vector<SampleRtf> samples = sampleRtfs();
  ASSERT_GE(samples.size(), 10u);
  for (const SampleRtf& s : samples) {
    SCOPED_TRACE(s.name);
    // The uncompressed samples carry COMPSIZE in RAWSIZE too; both readers
    // take the content COMPSIZE bounds.
    rtf::DecompressResult ours = rtf::decompressLenient(s.compressed);
    EXPECT_TRUE(ours.complete && ours.crcMatches);
    EXPECT_EQ(ours.sizeMatches, ours.compressed);
    EXPECT_EQ(ours.rtf, oracleDecompress(dir, s.compressed));
  }
}

TEST(RtfOracle, EncapsulatedHtmlAgrees) {
  REQUIRE_NODE_PACKAGE("rtf-stream-parser");
  t::TempDir dir;
  std::vector<std::string> documents = {
      "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\r\n"
      "<style>p {margin:0}</style></head>\r\n<body>\r\n<p>Hello &amp; welcome, Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC "
      "\xF0\x9F\x98\x80</p>\r\n<p>a < b > c &nbsp; {braces} \\backslash\\</p>\r\n"
      "<a href=\"file:///x/y.txt\">y.txt</a></body></html>\r\n",
      "<p>no html element, tabs\there</p>\n<br>\nend",
      "plain text without any markup",
  };
  if (!t::samplesDir().empty())
    for (const SampleRtf& s : sampleRtfs())
      if (auto h = rtf::htmlFromRtf(rtf::decompressLenient(s.compressed).rtf)) documents.push_back(*h);
  ASSERT_GE(documents.size(), 3u);
  for (const std::string& h : documents) {
    SCOPED_TRACE(h.substr(0, 80));
    json back = oracleDeencapsulate(dir, rtf::rtfFromHtml(h));
    EXPECT_EQ(back.value("mode", ""), "html");
    EXPECT_EQ(back.value("text", ""), h);
  }
}

TEST(RtfOracle, SampleHtmlDeencapsulatesAlike) {
  VARNOLT_REQUIRE_SAMPLES();
  REQUIRE_NODE_PACKAGE("rtf-stream-parser");
  t::TempDir dir;
  int encapsulated = 0;
  for (const SampleRtf& s : sampleRtfs()) {
    SCOPED_TRACE(s.name);
    m::Bytes raw = rtf::decompressLenient(s.compressed).rtf;
    rtf::RtfOrigin origin = rtf::originOf(raw);
    if (origin == rtf::RtfOrigin::Rtf) continue;
    ++encapsulated;
    json theirs = oracleDeencapsulate(dir, stringOf(raw));
    if (origin == rtf::RtfOrigin::Html) {
      EXPECT_EQ(theirs.value("mode", ""), "html");
      std::string ours = rtf::htmlFromRtf(raw).value_or("(none)");
      std::string text = theirs.value("text", "");
      if (closesEarly(stringOf(raw))) {
        // rtf-stream-parser stops where the outermost group closes; we read
        // on, as RTF readers do, and keep the rest of the body.
        EXPECT_EQ(ours.substr(0, text.size()), text);
        EXPECT_GT(ours.size(), text.size());
      } else {
        EXPECT_EQ(text, ours);
      }
    } else {
      EXPECT_EQ(theirs.value("mode", ""), "text");
      EXPECT_EQ(theirs.value("text", ""), rtf::textFromRtf(raw));
    }
  }
  EXPECT_GE(encapsulated, 5);
}

}  // namespace
