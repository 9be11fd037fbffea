#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "base/utf8_path.h"
#include "engine/compression_run.h"
#include "mapi/util/sha256.h"
#include "zip/error.h"
#include "zip/zip_class.h"

namespace varnolt::engine {

bool CompressionEngine::ZipAttachments(const std::string& path,
                                       const std::function<std::shared_ptr<MailAttachment>()>& attachment) {
  // One archive per attachment at path + ".zip", its one entry named after
  // path's file. The attachment's bytes go from the store through deflate
  // into the archive: no loose file is written, read back and deleted. The
  // archive is written under a temporary name and renamed into place when
  // complete, so an answer of true means the whole archive is in place. It
  // is not flushed on its own: the run flushes the attachment folder once
  // before it finishes the new PST that no longer holds the attachments.
  if (destinationFull_) return false;
  try {
    std::shared_ptr<MailAttachment> source = attachment();
    mapi::Sha256 digest;
    std::uint64_t size = 0;
    zip::ZipClass archive;
    archive.AddContent(base::utf8Of(base::pathFromUtf8(path).filename()), std::time(nullptr),
                       [&](const zip::ZipFile::PieceSink& sink) {
                         digest = mapi::Sha256();  // counted afresh each time the archive is written
                         size = 0;
                         source->ReadContent([&](const std::uint8_t* data, std::size_t count) {
                           sink(data, count);
                           digest.update(data, count);
                           size += count;
                         });
                       });
    if (!archive.WriteZip(base::pathFromUtf8(path + ".zip"), true, false)) {
      fail("WriteZip", "the archive could not be put in place: " + path + ".zip");
      return false;
    }
    lastSaved_.contentSha256 = digest.finishHex();
    lastSaved_.contentSize = size;
    return true;
  } catch (const zip::Error& e) {
    if (e.kind() == zip::ErrorKind::NoSpace) destinationFull("WriteZip", e.what());
    else fail("WriteZip", e.what());
  } catch (const DestinationFull& e) {
    destinationFull("ReadContent", e.what());
  } catch (const StoreError& e) {
    // The store could not hand over the attachment (part way through, too).
    fail("ReadContent", e.what());
  } catch (const std::exception& e) {
    fail("WriteZip", e.what());
  } catch (...) {
    fail("WriteZip", "unknown error");
  }
  return false;
}

}  // namespace varnolt::engine
