#pragma once
// SHA-256 digests of attachment data worked out before the attachments are
// saved, on a thread with time to spare (the one reading the next messages
// of the source), so the thread saving them finds each file's digest ready.
// A digest is taken only for exactly the bytes it was worked out from.
//
// Nothing is kept while it is off. What is kept and never taken (an
// attachment the run leaves alone, a message read again by the walk) is
// let go of, oldest first, when newer digests need the room.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/kept_by_bytes.h"

namespace varnolt::mapi {

struct DigestedBytes {
  std::vector<std::uint8_t> input;  // what was digested
  std::string sha256;               // its SHA-256, in lowercase hex
};

class DigestAhead {
 public:
  static DigestAhead& instance();

  // Off lets go of everything kept.
  void setOn(bool on) { kept_.setOn(on); }
  bool on() const { return kept_.on(); }

  // Works out the digest of the bytes on the calling thread and keeps it.
  // Does nothing when off, for no bytes, or for more than half the room.
  void prepare(const std::uint8_t* data, std::size_t size);
  // The digest of exactly these bytes, no longer kept.
  std::optional<std::string> take(const std::uint8_t* data, std::size_t size);

  std::size_t keptBytes() const { return kept_.keptBytes(); }

  // Input kept at most: room for the attachments of the messages read
  // ahead, and for those never taken until pushed out.
  static constexpr std::size_t kMostKeptBytes = 8u << 20;

  // On for as long as it lives, when asked to be; off again after.
  class Scope : public base::SwitchedOnScope<DigestAhead> {
   public:
    explicit Scope(bool on) : SwitchedOnScope(instance(), on) {}
  };

 private:
  DigestAhead() = default;
  base::KeptByBytes<DigestedBytes> kept_{kMostKeptBytes};
};

}  // namespace varnolt::mapi
