#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "mapi/util/sha256.h"
#include "mapi/util/text.h"

namespace m = varnolt::mapi;

TEST(Sha256, PublishedVectors) {
  EXPECT_EQ(m::sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(m::sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(m::sha256Hex(two.data(), two.size()), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Fed in pieces that straddle block boundaries, the digest is the same.
  std::string million(1000000, 'a');
  m::Sha256 h;
  for (std::size_t i = 0; i < million.size(); i += 7919) h.update(million.data() + i, std::min<std::size_t>(7919, million.size() - i));
  EXPECT_EQ(h.finishHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// With the processor's SHA instructions and without, the same state after
// any number of blocks (the vectors above take whichever this machine has).
TEST(Sha256, HardwareAndPortableCompressionAgree) {
  if (!m::detail::sha256Hardware()) GTEST_SKIP() << "this processor has no SHA extensions";
  std::vector<std::uint8_t> data(64 * 37);
  std::uint32_t seed = 12345;
  for (auto& b : data) b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
  for (std::size_t blocks : {std::size_t{1}, std::size_t{2}, std::size_t{37}}) {
    std::uint32_t hardware[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::uint32_t portable[8];
    std::copy(std::begin(hardware), std::end(hardware), std::begin(portable));
    m::detail::sha256Blocks(hardware, data.data(), blocks, true);
    m::detail::sha256Blocks(portable, data.data(), blocks, false);
    EXPECT_TRUE(std::equal(std::begin(hardware), std::end(hardware), std::begin(portable))) << blocks;
  }
}

TEST(Text, Utf16RoundTripIncludingSurrogatePairs) {
  std::string s = "Grüße – 日本語 😀";
  m::Bytes u16 = m::utf8ToUtf16le(s);
  EXPECT_EQ(u16.size() % 2, 0u);
  EXPECT_EQ(m::utf16leToUtf8(u16), s);
  // 😀 is one surrogate pair: 4 bytes.
  EXPECT_EQ(m::utf8ToUtf16le("😀").size(), 4u);
}

// ASCII runs (taken many at a time) and what stands between them.
TEST(Text, Utf16AroundRunsOfAscii) {
  const std::string mixed = "plain é\r\n😀x" + std::string(1, '\0') + "\x7F\xC2\x80 end";
  const m::Bytes u16 = m::utf8ToUtf16le(mixed);
  EXPECT_EQ(u16.size(), 2 * (mixed.size() - 1 - 2 - 1));  // é and U+0080 take one unit of two bytes, 😀 two of four
  EXPECT_EQ(m::utf16leToUtf8(u16), mixed);
  // A unit with a low byte below 0x80 is ASCII only when its high byte is 0;
  // an odd last byte is no unit.
  EXPECT_EQ(m::utf16leToUtf8(m::Bytes{0x41, 0x00, 0x41, 0x01, 0x80, 0x00, 0x42}), "A\xC5\x81\xC2\x80");
  EXPECT_EQ(m::utf16leToUtf8(m::Bytes{0x41, 0x00, 0x00, 0xDC}), "A\xEF\xBF\xBD");
  EXPECT_EQ(m::utf8ToUtf16le("ab\xC3"), (m::Bytes{'a', 0, 'b', 0, 0xFD, 0xFF}));
}

TEST(Text, BadInputBecomesReplacementCharacter) {
  m::Bytes lone = {0x00, 0xD8, 0x41, 0x00};  // lone high surrogate, then 'A'
  EXPECT_EQ(m::utf16leToUtf8(lone), "\xEF\xBF\xBD" "A");
  EXPECT_EQ(m::utf16leToUtf8(m::utf8ToUtf16le("\xC3")), "\xEF\xBF\xBD");  // truncated sequence
  EXPECT_EQ(m::utf16leToUtf8(m::utf8ToUtf16le("\xC0\xAF")), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong '/'
}

TEST(Text, CodePages) {
  m::Bytes cp1252 = {0x80, 0xE9, 0x9F};  // euro, e acute, Y diaeresis
  EXPECT_EQ(m::codepageToUtf8(cp1252, 1252), "€éŸ");
  m::Bytes koi8 = {0xF0, 0xD2, 0xC9};  // "При" in KOI8-R
  EXPECT_EQ(m::codepageToUtf8(koi8, 20866), "При");
  m::Bytes sjis = {0x93, 0xFA, 0x96, 0x7B};  // 日本 in Shift-JIS
  EXPECT_EQ(m::codepageToUtf8(sjis, 932), "日本");
  // Unknown code pages and bytes iconv leaves undefined still decode.
  EXPECT_EQ(m::codepageToUtf8(m::Bytes{0x41, 0x81}, 4242), "A\xC2\x81");
  std::string out;
  EXPECT_TRUE(m::utf8ToCodepage("café", 1252, out));
  EXPECT_EQ(out, "caf\xE9");
  EXPECT_FALSE(m::utf8ToCodepage("日本", 1252, out));
}

// Code pages as Windows defines them, decoded and encoded alike whether the
// system's conversion is iconv or Windows' own tables.
TEST(Text, CodePagesOfOtherScripts) {
  std::string out;
  const m::Bytes russian = {0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2};  // "Привет" in Windows-1251
  EXPECT_EQ(m::codepageToUtf8(russian, 1251), "Привет");
  EXPECT_TRUE(m::utf8ToCodepage("Привет", 1251, out));
  EXPECT_EQ(m::Bytes(out.begin(), out.end()), russian);
  EXPECT_FALSE(m::utf8ToCodepage("Привет", 1252, out));

  const m::Bytes chinese = {0xD6, 0xD0, 0xCE, 0xC4};  // "中文" in GBK
  EXPECT_EQ(m::codepageToUtf8(chinese, 936), "中文");
  EXPECT_TRUE(m::utf8ToCodepage("中文", 936, out));
  EXPECT_EQ(m::Bytes(out.begin(), out.end()), chinese);

  // Shift-JIS mixes one- and two-byte characters: half-width katakana, ASCII, kanji.
  const m::Bytes japanese = {0xB1, 0x41, 0x93, 0xFA, 0x96, 0x7B};
  EXPECT_EQ(m::codepageToUtf8(japanese, 932), "ｱA日本");
  EXPECT_TRUE(m::utf8ToCodepage("ｱA日本", 932, out));
  EXPECT_EQ(m::Bytes(out.begin(), out.end()), japanese);
  EXPECT_FALSE(m::utf8ToCodepage("Привет€", 932, out));
}

// Text a code page cannot hold is never half converted: the whole text
// falls back to Windows-1252, which decodes any byte, and encoding says no.
TEST(Text, UndefinedBytesFallBackWhole) {
  // 0x98 is undefined in Windows-1251; 0xCF is "П" there but "Ï" in 1252.
  EXPECT_EQ(m::codepageToUtf8(m::Bytes{0xCF, 0x98}, 1251), "Ï˜");
  // A Shift-JIS lead byte with nothing after it.
  EXPECT_EQ(m::codepageToUtf8(m::Bytes{0x41, 0x93}, 932), "A“");
  // ASCII has no high half; UTF-8 must be well formed.
  EXPECT_EQ(m::codepageToUtf8(m::Bytes{0x41, 0xC1}, 20127), "AÁ");
  EXPECT_EQ(m::codepageToUtf8(m::Bytes{0x41, 0xC3}, 65001), "AÃ");
  // The five bytes Windows-1252 leaves undefined are C1 controls.
  EXPECT_EQ(m::codepageToUtf8(m::Bytes{0x8D, 0x9D}, 1252), "\xC2\x8D\xC2\x9D");
  EXPECT_EQ(m::codepageToUtf8(m::Bytes{0x41, 0x00, 0x42, 0x00}, 1200), "AB");
#ifndef _WIN32
  // Bytes below 0x80 alone can still be other letters: ISO-2022-JP shifts
  // into JIS X 0208 with escapes.
  EXPECT_EQ(m::codepageToUtf8(m::Bytes{0x1B, '$', 'B', '$', '3', '$', 's', 0x1B, '(', 'B'}, 50220), "こん");
#endif
  std::string out = "untouched";
  EXPECT_FALSE(m::utf8ToCodepage("\xC2\x81", 1252, out));  // U+0081 has no byte in 1252
  EXPECT_FALSE(m::utf8ToCodepage("\xC2\x98", 1251, out));
  EXPECT_FALSE(m::utf8ToCodepage("caf\xC3", 1252, out));  // cut-off UTF-8
  EXPECT_TRUE(m::utf8ToCodepage("AB", 1200, out));
  EXPECT_EQ(out, std::string("A\0B\0", 4));
}
