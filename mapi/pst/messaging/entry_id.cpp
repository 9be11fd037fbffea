#include "mapi/pst/messaging/entry_id.h"

#include <algorithm>

#include "mapi/pst/messaging/store.h"
#include "mapi/pst/ltp/table_context.h"

namespace varnolt::mapi::pst {
namespace {

// 0x36D9 (additional special folders, extended): persist blocks of an id
// and a size, each holding elements of an id and a size; block id 0 ends
// the list. An element of id 1 is an entry id.
constexpr std::uint16_t kPersistDataTag = 0x36D9;
constexpr std::uint16_t kPersistEntryIdElement = 0x0001;

struct PersistElement {
  std::uint16_t id;
  Bytes data;
};
struct PersistBlock {
  std::uint16_t id;
  std::vector<PersistElement> elements;
};

// The blocks before the sentinel, and what follows them as it stands;
// nullopt when the data is not of this form.
std::optional<std::pair<std::vector<PersistBlock>, Bytes>> parsePersist(ByteView v) {
  std::vector<PersistBlock> blocks;
  std::size_t at = 0;
  while (v.fits(at, 4)) {
    std::uint16_t id = v.u16(at);
    std::uint16_t size = v.u16(at + 2);
    if (id == 0) return std::make_pair(std::move(blocks), v.from(at).copy());
    if (!v.fits(at + 4, size)) return std::nullopt;
    ByteView body = v.sub(at + 4, size);
    PersistBlock block{id, {}};
    std::size_t e = 0;
    while (e < body.size()) {
      if (!body.fits(e, 4) || !body.fits(e + 4, body.u16(e + 2))) return std::nullopt;
      block.elements.push_back({body.u16(e), body.copy(e + 4, body.u16(e + 2))});
      e += 4 + std::size_t{body.u16(e + 2)};
    }
    blocks.push_back(std::move(block));
    at += 4 + std::size_t{size};
  }
  return at == v.size() ? std::optional(std::make_pair(std::move(blocks), Bytes{})) : std::nullopt;
}

}  // namespace

std::optional<StoreEntryId> parseEntryId(ByteView id) {
  if (id.size() != kEntryIdSize || id.u32(0) != 0) return std::nullopt;
  StoreEntryId out;
  std::copy(id.data() + 4, id.data() + 20, out.uid.begin());
  out.nid = id.u32(20);
  return out;
}

Bytes makeEntryId(const ProviderUid& uid, NodeId nid) {
  Bytes id;
  id.reserve(kEntryIdSize);
  putU32(id, 0);
  putBytes(id, ByteView(uid.data(), uid.size()));
  putU32(id, nid);
  return id;
}

bool isStoreFolderIdTag(std::uint16_t id) { return (id >= 0x35E0 && id <= 0x35E7) || id == 0x3416; }

bool isFolderIdTag(std::uint16_t id) { return (id >= 0x36D0 && id <= 0x36D9) || id == 0x36E4; }

std::vector<Bytes> entryIdsIn(std::uint16_t id, const PropValue& value) {
  std::vector<Bytes> out;
  if (value.type == pt::Binary && id == kPersistDataTag) {
    if (auto persist = parsePersist(value.data)) {
      for (const PersistBlock& b : persist->first)
        for (const PersistElement& e : b.elements)
          if (e.id == kPersistEntryIdElement) out.push_back(e.data);
    }
  } else if (value.type == pt::Binary) {
    if (!value.data.empty()) out.push_back(value.data);
  } else if (value.type == (pt::Binary | pt::MultiValued)) {
    for (const Bytes& e : value.values)
      if (!e.empty()) out.push_back(e);
  }
  return out;
}

std::optional<PropValue> mapEntryIds(std::uint16_t id, const PropValue& value, const IdMapper& map) {
  if (value.type == pt::Binary && id == kPersistDataTag) {
    auto persist = parsePersist(value.data);
    if (!persist) return value;
    Bytes out;
    for (PersistBlock& b : persist->first) {
      bool dropped = false;
      for (PersistElement& e : b.elements) {
        if (e.id != kPersistEntryIdElement) continue;
        IdChange c = map(e.data);
        if (c.kind == IdChange::Kind::Drop) dropped = true;
        if (c.kind == IdChange::Kind::Replace) e.data = std::move(c.id);
      }
      if (dropped) continue;
      Bytes body;
      for (const PersistElement& e : b.elements) {
        putU16(body, e.id);
        putU16(body, static_cast<std::uint16_t>(e.data.size()));
        putBytes(body, e.data);
      }
      putU16(out, b.id);
      putU16(out, static_cast<std::uint16_t>(body.size()));
      putBytes(out, body);
    }
    putBytes(out, persist->second);
    return PropValue::binary(std::move(out));
  }
  if (value.type == pt::Binary) {
    IdChange c = map(value.data);
    if (c.kind == IdChange::Kind::Drop) return std::nullopt;
    if (c.kind == IdChange::Kind::Replace) return PropValue::binary(std::move(c.id));
    return value;
  }
  if (value.type == (pt::Binary | pt::MultiValued)) {
    PropValue out = value;
    for (Bytes& e : out.values) {
      if (e.empty()) continue;
      IdChange c = map(e);
      if (c.kind == IdChange::Kind::Drop) e.clear();
      if (c.kind == IdChange::Kind::Replace) e = std::move(c.id);
    }
    return out;
  }
  return value;
}

std::vector<ReceiveFolder> readReceiveFolders(const Store& store) {
  std::vector<ReceiveFolder> rows;
  if (!store.database().findNode(kReceiveFolderTableNid)) return rows;
  TableContext table(store.database().node(kReceiveFolderTableNid));
  for (std::size_t i = 0; i < table.rowCount(); ++i) {
    PropertyBag row = store.readRow(table, i);
    std::optional<std::int32_t> folder = row.getInt32(kTagReceiveFolderNid);
    if (!folder) continue;
    rows.push_back({row.getString(propId(kTagReceiveFolderClass)).value_or(""), static_cast<NodeId>(*folder)});
  }
  return rows;
}

std::optional<NodeId> inboxOf(const std::vector<ReceiveFolder>& rows) {
  for (const char* cls : {"IPM", ""}) {
    for (const ReceiveFolder& r : rows) {
      if (r.messageClass != cls) continue;
      if (r.folder == nid::RootFolder) return std::nullopt;
      return r.folder;
    }
  }
  return std::nullopt;
}

}  // namespace varnolt::mapi::pst
