#include "mapi/msg/property_stream.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "mapi/cfb/reader.h"
#include "mapi/cfb/writer.h"
#include "mapi/tags.h"

namespace varnolt::mapi::msg {
namespace {

std::string upperAscii(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Bytes of a string's terminator in the streams of multi-valued strings.
std::size_t terminatorSize(PropType base) {
  return base == pt::Unicode ? 2 : base == pt::String8 ? 1 : 0;
}

// Size of one entry of a multi-valued property's length stream: strings
// list 4-byte lengths, binary values 4-byte lengths and 4 reserved bytes.
std::size_t lengthEntrySize(PropType base) { return terminatorSize(base) ? 4 : 8; }

std::optional<PropTag> tagOfStreamName(const std::string& name) {
  const std::string prefix = kSubstgPrefix;
  if (name.size() != prefix.size() + 8 || upperAscii(name.substr(0, prefix.size())) != upperAscii(prefix))
    return std::nullopt;
  PropTag tag = 0;
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    char c = name[i];
    unsigned digit;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else return std::nullopt;
    tag = (tag << 4) | digit;
  }
  return tag;
}

class PropertyReader {
 public:
  PropertyReader(const cfb::Entry& storage, const StorageIndex& index, const PropertyReadOptions& options)
      : storage_(storage), index_(index), options_(options) {}

  PropertyBag read(StorageKind kind) {
    const cfb::Entry* ps = index_.findStream(kPropertyStream);
    if (!ps && options_.requirePropertyStream)
      throw Error(ErrorKind::BadFormat, "not an Outlook item file: the " + options_.what + " has no property stream");
    if (ps) {
      ByteView v(ps->data);
      std::size_t header = headerSize(kind);
      if (v.size() < header)
        throwCorrupt("the property stream of the " + options_.what + " is shorter than its header (" +
                     std::to_string(v.size()) + " bytes)");
      for (std::size_t off = header; off + kEntrySize <= v.size(); off += kEntrySize) {
        PropTag tag = v.u32(off);
        readListed(tag, v.sub(off + 8, 8));
      }
    }
    // Values whose stream is there but whose entry is not.
    for (const auto& child : storage_.children) {
      auto tag = tagOfStreamName(child.name);
      if (!tag || bag_.has(*tag) || isInlineType(propType(*tag)) || skipped(*tag)) continue;
      if (isVariableMultiType(propType(*tag)) && !child.isStream()) continue;
      readStreamed(*tag);
    }
    return std::move(bag_);
  }

 private:
  bool skipped(PropTag tag) const { return options_.skipAttachObject && tag == tag::AttachDataObject; }

  void readListed(PropTag tag, ByteView value) {
    if (bag_.has(tag) || skipped(tag)) return;  // the first entry of a tag wins
    PropType type = propType(tag);
    if (isInlineType(type)) {
      PropValue v;
      v.data = value.copy(0, std::min<std::size_t>(fixedSize(type), 8));
      bag_.set(tag, std::move(v));
      return;
    }
    readStreamed(tag);
  }

  void readStreamed(PropTag tag) {
    PropType type = propType(tag);
    PropValue v;
    if (isFixedMultiType(type)) {
      std::size_t size = fixedSize(baseType(type));
      if (const cfb::Entry* s = index_.findStream(substgName(tag))) {
        for (std::size_t off = 0; off + size <= s->data.size(); off += size)
          v.values.emplace_back(s->data.begin() + static_cast<std::ptrdiff_t>(off),
                                s->data.begin() + static_cast<std::ptrdiff_t>(off + size));
      }
    } else if (isVariableMultiType(type)) {
      PropType base = baseType(type);
      std::size_t count = 0;
      if (const cfb::Entry* lengths = index_.findStream(substgName(tag))) count = lengths->data.size() / lengthEntrySize(base);
      std::size_t term = terminatorSize(base);
      for (std::uint32_t i = 0; i < count; ++i) {
        Bytes element;
        if (const cfb::Entry* s = index_.findStream(substgElementName(tag, i))) element = s->data;
        // Element streams hold the string with its terminator.
        if (term && element.size() >= term &&
            std::all_of(element.end() - static_cast<std::ptrdiff_t>(term), element.end(), [](std::uint8_t b) { return b == 0; }))
          element.erase(element.end() - static_cast<std::ptrdiff_t>(term), element.end());
        v.values.push_back(std::move(element));
      }
    } else if (const cfb::Entry* e = index_.find(substgName(tag))) {
      v.data = e->isStream() ? e->data : storageToImage(*e);
    }
    bag_.set(tag, std::move(v));
  }

  const cfb::Entry& storage_;
  const StorageIndex& index_;
  const PropertyReadOptions& options_;
  PropertyBag bag_;
};

std::uint32_t checkedSize(std::size_t size, const char* what) {
  if (size > 0xFFFFFFF0u) throw Error(ErrorKind::Limit, std::string(what) + " is too large for an item file");
  return static_cast<std::uint32_t>(size);
}

void putEntry(Bytes& out, PropTag tag, std::uint32_t low, std::uint32_t high) {
  putU32(out, tag);
  putU32(out, kPropAttrReadable | kPropAttrWritable);
  putU32(out, low);
  putU32(out, high);
}

}  // namespace

std::optional<std::uint32_t> objectEntryKind(const StorageIndex& index, StorageKind kind, PropTag tag) {
  const cfb::Entry* ps = index.findStream(kPropertyStream);
  if (!ps) return std::nullopt;
  ByteView v(ps->data);
  for (std::size_t off = headerSize(kind); off + kEntrySize <= v.size(); off += kEntrySize)
    if (v.u32(off) == tag) return v.u32(off + 12);
  return std::nullopt;
}

StorageIndex::StorageIndex(const cfb::Entry& storage) {
  for (const auto& c : storage.children) byName_.emplace(upperAscii(c.name), &c);  // the first of equal names wins
}

const cfb::Entry* StorageIndex::find(const std::string& name) const {
  auto it = byName_.find(upperAscii(name));
  return it == byName_.end() ? nullptr : it->second;
}

const cfb::Entry* StorageIndex::findStream(const std::string& name) const {
  const cfb::Entry* e = find(name);
  return e && e->isStream() ? e : nullptr;
}

const cfb::Entry* StorageIndex::findStorage(const std::string& name) const {
  const cfb::Entry* e = find(name);
  return e && e->isStorage() ? e : nullptr;
}

PropertyBag readProperties(const cfb::Entry& storage, const StorageIndex& index, StorageKind kind,
                           const PropertyReadOptions& options) {
  return PropertyReader(storage, index, options).read(kind);
}

void writeProperties(cfb::Entry& storage, StorageKind kind, const PropertyBag& bag, const PropertyStreamCounts& counts,
                     const std::function<PropTag(PropTag)>& mapTag, std::uint64_t fileTime) {
  Bytes ps;
  putU64(ps, 0);  // reserved
  if (kind != StorageKind::Child) {
    putU32(ps, counts.nextRecipientId);
    putU32(ps, counts.nextAttachmentId);
    putU32(ps, counts.recipientCount);
    putU32(ps, counts.attachmentCount);
  }
  if (kind == StorageKind::TopLevel) putU64(ps, 0);  // reserved

  std::vector<cfb::Entry> streams;
  for (const auto& [bagTag, held] : bag.all()) {
    // An item file is built whole in memory, so a value still in its
    // store is read here.
    std::optional<PropValue> read;
    if (held.source) read = PropValue::binary(held.bytes());
    const PropValue& value = read ? *read : held;
    PropTag tag = mapTag(bagTag);
    PropType type = propType(tag);
    if (isInlineType(type)) {
      Bytes inlineValue(8, 0);
      std::copy_n(value.data.begin(), std::min<std::size_t>(value.data.size(), 8), inlineValue.begin());
      putU32(ps, tag);
      putU32(ps, kPropAttrReadable | kPropAttrWritable);
      putBytes(ps, inlineValue);
    } else if (isFixedMultiType(type)) {
      std::size_t size = fixedSize(baseType(type));
      Bytes all;
      for (const auto& e : value.values) {
        Bytes element(size, 0);
        std::copy_n(e.begin(), std::min(e.size(), size), element.begin());
        putBytes(all, element);
      }
      putEntry(ps, tag, checkedSize(all.size(), "a multi-valued property"), 0);
      streams.push_back(cfb::Entry::stream(substgName(tag), std::move(all)));
    } else if (isVariableMultiType(type)) {
      PropType base = baseType(type);
      std::size_t term = terminatorSize(base);
      Bytes lengths;
      for (std::uint32_t i = 0; i < value.values.size(); ++i) {
        Bytes element = value.values[i];
        element.resize(element.size() + term, 0);
        putU32(lengths, checkedSize(element.size(), "a property value"));
        if (lengthEntrySize(base) == 8) putU32(lengths, 0);
        streams.push_back(cfb::Entry::stream(substgElementName(tag, i), std::move(element)));
      }
      putEntry(ps, tag, checkedSize(lengths.size(), "a multi-valued property"), 0);
      streams.push_back(cfb::Entry::stream(substgName(tag), std::move(lengths)));
    } else if (type == pt::Object) {
      if (auto sub = imageToStorage(value.data, substgName(tag), fileTime)) {
        putEntry(ps, tag, kObjectSize, kObjectStorage);
        streams.push_back(std::move(*sub));
      } else {
        putEntry(ps, tag, checkedSize(value.data.size(), "a property value"), 0);
        streams.push_back(cfb::Entry::stream(substgName(tag), value.data));
      }
    } else {
      // Strings are counted with their terminator, which the stream lacks.
      std::size_t size = value.data.size() + (type == pt::Unicode ? 2 : type == pt::String8 ? 1 : 0);
      putEntry(ps, tag, checkedSize(size, "a property value"), 0);
      streams.push_back(cfb::Entry::stream(substgName(tag), value.data));
    }
  }
  storage.add(cfb::Entry::stream(kPropertyStream, std::move(ps)));
  for (auto& s : streams) storage.add(std::move(s));
}

Bytes storageToImage(const cfb::Entry& storage) { return cfb::writeCompoundFile(storage); }

std::optional<cfb::Entry> imageToStorage(ByteView image, std::string name, std::uint64_t fileTime) {
  if (!cfb::hasCompoundFileSignature(image)) return std::nullopt;
  cfb::Entry root;
  try {
    root = cfb::readCompoundFile(image);
    // Only an image in the form storageToImage gives becomes a storage;
    // other bytes stay a stream, so they read back exactly as they were.
    if (storageToImage(root) != Bytes(image.data(), image.data() + image.size())) return std::nullopt;
  } catch (const Error&) {
    return std::nullopt;
  }
  root.type = cfb::EntryType::Storage;
  root.name = std::move(name);
  root.creationTime = fileTime;
  return root;
}

}  // namespace varnolt::mapi::msg
