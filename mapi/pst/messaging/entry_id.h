#pragma once
// Entry ids that name objects inside a PST ([MS-PST] 2.4.3.2): four flag
// bytes, the store's provider uid and the object's NID. A store names its
// special folders with them (the message store's 0x35E0-0x35E7 and 0x3416;
// the root folder's and the Inbox's 0x36D0-0x36DF and 0x36E4), and its
// receive folder table names the folder that takes each message class.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mapi/property.h"
#include "mapi/pst/ndb/ids.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::pst {

class Store;

using ProviderUid = std::array<std::uint8_t, 16>;

struct StoreEntryId {
  ProviderUid uid{};
  NodeId nid = 0;
};

inline constexpr std::size_t kEntryIdSize = 24;
inline constexpr NodeId kReceiveFolderTableNid = 0x62B;
// The columns of a receive folder table row.
inline constexpr PropTag kTagReceiveFolderNid = 0x66050003;
inline constexpr PropTag kTagReceiveFolderClass = 0x001A001F;

// The parts of an entry id of this form; nullopt for any other id.
std::optional<StoreEntryId> parseEntryId(ByteView id);
Bytes makeEntryId(const ProviderUid& uid, NodeId nid);

// Property ids that hold special-folder entry ids: on the message store,
// and on the root folder and the Inbox.
bool isStoreFolderIdTag(std::uint16_t id);
bool isFolderIdTag(std::uint16_t id);

// The entry ids a value of one of those properties holds, in order: a
// binary value is one id, a multi-valued one a list of them (Outlook leaves
// unset places empty; they are skipped), and 0x36D9's persist blocks hold
// one each. Ids of other forms are listed too, so a check can name them.
std::vector<Bytes> entryIdsIn(std::uint16_t id, const PropValue& value);

// What becomes of one entry id when a store's ids are carried into a new
// file: kept as it is (it names another store), replaced, or dropped (what
// it named was not carried over).
struct IdChange {
  enum class Kind { Keep, Replace, Drop } kind = Kind::Keep;
  Bytes id;
};
using IdMapper = std::function<IdChange(ByteView id)>;

// The value with every entry id it holds put through `map`: nullopt when
// a single id is dropped (the property goes), an empty place for a dropped
// id of a list, and for 0x36D9 the block of a dropped id goes with it.
// Values that hold no ids come back unchanged.
std::optional<PropValue> mapEntryIds(std::uint16_t id, const PropValue& value, const IdMapper& map);

// The rows of a store's receive folder table, in table order; empty when
// the file has none.
struct ReceiveFolder {
  std::string messageClass;
  NodeId folder = 0;
};
std::vector<ReceiveFolder> readReceiveFolders(const Store& store);

// The folder that takes incoming mail: the receive folder of "IPM", else
// the default one (""), when either names a folder other than the root.
std::optional<NodeId> inboxOf(const std::vector<ReceiveFolder>& rows);

}  // namespace varnolt::mapi::pst
