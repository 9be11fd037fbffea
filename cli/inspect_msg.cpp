// `inspect` of an Outlook item file (.msg): the message, its recipients and
// attachments, embedded messages to any depth.

#include <cstdio>
#include <exception>

#include "cli/inspect.h"
#include "cli/message_json.h"
#include "mapi/msg/msg_file.h"

namespace varnolt::cli {

int inspectMsg(const std::string& path, bool withProperties) {
  nlohmann::json doc;
  try {
    mapi::Message message = mapi::msg::readMessageFile(path);
    doc["format"] = "msg";
    doc["message"] = messageToJson(message, withProperties);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
    return 1;
  }
  std::string text = doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  return 0;
}

}  // namespace varnolt::cli
