#pragma once
// What one thread worked out from a run of bytes, kept for another thread
// that asks for it with the same bytes. The bytes are kept beside it and
// compared in full when asked, so a result never goes with other bytes,
// however alike.
//
// Nothing is kept while it is off. What is kept and never asked for is let
// go of, oldest first, when newer results need the room.
//
// Worked is a type with a member `input` (std::vector<std::uint8_t>): the
// bytes it was worked out from.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace varnolt::base {

template <typename Worked>
class KeptByBytes {
 public:
  explicit KeptByBytes(std::size_t room) : room_(room) {}
  KeptByBytes(const KeptByBytes&) = delete;
  KeptByBytes& operator=(const KeptByBytes&) = delete;

  // Off lets go of everything kept.
  void setOn(bool on) {
    std::lock_guard lock(mutex_);
    on_.store(on, std::memory_order_relaxed);
    if (!on) {
      kept_.clear();
      keptBytes_ = 0;
    }
  }
  bool on() const { return on_.load(std::memory_order_relaxed); }
  std::size_t room() const { return room_; }

  // Keeps worked, which takes `bytes` of the room (its input included).
  // Nothing is kept while off, nor anything larger than the whole room.
  void keep(Worked worked, std::size_t bytes) {
    if (bytes > room_) return;
    std::lock_guard lock(mutex_);
    if (!on()) return;
    keptBytes_ += bytes;
    kept_.push_back(Kept{std::move(worked), bytes});
    while (keptBytes_ > room_) {
      keptBytes_ -= kept_.front().bytes;
      kept_.pop_front();
    }
  }

  // What was worked out from exactly these bytes, no longer kept.
  std::optional<Worked> take(const std::uint8_t* data, std::size_t size) {
    if (!on() || size == 0) return std::nullopt;
    std::lock_guard lock(mutex_);
    auto it = std::find_if(kept_.begin(), kept_.end(), [&](const Kept& k) {
      return k.worked.input.size() == size && std::memcmp(k.worked.input.data(), data, size) == 0;
    });
    if (it == kept_.end()) return std::nullopt;
    std::optional<Worked> found(std::move(it->worked));
    keptBytes_ -= it->bytes;
    kept_.erase(it);
    return found;
  }

  std::size_t keptBytes() const {
    std::lock_guard lock(mutex_);
    return keptBytes_;
  }

 private:
  struct Kept {
    Worked worked;
    std::size_t bytes;
  };

  const std::size_t room_;
  std::atomic<bool> on_{false};
  mutable std::mutex mutex_;
  std::deque<Kept> kept_;
  std::size_t keptBytes_ = 0;
};

// Turns something with setOn on for as long as the scope lives, when asked
// to, and off again after.
template <typename Switched>
class SwitchedOnScope {
 public:
  SwitchedOnScope(Switched& switched, bool on) : switched_(switched), on_(on) {
    if (on_) switched_.setOn(true);
  }
  ~SwitchedOnScope() {
    if (on_) switched_.setOn(false);
  }
  SwitchedOnScope(const SwitchedOnScope&) = delete;
  SwitchedOnScope& operator=(const SwitchedOnScope&) = delete;

 private:
  Switched& switched_;
  bool on_;
};

}  // namespace varnolt::base
