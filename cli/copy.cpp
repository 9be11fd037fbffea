// varnolt-cli copy SRC DST: reads a file through the store library and
// writes it anew. Outlook item files (.msg) are read and written by the
// item-file layer; PST and OST files are read by the PST reader and
// written as a new Unicode PST with every folder, message, recipient,
// attachment and property. The destination is replaced only once it is
// complete.

#include <cstdio>
#include <exception>
#include <memory>

#include "base/file_system.h"
#include "base/utf8_path.h"
#include "cli/command.h"
#include "mapi/msg/msg_file.h"
#include "mapi/pst/messaging/store.h"
#include "mapi/pst/writer/writer.h"

namespace varnolt::cli {
namespace {

enum class Kind { Msg, Pst, Unknown };

// The file's first bytes, read and let go of at once: while a file is
// open, Windows will not let the copy replace it (copy onto itself).
Kind sniff(const base::ReadableFile& file) {
  std::uint8_t magic[8] = {};
  std::error_code error;
  const std::size_t got = file.readAt(0, magic, sizeof magic, error);
  static const std::uint8_t cfb[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  if (!error && got == 8 && std::equal(magic, magic + 8, cfb)) return Kind::Msg;
  if (!error && got >= 4 && magic[0] == '!' && magic[1] == 'B' && magic[2] == 'D' && magic[3] == 'N') return Kind::Pst;
  return Kind::Unknown;
}

int copyPst(const std::string& src, const std::string& dst) {
  namespace pst = mapi::pst;
  std::unique_ptr<pst::Store> store;
  try {
    store = pst::Store::open(base::pathFromUtf8(src));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", src.c_str(), e.what());
    return kExitFailed;
  }
  for (const auto& w : store->warnings()) std::fprintf(stderr, "%s: %s\n", src.c_str(), w.c_str());
  pst::CopyReport report;
  try {
    std::string name = store->storeProperties().getString(0x3001).value_or("Personal Folders");
    auto writer = pst::Writer::create(base::pathFromUtf8(dst), name);
    writer->copyStoreFrom(*store, &report);
    writer->close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", dst.c_str(), e.what());
    return kExitFailed;
  }
  for (const auto& p : report.problems) std::fprintf(stderr, "%s: %s\n", src.c_str(), p.c_str());
  std::printf("%zu folders, %zu messages copied\n", report.folders, report.messages);
  return report.problems.empty() ? kExitOk : kExitPartial;
}

int runCopy(const std::vector<std::string>& args) {
  if (args.size() != 2 || args[0].empty() || args[1].empty() || args[0][0] == '-' || args[1][0] == '-') {
    std::fprintf(stderr, "usage: varnolt-cli copy SRC DST\n");
    return kExitFailed;
  }
  const std::string& src = args[0];
  const std::string& dst = args[1];
  Kind kind = Kind::Unknown;
  {
    std::error_code error;
    const std::unique_ptr<base::ReadableFile> file = base::fileSystem().openRead(base::pathFromUtf8(src), error);
    if (!file) {
      std::fprintf(stderr, "%s: cannot open the file\n", src.c_str());
      return kExitFailed;
    }
    kind = sniff(*file);
  }
  switch (kind) {
    case Kind::Pst:
      return copyPst(src, dst);
    case Kind::Unknown:
      std::fprintf(stderr, "%s: neither an Outlook item file (.msg) nor a PST file\n", src.c_str());
      return kExitFailed;
    case Kind::Msg:
      break;
  }
  mapi::Message message;
  try {
    message = mapi::msg::readMessageFile(base::pathFromUtf8(src));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", src.c_str(), e.what());
    return kExitFailed;
  }
  try {
    mapi::msg::writeMessageFile(base::pathFromUtf8(dst), message);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", dst.c_str(), e.what());
    return kExitFailed;
  }
  return kExitOk;
}

const Register reg({"copy", "SRC DST", "read an Outlook item file (.msg) or a PST file through the store library and write it anew to DST",
                    runCopy});

}  // namespace
}  // namespace varnolt::cli
