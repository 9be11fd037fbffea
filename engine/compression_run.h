#pragma once
// The compression run: every listed PST is copied into a new PST in a run
// folder of its own under the destination folder, its folder tree walked
// message by message through scratch .msg files, and each message's
// attachments removed, or saved beside the new PST and linked from the
// body, or saved, zipped and linked.
//
// The run works synchronously on the caller's thread. It reads its inputs
// from the host each time it needs them (RunInputs), drives the host's
// labels, buttons and progress bar (ProgressReport), and lets the host
// handle pending events after every attachment, message, folder and PST.
//
// A step that fails is noted in failures() and skipped; the run always
// reaches its end. An attachment that could not be saved, or whose archive
// was not written completely, stays in its message with no link, and its
// saved file is kept.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/clock.h"
#include "engine/failures.h"
#include "engine/mail_store.h"
#include "engine/progress_report.h"
#include "engine/run_inputs.h"
#include "engine/run_report.h"

namespace varnolt::engine {

// Localized text ids the run shows.
inline constexpr std::int32_t kTextRemoving = 134;         // lblCopy while removing
inline constexpr std::int32_t kTextSaving = 135;           // lblCopy while saving
inline constexpr std::int32_t kTextSucceeded = 137;        // lblProcessing at the end
inline constexpr std::int32_t kTextEndActivity = 138;      // lblCopy at the end
inline constexpr std::int32_t kTextFailed = 150;           // lblProcessing at the end when steps failed
inline constexpr std::int32_t kTextFailedSteps = 151;      // lblCopy at the end, before the count

// English texts for when the language's texts cannot be loaded. The
// status-line starts carry the blank the file name follows; the completion
// texts with an id come from the built-in English table instead.
inline constexpr const char* kEnglishRemoving = "removing ";
inline constexpr const char* kEnglishSaving = "Saving ";
inline constexpr const char* kEnglishInterrupted = "Compress interrupted";
inline constexpr const char* kOutlookNote =
    "Note for Outlook 2000 Users : Please change the Email Service option by :\r\n"
    " clicking on Tools ->Options->(select)Mail Services Tab ->(click)Reconfigure Mail Support-> "
    "(select)Corporate/Workgroup option";

// An attachment the treatment left in its message on purpose, and why.
struct KeptAttachment {
  std::string folder;      // folder path inside the PST, "/"-separated
  std::string message;     // which message of the folder, e.g. "3"
  std::string attachment;  // the attachment's file name
  std::string reason;

  // One line for a list: where and why.
  std::string describe() const;
};

// Why a signed or encrypted message keeps its attachments.
inline constexpr const char* kKeptSmimeReason =
    "signed or encrypted (S/MIME) message: its attachment holds the whole content";

// Why a PST was not finished.
enum class PstStop {
  None,            // worked through to its end
  TooLittleSpace,  // not started: the destination clearly had too little free space
  DestinationFull, // the destination filled up; the unfinished new PST was removed
  Interrupted,     // the user stopped the run; the unfinished new PST was removed
};

// What became of one listed PST, for the host's account of the run.
struct PstOutcome {
  std::string pst;        // the listed path
  std::string runFolder;  // its run folder's name; empty when none could be named
  // Every message of the source's top folder tree: its mail folders' (the
  // top folder's own included) and those of the folders copied whole.
  std::int64_t messagesInSource = 0;
  std::int64_t messages = 0;        // messages met in its mail folders, the top folder included
  std::int64_t messagesCopied = 0;  // of them, brought into the new PST with their content
  std::int64_t foldersCopiedWhole = 0;  // folders that hold no mail, copied as they are
  std::int64_t messagesCopiedWhole = 0;  // the messages in them, once copied
  // Attachments taken out of their messages, by what became of them.
  std::int64_t attachmentsRemoved = 0;
  std::int64_t attachmentsSaved = 0;
  std::int64_t attachmentsZipped = 0;
  // Attachments left in their messages: because a step before their
  // removal failed, or on purpose (then also listed in kept).
  std::int64_t attachmentsKept = 0;
  std::vector<KeptAttachment> kept;
  // Attachments the run's filters left in their messages ("kept (filter)");
  // not among attachmentsKept.
  std::int64_t attachmentsKeptByFilter = 0;
  // The bytes of the attachments met; read only by a run with filters.
  std::int64_t attachmentBytes = 0;
  PstStop stopped = PstStop::None;
  // For a PST that was stopped: the saved attachment files left in its
  // attachment folder (copies; the source still holds them).
  std::int64_t attachmentFilesKept = 0;
  // The report and manifest in its run folder (Varnolt_Report.csv);
  // empty when none could be written.
  std::string reportFile;
  // This PST's entries in failures(): [firstFailure, firstFailure + failureCount).
  std::size_t firstFailure = 0;
  std::size_t failureCount = 0;
};

class CompressionEngine {
 public:
  // productName is the operating system's product name; it is kept in
  // lower case as strGetOSVersion.
  CompressionEngine(RunInputs& inputs, ProgressReport& report, SessionFactory createSession,
                    const std::string& productName, Clock& clock);

  // What the Compress button starts.
  void CompressionRun();

  // Asks the run to stop at the next message: the unfinished new PST and
  // the scratch folder are removed, saved attachments stay, and no further
  // PST is started. Safe to call from a signal handler or from the host's
  // event handling while the run goes; a stopped engine stays stopped.
  void RequestStop() noexcept { stopRequested_.store(true, std::memory_order_relaxed); }
  bool StopRequested() const noexcept { return stopRequested_.load(std::memory_order_relaxed); }

  // Recreates the folder tree below source inside destination and copies
  // every message of every mail folder through a scratch .msg file.
  void CopyFolderTree(const std::shared_ptr<MailFolder>& source, const std::shared_ptr<MailSession>& session,
                      const std::shared_ptr<MailFolder>& destination, std::int64_t& attachmentCount,
                      std::int64_t& messageSerial);

  // Applies the selected treatment to the attachments of one message, from
  // the last to the first; saved files go into strAttachmentFolderName
  // (relative to the destination folder).
  void StripAttachments(const std::shared_ptr<MailSession>& session, const std::shared_ptr<MailMessage>& msg,
                        const std::shared_ptr<AttachmentList>& msgAttachments, std::int32_t attachmentsInMessage,
                        std::int64_t& attachmentCount, const std::string& strAttachmentFolderName);

  // Packs the attachment into an archive of its own at path + ".zip", as
  // the one entry named after path's file, straight from the store. True
  // when the archive is completely in place (its content's digest and size
  // then in the saved-file record); a failure is noted ("ReadContent" for
  // the store's side, "WriteZip" for the archive's) and answers false.
  bool ZipAttachments(const std::string& path, const std::function<std::shared_ptr<MailAttachment>()>& attachment);

  // Run state.
  std::string strDestFolderName;  // run folder of the current PST (a name, not a path)
  std::string strGetOSVersion;    // operating-system product name, lower case
  std::int64_t pstAttachmentCounter = 0;
  std::int64_t pstMessageSerial = 0;
  std::int64_t folderMessageNumber = 0;

  const Failures& failures() const { return failures_; }
  // One entry per listed PST begun, in list order; the last one is the PST
  // being worked on while the run goes.
  const std::vector<PstOutcome>& outcomes() const { return outcomes_; }

 private:
  struct Where {
    std::string pst;
    std::string folder;
    std::string message;
    std::string attachment;
  };

  // Runs step; when it throws, notes operation with the reason where the
  // run is now and answers false. Once the destination is full nothing
  // more is tried for the PST: the step is skipped and answers false.
  bool attempt(const std::string& operation, const std::function<void()>& step);
  // As attempt, but also after the destination filled up: for clearing
  // away what an unfinished PST left.
  bool tidy(const std::string& operation, const std::function<void()>& step);
  bool runStep(const std::string& operation, const std::function<void()>& step);
  // Runs get as attempt runs a step: its answer when it gave one, nothing
  // when it failed or was skipped.
  template <typename Get>
  auto attemptGet(const std::string& operation, Get&& get) -> std::optional<std::decay_t<decltype(get())>> {
    std::optional<std::decay_t<decltype(get())>> value;
    attempt(operation, [&] { value = get(); });
    return value;
  }
  // A list whose enumerator keeps failing is given up after this many misses
  // in a row, so a broken store cannot keep the walk turning forever.
  static constexpr int kMissesBeforeGivingUp = 64;
  // Hands every member of list to visit while keepGoing() holds. A member
  // that cannot be fetched is noted under operation and passed over; after
  // kMissesBeforeGivingUp of them in a row the rest of the list is given up.
  template <typename T, typename KeepGoing, typename Visit>
  void forEachTolerated(const std::unique_ptr<Enumerator<T>>& list, const std::string& operation,
                        KeepGoing&& keepGoing, Visit&& visit) {
    int missesInARow = 0;
    while (list && missesInARow < kMissesBeforeGivingUp && keepGoing()) {
      std::shared_ptr<T> member;
      if (!attempt(operation, [&] { member = list->Next(); })) {
        ++missesInARow;
        continue;
      }
      if (!member) break;
      missesInARow = 0;
      visit(member);
    }
  }
  // The one failure line of a PST whose destination filled up.
  void destinationFull(const std::string& operation, const std::string& reason);
  // The walk stops before the next message or folder.
  bool stopAtNextMessage() const { return destinationFull_ || StopRequested(); }
  // Why the destination clearly has too little room for the PST; nothing
  // when it may have enough, or when that cannot be told.
  std::optional<std::string> spaceShortage(const std::string& pst, const std::string& destinationFolder);
  void fail(const std::string& operation, const std::string& reason);

  bool languageLoaded();
  // The text of id in the chosen language; nothing when the language's
  // texts cannot be loaded or lack the id, and the English text is due.
  std::optional<std::string> localizedText(std::int32_t id);
  // The text of id in the chosen language, else the built-in English one.
  std::string textOrEnglish(std::int32_t id);
  std::string nextRunFolderName(const std::string& destinationFolder);
  // A free path for a saved attachment; under the zip treatment its archive
  // path is free as well.
  std::string freeSavePath(const std::string& path, bool forArchive);
  // Saves one attachment as treatment asks (Extract or ExtractZip) and
  // links it from the body; true when its content is safe beside the new
  // PST and it may be deleted from the message.
  bool saveAndLink(const std::shared_ptr<MailSession>& session, const std::shared_ptr<MailMessage>& msg,
                   const std::function<std::shared_ptr<MailAttachment>()>& attachment, const std::string& fileName,
                   AttachmentTreatment treatment, const std::string& strAttachmentFolderName);
  // The filters of the run as they apply to one message: the message's
  // dates and bodies when a filter needs them, and why the whole message
  // stays untouched when it does.
  struct MessageFilters {
    std::optional<AttachmentFilter> filter;
    std::optional<MessageFacts> facts;
    std::optional<std::string> keptReason;
  };
  MessageFilters readFilters(const std::shared_ptr<MailMessage>& msg);
  // Applies treatment to one attachment (after the filters let it go);
  // true when it left its message, its content safe wherever the
  // treatment puts it.
  bool treatAttachment(const std::shared_ptr<MailSession>& session, const std::shared_ptr<MailMessage>& msg,
                       const std::function<std::shared_ptr<MailAttachment>()>& attachment,
                       const std::optional<std::string>& fileName,
                       const std::optional<AttachmentTreatment>& treatment, const std::string& attachmentFolderName);
  // The one place where an attachment stays because of the run's filters:
  // counted and reported as "kept (filter)", where_ names it.
  void keptByFilter(ReportedAttachment reported, const std::string& reason);
  // The file the last saveAndLink put beside the new PST, for the report.
  struct SavedFile {
    std::string path;           // full path of the file the link names
    std::string contentSha256;  // of the attachment's bytes as saved
    std::uint64_t contentSize = 0;
    std::string archiveEntry;   // for an archive of the run's own
    std::string linkText;       // what was appended to the body
    bool linkInPlainText = false;
  };
  SavedFile lastSaved_;
  // The report of the PST being worked on; steps that write it fail alone.
  RunReport runReport_;
  void openReport();
  // The report's record of a message whose attachments are about to be treated.
  void beginReportedMessage(const std::shared_ptr<MailMessage>& message);
  // Notes one attachment of the message being treated for the report.
  void reportAttachment(ReportedAttachment reported, const std::optional<AttachmentTreatment>& treatment,
                        bool removed, std::size_t failuresBefore);
  void closeReport(bool stopped);
  bool appendLink(const std::shared_ptr<MailSession>& session, const std::shared_ptr<MailMessage>& msg,
                  const std::string& target, const std::string& fileName);
  // The phases of a run: its start, the one session, one listed PST from
  // start to finish, and the completion text.
  void startRun();
  std::shared_ptr<MailSession> openSession();
  void compressPst(std::int32_t index, const std::shared_ptr<MailSession>& session);
  void finishRun();
  // The phases of one PST.
  struct PstStores {
    std::shared_ptr<MailStore> source;
    std::shared_ptr<MailStore> destination;  // only beside a source that could be opened
  };
  // Starts the PST's outcome and its counts.
  void beginPst(std::int32_t index);
  // False, with the failure noted, when the destination clearly has too
  // little room for the PST.
  bool roomForPst(std::int32_t index);
  // Names and makes the PST's run folder; false when it could not be named.
  bool makeRunFolder();
  PstStores openStores(std::int32_t index, const std::shared_ptr<MailSession>& session, bool haveRunFolder);
  // The source's whole tree into the new PST.
  void copyPst(const PstStores& stores, const std::shared_ptr<MailSession>& session);
  // Removes whatever the new PST holds under its top folder.
  void emptyNewPst(const std::shared_ptr<MailFolder>& destinationTop);
  // Finishes the new PST, or removes it when the PST was stopped part way,
  // and lets go of the source; true when the PST was stopped.
  bool finishNewPst(const PstStores& stores, bool haveRunFolder);
  // Removes the scratch folder, and for a stopped PST whatever of its run
  // folder is empty.
  void clearRunFolder(bool haveRunFolder, bool stopped);
  void pump();

  // Where one pass of the walk over a folder's subfolders puts the saved
  // attachments and the scratch .msg files.
  struct WalkScratch {
    std::string strAttachmentFolderName;  // relative to the destination folder
    std::string scratchFolder;            // relative to the destination folder
  };
  // Switches the progress bar on and makes sure the run folder's
  // attachment and scratch folders are there.
  WalkScratch startWalk();
  // The top folder's own messages and settings, before the tree below it.
  void copyTopFolder(const std::shared_ptr<MailFolder>& source, const std::shared_ptr<MailSession>& session,
                     const std::shared_ptr<MailFolder>& destination);
  // Every message of one mail folder into its new folder, each treated,
  // through a scratch .msg file of its own; itemCount is the source's
  // count when it could be read.
  void copyMessages(const std::shared_ptr<MailFolder>& source, const std::shared_ptr<MailSession>& session,
                    const std::shared_ptr<MailFolder>& destination, std::optional<std::int32_t> itemCount,
                    std::int64_t& attachmentCount, std::int64_t& messageSerial, WalkScratch& walk);
  // One message through its scratch .msg file into the new folder, its
  // attachments treated on the way.
  void copyMessage(const std::shared_ptr<MailMessage>& sourceItem, const std::shared_ptr<MailFolder>& sourceFolder,
                   const std::shared_ptr<MailSession>& session, const std::shared_ptr<MailFolder>& newFolder,
                   std::optional<std::int32_t> itemCount, std::int64_t& attachmentCount, std::int64_t& messageSerial,
                   const WalkScratch& walk);
  // One subfolder met by the walk: copied whole when it holds no mail,
  // otherwise recreated and walked.
  void copySubfolder(const std::shared_ptr<MailFolder>& sourceFolder, const std::string& parentPath,
                     const std::shared_ptr<MailSession>& session, const std::shared_ptr<MailFolder>& destination,
                     std::int64_t& attachmentCount, std::int64_t& messageSerial, WalkScratch& walk);
  // The messages of a folder and every folder below it; nothing when a
  // count cannot be read (noted as a failure).
  std::optional<std::int64_t> countMessagesBelow(const std::shared_ptr<MailFolder>& folder, int depth = 0);

  RunInputs& inputs_;
  ProgressReport& report_;
  SessionFactory createSession_;
  Clock& clock_;
  // The outcome of the PST being worked on; only valid inside the loop.
  PstOutcome& current() { return outcomes_.back(); }
  // Adds n to field for the PST being worked on; nothing when the walk or
  // the handler is called outside a run.
  void tally(std::int64_t PstOutcome::*field, std::int64_t n = 1) {
    if (inPst_) current().*field += n;
  }

  Failures failures_;
  std::vector<PstOutcome> outcomes_;
  bool inPst_ = false;
  bool destinationFull_ = false;  // for the PST being worked on
  std::atomic<bool> stopRequested_{false};
  Where where_;
  std::set<std::string> usedRunFolders_;  // run folders of this run, one per PST
};

}  // namespace varnolt::engine
