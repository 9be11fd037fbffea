#pragma once
// MS-DOS date and time, the time stamp of every ZIP entry: two 16-bit
// values in local time with two-second resolution, years 1980 to 2107.

#include <cstdint>
#include <ctime>

namespace varnolt::zip {

struct DateTime {
  int year = 1980;
  int month = 1;   // 1-12
  int day = 1;     // 1-31
  int hour = 0;    // 0-23
  int minute = 0;
  int second = 0;
};

// True when bit k of value is set (value taken in two's complement).
bool TestBit(int value, int k);
// Sets bit k (0-7) of one byte of a packed value.
void SetBit(std::uint8_t& target, int k);

// Bits 0-4 day, 5-8 month, 9-15 year - 1980, each part cut to its width.
std::uint16_t PackDosDate(const DateTime& m);
// Bits 0-4 second / 2, 5-10 minute, 11-15 hour, each part cut to its width.
std::uint16_t PackDosTime(const DateTime& m);

// The local date and time of a file time, held to the range the MS-DOS
// fields can carry: earlier times become 1980-01-01 00:00:00 and later
// ones 2107-12-31 23:59:58, so a file from 1970 is not stamped 2098.
DateTime dosRangeLocalTime(std::time_t t);

}  // namespace varnolt::zip
