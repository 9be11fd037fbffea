#pragma once
// What the windows need from outside to start a run, handed from the main
// window to every options window it opens.

#include <filesystem>
#include <vector>

#include <QString>

#include "engine/clock.h"
#include "engine/mail_store.h"
#include "platform/module1.h"

namespace varnolt::windows {

// What a run reads from the main window while it goes: the PST list and
// the destination folder.
class MainWindowInputs {
 public:
  virtual ~MainWindowInputs() = default;
  virtual int PstCount() const = 0;
  // The i-th listed PST's full path, from 1.
  virtual QString PstEntry(int i) const = 0;
  // The destination folder text; ends with "/" once one was chosen.
  virtual QString DestinationFolder() const = 0;
};

struct RunServices {
  // Creates the mail-store session of a run.
  engine::SessionFactory sessions;
  // The clock runs are timed with; null for the system clock.
  engine::Clock* clock = nullptr;
  // Where the operating system's product name is read.
  std::vector<std::filesystem::path> productKeyFiles = platform::DefaultOsReleaseFiles();
};

}  // namespace varnolt::windows
