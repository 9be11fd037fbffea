// What the run's report and manifest read from a message of the mail
// session: who sent it and when, its bodies in every form, its attachments'
// properties, and the entry id a new item got in its file.

#include <ctime>
#include <deque>
#include <mutex>
#include <optional>

#include "mapi/body/body.h"
#include "mapi/rtf/compressed_rtf.h"
#include "mapi/tags.h"
#include "platform/report_facts.h"
#include "platform/store_adapter.h"

namespace varnolt::platform::detail {

namespace {

// The properties that hold a body or keep the bodies in step; restore
// puts back exactly what they were.
const std::vector<std::uint16_t> kBodyIds = {
    0x1000,  // PR_BODY
    0x1013,  // PR_HTML
    0x1009,  // PR_RTF_COMPRESSED
    0x0E1F,  // PR_RTF_IN_SYNC
    0x1016,  // PR_NATIVE_BODY_INFO
    0x3FDE,  // PR_INTERNET_CPID
    0x3FFD,  // PR_MESSAGE_CODEPAGE
    0x1006,  // PR_RTF_SYNC_BODY_CRC
    0x1007,  // PR_RTF_SYNC_BODY_COUNT
    0x1008,  // PR_RTF_SYNC_BODY_TAG
    0x1010,  // PR_RTF_SYNC_PREFIX_COUNT
    0x1011,  // PR_RTF_SYNC_TRAILING_COUNT
};

// The content of an attachment, which the saved file holds instead.
constexpr std::uint16_t kAttachDataId = 0x3701;

std::string asText(const mapi::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A FILETIME (100 ns since 1601) as ISO 8601 in UTC; empty for times a
// calendar cannot show.
std::string isoTime(std::uint64_t fileTime) {
  constexpr std::uint64_t kUnixEpoch = 116444736000000000ULL;
  if (fileTime < kUnixEpoch) return {};
  const std::time_t seconds = static_cast<std::time_t>((fileTime - kUnixEpoch) / 10000000ULL);
  std::tm tm{};
  if (!::gmtime_r(&seconds, &tm) || tm.tm_year > 9999 - 1900) return {};
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace
}  // namespace varnolt::platform::detail

namespace varnolt::platform {

const std::vector<std::uint16_t>& BodyPropertyIds() { return detail::kBodyIds; }

std::vector<engine::StoredProperty> StoredProperties(const mapi::PropertyBag& bag,
                                                     const std::vector<std::uint16_t>& leaveOut) {
  std::vector<engine::StoredProperty> out;
  for (const auto& [tag, value] : bag.all()) {
    const std::uint16_t id = mapi::propId(tag);
    if (mapi::isNamedId(id)) continue;
    bool skip = false;
    for (std::uint16_t left : leaveOut) skip = skip || left == id;
    if (skip) continue;
    engine::StoredProperty p;
    p.tag = tag;
    if (value.isMulti()) {
      for (const mapi::Bytes& v : value.values) p.values.push_back(detail::asText(v));
    } else {
      p.value = detail::asText(value.data);
    }
    out.push_back(std::move(p));
  }
  return out;
}

namespace {

// The bodies of the last messages read, by the properties they come from:
// the report reads a message's bodies before its attachments are taken out
// and again after, mostly unchanged, and the read-ahead reads them first.
class KnownBodies {
 public:
  static KnownBodies& instance() {
    static KnownBodies known;
    return known;
  }

  std::optional<engine::BodyState> find(const mapi::PropertyBag& bodies) {
    std::lock_guard lock(mutex_);
    for (auto it = known_.rbegin(); it != known_.rend(); ++it)
      if (it->bodies == bodies) return it->state;
    return std::nullopt;
  }

  void add(mapi::PropertyBag bodies, std::size_t size, engine::BodyState state) {
    if (size > kLargestKept) return;
    std::lock_guard lock(mutex_);
    known_.push_back(Known{std::move(bodies), std::move(state)});
    if (known_.size() > kMostKept) known_.pop_front();
  }

 private:
  struct Known {
    mapi::PropertyBag bodies;
    engine::BodyState state;
  };
  // Enough for the messages read ahead and the one being treated; a
  // message with bodies larger than this is read each time.
  static constexpr std::size_t kMostKept = 40;
  static constexpr std::size_t kLargestKept = 256 * 1024;

  std::mutex mutex_;
  std::deque<Known> known_;
};

}  // namespace

engine::BodyState BodyStateOf(const mapi::PropertyBag& props) {
  // The properties the bodies are read from, and nothing else.
  mapi::PropertyBag bodies;
  std::size_t size = 0;
  for (std::uint16_t id : BodyPropertyIds()) {
    for (const auto& [tag, value] : props.all())
      if (mapi::propId(tag) == id) {
        bodies.set(tag, value);
        size += value.data.size();
      }
  }
  KnownBodies& known = KnownBodies::instance();
  if (std::optional<engine::BodyState> state = known.find(bodies)) return std::move(*state);
  engine::BodyState state;
  if (auto plain = mapi::body::readPlainBody(props); plain.source == mapi::body::BodySource::PlainText)
    state.plain = plain.text;
  if (auto html = mapi::body::readHtmlBody(props); html.source == mapi::body::BodySource::Html) state.html = html.text;
  if (const mapi::Bytes* rtf = props.getBinary(mapi::tag::RtfCompressed)) {
    try {
      const mapi::Bytes document = mapi::rtf::decompressLenient(*rtf).rtf;
      state.rtf.assign(document.begin(), document.end());
    } catch (const std::exception&) {
      // RTF that cannot be decoded has no text to compare; its bytes are
      // still among the properties.
    }
  }
  state.properties = StoredProperties(bodies);
  known.add(std::move(bodies), size, state);
  return state;
}

}  // namespace varnolt::platform

namespace varnolt::platform::detail {

engine::MessageSummary MessageBase::Summary() {
  return guarded("read the message's subject, sender and date", [&] {
    const mapi::PropertyBag& props = content().message.props;
    engine::MessageSummary facts;
    std::string subject = props.getString(mapi::propId(mapi::tag::Subject)).value_or("");
    if (subject.size() >= 2 && subject[0] == '\x01') subject.erase(0, 2);
    facts.subject = subject;
    facts.sender = props.getString(mapi::propId(mapi::tag::SenderName))
                       .value_or(props.getString(mapi::propId(mapi::tag::SentRepresentingName)).value_or(""));
    for (mapi::PropTag t : {mapi::tag::MessageDeliveryTime, mapi::tag::ClientSubmitTime, mapi::tag::LastModificationTime}) {
      const mapi::PropValue* v = props.get(t);
      if (!v) continue;
      if (std::optional<std::int64_t> when = v->asInt64(); when && *when > 0) {
        facts.date = isoTime(static_cast<std::uint64_t>(*when));
        if (!facts.date.empty()) break;
      }
    }
    return facts;
  });
}

engine::BodyState MessageBase::Bodies() {
  return guarded("read the message's bodies", [&] { return BodyStateOf(content().message.props); });
}

std::vector<engine::StoredProperty> MessageAttachment::Properties() {
  return guarded("read the attachment's properties",
                 [&] { return StoredProperties(attachment().props, {kAttachDataId}); });
}

std::string NewMessage::EntryId() {
  return guarded("EntryId (" + describe() + ")", [&] {
    if (!written_) return std::string();
    static const char* digits = "0123456789ABCDEF";
    std::string hex;
    for (std::uint8_t b : state_->writer().entryId(*written_)) {
      hex += digits[b >> 4];
      hex += digits[b & 15];
    }
    return hex;
  });
}

}  // namespace varnolt::platform::detail
