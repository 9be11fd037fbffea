#pragma once
// Property tags the library and the program use by name. The full list of
// MAPI properties is far longer; tags are added here as code needs them.

#include "mapi/property.h"

namespace varnolt::mapi::tag {

// Message envelope and content.
inline constexpr PropTag MessageClass = makeTag(0x001A, pt::Unicode);
inline constexpr PropTag Subject = makeTag(0x0037, pt::Unicode);
inline constexpr PropTag SubjectPrefix = makeTag(0x003D, pt::Unicode);
inline constexpr PropTag NormalizedSubject = makeTag(0x0E1D, pt::Unicode);
inline constexpr PropTag ClientSubmitTime = makeTag(0x0039, pt::SysTime);
inline constexpr PropTag MessageDeliveryTime = makeTag(0x0E06, pt::SysTime);
inline constexpr PropTag MessageFlags = makeTag(0x0E07, pt::Int32);
inline constexpr PropTag MessageSize = makeTag(0x0E08, pt::Int32);
inline constexpr PropTag MessageStatus = makeTag(0x0E17, pt::Int32);
inline constexpr PropTag HasAttachments = makeTag(0x0E1B, pt::Boolean);
inline constexpr PropTag Importance = makeTag(0x0017, pt::Int32);
inline constexpr PropTag Sensitivity = makeTag(0x0036, pt::Int32);
inline constexpr PropTag Priority = makeTag(0x0026, pt::Int32);
inline constexpr PropTag SenderName = makeTag(0x0C1A, pt::Unicode);
inline constexpr PropTag SentRepresentingName = makeTag(0x0042, pt::Unicode);
inline constexpr PropTag DisplayTo = makeTag(0x0E04, pt::Unicode);
inline constexpr PropTag DisplayCc = makeTag(0x0E03, pt::Unicode);
inline constexpr PropTag DisplayBcc = makeTag(0x0E02, pt::Unicode);
inline constexpr PropTag TransportMessageHeaders = makeTag(0x007D, pt::Unicode);
inline constexpr PropTag CreationTime = makeTag(0x3007, pt::SysTime);
inline constexpr PropTag LastModificationTime = makeTag(0x3008, pt::SysTime);
inline constexpr PropTag SearchKey = makeTag(0x300B, pt::Binary);
inline constexpr PropTag RecordKey = makeTag(0x0FF9, pt::Binary);
inline constexpr PropTag EntryId = makeTag(0x0FFF, pt::Binary);
inline constexpr PropTag MessageCodepage = makeTag(0x3FFD, pt::Int32);
inline constexpr PropTag InternetCodepage = makeTag(0x3FDE, pt::Int32);

// Bodies.
inline constexpr PropTag Body = makeTag(0x1000, pt::Unicode);
inline constexpr PropTag RtfCompressed = makeTag(0x1009, pt::Binary);
inline constexpr PropTag RtfInSync = makeTag(0x0E1F, pt::Boolean);
inline constexpr PropTag Html = makeTag(0x1013, pt::Binary);
inline constexpr PropTag BodyHtml = makeTag(0x1013, pt::Unicode);  // same id, string form
inline constexpr PropTag NativeBody = makeTag(0x1016, pt::Int32);

// Common to objects.
inline constexpr PropTag DisplayName = makeTag(0x3001, pt::Unicode);
inline constexpr PropTag Comment = makeTag(0x3004, pt::Unicode);
inline constexpr PropTag ObjectType = makeTag(0x0FFE, pt::Int32);

// Recipients.
inline constexpr PropTag RecipientType = makeTag(0x0C15, pt::Int32);
inline constexpr PropTag EmailAddress = makeTag(0x3003, pt::Unicode);
inline constexpr PropTag AddressType = makeTag(0x3002, pt::Unicode);
inline constexpr PropTag SmtpAddress = makeTag(0x39FE, pt::Unicode);
inline constexpr PropTag RowId = makeTag(0x3000, pt::Int32);

// Attachments.
inline constexpr PropTag AttachDataBinary = makeTag(0x3701, pt::Binary);
inline constexpr PropTag AttachDataObject = makeTag(0x3701, pt::Object);
inline constexpr PropTag AttachEncoding = makeTag(0x3702, pt::Binary);
inline constexpr PropTag AttachExtension = makeTag(0x3703, pt::Unicode);
inline constexpr PropTag AttachFilename = makeTag(0x3704, pt::Unicode);
inline constexpr PropTag AttachMethod = makeTag(0x3705, pt::Int32);
inline constexpr PropTag AttachLongFilename = makeTag(0x3707, pt::Unicode);
inline constexpr PropTag AttachPathname = makeTag(0x3708, pt::Unicode);
inline constexpr PropTag AttachRendering = makeTag(0x3709, pt::Binary);
inline constexpr PropTag AttachTag = makeTag(0x370A, pt::Binary);
inline constexpr PropTag RenderingPosition = makeTag(0x370B, pt::Int32);
inline constexpr PropTag AttachLongPathname = makeTag(0x370D, pt::Unicode);
inline constexpr PropTag AttachMimeTag = makeTag(0x370E, pt::Unicode);
inline constexpr PropTag AttachContentId = makeTag(0x3712, pt::Unicode);
inline constexpr PropTag AttachFlags = makeTag(0x3714, pt::Int32);
inline constexpr PropTag AttachSize = makeTag(0x0E20, pt::Int32);
inline constexpr PropTag AttachNumber = makeTag(0x0E21, pt::Int32);
inline constexpr PropTag AttachmentHidden = makeTag(0x7FFE, pt::Boolean);

// Folders and stores.
inline constexpr PropTag ContentCount = makeTag(0x3602, pt::Int32);
inline constexpr PropTag ContentUnreadCount = makeTag(0x3603, pt::Int32);
inline constexpr PropTag Subfolders = makeTag(0x360A, pt::Boolean);
inline constexpr PropTag ContainerClass = makeTag(0x3613, pt::Unicode);
inline constexpr PropTag FolderType = makeTag(0x3601, pt::Int32);
inline constexpr PropTag IpmSubtreeEntryId = makeTag(0x35E0, pt::Binary);
inline constexpr PropTag IpmWastebasketEntryId = makeTag(0x35E3, pt::Binary);
inline constexpr PropTag FinderEntryId = makeTag(0x35E7, pt::Binary);
inline constexpr PropTag ValidFolderMask = makeTag(0x35DF, pt::Int32);
inline constexpr PropTag PstPassword = makeTag(0x67FF, pt::Int32);

}  // namespace varnolt::mapi::tag

namespace varnolt::mapi {

// Attachment methods (PR_ATTACH_METHOD).
enum AttachMethod : std::int32_t {
  kAttachNone = 0,
  kAttachByValue = 1,
  kAttachByReference = 2,
  kAttachByRefResolve = 3,
  kAttachByRefOnly = 4,
  kAttachEmbeddedMessage = 5,
  kAttachOle = 6,
  kAttachByWebReference = 7,
};

}  // namespace varnolt::mapi
