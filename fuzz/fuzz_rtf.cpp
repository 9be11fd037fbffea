// Reads bytes as compressed RTF and as RTF. Bad input must end in an
// mapi::Error or in flags, never past a buffer; RTF that decompresses must
// compress and decompress again to itself; and HTML made of the input must
// survive encapsulation and de-encapsulation unchanged.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mapi/rtf/compressed_rtf.h"
#include "mapi/rtf/rtf_text.h"

namespace m = varnolt::mapi;
namespace rtf = varnolt::mapi::rtf;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

bool validUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? b : n == 2 ? (b & 0x1Fu) : n == 3 ? (b & 0x0Fu) : (b & 0x07u);
    for (std::size_t k = 1; k < n; ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3Fu);
    }
    static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  m::ByteView input(data, size);

  try {
    rtf::DecompressResult r = rtf::decompressLenient(input);
    if (r.rtf.size() > (size + 1) * 17) fail("decompression produced more than the content can hold");
    if (rtf::decompress(rtf::compress(r.rtf)) != r.rtf) fail("compressed RTF did not decompress to itself");
    rtf::htmlFromRtf(r.rtf);
    rtf::textFromRtf(r.rtf);
  } catch (const m::Error&) {
  }

  rtf::htmlFromRtf(input);
  rtf::textFromRtf(input);

  std::string html(reinterpret_cast<const char*>(data), size);
  if (validUtf8(html)) {
    std::string wrapped = rtf::rtfFromHtml(html);
    std::optional<std::string> back = rtf::htmlFromRtf(m::ByteView(reinterpret_cast<const std::uint8_t*>(wrapped.data()), wrapped.size()));
    if (!back || *back != html) fail("HTML did not survive encapsulation");
  }
  return 0;
}
