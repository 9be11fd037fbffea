#pragma once
// Attachments deflated before their archives are written, on a thread with
// time to spare (the one reading the next messages of the source), so the
// thread writing the archives finds their data ready. An archive takes
// prepared data only for exactly the bytes it was made from, and deflate
// gives the same data for the same bytes, so every archive is the same
// byte for byte whether its entry was deflated ahead or not.
//
// Nothing is kept while it is off. What is kept and never taken (an
// attachment the run leaves alone, a message read again by the walk) is
// let go of, oldest first, when newer data needs the room.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace varnolt::zip {

struct DeflatedBytes {
  std::vector<std::uint8_t> input;     // what was deflated
  std::vector<std::uint8_t> deflated;  // its raw deflate data, finished
  std::uint32_t crc32 = 0;
};

class DeflateAhead {
 public:
  static DeflateAhead& instance();

  // Off lets go of everything kept.
  void setOn(bool on);
  bool on() const { return on_.load(std::memory_order_relaxed); }

  // Deflates the bytes on the calling thread and keeps the result. Does
  // nothing when off, for no bytes, or for more than half the room; a
  // failure of deflate only leaves them to be deflated when written.
  void prepare(const std::uint8_t* data, std::size_t size);
  // The data prepared from exactly these bytes, no longer kept.
  std::optional<DeflatedBytes> take(const std::uint8_t* data, std::size_t size);

  std::size_t keptBytes() const;

  // Input and deflate data kept at most: room for the attachments of the
  // messages read ahead, and for those never taken until pushed out.
  static constexpr std::size_t kMostKeptBytes = 8u << 20;

  // On for as long as it lives, when asked to be; off again after.
  class Scope {
   public:
    explicit Scope(bool on);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    bool on_;
  };

 private:
  std::atomic<bool> on_{false};
  mutable std::mutex mutex_;
  std::deque<DeflatedBytes> kept_;
  std::size_t keptBytes_ = 0;
};

}  // namespace varnolt::zip
