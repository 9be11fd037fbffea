// Compressed RTF, [MS-OXRTFCP] section 2.1.3.1 (format) and section 3.1
// (the examples our tests repeat).

#include "mapi/rtf/compressed_rtf.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace varnolt::mapi::rtf {

namespace {

// The dictionary starts with these 207 bytes; the rest of its 4096 bytes
// are zero and writing starts right after them.
constexpr std::string_view kInitialDictionary =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern \\fscript "
    "\\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0\\blue0\r\n\\par "
    "\\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
static_assert(kInitialDictionary.size() == 207);

constexpr std::size_t kDictionarySize = 4096;
constexpr std::size_t kDictionaryMask = kDictionarySize - 1;
constexpr std::size_t kMinMatch = 2;
constexpr std::size_t kMaxMatch = 17;  // a 4-bit length field plus 2
// How many earlier positions the compressor tries per byte: enough to find
// the long matches RTF is full of, bounded for input like "aaaa...".
constexpr std::size_t kMaxChain = 256;

const std::array<std::uint32_t, 256>& crcTable() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

void checkRawSize(std::size_t size) {
  if (size > kMaxRawSize)
    throw Error(ErrorKind::Limit, "compressed RTF expands past " + std::to_string(kMaxRawSize) + " bytes");
}

// The content of either form: from the end of the header to COMPSIZE + 4;
// a COMPSIZE beyond the data leaves it cut short.
ByteView contentOf(ByteView data, const CompressedRtfHeader& header, bool& cut) {
  std::size_t end = data.size();
  cut = false;
  if (header.compSize < 12) {
    end = kHeaderSize;
    cut = true;
  } else if (std::uint64_t{header.compSize} + 4 <= data.size()) {
    end = std::size_t{header.compSize} + 4;
  } else {
    cut = true;
  }
  return ByteView(data.data() + kHeaderSize, end - kHeaderSize);
}

DecompressResult decodeUncompressed(ByteView data, const CompressedRtfHeader& header) {
  DecompressResult result;
  result.compressed = false;
  bool cut = false;
  ByteView content = contentOf(data, header, cut);
  // Some writers put COMPSIZE into RAWSIZE as well; the content is what
  // COMPSIZE bounds, as other readers take it.
  std::size_t take = std::min<std::size_t>(header.rawSize, content.size());
  checkRawSize(take);
  result.rtf = content.copy(0, take);
  result.complete = !cut;
  result.sizeMatches = header.rawSize == content.size();
  result.crcMatches = header.crc == 0;  // the uncompressed form carries no CRC
  return result;
}

DecompressResult decodeCompressed(ByteView data, const CompressedRtfHeader& header) {
  DecompressResult result;
  bool cut = false;
  ByteView content = contentOf(data, header, cut);
  result.crcMatches = !cut && rtfCrc(content) == header.crc;

  std::array<std::uint8_t, kDictionarySize> dictionary{};
  std::copy(kInitialDictionary.begin(), kInitialDictionary.end(), dictionary.begin());
  std::size_t writePos = kInitialDictionary.size();

  Bytes& out = result.rtf;
  // Each content byte yields at most 17 output bytes; never trust RAWSIZE
  // alone for the reservation.
  out.reserve(std::min<std::size_t>({std::size_t{header.rawSize}, content.size() * 9, kMaxRawSize}));
  auto emit = [&](std::uint8_t b) {
    out.push_back(b);
    dictionary[writePos] = b;
    writePos = (writePos + 1) & kDictionaryMask;
  };

  bool ended = false;
  std::size_t in = 0;
  const std::uint8_t* p = content.data();
  while (!ended && in < content.size()) {
    std::uint8_t control = p[in++];
    for (int bit = 0; bit < 8 && !ended; ++bit) {
      if (in >= content.size()) break;
      if ((control & (1u << bit)) == 0) {
        emit(p[in++]);
      } else {
        if (in + 1 >= content.size()) {
          in = content.size();
          break;
        }
        std::size_t word = (std::size_t{p[in]} << 8) | p[in + 1];
        in += 2;
        std::size_t offset = word >> 4;
        std::size_t length = (word & 0xF) + kMinMatch;
        if (offset == writePos) {
          ended = true;
          break;
        }
        // Byte by byte on purpose: a reference may overlap the bytes it
        // writes, which repeats them.
        for (std::size_t k = 0; k < length; ++k) emit(dictionary[(offset + k) & kDictionaryMask]);
      }
    }
    checkRawSize(out.size());
  }
  result.complete = ended && !cut;
  result.sizeMatches = out.size() == header.rawSize;
  return result;
}

// The compressor's view of the dictionary: the initial bytes followed by
// the whole input, so that a position is an index into one array and the
// dictionary offset of index i is i mod 4096.
class MatchFinder {
 public:
  explicit MatchFinder(const Bytes& stream) : stream_(stream), head_(65536, kNone), prev_(stream.size(), kNone) {}

  void insert(std::size_t pos) {
    if (pos + 1 >= stream_.size()) return;
    std::size_t key = hash(pos);
    prev_[pos] = head_[key];
    head_[key] = static_cast<std::uint32_t>(pos);
  }

  // Longest match for the bytes at `pos` among the last 4095 positions;
  // between shorter matches of equal length the lower dictionary offset
  // wins, as in the published examples; the first full-length one ends
  // the search.
  std::size_t find(std::size_t pos, std::size_t& bestOffset) const {
    std::size_t limit = std::min(kMaxMatch, stream_.size() - pos);
    if (limit < kMinMatch) return 0;
    std::size_t best = 0;
    std::size_t chain = 0;
    for (std::uint32_t cand = head_[hash(pos)]; cand != kNone && chain < kMaxChain; cand = prev_[cand], ++chain) {
      std::size_t distance = pos - cand;
      // Distance 4096 would name the write position itself, which means
      // "end of content"; anything older has been overwritten.
      if (distance >= kDictionarySize) break;
      std::size_t len = 0;
      while (len < limit && stream_[cand + len] == stream_[pos + len]) ++len;
      std::size_t offset = cand & kDictionaryMask;
      if (len > best || (len == best && len >= kMinMatch && offset < bestOffset)) {
        best = len;
        bestOffset = offset;
        if (best == limit) break;  // nothing longer to find
      }
    }
    return best >= kMinMatch ? best : 0;
  }

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  std::size_t hash(std::size_t pos) const { return (std::size_t{stream_[pos]} << 8) | stream_[pos + 1]; }

  const Bytes& stream_;
  std::vector<std::uint32_t> head_;
  std::vector<std::uint32_t> prev_;
};

// Collects tokens into runs of eight behind their control byte.
class TokenWriter {
 public:
  explicit TokenWriter(Bytes& out) : out_(out) {}
  void literal(std::uint8_t b) {
    startToken(false);
    out_.push_back(b);
  }
  void reference(std::size_t offset, std::size_t length) {
    startToken(true);
    std::size_t word = (offset << 4) | (length - kMinMatch);
    out_.push_back(static_cast<std::uint8_t>(word >> 8));
    out_.push_back(static_cast<std::uint8_t>(word));
  }

 private:
  void startToken(bool isReference) {
    if (bit_ == 8) {
      control_ = out_.size();
      out_.push_back(0);
      bit_ = 0;
    }
    if (isReference) out_[control_] = static_cast<std::uint8_t>(out_[control_] | (1u << bit_));
    ++bit_;
  }

  Bytes& out_;
  std::size_t control_ = 0;
  int bit_ = 8;
};

}  // namespace

CompressedRtfHeader readHeader(ByteView data) {
  if (data.size() < kHeaderSize) throwTruncated("compressed RTF is shorter than its 16-byte header");
  return {data.u32(0), data.u32(4), data.u32(8), data.u32(12)};
}

std::uint32_t rtfCrc(ByteView data, std::uint32_t crc) {
  const auto& table = crcTable();
  for (std::size_t i = 0; i < data.size(); ++i) crc = table[(crc ^ data.data()[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

DecompressResult decompressLenient(ByteView data) {
  CompressedRtfHeader header = readHeader(data);
  if (header.compType == kCompTypeCompressed) return decodeCompressed(data, header);
  if (header.compType == kCompTypeUncompressed) return decodeUncompressed(data, header);
  throw Error(ErrorKind::BadFormat, "compressed RTF of unknown type 0x" + [&] {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", header.compType);
    return std::string(buf);
  }());
}

Bytes decompress(ByteView data) {
  CompressedRtfHeader header = readHeader(data);
  DecompressResult r = decompressLenient(data);
  if (!r.complete) {
    if (std::uint64_t{header.compSize} + 4 > data.size())
      throwTruncated("compressed RTF is cut short: its header promises more bytes than it has");
    throwCorrupt("compressed RTF content ends without its end marker");
  }
  if (!r.crcMatches) throw Error(ErrorKind::Checksum, "compressed RTF fails its CRC check");
  if (!r.sizeMatches) {
    if (r.compressed)
      throwCorrupt("compressed RTF expands to " + std::to_string(r.rtf.size()) + " bytes, its header says " +
                   std::to_string(header.rawSize));
    throwCorrupt("uncompressed RTF has a size field that disagrees with its length");
  }
  return std::move(r.rtf);
}

Bytes compress(ByteView rtf) {
  checkRawSize(rtf.size());
  Bytes stream(kInitialDictionary.size() + rtf.size());
  std::copy(kInitialDictionary.begin(), kInitialDictionary.end(), stream.begin());
  if (!rtf.empty()) std::memcpy(stream.data() + kInitialDictionary.size(), rtf.data(), rtf.size());

  Bytes out(kHeaderSize, 0);
  out.reserve(kHeaderSize + rtf.size() / 2 + 64);
  MatchFinder finder(stream);
  for (std::size_t i = 0; i < kInitialDictionary.size(); ++i) finder.insert(i);

  TokenWriter tokens(out);
  std::size_t pos = kInitialDictionary.size();
  while (pos < stream.size()) {
    std::size_t offset = 0;
    std::size_t length = finder.find(pos, offset);
    if (length == 0) {
      tokens.literal(stream[pos]);
      finder.insert(pos);
      ++pos;
    } else {
      tokens.reference(offset, length);
      for (std::size_t k = 0; k < length; ++k) finder.insert(pos + k);
      pos += length;
    }
  }
  // The end marker: a reference to the write position.
  tokens.reference(stream.size() & kDictionaryMask, kMinMatch);

  ByteView content(out.data() + kHeaderSize, out.size() - kHeaderSize);
  setU32(out, 0, static_cast<std::uint32_t>(content.size() + 12));
  setU32(out, 4, static_cast<std::uint32_t>(rtf.size()));
  setU32(out, 8, kCompTypeCompressed);
  setU32(out, 12, rtfCrc(content));
  return out;
}

Bytes storeUncompressed(ByteView rtf) {
  checkRawSize(rtf.size());
  Bytes out;
  out.reserve(kHeaderSize + rtf.size());
  putU32(out, static_cast<std::uint32_t>(rtf.size() + 12));
  putU32(out, static_cast<std::uint32_t>(rtf.size()));
  putU32(out, kCompTypeUncompressed);
  putU32(out, 0);
  putBytes(out, rtf);
  return out;
}

}  // namespace varnolt::mapi::rtf
