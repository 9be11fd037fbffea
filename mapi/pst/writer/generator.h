#pragma once
// Synthetic but realistic PST files for scale tests and benchmarks:
// nested mail folders, messages with plain and HTML bodies, recipients,
// named properties, and attachments of mixed types whose sizes vary
// around a mean. Counts per message vary around their means (which may be
// fractional). Everything comes from the seed, so the same options give
// the same file byte for byte.

#include <cstdint>
#include <filesystem>
#include <functional>

namespace varnolt::mapi::pst {

struct GeneratorOptions {
  std::uint32_t folders = 10;
  std::uint64_t messages = 100;
  double recipients = 2.0;             // mean per message
  double attachmentsPerMessage = 0.5;  // mean per message
  std::uint64_t attachmentSize = 50 * 1024;  // mean bytes
  std::uint64_t seed = 1;
};

struct GeneratorTotals {
  std::uint64_t folders = 0;
  std::uint64_t messages = 0;
  std::uint64_t recipients = 0;
  std::uint64_t attachments = 0;
  std::uint64_t attachmentBytes = 0;
};

// Writes the file (under a temporary name until complete). `progress`, if
// given, is called after each message with the count so far.
GeneratorTotals generatePst(const std::filesystem::path& path, const GeneratorOptions& options,
                            const std::function<void(std::uint64_t)>& progress = {});

}  // namespace varnolt::mapi::pst
