#include "zip/dos_time.h"

#include <tuple>

namespace varnolt::zip {
namespace {

// Copies the low `width` bits of value into bits at.. of the 16-bit result
// held as a low and a high byte.
void packPart(std::uint8_t& low, std::uint8_t& high, int value, int width, int at) {
  for (int k = 0; k < width; ++k) {
    if (!TestBit(value, k)) continue;
    int target = at + k;
    if (target < 8)
      SetBit(low, target);
    else
      SetBit(high, target - 8);
  }
}

std::uint16_t joinBytes(std::uint8_t low, std::uint8_t high) {
  return static_cast<std::uint16_t>(low | (high << 8));
}

auto key(const DateTime& d) { return std::tie(d.year, d.month, d.day, d.hour, d.minute, d.second); }

constexpr DateTime kFirst{1980, 1, 1, 0, 0, 0};
constexpr DateTime kLast{2107, 12, 31, 23, 59, 58};

}  // namespace

bool TestBit(int value, int k) { return (static_cast<unsigned>(value) & (1u << k)) > 0; }

void SetBit(std::uint8_t& target, int k) { target = static_cast<std::uint8_t>(target | (1u << k)); }

std::uint16_t PackDosDate(const DateTime& m) {
  std::uint8_t low = 0, high = 0;
  packPart(low, high, m.day, 5, 0);
  packPart(low, high, m.month, 4, 5);
  packPart(low, high, m.year - 1980, 7, 9);
  return joinBytes(low, high);
}

std::uint16_t PackDosTime(const DateTime& m) {
  std::uint8_t low = 0, high = 0;
  packPart(low, high, m.second / 2, 5, 0);
  packPart(low, high, m.minute, 6, 5);
  packPart(low, high, m.hour, 5, 11);
  return joinBytes(low, high);
}

DateTime dosRangeLocalTime(std::time_t t) {
  std::tm tm{};
  if (::localtime_r(&t, &tm) == nullptr) return t < 0 ? kFirst : kLast;
  // A leap second (60) has no place in the fields; keep it in the minute.
  DateTime d{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec > 59 ? 59 : tm.tm_sec};
  if (key(d) < key(kFirst)) return kFirst;
  if (key(d) > key(kLast)) return kLast;
  return d;
}

}  // namespace varnolt::zip
