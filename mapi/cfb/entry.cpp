#include "mapi/cfb/entry.h"

#include "mapi/util/text.h"

namespace varnolt::mapi::cfb {

Entry Entry::root() {
  Entry e;
  e.type = EntryType::Root;
  e.name = "Root Entry";
  return e;
}

Entry Entry::storage(std::string name) {
  Entry e;
  e.type = EntryType::Storage;
  e.name = std::move(name);
  return e;
}

Entry Entry::stream(std::string name, Bytes data) {
  Entry e;
  e.type = EntryType::Stream;
  e.name = std::move(name);
  e.data = std::move(data);
  return e;
}

const Entry* Entry::find(std::string_view childName) const {
  std::u16string wanted = toUtf16(childName);
  for (const auto& c : children)
    if (compareNames(toUtf16(c.name), wanted) == 0) return &c;
  return nullptr;
}

Entry* Entry::find(std::string_view childName) {
  return const_cast<Entry*>(static_cast<const Entry*>(this)->find(childName));
}

const Entry* Entry::findStream(std::string_view childName) const {
  const Entry* e = find(childName);
  return e && e->isStream() ? e : nullptr;
}

const Entry* Entry::findStorage(std::string_view childName) const {
  const Entry* e = find(childName);
  return e && e->isStorage() ? e : nullptr;
}

Entry& Entry::add(Entry child) {
  children.push_back(std::move(child));
  return children.back();
}

std::uint16_t upperCodeUnit(std::uint16_t u) {
  auto minus = [u](unsigned d) { return static_cast<std::uint16_t>(u - d); };
  if (u >= 'a' && u <= 'z') return minus(0x20);
  if (u < 0x00E0) return u;
  if (u <= 0x00FE) return u == 0x00F7 ? u : minus(0x20);  // Latin-1, except the division sign
  if (u == 0x00FF) return 0x0178;
  if (u >= 0x0100 && u <= 0x017F) {
    // Latin Extended-A: capital and small letters alternate; the pairing
    // shifts by one between U+0138 and U+0149 and again from U+0178.
    if ((u >= 0x0139 && u <= 0x0148) || (u >= 0x0179 && u <= 0x017E)) return (u % 2 == 0) ? minus(1) : u;
    if (u == 0x0131 || u == 0x0138 || u == 0x0149 || u == 0x017F) return u;
    return (u % 2 == 1) ? minus(1) : u;
  }
  if (u >= 0x03B1 && u <= 0x03CB && u != 0x03C2) return minus(0x20);  // Greek small letters
  if (u == 0x03C2) return 0x03A3;                                      // final sigma
  if (u >= 0x0430 && u <= 0x044F) return minus(0x20);                  // Cyrillic
  if (u >= 0x0450 && u <= 0x045F) return minus(0x50);
  if (u >= 0xFF41 && u <= 0xFF5A) return minus(0x20);                  // full-width Latin
  return u;
}

int compareNames(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::uint16_t x = upperCodeUnit(a[i]);
    std::uint16_t y = upperCodeUnit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

int compareNames(std::string_view a, std::string_view b) { return compareNames(toUtf16(a), toUtf16(b)); }

std::u16string toUtf16(std::string_view utf8) {
  Bytes le = utf8ToUtf16le(std::string(utf8));
  std::u16string out(le.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(le[2 * i] | (le[2 * i + 1] << 8));
  return out;
}

}  // namespace varnolt::mapi::cfb
