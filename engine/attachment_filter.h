#pragma once
// Filters a run may apply to its treatment: attachments they leave alone
// stay in their message, counted as "kept (filter)". With no filter set
// the run treats every attachment as it always has.

#include <cstdint>
#include <optional>
#include <string>

namespace varnolt::engine {

struct AttachmentFilter {
  // Attachments smaller than this many bytes stay.
  std::optional<std::int64_t> minSize;
  // Attachments the HTML or RTF body shows in place stay.
  bool keepInline = false;
  // Only messages delivered (drafts: last modified) before this moment,
  // in seconds since 1970-01-01 UTC, are treated.
  std::optional<std::int64_t> before;

  bool any() const { return minSize.has_value() || keepInline || before.has_value(); }
};

// What a store tells of an attachment without reading its content.
struct AttachmentFacts {
  // The content's bytes (an embedded message: the attachment's size as
  // the store gives it).
  std::int64_t size = 0;
  std::string contentId;        // PR_ATTACH_CONTENT_ID
  std::string contentLocation;  // PR_ATTACH_CONTENT_LOCATION
  bool hidden = false;          // PR_ATTACHMENT_HIDDEN
  std::int32_t flags = 0;       // PR_ATTACH_FLAGS
};

// Bit of PR_ATTACH_FLAGS: the body renders the attachment in place.
inline constexpr std::int32_t kAttachRenderedInBody = 0x4;

// What a store tells of a message for the filters.
struct MessageFacts {
  std::optional<std::int64_t> deliveryTime;      // seconds since 1970 UTC
  std::optional<std::int64_t> lastModification;  // seconds since 1970 UTC
  bool draft = false;                            // never sent (MSGFLAG_UNSENT)
  // The text of the bodies an inline reference can stand in: the HTML
  // body and the RTF body (which carries the HTML it was made from).
  std::string bodies;
};

inline constexpr const char* kKeptFilterOutcome = "kept (filter)";

// Why the filter keeps a whole message untouched; nothing when its
// attachments are to be looked at one by one. facts is nothing when the
// message's facts could not be read: then a date filter keeps it.
std::optional<std::string> MessageKeptByFilter(const AttachmentFilter& filter, const std::optional<MessageFacts>& facts);

// Why the filter keeps one attachment; nothing when it is to be treated.
// attachment is nothing when its facts could not be read: then a size or
// inline filter keeps it, since it cannot tell.
std::optional<std::string> AttachmentKeptByFilter(const AttachmentFilter& filter,
                                                  const std::optional<AttachmentFacts>& attachment,
                                                  const std::optional<MessageFacts>& message);

// True when the body text references the attachment in place: "cid:" and
// its content id (case-insensitive, as mail readers match it, with or
// without angle brackets), or its content location.
bool ShownInBody(const AttachmentFacts& attachment, const std::string& bodies);

// A date as --before takes it: YYYY-MM-DD, optionally with a time
// ("THH:MM" or "THH:MM:SS", a blank in place of "T" too) and an offset
// ("Z" or "+HH:MM"/"-HH:MM"). A value without an offset is the local time
// of the machine. Seconds since 1970 UTC; nothing for anything else.
std::optional<std::int64_t> ParseIsoDate(const std::string& text);

}  // namespace varnolt::engine
