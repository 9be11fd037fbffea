#include "mapi/msg/format.h"

#include <cstdio>

namespace varnolt::mapi::msg {

const Guid kClsidMailMessage = *Guid::parse("{00020D0B-0000-0000-C000-000000000046}");

std::string substgName(PropTag tag) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%08X", kSubstgPrefix, tag);
  return buf;
}

std::string substgElementName(PropTag tag, std::uint32_t index) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s%08X-%08X", kSubstgPrefix, tag, index);
  return buf;
}

std::string numberedName(const char* prefix, std::uint32_t index) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s%08X", prefix, index);
  return buf;
}

bool isInlineType(PropType type) {
  if (isMultiValued(type)) return false;
  if (type == pt::Null || type == pt::Unspecified) return true;
  return fixedSize(type) > 0 && type != pt::Guid;
}

bool isStreamType(PropType type) { return !isMultiValued(type) && !isInlineType(type); }

bool isFixedMultiType(PropType type) { return isMultiValued(type) && fixedSize(baseType(type)) > 0; }

bool isVariableMultiType(PropType type) { return isMultiValued(type) && fixedSize(baseType(type)) == 0; }

}  // namespace varnolt::mapi::msg
