// mapi::Message to item file.

#include <algorithm>
#include <chrono>
#include <set>

#include "mapi/cfb/writer.h"
#include "mapi/msg/format.h"
#include "mapi/msg/msg_file.h"
#include "mapi/msg/named_map.h"
#include "mapi/msg/property_stream.h"
#include "mapi/tags.h"

namespace varnolt::mapi::msg {
namespace {

std::uint64_t fileTimeNow() {
  // FILETIME counts 100 ns from 1601-01-01; the Unix epoch lies 11644473600 s later.
  auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
  return static_cast<std::uint64_t>(ticks) + 116444736000000000ull;
}

std::uint32_t count32(std::size_t n, const char* what) {
  if (n > 0xFFFFFFFFu) throw Error(ErrorKind::Limit, std::string("too many ") + what + " for an item file");
  return static_cast<std::uint32_t>(n);
}

// Every property bag of a message, its recipients, attachments and
// embedded messages, in the order they are written.
template <typename F>
void forEachBag(const Message& m, F&& f) {
  f(m.props);
  for (const auto& r : m.recipients) f(r);
  for (const auto& a : m.attachments) {
    f(a.props);
    if (a.embedded) forEachBag(*a.embedded, f);
  }
}

// One name map serves the whole file, while every bag of a Message brings
// its own ids. A name keeps the id its first bag gave it when that id is
// free; ids without a name stay as they are; every other name gets a free
// id, and each bag's properties are written under the file's ids.
class NamePlan {
 public:
  explicit NamePlan(const Message& m) {
    forEachBag(m, [this](const PropertyBag& bag) {
      for (const auto& [tag, v] : bag.all())
        if (isNamedId(propId(tag)) && !bag.nameOf(propId(tag))) taken_.insert(propId(tag));
    });
    forEachBag(m, [this](const PropertyBag& bag) {
      for (const auto& [tag, v] : bag.all()) {
        std::uint16_t id = propId(tag);
        const NamedProperty* name = isNamedId(id) ? bag.nameOf(id) : nullptr;
        if (!name || taken_.count(id)) continue;
        map_.add(id, *name);
        first_.emplace(*name, id);  // a name several ids share keeps them all
        taken_.insert(id);
      }
    });
  }

  // Bag id to file id for every named id the bag uses. Ids the file map
  // already gives the same name (and ids without a name) stay; the others
  // take the file's id for their name, or a new one.
  std::map<std::uint16_t, std::uint16_t> remap(const PropertyBag& bag) {
    std::map<std::uint16_t, std::uint16_t> out;
    std::set<std::uint16_t> used;
    std::vector<std::uint16_t> moving;
    for (const auto& [tag, v] : bag.all()) {
      std::uint16_t id = propId(tag);
      if (!isNamedId(id) || out.count(id)) continue;
      const NamedProperty* name = bag.nameOf(id);
      const NamedProperty* mapped = map_.nameOf(id);
      if (!name || (mapped && *mapped == *name)) {
        out.emplace(id, id);
        used.insert(id);
      } else if (std::find(moving.begin(), moving.end(), id) == moving.end()) {
        moving.push_back(id);
      }
    }
    for (std::uint16_t id : moving) {
      const NamedProperty& name = *bag.nameOf(id);
      auto it = first_.find(name);
      std::uint16_t fileId;
      if (it != first_.end() && !used.count(it->second)) {
        fileId = it->second;
      } else {
        // A new name, or one bag giving one name two ids: keep both.
        fileId = allocate();
        map_.add(fileId, name);
        first_.emplace(name, fileId);
      }
      used.insert(fileId);
      out.emplace(id, fileId);
    }
    return out;
  }

  const NameIdMap& map() const { return map_; }

 private:
  std::uint16_t allocate() {
    while (taken_.count(next_)) ++next_;
    if (next_ == 0xFFFF) throw Error(ErrorKind::Limit, "more named properties than an item file can number");
    taken_.insert(next_);
    return next_;
  }

  NameIdMap map_;
  std::map<NamedProperty, std::uint16_t> first_;
  std::set<std::uint16_t> taken_;
  std::uint16_t next_ = 0x8000;
};

class MessageWriter {
 public:
  MessageWriter(const Message& m, std::uint64_t fileTime) : plan_(m), time_(fileTime) {}

  void write(const Message& m, cfb::Entry& storage, StorageKind kind) {
    PropertyStreamCounts counts;
    counts.recipientCount = counts.nextRecipientId = count32(m.recipients.size(), "recipients");
    counts.attachmentCount = counts.nextAttachmentId = count32(m.attachments.size(), "attachments");
    writeBag(storage, kind, m.props, counts);

    for (std::uint32_t i = 0; i < counts.recipientCount; ++i) {
      cfb::Entry& r = storage.add(newStorage(numberedName(kRecipientPrefix, i)));
      writeBag(r, StorageKind::Child, m.recipients[i], {});
    }
    for (std::uint32_t i = 0; i < counts.attachmentCount; ++i) {
      const Attachment& a = m.attachments[i];
      cfb::Entry& s = storage.add(newStorage(numberedName(kAttachmentPrefix, i)));
      if (a.embedded) {
        // The embedded message takes the place of PR_ATTACH_DATA_OBJ.
        PropertyBag props = a.props;
        props.remove(tag::AttachDataObject);
        writeBag(s, StorageKind::Child, props, {}, true);
        cfb::Entry inner = newStorage(substgName(tag::AttachDataObject));
        write(*a.embedded, inner, StorageKind::Embedded);
        s.add(std::move(inner));
      } else {
        writeBag(s, StorageKind::Child, a.props, {});
      }
    }
  }

  const NameIdMap& names() const { return plan_.map(); }
  cfb::Entry newStorage(std::string name) const {
    cfb::Entry e = cfb::Entry::storage(std::move(name));
    e.creationTime = e.modifiedTime = time_;
    return e;
  }

 private:
  void writeBag(cfb::Entry& storage, StorageKind kind, const PropertyBag& bag, const PropertyStreamCounts& counts,
                bool embeddedObject = false) {
    auto ids = plan_.remap(bag);
    auto mapTag = [&ids](PropTag tag) {
      auto it = ids.find(propId(tag));
      return it == ids.end() ? tag : makeTag(it->second, propType(tag));
    };
    writeProperties(storage, kind, bag, counts, mapTag, time_);
    if (embeddedObject) {
      // The entry that points at the embedded message's storage.
      cfb::Entry* ps = storage.find(kPropertyStream);
      putU32(ps->data, tag::AttachDataObject);
      putU32(ps->data, kPropAttrReadable | kPropAttrWritable);
      putU32(ps->data, kObjectSize);
      putU32(ps->data, kObjectEmbeddedMessage);
    }
  }

  NamePlan plan_;
  std::uint64_t time_;
};

}  // namespace

cfb::Entry messageToStorage(const Message& message, const WriteOptions& options) {
  std::uint64_t time = options.fileTime.value_or(fileTimeNow());
  cfb::Entry root = cfb::Entry::root();
  root.clsid = kClsidMailMessage;
  root.modifiedTime = time;
  MessageWriter writer(message, time);
  writer.write(message, root, StorageKind::TopLevel);
  cfb::Entry names = writer.names().toStorage();
  names.creationTime = names.modifiedTime = time;
  root.add(std::move(names));
  return root;
}

Bytes writeMessage(const Message& message, const WriteOptions& options) {
  return cfb::writeCompoundFile(messageToStorage(message, options));
}

void writeMessageFile(const std::filesystem::path& path, const Message& message, const WriteOptions& options) {
  cfb::writeCompoundFile(path, messageToStorage(message, options));
}

}  // namespace varnolt::mapi::msg
