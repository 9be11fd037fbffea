#include "mapi/util/digest_ahead.h"

#include <utility>

#include "mapi/util/sha256.h"

namespace varnolt::mapi {

DigestAhead& DigestAhead::instance() {
  static DigestAhead ahead;
  return ahead;
}

void DigestAhead::prepare(const std::uint8_t* data, std::size_t size) {
  if (!on() || size == 0 || size > kMostKeptBytes / 2) return;
  DigestedBytes digested;
  digested.input.assign(data, data + size);
  digested.sha256 = sha256Hex(data, size);
  const std::size_t bytes = digested.input.size() + digested.sha256.size();
  kept_.keep(std::move(digested), bytes);
}

std::optional<std::string> DigestAhead::take(const std::uint8_t* data, std::size_t size) {
  std::optional<DigestedBytes> digested = kept_.take(data, size);
  if (!digested) return std::nullopt;
  return std::move(digested->sha256);
}

}  // namespace varnolt::mapi
