#include "engine/attachment_filter.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace varnolt::engine {

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(const std::string& text) {
  std::size_t start = 0;
  std::size_t end = text.size();
  while (start < end && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  while (end > start && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(start, end - start);
}

// Reads exactly `digits` decimal digits at pos.
std::optional<int> number(const std::string& text, std::size_t& pos, std::size_t digits) {
  if (pos + digits > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  pos += digits;
  return value;
}

bool expect(const std::string& text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int daysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

std::optional<std::string> MessageKeptByFilter(const AttachmentFilter& filter,
                                               const std::optional<MessageFacts>& facts) {
  if (!filter.before) return std::nullopt;
  if (!facts) return std::string("its date could not be read");
  // A draft was never delivered: the last change dates it. A message
  // without a delivery time is dated the same way.
  const std::optional<std::int64_t> when =
      facts->draft || !facts->deliveryTime ? facts->lastModification : facts->deliveryTime;
  if (!when) return std::string("its message has no date");
  if (*when >= *filter.before) return std::string("its message is not older than the date given");
  return std::nullopt;
}

std::optional<std::string> AttachmentKeptByFilter(const AttachmentFilter& filter,
                                                  const std::optional<AttachmentFacts>& attachment,
                                                  const std::optional<MessageFacts>& message) {
  if (!filter.minSize && !filter.keepInline) return std::nullopt;
  if (!attachment) return std::string("its size and place in the body could not be read");
  if (filter.minSize && attachment->size < *filter.minSize) return std::string("smaller than the size given");
  if (filter.keepInline) {
    if (attachment->hidden) return std::string("hidden: shown in the body");
    if (attachment->flags & kAttachRenderedInBody) return std::string("rendered in the body");
    if (!message) return std::string("the body could not be read to see whether it shows the attachment");
    if (ShownInBody(*attachment, message->bodies)) return std::string("shown in the body");
  }
  return std::nullopt;
}

bool ShownInBody(const AttachmentFacts& attachment, const std::string& bodies) {
  const std::string text = lower(bodies);
  std::string id = lower(trimmed(attachment.contentId));
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  if (!id.empty()) {
    // The reference ends where the id does: "cid:a" must not match "cid:ab".
    const std::string wanted = "cid:" + id;
    for (std::size_t at = text.find(wanted); at != std::string::npos; at = text.find(wanted, at + 1)) {
      const std::size_t after = at + wanted.size();
      if (after == text.size()) return true;
      const char c = text[after];
      if (c == '"' || c == '\'' || c == ')' || c == '>' || c == '\\' || std::isspace(static_cast<unsigned char>(c)))
        return true;
    }
  }
  const std::string location = lower(trimmed(attachment.contentLocation));
  return !location.empty() && text.find(location) != std::string::npos;
}

std::optional<std::int64_t> ParseIsoDate(const std::string& input) {
  const std::string text = trimmed(input);
  std::size_t pos = 0;
  const auto year = number(text, pos, 4);
  if (!year || !expect(text, pos, '-')) return std::nullopt;
  const auto month = number(text, pos, 2);
  if (!month || *month < 1 || *month > 12 || !expect(text, pos, '-')) return std::nullopt;
  const auto day = number(text, pos, 2);
  if (!day || *day < 1 || *day > daysInMonth(*year, *month)) return std::nullopt;
  int hour = 0, minute = 0, second = 0;
  if (pos < text.size() && (text[pos] == 'T' || text[pos] == 't' || text[pos] == ' ')) {
    ++pos;
    const auto h = number(text, pos, 2);
    if (!h || *h > 23 || !expect(text, pos, ':')) return std::nullopt;
    const auto m = number(text, pos, 2);
    if (!m || *m > 59) return std::nullopt;
    hour = *h;
    minute = *m;
    if (pos < text.size() && text[pos] == ':') {
      ++pos;
      const auto s = number(text, pos, 2);
      if (!s || *s > 59) return std::nullopt;
      second = *s;
    }
  }
  std::optional<std::int64_t> offsetSeconds;
  if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z')) {
    ++pos;
    offsetSeconds = 0;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    const auto h = number(text, pos, 2);
    if (!h || *h > 23) return std::nullopt;
    expect(text, pos, ':');
    const auto m = number(text, pos, 2);
    if (!m || *m > 59) return std::nullopt;
    offsetSeconds = sign * (*h * 3600 + *m * 60);
  }
  if (pos != text.size()) return std::nullopt;

  if (offsetSeconds) {
    const std::int64_t days = daysFromCivil(*year, *month, *day);
    return days * 86400 + hour * 3600 + minute * 60 + second - *offsetSeconds;
  }
  std::tm local{};
  local.tm_year = *year - 1900;
  local.tm_mon = *month - 1;
  local.tm_mday = *day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  if (t == static_cast<std::time_t>(-1) && !(*year == 1969 && *month == 12 && *day == 31)) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

}  // namespace varnolt::engine
