#pragma once
// The outputs a compression run drives on its host: the activity labels,
// the progress bar switch, the buttons of the options window, the pump of
// pending events and the message box. The desktop window sets its controls;
// the command line prints what it needs.

#include <string>

#include "engine/run_inputs.h"

namespace varnolt::engine {

enum class Label {
  lblNameOfPSTFile,    // file name of the PST being processed
  lblNameOfPSTFolder,  // name of the folder being copied
  lblNumOfMails,       // "(" message number "/" items in the folder ")"
  lblAttachmentCount,  // attachments handled in the current PST
  lblCopy,             // activity line; at the end of a run its summary
  lblProcessing,       // activity line; at the end of a run the completion text
};

class ProgressReport {
 public:
  virtual ~ProgressReport() = default;

  virtual void SetLabel(Label label, const std::string& text) = 0;
  // Switches the progress bar's animation on or off.
  virtual void SetProgressBarEnabled(bool enabled) = 0;

  virtual void SetCompressButtonEnabled(bool enabled) = 0;
  virtual void SetCompressButtonVisible(bool visible) = 0;
  // The option button of one treatment.
  virtual void SetOptionButtonEnabled(AttachmentTreatment treatment, bool enabled) = 0;
  virtual void SetOkButtonVisible(bool visible) = 0;
  virtual void SetOkButtonEnabled(bool enabled) = 0;

  // Lets the host handle what is pending: repaints, timer ticks, clicks.
  virtual void ProcessPendingEvents() = 0;
  // A message box with an OK button; returns when the user has closed it.
  virtual void ShowMessageBox(const std::string& text, const std::string& title) = 0;
};

}  // namespace varnolt::engine
