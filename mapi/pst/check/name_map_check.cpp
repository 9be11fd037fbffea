// The name-to-id map ([MS-PST] 2.4.7): its GUID, entry and string streams
// and its hash buckets, which must list every entry of the entry stream
// once, each in the bucket its hash names.

#include <algorithm>
#include <tuple>
#include <set>

#include "mapi/pst/check/context.h"
#include "mapi/pst/ndb/crc.h"

namespace varnolt::mapi::pst::check {
namespace {

constexpr std::size_t kEntrySize = 8;  // NAMEID
constexpr std::size_t kGuidSize = 16;
// wGuid values before the GUID stream's own: none, PS_MAPI, PS_PUBLIC_STRINGS.
constexpr std::uint16_t kFirstStreamGuid = 3;

struct NameId {
  std::uint32_t propertyId;  // number, or offset into the string stream
  std::uint16_t guidAndKind;  // bit 0: string name; the rest: wGuid
  std::uint16_t propIndex;
  // Buckets are compared by name only: writers Outlook accepts get
  // wPropIdx wrong there, and readers take ids from the entry stream.
  bool operator<(const NameId& o) const {
    return std::tie(propertyId, guidAndKind) < std::tie(o.propertyId, o.guidAndKind);
  }
  bool operator==(const NameId& o) const { return propertyId == o.propertyId && guidAndKind == o.guidAndKind; }
};

NameId parseEntry(ByteView v, std::size_t off) { return {v.u32(off), v.u16(off + 4), v.u16(off + 6)}; }

class NameMapCheck {
 public:
  NameMapCheck(Context& c, std::uint64_t at, const std::string& where, const NameMapValues& values)
      : c_(c), at_(at), where_(where), values_(values) {}

  void run() {
    const Bytes* guids = stream(0x0002);
    const Bytes* entries = stream(0x0003);
    const Bytes* strings = stream(0x0004);
    if (!values_.bucketCount || *values_.bucketCount == 0) fail("namemap.buckets", "PidTagNameidBucketCount is missing or zero");
    if (!guids || !entries || !strings) {
      fail("namemap.streams", "the GUID, entry or string stream (0x0002-0x0004) is missing or unreadable");
      return;
    }
    if (guids->size() % kGuidSize != 0) fail("namemap.guids", "the GUID stream's " + std::to_string(guids->size()) + " bytes are not whole GUIDs");
    if (entries->size() % kEntrySize != 0) fail("namemap.entries", "the entry stream's " + std::to_string(entries->size()) + " bytes are not whole entries");
    std::vector<NameId> all = hashedEntries(*entries, *strings, guids->size() / kGuidSize);
    if (!values_.bucketCount || *values_.bucketCount == 0) return;
    const std::uint32_t buckets = *values_.bucketCount;
    std::vector<NameId> placed = bucketEntries(buckets);
    checkEntriesInTheirBuckets(all, buckets);
    std::sort(all.begin(), all.end());
    checkNamesDiffer(all);
    std::sort(placed.begin(), placed.end());
    checkBucketsListEntries(placed, all);
  }

 private:
  void fail(const char* rule, const std::string& msg) { c_.report(at_, rule, where_, msg); }

  const Bytes* stream(std::uint16_t id) const {
    auto it = values_.binary.find(id);
    return it == values_.binary.end() ? nullptr : &it->second;
  }

  // Checks each entry of the entry stream; returns them as the buckets give
  // them, a string name by the CRC of the name rather than its offset.
  std::vector<NameId> hashedEntries(const Bytes& entries, const Bytes& strings, std::size_t guidCount) {
    std::vector<NameId> all;
    std::set<std::uint16_t> indexes;
    for (std::size_t off = 0; off + kEntrySize <= entries.size(); off += kEntrySize) {
      NameId e = parseEntry(entries, off);
      const std::size_t n = off / kEntrySize;
      const std::uint16_t guid = e.guidAndKind >> 1;
      const bool named = (e.guidAndKind & 1) != 0;
      std::string en = "entry " + std::to_string(n) + " ";
      if (guid >= kFirstStreamGuid && std::size_t{guid} - kFirstStreamGuid >= guidCount)
        fail("namemap.entry", en + "names GUID " + std::to_string(guid) + " of a stream with " + std::to_string(guidCount));
      if (!indexes.insert(e.propIndex).second)
        fail("namemap.entry", en + "gives property index " + std::to_string(e.propIndex) + " a second name");
      std::uint32_t hashKey = e.propertyId;  // the number, or the CRC of the name
      if (named) {
        // The offset of a 4-byte length and the UTF-16 name after it.
        ByteView sv(strings);
        if (!sv.fits(e.propertyId, 4) || !sv.fits(e.propertyId + 4, sv.u32(e.propertyId)) || sv.u32(e.propertyId) % 2 != 0) {
          fail("namemap.string", en + "points to a name at " + std::to_string(e.propertyId) + " that the string stream does not hold");
          continue;
        }
        hashKey = computeCrc(sv.sub(e.propertyId + 4, sv.u32(e.propertyId)));
      }
      all.push_back({hashKey, e.guidAndKind, e.propIndex});
    }
    return all;
  }

  // The entries of every bucket, checking that each bucket property lies
  // within the bucket count and holds whole entries.
  std::vector<NameId> bucketEntries(std::uint32_t buckets) {
    std::vector<NameId> placed;
    for (const auto& [id, bytes] : values_.binary) {
      if (id < kNameMapFirstBucket) continue;
      std::uint32_t bucket = id - kNameMapFirstBucket;
      if (bucket >= buckets) {
        fail("namemap.bucket", "bucket property " + hexText(id) + " lies past the " + std::to_string(buckets) + " buckets");
        continue;
      }
      if (bytes.size() % kEntrySize != 0) fail("namemap.bucket", "bucket " + std::to_string(bucket) + " is not whole entries");
      for (std::size_t off = 0; off + kEntrySize <= bytes.size(); off += kEntrySize) placed.push_back(parseEntry(bytes, off));
    }
    return placed;
  }

  // Each entry sits in the bucket its hash names: (key ^ (wGuid << 1 | N))
  // modulo the bucket count, where the key is the number, or the CRC of a
  // string name.
  void checkEntriesInTheirBuckets(const std::vector<NameId>& all, std::uint32_t buckets) {
    for (const NameId& e : all) {
      std::uint32_t want = (e.propertyId ^ e.guidAndKind) % buckets;
      auto bucketIt = values_.binary.find(static_cast<std::uint16_t>(kNameMapFirstBucket + want));
      bool found = false;
      if (bucketIt != values_.binary.end()) {
        ByteView bv(bucketIt->second);
        for (std::size_t off = 0; off + kEntrySize <= bv.size() && !found; off += kEntrySize) found = parseEntry(bv, off) == e;
      }
      if (!found)
        fail("namemap.bucket", "entry for property index " + std::to_string(e.propIndex) + " is not in bucket " + std::to_string(want) + ", where its hash puts it");
    }
  }

  // No two entries name the same property; `all` is sorted.
  void checkNamesDiffer(const std::vector<NameId>& all) {
    for (std::size_t i = 1; i < all.size(); ++i) {
      if (all[i] == all[i - 1])
        fail("namemap.entry", "property indexes " + std::to_string(all[i - 1].propIndex) + " and " + std::to_string(all[i].propIndex) + " have the same name");
    }
  }

  // The buckets list only names of the entry stream, each once; both lists
  // are sorted.
  void checkBucketsListEntries(const std::vector<NameId>& placed, const std::vector<NameId>& all) {
    for (std::size_t i = 0; i < placed.size(); ++i) {
      if ((i > 0 && placed[i] == placed[i - 1]) || !std::binary_search(all.begin(), all.end(), placed[i]))
        fail("namemap.bucket", "a bucket lists a name (" + hexText(placed[i].propertyId) + ", " + hexText(placed[i].guidAndKind) +
                                   ") that the entry stream does not, or lists it twice");
    }
  }

  Context& c_;
  std::uint64_t at_;
  const std::string& where_;
  const NameMapValues& values_;
};

}  // namespace

void checkNameMap(Context& c, std::uint64_t at, const std::string& where, const NameMapValues& values) {
  NameMapCheck(c, at, where, values).run();
}

}  // namespace varnolt::mapi::pst::check
