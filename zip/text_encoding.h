#pragma once
// Names and comments reach the archive writer as UTF-8. An entry without
// the UTF-8 flag is read in a single-byte code page; ours is Windows-1252,
// the code page Windows uses for Western European text. Text that
// Windows-1252 cannot hold is written in UTF-8 and, for entries, flagged as
// such (general purpose bit 11), so no name is garbled.

#include <optional>
#include <string>
#include <string_view>

namespace varnolt::zip {

// True when text is well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF).
bool isValidUtf8(std::string_view text);

// The Windows-1252 bytes of UTF-8 text, or nothing when the text is not
// valid UTF-8 or holds a character the code page lacks.
std::optional<std::string> toWindows1252(std::string_view utf8);

struct EncodedEntryText {
  std::string name;
  std::string comment;
  bool utf8 = false;  // set general purpose bit 11
};

// Name and comment of one entry share the entry's flag, so both are
// Windows-1252 when both fit and both UTF-8 otherwise. Bytes that are not
// UTF-8 at all (a Linux file name in some legacy code page) cannot be
// interpreted and are kept exactly as they are, unflagged.
EncodedEntryText encodeEntryText(std::string_view name, std::string_view comment);

// The archive comment has no flag of its own: Windows-1252 when it fits,
// otherwise the bytes as given.
std::string encodeArchiveComment(std::string_view comment);

}  // namespace varnolt::zip
