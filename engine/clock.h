#pragma once
// The local wall clock, behind an interface so that tests can run a run at
// a chosen moment and let time pass without waiting.

#include <chrono>

namespace varnolt::engine {

struct LocalDateTime {
  int year = 1970;
  int month = 1;   // 1-12
  int day = 1;     // 1-31
  int hour = 0;    // 0-23
  int minute = 0;
  int second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // The local date and time, read in one go so the two never straddle
  // midnight.
  virtual LocalDateTime Now() = 0;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

class SystemClock : public Clock {
 public:
  LocalDateTime Now() override;
  void Sleep(std::chrono::milliseconds duration) override;
};

}  // namespace varnolt::engine
