#pragma once
// The properties of one object of an item file (message, recipient or
// attachment) as stored in its storage ([MS-OXMSG] 2.1, 2.4): the property
// stream with a 16-byte entry per property, fixed-size values inline, the
// others in "__substg1.0_" streams of their own.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "mapi/cfb/entry.h"
#include "mapi/msg/format.h"
#include "mapi/property.h"

namespace varnolt::mapi::msg {

// The children of a storage by name, for lookups that do not rescan the
// storage (names compare case-insensitively, as the format's do).
class StorageIndex {
 public:
  explicit StorageIndex(const cfb::Entry& storage);
  const cfb::Entry* find(const std::string& name) const;
  const cfb::Entry* findStream(const std::string& name) const;
  const cfb::Entry* findStorage(const std::string& name) const;

 private:
  std::map<std::string, const cfb::Entry*> byName_;
};

struct PropertyReadOptions {
  // Leave PR_ATTACH_DATA_OBJ out of the bag: the attachment reader handles
  // it (an embedded message, or an OLE storage).
  bool skipAttachObject = false;
  // A storage without a property stream is an error (the top-level message)
  // rather than an object without properties.
  bool requirePropertyStream = false;
  std::string what = "message";  // for error texts
};

// Every property of the object: those of the property stream, and those
// with a "__substg1.0_" stream the property stream does not list (some
// writers omit entries). Named ids are not resolved here.
PropertyBag readProperties(const cfb::Entry& storage, const StorageIndex& index, StorageKind kind,
                           const PropertyReadOptions& options);

// The reserved field of a property's entry, which for PR_ATTACH_DATA_OBJ
// held as a storage tells an embedded message (1) from a custom storage
// (4); nullopt when the property stream has no entry for the tag.
std::optional<std::uint32_t> objectEntryKind(const StorageIndex& index, StorageKind kind, PropTag tag);

// The header fields of a top-level or embedded message's property stream.
struct PropertyStreamCounts {
  std::uint32_t nextRecipientId = 0;
  std::uint32_t nextAttachmentId = 0;
  std::uint32_t recipientCount = 0;
  std::uint32_t attachmentCount = 0;
};

// Adds the property stream and the value streams of `bag` to `storage`.
// `mapTag` gives the tag each property is written under (named ids are
// renumbered for the file's one name map). Object values that hold a
// compound-file image become storages (their times set to `fileTime`).
void writeProperties(cfb::Entry& storage, StorageKind kind, const PropertyBag& bag, const PropertyStreamCounts& counts,
                     const std::function<PropTag(PropTag)>& mapTag, std::uint64_t fileTime);

// The compound-file image of a storage, the form a PtypObject value takes
// in a property bag (an OLE attachment's storage), and back.
Bytes storageToImage(const cfb::Entry& storage);
// nullopt when the bytes are not a compound file.
std::optional<cfb::Entry> imageToStorage(ByteView image, std::string name, std::uint64_t fileTime);

}  // namespace varnolt::mapi::msg
