#include <exception>
#include <string>

#include "base/utf8_path.h"
#include "engine/compression_run.h"
#include "zip/error.h"
#include "zip/zip_class.h"

namespace varnolt::engine {

bool CompressionEngine::ZipAttachments(const std::string& path) {
  // One archive per attachment, next to the saved file. The archive is
  // written under a temporary name and renamed into place when complete,
  // so an answer of true means the whole archive is in place. It is not
  // flushed on its own: a flush per archive took most of the run's time,
  // and the run flushes the attachment folder once before it finishes the
  // new PST that no longer holds the attachments.
  const char* operation = "AddFile";
  try {
    zip::ZipClass archive;
    if (!archive.AddFile(base::pathFromUtf8(path), "", "")) {
      fail("AddFile", "the saved file is not there: " + path);
      return false;
    }
    operation = "WriteZip";
    if (!archive.WriteZip(base::pathFromUtf8(path + ".zip"), true, false)) {
      fail("WriteZip", "the archive could not be put in place: " + path + ".zip");
      return false;
    }
    return true;
  } catch (const zip::Error& e) {
    if (e.kind() == zip::ErrorKind::NoSpace) destinationFull(operation, e.what());
    else fail(operation, e.what());
  } catch (const std::exception& e) {
    fail(operation, e.what());
  } catch (...) {
    fail(operation, "unknown error");
  }
  return false;
}

}  // namespace varnolt::engine
