#pragma once
// Names of a run's folders and files, and the small file-system helpers the
// run uses. Paths are "/"-separated; the destination folder ends with "/".

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

#include "engine/clock.h"
#include "engine/run_inputs.h"

namespace varnolt::engine {

inline constexpr const char* kDestinationPstFileName = "KestrikCompress.pst";
inline constexpr const char* kDestinationStoreName = "KestrikCompress PST";
inline constexpr const char* kScratchFolderName = "MSG Folder";
inline constexpr const char* kAttachmentFolderName = "Outlook_Attachments";
inline constexpr const char* kMessageBoxTitle = "Varnolt";

// "Varnolt_" + "dd-mm-yyyy" + "_" + "hh-mm-ss".
std::string RunFolderName(const LocalDateTime& when);

// Creates destinationFolder + relativePath with a single make-directory
// call when nothing is there yet; an existing folder is kept. Throws
// std::filesystem::filesystem_error when the folder cannot be made (its
// parent is missing, say) or a file is in the way.
void EnsureDestinationSubfolder(const std::string& destinationFolder, const std::string& relativePath);

// Reduces a path to the part after its last "/" (the whole text when it
// holds none).
void parsePSTFileName(std::string& strPSTFileName);

// Deletes the file at path when there is one; a folder is left alone.
// Throws std::filesystem::filesystem_error when the file cannot be deleted.
void DeleteFileIfPresent(const std::string& path);
// Says that the file at path, one the mail session held in memory and
// never wrote, has been handed on and is gone: the next
// DeleteFileIfPresent of that path has nothing to look for on disk.
void NoteFileGone(const std::string& path);

// While a run only removes attachments, a source PST it opens leaves the
// data of its attachments in the file, to be read only for an attachment
// that stays in its message (and so is written to the new PST): the data
// of those removed is never read. The engine holds a Scope while it opens
// a source; the mail session asks when it opens one.
bool AttachmentDataReadOnlyAsWritten();
class AttachmentDataReadOnlyAsWrittenScope {
 public:
  explicit AttachmentDataReadOnlyAsWrittenScope(bool on);
  ~AttachmentDataReadOnlyAsWrittenScope();
  AttachmentDataReadOnlyAsWrittenScope(const AttachmentDataReadOnlyAsWrittenScope&) = delete;
  AttachmentDataReadOnlyAsWrittenScope& operator=(const AttachmentDataReadOnlyAsWrittenScope&) = delete;

 private:
  bool before_;
};

// Deletes every file in the folder, then the folder if it is then empty.
// Throws std::filesystem::filesystem_error naming the first thing it could
// not delete; files it could delete are gone all the same.
void RemoveScratchFolder(const std::string& path);

// Puts everything written to the folder's file system on disk (the saved
// attachments before the new PST that no longer holds them is finished).
// Nothing to do when the folder is not there. Throws
// std::filesystem::filesystem_error when the flush fails.
void FlushFolder(const std::string& path);

// Removes the folder when nothing is in it; a folder that holds anything,
// or is not there, is left as it is.
void RemoveFolderIfEmpty(const std::string& path);

// Regular files directly in the folder; 0 when it is not there.
std::int64_t FilesIn(const std::string& path);

// Bytes a new PST (and the attachments saved beside it) will at least need
// for a source of sourceBytes: about the source's size when the
// attachments are saved, and far less when they are removed. Attachments
// rarely make up more than nine tenths of a mailbox, so a tenth of the
// source, but never less than an empty PST, is what removing clearly needs.
std::uintmax_t SpaceNeeded(std::uintmax_t sourceBytes, AttachmentTreatment treatment);

// Bytes an unprivileged writer may still put on the file system that holds
// path; nothing when that cannot be read or the file system reports no
// capacity at all.
std::optional<std::uintmax_t> FreeSpace(const std::string& path);

// True for the errors of a write that found the file system full (ENOSPC)
// or the user's quota used up (EDQUOT).
bool IsNoSpace(const std::error_code& error);

// ASCII lower case, as the operating-system name is compared.
std::string LowerCase(std::string text);

}  // namespace varnolt::engine
