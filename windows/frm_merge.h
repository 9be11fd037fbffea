#pragma once
// frmMerge, the options-and-progress window: the user picks the attachment
// treatment and starts the run, which works on this window's thread and
// reports through its labels and progress bar; when it is done, OK closes
// the window. The window is the run's host: it answers the run's questions
// (the PST list and destination from the main window, the treatment from
// its option buttons, the texts of the chosen language) and carries out
// its outputs.
//
// Closing rules: OK unloads the window and the main window is usable again;
// every other close request (the close box, the window manager, the
// session ending) ends the whole program. During a run the run first stops
// at the next message and clears away its unfinished PST and scratch
// folder (the attachments already saved stay); then the program ends.

#include <optional>
#include <string>

#include <QDialog>
#include <QPointer>
#include <vector>

#include "engine/compression_run.h"

#include "engine/failures.h"
#include "engine/progress_report.h"
#include "engine/run_inputs.h"
#include "localisation/satellite_localization.h"
#include "windows/frm_run_report.h"
#include "windows/run_services.h"

class QFrame;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace varnolt::engine {
class CompressionEngine;
}

namespace varnolt::controls {
class UPB;
}

namespace varnolt::windows {

class frmMerge : public QDialog, public engine::RunInputs, public engine::ProgressReport {
  Q_OBJECT

 public:
  enum class State { Ready, Running, Finished };

  frmMerge(const MainWindowInputs& main, localisation::SatelliteLocalization& texts, RunServices services,
           QWidget* parent = nullptr);
  ~frmMerge() override;

  // Buttons, labels, progress bar off, texts of the chosen language, and
  // the operating system's product name.
  void Load();

  // Runs the compression; returns when the run has finished.
  void CmdCompressPSTFiles_Click();
  // Unloads the window.
  void cmdOk_Click();
  // Lists the steps of the last run that failed, with the results.
  void cmdFailures_Click();
  // Shows the results of the last run, PST by PST.
  void cmdResults_Click();
  // The results window last opened, or null.
  frmRunReport* RunReport() const { return report_; }

  State CurrentState() const;
  bool RunInProgress() const { return running_; }
  const engine::Failures& RunFailures() const { return failures_; }
  const std::vector<engine::PstOutcome>& RunOutcomes() const { return outcomes_; }

  // What ends the program on a close request other than OK; the program
  // leaves at once. Tests replace it to watch the request.
  static void SetEndProgram(void (*endProgram)());

  // The operating system's product name in lower case, read at load.
  std::string strGetOSVersion;

  // engine::RunInputs
  std::int32_t PstCount() override;
  std::string PstEntry(std::int32_t i) override;
  std::string DestinationFolder() override;
  engine::AttachmentTreatment SelectedTreatment() override;
  bool LoadLanguageResources() override;
  std::string LocalizedText(std::int32_t id) override;

  // engine::ProgressReport
  void SetLabel(engine::Label label, const std::string& text) override;
  void SetProgressBarEnabled(bool enabled) override;
  void SetCompressButtonEnabled(bool enabled) override;
  void SetCompressButtonVisible(bool visible) override;
  void SetOptionButtonEnabled(engine::AttachmentTreatment treatment, bool enabled) override;
  void SetOkButtonVisible(bool visible) override;
  void SetOkButtonEnabled(bool enabled) override;
  void ProcessPendingEvents() override;
  void ShowMessageBox(const std::string& text, const std::string& title) override;

  // Controls.
  QPushButton* CmdCompressPSTFiles = nullptr;
  QGroupBox* fraProgressReport = nullptr;
  controls::UPB* UProgBarCntrl = nullptr;
  QLabel* lblNameOfPSTFile = nullptr;
  QLabel* lblFolderName = nullptr;
  QLabel* lblNameOfPSTFolder = nullptr;
  QLabel* lblTotalMailCnt = nullptr;
  QLabel* lblNumOfMails = nullptr;
  QLabel* lblNumOfAttachments = nullptr;
  QLabel* lblAttachmentCount = nullptr;
  QLabel* lblCopy = nullptr;
  QLabel* lblProcessing = nullptr;
  QLabel* lblPSTName = nullptr;
  QRadioButton* optZipAttachments = nullptr;
  QRadioButton* optSaveAttachments = nullptr;
  QRadioButton* optRemoveAttachments = nullptr;
  QPushButton* cmdOk = nullptr;
  QLabel* lblCompressframe = nullptr;
  QFrame* Line1 = nullptr;
  // Shown after a run in which steps failed; opens their list.
  QPushButton* cmdFailures = nullptr;
  // Shown after every run; opens the results PST by PST.
  QPushButton* cmdResults = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  // Escape is no way out of this window.
  void reject() override {}

 private:
  void buildControls();
  QLabel* labelFor(engine::Label label) const;

  const MainWindowInputs& main_;
  localisation::SatelliteLocalization& texts_;
  RunServices services_;
  bool running_ = false;
  bool unloading_ = false;
  // The run going on, while it goes; a close request stops it.
  engine::CompressionEngine* activeRun_ = nullptr;
  bool endWhenStopped_ = false;
  engine::Failures failures_;
  std::vector<engine::PstOutcome> outcomes_;
  QString runDestination_;
  QPointer<frmRunReport> report_;
};

// The design values stored for the window's progress bar.
QString StoredProgressBarValues();

}  // namespace varnolt::windows
