#pragma once
// A compound file held in memory as a tree of storages and streams. The
// reader produces it, the writer consumes it, and the .msg layer builds and
// walks it. Names are UTF-8 here (UTF-16 in the file); class ids, state
// bits and timestamps are kept so a tree read and written again keeps them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/property.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::cfb {

enum class EntryType : std::uint8_t { Storage = 1, Stream = 2, Root = 5 };

struct Entry {
  EntryType type = EntryType::Storage;
  std::string name;                 // UTF-8; "Root Entry" for the root
  Guid clsid;                       // storages only
  std::uint32_t stateBits = 0;
  std::uint64_t creationTime = 0;   // FILETIME; storages only (the root's is always 0)
  std::uint64_t modifiedTime = 0;   // FILETIME; storages only
  Bytes data;                       // streams only
  std::vector<Entry> children;      // storages only, in no particular order

  static Entry root();
  static Entry storage(std::string name);
  static Entry stream(std::string name, Bytes data);

  bool isStream() const { return type == EntryType::Stream; }
  bool isStorage() const { return type != EntryType::Stream; }

  // The child with this name, compared as the format compares names
  // (case-insensitively), or nullptr.
  const Entry* find(std::string_view childName) const;
  Entry* find(std::string_view childName);
  const Entry* findStream(std::string_view childName) const;
  const Entry* findStorage(std::string_view childName) const;

  // Appends a child and returns it. The reference stays valid only until
  // the next child is added to this storage.
  Entry& add(Entry child);

  bool operator==(const Entry&) const = default;
};

// Name order of siblings in a compound file ([MS-CFB] 2.6.4): shorter names
// first, then code unit by code unit after upper-casing. Negative, zero or
// positive like strcmp.
int compareNames(const std::u16string& a, const std::u16string& b);
int compareNames(std::string_view a, std::string_view b);  // UTF-8 names

// The upper-case form of one UTF-16 code unit, as the name order uses it.
// Covers Latin, Greek, Cyrillic and full-width Latin letters, which is
// every name Outlook and Office write; other code units compare as they are.
std::uint16_t upperCodeUnit(std::uint16_t unit);

// UTF-16 form of a UTF-8 name.
std::u16string toUtf16(std::string_view utf8);

}  // namespace varnolt::mapi::cfb
