#pragma once
// Node and block identifiers of the node database ([MS-PST] 2.2.2.1 NID,
// 2.2.2.2 BID) and the node ids every PST reserves ([MS-PST] 2.4.1).

#include <cstdint>

namespace varnolt::mapi::pst {

using NodeId = std::uint32_t;   // NID: 5 bits of type, 27 bits of index
using BlockId = std::uint64_t;  // BID: 32 bits in ANSI files, 64 in Unicode files

// NID types (the low five bits of a NID).
namespace nid_type {
inline constexpr std::uint8_t Hid = 0x00;
inline constexpr std::uint8_t Internal = 0x01;
inline constexpr std::uint8_t NormalFolder = 0x02;
inline constexpr std::uint8_t SearchFolder = 0x03;
inline constexpr std::uint8_t NormalMessage = 0x04;
inline constexpr std::uint8_t Attachment = 0x05;
inline constexpr std::uint8_t SearchUpdateQueue = 0x06;
inline constexpr std::uint8_t SearchCriteriaObject = 0x07;
inline constexpr std::uint8_t AssocMessage = 0x08;
inline constexpr std::uint8_t ContentsTableIndex = 0x0A;
inline constexpr std::uint8_t ReceiveFolderTable = 0x0B;
inline constexpr std::uint8_t OutgoingQueueTable = 0x0C;
inline constexpr std::uint8_t HierarchyTable = 0x0D;
inline constexpr std::uint8_t ContentsTable = 0x0E;
inline constexpr std::uint8_t AssocContentsTable = 0x0F;
inline constexpr std::uint8_t SearchContentsTable = 0x10;
inline constexpr std::uint8_t AttachmentTable = 0x11;
inline constexpr std::uint8_t RecipientTable = 0x12;
inline constexpr std::uint8_t SearchTableIndex = 0x13;
inline constexpr std::uint8_t Ltp = 0x1F;
}  // namespace nid_type

constexpr std::uint8_t nidType(NodeId nid) { return static_cast<std::uint8_t>(nid & 0x1F); }
constexpr std::uint32_t nidIndex(NodeId nid) { return nid >> 5; }
constexpr NodeId makeNid(std::uint8_t type, std::uint32_t index) { return (index << 5) | (type & 0x1Fu); }
// The node of the same index with another type: a folder's tables share its index.
constexpr NodeId withType(NodeId nid, std::uint8_t type) { return (nid & ~NodeId{0x1F}) | (type & 0x1Fu); }

// Node ids every PST reserves ([MS-PST] 2.4.1).
namespace nid {
inline constexpr NodeId MessageStore = 0x21;
inline constexpr NodeId NameToIdMap = 0x61;
inline constexpr NodeId NormalFolderTemplate = 0xA1;
inline constexpr NodeId SearchFolderTemplate = 0xC1;
inline constexpr NodeId RootFolder = 0x122;
inline constexpr NodeId SearchManagementQueue = 0x1E1;
inline constexpr NodeId SearchActivityList = 0x201;
inline constexpr NodeId HierarchyTableTemplate = 0x60D;
inline constexpr NodeId ContentsTableTemplate = 0x60E;
inline constexpr NodeId AssocContentsTableTemplate = 0x60F;
inline constexpr NodeId SearchContentsTableTemplate = 0x610;
inline constexpr NodeId AttachmentTableTemplate = 0x671;
inline constexpr NodeId RecipientTableTemplate = 0x692;
// Inside a message's subnodes, its recipient and attachment tables carry
// the template ids.
inline constexpr NodeId MessageRecipientTable = RecipientTableTemplate;
inline constexpr NodeId MessageAttachmentTable = AttachmentTableTemplate;
}  // namespace nid

// BID flags: bit 0 is reserved (ignored on lookup), bit 1 marks an internal
// block (a data tree or subnode tree block, never encrypted).
constexpr bool isInternalBid(BlockId bid) { return (bid & 0x2) != 0; }
constexpr BlockId bidKey(BlockId bid) { return bid & ~BlockId{1}; }

}  // namespace varnolt::mapi::pst
