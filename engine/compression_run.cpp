#include "engine/compression_run.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "base/file_system.h"
#include "base/utf8_path.h"
#include "engine/naming.h"
#include "engine/run_helpers.h"
#include "localisation/english_texts.h"
#include "mapi/util/digest_ahead.h"
#include "zip/deflate_ahead.h"

namespace varnolt::engine {

namespace fs = std::filesystem;

namespace {

// How long to wait for the clock to give a run folder name not yet taken,
// in steps of kRunFolderWait.
constexpr auto kRunFolderWait = std::chrono::milliseconds(200);
constexpr int kRunFolderTries = 100;

bool fileExists(const std::string& path) {
  std::error_code ec;
  return base::fileSystem().status(base::pathFromUtf8(path), ec, true).type != base::EntryType::None;
}

}  // namespace

CompressionEngine::CompressionEngine(RunInputs& inputs, ProgressReport& report, SessionFactory createSession,
                                     const std::string& productName, Clock& clock)
    : strGetOSVersion(LowerCase(productName)),
      inputs_(inputs),
      report_(report),
      createSession_(std::move(createSession)),
      clock_(clock) {}

bool CompressionEngine::attempt(const std::string& operation, const std::function<void()>& step) {
  if (destinationFull_) return false;
  return runStep(operation, step);
}

bool CompressionEngine::tidy(const std::string& operation, const std::function<void()>& step) {
  return runStep(operation, step);
}

bool CompressionEngine::runStep(const std::string& operation, const std::function<void()>& step) {
  try {
    step();
    return true;
  } catch (const DestinationFull& e) {
    destinationFull(operation, e.what());
  } catch (const std::system_error& e) {
    if (IsNoSpace(e.code())) destinationFull(operation, e.what());
    else fail(operation, e.what());
  } catch (const std::exception& e) {
    fail(operation, e.what());
  } catch (...) {
    fail(operation, "unknown error");
  }
  return false;
}

void CompressionEngine::destinationFull(const std::string& operation, const std::string& reason) {
  // One line for the PST, not one per message that could not be written.
  if (destinationFull_) return;
  destinationFull_ = true;
  fail(operation, "the destination is full: " + reason);
}

std::optional<std::string> CompressionEngine::spaceShortage(const std::string& pst,
                                                            const std::string& destinationFolder) {
  std::error_code ec;
  const base::EntryStatus source = base::fileSystem().status(base::pathFromUtf8(pst), ec);
  if (ec || source.type != base::EntryType::File) return std::nullopt;
  const std::uintmax_t sourceBytes = source.size;  // attaching the source says what is wrong with it
  const auto free = FreeSpace(destinationFolder);
  const std::uintmax_t needed = SpaceNeeded(sourceBytes, inputs_.SelectedTreatment());
  if (!free || *free >= needed) return std::nullopt;
  return "the destination has too little free space for this PST: " + std::to_string(*free) +
         " bytes free, at least " + std::to_string(needed) + " bytes needed; it was not started";
}

void CompressionEngine::fail(const std::string& operation, const std::string& reason) {
  Failure f;
  f.pst = where_.pst;
  f.folder = where_.folder;
  f.message = where_.message;
  f.attachment = where_.attachment;
  f.operation = operation;
  f.reason = reason;
  failures_.record(std::move(f));
}

bool CompressionEngine::languageLoaded() {
  try {
    return inputs_.LoadLanguageResources();
  } catch (...) {
    return false;  // no language texts: the English ones stand in
  }
}

std::optional<std::string> CompressionEngine::localizedText(std::int32_t id) {
  if (!languageLoaded()) return std::nullopt;
  try {
    return inputs_.LocalizedText(id);
  } catch (...) {
    return std::nullopt;  // a language without this text: English stands in
  }
}

std::string CompressionEngine::textOrEnglish(std::int32_t id) {
  if (std::optional<std::string> text = localizedText(id)) return *text;
  return localisation::EnglishText(id).value_or(std::string());
}

void CompressionEngine::pump() {
  attempt("process pending events", [&] { report_.ProcessPendingEvents(); });
}

std::string CompressionEngine::nextRunFolderName(const std::string& destinationFolder) {
  // The name has a resolution of one second. A name this run already gave
  // to a PST, or a folder that already holds a finished PST, is taken: the
  // run waits for the next second rather than reopen and empty that PST.
  auto taken = [&](const std::string& name) {
    return usedRunFolders_.count(name) != 0 ||
           fileExists(destinationFolder + name + "/" + kDestinationPstFileName);
  };
  std::string name = RunFolderName(clock_.Now());
  for (int tries = 0; taken(name); ++tries) {
    if (tries == kRunFolderTries) throw StoreError("no free run folder name in " + destinationFolder);
    clock_.Sleep(kRunFolderWait);
    name = RunFolderName(clock_.Now());
  }
  usedRunFolders_.insert(name);
  return name;
}

void CompressionEngine::CompressionRun() {
  startRun();
  const std::shared_ptr<MailSession> session = openSession();
  // Every listed PST in list order.
  const std::int32_t pstCount =
      attemptGet("read the number of listed PST files", [&] { return inputs_.PstCount(); }).value_or(0);
  for (std::int32_t i = 1; i <= pstCount && !StopRequested(); ++i) compressPst(i, session);
  where_ = Where();
  finishRun();
}

void CompressionEngine::startRun() {
  // A fresh run: nothing carried over from an earlier one.
  strDestFolderName.clear();
  failures_ = Failures();
  outcomes_.clear();
  destinationFull_ = false;
  usedRunFolders_.clear();
  where_ = Where();

  // The run cannot be started twice.
  attempt("disable the Compress button", [&] { report_.SetCompressButtonEnabled(false); });
  attempt("hide the Compress button", [&] { report_.SetCompressButtonVisible(false); });

  // The treatment is fixed from here on: only the selected option stays
  // enabled. When the selection cannot be read every option is disabled.
  const std::optional<AttachmentTreatment> selected =
      attemptGet("read the selected treatment", [&] { return inputs_.SelectedTreatment(); });
  for (auto option : {AttachmentTreatment::Remove, AttachmentTreatment::Extract, AttachmentTreatment::ExtractZip}) {
    if (!selected || option != *selected)
      attempt("disable an option button", [&] { report_.SetOptionButtonEnabled(option, false); });
  }
}

std::shared_ptr<MailSession> CompressionEngine::openSession() {
  // One session for the whole run.
  std::shared_ptr<MailSession> session;
  attempt("create the mail-store session", [&] {
    session = createSession_ ? createSession_() : nullptr;
    if (!session) throw StoreError("no mail-store session is available");
  });
  if (session) attempt("LogOnDefault", [&] { session->LogOnDefault(); });

  // The note for old Outlook versions, also when the version is unknown.
  std::optional<int> major;
  if (session)
    major = attemptGet("OutlookVersion", [&] { return OutlookMajorVersion(session->OutlookVersion()); })
                .value_or(std::nullopt);
  if (!major || *major < 11)
    attempt("show the Outlook note", [&] { report_.ShowMessageBox(kOutlookNote, kMessageBoxTitle); });
  return session;
}

void CompressionEngine::compressPst(std::int32_t index, const std::shared_ptr<MailSession>& session) {
  beginPst(index);
  if (!roomForPst(index)) return;
  const bool haveRunFolder = makeRunFolder();
  // The user sees which PST is being worked on, by its file name only.
  attempt("show the PST file name", [&] {
    std::string strPSTFileName = inputs_.PstEntry(index);
    parsePSTFileName(strPSTFileName);
    report_.SetLabel(Label::lblNameOfPSTFile, strPSTFileName);
  });
  // The treatment as the run begins; it is read again, with any failure
  // noted, for each attachment.
  std::optional<AttachmentTreatment> treatment;
  try {
    treatment = inputs_.SelectedTreatment();
  } catch (...) {
    treatment.reset();
  }
  PstStores stores;
  {
    // Attachments that are only removed need no data read.
    AttachmentDataReadOnlyAsWrittenScope dataLeft(treatment == AttachmentTreatment::Remove);
    stores = openStores(index, session, haveRunFolder);
  }
  {
    // Archives find their attachments' data deflated ahead, and saved files
    // their digests for the report worked out ahead, beside the reading of
    // the next messages, where the store reads ahead.
    zip::DeflateAhead::Scope deflateAhead(treatment == AttachmentTreatment::ExtractZip);
    mapi::DigestAhead::Scope digestAhead(treatment == AttachmentTreatment::Extract && runReport_.isOpen());
    copyPst(stores, session);
  }
  const bool stopped = finishNewPst(stores, haveRunFolder);
  clearRunFolder(haveRunFolder, stopped);
  destinationFull_ = false;
  // The host gets its turn between PSTs, and the PST's failures are
  // counted for its outcome.
  pump();
  current().failureCount = failures_.count() - current().firstFailure;
  inPst_ = false;
}

void CompressionEngine::beginPst(std::int32_t index) {
  where_ = Where();
  destinationFull_ = false;
  try {
    where_.pst = inputs_.PstEntry(index);  // only to say where a failure happened
  } catch (...) {
    where_.pst = "#" + std::to_string(index);
  }
  outcomes_.emplace_back();
  current().pst = where_.pst;
  current().firstFailure = failures_.count();
  inPst_ = true;

  // The counts shown while the PST is worked on are its own.
  pstAttachmentCounter = 0;
  pstMessageSerial = 0;
  // The labels that show those counts start again with them (the host
  // cleared them before the first PST): nothing of the PST before stays
  // on screen through this one or into the finished state.
  if (index > 1) {
    attempt("clear the progress labels", [&] {
      for (Label label : {Label::lblNameOfPSTFolder, Label::lblNumOfMails, Label::lblAttachmentCount, Label::lblCopy})
        report_.SetLabel(label, "");
    });
  }
}

bool CompressionEngine::roomForPst(std::int32_t index) {
  // A PST the destination clearly has no room for is not started: no
  // run folder, no new PST, one failure that says why.
  const std::optional<std::string> shortage =
      attemptGet("check the free space at the destination",
                 [&] { return spaceShortage(inputs_.PstEntry(index), inputs_.DestinationFolder()); })
          .value_or(std::nullopt);
  if (!shortage) return true;
  fail("check the free space at the destination", *shortage);
  current().stopped = PstStop::TooLittleSpace;
  current().failureCount = failures_.count() - current().firstFailure;
  inPst_ = false;
  pump();
  return false;
}

bool CompressionEngine::makeRunFolder() {
  // A run folder of the PST's own, named after the clock, holds its new
  // PST and saved attachments.
  const bool named =
      attempt("name the run folder", [&] { strDestFolderName = nextRunFolderName(inputs_.DestinationFolder()); });
  if (!named) return false;
  current().runFolder = strDestFolderName;
  attempt("create the run folder", [&] { EnsureDestinationSubfolder(inputs_.DestinationFolder(), strDestFolderName); });
  return true;
}

CompressionEngine::PstStores CompressionEngine::openStores(std::int32_t index,
                                                           const std::shared_ptr<MailSession>& session,
                                                           bool haveRunFolder) {
  // The source is only ever read: a listed file that is gone is not
  // attached, since attaching a missing file would create one.
  PstStores opened;
  std::shared_ptr<engine::StoreList> stores;
  if (session) attempt("StoreList", [&] { stores = session->StoreList(); });
  if (!stores) return opened;
  attempt("AttachPstFile (source)", [&] {
    const std::string path = inputs_.PstEntry(index);
    std::error_code ec;
    if (base::fileSystem().status(base::pathFromUtf8(path), ec).type != base::EntryType::File) throw StoreError("the PST file is not there: " + path);
    opened.source = stores->AttachPstFile(path, kFormatUnicodePst, std::nullopt);
  });
  if (!haveRunFolder) return opened;

  // Only into a run folder of this PST's own, and only for a source
  // that could be opened: an empty new PST beside a failed one could be
  // taken for its compressed copy. Its run folder goes again when the
  // run put nothing else in it.
  if (!opened.source) {
    if (attempt("remove the empty run folder",
                [&] { RemoveFolderIfEmpty(inputs_.DestinationFolder() + strDestFolderName); }) &&
        !fileExists(inputs_.DestinationFolder() + strDestFolderName))
      current().runFolder.clear();
    return opened;
  }
  attempt("AttachPstFile (destination)", [&] {
    const std::string path = inputs_.DestinationFolder() + strDestFolderName + "/" + kDestinationPstFileName;
    opened.destination = stores->AttachPstFile(path, kFormatUnicodePst, std::string(kDestinationStoreName));
  });
  if (opened.destination) openReport();
  return opened;
}

void CompressionEngine::copyPst(const PstStores& stores, const std::shared_ptr<MailSession>& session) {
  // Both top folders, and the source's store settings carried over so
  // that Outlook opens the new PST as it did the old one.
  std::shared_ptr<MailFolder> sourceTop;
  std::shared_ptr<MailFolder> destinationTop;
  if (stores.source) attempt("TopFolder (source)", [&] { sourceTop = stores.source->TopFolder(); });
  if (stores.destination)
    attempt("TopFolder (destination)", [&] { destinationTop = stores.destination->TopFolder(); });
  if (stores.source && stores.destination)
    attempt("KeepSettingsOf", [&] { stores.destination->KeepSettingsOf(stores.source); });

  if (destinationTop) emptyNewPst(destinationTop);

  // The top folder's own messages are the source's as much as any
  // folder's. A count that cannot be read lets the walk try.
  if (sourceTop && destinationTop) {
    copyTopFolder(sourceTop, session, destinationTop);
    std::int32_t count = 1;
    attempt("Subfolders (source)", [&] { count = sourceTop->Subfolders()->Count(); });
    if (count > 0) CopyFolderTree(sourceTop, session, destinationTop, pstAttachmentCounter, pstMessageSerial);
  }
  where_.folder.clear();
  where_.message.clear();
  where_.attachment.clear();
}

void CompressionEngine::emptyNewPst(const std::shared_ptr<MailFolder>& destinationTop) {
  // The new PST starts with nothing under its top folder.
  std::unique_ptr<Enumerator<MailFolder>> existing;
  attempt("Subfolders (destination)", [&] { existing = destinationTop->Subfolders()->Enumerate(); });
  forEachTolerated(
      existing, "enumerate the destination's folders", [] { return true; },
      [&](const std::shared_ptr<MailFolder>& folder) { attempt("RemoveFolder", [&] { folder->RemoveFolder(); }); });
}

bool CompressionEngine::finishNewPst(const PstStores& stores, bool haveRunFolder) {
  const std::shared_ptr<MailStore>& destination = stores.destination;
  // A PST stopped part way leaves no new PST, not even an unfinished
  // one; the attachments it saved stay (they are copies, the source
  // still holds them).
  const bool cut = destinationFull_ || StopRequested();
  if (cut) {
    if (destination) tidy("remove the unfinished new PST", [&] { destination->Discard(); });
  } else {
    // The attachments saved for this PST are on disk before the new PST
    // that no longer holds them is finished, so a crash cannot lose one.
    if (destination && haveRunFolder) {
      attempt("flush the saved attachments to disk", [&] {
        FlushFolder(inputs_.DestinationFolder() + strDestFolderName + "/" + kAttachmentFolderName);
      });
    }
    // The new PST is finished and complete on disk before the next one
    // starts. Most of it is written here, so this is where a destination
    // often fills up.
    if (destination) attempt("finish the new PST", [&] { destination->Close(); });
    if (destinationFull_ && destination) tidy("remove the unfinished new PST", [&] { destination->Discard(); });
  }
  const bool stopped = cut || destinationFull_;
  if (stopped) current().stopped = destinationFull_ ? PstStop::DestinationFull : PstStop::Interrupted;
  closeReport(stopped);
  // The source lets go of its file.
  if (stores.source) tidy("close the source PST", [&] { stores.source->Close(); });
  return stopped;
}

void CompressionEngine::openReport() {
  // Beside the new PST; a report that cannot be written costs the run
  // nothing else.
  const std::string runFolder = inputs_.DestinationFolder() + strDestFolderName;
  if (attempt("create the report", [&] { runReport_.open(runFolder, where_.pst); }))
    current().reportFile = runFolder + "/" + kReportFileName;
}

void CompressionEngine::closeReport(bool stopped) {
  if (!runReport_.isOpen()) return;
  // A stopped PST has no new PST for the report to describe: its report
  // stays only beside saved attachment files it left, to say where each
  // came from, so that an otherwise empty run folder can go.
  if (stopped && FilesIn(inputs_.DestinationFolder() + strDestFolderName + "/" + kAttachmentFolderName) == 0) {
    runReport_.discard();
    current().reportFile.clear();
    return;
  }
  if (!runReport_.finish()) {
    tidy("finish the report", [&] { throw StoreError("the report could not be written completely to disk"); });
  }
}

void CompressionEngine::clearRunFolder(bool haveRunFolder, bool stopped) {
  if (!haveRunFolder) return;
  // The scratch files go; the run folder, the new PST and the
  // attachments stay.
  tidy("remove the scratch folder", [&] {
    RemoveScratchFolder(inputs_.DestinationFolder() + strDestFolderName + "/" + kScratchFolderName);
  });
  if (!stopped) return;
  const std::string runFolder = inputs_.DestinationFolder() + strDestFolderName;
  current().attachmentFilesKept = FilesIn(runFolder + "/" + kAttachmentFolderName);
  tidy("remove the empty attachment folder", [&] { RemoveFolderIfEmpty(runFolder + "/" + kAttachmentFolderName); });
  if (tidy("remove the empty run folder", [&] { RemoveFolderIfEmpty(runFolder); }) && !fileExists(runFolder))
    current().runFolder.clear();
}

void CompressionEngine::finishRun() {
  // The completion text; a run in which something failed says so and
  // how many steps failed, and the host can list them.
  if (StopRequested()) {
    const std::string count = std::to_string(failures_.count());
    attempt("show the completion text", [&] {
      report_.SetLabel(Label::lblCopy, failures_.empty() ? std::string()
                                                         : textOrEnglish(kTextFailedSteps) + " " + count);
      report_.SetLabel(Label::lblProcessing, kEnglishInterrupted);
    });
  } else if (failures_.empty()) {
    attempt("show the completion text", [&] {
      report_.SetLabel(Label::lblCopy, textOrEnglish(kTextEndActivity));
      report_.SetLabel(Label::lblProcessing, textOrEnglish(kTextSucceeded));
    });
  } else {
    const std::string count = std::to_string(failures_.count());
    attempt("show the completion text", [&] {
      report_.SetLabel(Label::lblCopy, textOrEnglish(kTextFailedSteps) + " " + count);
      report_.SetLabel(Label::lblProcessing, textOrEnglish(kTextFailed));
    });
  }

  // The user closes the window with OK once the run is over.
  attempt("show the OK button", [&] { report_.SetOkButtonVisible(true); });
  attempt("enable the OK button", [&] { report_.SetOkButtonEnabled(true); });
  attempt("switch the progress bar off", [&] { report_.SetProgressBarEnabled(false); });
  // The run's folder, store and session objects go with this scope.
}

}  // namespace varnolt::engine
