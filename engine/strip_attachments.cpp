#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "base/file_system.h"
#include "base/utf8_path.h"
#include "engine/attachment_filter.h"
#include "engine/compression_run.h"
#include "engine/naming.h"
#include "engine/run_helpers.h"

namespace varnolt::engine {


namespace {

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool pathTaken(const std::string& path) {
  std::error_code ec;
  return base::fileSystem().status(base::pathFromUtf8(path), ec, true).type != base::EntryType::None;
}

std::tm toTm(const LocalDateTime& when) {
  std::tm tm{};
  tm.tm_year = when.year - 1900;
  tm.tm_mon = when.month - 1;
  tm.tm_mday = when.day;
  tm.tm_hour = when.hour;
  tm.tm_min = when.minute;
  tm.tm_sec = when.second;
  tm.tm_isdst = -1;
  return tm;
}

// S/MIME messages ("IPM.Note.SMIME", "IPM.Note.SMIME.MultipartSigned",
// and the ".SMIME" forms of other classes) carry their whole signed or
// encrypted content in their attachment; taking it out destroys the
// message. Message classes compare without regard to case.
bool isSmimeClass(const std::string& messageClass) {
  std::size_t start = 0;
  while (start <= messageClass.size()) {
    std::size_t end = messageClass.find('.', start);
    if (end == std::string::npos) end = messageClass.size();
    std::string part = messageClass.substr(start, end - start);
    for (char& c : part) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (start > 0 && part == "SMIME") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

void CompressionEngine::reportAttachment(ReportedAttachment reported,
                                         const std::optional<AttachmentTreatment>& treatment, bool removed,
                                         std::size_t failuresBefore) {
  if (!runReport_.isOpen()) return;
  reported.treatment = treatment;
  if (!removed) {
    // The first failure met on its way says why it stayed.
    reported.outcome = AttachmentOutcome::Kept;
    reported.reason = failures_.count() > failuresBefore ? failures_.list()[failuresBefore].reason
                                                         : "the treatment could not be done";
  } else if (treatment == AttachmentTreatment::Remove) {
    reported.outcome = AttachmentOutcome::Removed;
  } else {
    reported.outcome = treatment == AttachmentTreatment::Extract ? AttachmentOutcome::Saved : AttachmentOutcome::Zipped;
    const std::string runFolder = inputs_.DestinationFolder() + strDestFolderName + "/";
    reported.savedFile = lastSaved_.path.rfind(runFolder, 0) == 0 ? lastSaved_.path.substr(runFolder.size())
                                                                  : lastSaved_.path;
    reported.contentSha256 = lastSaved_.contentSha256;
    reported.contentSize = lastSaved_.contentSize;
    reported.archiveEntry = lastSaved_.archiveEntry;
    reported.linkText = lastSaved_.linkText;
    reported.linkInPlainText = lastSaved_.linkInPlainText;
    // A file saved as it is was hashed once already: its content is the file.
    if (lastSaved_.archiveEntry.empty() && !lastSaved_.contentSha256.empty())
      reported.fileSha256 = lastSaved_.contentSha256;
    else
      attempt("read the saved file for the report", [&] { reported.fileSha256 = FileSha256(lastSaved_.path); });
  }
  runReport_.attachment(std::move(reported));
}

std::string KeptAttachment::describe() const {
  std::string out = PlaceText("", folder, message, attachment);
  if (!out.empty()) out += ": ";
  return out + "kept, " + reason;
}

void CompressionEngine::keptByFilter(ReportedAttachment reported, const std::string& reason) {
  // The run's account only counts it; the report names it with the reason.
  tally(&PstOutcome::attachmentsKeptByFilter);
  if (!runReport_.isOpen()) return;
  reported.treatment = attemptGet("read the selected treatment", [&] { return inputs_.SelectedTreatment(); });
  reported.outcome = AttachmentOutcome::KeptFilter;
  reported.reason = reason;
  runReport_.attachment(std::move(reported));
}

std::string CompressionEngine::freeSavePath(const std::string& path, bool forArchive) {
  std::string candidate = NextFreePath(path);
  if (!forArchive || !pathTaken(candidate + ".zip")) return candidate;
  // The loose file of an earlier attachment of that name is gone once it
  // is zipped, but its archive is not: hold each candidate whose archive
  // name is taken with an empty file until one is free on both counts.
  std::vector<std::string> held;
  std::optional<std::string> found;
  for (int tries = 0; tries < 10000 && !found; ++tries) {
    if (!pathTaken(candidate + ".zip")) {
      found = candidate;
      break;
    }
    std::error_code ec;
    base::fileSystem().createEmptyExclusive(base::pathFromUtf8(candidate), ec);
    if (ec) break;
    held.push_back(candidate);
    candidate = NextFreePath(path);
  }
  for (const auto& p : held) {
    std::error_code ec;
    base::fileSystem().remove(base::pathFromUtf8(p), ec);
  }
  if (!found) throw StoreError("no free file name for " + path);
  return *found;
}

bool CompressionEngine::appendLink(const std::shared_ptr<MailSession>& session,
                                   const std::shared_ptr<MailMessage>& msg, const std::string& target,
                                   const std::string& fileName) {
  // An Outlook version that cannot be read is passed on as unreadable; the
  // link rule then writes a plain-text link with escaped blanks.
  std::string version;
  attempt("OutlookVersion", [&] { version = session->OutlookVersion(); });
  const AttachmentLink link = MakeAttachmentLink(target, fileName, strGetOSVersion, version);
  lastSaved_.linkText = link.text;
  lastSaved_.linkInPlainText = link.plainText;
  if (link.plainText) return attempt("append the link to Body", [&] { msg->Body(msg->Body() + link.text); });
  return attempt("append the link to HTMLBody", [&] { msg->HTMLBody(msg->HTMLBody() + link.text); });
}

bool CompressionEngine::saveAndLink(const std::shared_ptr<MailSession>& session,
                                    const std::shared_ptr<MailMessage>& msg,
                                    const std::function<std::shared_ptr<MailAttachment>()>& attachment,
                                    const std::string& fileName, AttachmentTreatment treatment,
                                    const std::string& strAttachmentFolderName) {
  // A name of the file's own; an earlier file of that name, or its
  // archive, is never replaced.
  const bool zipTreatment = treatment == AttachmentTreatment::ExtractZip;
  std::string savedFilePath;
  std::string savedFileName;
  const bool named = attempt("name the attachment file", [&] {
    const std::string generated = AttachmentFileName(fileName, toTm(clock_.Now()));
    const std::string wanted = AttachmentFilePath(inputs_.DestinationFolder(), strAttachmentFolderName, generated);
    savedFilePath = freeSavePath(wanted, zipTreatment && !endsWith(wanted, ".zip"));
    savedFileName = base::utf8Of(base::pathFromUtf8(savedFilePath).filename());
  });
  if (!named) return false;
  attempt("show the activity", [&] {
    // The localized line names the attachment, the English one the
    // file it is saved as.
    const auto text = localizedText(kTextSaving);
    report_.SetLabel(Label::lblCopy, text ? *text + " " + fileName : kEnglishSaving + savedFileName);
  });
  lastSaved_ = SavedFile();
  if (zipTreatment && !endsWith(savedFilePath, ".zip")) {
    // Packed from the store into the archive without a loose file; when
    // that fails the attachment stays in its message and nothing is left.
    if (!ZipAttachments(savedFilePath, attachment)) return false;
    lastSaved_.path = savedFilePath + ".zip";
    lastSaved_.archiveEntry = savedFileName;
    return appendLink(session, msg, lastSaved_.path, fileName);
  }
  const bool saved = attempt("SaveAsFile", [&] { attachment()->SaveAsFile(savedFilePath); });
  std::error_code statusError;
  const base::EntryStatus written =
      saved ? base::fileSystem().status(base::pathFromUtf8(savedFilePath), statusError) : base::EntryStatus{};
  if (saved && written.type != base::EntryType::File) {
    fail("SaveAsFile", "no file was written to " + savedFilePath);
    return false;
  }
  if (!saved) {
    // What a failed save left behind is not the attachment; the
    // attachment itself stays in the message.
    tidy("delete the unfinished file", [&] { DeleteFileIfPresent(savedFilePath); });
    return false;
  }
  if (runReport_.isOpen()) {
    attempt("read the saved file for the report", [&] {
      lastSaved_.contentSha256 = FileSha256(savedFilePath, &lastSaved_.contentSize, &written);
    });
  }
  lastSaved_.path = savedFilePath;
  // Extract, or a saved file already named ".zip" (exactly), linked as it is.
  return appendLink(session, msg, savedFilePath, fileName);
}

CompressionEngine::MessageFilters CompressionEngine::readFilters(const std::shared_ptr<MailMessage>& msg) {
  // The filters are read once per message; a message the date filter
  // leaves alone keeps every attachment. Filters that cannot be read keep
  // everything, since they may have asked to.
  MessageFilters filters;
  filters.filter = attemptGet("read the selected filters", [&] { return inputs_.SelectedFilter(); });
  if (!filters.filter) {
    filters.keptReason = "the filters could not be read";
  } else if (filters.filter->before || filters.filter->keepInline) {
    filters.facts = attemptGet("read the message's dates and bodies", [&] { return msg->Facts(); });
    filters.keptReason = MessageKeptByFilter(*filters.filter, filters.facts);
  }
  return filters;
}

bool CompressionEngine::treatAttachment(const std::shared_ptr<MailSession>& session,
                                        const std::shared_ptr<MailMessage>& msg,
                                        const std::function<std::shared_ptr<MailAttachment>()>& attachment,
                                        const std::optional<std::string>& fileName,
                                        const std::optional<AttachmentTreatment>& treatment,
                                        const std::string& attachmentFolderName) {
  bool remove = false;
  if (treatment == AttachmentTreatment::Remove) {
    attempt("show the activity", [&] {
      const std::string name = fileName.value_or("");
      const auto text = localizedText(kTextRemoving);
      report_.SetLabel(Label::lblCopy, text ? *text + " " + name : kEnglishRemoving + name);
    });
    remove = true;
  } else if (treatment && fileName) {
    lastSaved_ = SavedFile();
    remove = saveAndLink(session, msg, attachment, *fileName, *treatment, attachmentFolderName);
  }
  return remove && attempt("Delete", [&] { attachment()->Delete(); });
}

void CompressionEngine::StripAttachments(const std::shared_ptr<MailSession>& session,
                                         const std::shared_ptr<MailMessage>& msg,
                                         const std::shared_ptr<AttachmentList>& msgAttachments,
                                         std::int32_t attachmentsInMessage, std::int64_t& attachmentCount,
                                         const std::string& strAttachmentFolderName) {
  if (attachmentsInMessage < 1) return;
  // A class that cannot be read might be S/MIME: nothing is taken out of
  // such a message either.
  const std::optional<std::string> messageClass = attemptGet("MessageClass", [&] { return msg->MessageClass(); });
  const bool keepEvery = !messageClass || isSmimeClass(*messageClass);
  const std::string keptReason = messageClass ? kKeptSmimeReason : "its message class could not be read";

  const MessageFilters filters = readFilters(msg);
  const std::optional<AttachmentFilter>& filter = filters.filter;

  // After every attachment, whatever became of it: the bar, the count, and
  // the host's pending events.
  auto showHandled = [&] {
    attempt("switch the progress bar on", [&] { report_.SetProgressBarEnabled(true); });
    ++attachmentCount;
    attempt("show the attachment count",
            [&] { report_.SetLabel(Label::lblAttachmentCount, std::to_string(attachmentCount)); });
    pump();
  };

  // From the last attachment to the first, so that a Delete never moves
  // an attachment not yet visited. The attachment is asked for anew at
  // every use.
  // A full destination ends the message's treatment; an interrupt lets the
  // message finish.
  for (std::int32_t i = attachmentsInMessage; i >= 1 && !destinationFull_; --i) {
    auto attachment = [&] { return msgAttachments->Item(i); };
    const std::optional<std::string> fileName = attemptGet("FileName", [&] { return attachment()->FileName(); });
    where_.attachment = fileName ? *fileName : "#" + std::to_string(i);
    // A run with filters reads every attachment's size; one without asks
    // the store nothing more than it always has.
    std::optional<AttachmentFacts> facts;
    if (filter && filter->any()) {
      facts = attemptGet("read the attachment's size", [&] { return attachment()->Facts(); });
      if (facts) tally(&PstOutcome::attachmentBytes, facts->size);
    }

    ReportedAttachment reported;
    reported.index = i;
    reported.name = where_.attachment;
    if (runReport_.isOpen())
      reported.properties =
          attemptGet("read the attachment's properties", [&] { return attachment()->Properties(); })
              .value_or(std::vector<StoredProperty>());
    const std::size_t failuresBefore = failures_.count();

    if (keepEvery) {
      tally(&PstOutcome::attachmentsKept);
      if (inPst_) current().kept.push_back({where_.folder, where_.message, where_.attachment, keptReason});
      reported.reason = keptReason;
      runReport_.attachment(std::move(reported));
      showHandled();
      continue;
    }
    if (!filter || filter->any()) {
      std::optional<std::string> reason = filters.keptReason;
      if (!reason) reason = AttachmentKeptByFilter(*filter, facts, filters.facts);
      if (reason) {
        keptByFilter(std::move(reported), *reason);
        showHandled();
        continue;
      }
    }

    // The treatment is read anew for every attachment. An attachment is
    // deleted only once its content is safe elsewhere (or is meant to go);
    // when anything before that fails it stays in the message.
    const std::optional<AttachmentTreatment> treatment =
        attemptGet("read the selected treatment", [&] { return inputs_.SelectedTreatment(); });
    const bool removed = treatAttachment(session, msg, attachment, fileName, treatment, strAttachmentFolderName);
    if (!removed) tally(&PstOutcome::attachmentsKept);
    else if (treatment == AttachmentTreatment::Remove) tally(&PstOutcome::attachmentsRemoved);
    else if (treatment == AttachmentTreatment::Extract) tally(&PstOutcome::attachmentsSaved);
    else tally(&PstOutcome::attachmentsZipped);
    reportAttachment(std::move(reported), treatment, removed, failuresBefore);

    showHandled();
  }
  where_.attachment.clear();
}

}  // namespace varnolt::engine
