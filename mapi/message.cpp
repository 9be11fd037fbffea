#include "mapi/message.h"

#include "mapi/tags.h"

namespace varnolt::mapi {

Attachment::Attachment(const Attachment& other)
    : props(other.props), embedded(other.embedded ? std::make_unique<Message>(*other.embedded) : nullptr) {}

Attachment& Attachment::operator=(const Attachment& other) {
  if (this != &other) {
    props = other.props;
    embedded = other.embedded ? std::make_unique<Message>(*other.embedded) : nullptr;
  }
  return *this;
}

std::int32_t Attachment::method() const { return props.getInt32(tag::AttachMethod).value_or(kAttachNone); }

std::optional<std::string> Attachment::fileName() const {
  for (PropTag t : {tag::AttachLongFilename, tag::AttachFilename, tag::DisplayName}) {
    if (auto s = props.getString(propId(t)); s && !s->empty()) return s;
  }
  return std::nullopt;
}

const Bytes* Attachment::dataBinary() const { return props.getBinary(tag::AttachDataBinary); }

bool Attachment::operator==(const Attachment& other) const {
  if (!(props == other.props)) return false;
  if (!embedded || !other.embedded) return !embedded && !other.embedded;
  return *embedded == *other.embedded;
}

}  // namespace varnolt::mapi
