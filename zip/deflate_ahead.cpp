#include "zip/deflate_ahead.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "zip/entry_deflater.h"

namespace varnolt::zip {
namespace {

std::size_t bytesOf(const DeflatedBytes& d) { return d.input.size() + d.deflated.size(); }

}  // namespace

DeflateAhead& DeflateAhead::instance() {
  static DeflateAhead ahead;
  return ahead;
}

void DeflateAhead::setOn(bool on) {
  std::lock_guard lock(mutex_);
  on_.store(on, std::memory_order_relaxed);
  if (!on) {
    kept_.clear();
    keptBytes_ = 0;
  }
}

void DeflateAhead::prepare(const std::uint8_t* data, std::size_t size) {
  if (!on() || size == 0 || size > kMostKeptBytes / 2) return;
  DeflatedBytes prepared;
  try {
    prepared.input.assign(data, data + size);
    EntryDeflater deflater("prepared bytes", [&](const std::uint8_t* out, std::size_t n) {
      prepared.deflated.insert(prepared.deflated.end(), out, out + n);
    });
    deflater.add(data, size);
    deflater.finish();
    prepared.crc32 = deflater.crc32();
  } catch (const std::exception&) {
    return;
  }
  if (bytesOf(prepared) > kMostKeptBytes) return;
  std::lock_guard lock(mutex_);
  if (!on()) return;
  keptBytes_ += bytesOf(prepared);
  kept_.push_back(std::move(prepared));
  while (keptBytes_ > kMostKeptBytes) {
    keptBytes_ -= bytesOf(kept_.front());
    kept_.pop_front();
  }
}

std::optional<DeflatedBytes> DeflateAhead::take(const std::uint8_t* data, std::size_t size) {
  if (!on() || size == 0) return std::nullopt;
  std::lock_guard lock(mutex_);
  auto it = std::find_if(kept_.begin(), kept_.end(), [&](const DeflatedBytes& d) {
    return d.input.size() == size && std::memcmp(d.input.data(), data, size) == 0;
  });
  if (it == kept_.end()) return std::nullopt;
  std::optional<DeflatedBytes> found(std::move(*it));
  keptBytes_ -= bytesOf(*found);
  kept_.erase(it);
  return found;
}

std::size_t DeflateAhead::keptBytes() const {
  std::lock_guard lock(mutex_);
  return keptBytes_;
}

DeflateAhead::Scope::Scope(bool on) : on_(on) {
  if (on_) instance().setOn(true);
}

DeflateAhead::Scope::~Scope() {
  if (on_) instance().setOn(false);
}

}  // namespace varnolt::zip
