// Input that is not a sound PST: the bad samples, truncated and bit-flipped
// copies of good ones, and crafted stores whose folder tree loops or whose
// messages ask for unbounded memory. Each must end in a one-line error
// that names the file (exit 1 when nothing could be read, 2 when some parts
// could not), never in a crash or a hang; in-process, the library must
// throw only mapi::Error and report every damaged part it meets.

#include <nlohmann/json.hpp>

#include "mapi/tags.h"
#include "tests/pst/pst_fixtures.h"

namespace varnolt::test::pst {
namespace {

using nlohmann::json;

const auto* const kUnchanged = ::testing::AddGlobalTestEnvironment(new SamplesUnchanged);

fs::path cli() { return programPath("varnolt-cli"); }
fs::path sample(const std::string& name) { return samplesDir() / "pst" / name; }

// Runs inspect on a file that is not sound and checks the outcome.
void expectCleanFailure(const fs::path& file, const CommandResult& r, std::initializer_list<int> codes = {1, 2}) {
  EXPECT_NE(std::find(codes.begin(), codes.end(), r.exitCode), codes.end()) << "exit " << r.exitCode << ": " << r.err;
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "more than one line: " << r.err;
  EXPECT_EQ(r.err.rfind(file.string() + ": ", 0), 0u) << r.err;
  if (r.exitCode == 2) {
    EXPECT_TRUE(json::accept(r.out)) << "partial output is still a JSON document";
  }
}

CommandResult inspect(const fs::path& file) { return run({cli().string(), "inspect", file.string()}, 60); }

// Reads a store as inspect does, collecting every problem instead of
// stopping at the first.
std::vector<FolderContent> readLeniently(const p::Store& store, std::vector<std::string>& problems) {
  std::vector<FolderContent> out;
  problems.insert(problems.end(), store.warnings().begin(), store.warnings().end());
  std::set<p::NodeId> seen{p::nid::RootFolder};
  std::function<void(p::NodeId, const std::vector<std::string>&, unsigned)> walk =
      [&](p::NodeId id, const std::vector<std::string>& path, unsigned depth) {
        try {
          p::Folder f = store.folder(id);
          FolderContent c;
          c.path = path;
          if (id != p::nid::RootFolder) c.path.push_back(f.displayName());
          c.props = f.properties();
          for (p::NodeId mid : f.messageIds()) {
            try {
              c.messages.push_back(store.readMessage(mid, &problems));
            } catch (const m::Error& e) {
              problems.push_back(e.what());
            }
          }
          if (id != p::nid::RootFolder) out.push_back(c);
          for (p::NodeId child : f.subfolderIds()) {
            if (seen.insert(child).second && depth < p::limits::kMaxFolderDepth) walk(child, c.path, depth + 1);
          }
        } catch (const m::Error& e) {
          problems.push_back(e.what());
        }
      };
  walk(p::nid::RootFolder, {}, 0);
  return out;
}

// How a damaged copy fared: refused on opening, read with problems named,
// or read exactly as the original (the damage hit bytes nothing reads).
enum class Outcome { Refused, Reported, Unchanged };

Outcome readDamaged(const m::Bytes& bytes, const std::vector<FolderContent>& original) {
  std::unique_ptr<p::Store> store;
  try {
    store = p::Store::open(std::make_shared<p::MemorySource>(bytes));
  } catch (const m::Error& e) {
    EXPECT_FALSE(std::string(e.what()).empty());
    return Outcome::Refused;
  }
  std::vector<std::string> problems;
  auto content = readLeniently(*store, problems);
  if (!problems.empty()) return Outcome::Reported;
  EXPECT_TRUE(content == original) << "damage changed what was read without a word";
  return Outcome::Unchanged;
}

TEST(PstBadInput, BadSamplesAreRefusedInOneLine) {
  VARNOLT_REQUIRE_SAMPLES();
  auto files = sampleFiles("bad", ".pst");
  ASSERT_FALSE(files.empty());
  for (const auto& f : files) {
    SCOPED_TRACE(f.string());
    auto r = inspect(f);
    expectCleanFailure(f, r, {1});
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_NE(inspect(samplesDir() / "bad" / "empty.pst").err.find("not a PST file"), std::string::npos);
  EXPECT_NE(inspect(samplesDir() / "bad" / "not-a-pst.pst").err.find("not a PST file"), std::string::npos);
  EXPECT_NE(inspect(samplesDir() / "bad" / "truncated-header-only.pst").err.find("truncated"), std::string::npos);
}

TEST(PstBadInput, TruncatedCopiesFailCleanly) {
  VARNOLT_REQUIRE_SAMPLES();
  TempDir dir;
  for (const char* name : {"ansi-one-attachment.pst", "unicode-embedded-message.pst"}) {
    m::Bytes full = readFile(sample(name));
    std::vector<std::size_t> cuts = {0, 1, 4, 11, 12, 300, 511, 512, 563, 564, 4096, 0x4400, 0x4401, 0x4600};
    for (std::size_t c = 0x4800; c < full.size(); c += full.size() / 13) cuts.push_back(c);
    cuts.push_back(full.size() - 1);
    for (std::size_t cut : cuts) {
      SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(cut));
      fs::path file = dir / ("cut-" + std::to_string(cut) + ".pst");
      writeFile(file, m::Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));
      auto r = inspect(file);
      expectCleanFailure(file, r);
      // Past the signature, the message says what happened.
      if (cut >= 12) {
        EXPECT_NE(r.err.find("truncated"), std::string::npos) << r.err;
      }
    }
  }
}

TEST(PstBadInput, EveryTruncationIsReportedInProcess) {
  VARNOLT_REQUIRE_SAMPLES();
  m::Bytes full = readFile(sample("mixed-attachments.pst"));
  auto original = readEverything(*p::Store::open(std::make_shared<p::MemorySource>(full)));
  int refused = 0, reported = 0;
  for (std::size_t cut = 0; cut < full.size(); cut += 7919) {
    SCOPED_TRACE(cut);
    Outcome o = readDamaged(m::Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)), original);
    EXPECT_NE(o, Outcome::Unchanged) << "a truncated file read as whole";
    (o == Outcome::Refused ? refused : reported) += 1;
  }
  EXPECT_GT(reported, 0);
  EXPECT_GT(refused, 0);
}

TEST(PstBadInput, BitFlipsAreCaughtOrHarmless) {
  VARNOLT_REQUIRE_SAMPLES();
  for (auto [name, step] : {std::pair{"unicode-one-attachment.pst", 173}, std::pair{"ansi-one-attachment.pst", 251}}) {
    SCOPED_TRACE(name);
    m::Bytes full = readFile(sample(name));
    auto original = readEverything(*p::Store::open(std::make_shared<p::MemorySource>(full)));
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < 564; i += 3) offsets.push_back(i);
    for (std::size_t i = 564; i < full.size(); i += static_cast<std::size_t>(step)) offsets.push_back(i);
    std::map<Outcome, int> seen;
    for (std::size_t off : offsets) {
      SCOPED_TRACE(off);
      m::Bytes copy = full;
      copy[off] ^= static_cast<std::uint8_t>(1u << (off % 8));
      ++seen[readDamaged(copy, original)];
    }
    // The header, the B-trees and the blocks are all checked; free space
    // and map pages are not read.
    EXPECT_GT(seen[Outcome::Refused], 100);
    EXPECT_GT(seen[Outcome::Reported], 100);
    EXPECT_GT(seen[Outcome::Unchanged], 0);
  }
}

TEST(PstBadInput, BitFlipsThroughTheCommandLine) {
  VARNOLT_REQUIRE_SAMPLES();
  TempDir dir;
  m::Bytes full = readFile(sample("unicode-one-attachment.pst"));
  auto clean = inspect(sample("unicode-one-attachment.pst"));
  ASSERT_EQ(clean.exitCode, 0);
  std::set<int> codes;
  for (std::size_t off : {4u, 10u, 200u, 513u, 524u, 0x4400u, 0x4600u}) {
    for (std::size_t more = 0; more < 5; ++more) {
      std::size_t at = off + more * (full.size() / 7);
      if (at >= full.size()) continue;
      SCOPED_TRACE(at);
      m::Bytes copy = full;
      copy[at] ^= 0x10;
      fs::path file = dir / ("flip-" + std::to_string(at) + ".pst");
      writeFile(file, copy);
      auto r = inspect(file);
      codes.insert(r.exitCode);
      if (r.exitCode == 0) {
        EXPECT_EQ(r.out, clean.out) << "a flip changed the output without an error";
      } else {
        expectCleanFailure(file, r);
      }
    }
  }
  EXPECT_TRUE(codes.count(1));
  EXPECT_TRUE(codes.count(2));
}

// A store built by hand: root folder, one folder, and what the test puts
// in them.
struct CraftedStore {
  MiniPst pst;
  void folder(p::NodeId nid, const std::string& name, const std::vector<p::NodeId>& children,
              const std::vector<p::NodeId>& messages, p::NodeId parent) {
    pst.node(nid, pst.block(pcHeap({unicodeValue(0x3001, name)}), false), 0, parent);
    pst.node(p::withType(nid, p::nid_type::HierarchyTable), pst.block(tcHeap(children), false));
    pst.node(p::withType(nid, p::nid_type::ContentsTable), pst.block(tcHeap(messages), false));
  }
};

TEST(PstBadInput, FolderLoopsAreReportedNotFollowed) {
  ASSERT_TRUE(fs::exists(cli()));
  TempDir dir;
  CraftedStore s;
  s.folder(p::nid::RootFolder, "", {0x8022}, {}, p::nid::RootFolder);
  s.folder(0x8022, "Top", {0x8042}, {}, p::nid::RootFolder);
  // "Inner" lists its parent and itself as subfolders.
  s.folder(0x8042, "Inner", {0x8022, 0x8042, 0x9982}, {}, 0x8022);
  fs::path file = dir / "loop.pst";
  writeFile(file, s.pst.finish());
  auto r = inspect(file);
  expectCleanFailure(file, r, {2});
  json doc = json::parse(r.out);
  ASSERT_EQ(doc["folders"].size(), 3u);  // Top, Top/Inner, and the missing one
  EXPECT_EQ(doc["folders"][1]["path"], json({"Top", "Inner"}));
  EXPECT_NE(doc["folders"][1]["errors"].dump().find("listed twice"), std::string::npos);
  EXPECT_NE(doc["folders"][2]["errors"].dump().find("not in the node B-tree"), std::string::npos);
}

TEST(PstBadInput, MessagesThatAskTooMuchAreRefused) {
  ASSERT_TRUE(fs::exists(cli()));
  TempDir dir;
  CraftedStore s;
  const p::Layout& l = p::Layout::unicode();
  std::vector<p::BlockId> kids;
  for (int i = 0; i < 8; ++i) kids.push_back(s.pst.block(m::Bytes(8176, 0x20), false));
  m::Bytes x;
  p::XBlockHeader{p::kBlockTypeXBlock, 1, 8, 8 * 8176}.write(x);
  for (auto k : kids) p::putId(x, k, l);
  m::Bytes sl;
  p::SubnodeBlockHeader{p::kBlockTypeSubnode, 0, 1}.write(sl, l);
  p::SlEntry{0x3F, s.pst.block(x, true), 0}.write(sl, l);
  p::BlockId sub = s.pst.block(sl, true);
  std::vector<PcValue> values{unicodeValue(0x0037, "greedy"), unicodeValue(0x001A, "IPM.Note")};
  for (std::uint16_t id = 0x8000; id < 0x8000 + 900; ++id) values.push_back({id, m::pt::Binary, {}, 0x3F});
  s.pst.node(0x200024, s.pst.block(pcHeap(values), false), sub, 0x8022);
  s.folder(p::nid::RootFolder, "", {0x8022}, {}, p::nid::RootFolder);
  s.folder(0x8022, "Top", {}, {0x200024}, p::nid::RootFolder);
  fs::path file = dir / "greedy.pst";
  writeFile(file, s.pst.finish());
  auto r = inspect(file);
  expectCleanFailure(file, r, {2});
  EXPECT_NE(r.err.find("more data than the file holds"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace varnolt::test::pst
