#include "zip/deflate_ahead.h"

#include <exception>
#include <utility>

#include "zip/entry_deflater.h"

namespace varnolt::zip {

DeflateAhead& DeflateAhead::instance() {
  static DeflateAhead ahead;
  return ahead;
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
  const std::size_t bytes = prepared.input.size() + prepared.deflated.size();
  kept_.keep(std::move(prepared), bytes);
}

}  // namespace varnolt::zip
