// Item file to mapi::Message.

#include <algorithm>

#include "mapi/cfb/reader.h"
#include "mapi/msg/format.h"
#include "mapi/msg/msg_file.h"
#include "mapi/msg/named_map.h"
#include "mapi/msg/property_stream.h"
#include "mapi/tags.h"

namespace varnolt::mapi::msg {
namespace {

// The number after the '#' of a recipient or attachment storage name.
std::optional<std::uint32_t> storageNumber(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.size() > prefix.size() + 8) return std::nullopt;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
      return std::nullopt;
  std::uint32_t n = 0;
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    char c = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    if (c >= '0' && c <= '9') n = (n << 4) | static_cast<std::uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'F') n = (n << 4) | static_cast<std::uint32_t>(c - 'A' + 10);
    else return std::nullopt;
  }
  return n;
}

// Children of a storage with a numbered name, in number order.
std::vector<const cfb::Entry*> numbered(const cfb::Entry& storage, const char* prefix) {
  std::vector<std::pair<std::uint32_t, const cfb::Entry*>> found;
  for (const auto& c : storage.children)
    if (c.isStorage())
      if (auto n = storageNumber(c.name, prefix)) found.emplace_back(*n, &c);
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<const cfb::Entry*> out;
  for (const auto& f : found) out.push_back(f.second);
  return out;
}

class MessageReader {
 public:
  explicit MessageReader(const cfb::Entry& root)
      : names_(NameIdMap::read(root.findStorage(kNameIdStorage))) {}

  Message read(const cfb::Entry& storage, StorageKind kind, const std::string& what) {
    StorageIndex index(storage);
    Message m;
    PropertyReadOptions opts;
    opts.requirePropertyStream = kind == StorageKind::TopLevel;
    opts.what = what;
    m.props = readProperties(storage, index, kind, opts);
    nameProperties(m.props);

    std::uint32_t n = 0;
    for (const cfb::Entry* r : numbered(storage, kRecipientPrefix)) {
      PropertyReadOptions ro;
      ro.what = what + " recipient " + std::to_string(n++);
      m.recipients.push_back(readProperties(*r, StorageIndex(*r), StorageKind::Child, ro));
      nameProperties(m.recipients.back());
    }
    n = 0;
    for (const cfb::Entry* a : numbered(storage, kAttachmentPrefix))
      m.attachments.push_back(readAttachment(*a, what + " attachment " + std::to_string(n++)));
    return m;
  }

 private:
  Attachment readAttachment(const cfb::Entry& storage, const std::string& what) {
    StorageIndex index(storage);
    PropertyReadOptions opts;
    opts.skipAttachObject = true;
    opts.what = what;
    Attachment a;
    a.props = readProperties(storage, index, StorageKind::Child, opts);

    const std::string objectName = substgName(tag::AttachDataObject);
    if (const cfb::Entry* object = index.find(objectName)) {
      // The entry says which of the two a storage is; files without one
      // are judged by the attachment method and the storage's content.
      std::int32_t method = a.method();
      auto kind = objectEntryKind(index, StorageKind::Child, tag::AttachDataObject);
      bool holdsMessage = false;
      if (object->isStorage()) {
        if (kind == kObjectEmbeddedMessage) holdsMessage = true;
        else if (kind == kObjectStorage) holdsMessage = false;
        else holdsMessage = method != kAttachOle && StorageIndex(*object).findStream(kPropertyStream) != nullptr;
      }
      if (holdsMessage) {
        a.embedded = std::make_unique<Message>(read(*object, StorageKind::Embedded, "embedded message of " + what));
      } else {
        PropValue v;
        v.data = object->isStream() ? object->data : storageToImage(*object);
        a.props.set(tag::AttachDataObject, std::move(v));
      }
    }
    nameProperties(a.props);
    return a;
  }

  // Named ids take their names from the file's one map.
  void nameProperties(PropertyBag& bag) const {
    for (const auto& [tag, value] : bag.all()) {
      std::uint16_t id = propId(tag);
      if (!isNamedId(id) || bag.nameOf(id)) continue;
      if (const NamedProperty* name = names_.nameOf(id)) bag.setName(id, *name);
    }
  }

  NameIdMap names_;
};

}  // namespace

Message messageFromStorage(const cfb::Entry& root) { return MessageReader(root).read(root, StorageKind::TopLevel, "message"); }

Message readMessage(ByteView bytes) { return messageFromStorage(cfb::readCompoundFile(bytes)); }

Message readMessageFile(const std::filesystem::path& path) { return messageFromStorage(cfb::readCompoundFile(path)); }

}  // namespace varnolt::mapi::msg
