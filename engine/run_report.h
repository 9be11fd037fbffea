#pragma once
// The report and the manifest every run folder gets beside its new PST.
//
// Varnolt_Report.csv is for people: one row per attachment met in a mail
// folder, whatever became of it (UTF-8 with a byte-order mark, CRLF line
// ends, fields quoted as spreadsheets expect).
//
// Varnolt_Manifest.jsonl is for programs: one JSON object per line for
// every attachment taken out of its message (saved, zipped or removed),
// with what `restore` needs to put it back: the message of the new PST it
// came from, the attachment's properties, the saved file and its SHA-256,
// and what the run appended to each body. The first line of a message also
// carries its body properties as they were before the run changed them.
//
// Rows of a message are written, and both files flushed, once the message
// is in the new PST, so a run that ends early leaves a report of what was
// done up to then.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "engine/mail_store.h"
#include "engine/run_inputs.h"

namespace varnolt::engine {

inline constexpr const char* kReportFileName = "Varnolt_Report.csv";
inline constexpr const char* kManifestFileName = "Varnolt_Manifest.jsonl";
// The manifest's format; restore refuses lines of any other.
inline constexpr int kManifestFormat = 1;

// What became of one attachment.
enum class AttachmentOutcome {
  Removed,     // deleted from its message, nothing kept
  Saved,       // saved beside the new PST and linked
  Zipped,      // saved, packed into an archive and linked
  Kept,        // left in its message: the treatment could not be done, or on purpose
  KeptFilter,  // left in its message by a filter of the run
};

// The word the report and the manifest use for an outcome ("removed",
// "saved", "zipped", "kept", "kept (filter)").
const char* OutcomeText(AttachmentOutcome outcome);
// The command line's name of a treatment ("remove", "extract", "extract-zip").
const char* TreatmentText(AttachmentTreatment treatment);

// One attachment as the run handled it.
struct ReportedAttachment {
  std::int32_t index = 0;  // its place among the message's attachments, from 1, before any was taken out
  std::string name;        // FileName
  std::vector<StoredProperty> properties;
  std::optional<AttachmentTreatment> treatment;
  AttachmentOutcome outcome = AttachmentOutcome::Kept;
  std::string reason;       // for a kept one
  std::string savedFile;    // relative to the run folder ("Outlook_Attachments/x.pdf.zip")
  std::string fileSha256;   // of the saved file as it is on disk (the archive for a zipped one)
  std::string contentSha256;  // of the attachment's bytes (the archive's entry for a zipped one)
  std::string archiveEntry;   // the entry's name in the archive
  std::uint64_t contentSize = 0;
  std::string linkText;  // the link the run appended for it
  bool linkInPlainText = false;  // to the plain body; otherwise to the HTML body
};

// What the run appended to each form of a body: the text after what the
// body held (plain, HTML) and the RTF inserted into the document. Empty
// where nothing was added.
struct AppendedLinks {
  std::string plain;
  std::string html;
  std::string rtf;
};

// The text after with one run of text taken out of before's: the part
// after holds in place of nothing, between before's longest common start
// and end with it. Empty when after is before.
std::string InsertedText(const std::string& before, const std::string& after);

// The SHA-256 of a file as lower-case hex, and when size is given the
// number of bytes it covers; throws std::system_error when it cannot be
// read. status, when given, is the file's status just taken, which spares
// asking for it again.
std::string FileSha256(const std::string& path, std::uint64_t* size = nullptr,
                       const base::EntryStatus* status = nullptr);
// The SHA-256 of the file at path as the program just wrote it, with the
// file's identity once in place: while the file at path keeps that
// identity, FileSha256 gives it without reading the file back.
void RememberFileSha256(const std::string& path, const base::FileIdentity& identity, std::string sha256);

class RunReport {
 public:
  RunReport() = default;
  ~RunReport();
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  // Creates both files in runFolderPath for the PST at pstPath; throws
  // std::system_error when they cannot be created.
  void open(const std::string& runFolderPath, const std::string& pstPath);
  bool isOpen() const { return csv_.file != nullptr; }

  // A message with attachments begins: where it is in the new PST, what
  // the report says of it, and its bodies before any was changed.
  void beginMessage(const std::string& folderPath, std::int64_t position, const MessageSummary& facts,
                    const BodyState& before);
  void attachment(ReportedAttachment attachment);
  // The message is in the new PST (entryId empty when it could not be
  // committed) with its bodies as after: its rows are written and flushed.
  // Throws std::system_error when a file cannot be written.
  void endMessage(const std::string& entryId, const BodyState& after);
  // Rows written so far.
  std::int64_t rows() const { return rows_; }
  // Flushes both files to disk and closes them; true when both are whole.
  bool finish();
  // Closes and removes both files (for a PST that left nothing to report).
  void discard();

 private:
  // One of the two files, written from its start to its end.
  struct ReportFile {
    std::unique_ptr<base::OpenFile> file;
    std::uint64_t end = 0;
  };
  static void writeOrThrow(ReportFile& report, const std::string& text, const char* name);

  std::string runFolder_;
  std::string pst_;
  ReportFile csv_;
  ReportFile manifest_;
  std::int64_t rows_ = 0;
  // The message being handled.
  bool inMessage_ = false;
  std::string folder_;
  std::int64_t position_ = 0;
  MessageSummary facts_;
  BodyState before_;
  std::vector<ReportedAttachment> pending_;
};

}  // namespace varnolt::engine
