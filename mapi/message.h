#pragma once
// A message with everything it holds, independent of the store it came
// from: its properties, its recipients, and its attachments, each of which
// may hold a whole embedded message. The PST reader and the .msg reader
// produce it; the PST writer and the .msg writer consume it.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mapi/property.h"

namespace varnolt::mapi {

struct Message;

struct Attachment {
  PropertyBag props;
  // The message inside an attachment of method 5 (embedded message).
  std::unique_ptr<Message> embedded;

  Attachment() = default;
  Attachment(const Attachment& other);
  Attachment& operator=(const Attachment& other);
  Attachment(Attachment&&) noexcept = default;
  Attachment& operator=(Attachment&&) noexcept = default;

  std::int32_t method() const;
  // Long file name, else short file name, else display name.
  std::optional<std::string> fileName() const;
  // PR_ATTACH_DATA_BIN, or nullptr when the attachment holds no bytes.
  const Bytes* dataBinary() const;

  bool operator==(const Attachment& other) const;
};

struct Message {
  PropertyBag props;
  std::vector<PropertyBag> recipients;
  std::vector<Attachment> attachments;

  bool operator==(const Message& other) const = default;
};

}  // namespace varnolt::mapi
