#pragma once
// Outlook item files (.msg, [MS-OXMSG]) read into and written from
// mapi::Message, over compound-file storage.
//
// Reading gives every property of the message, its recipients and its
// attachments; an embedded message becomes Attachment::embedded (to any
// depth), an OLE attachment's storage a PtypObject value holding the
// storage as a compound-file image (the form the PST reader gives too), and
// every named property keeps its name (PropertyBag::nameOf).
//
// Writing produces the layout Outlook writes: the root storage's class id,
// the property streams with their headers, "__substg1.0_" value streams,
// recipient and attachment storages, and one named-property map for the
// whole file. Named ids keep their numbers where the file allows and are
// renumbered where two objects use one id for different names.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "mapi/cfb/entry.h"
#include "mapi/message.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::msg {

Message readMessage(ByteView bytes);
Message readMessageFile(const std::filesystem::path& path);
// From a compound file already read (the root storage of an item file).
Message messageFromStorage(const cfb::Entry& root);

struct WriteOptions {
  // Creation and modification time of the storages written (FILETIME);
  // the current time when not given. Tests pin it to get equal bytes.
  std::optional<std::uint64_t> fileTime;
};

cfb::Entry messageToStorage(const Message& message, const WriteOptions& options = {});
Bytes writeMessage(const Message& message, const WriteOptions& options = {});
// Replaces `path` in one step (a temporary file renamed into place), so a
// message read from a file can be written back to the same file.
void writeMessageFile(const std::filesystem::path& path, const Message& message, const WriteOptions& options = {});

}  // namespace varnolt::mapi::msg
