#pragma once
// Names and fixed values of the Outlook item file format ([MS-OXMSG]):
// which storage and stream holds what, the property stream's layout and the
// named-property mapping storage.

#include <cstddef>
#include <cstdint>
#include <string>

#include "mapi/property.h"

namespace varnolt::mapi::msg {

// Storages and streams (2.2, 2.4).
inline constexpr const char* kPropertyStream = "__properties_version1.0";
inline constexpr const char* kNameIdStorage = "__nameid_version1.0";
inline constexpr const char* kRecipientPrefix = "__recip_version1.0_#";
inline constexpr const char* kAttachmentPrefix = "__attach_version1.0_#";
inline constexpr const char* kSubstgPrefix = "__substg1.0_";

// "__substg1.0_" + the tag in 8 upper-case hex digits, with "-" and the
// element index for the values of a multi-valued variable-size property.
std::string substgName(PropTag tag);
std::string substgElementName(PropTag tag, std::uint32_t index);
std::string numberedName(const char* prefix, std::uint32_t index);  // "__recip_version1.0_#0000000A"

// Property stream headers (2.4.1): what precedes the 16-byte entries.
enum class StorageKind { TopLevel, Embedded, Child };  // Child: recipient or attachment
inline constexpr std::size_t headerSize(StorageKind k) {
  return k == StorageKind::TopLevel ? 32 : k == StorageKind::Embedded ? 24 : 8;
}
inline constexpr std::size_t kEntrySize = 16;

// Property entry flags (2.4.2.1).
inline constexpr std::uint32_t kPropAttrMandatory = 0x1;
inline constexpr std::uint32_t kPropAttrReadable = 0x2;
inline constexpr std::uint32_t kPropAttrWritable = 0x4;

// Size field of the entry of PR_ATTACH_DATA_OBJ held as a storage, and the
// reserved field that tells an embedded message from a custom storage.
inline constexpr std::uint32_t kObjectSize = 0xFFFFFFFF;
inline constexpr std::uint32_t kObjectEmbeddedMessage = 0x1;
inline constexpr std::uint32_t kObjectStorage = 0x4;

// Named-property mapping storage (2.2.3).
inline constexpr PropTag kGuidStreamTag = 0x00020102;
inline constexpr PropTag kEntryStreamTag = 0x00030102;
inline constexpr PropTag kStringStreamTag = 0x00040102;
inline constexpr std::uint16_t kHashStreamBase = 0x1000;  // 0x1000 .. 0x101E
inline constexpr std::uint32_t kHashStreamCount = 0x1F;
inline constexpr std::uint16_t kGuidIndexMapi = 1;           // PS_MAPI
inline constexpr std::uint16_t kGuidIndexPublicStrings = 2;  // PS_PUBLIC_STRINGS
inline constexpr std::uint16_t kGuidIndexFirstStream = 3;    // first GUID of the GUID stream

// Class id Outlook gives the root storage of an item file.
extern const Guid kClsidMailMessage;  // {00020D0B-0000-0000-C000-000000000046}

// How the file stores each property type.
bool isStreamType(PropType type);       // single value held in its own stream (strings, binary, GUID, object, ...)
bool isInlineType(PropType type);       // single value held in the entry's 8 bytes
bool isFixedMultiType(PropType type);   // multi-valued, all values in one stream
bool isVariableMultiType(PropType type);// multi-valued, a length stream and one stream per value

}  // namespace varnolt::mapi::msg
