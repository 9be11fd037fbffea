#include "engine/failures.h"

namespace varnolt::engine {

std::string Failure::describe() const {
  std::string out;
  auto part = [&out](const char* label, const std::string& value) {
    if (value.empty()) return;
    if (!out.empty()) out += ", ";
    out += label;
    out += value;
  };
  part("PST ", pst);
  part("folder ", folder);
  part("message ", message);
  part("attachment ", attachment);
  if (!out.empty()) out += ": ";
  out += operation.empty() ? std::string("step") : operation;
  out += " failed";
  if (!reason.empty()) out += ": " + reason;
  return out;
}

}  // namespace varnolt::engine
