#pragma once
// frmRunReport: what a finished run did, PST by PST. One row per listed
// PST with its run folder and outcome (messages copied, attachments taken
// out, failed steps) and a button that opens the selected run folder in
// the desktop's file manager; below it, when steps failed, their table
// (PST, folder, message, attachment, step, reason), which can be copied.
// Return presses OK.

#include <functional>
#include <string>
#include <vector>

#include <QDialog>
#include <QString>

#include "engine/compression_run.h"
#include "engine/failures.h"
#include "localisation/satellite_localization.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace varnolt::windows {

class frmRunReport : public QDialog {
  Q_OBJECT

 public:
  // destination is the folder the run folders were made in, ending in "/".
  frmRunReport(const std::vector<engine::PstOutcome>& outcomes, const engine::Failures& failures,
               const QString& destination, localisation::SatelliteLocalization& texts, QWidget* parent = nullptr);

  // The full path of the run folder of the results row, "" when it has none.
  QString RunFolderOf(int row) const;
  // Opens the selected row's run folder in the file manager.
  void cmdOpenFolder_Click();
  // Puts the failed steps on the clipboard as tab-separated lines, a
  // header line first: every step, or the selected rows when some are.
  void cmdCopy_Click();
  // The text cmdCopy_Click puts on the clipboard.
  QString FailuresAsText(bool selectedOnly) const;

  // How folders are opened; tests replace it. Answers whether it worked.
  static void SetFolderOpener(std::function<bool(const QString& folder)> opener);

  QTableWidget* lstResults = nullptr;
  QPushButton* cmdOpenFolder = nullptr;
  QLabel* lblFailures = nullptr;
  QLabel* lblReport = nullptr;  // where each run folder's report is
  QTableWidget* lstFailures = nullptr;
  QPushButton* cmdCopy = nullptr;
  QPushButton* cmdOk = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void updateOpenButton();

  QString destination_;
  std::vector<std::string> runFolders_;
};

}  // namespace varnolt::windows
