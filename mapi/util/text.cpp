#include "mapi/util/text.h"

#include <errno.h>
#include <iconv.h>

#include <vector>

namespace varnolt::mapi {

namespace {

// Runs iconv over the whole input; false when a character cannot be
// converted (the caller decides what to do then).
bool convert(const char* to, const char* from, const char* in, std::size_t inLen, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.clear();
  std::vector<char> buf(inLen * 4 + 16);
  char* inPtr = const_cast<char*>(in);
  std::size_t inLeft = inLen;
  bool ok = true;
  while (inLeft > 0) {
    char* outPtr = buf.data();
    std::size_t outLeft = buf.size();
    std::size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    out.append(buf.data(), buf.size() - outLeft);
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  return ok;
}

}  // namespace

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string utf16leToUtf8(ByteView in) {
  std::string out;
  out.reserve(in.size());
  std::size_t n = in.size() / 2;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t u = in.u16(2 * i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
      std::uint32_t lo = in.u16(2 * (i + 1));
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    appendUtf8(out, u);
  }
  return out;
}

Bytes utf8ToUtf16le(const std::string& s) {
  Bytes out;
  out.reserve(s.size() * 2);
  auto put = [&out](std::uint32_t u) { putU16(out, static_cast<std::uint16_t>(u)); };
  std::size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    std::uint32_t cp = 0xFFFD;
    std::size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len > 1) {
      bool valid = i + len <= s.size();
      std::uint32_t v = c & (0x7F >> len);
      for (std::size_t k = 1; valid && k < len; ++k) {
        auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) valid = false;
        v = (v << 6) | (cc & 0x3F);
      }
      static const std::uint32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
      if (valid && v >= minimum[len] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
        cp = v;
      } else {
        len = 1;
      }
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

std::string iconvNameForCodepage(std::uint32_t cp) {
  switch (cp) {
    case 65001: return "UTF-8";
    case 1200: return "UTF-16LE";
    case 1201: return "UTF-16BE";
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 932: return "CP932";
    case 936: return "CP936";
    case 949: return "CP949";
    case 950: return "CP950";
    case 54936: return "GB18030";
    case 50220: case 50221: case 50222: return "ISO-2022-JP";
    case 51932: return "EUC-JP";
    case 51936: return "EUC-CN";
    case 51949: return "EUC-KR";
    case 52936: return "HZ-GB-2312";
    case 437: case 737: case 775: case 850: case 852: case 855: case 857: case 860:
    case 861: case 862: case 863: case 864: case 865: case 866: case 869: case 874:
      return "CP" + std::to_string(cp);
    default: break;
  }
  if (cp >= 1250 && cp <= 1258) return "CP" + std::to_string(cp);
  if (cp >= 28591 && cp <= 28606) return "ISO-8859-" + std::to_string(cp - 28590);
  if (cp == 10000) return "MACINTOSH";
  return {};
}

std::string codepageToUtf8(ByteView bytes, std::uint32_t codepage) {
  std::string name = iconvNameForCodepage(codepage);
  std::string out;
  const char* in = reinterpret_cast<const char*>(bytes.data());
  if (!name.empty() && convert("UTF-8", name.c_str(), in, bytes.size(), out)) return out;
  // Windows-1252 decodes every byte; iconv leaves five of them undefined, so
  // those map to their C1 control points, as Windows itself does.
  if (convert("UTF-8", "CP1252", in, bytes.size(), out)) return out;
  static const std::uint16_t high[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  out.clear();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::uint8_t b = bytes.data()[i];
    appendUtf8(out, (b >= 0x80 && b < 0xA0) ? high[b - 0x80] : b);
  }
  return out;
}

bool utf8ToCodepage(const std::string& utf8, std::uint32_t codepage, std::string& out) {
  std::string name = iconvNameForCodepage(codepage);
  if (name.empty()) name = "CP1252";
  return convert(name.c_str(), "UTF-8", utf8.data(), utf8.size(), out);
}

}  // namespace varnolt::mapi
