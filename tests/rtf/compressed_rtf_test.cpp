// Compressed RTF: the published examples, round trips through our
// compressor, and damaged or hostile properties.

#include "mapi/rtf/compressed_rtf.h"

#include <gtest/gtest.h>

#include "tests/rtf/rtf_fixtures.h"

namespace m = varnolt::mapi;
namespace rtf = varnolt::mapi::rtf;
using namespace varnolt::test::rtf;

namespace {

m::ErrorKind errorKindOf(const m::Bytes& data) {
  try {
    rtf::decompress(data);
  } catch (const m::Error& e) {
    return e.kind();
  }
  ADD_FAILURE() << "decompress accepted the input";
  return m::ErrorKind::InvalidArgument;
}

TEST(CompressedRtf, PublishedExamplesDecompress) {
  EXPECT_EQ(stringOf(rtf::decompress(kExample1)), kExample1Raw);
  EXPECT_EQ(stringOf(rtf::decompress(kExample2)), kExample2Raw);

  rtf::CompressedRtfHeader h = rtf::readHeader(kExample1);
  EXPECT_EQ(h.compSize, kExample1.size() - 4);
  EXPECT_EQ(h.rawSize, kExample1Raw.size());
  EXPECT_EQ(h.compType, rtf::kCompTypeCompressed);
  EXPECT_EQ(h.crc, 0xA7C7C5F1u);
  EXPECT_EQ(rtf::rtfCrc(m::ByteView(kExample2).from(16)), 0x514BD4E2u);
}

TEST(CompressedRtf, CompressorReproducesPublishedExamples) {
  // Longest match first, the lower dictionary offset among equals: the
  // choices the examples show, so our output matches them byte for byte.
  EXPECT_EQ(rtf::compress(bytesOf(kExample1Raw)), kExample1);
  EXPECT_EQ(rtf::compress(bytesOf(kExample2Raw)), kExample2);
}

TEST(CompressedRtf, UncompressedForm) {
  m::Bytes stored = rtf::storeUncompressed(bytesOf(kExample2Raw));
  m::Bytes expected = {0x28, 0, 0, 0, 0x1c, 0, 0, 0, 'M', 'E', 'L', 'A', 0, 0, 0, 0};
  expected.insert(expected.end(), kExample2Raw.begin(), kExample2Raw.end());
  EXPECT_EQ(stored, expected);
  rtf::DecompressResult r = rtf::decompressLenient(stored);
  EXPECT_FALSE(r.compressed);
  EXPECT_EQ(stringOf(r.rtf), kExample2Raw);
  EXPECT_EQ(stringOf(rtf::decompress(stored)), kExample2Raw);
}

TEST(CompressedRtf, RoundTripsUseBackReferences) {
  struct Case {
    const char* name;
    m::Bytes raw;
  };
  std::string repeated;
  for (int i = 0; i < 2000; ++i) repeated += "\\par ";
  std::vector<Case> cases = {
      {"empty", {}},
      {"one byte", {'{'}},
      {"example 1", bytesOf(kExample1Raw)},
      {"repeated past the dictionary size", bytesOf(repeated)},
      {"long body", bytesOf(longRtf(3000))},
      {"random bytes", randomBytes(20000, 3)},
      {"zeros", m::Bytes(10000, 0)},
      {"one byte value 0xFF many times", m::Bytes(70000, 0xFF)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m::Bytes packed = rtf::compress(c.raw);
    rtf::DecompressResult r = rtf::decompressLenient(packed);
    EXPECT_TRUE(r.compressed && r.crcMatches && r.sizeMatches && r.complete);
    EXPECT_EQ(r.rtf, c.raw);
    EXPECT_EQ(rtf::decompress(packed), c.raw);
  }
  // Real references, not a literal copy: RTF compresses well.
  m::Bytes body = bytesOf(longRtf(3000));
  EXPECT_LT(rtf::compress(body).size(), body.size() / 3);
  EXPECT_LT(rtf::compress(bytesOf(repeated)).size(), repeated.size() / 6);
  // Incompressible input grows by one control byte per eight literals.
  EXPECT_LE(rtf::compress(randomBytes(20000, 3)).size(), 16 + 20000 + 20000 / 8 + 4);
}

TEST(CompressedRtf, WrongCrcIsRefusedOrFlagged) {
  m::Bytes data = rtf::compress(bytesOf(longRtf(50)));
  data[12] ^= 0x01;
  EXPECT_EQ(errorKindOf(data), m::ErrorKind::Checksum);
  rtf::DecompressResult r = rtf::decompressLenient(data);
  EXPECT_FALSE(r.crcMatches);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(stringOf(r.rtf), longRtf(50));

  // A flipped content byte changes the CRC too.
  m::Bytes content = rtf::compress(bytesOf(longRtf(50)));
  content[40] ^= 0x40;
  EXPECT_FALSE(rtf::decompressLenient(content).crcMatches);
}

TEST(CompressedRtf, LyingSizesAreRefusedOrFlagged) {
  const m::Bytes good = rtf::compress(bytesOf(longRtf(40)));
  const std::string raw = longRtf(40);

  for (std::uint32_t rawSize : {0u, 10u, static_cast<std::uint32_t>(raw.size() - 1), 0xFFFFFFF0u}) {
    SCOPED_TRACE(rawSize);
    m::Bytes data = good;
    m::setU32(data, 4, rawSize);
    EXPECT_EQ(errorKindOf(data), m::ErrorKind::Corrupt);
    rtf::DecompressResult r = rtf::decompressLenient(data);
    EXPECT_FALSE(r.sizeMatches);
    EXPECT_EQ(stringOf(r.rtf), raw);  // output follows the content, not the header
  }

  m::Bytes longer = good;
  m::setU32(longer, 0, 0x7FFFFFFF);
  EXPECT_EQ(errorKindOf(longer), m::ErrorKind::Truncated);
  EXPECT_FALSE(rtf::decompressLenient(longer).complete);

  m::Bytes tiny = good;
  m::setU32(tiny, 0, 3);
  EXPECT_EQ(errorKindOf(tiny), m::ErrorKind::Corrupt);
  EXPECT_TRUE(rtf::decompressLenient(tiny).rtf.empty());

  // COMPSIZE that ends the content before its end marker.
  m::Bytes shortened = good;
  m::setU32(shortened, 0, static_cast<std::uint32_t>(good.size() - 4 - 10));
  EXPECT_EQ(errorKindOf(shortened), m::ErrorKind::Corrupt);

  // Trailing bytes past COMPSIZE (padding some stores add) are ignored.
  m::Bytes padded = good;
  padded.resize(padded.size() + 7, 0xAB);
  EXPECT_EQ(stringOf(rtf::decompress(padded)), raw);

  // The uncompressed form as some writers make it, with RAWSIZE equal to
  // COMPSIZE: flagged, and the content read as COMPSIZE bounds it.
  m::Bytes mela = rtf::storeUncompressed(bytesOf(raw));
  m::setU32(mela, 4, static_cast<std::uint32_t>(raw.size() + 12));
  EXPECT_EQ(errorKindOf(mela), m::ErrorKind::Corrupt);
  rtf::DecompressResult r = rtf::decompressLenient(mela);
  EXPECT_TRUE(r.complete);
  EXPECT_FALSE(r.sizeMatches);
  EXPECT_EQ(stringOf(r.rtf), raw);
  m::Bytes cutMela = rtf::storeUncompressed(bytesOf(raw));
  cutMela.resize(cutMela.size() - 5);
  EXPECT_EQ(errorKindOf(cutMela), m::ErrorKind::Truncated);
  r = rtf::decompressLenient(cutMela);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(stringOf(r.rtf), raw.substr(0, raw.size() - 5));
}

TEST(CompressedRtf, CutShortAnywhere) {
  const m::Bytes good = rtf::compress(bytesOf(longRtf(30)));
  const std::string raw = longRtf(30);
  for (std::size_t n = 0; n < good.size(); ++n) {
    m::Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_THROW(rtf::decompress(cut), m::Error) << n;
    if (n < 16) {
      EXPECT_THROW(rtf::decompressLenient(cut), m::Error);
      continue;
    }
    rtf::DecompressResult r = rtf::decompressLenient(cut);
    EXPECT_FALSE(r.complete) << n;
    // What was decoded is a prefix of the real text.
    ASSERT_LE(r.rtf.size(), raw.size());
    EXPECT_EQ(stringOf(r.rtf), raw.substr(0, r.rtf.size())) << n;
  }
}

TEST(CompressedRtf, HostileContentStaysBounded) {
  EXPECT_EQ(errorKindOf(m::Bytes{1, 2, 3}), m::ErrorKind::Truncated);
  m::Bytes unknown = kExample2;
  unknown[8] = 'X';
  EXPECT_EQ(errorKindOf(unknown), m::ErrorKind::BadFormat);

  // Nothing but references, each of the longest kind and none the end
  // marker: output grows with the input and no faster.
  m::Bytes refs(16, 0);
  std::size_t writePos = 207;
  for (int run = 0; run < 4000; ++run) {
    refs.push_back(0xFF);
    for (int k = 0; k < 8; ++k) {
      std::size_t word = (((writePos + 1) & 0xFFF) << 4) | 0xF;  // just past the write position, length 17
      refs.push_back(static_cast<std::uint8_t>(word >> 8));
      refs.push_back(static_cast<std::uint8_t>(word));
      writePos = (writePos + 17) & 0xFFF;
    }
  }
  m::setU32(refs, 0, static_cast<std::uint32_t>(refs.size() - 4));
  m::setU32(refs, 4, 0xFFFFFFFF);
  m::setU32(refs, 8, rtf::kCompTypeCompressed);
  rtf::DecompressResult r = rtf::decompressLenient(refs);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.rtf.size(), 4000u * 8 * 17);

  // Random content behind a valid header never reads outside its buffer
  // (the sanitizer builds check that) and always ends.
  for (unsigned seed = 1; seed <= 200; ++seed) {
    m::Bytes data = randomBytes(16 + seed * 7, seed);
    m::setU32(data, 0, static_cast<std::uint32_t>(data.size() - 4 + (seed % 3) - 1));
    m::setU32(data, 8, seed % 5 == 0 ? rtf::kCompTypeUncompressed : rtf::kCompTypeCompressed);
    rtf::DecompressResult res = rtf::decompressLenient(data);
    EXPECT_LE(res.rtf.size(), data.size() * 9);
  }
}

}  // namespace
