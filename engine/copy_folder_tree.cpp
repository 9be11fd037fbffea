#include <optional>
#include <string>

#include "engine/compression_run.h"
#include "engine/run_helpers.h"

namespace varnolt::engine {

namespace {

// A list whose enumerator keeps failing is given up after this many misses
// in a row, so a broken store cannot keep the walk turning forever.
constexpr int kMissesBeforeGivingUp = 64;

}  // namespace

void CompressionEngine::CopyFolderTree(const std::shared_ptr<MailFolder>& source,
                                       const std::shared_ptr<MailSession>& objSession,
                                       const std::shared_ptr<MailFolder>& destination,
                                       std::int64_t& cntAttachment, std::int64_t& messageSerial) {
  // 1. Kept for the attachment handler, and carried from one message to
  // the next as the handler leaves them.
  const std::string strAttachmentFolderName = strDestFolderName + "/" + kAttachmentFolderName;
  const std::string scratchFolder = strDestFolderName + "/" + kScratchFolderName;
  std::string strAttachmentFileName;
  std::string strDestFolderPath;
  std::string strURL;

  // 2-4
  attempt("switch the progress bar on", [&] { report_.SetProgressBarEnabled(true); });
  {
    std::optional<AttachmentTreatment> treatment;
    attempt("read the selected treatment", [&] { treatment = inputs_.SelectedTreatment(); });
    if (!treatment || *treatment != AttachmentTreatment::Remove) {
      attempt("create the attachment folder",
              [&] { EnsureDestinationSubfolder(inputs_.DestinationFolder(), strAttachmentFolderName); });
    }
  }
  attempt("create the scratch folder", [&] { EnsureDestinationSubfolder(inputs_.DestinationFolder(), scratchFolder); });

  // 5. Every subfolder, depth first.
  std::unique_ptr<Enumerator<MailFolder>> folders;
  attempt("Subfolders", [&] { folders = source->Subfolders()->Enumerate(); });
  const std::string parentPath = where_.folder;
  int folderMisses = 0;
  while (folders && folderMisses < kMissesBeforeGivingUp && !stopAtNextMessage()) {
    where_.folder = parentPath;
    where_.message.clear();
    std::shared_ptr<MailFolder> F;
    if (!attempt("enumerate the subfolders", [&] { F = folders->Next(); })) {
      ++folderMisses;
      continue;
    }
    if (!F) break;
    folderMisses = 0;

    std::optional<std::string> name;
    attempt("FolderName", [&] { name = F->FolderName(); });
    where_.folder = parentPath + "/" + (name ? *name : std::string("?"));

    // 5.1 Calendars, contacts and the like are copied whole, untreated. A
    // kind that cannot be read counts as not mail.
    std::optional<std::int32_t> kind;
    attempt("DefaultItemKind", [&] { kind = F->DefaultItemKind(); });
    if (!kind || *kind != kMailItemKind) {
      if (attempt("CopyInto", [&] { F->CopyInto(destination); })) tally(&PstOutcome::foldersCopiedWhole);
      pump();  // 5.7
      continue;
    }

    // 5.2 Without its destination folder nothing below F can be copied.
    std::shared_ptr<MailFolder> G;
    if (name) attempt("AddSubfolder", [&] { G = destination->Subfolders()->AddSubfolder(*name); });
    if (G) {
      // 5.3, 5.4
      attempt("show the folder name", [&] { report_.SetLabel(Label::lblNameOfPSTFolder, G->FolderName()); });
      folderMessageNumber = 0;

      // 5.5 Every item, through a scratch .msg file of its own.
      std::optional<std::int32_t> itemCount;
      attempt("ItemList", [&] { itemCount = F->ItemList()->Count(); });
      std::unique_ptr<Enumerator<MailMessage>> items;
      if (!itemCount || *itemCount > 0) attempt("ItemList", [&] { items = F->ItemList()->Enumerate(); });
      int itemMisses = 0;
      while (items && itemMisses < kMissesBeforeGivingUp && !stopAtNextMessage()) {
        std::shared_ptr<MailMessage> M;
        if (!attempt("enumerate the items", [&] { M = items->Next(); })) {
          ++itemMisses;
          continue;
        }
        if (!M) break;
        itemMisses = 0;

        // 5.5.1-5.5.4
        ++messageSerial;
        tally(&PstOutcome::messages);
        std::shared_ptr<MailMessage> E;
        attempt("NewItem", [&] { E = G->ItemList()->NewItem(); });
        ++folderMessageNumber;
        where_.message = std::to_string(folderMessageNumber);
        // The source is only read, so its count stays what it was when the
        // folder began; asking the store again would read the folder's
        // whole contents table once per message.
        attempt("show the message number", [&] {
          const std::int32_t count = itemCount ? *itemCount : F->ItemList()->Count();
          report_.SetLabel(Label::lblNumOfMails,
                           "(" + std::to_string(folderMessageNumber) + "/" + std::to_string(count) + ")");
        });

        // 5.5.5, 5.5.6
        std::string path;
        bool saved = attempt("SaveToFile", [&] {
          path = inputs_.DestinationFolder() + scratchFolder + "/" + std::to_string(messageSerial) + ".msg";
          M->SaveToFile(path);
        });
        std::shared_ptr<MailMessage> X;
        if (saved) attempt("GetMessageFromMsgFile", [&] { X = objSession->GetMessageFromMsgFile(path); });

        // 5.5.7-5.5.9 The treatment changes the scratch file's message only.
        if (X) {
          std::shared_ptr<AttachmentList> attachments;
          std::int32_t count = 0;
          attempt("AttachmentList", [&] {
            attachments = X->AttachmentList();
            count = attachments->Count();
          });
          if (attachments && count > 0) {
            StripAttachments(objSession, X, attachments, count, cntAttachment, strAttachmentFileName,
                             strAttachmentFolderName, strDestFolderPath, strURL);
          }
          attempt("Commit (scratch file)", [&] { X->Commit(); });
        }

        // 5.5.10, 5.5.11 The new item is kept even when its content could
        // not be brought in; the failure says so.
        if (E) {
          const bool imported = saved && attempt("ImportFromFile", [&] { E->ImportFromFile(path, kImportMsgFile); });
          if (attempt("Commit", [&] { E->Commit(); }) && imported) tally(&PstOutcome::messagesCopied);
        }
        // The scratch file has served once the item is committed. Kept until
        // the PST is done, the scratch folder would grow to a second copy
        // of the whole PST.
        if (saved) attempt("delete the scratch file", [&] { DeleteFileIfPresent(path); });
        pump();  // 5.5.12
      }
      where_.message.clear();

      // 5.6 A count that cannot be read lets the walk try.
      std::int32_t subfolderCount = 1;
      attempt("Subfolders", [&] { subfolderCount = F->Subfolders()->Count(); });
      if (subfolderCount != 0) CopyFolderTree(F, objSession, G, cntAttachment, messageSerial);
    }
    pump();  // 5.7
  }
  where_.folder = parentPath;
  where_.message.clear();
}

}  // namespace varnolt::engine
