#include <optional>
#include <string>

#include "engine/compression_run.h"
#include "engine/run_helpers.h"

namespace varnolt::engine {

namespace {

// Folders nested deeper than any store allows are not counted further.
constexpr int kDeepestFolder = 300;

}  // namespace

CompressionEngine::WalkScratch CompressionEngine::startWalk() {
  WalkScratch walk;
  walk.strAttachmentFolderName = strDestFolderName + "/" + kAttachmentFolderName;
  walk.scratchFolder = strDestFolderName + "/" + kScratchFolderName;
  attempt("switch the progress bar on", [&] { report_.SetProgressBarEnabled(true); });
  const std::optional<AttachmentTreatment> treatment =
      attemptGet("read the selected treatment", [&] { return inputs_.SelectedTreatment(); });
  if (!treatment || *treatment != AttachmentTreatment::Remove) {
    attempt("create the attachment folder",
            [&] { EnsureDestinationSubfolder(inputs_.DestinationFolder(), walk.strAttachmentFolderName); });
  }
  attempt("create the scratch folder",
          [&] { EnsureDestinationSubfolder(inputs_.DestinationFolder(), walk.scratchFolder); });
  return walk;
}

std::optional<std::int64_t> CompressionEngine::countMessagesBelow(const std::shared_ptr<MailFolder>& folder,
                                                                  int depth) {
  std::int64_t total = 0;
  if (!attempt("count the messages of a folder copied whole", [&] {
        total = folder->ItemList()->Count();
        if (depth >= kDeepestFolder) throw StoreError("folders nest deeper than " + std::to_string(kDeepestFolder));
      }))
    return std::nullopt;
  std::unique_ptr<Enumerator<MailFolder>> subfolders;
  if (!attempt("count the messages of a folder copied whole",
               [&] { subfolders = folder->Subfolders()->Enumerate(); }))
    return std::nullopt;
  while (true) {
    std::shared_ptr<MailFolder> sub;
    if (!attempt("count the messages of a folder copied whole", [&] { sub = subfolders->Next(); }))
      return std::nullopt;
    if (!sub) break;
    std::optional<std::int64_t> below = countMessagesBelow(sub, depth + 1);
    if (!below) return std::nullopt;
    total += *below;
  }
  return total;
}

void CompressionEngine::copyTopFolder(const std::shared_ptr<MailFolder>& source,
                                      const std::shared_ptr<MailSession>& session,
                                      const std::shared_ptr<MailFolder>& destination) {
  where_.folder = "/";
  attempt("copy the top folder's hidden items and properties", [&] { source->CopySettingsInto(destination); });
  // The scratch and attachment folders are made only when there is a
  // message to pass through them.
  const std::optional<std::int32_t> itemCount = attemptGet("ItemList", [&] { return source->ItemList()->Count(); });
  if (!itemCount || *itemCount > 0) {
    WalkScratch walk = startWalk();
    attempt("show the folder name",
            [&] { report_.SetLabel(Label::lblNameOfPSTFolder, destination->FolderName()); });
    copyMessages(source, session, destination, itemCount, pstAttachmentCounter, pstMessageSerial, walk);
  }
  where_.folder.clear();
  where_.message.clear();
}

void CompressionEngine::copyMessages(const std::shared_ptr<MailFolder>& sourceFolder,
                                     const std::shared_ptr<MailSession>& session,
                                     const std::shared_ptr<MailFolder>& newFolder,
                                     std::optional<std::int32_t> itemCount, std::int64_t& attachmentCount,
                                     std::int64_t& messageSerial, WalkScratch& walk) {
  folderMessageNumber = 0;
  std::unique_ptr<Enumerator<MailMessage>> items;
  if (!itemCount || *itemCount > 0) attempt("ItemList", [&] { items = sourceFolder->ItemList()->Enumerate(); });
  std::int64_t met = 0;
  forEachTolerated(
      items, "enumerate the items", [&] { return !stopAtNextMessage(); },
      [&](const std::shared_ptr<MailMessage>& sourceItem) {
        ++met;
        copyMessage(sourceItem, sourceFolder, session, newFolder, itemCount, attachmentCount, messageSerial, walk);
      });
  where_.message.clear();
  // A message the store counted but could not hand over is still one of
  // the source's.
  tally(&PstOutcome::messagesInSource, itemCount && *itemCount > met ? *itemCount : met);
}

void CompressionEngine::copyMessage(const std::shared_ptr<MailMessage>& sourceItem,
                                    const std::shared_ptr<MailFolder>& sourceFolder,
                                    const std::shared_ptr<MailSession>& session,
                                    const std::shared_ptr<MailFolder>& newFolder,
                                    std::optional<std::int32_t> itemCount, std::int64_t& attachmentCount,
                                    std::int64_t& messageSerial, const WalkScratch& walk) {
  ++messageSerial;
  tally(&PstOutcome::messages);
  std::shared_ptr<MailMessage> newItem;
  attempt("NewItem", [&] { newItem = newFolder->ItemList()->NewItem(); });
  ++folderMessageNumber;
  where_.message = std::to_string(folderMessageNumber);
  // The source is only read, so its count stays what it was when the
  // folder began; asking the store again would read the folder's
  // whole contents table once per message.
  attempt("show the message number", [&] {
    const std::int32_t count = itemCount ? *itemCount : sourceFolder->ItemList()->Count();
    report_.SetLabel(Label::lblNumOfMails,
                     "(" + std::to_string(folderMessageNumber) + "/" + std::to_string(count) + ")");
  });

  std::string path;
  bool saved = attempt("SaveToFile", [&] {
    path = inputs_.DestinationFolder() + walk.scratchFolder + "/" + std::to_string(messageSerial) + ".msg";
    sourceItem->SaveToFile(path);
  });
  std::shared_ptr<MailMessage> scratchMessage;
  std::optional<BodyState> bodiesAfter;  // set for a message the report lists
  if (saved) attempt("GetMessageFromMsgFile", [&] { scratchMessage = session->GetMessageFromMsgFile(path); });

  // The treatment changes the scratch file's message only.
  if (scratchMessage) {
    std::shared_ptr<AttachmentList> attachments;
    std::int32_t count = 0;
    attempt("AttachmentList", [&] {
      attachments = scratchMessage->AttachmentList();
      count = attachments->Count();
    });
    const bool reported = attachments && count > 0 && runReport_.isOpen();
    if (reported) beginReportedMessage(scratchMessage);
    if (attachments && count > 0)
      StripAttachments(session, scratchMessage, attachments, count, attachmentCount, walk.strAttachmentFolderName);
    if (reported) bodiesAfter = attemptGet("read the bodies for the report", [&] { return scratchMessage->Bodies(); });
    // Let go of the list first: an item nothing else looks into can hand
    // its message to the scratch file without a copy.
    attachments.reset();
    attempt("Commit (scratch file)", [&] { scratchMessage->Commit(); });
  }

  // The new item is kept even when its content could not be brought
  // in; the failure says so.
  bool committed = false;
  if (newItem) {
    const bool imported = saved && attempt("ImportFromFile", [&] { newItem->ImportFromFile(path, kImportMsgFile); });
    committed = attempt("Commit", [&] { newItem->Commit(); });
    if (committed && imported) tally(&PstOutcome::messagesCopied);
  }
  if (bodiesAfter) {
    std::string entryId;
    if (committed) attempt("read the new message's entry id", [&] { entryId = newItem->EntryId(); });
    attempt("write the report", [&] { runReport_.endMessage(entryId, *bodiesAfter); });
  }
  // The scratch file has served once the item is committed. Kept until
  // the PST is done, the scratch folder would grow to a second copy
  // of the whole PST.
  if (saved) attempt("delete the scratch file", [&] { DeleteFileIfPresent(path); });
  pump();
}

void CompressionEngine::beginReportedMessage(const std::shared_ptr<MailMessage>& message) {
  const MessageSummary facts = attemptGet("read the message for the report", [&] { return message->Summary(); })
                                 .value_or(MessageSummary());
  const BodyState before =
      attemptGet("read the bodies for the report", [&] { return message->Bodies(); }).value_or(BodyState());
  runReport_.beginMessage(where_.folder, folderMessageNumber, facts, before);
}

void CompressionEngine::CopyFolderTree(const std::shared_ptr<MailFolder>& source,
                                       const std::shared_ptr<MailSession>& session,
                                       const std::shared_ptr<MailFolder>& destination,
                                       std::int64_t& attachmentCount, std::int64_t& messageSerial) {
  WalkScratch walk = startWalk();

  // Every subfolder, depth first. A failure to fetch the next one is noted
  // where the walk stands: in the parent folder, at no message.
  std::unique_ptr<Enumerator<MailFolder>> folders;
  attempt("Subfolders", [&] { folders = source->Subfolders()->Enumerate(); });
  const std::string parentPath = where_.folder;
  where_.message.clear();
  forEachTolerated(
      folders, "enumerate the subfolders", [&] { return !stopAtNextMessage(); },
      [&](const std::shared_ptr<MailFolder>& sourceFolder) {
        copySubfolder(sourceFolder, parentPath, session, destination, attachmentCount, messageSerial, walk);
        where_.folder = parentPath;
        where_.message.clear();
      });
  where_.folder = parentPath;
  where_.message.clear();
}

void CompressionEngine::copySubfolder(const std::shared_ptr<MailFolder>& sourceFolder, const std::string& parentPath,
                                      const std::shared_ptr<MailSession>& session,
                                      const std::shared_ptr<MailFolder>& destination, std::int64_t& attachmentCount,
                                      std::int64_t& messageSerial, WalkScratch& walk) {
  const std::optional<std::string> name = attemptGet("FolderName", [&] { return sourceFolder->FolderName(); });
  where_.folder = parentPath + "/" + (name ? *name : std::string("?"));

  // Calendars, contacts and the like are copied whole, untreated. A
  // kind that cannot be read counts as not mail.
  const std::optional<std::int32_t> kind =
      attemptGet("DefaultItemKind", [&] { return sourceFolder->DefaultItemKind(); });
  if (!kind || *kind != kMailItemKind) {
    const std::optional<std::int64_t> inside = countMessagesBelow(sourceFolder);
    if (inside) tally(&PstOutcome::messagesInSource, *inside);
    if (attempt("CopyInto", [&] { sourceFolder->CopyInto(destination); })) {
      tally(&PstOutcome::foldersCopiedWhole);
      if (inside) tally(&PstOutcome::messagesCopiedWhole, *inside);
    }
    pump();
    return;
  }

  // Without its new folder nothing below the source folder can be copied.
  std::shared_ptr<MailFolder> newFolder;
  if (name) attempt("AddSubfolder", [&] { newFolder = destination->Subfolders()->AddSubfolder(*name); });
  if (newFolder) {
    attempt("show the folder name", [&] { report_.SetLabel(Label::lblNameOfPSTFolder, newFolder->FolderName()); });
    attempt("copy the folder's hidden items and properties", [&] { sourceFolder->CopySettingsInto(newFolder); });

    const std::optional<std::int32_t> itemCount =
        attemptGet("ItemList", [&] { return sourceFolder->ItemList()->Count(); });
    copyMessages(sourceFolder, session, newFolder, itemCount, attachmentCount, messageSerial, walk);

    // A count that cannot be read lets the walk try.
    std::int32_t subfolderCount = 1;
    attempt("Subfolders", [&] { subfolderCount = sourceFolder->Subfolders()->Count(); });
    if (subfolderCount != 0) CopyFolderTree(sourceFolder, session, newFolder, attachmentCount, messageSerial);
  } else if (const std::optional<std::int64_t> lost = countMessagesBelow(sourceFolder)) {
    // Its messages are the source's all the same; the failure says why
    // none of them came over.
    tally(&PstOutcome::messagesInSource, *lost);
  }
  pump();
}

}  // namespace varnolt::engine
