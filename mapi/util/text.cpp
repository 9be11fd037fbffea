#include "mapi/util/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <iconv.h>
#endif

#include <algorithm>
#include <vector>

namespace varnolt::mapi {

namespace {

#ifdef _WIN32

// Windows converts with its own code-page tables. They agree with iconv's
// on every defined character, but Windows quietly maps the bytes a
// single-byte code page leaves undefined (to C1 controls or private-use
// points) and strips the high bit for ASCII, where iconv refuses. Those are
// refused here too, so both systems fall back and answer alike.

bool isMultiByte(std::uint32_t cp) {
  switch (cp) {
    case 932: case 936: case 949: case 950: case 54936: case 50220: case 50221: case 50222:
    case 51932: case 51936: case 51949: case 52936: case 65001: case 1200: case 1201:
      return true;
    default:
      return false;
  }
}

// The Windows-125x code pages and Thai put printable characters where
// ISO-8859 has its C1 controls; a C1 control from them is an undefined byte.
bool hasNoC1Controls(std::uint32_t cp) { return (cp >= 1250 && cp <= 1258) || cp == 874; }

bool definedIn(std::uint32_t cp, const std::wstring& wide) {
  if (isMultiByte(cp)) return true;
  for (wchar_t c : wide) {
    if (c >= 0xE000 && c <= 0xF8FF) return false;
    if (hasNoC1Controls(cp) && c >= 0x80 && c <= 0x9F) return false;
    if (cp == 20127 && c >= 0x80) return false;
  }
  return true;
}

bool toWide(std::uint32_t cp, const char* in, std::size_t inLen, std::wstring& wide) {
  wide.clear();
  if (inLen == 0) return true;
  if (cp == 20127) {
    // Windows' ASCII table takes any byte and drops its high bit.
    for (std::size_t i = 0; i < inLen; ++i)
      if (static_cast<unsigned char>(in[i]) >= 0x80) return false;
  }
  if (cp == 1200 || cp == 1201) {
    if (inLen % 2 != 0) return false;
    for (std::size_t i = 0; i < inLen; i += 2) {
      const auto a = static_cast<unsigned char>(in[i]), b = static_cast<unsigned char>(in[i + 1]);
      wide += static_cast<wchar_t>(cp == 1200 ? (b << 8 | a) : (a << 8 | b));
    }
    // Surrogates only in pairs, as iconv demands.
    for (std::size_t i = 0; i < wide.size(); ++i) {
      if (wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
          wide[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      if (wide[i] >= 0xD800 && wide[i] <= 0xDFFF) return false;
    }
    return true;
  }
  if (inLen > 0x7FFFFFFF) return false;
  const int length = static_cast<int>(inLen);
  const int needed = ::MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in, length, nullptr, 0);
  if (needed <= 0) return false;
  wide.resize(static_cast<std::size_t>(needed));
  if (::MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in, length, wide.data(), needed) != needed) return false;
  return definedIn(cp, wide);
}

std::string wideToUtf8(const std::wstring& wide) {
  Bytes utf16;
  for (wchar_t c : wide) putU16(utf16, static_cast<std::uint16_t>(c));
  return utf16leToUtf8(ByteView(utf16.data(), utf16.size()));
}

bool fromWide(std::uint32_t cp, const std::wstring& wide, std::string& out) {
  out.clear();
  if (wide.empty()) return true;
  if (cp == 1200 || cp == 1201) {
    for (wchar_t c : wide) {
      const auto u = static_cast<std::uint16_t>(c);
      const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
      out += cp == 1200 ? lo : hi;
      out += cp == 1200 ? hi : lo;
    }
    return true;
  }
  if (wide.size() > 0x7FFFFFFF) return false;
  const int length = static_cast<int>(wide.size());
  // These code pages take no flags and cannot say whether a default
  // character was used; the round trip below decides for them.
  const bool plain = cp == 65001 || cp == 54936 || cp == 52936 || (cp >= 50220 && cp <= 50222);
  const DWORD flags = plain ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = plain ? nullptr : &usedDefault;
  const int needed = ::WideCharToMultiByte(cp, flags, wide.data(), length, nullptr, 0, nullptr, usedDefaultOut);
  if (needed <= 0 || usedDefault) return false;
  out.resize(static_cast<std::size_t>(needed));
  if (::WideCharToMultiByte(cp, flags, wide.data(), length, out.data(), needed, nullptr, usedDefaultOut) != needed ||
      usedDefault)
    return false;
  // Whatever does not come back as it went in had no mapping.
  std::wstring back;
  return toWide(cp, out.data(), out.size(), back) && back == wide;
}

// Converts between UTF-8 and a code page iconv would know by that name;
// false when a character cannot be converted.
bool convert(std::uint32_t to, std::uint32_t from, const char* in, std::size_t inLen, std::string& out) {
  std::wstring wide;
  out.clear();
  if (!toWide(from, in, inLen, wide)) return false;
  if (to == 65001) {
    out = wideToUtf8(wide);
    return true;
  }
  return fromWide(to, wide, out);
}

#else

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

#endif

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
  const std::uint8_t* units = in.data();
  for (std::size_t i = 0; i < n; ++i) {
    // Runs of ASCII, most of any text, go over without a call per unit.
    std::size_t run = i;
    while (run < n && units[2 * run + 1] == 0 && units[2 * run] < 0x80) ++run;
    if (run > i) {
      const std::size_t at = out.size();
      out.resize(at + (run - i));
      for (std::size_t k = i; k < run; ++k) out[at + (k - i)] = static_cast<char>(units[2 * k]);
      i = run;
      if (i == n) break;
    }
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
    // Runs of ASCII, most of any text, go over without a call per byte.
    std::size_t run = i;
    while (run < s.size() && static_cast<unsigned char>(s[run]) < 0x80) ++run;
    if (run > i) {
      const std::size_t at = out.size();
      out.resize(at + 2 * (run - i));
      for (std::size_t k = i; k < run; ++k) {
        out[at + 2 * (k - i)] = static_cast<std::uint8_t>(s[k]);
        out[at + 2 * (k - i) + 1] = 0;
      }
      i = run;
      if (i == s.size()) break;
    }
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
  const char* in = reinterpret_cast<const char*>(bytes.data());
  // ASCII reads as itself in every code page but those whose bytes below
  // 0x80 can stand for other characters (the UTF-16 forms, and the 7-bit
  // encodings that shift into other sets): such text needs no conversion,
  // which would cost more than the reading of the body.
  const bool asciiKeepsItsMeaning =
      name != "UTF-16LE" && name != "UTF-16BE" && name != "ISO-2022-JP" && name != "HZ-GB-2312";
  if (asciiKeepsItsMeaning &&
      std::all_of(bytes.data(), bytes.data() + bytes.size(), [](std::uint8_t b) { return b < 0x80; }))
    return std::string(in, bytes.size());
  std::string out;
#ifdef _WIN32
  if (!name.empty() && convert(65001, codepage, in, bytes.size(), out)) return out;
#else
  if (!name.empty() && convert("UTF-8", name.c_str(), in, bytes.size(), out)) return out;
  // Windows-1252 decodes every byte; iconv leaves five of them undefined, so
  // those map to their C1 control points, as Windows itself does.
  if (convert("UTF-8", "CP1252", in, bytes.size(), out)) return out;
#endif
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
#ifdef _WIN32
  return convert(name.empty() ? 1252 : codepage, 65001, utf8.data(), utf8.size(), out);
#else
  if (name.empty()) name = "CP1252";
  return convert(name.c_str(), "UTF-8", utf8.data(), utf8.size(), out);
#endif
}

}  // namespace varnolt::mapi
