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

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/kept_by_bytes.h"

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
  void setOn(bool on) { kept_.setOn(on); }
  bool on() const { return kept_.on(); }

  // Deflates the bytes on the calling thread and keeps the result. Does
  // nothing when off, for no bytes, or for more than half the room; a
  // failure of deflate only leaves them to be deflated when written.
  void prepare(const std::uint8_t* data, std::size_t size);
  // The data prepared from exactly these bytes, no longer kept.
  std::optional<DeflatedBytes> take(const std::uint8_t* data, std::size_t size) { return kept_.take(data, size); }

  std::size_t keptBytes() const { return kept_.keptBytes(); }

  // Input and deflate data kept at most: room for the attachments of the
  // messages read ahead, and for those never taken until pushed out.
  static constexpr std::size_t kMostKeptBytes = 8u << 20;

  // On for as long as it lives, when asked to be; off again after.
  class Scope : public base::SwitchedOnScope<DeflateAhead> {
   public:
    explicit Scope(bool on) : SwitchedOnScope(instance(), on) {}
  };

 private:
  DeflateAhead() = default;
  base::KeptByBytes<DeflatedBytes> kept_{kMostKeptBytes};
};

}  // namespace varnolt::zip
