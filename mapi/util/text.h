#pragma once
// Conversions between the encodings mail stores use: UTF-16LE (Unicode
// properties), 8-bit code pages (ANSI properties) and UTF-8 (our API).

#include <cstdint>
#include <string>

#include "mapi/util/byte_view.h"

namespace varnolt::mapi {

// Appends code point `cp` as UTF-8. The caller decides what to do with
// values UTF-8 cannot carry (surrogates, beyond U+10FFFF).
void appendUtf8(std::string& out, std::uint32_t cp);

// UTF-16LE to UTF-8. Unpaired surrogates become U+FFFD; an odd trailing
// byte is ignored.
std::string utf16leToUtf8(ByteView utf16);
// UTF-8 to UTF-16LE (no terminator). Invalid UTF-8 bytes become U+FFFD.
Bytes utf8ToUtf16le(const std::string& utf8);

// Bytes in a Windows code page to UTF-8. Unknown code pages fall back to
// Windows-1252, which decodes any byte.
std::string codepageToUtf8(ByteView bytes, std::uint32_t codepage);
// UTF-8 to a Windows code page; false when a character has no mapping.
bool utf8ToCodepage(const std::string& utf8, std::uint32_t codepage, std::string& out);

// The iconv name of a Windows code page, or empty when we know none.
std::string iconvNameForCodepage(std::uint32_t codepage);

}  // namespace varnolt::mapi
