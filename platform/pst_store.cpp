// Stores and folders of the mail session: a source PST read through
// pst::Store, a new PST written through pst::Writer.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <system_error>

#include "base/file_system.h"
#include "engine/run_helpers.h"
#include "mapi/tags.h"
#include "platform/store_adapter.h"

namespace varnolt::platform::detail {

namespace {

using engine::StoreError;

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// "IPF.Note" matches "IPF.Note" and "IPF.Note.Anything", whatever the case.
bool isClassOrSubclass(const std::string& cls, const std::string& base) {
  if (cls.size() < base.size() || !equalsIgnoringCase(cls.substr(0, base.size()), base)) return false;
  return cls.size() == base.size() || cls[base.size()] == '.';
}

std::int32_t count32(std::size_t n) { return n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<std::int32_t>(n); }

std::string nameIn(const mapi::PropertyBag& props) {
  return props.getString(mapi::propId(mapi::tag::DisplayName)).value_or("");
}

// Each member of a list as it stood when the pass began.
template <class T>
class SnapshotEnumerator : public engine::Enumerator<T> {
 public:
  explicit SnapshotEnumerator(std::vector<std::shared_ptr<T>> members) : members_(std::move(members)) {}
  std::shared_ptr<T> Next() override { return next_ < members_.size() ? members_[next_++] : nullptr; }

 private:
  std::vector<std::shared_ptr<T>> members_;
  std::size_t next_ = 0;
};

// The messages of a source folder as they stood when the pass began, read
// ahead while the walk copies them.
class SourceMessageEnumerator : public engine::Enumerator<engine::MailMessage> {
 public:
  SourceMessageEnumerator(std::shared_ptr<StoreState> state, std::vector<pst::NodeId> ids)
      : state_(std::move(state)), ids_(std::move(ids)) {
    if (!ids_.empty()) state_->readAhead(ids_);
  }
  std::shared_ptr<engine::MailMessage> Next() override {
    if (next_ >= ids_.size()) return nullptr;
    return std::make_shared<SourceMessage>(state_, ids_[next_++]);
  }

 private:
  std::shared_ptr<StoreState> state_;
  std::vector<pst::NodeId> ids_;
  std::size_t next_ = 0;
};

// Subfolders of a source folder. Search folders are left out: they hold
// only the results of a search over other folders.
class SourceFolderList : public engine::FolderList {
 public:
  SourceFolderList(std::shared_ptr<StoreState> state, pst::NodeId nid) : state_(std::move(state)), nid_(nid) {}

  std::int32_t Count() override {
    return guarded("Subfolders.Count", [&] { return count32(ids().size()); });
  }
  std::unique_ptr<engine::Enumerator<engine::MailFolder>> Enumerate() override {
    return guarded("Subfolders", [&] {
      std::vector<std::shared_ptr<engine::MailFolder>> folders;
      for (pst::NodeId id : ids()) folders.push_back(std::make_shared<SourceFolder>(state_, id));
      return std::make_unique<SnapshotEnumerator<engine::MailFolder>>(std::move(folders));
    });
  }
  std::shared_ptr<engine::MailFolder> AddSubfolder(const std::string&) override {
    return guarded("AddSubfolder", [&]() -> std::shared_ptr<engine::MailFolder> {
      state_->writer();  // throws: a source is read-only
      return nullptr;
    });
  }

 private:
  std::vector<pst::NodeId> ids() const {
    std::vector<pst::NodeId> out;
    for (pst::NodeId id : state_->source().folder(nid_).subfolderIds())
      if (pst::nidType(id) != pst::nid_type::SearchFolder) out.push_back(id);
    return out;
  }
  std::shared_ptr<StoreState> state_;
  pst::NodeId nid_;
};

class SourceItemList : public engine::ItemList {
 public:
  SourceItemList(std::shared_ptr<StoreState> state, pst::NodeId nid) : state_(std::move(state)), nid_(nid) {}

  std::int32_t Count() override {
    return guarded("ItemList.Count", [&] { return count32(state_->source().folder(nid_).messageIds().size()); });
  }
  std::unique_ptr<engine::Enumerator<engine::MailMessage>> Enumerate() override {
    return guarded("ItemList", [&] {
      return std::make_unique<SourceMessageEnumerator>(state_, state_->source().folder(nid_).messageIds());
    });
  }
  std::shared_ptr<engine::MailMessage> NewItem() override {
    return guarded("NewItem", [&]() -> std::shared_ptr<engine::MailMessage> {
      state_->writer();  // throws: a source is read-only
      return nullptr;
    });
  }

 private:
  std::shared_ptr<StoreState> state_;
  pst::NodeId nid_;
};

// Subfolders of a folder being written, without the ones kept out of sight.
class DestinationFolderList : public engine::FolderList {
 public:
  DestinationFolderList(std::shared_ptr<StoreState> state, pst::NodeId id) : state_(std::move(state)), id_(id) {}

  std::int32_t Count() override {
    return guarded("Subfolders.Count", [&] { return count32(visible().size()); });
  }
  std::unique_ptr<engine::Enumerator<engine::MailFolder>> Enumerate() override {
    return guarded("Subfolders", [&] {
      std::vector<std::shared_ptr<engine::MailFolder>> folders;
      for (pst::NodeId id : visible()) folders.push_back(std::make_shared<DestinationFolder>(state_, id));
      return std::make_unique<SnapshotEnumerator<engine::MailFolder>>(std::move(folders));
    });
  }

  // A folder of the type of its parent (mail under the top of the store).
  // A folder the file must keep that was removed earlier comes back under
  // the same name, with the role it has in the store.
  std::shared_ptr<engine::MailFolder> AddSubfolder(const std::string& name) override {
    return guarded("AddSubfolder \"" + name + "\"", [&]() -> std::shared_ptr<engine::MailFolder> {
      if (name.empty()) throw StoreError("AddSubfolder: a folder needs a name");
      pst::Writer& w = state_->writer();
      for (pst::NodeId child : w.subfolders(id_)) {
        if (state_->hidden.count(child) != 0 && nameIn(w.folderProperties(child)) == name) {
          state_->hidden.erase(child);
          return std::make_shared<DestinationFolder>(state_, child);
        }
      }
      std::string cls = "IPF.Note";
      if (id_ != w.ipmSubtree() && id_ != w.rootFolder()) {
        if (auto parentClass = w.folderProperties(id_).getString(mapi::propId(mapi::tag::ContainerClass));
            parentClass && !parentClass->empty())
          cls = *parentClass;
      }
      return std::make_shared<DestinationFolder>(state_, w.createFolder(id_, name, cls));
    });
  }

 private:
  std::vector<pst::NodeId> visible() {
    std::vector<pst::NodeId> out;
    for (pst::NodeId id : state_->writer().subfolders(id_))
      if (state_->hidden.count(id) == 0) out.push_back(id);
    return out;
  }
  std::shared_ptr<StoreState> state_;
  pst::NodeId id_;
};

class DestinationItemList : public engine::ItemList {
 public:
  DestinationItemList(std::shared_ptr<StoreState> state, pst::NodeId id) : state_(std::move(state)), id_(id) {}

  std::int32_t Count() override {
    return guarded("ItemList.Count", [&] { return count32(state_->writer().messageCount(id_)); });
  }
  // The writer keeps what it wrote on disk only; it does not read it back.
  std::unique_ptr<engine::Enumerator<engine::MailMessage>> Enumerate() override {
    throw StoreError("ItemList: the messages of a PST being written cannot be read back before it is closed");
  }
  std::shared_ptr<engine::MailMessage> NewItem() override {
    return guarded("NewItem", [&] {
      state_->writer().messageCount(id_);  // the folder must still be there
      return std::make_shared<NewMessage>(state_, id_);
    });
  }

 private:
  std::shared_ptr<StoreState> state_;
  pst::NodeId id_;
};

// The folder of a PST being written that a copy from a source goes into.
DestinationFolder& copyTarget(const std::shared_ptr<engine::MailFolder>& destination, const std::string& operation) {
  auto* target = dynamic_cast<DestinationFolder*>(destination.get());
  if (target != nullptr) return *target;
  if (dynamic_cast<SourceFolder*>(destination.get()) != nullptr)
    throw StoreError(operation + ": the source store is read-only");
  throw StoreError(operation + ": the destination is not a folder of a PST being written");
}

// Properties a new folder keeps as its store makes them: its name, its
// counts and subfolder flag, its size, and the ids that name it, its
// parent and its store.
bool ownFolderProperty(std::uint16_t id) {
  switch (id) {
    case 0x3001:  // display name
    case 0x3602:  // content count
    case 0x3603:  // unread count
    case 0x360A:  // has subfolders
    case 0x3617:  // associated content count
    case 0x6638:  // child folder count
    case 0x0E08:  // size
    case 0x0E09:  // parent entry id
    case 0x0FF6:  // instance key
    case 0x0FF9:  // record key
    case 0x0FFA:  // store record key
    case 0x0FFB:  // store entry id
    case 0x0FFF:  // entry id
    case 0x36E4:  // free/busy entry ids
      return true;
    case 0x36DA:  // extended folder flags: the folder's own, not an id
      return false;
    default:
      return id >= 0x36D0 && id <= 0x36DF;  // entry ids of the special folders
  }
}

// A PST entry id of an object of the store whose record key this is: four
// bytes of flags, the store's 16-byte key, the node id.
bool namesObjectOf(const mapi::Bytes& value, const mapi::Bytes& storeKey) {
  return value.size() >= 24 && storeKey.size() == 16 &&
         std::equal(storeKey.begin(), storeKey.end(), value.begin() + 4);
}

bool equalsName(const std::string& name, const char* wanted) { return equalsIgnoringCase(name, wanted); }

}  // namespace

std::optional<pst::NodeId> TopOfPersonalFolders(const pst::Store& store) {
  // A store whose entry id names a folder it does not hold falls back on
  // the layout, as one without the entry id does.
  try {
    if (std::optional<pst::Folder> top = store.ipmSubtree()) return top->id();
  } catch (const std::exception&) {
  }
  auto childNamed = [&](const pst::Folder& parent, const char* name) -> std::optional<pst::NodeId> {
    for (pst::NodeId id : parent.subfolderIds()) {
      if (pst::nidType(id) == pst::nid_type::SearchFolder) continue;
      if (equalsName(store.folder(id).displayName(), name)) return id;
    }
    return std::nullopt;
  };
  const pst::Folder root = store.rootFolder();
  if (auto top = childNamed(root, "IPM_SUBTREE")) return top;
  if (auto mailbox = childNamed(root, "Root - Mailbox")) return childNamed(store.folder(*mailbox), "IPM_SUBTREE");
  return std::nullopt;
}

mapi::PropertyBag FolderSettings(const mapi::PropertyBag& folderProperties, const mapi::Bytes* sourceStoreKey) {
  mapi::PropertyBag out;
  for (const auto& [t, v] : folderProperties.all()) {
    if (ownFolderProperty(mapi::propId(t))) continue;
    if (sourceStoreKey != nullptr) {
      const mapi::PropType type = mapi::propType(t);
      if (type == mapi::pt::Binary && namesObjectOf(v.data, *sourceStoreKey)) continue;
      if (type == (mapi::pt::Binary | mapi::pt::MultiValued) &&
          std::any_of(v.values.begin(), v.values.end(),
                      [&](const mapi::Bytes& e) { return namesObjectOf(e, *sourceStoreKey); }))
        continue;
    }
    out.set(t, v);
    if (const mapi::NamedProperty* name = folderProperties.nameOf(mapi::propId(t)))
      out.setName(mapi::propId(t), *name);
  }
  return out;
}

std::string hexId(pst::NodeId nid) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", nid);
  return text;
}

std::int32_t ItemKindOfClass(const std::optional<std::string>& containerClass) {
  if (!containerClass || containerClass->empty()) return engine::kMailItemKind;
  const std::string& c = *containerClass;
  if (isClassOrSubclass(c, "IPF.Note") || isClassOrSubclass(c, "IPF.Imap")) return engine::kMailItemKind;
  if (isClassOrSubclass(c, "IPF.Appointment")) return kAppointmentItemKind;
  if (isClassOrSubclass(c, "IPF.Contact")) return kContactItemKind;
  if (isClassOrSubclass(c, "IPF.Task")) return kTaskItemKind;
  if (isClassOrSubclass(c, "IPF.Journal")) return kJournalItemKind;
  if (isClassOrSubclass(c, "IPF.StickyNote")) return kNoteItemKind;
  return kPostItemKind;
}

// ---- StoreState

std::shared_ptr<StoreState> StoreState::openSource(const std::filesystem::path& path) {
  std::error_code ec;
  if (base::fileSystem().status(path, ec).type == base::EntryType::Folder) throw StoreError(path.string() + " is a folder, not a PST file");
  std::shared_ptr<StoreState> state(new StoreState(path, true));
  // Large attachments stay in the source until they are written (to a
  // saved file, an archive or the new PST), so a message with one of any
  // size passes through in little memory. In a run that removes them,
  // every attachment's data stays there.
  pst::OpenOptions options;
  options.deferAttachmentDataFrom = engine::AttachmentDataReadOnlyAsWritten() ? 0 : kDeferAttachmentDataFrom;
  state->source_ = guarded(path.string() + " cannot be opened", [&] { return pst::Store::open(path, options); });
  state->sourceOptions_ = options;
  return state;
}

std::shared_ptr<StoreState> StoreState::create(const std::filesystem::path& path, const std::string& displayName) {
  std::shared_ptr<StoreState> state(new StoreState(path, false));
  state->writer_ = guarded("the PST file " + path.string() + " cannot be created",
                           [&] { return pst::Writer::create(path, displayName); });
  return state;
}

StoreState::~StoreState() {
  // A destructor cannot report; the engine closes its stores itself and
  // hears of failures there. This is the last chance for a store that was
  // only let go.
  try {
    close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "varnolt: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "varnolt: the PST file %s could not be finished\n", path_.string().c_str());
  }
}

void StoreState::throwClosed() const { throw StoreError("the store " + path_.string() + " is closed"); }

const pst::Store& StoreState::source() const {
  if (!isSource_) throw StoreError("the store " + path_.string() + " is being written and cannot be read yet");
  if (!source_) throwClosed();
  return *source_;
}

pst::Writer& StoreState::writer() {
  if (isSource_) throw StoreError("the source store is read-only: " + path_.string());
  if (!writer_) throwClosed();
  return *writer_;
}

void StoreState::readAhead(std::vector<pst::NodeId> ids) {
  if (!source_) return;
  if (!readAhead_) readAhead_ = std::make_unique<MessageReadAhead>(path_, sourceOptions_);
  readAhead_->follow(std::move(ids));
}

std::optional<mapi::Message> StoreState::takeReadAhead(pst::NodeId nid, std::size_t* heldBytes,
                                                      std::optional<mapi::Message>* copy) {
  if (!source_ || !readAhead_) return std::nullopt;
  std::optional<mapi::Message> message = readAhead_->take(nid, heldBytes, copy);
  if (message) source_->adoptDeferredData(*message);
  if (message && copy && *copy) source_->adoptDeferredData(**copy);
  return message;
}

void StoreState::close() {
  readAhead_.reset();
  source_.reset();
  if (!writer_) return;
  // Whatever close() does, the store is finished with: a file that could
  // not be completed has been discarded by the writer.
  std::unique_ptr<pst::Writer> w = std::move(writer_);
  guarded("the PST file " + path_.string() + " could not be finished", [&] {
    if (!w->closed()) w->close();
  });
}

void StoreState::discard() {
  readAhead_.reset();
  source_.reset();
  // A writer let go without close() removes its unfinished file.
  writer_.reset();
}

// ---- PstMailStore

std::shared_ptr<engine::MailFolder> PstMailStore::TopFolder() {
  return guarded("TopFolder of " + state_->path().string(), [&]() -> std::shared_ptr<engine::MailFolder> {
    if (state_->isSource()) {
      std::optional<pst::NodeId> top = TopOfPersonalFolders(state_->source());
      if (!top) throw StoreError("the store " + state_->path().string() + " has no top of personal folders");
      return std::make_shared<SourceFolder>(state_, *top);
    }
    return std::make_shared<DestinationFolder>(state_, state_->writer().ipmSubtree());
  });
}

void PstMailStore::KeepSettingsOf(const std::shared_ptr<engine::MailStore>& source) {
  guarded("KeepSettingsOf for " + state_->path().string(), [&] {
    auto* from = dynamic_cast<PstMailStore*>(source.get());
    if (from == nullptr || !from->state()->isSource())
      throw StoreError("KeepSettingsOf: the source is not a PST opened for reading");
    state_->writer().keepSettingsOf(from->state()->source());
  });
}

void PstMailStore::Close() { state_->close(); }

void PstMailStore::Discard() { state_->discard(); }

// ---- SourceFolder

std::string SourceFolder::describe() const { return "folder " + hexId(nid_) + " of " + state_->path().string(); }

std::string SourceFolder::FolderName() {
  return guarded("FolderName of " + describe(), [&] { return state_->source().folder(nid_).displayName(); });
}

std::shared_ptr<engine::FolderList> SourceFolder::Subfolders() {
  return guarded("Subfolders of " + describe(), [&] {
    state_->source();  // a closed store fails here, not later
    return std::make_shared<SourceFolderList>(state_, nid_);
  });
}

std::shared_ptr<engine::ItemList> SourceFolder::ItemList() {
  return guarded("ItemList of " + describe(), [&] {
    state_->source();
    return std::make_shared<SourceItemList>(state_, nid_);
  });
}

std::int32_t SourceFolder::DefaultItemKind() {
  return guarded("DefaultItemKind of " + describe(),
                 [&] { return ItemKindOfClass(state_->source().folder(nid_).containerClass()); });
}

void SourceFolder::RemoveFolder() {
  guarded("RemoveFolder", [&] { state_->writer(); });  // throws: a source is read-only
}

// The folder whole, with its messages, associated contents and subfolders;
// the writer gives named properties the new file's ids. What cannot be
// read is left out and named in the error, and everything else stays
// copied: the source still holds it all.
void SourceFolder::CopyInto(const std::shared_ptr<engine::MailFolder>& destination) {
  guarded("CopyInto from " + describe(), [&] {
    DestinationFolder& target = copyTarget(destination, "CopyInto");
    const pst::Store& source = state_->source();
    pst::Writer& writer = target.state()->writer();
    pst::CopyReport report;
    writer.copyFolderFrom(source, nid_, target.id(), &report);
    if (!report.problems.empty()) {
      std::string reason = "CopyInto: " + std::to_string(report.problems.size()) + " part(s) of \"" +
                           source.folder(nid_).displayName() + "\" could not be read and were left out: ";
      for (std::size_t i = 0; i < report.problems.size() && i < 5; ++i) reason += (i ? "; " : "") + report.problems[i];
      throw StoreError(reason);
    }
  });
}

// The hidden items go over as they are, named properties given the new
// file's ids by the writer. One that cannot be read is named in the error;
// the others stay copied.
void SourceFolder::CopySettingsInto(const std::shared_ptr<engine::MailFolder>& destination) {
  guarded("CopySettingsInto from " + describe(), [&] {
    DestinationFolder& target = copyTarget(destination, "CopySettingsInto");
    const pst::Store& source = state_->source();
    pst::Writer& writer = target.state()->writer();
    const pst::Folder folder = source.folder(nid_);
    const mapi::PropertyBag storeProps = source.storeProperties();
    writer.setFolderProperties(target.id(), FolderSettings(folder.properties(), storeProps.getBinary(mapi::tag::RecordKey)));

    std::vector<std::string> problems;
    for (pst::NodeId id : folder.associatedMessageIds()) {
      std::vector<std::string> parts;
      try {
        writer.addMessage(target.id(), source.readMessage(id, &parts), true);
      } catch (const std::exception& e) {
        problems.push_back("hidden item " + hexId(id) + ": " + e.what());
      }
      for (const auto& p : parts) problems.push_back("hidden item " + hexId(id) + ": " + p);
    }
    if (!problems.empty()) {
      std::string reason = "CopySettingsInto: " + std::to_string(problems.size()) + " part(s) of the hidden items of \"" +
                           folder.displayName() + "\" could not be read: ";
      for (std::size_t i = 0; i < problems.size() && i < 5; ++i) reason += (i ? "; " : "") + problems[i];
      throw StoreError(reason);
    }
  });
}

// ---- DestinationFolder

std::string DestinationFolder::describe() { return "folder " + hexId(id_) + " of " + state_->path().string(); }

std::string DestinationFolder::FolderName() {
  return guarded("FolderName of " + describe(), [&] { return nameIn(state_->writer().folderProperties(id_)); });
}

std::shared_ptr<engine::FolderList> DestinationFolder::Subfolders() {
  return guarded("Subfolders of " + describe(), [&] {
    state_->writer().subfolders(id_);  // the folder must still be there
    return std::make_shared<DestinationFolderList>(state_, id_);
  });
}

std::shared_ptr<engine::ItemList> DestinationFolder::ItemList() {
  return guarded("ItemList of " + describe(), [&] {
    state_->writer().messageCount(id_);
    return std::make_shared<DestinationItemList>(state_, id_);
  });
}

std::int32_t DestinationFolder::DefaultItemKind() {
  return guarded("DefaultItemKind of " + describe(), [&] {
    return ItemKindOfClass(state_->writer().folderProperties(id_).getString(mapi::propId(mapi::tag::ContainerClass)));
  });
}

// Deleted Items belongs to every file and the writer keeps it: removing it
// empties it and takes it out of sight instead, so the store never points
// at a folder that is gone, and AddSubfolder of its name brings it back.
void DestinationFolder::RemoveFolder() {
  guarded("RemoveFolder " + describe(), [&] {
    pst::Writer& w = state_->writer();
    if (id_ == w.deletedItems()) {
      if (w.messageCount(id_) != 0 || w.messageCount(id_, true) != 0)
        throw StoreError("RemoveFolder: \"" + nameIn(w.folderProperties(id_)) +
                         "\" belongs to every PST file and still holds messages, which cannot be taken out of it");
      for (pst::NodeId child : w.subfolders(id_)) w.removeFolder(child);
      state_->hidden.insert(id_);
      return;
    }
    w.removeFolder(id_);  // refuses the other folders every file has
  });
}

void DestinationFolder::CopyInto(const std::shared_ptr<engine::MailFolder>&) {
  throw StoreError("CopyInto: a folder of a PST being written cannot be read back before the file is closed");
}

void DestinationFolder::CopySettingsInto(const std::shared_ptr<engine::MailFolder>&) {
  throw StoreError("CopySettingsInto: a folder of a PST being written cannot be read back before the file is closed");
}

}  // namespace varnolt::platform::detail
