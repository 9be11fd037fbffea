#include "engine/failures.h"

namespace varnolt::engine {

std::string PlaceText(const std::string& pst, const std::string& folder, const std::string& message,
                      const std::string& attachment) {
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
  return out;
}

std::string Failure::describe() const {
  std::string out = PlaceText(pst, folder, message, attachment);
  if (!out.empty()) out += ": ";
  out += operation.empty() ? std::string("step") : operation;
  out += " failed";
  if (!reason.empty()) out += ": " + reason;
  return out;
}

}  // namespace varnolt::engine
