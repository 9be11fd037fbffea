#pragma once
// The JSON that `inspect` prints for messages and properties, shared by
// every file kind it reads.

#include <nlohmann/json.hpp>

#include "mapi/message.h"

namespace varnolt::cli {

// {"subject", "message_class", "body_text_sha256", "body_html_sha256",
//  "has_rtf", "recipients", "attachments": [...]} and, with
// withProperties, "properties" on the message, each recipient and each
// attachment.
nlohmann::json messageToJson(const mapi::Message& message, bool withProperties);

// Every property of a bag: [{"tag", "type", "name"?, "value"}...], in tag order.
nlohmann::json propertiesToJson(const mapi::PropertyBag& bag);

// The subject as users see it: PR_SUBJECT without a leading U+0001 marker
// and the character that follows it.
std::optional<std::string> displaySubject(const mapi::PropertyBag& bag);

}  // namespace varnolt::cli
