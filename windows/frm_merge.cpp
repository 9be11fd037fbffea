#include "windows/frm_merge.h"

#include <cstdio>
#include <cstdlib>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTableWidget>

#include "controls/property_bag.h"
#include "controls/upb.h"
#include "engine/compression_run.h"
#include "platform/dialogs.h"
#include "platform/module1.h"
#include "windows/artwork.h"
#include "windows/control_table.h"
#include "windows/frm_run_report.h"
#include "windows/layout.h"
#include "windows/texts.h"

namespace varnolt::windows {

namespace {

// The layout gives no size for the window: it is the frame's extent with
// the same margin on the right and room below the buttons.
constexpr int kClientWidthTwips = 7095;
constexpr int kClientHeightTwips = 5760;

void endProgramNow() {
  std::fflush(nullptr);
  std::_Exit(0);
}

void (*endProgram)() = endProgramNow;

// The progress labels without a caption show file and folder names from
// the mail, as plain text.
constexpr ControlRow<frmMerge> kControls[] = {
    {Control<&frmMerge::CmdCompressPSTFiles>, "CmdCompressPSTFiles", nullptr, "Compress", 119, 2520, 5160, 2175, 420},
    {Control<&frmMerge::fraProgressReport>, "fraProgressReport", nullptr, "Progress Report", 127, 120, 2160, 6855, 2895},
    {Control<&frmMerge::UProgBarCntrl>, "UProgBarCntrl", "fraProgressReport", nullptr, 0, 120, 2160, 6615, 255},
    {Control<&frmMerge::lblNameOfPSTFile>, "lblNameOfPSTFile", "fraProgressReport", nullptr, 0, 2880, 360, 3855, 255,
     kPlainText},
    {Control<&frmMerge::lblFolderName>, "lblFolderName", "fraProgressReport", "Folder Name :", 123, 120, 720, 2535, 255},
    {Control<&frmMerge::lblNameOfPSTFolder>, "lblNameOfPSTFolder", "fraProgressReport", nullptr, 0, 2880, 720, 3855,
     255, kPlainText},
    {Control<&frmMerge::lblTotalMailCnt>, "lblTotalMailCnt", "fraProgressReport", "Mails # :", 124, 120, 1080, 2535,
     255},
    {Control<&frmMerge::lblNumOfMails>, "lblNumOfMails", "fraProgressReport", nullptr, 0, 2880, 1080, 3855, 255,
     kPlainText},
    {Control<&frmMerge::lblNumOfAttachments>, "lblNumOfAttachments", "fraProgressReport", "Attachments # :", 125, 120,
     1440, 2535, 255},
    {Control<&frmMerge::lblAttachmentCount>, "lblAttachmentCount", "fraProgressReport", nullptr, 0, 2880, 1440, 3855,
     255, kPlainText},
    {Control<&frmMerge::lblCopy>, "lblCopy", "fraProgressReport", nullptr, 0, 120, 1800, 6615, 375, kPlainText},
    {Control<&frmMerge::lblProcessing>, "lblProcessing", "fraProgressReport", nullptr, 0, 120, 2520, 3615, 255,
     kPlainText},
    {Control<&frmMerge::lblPSTName>, "lblPSTName", "fraProgressReport", "PST File Name :", 122, 120, 360, 2535, 255},
    {Control<&frmMerge::optZipAttachments>, "optZipAttachments", nullptr, "Extract, Save && Compress Attachments", 118,
     120, 1560, 6735, 255},
    {Control<&frmMerge::optSaveAttachments>, "optSaveAttachments", nullptr, "Extract && Save Attachments", 117, 120,
     1200, 6735, 255},
    {Control<&frmMerge::optRemoveAttachments>, "optRemoveAttachments", nullptr, "Remove Attachments", 116, 120, 840,
     6735, 255},
    {Control<&frmMerge::cmdOk>, "cmdOk", nullptr, "OK", 126, 2520, 5160, 2175, 420},
    {Control<&frmMerge::cmdFailures>, "cmdFailures", nullptr, "Failed steps...", 152, 4800, 5160, 2175, 420, kHidden},
    {Control<&frmMerge::cmdResults>, "cmdResults", nullptr, "Results...", 170, 120, 5160, 2175, 420, kHidden},
    {Control<&frmMerge::lblCompressframe>, "lblCompressframe", nullptr, " Compression Options", 120, 360, 240, 2415,
     255},
};

}  // namespace

QString StoredProgressBarValues() {
  return QStringLiteral(
      "forecolor = 33023\n"
      "followcolor = 16777215\n"
      "borders = 6\n"
      "forespeed = 30\n"
      "blocksize = 6\n");
}

void frmMerge::SetEndProgram(void (*replacement)()) { endProgram = replacement != nullptr ? replacement : endProgramNow; }

frmMerge::frmMerge(const MainWindowInputs& main, localisation::SatelliteLocalization& texts, RunServices services,
                   QWidget* parent)
    : QDialog(parent), main_(main), texts_(texts), services_(std::move(services)) {
  setObjectName(QStringLiteral("frmMerge"));
  setWindowTitle(QStringLiteral("Compress PST"));
  setWindowIcon(ProgramIcon());
  setFont(VerdanaFont());
  setModal(true);
  // A close box and nothing else: no help button, no resizing.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  buildControls();
  setFixedSize(Px(kClientWidthTwips), Px(kClientHeightTwips));
}

frmMerge::~frmMerge() = default;

void frmMerge::buildControls() {
  BuildControls(kControls, *this, this);
  UProgBarCntrl->ReadProperties(controls::PropertyBag::FromText(StoredProgressBarValues()));
  lblCopy->setWordWrap(true);
  optRemoveAttachments->setChecked(true);
  QFont heading = lblCompressframe->font();
  heading.setBold(true);
  lblCompressframe->setFont(heading);
  lblCompressframe->setAutoFillBackground(true);  // the heading sits on the line
  connect(CmdCompressPSTFiles, &QPushButton::clicked, this, &frmMerge::CmdCompressPSTFiles_Click);
  connect(cmdOk, &QPushButton::clicked, this, &frmMerge::cmdOk_Click);
  connect(cmdFailures, &QPushButton::clicked, this, &frmMerge::cmdFailures_Click);
  connect(cmdResults, &QPushButton::clicked, this, &frmMerge::cmdResults_Click);

  Line1 = new QFrame(this);
  Line1->setObjectName(QStringLiteral("Line1"));
  Line1->setGeometry(Px(120), Px(360), Px(6960) - Px(120), 1);
  Line1->setStyleSheet(QStringLiteral("background-color: #808080;"));
  Line1->lower();
}

void frmMerge::Load() {
  CmdCompressPSTFiles->setVisible(true);
  CmdCompressPSTFiles->setEnabled(true);
  cmdOk->setVisible(false);
  cmdOk->setEnabled(false);

  for (QLabel* label :
       {lblNameOfPSTFile, lblNameOfPSTFolder, lblNumOfMails, lblCopy, lblProcessing, lblAttachmentCount}) {
    label->setText(QString());
  }
  UProgBarCntrl->SetEnabled(false);

  if (texts_.LoadLanguageResources()) {
    if (auto title = TextById(texts_, 121)) setWindowTitle(*title);
    ApplyTexts(kControls, *this, [&](std::int32_t id) { return TextById(texts_, id); });
  }
  lblCompressframe->adjustSize();

  const auto key = platform::OpenProductKey(services_.productKeyFiles);
  if (!key) {
    platform::CurrentDialogs().MessageBox(this, QStringLiteral("Error opening key."), platform::ApplicationTitle());
  }
  const std::string product =
      key ? platform::ReadRegistryString(*key, "ProductName") : std::string(platform::kRegistryError);
  strGetOSVersion = QString::fromStdString(product).toLower().toStdString();

  QCoreApplication::processEvents();
}

void frmMerge::CmdCompressPSTFiles_Click() {
  if (running_) return;
  engine::SystemClock systemClock;
  engine::Clock& clock = services_.clock != nullptr ? *services_.clock : systemClock;
  engine::CompressionEngine run(*this, *this, services_.sessions, strGetOSVersion, clock);
  running_ = true;
  activeRun_ = &run;
  run.CompressionRun();
  activeRun_ = nullptr;
  running_ = false;
  failures_ = run.failures();
  outcomes_ = run.outcomes();
  runDestination_ = main_.DestinationFolder();
  if (endWhenStopped_) {
    // The window was closed during the run: the run has cleared away its
    // unfinished PST, and the program ends as the close asked.
    if (run.StopRequested()) {
      std::fprintf(stderr, "varnolt: the run was stopped; its unfinished PST and scratch folder were removed, the "
                           "attachments already saved were kept\n");
    }
    endProgram();
    return;
  }
  if (!failures_.empty()) {
    cmdFailures->setVisible(true);
    cmdFailures->setEnabled(true);
  }
  cmdResults->setVisible(true);
  cmdResults->setEnabled(true);
}

void frmMerge::cmdOk_Click() {
  unloading_ = true;
  done(QDialog::Accepted);
}

void frmMerge::cmdFailures_Click() {
  cmdResults_Click();
  if (frmRunReport* report = report_.data()) report->lstFailures->setFocus();
}

void frmMerge::cmdResults_Click() {
  if (frmRunReport* earlier = report_.data()) earlier->close();
  auto* report = new frmRunReport(outcomes_, failures_, runDestination_, texts_, this);
  report->setAttribute(Qt::WA_DeleteOnClose);
  report_ = report;
  report->open();
}

frmMerge::State frmMerge::CurrentState() const {
  if (cmdOk->isVisibleTo(this) && cmdOk->isEnabled()) return State::Finished;
  if (!CmdCompressPSTFiles->isVisibleTo(this) || running_) return State::Running;
  return State::Ready;
}

void frmMerge::closeEvent(QCloseEvent* event) {
  if (unloading_) {
    event->accept();
    return;
  }
  // Not the window's own unloading: the program ends, run or no run. A
  // run first stops at its next message and clears away what it had not
  // finished; the program ends when it has returned. A second close does
  // not wait.
  event->ignore();
  if (activeRun_ != nullptr && !endWhenStopped_) {
    activeRun_->RequestStop();
    endWhenStopped_ = true;
    return;
  }
  endProgram();
}

std::int32_t frmMerge::PstCount() { return main_.PstCount(); }

std::string frmMerge::PstEntry(std::int32_t i) { return main_.PstEntry(i).toStdString(); }

std::string frmMerge::DestinationFolder() { return main_.DestinationFolder().toStdString(); }

engine::AttachmentTreatment frmMerge::SelectedTreatment() {
  if (optZipAttachments->isChecked()) return engine::AttachmentTreatment::ExtractZip;
  if (optSaveAttachments->isChecked()) return engine::AttachmentTreatment::Extract;
  return engine::AttachmentTreatment::Remove;
}

bool frmMerge::LoadLanguageResources() { return texts_.LoadLanguageResources(); }

std::string frmMerge::LocalizedText(std::int32_t id) { return texts_.LocalizedText(id); }

QLabel* frmMerge::labelFor(engine::Label label) const {
  switch (label) {
    case engine::Label::lblNameOfPSTFile: return lblNameOfPSTFile;
    case engine::Label::lblNameOfPSTFolder: return lblNameOfPSTFolder;
    case engine::Label::lblNumOfMails: return lblNumOfMails;
    case engine::Label::lblAttachmentCount: return lblAttachmentCount;
    case engine::Label::lblCopy: return lblCopy;
    case engine::Label::lblProcessing: return lblProcessing;
  }
  return lblCopy;
}

void frmMerge::SetLabel(engine::Label label, const std::string& text) {
  labelFor(label)->setText(QString::fromStdString(text));
}

void frmMerge::SetProgressBarEnabled(bool enabled) { UProgBarCntrl->SetEnabled(enabled); }

void frmMerge::SetCompressButtonEnabled(bool enabled) { CmdCompressPSTFiles->setEnabled(enabled); }

void frmMerge::SetCompressButtonVisible(bool visible) { CmdCompressPSTFiles->setVisible(visible); }

void frmMerge::SetOptionButtonEnabled(engine::AttachmentTreatment treatment, bool enabled) {
  switch (treatment) {
    case engine::AttachmentTreatment::Remove: optRemoveAttachments->setEnabled(enabled); break;
    case engine::AttachmentTreatment::Extract: optSaveAttachments->setEnabled(enabled); break;
    case engine::AttachmentTreatment::ExtractZip: optZipAttachments->setEnabled(enabled); break;
  }
}

void frmMerge::SetOkButtonVisible(bool visible) { cmdOk->setVisible(visible); }

void frmMerge::SetOkButtonEnabled(bool enabled) { cmdOk->setEnabled(enabled); }

void frmMerge::ProcessPendingEvents() { QCoreApplication::processEvents(); }

void frmMerge::ShowMessageBox(const std::string& text, const std::string& title) {
  platform::CurrentDialogs().MessageBox(this, QString::fromStdString(text), QString::fromStdString(title));
}

}  // namespace varnolt::windows
