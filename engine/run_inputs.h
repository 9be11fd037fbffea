#pragma once
// What the compression run asks of its host while it works. The run never
// keeps a copy: it asks again each time it needs a value, so the desktop
// window answers from its controls and the command line from its arguments.

#include <cstdint>
#include <string>

#include "engine/attachment_filter.h"

namespace varnolt::engine {

// The treatment chosen for every attachment of a run.
enum class AttachmentTreatment {
  Remove,      // optRemoveAttachments: delete, write nothing
  Extract,     // optSaveAttachments: save beside the new PST and link
  ExtractZip,  // optZipAttachments: save, pack into an archive of its own and link
};

class RunInputs {
 public:
  virtual ~RunInputs() = default;

  // Number of listed PST files; read once when the run starts its loop.
  virtual std::int32_t PstCount() = 0;
  // The full path of the i-th listed PST, from 1.
  virtual std::string PstEntry(std::int32_t i) = 0;
  // The destination folder; always ends with "/".
  virtual std::string DestinationFolder() = 0;
  // The treatment selected now.
  virtual AttachmentTreatment SelectedTreatment() = 0;
  // The filters selected now; none unless the host offers them.
  virtual AttachmentFilter SelectedFilter() { return {}; }

  // True when the texts of the chosen language can be loaded; asked before
  // every group of localized texts.
  virtual bool LoadLanguageResources() = 0;
  // The text with the numeric id in the chosen language. May throw when the
  // language has no text of that id.
  virtual std::string LocalizedText(std::int32_t id) = 0;
};

}  // namespace varnolt::engine
