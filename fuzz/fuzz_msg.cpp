// Reads bytes as an Outlook item file (compound-file layer included). Bad
// input must end in an mapi::Error; a message that reads must write, and
// read back equal to itself.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "mapi/msg/msg_file.h"

namespace msg = varnolt::mapi::msg;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  varnolt::mapi::Message message;
  try {
    message = msg::readMessage(varnolt::mapi::ByteView(data, size));
  } catch (const varnolt::mapi::Error&) {
    return 0;
  }
  msg::WriteOptions options;
  options.fileTime = 0x01D9000000000000;
  varnolt::mapi::Message back = msg::readMessage(msg::writeMessage(message, options));
  if (!(back == message)) {
    std::fprintf(stderr, "a message read from the input did not survive writing and reading again\n");
    std::abort();
  }
  return 0;
}
