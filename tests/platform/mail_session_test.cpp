// The mail session's contract, operation by operation, over PST files the
// writer makes here and over the sample files: what each operation does,
// and that each failure reaches the caller as a StoreError with a reason
// while the object stays as it was.

#include "platform/mail_session.h"

#include <chrono>
#include <thread>

#include <gmock/gmock.h>

#include "engine/naming.h"
#include "engine/run_report.h"
#include "mapi/body/body.h"
#include "mapi/msg/msg_file.h"
#include "mapi/rtf/compressed_rtf.h"
#include "mapi/tags.h"
#include "mapi/util/digest_ahead.h"
#include "mapi/util/sha256.h"
#include "platform/report_facts.h"
#include "platform/store_adapter.h"
#include "tests/support/ost_fixture.h"
#include "tests/support/test_support.h"
#include "zip/deflate_ahead.h"

namespace e = varnolt::engine;
namespace m = varnolt::mapi;
namespace pst = varnolt::mapi::pst;
namespace t = varnolt::test;
using ::testing::HasSubstr;
using varnolt::platform::NewMailSession;

namespace {

// The StoreError an operation throws, so a test can look at its reason.
template <class F>
std::string storeError(F&& f) {
  try {
    f();
  } catch (const e::StoreError& err) {
    EXPECT_STRNE(err.what(), "");
    return err.what();
  } catch (const std::exception& other) {
    ADD_FAILURE() << "not a StoreError: " << other.what();
    return "";
  }
  ADD_FAILURE() << "no error";
  return "";
}

m::Attachment attachment(const std::string& longName, const std::string& shortName, const std::string& display) {
  m::Attachment a;
  a.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachByValue));
  if (!longName.empty()) a.props.set(m::tag::AttachLongFilename, m::PropValue::unicode(longName));
  if (!shortName.empty()) a.props.set(m::tag::AttachFilename, m::PropValue::unicode(shortName));
  if (!display.empty()) a.props.set(m::tag::DisplayName, m::PropValue::unicode(display));
  return a;
}

m::Message mail(const std::string& subject, const std::string& body) {
  m::Message msg;
  msg.props.set(m::tag::MessageClass, m::PropValue::unicode("IPM.Note"));
  msg.props.set(m::tag::Subject, m::PropValue::unicode(subject));
  msg.props.set(m::tag::Body, m::PropValue::unicode(body));
  msg.props.setNamed(m::NamedProperty::byName(m::psetid::PublicStrings, "Keywords"), m::pt::Unicode,
                     m::PropValue::unicode("kept"));
  m::PropertyBag to;
  to.set(m::tag::DisplayName, m::PropValue::unicode("Ann Example"));
  to.set(m::tag::EmailAddress, m::PropValue::unicode("ann@example.org"));
  to.set(m::tag::RecipientType, m::PropValue::int32(1));
  msg.recipients.push_back(to);
  return msg;
}

// A message with one attachment of each kind: by value (long name), by
// value with only a short name, an embedded message without a name, an OLE
// object, and a link to a file elsewhere.
m::Message messageWithEveryAttachment() {
  m::Message msg = mail("Every kind", "Five attachments.");
  m::Attachment byValue = attachment("Q3 report.pdf", "Q3REPO~1.PDF", "Q3 report");
  byValue.props.set(m::tag::AttachDataBinary, m::PropValue::binary({'%', 'P', 'D', 'F', 0, 1, 2}));
  msg.attachments.push_back(byValue);
  m::Attachment shortOnly = attachment("", "NOTES.TXT", "notes");
  shortOnly.props.set(m::tag::AttachDataBinary, m::PropValue::binary({'h', 'i'}));
  msg.attachments.push_back(shortOnly);
  m::Attachment embedded = attachment("", "", "");
  embedded.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachEmbeddedMessage));
  embedded.embedded = std::make_unique<m::Message>(mail("Inner news", "inside"));
  msg.attachments.push_back(embedded);
  m::Attachment ole = attachment("", "", "Picture");
  ole.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachOle));
  ole.props.set(m::tag::AttachDataObject,
                m::PropValue{m::pt::Object, m::msg::writeMessage(mail("ole", "storage")), {}});
  msg.attachments.push_back(ole);
  m::Attachment link = attachment("plan.xlsx", "", "");
  link.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachByReference));
  link.props.set(m::tag::AttachLongPathname, m::PropValue::unicode("\\\\server\\share\\plan.xlsx"));
  msg.attachments.push_back(link);
  return msg;
}

// A source PST: Inbox (mail) with two messages and a subfolder, Calendar
// with an appointment and an associated message.
t::fs::path makeSource(const t::TempDir& dir) {
  const t::fs::path path = dir / "source.pst";
  pst::WriterOptions options;
  options.seed = 7;
  auto w = pst::Writer::create(path, "Source", options);
  auto inbox = w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note");
  w->addMessage(inbox, messageWithEveryAttachment());
  w->addMessage(inbox, mail("Plain one", "Just text."));
  w->createFolder(inbox, "Old", "IPF.Note");
  auto calendar = w->createFolder(w->ipmSubtree(), "Calendar", "IPF.Appointment");
  m::Message meeting = mail("Weekly meeting", "Agenda");
  meeting.props.set(m::tag::MessageClass, m::PropValue::unicode("IPM.Appointment"));
  w->addMessage(calendar, meeting);
  m::Message view;
  view.props.set(m::tag::MessageClass, m::PropValue::unicode("IPM.Microsoft.FolderDesign.NamedView"));
  w->addMessage(calendar, view, true);
  w->close();
  return path;
}

template <class T>
std::vector<std::shared_ptr<T>> all(std::unique_ptr<e::Enumerator<T>> each) {
  std::vector<std::shared_ptr<T>> out;
  while (auto x = each->Next()) out.push_back(x);
  return out;
}

std::shared_ptr<e::MailFolder> subfolder(const std::shared_ptr<e::MailFolder>& parent, const std::string& name) {
  for (auto& f : all(parent->Subfolders()->Enumerate()))
    if (f->FolderName() == name) return f;
  return nullptr;
}

std::vector<std::string> names(const std::shared_ptr<e::MailFolder>& parent) {
  std::vector<std::string> out;
  for (auto& f : all(parent->Subfolders()->Enumerate())) out.push_back(f->FolderName());
  return out;
}

struct Fixture {
  t::TempDir dir;
  t::fs::path sourcePath = makeSource(dir);
  std::shared_ptr<e::MailSession> session = NewMailSession();
  std::shared_ptr<e::MailStore> source =
      session->StoreList()->AttachPstFile(sourcePath.string(), e::kFormatUnicodePst, std::nullopt);
  std::shared_ptr<e::MailFolder> inbox = subfolder(source->TopFolder(), "Inbox");

  std::shared_ptr<e::MailMessage> inboxMessage(std::size_t i) { return all(inbox->ItemList()->Enumerate()).at(i); }
  // The first message of the Inbox as a message of a .msg file.
  std::shared_ptr<e::MailMessage> msgFileMessage(const std::string& name = "1.msg") {
    inboxMessage(0)->SaveToFile((dir / name).string());
    return session->GetMessageFromMsgFile((dir / name).string());
  }
  // The walk's scratch folder, made.
  t::fs::path scratchFolder() {
    t::fs::create_directories(dir / "MSG Folder");
    return dir / "MSG Folder";
  }
  std::shared_ptr<e::MailStore> newStore(const std::string& name = "new.pst") {
    return session->StoreList()->AttachPstFile((dir / name).string(), e::kFormatUnicodePst, std::string("New"));
  }
};

// ---- session and stores

TEST(MailSession, LogsOnSilentlyAndReportsAVersionThatGetsHtmlLinks) {
  auto session = NewMailSession();
  EXPECT_NO_THROW(session->LogOnDefault());
  const std::string version = session->OutlookVersion();
  EXPECT_GE(e::OutlookMajorVersion(version).value_or(0), 11);
  EXPECT_FALSE(e::UsePlainTextLink("debian gnu/linux 12 (bookworm)", version));
}

TEST(AttachPstFile, CreatesAMissingFileAndFinishesItOnCloseOrRelease) {
  t::TempDir dir;
  auto session = NewMailSession();
  auto stores = session->StoreList();
  auto closed = stores->AttachPstFile((dir / "closed.pst").string(), e::kFormatUnicodePst, std::string("Kept PST"));
  EXPECT_FALSE(t::fs::exists(dir / "closed.pst")) << "a file that is not finished must not look whole";
  EXPECT_EQ(stores->Count(), 1);
  closed->Close();
  ASSERT_TRUE(t::fs::exists(dir / "closed.pst"));
  EXPECT_EQ(pst::Store::open(dir / "closed.pst")->storeProperties().getString(0x3001), "Kept PST");
  EXPECT_THAT(storeError([&] { closed->TopFolder(); }), HasSubstr("closed"));

  {
    auto released = stores->AttachPstFile((dir / "released.pst").string(), e::kFormatUnicodePst, std::nullopt);
    released->TopFolder()->Subfolders()->AddSubfolder("Inbox");
  }
  ASSERT_TRUE(t::fs::exists(dir / "released.pst"));
  auto reread = pst::Store::open(dir / "released.pst");
  EXPECT_EQ(reread->storeProperties().getString(0x3001), "released");
  EXPECT_EQ(stores->Count(), 1) << "a released store leaves the list";
}

TEST(AttachPstFile, OpensAnExistingFileOnceAndNeverWritesIt) {
  Fixture f;
  const std::string before = t::fileSha256(f.sourcePath);
  auto again = f.session->StoreList()->AttachPstFile(f.sourcePath.string(), e::kFormatUnicodePst, std::string("x"));
  EXPECT_EQ(again, f.source);
  auto top = f.source->TopFolder();
  auto item = f.inboxMessage(1);
  for (const std::string& reason : {
           storeError([&] { f.inbox->RemoveFolder(); }),
           storeError([&] { top->Subfolders()->AddSubfolder("New"); }),
           storeError([&] { f.inbox->ItemList()->NewItem(); }),
           storeError([&] { item->Commit(); }),
           storeError([&] { subfolder(top, "Calendar")->CopyInto(f.inbox); }),
           storeError([&] { f.source->KeepSettingsOf(f.source); }),
       })
    EXPECT_THAT(reason, HasSubstr("the source store is read-only"));
  // Changes in memory are fine; they never reach the file. A message
  // saved to a .msg file is read again when needed, and keeps changes made
  // before.
  auto fresh = f.inboxMessage(1);
  fresh->SaveToFile((f.dir / "fresh.msg").string());
  EXPECT_EQ(fresh->Body(), "Just text.");
  item->Body("changed");
  item->SaveToFile((f.dir / "changed.msg").string());
  EXPECT_EQ(item->Body(), "changed");
  EXPECT_EQ(m::body::plainBody(m::msg::readMessageFile(f.dir / "changed.msg").props), "changed");
  EXPECT_EQ(all(f.inbox->ItemList()->Enumerate()).at(1)->Body(), "Just text.");
  f.source->Close();
  EXPECT_EQ(t::fileSha256(f.sourcePath), before);
}

TEST(AttachPstFile, RefusesWhatIsNotAPst) {
  t::TempDir dir;
  auto stores = NewMailSession()->StoreList();
  std::vector<t::fs::path> bad;
  if (!t::samplesDir().empty()) bad = t::sampleFiles("bad", ".pst");
  t::writeFile(dir / "text.pst", std::string("This is not a personal folders file at all.\n"));
  bad.push_back(dir / "text.pst");
  for (const auto& file : bad) {
    SCOPED_TRACE(file.string());
    EXPECT_THAT(storeError([&] { stores->AttachPstFile(file.string(), e::kFormatUnicodePst, std::nullopt); }),
                HasSubstr(file.string()));
  }
  EXPECT_THAT(storeError([&] { stores->AttachPstFile(dir.path().string(), e::kFormatUnicodePst, std::nullopt); }),
              HasSubstr("folder"));
  EXPECT_THAT(storeError([&] { stores->AttachPstFile((dir / "x.pst").string(), 2, std::nullopt); }),
              HasSubstr("format 2"));
  storeError([&] { stores->AttachPstFile((dir / "no/such/x.pst").string(), e::kFormatUnicodePst, std::nullopt); });
  EXPECT_EQ(stores->Count(), 0);
  EXPECT_FALSE(t::fs::exists(dir / "x.pst"));
}

// ---- folders

TEST(Folders, SourceTreeKindsAndCounts) {
  Fixture f;
  auto top = f.source->TopFolder();
  EXPECT_EQ(top->FolderName(), "Top of Personal Folders");
  EXPECT_THAT(names(top), ::testing::ElementsAre("Deleted Items", "Inbox", "Calendar"));
  EXPECT_EQ(top->Subfolders()->Count(), 3);
  EXPECT_EQ(f.inbox->DefaultItemKind(), e::kMailItemKind);
  EXPECT_NE(subfolder(top, "Calendar")->DefaultItemKind(), e::kMailItemKind);
  EXPECT_EQ(f.inbox->ItemList()->Count(), 2);
  EXPECT_EQ(subfolder(top, "Calendar")->ItemList()->Count(), 1) << "associated messages are not items";
  EXPECT_THAT(names(f.inbox), ::testing::ElementsAre("Old"));
  f.source->Close();
  EXPECT_THAT(storeError([&] { f.inbox->FolderName(); }), HasSubstr("closed"));
}

TEST(Folders, ItemKindFollowsTheContainerClass) {
  using varnolt::platform::detail::ItemKindOfClass;
  for (const char* mailClass : {"IPF.Note", "IPF.Note.OutlookHomepage", "ipf.note", "IPF.Imap", ""})
    EXPECT_EQ(ItemKindOfClass(std::string(mailClass)), e::kMailItemKind) << mailClass;
  EXPECT_EQ(ItemKindOfClass(std::nullopt), e::kMailItemKind);
  const std::pair<const char*, std::int32_t> others[] = {
      {"IPF.Appointment", 1}, {"IPF.Appointment.Birthday", 1}, {"IPF.Contact", 2}, {"IPF.Task", 3},
      {"IPF.Journal", 4},     {"IPF.StickyNote", 5},           {"IPF.Post", 6},    {"IPF.Configuration", 6},
      {"IPF.Notes", 6},       {"Outlook.Reminder", 6},
  };
  for (const auto& [cls, kind] : others) EXPECT_EQ(ItemKindOfClass(std::string(cls)), kind) << cls;
}

TEST(Folders, DeletedItemsKeepsItsRoleWhenRemovedAndAddedAgain) {
  Fixture f;
  auto store = f.newStore();
  auto top = store->TopFolder();
  ASSERT_THAT(names(top), ::testing::ElementsAre("Deleted Items"));
  auto deleted = subfolder(top, "Deleted Items");
  deleted->Subfolders()->AddSubfolder("Old stuff");
  storeError([&] { top->RemoveFolder(); });  // the top stays

  for (auto& folder : all(top->Subfolders()->Enumerate())) folder->RemoveFolder();
  EXPECT_EQ(top->Subfolders()->Count(), 0);
  auto inbox = top->Subfolders()->AddSubfolder("Inbox");
  auto back = top->Subfolders()->AddSubfolder("Deleted Items");
  EXPECT_THAT(names(top), ::testing::ElementsAre("Deleted Items", "Inbox"));
  EXPECT_EQ(back->Subfolders()->Count(), 0) << "removing it emptied it";
  auto item = back->ItemList()->NewItem();
  storeError([&] { item->ImportFromFile((f.dir / "1.msg").string(), e::kImportMsgFile); });  // no file yet
  f.inboxMessage(1)->SaveToFile((f.dir / "1.msg").string());
  item->ImportFromFile((f.dir / "1.msg").string(), e::kImportMsgFile);
  item->Commit();
  EXPECT_THAT(storeError([&] { back->RemoveFolder(); }), HasSubstr("holds messages"));
  EXPECT_EQ(top->Subfolders()->Count(), 2);
  store->Close();

  // The store's wastebasket is that folder, with its message.
  auto written = pst::Store::open(f.dir / "new.pst");
  const m::PropertyBag storeProps = written->storeProperties();
  const m::Bytes* id = storeProps.getBinary(m::tag::IpmWastebasketEntryId);
  ASSERT_TRUE(id != nullptr && id->size() == 24);
  const pst::NodeId nid = m::ByteView(*id).u32(20);
  EXPECT_EQ(written->folder(nid).displayName(), "Deleted Items");
  EXPECT_EQ(written->folder(nid).messageIds().size(), 1u);
  EXPECT_EQ(written->ipmSubtree()->subfolderIds().size(), 2u);
}

TEST(Folders, RemoveFolderTakesAnOrdinaryFolderWithEverythingInIt) {
  Fixture f;
  auto store = f.newStore();
  auto top = store->TopFolder();
  auto doomed = top->Subfolders()->AddSubfolder("Doomed");
  doomed->Subfolders()->AddSubfolder("Inside");
  auto kept = top->Subfolders()->AddSubfolder("Kept");
  EXPECT_EQ(kept->DefaultItemKind(), e::kMailItemKind);
  EXPECT_THAT(storeError([&] { top->Subfolders()->AddSubfolder(""); }), HasSubstr("name"));
  // Folders of one name side by side, as sources have them: none is lost.
  top->Subfolders()->AddSubfolder("Kept");
  doomed->RemoveFolder();
  EXPECT_THAT(names(top), ::testing::ElementsAre("Deleted Items", "Kept", "Kept"));
  storeError([&] { doomed->FolderName(); });
  storeError([&] { doomed->RemoveFolder(); });
}

TEST(Folders, CopyIntoCopiesAFolderWhole) {
  Fixture f;
  auto store = f.newStore();
  auto top = store->TopFolder();
  auto calendar = subfolder(f.source->TopFolder(), "Calendar");
  calendar->CopyInto(top);
  EXPECT_NE(subfolder(top, "Calendar")->DefaultItemKind(), e::kMailItemKind);
  EXPECT_EQ(subfolder(top, "Calendar")->ItemList()->Count(), 1);
  EXPECT_THAT(storeError([&] { subfolder(top, "Calendar")->CopyInto(top); }), HasSubstr("cannot be read back"));
  store->Close();
  EXPECT_THAT(storeError([&] { calendar->CopyInto(top); }), HasSubstr("closed"));

  auto written = pst::Store::open(f.dir / "new.pst");
  auto source = pst::Store::open(f.sourcePath);
  std::optional<pst::Folder> copied;
  for (pst::NodeId id : written->ipmSubtree()->subfolderIds())
    if (written->folder(id).displayName() == "Calendar") copied = written->folder(id);
  ASSERT_TRUE(copied);
  EXPECT_EQ(copied->containerClass(), "IPF.Appointment");
  ASSERT_EQ(copied->messageIds().size(), 1u);
  EXPECT_EQ(copied->associatedMessageIds().size(), 1u);
  EXPECT_EQ(written->readMessage(copied->messageIds()[0]).props.getString(0x0037), "Weekly meeting");
}

// An Inbox as Outlook leaves one: properties of its own (comment, a
// subclass, a named property, flags), ids of other folders of its store,
// and two hidden items, one with an attachment.
TEST(Folders, CopySettingsIntoBringsHiddenItemsAndPropertiesButNoIdsOfTheSource) {
  t::TempDir dir;
  const t::fs::path sourcePath = dir / "settings.pst";
  const m::NamedProperty viewName = m::NamedProperty::byName(m::psetid::PublicStrings, "ViewName");
  {
    pst::WriterOptions options;
    options.seed = 5;
    auto w = pst::Writer::create(sourcePath, "Source", options);
    auto inbox = w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note.Custom");
    auto other = w->createFolder(w->ipmSubtree(), "Other", "IPF.Note");
    w->addMessage(inbox, mail("Visible", "a normal message"));
    m::PropertyBag props;
    props.set(m::tag::Comment, m::PropValue::unicode("where the mail lands"));
    props.set(m::makeTag(0x36DA, m::pt::Binary), m::PropValue::binary({1, 2, 3, 4}));  // extended flags
    props.set(m::makeTag(0x3600, m::pt::Int32), m::PropValue::int32(0x40));            // container flags
    props.setNamed(viewName, m::pt::Unicode, m::PropValue::unicode("Compact"));
    // Ids of the source's folders: the special-folder range, and one that
    // only its content tells.
    m::Bytes otherId = *w->storeProperties().getBinary(m::tag::IpmSubtreeEntryId);
    m::setU32(otherId, 20, other);
    props.set(m::makeTag(0x36D0, m::pt::Binary), m::PropValue::binary(otherId));
    props.set(m::makeTag(0x6801, m::pt::Binary), m::PropValue::binary(otherId));
    w->setFolderProperties(inbox, props);
    m::Message rules;
    rules.props.set(m::tag::MessageClass, m::PropValue::unicode("IPM.RuleOrganizer"));
    rules.props.set(m::tag::Subject, m::PropValue::unicode("Rules"));
    m::Attachment data = attachment("rules.rwz", "", "");
    data.props.set(m::tag::AttachDataBinary, m::PropValue::binary({'r', 'u', 'l', 'e'}));
    rules.attachments.push_back(data);
    w->addMessage(inbox, rules, true);
    m::Message rule;
    rule.props.set(m::tag::MessageClass, m::PropValue::unicode("IPM.ExtendedRule.Message"));
    rule.props.set(m::tag::Subject, m::PropValue::unicode("Move newsletters"));
    w->addMessage(inbox, rule, true);
    w->close();
  }
  auto session = NewMailSession();
  auto source = session->StoreList()->AttachPstFile(sourcePath.string(), e::kFormatUnicodePst, std::nullopt);
  auto store = session->StoreList()->AttachPstFile((dir / "new.pst").string(), e::kFormatUnicodePst,
                                                   std::string("New"));
  auto inbox = subfolder(source->TopFolder(), "Inbox");
  auto renamed = store->TopFolder()->Subfolders()->AddSubfolder("Renamed");
  inbox->CopySettingsInto(renamed);
  EXPECT_EQ(renamed->FolderName(), "Renamed");
  EXPECT_EQ(renamed->ItemList()->Count(), 0) << "hidden items are not items";
  EXPECT_THAT(storeError([&] { renamed->CopySettingsInto(renamed); }), HasSubstr("cannot be read back"));
  EXPECT_THAT(storeError([&] { inbox->CopySettingsInto(inbox); }), HasSubstr("read-only"));
  store->Close();

  auto written = pst::Store::open(dir / "new.pst");
  std::optional<pst::Folder> copied;
  for (pst::NodeId id : written->ipmSubtree()->subfolderIds())
    if (written->folder(id).displayName() == "Renamed") copied = written->folder(id);
  ASSERT_TRUE(copied);
  const m::PropertyBag& props = copied->properties();
  EXPECT_EQ(copied->containerClass(), "IPF.Note.Custom");
  EXPECT_EQ(props.getString(0x3004), "where the mail lands");
  EXPECT_EQ(props.getInt32(m::makeTag(0x3600, m::pt::Int32)), 0x40);
  ASSERT_NE(props.getBinary(m::makeTag(0x36DA, m::pt::Binary)), nullptr);
  EXPECT_EQ(*props.getBinary(m::makeTag(0x36DA, m::pt::Binary)), (m::Bytes{1, 2, 3, 4}));
  const m::PropValue* named = props.getNamed(viewName, m::pt::Unicode);
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->asString(), "Compact");
  EXPECT_FALSE(props.has(m::makeTag(0x36D0, m::pt::Binary)));
  EXPECT_FALSE(props.has(m::makeTag(0x6801, m::pt::Binary)));
  EXPECT_EQ(props.getInt32(m::tag::ContentCount), 0);
  EXPECT_EQ(copied->messageIds().size(), 0u);

  std::vector<std::string> hidden;
  for (pst::NodeId id : copied->associatedMessageIds()) {
    const m::Message item = written->readMessage(id);
    hidden.push_back(item.props.getString(0x0037).value_or("") + " " + item.props.getString(0x001A).value_or("") +
                     " " + std::to_string(item.attachments.size()));
  }
  EXPECT_THAT(hidden, ::testing::UnorderedElementsAre("Rules IPM.RuleOrganizer 1",
                                                      "Move newsletters IPM.ExtendedRule.Message 0"));
}

// The top folder of every file the reader opens: an OST that names no
// IPM subtree, every sample, and every sample marked as an OST.
TEST(TopFolder, IsFoundInEveryFileTheReaderOpens) {
  t::TempDir dir;
  const t::fs::path ost = dir / "mailbox.ost";
  t::makeOst(ost, [](pst::Writer& w, pst::NodeId top) {
    w.addMessage(top, mail("Kept at the top", "top"));
    w.addMessage(w.createFolder(top, "Inbox", "IPF.Note"), mail("In the inbox", "inbox"));
  });
  {
    auto opened = pst::Store::open(ost);
    ASSERT_TRUE(opened->isOst());
    ASSERT_FALSE(opened->ipmSubtree()) << "the fixture must name no IPM subtree";
  }
  auto session = NewMailSession();
  auto store = session->StoreList()->AttachPstFile(ost.string(), e::kFormatUnicodePst, std::nullopt);
  auto top = store->TopFolder();
  EXPECT_EQ(top->FolderName(), "IPM_SUBTREE");
  EXPECT_EQ(top->ItemList()->Count(), 1);
  EXPECT_THAT(names(top), ::testing::Contains("Inbox"));
  store->Close();

  if (t::samplesDir().empty()) return;
  for (const auto& sample : t::sampleFiles("pst", ".pst")) {
    SCOPED_TRACE(sample.filename().string());
    const std::string expected = pst::Store::open(sample)->ipmSubtree()->displayName();
    m::Bytes bytes = t::readFile(sample);
    m::setU16(bytes, 8, pst::kClientOst);
    m::setU32(bytes, 4, pst::computeCrc(m::ByteView(bytes).sub(pst::kHeaderCrcStart, pst::kHeaderCrcPartialLength)));
    if (m::ByteView(bytes).u16(10) > pst::kVersionAnsiHigh)
      m::setU32(bytes, 524, pst::computeCrc(m::ByteView(bytes).sub(pst::kHeaderCrcStart, pst::kHeaderCrcFullLength)));
    const t::fs::path marked = dir / (sample.stem().string() + ".ost");
    t::writeFile(marked, bytes);
    for (const t::fs::path& file : {sample, marked}) {
      auto opened = session->StoreList()->AttachPstFile(file.string(), e::kFormatUnicodePst, std::nullopt);
      EXPECT_EQ(opened->TopFolder()->FolderName(), expected) << file;
      opened->Close();
    }
  }
}

// ---- messages

TEST(Messages, GoFromSourceThroughAMsgFileIntoANewStoreWhole) {
  Fixture f;
  auto store = f.newStore();
  auto folder = store->TopFolder()->Subfolders()->AddSubfolder("Inbox");
  auto x = f.msgFileMessage();
  x->Commit();
  auto item = folder->ItemList()->NewItem();
  item->ImportFromFile((f.dir / "1.msg").string(), e::kImportMsgFile);
  item->Commit();
  item->Commit();  // nothing changed: nothing more is written
  EXPECT_EQ(folder->ItemList()->Count(), 1);
  item->Body("changed after saving");
  EXPECT_THAT(storeError([&] { item->Commit(); }), HasSubstr("already saved"));
  EXPECT_EQ(folder->ItemList()->Count(), 1);
  storeError([&] { folder->ItemList()->Enumerate(); });
  store->Close();

  auto source = pst::Store::open(f.sourcePath);
  auto written = pst::Store::open(f.dir / "new.pst");
  m::Message original = source->readMessage(source
                                                ->folder(*[&] {
                                                  for (pst::NodeId id : source->ipmSubtree()->subfolderIds())
                                                    if (source->folder(id).displayName() == "Inbox")
                                                      return std::optional<pst::NodeId>(id);
                                                  return std::optional<pst::NodeId>();
                                                }())
                                                .messageIds()[0]);
  pst::NodeId inboxId = written->ipmSubtree()->subfolderIds().back();
  ASSERT_EQ(written->folder(inboxId).messageIds().size(), 1u);
  m::Message copy = written->readMessage(written->folder(inboxId).messageIds()[0]);
  EXPECT_EQ(copy.recipients, original.recipients);
  ASSERT_EQ(copy.attachments.size(), original.attachments.size());
  for (std::size_t i = 0; i < copy.attachments.size(); ++i) {
    EXPECT_EQ(copy.attachments[i].fileName(), original.attachments[i].fileName());
    EXPECT_EQ(copy.attachments[i].dataBinary() ? *copy.attachments[i].dataBinary() : m::Bytes(),
              original.attachments[i].dataBinary() ? *original.attachments[i].dataBinary() : m::Bytes());
  }
  EXPECT_EQ(copy.props.getString(0x0037), "Every kind");
  const m::PropValue* keywords =
      copy.props.getNamed(m::NamedProperty::byName(m::psetid::PublicStrings, "Keywords"), m::pt::Unicode);
  ASSERT_NE(keywords, nullptr);
  EXPECT_EQ(keywords->asString(), "kept");
}

TEST(Messages, FailuresLeaveTheMessageAsItWas) {
  Fixture f;
  auto store = f.newStore();
  auto item = store->TopFolder()->Subfolders()->AddSubfolder("Inbox")->ItemList()->NewItem();
  f.inboxMessage(1)->SaveToFile((f.dir / "plain.msg").string());
  item->ImportFromFile((f.dir / "plain.msg").string(), e::kImportMsgFile);
  t::writeFile(f.dir / "junk.msg", std::string(4096, 'x'));
  EXPECT_THAT(storeError([&] { item->ImportFromFile((f.dir / "plain.msg").string(), 1); }), HasSubstr("kind 1"));
  EXPECT_THAT(storeError([&] { item->ImportFromFile((f.dir / "none.msg").string(), e::kImportMsgFile); }),
              HasSubstr("no such file"));
  EXPECT_THAT(storeError([&] { item->ImportFromFile((f.dir / "junk.msg").string(), e::kImportMsgFile); }),
              HasSubstr("junk.msg"));
  EXPECT_EQ(item->Body(), "Just text.");

  EXPECT_THAT(storeError([&] { f.session->GetMessageFromMsgFile((f.dir / "none.msg").string()); }),
              HasSubstr("no such file"));
  storeError([&] { f.session->GetMessageFromMsgFile((f.dir / "junk.msg").string()); });
  storeError([&] { f.inboxMessage(0)->SaveToFile((f.dir / "no/such/folder/1.msg").string()); });

  // A message of a closed source cannot be read.
  auto unread = f.inboxMessage(1);
  f.source->Close();
  EXPECT_THAT(storeError([&] { unread->SaveToFile((f.dir / "late.msg").string()); }), HasSubstr("closed"));
  EXPECT_FALSE(t::fs::exists(f.dir / "late.msg"));
}

TEST(Messages, AnUnreadableMessageFailsAloneAndWritesNothing) {
  t::TempDir dir;
  t::fs::path path = makeSource(dir);
  {
    // Damage the data block of the Inbox's second message.
    auto store = pst::Store::open(path);
    std::optional<pst::NodeId> victim;
    for (pst::NodeId id : store->ipmSubtree()->subfolderIds())
      if (store->folder(id).displayName() == "Inbox") victim = store->folder(id).messageIds().at(1);
    ASSERT_TRUE(victim);
    const pst::BbtEntry block = store->database().block(store->database().findNode(*victim)->bidData);
    std::vector<std::uint8_t> bytes = t::readFile(path);
    bytes.at(block.bref.ib + 4) ^= 0xFF;
    t::writeFile(path, bytes);
  }
  auto session = NewMailSession();
  auto source = session->StoreList()->AttachPstFile(path.string(), e::kFormatUnicodePst, std::nullopt);
  auto items = all(subfolder(source->TopFolder(), "Inbox")->ItemList()->Enumerate());
  ASSERT_EQ(items.size(), 2u);
  EXPECT_THAT(storeError([&] { items[1]->SaveToFile((dir / "2.msg").string()); }), HasSubstr("message 0x"));
  EXPECT_FALSE(t::fs::exists(dir / "2.msg"));
  storeError([&] { items[1]->AttachmentList(); });
  storeError([&] { items[1]->HTMLBody(); });
  EXPECT_NO_THROW(items[0]->SaveToFile((dir / "1.msg").string()));
  EXPECT_EQ(m::msg::readMessageFile(dir / "1.msg").attachments.size(), 5u);
}

TEST(Messages, CommitOfAMsgFileMessageWritesTheFileBack) {
  Fixture f;
  auto x = f.msgFileMessage();
  x->AttachmentList()->Item(1)->Delete();
  x->Body("New text");
  x->Commit();
  m::Message back = m::msg::readMessageFile(f.dir / "1.msg");
  EXPECT_EQ(back.attachments.size(), 4u);
  EXPECT_EQ(m::body::plainBody(back.props), "New text");
}

// The walk's item files live in its scratch folder; they stay in memory,
// carry every change from the save to the import, and are handed on whole.
TEST(Messages, ScratchItemFilesStayInMemoryFromSaveToImport) {
  Fixture f;
  const t::fs::path scratch = f.scratchFolder();
  const std::string path = (scratch / "1.msg").string();
  f.inboxMessage(0)->SaveToFile(path);
  EXPECT_FALSE(t::fs::exists(path));
  auto x = f.session->GetMessageFromMsgFile(path);
  ASSERT_EQ(x->AttachmentList()->Count(), 5);
  x->AttachmentList()->Item(1)->Delete();
  x->Body("New text");
  x->Commit();
  EXPECT_FALSE(t::fs::exists(path));
  // Read again, the file holds what was committed.
  EXPECT_EQ(f.session->GetMessageFromMsgFile(path)->AttachmentList()->Count(), 4);

  auto store = f.newStore();
  auto folder = store->TopFolder()->Subfolders()->AddSubfolder("Inbox");
  auto item = folder->ItemList()->NewItem();
  item->ImportFromFile(path, e::kImportMsgFile);
  item->Commit();
  EXPECT_EQ(item->AttachmentList()->Count(), 4);
  EXPECT_EQ(item->Body(), "New text");
  // Handed on: the file is gone, nothing is left on disk to delete.
  EXPECT_THAT(storeError([&] { item->ImportFromFile(path, e::kImportMsgFile); }), HasSubstr("no such file"));
  EXPECT_TRUE(t::fs::is_empty(scratch));
  // A scratch folder that is not there fails the save as a disk would.
  storeError([&] { f.inboxMessage(0)->SaveToFile((f.dir / "gone" / "MSG Folder" / "1.msg").string()); });
  // Nor does one taken away while the run goes on, once the disk is asked
  // about it again.
  const t::fs::path later = f.dir / "later" / "MSG Folder";
  t::fs::create_directories(later);
  f.inboxMessage(0)->SaveToFile((later / "1.msg").string());
  t::fs::remove_all(f.dir / "later");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  storeError([&] { f.inboxMessage(0)->SaveToFile((later / "2.msg").string()); });
  store->Close();
  auto written = pst::Store::open(f.dir / "new.pst");
  pst::NodeId inboxId = written->ipmSubtree()->subfolderIds().back();
  ASSERT_EQ(written->folder(inboxId).messageIds().size(), 1u);
  m::Message copy = written->readMessage(written->folder(inboxId).messageIds()[0]);
  EXPECT_EQ(copy.attachments.size(), 4u);
  EXPECT_EQ(m::body::plainBody(copy.props), "New text");
}

// A committed scratch item hands its message to the held file; the item
// stays usable after that, and an attachment list alive across the
// Commit keeps seeing the message it lists.
TEST(Messages, AScratchItemStaysWholeAfterItsCommit) {
  Fixture f;
  const std::string path = (f.scratchFolder() / "1.msg").string();
  f.inboxMessage(0)->SaveToFile(path);
  auto x = f.session->GetMessageFromMsgFile(path);
  x->AttachmentList()->Item(1)->Delete();
  x->Commit();
  // Read again by the same item, then changed and committed once more:
  // both changes reach the file.
  EXPECT_EQ(x->AttachmentList()->Count(), 4);
  x->Body("Second text");
  x->Commit();
  // Nothing changed since: a Commit is harmless.
  x->Commit();
  auto again = f.session->GetMessageFromMsgFile(path);
  EXPECT_EQ(again->AttachmentList()->Count(), 4);
  EXPECT_EQ(again->Body(), "Second text");

  // A list held over the Commit shares the item's content.
  std::shared_ptr<e::AttachmentList> list = again->AttachmentList();
  list->Item(1)->Delete();
  again->Commit();
  EXPECT_EQ(list->Count(), 3);
  EXPECT_EQ(again->Body(), "Second text");
  EXPECT_EQ(f.session->GetMessageFromMsgFile(path)->AttachmentList()->Count(), 3);
}

// A message read ahead reaches the first reader of its scratch file as a
// copy made on the read-ahead thread: that reader's changes, never
// committed, leave the file as it was.
TEST(Messages, TheFirstReaderOfAScratchFileHasACopyOfItsOwn) {
  Fixture f;
  const t::fs::path scratch = f.scratchFolder();
  f.inboxMessage(0)->SaveToFile((scratch / "0.msg").string());  // the walk asks for copies
  const auto items = all(f.inbox->ItemList()->Enumerate());       // read ahead again, with them
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string path = (scratch / (std::to_string(i + 1) + ".msg")).string();
    items[i]->SaveToFile(path);
    auto first = f.session->GetMessageFromMsgFile(path);
    const std::int32_t count = first->AttachmentList()->Count();
    if (count > 0) first->AttachmentList()->Item(1)->Delete();
    first->Body("changed");
    auto second = f.session->GetMessageFromMsgFile(path);
    EXPECT_EQ(second->AttachmentList()->Count(), count) << i;
    EXPECT_NE(second->Body(), "changed") << i;
  }
}

// A message too large to hold (here by an attachment of an embedded
// message) goes to disk, and is read back from there whole.
TEST(Messages, AScratchItemFileTooLargeToHoldGoesToDisk) {
  Fixture f;
  const t::fs::path scratch = f.scratchFolder();
  m::Message inner;
  inner.props.set(m::tag::Subject, m::PropValue::unicode("inner"));
  m::Attachment big;
  big.props.set(m::tag::AttachMethod, m::PropValue::int32(1));
  big.props.set(m::tag::AttachLongFilename, m::PropValue::unicode("big.bin"));
  m::Bytes data(33u << 20);
  for (std::size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<std::uint8_t>(i >> 12);
  big.props.set(m::tag::AttachDataBinary, m::PropValue::binary(data));
  inner.attachments.push_back(std::move(big));
  m::Message outer;
  outer.props.set(m::tag::MessageClass, m::PropValue::unicode("IPM.Note"));
  m::Attachment embedded;
  embedded.props.set(m::tag::AttachMethod, m::PropValue::int32(5));
  embedded.embedded = std::make_unique<m::Message>(std::move(inner));
  outer.attachments.push_back(std::move(embedded));
  EXPECT_GT(varnolt::platform::detail::HeldMessageBytes(outer), 33u << 20);
  m::msg::writeMessageFile(f.dir / "big.msg", outer);

  const std::string path = (scratch / "1.msg").string();
  f.session->GetMessageFromMsgFile((f.dir / "big.msg").string())->SaveToFile(path);
  ASSERT_TRUE(t::fs::exists(path));
  auto item = f.newStore()->TopFolder()->Subfolders()->AddSubfolder("Inbox")->ItemList()->NewItem();
  item->ImportFromFile(path, e::kImportMsgFile);
  m::Message back = m::msg::readMessageFile(path);
  ASSERT_EQ(back.attachments.size(), 1u);
  ASSERT_TRUE(back.attachments[0].embedded);
  ASSERT_EQ(back.attachments[0].embedded->attachments.size(), 1u);
  const m::Bytes* backData = back.attachments[0].embedded->attachments[0].dataBinary();
  ASSERT_NE(backData, nullptr);
  EXPECT_TRUE(*backData == data);

  // A message small enough to hold, saved under the same name, replaces
  // the file on disk.
  f.inboxMessage(0)->SaveToFile(path);
  EXPECT_FALSE(t::fs::exists(path));
  EXPECT_EQ(f.session->GetMessageFromMsgFile(path)->AttachmentList()->Count(), 5);
}

TEST(Messages, HtmlBodyWrittenIsWhatEveryReaderShows) {
  Fixture f;
  auto x = f.msgFileMessage();
  const std::string html = x->HTMLBody();
  EXPECT_THAT(html, HasSubstr("Five attachments."));
  const std::string link = e::HtmlLink("/tmp/a b/x.pdf", "x.pdf");
  x->HTMLBody(html + link);
  EXPECT_THAT(x->HTMLBody(), HasSubstr(link));
  EXPECT_THAT(x->Body(), HasSubstr("Five attachments."));
  EXPECT_THAT(x->Body(), HasSubstr("file:///tmp/a b/x.pdf"));
  x->Commit();
  m::Message back = m::msg::readMessageFile(f.dir / "1.msg");
  EXPECT_EQ(back.props.getInt32(m::tag::NativeBody), m::body::kNativeHtml);
  EXPECT_FALSE(back.props.has(m::tag::RtfCompressed));

  // Writing the plain body leaves the HTML alone.
  x->Body("Only text now");
  EXPECT_EQ(x->Body(), "Only text now");
  EXPECT_THAT(x->HTMLBody(), HasSubstr(link));
}

// The bodies read for the report follow every change of the properties
// they come from, the code page that decodes them included, and only those.
TEST(Messages, BodiesReadAgainFollowEveryChangeOfTheirProperties) {
  using varnolt::platform::BodyStateOf;
  auto htmlBytes = [](const std::string& text) { return m::Bytes(text.begin(), text.end()); };
  m::PropertyBag props;
  props.set(m::tag::Subject, m::PropValue::unicode("Hello"));
  props.set(m::makeTag(0x1000, m::pt::String8), m::PropValue::string8("caf\xE9"));
  props.set(m::tag::MessageCodepage, m::PropValue::int32(1252));
  props.set(m::tag::Html, m::PropValue::binary(htmlBytes("<p>one</p>")));
  const e::BodyState first = BodyStateOf(props);
  EXPECT_EQ(first.plain, "caf\xC3\xA9");
  EXPECT_THAT(first.html, HasSubstr("one"));
  props.set(m::tag::Subject, m::PropValue::unicode("Other"));
  EXPECT_EQ(BodyStateOf(props).plain, first.plain);
  props.set(m::tag::MessageCodepage, m::PropValue::int32(1251));
  const e::BodyState cyrillic = BodyStateOf(props);
  EXPECT_EQ(cyrillic.plain, "caf\xD0\xB9");
  ASSERT_EQ(cyrillic.properties.size(), first.properties.size());
  props.set(m::tag::Html, m::PropValue::binary(htmlBytes("<p>two</p>")));
  const e::BodyState two = BodyStateOf(props);
  EXPECT_THAT(two.html, HasSubstr("two"));
  EXPECT_EQ(two.plain, cyrillic.plain);
  props.set(m::tag::MessageCodepage, m::PropValue::int32(1252));
  props.set(m::tag::Html, m::PropValue::binary(htmlBytes("<p>one</p>")));
  const e::BodyState again = BodyStateOf(props);
  EXPECT_EQ(again.plain, first.plain);
  EXPECT_EQ(again.html, first.html);
}

// A rich-text message keeps its formatting when a link is added through
// either body: the RTF stays the body and gains the link as a field.
TEST(Messages, LinksAddedToAnRtfBodyKeepItsFormatting) {
  VARNOLT_REQUIRE_SAMPLES();
  t::TempDir dir;
  const t::fs::path sample = t::samplesDir() / "msg" / "email-msg-file-with-rtf-formatting.msg";
  const m::Bytes original =
      m::rtf::decompress(*m::msg::readMessageFile(sample).props.getBinary(m::tag::RtfCompressed));
  const std::string originalText(original.begin(), original.end());
  const std::string documentEnd = originalText.substr(0, originalText.rfind('}'));
  for (bool html : {true, false}) {
    SCOPED_TRACE(html ? "HTMLBody" : "Body");
    t::fs::copy_file(sample, dir / "rtf.msg", t::fs::copy_options::overwrite_existing);
    t::fs::permissions(dir / "rtf.msg", t::fs::perms::owner_write, t::fs::perm_options::add);
    auto session = NewMailSession();
    auto x = session->GetMessageFromMsgFile((dir / "rtf.msg").string());
    const e::AttachmentLink link = e::MakeAttachmentLink("/tmp/a b/x#1.pdf", "x#1.pdf", "linux", html ? "12.0" : "");
    ASSERT_EQ(link.plainText, !html);
    if (html) x->HTMLBody(x->HTMLBody() + link.text);
    else x->Body(x->Body() + link.text);
    x->Commit();

    m::Message back = m::msg::readMessageFile(dir / "rtf.msg");
    EXPECT_FALSE(back.props.has(m::tag::Html));
    EXPECT_EQ(back.props.getInt32(m::tag::NativeBody), m::body::kNativeRtf);
    ASSERT_NE(back.props.getBinary(m::tag::RtfCompressed), nullptr) << "the RTF body is gone";
    const m::Bytes rtf = m::rtf::decompress(*back.props.getBinary(m::tag::RtfCompressed));
    const std::string rtfText(rtf.begin(), rtf.end());
    EXPECT_EQ(rtfText.substr(0, documentEnd.size()), documentEnd);
    EXPECT_THAT(rtfText, HasSubstr("{\\field{\\*\\fldinst{HYPERLINK \"file:///tmp/a%20b/x%231.pdf\"}}"));
    EXPECT_THAT(m::body::plainBody(back.props), HasSubstr("file:///tmp/a%20b/x%231.pdf>"));
  }
}

// ---- attachments

TEST(Attachments, IndexesFromOneStayValidBelowADeletion) {
  Fixture f;
  auto x = f.msgFileMessage();
  auto list = x->AttachmentList();
  ASSERT_EQ(list->Count(), 5);
  EXPECT_THAT(storeError([&] { list->Item(0); }), HasSubstr("5 attachment"));
  EXPECT_THAT(storeError([&] { list->Item(6); }), HasSubstr("5 attachment"));
  auto first = list->Item(1);
  auto third = list->Item(3);
  auto last = list->Item(5);
  last->Delete();
  EXPECT_THAT(storeError([&] { last->FileName(); }), HasSubstr("deleted"));
  storeError([&] { last->Delete(); });
  storeError([&] { list->Item(5); });  // past the end now
  third->Delete();
  EXPECT_EQ(list->Count(), 3);
  EXPECT_EQ(first->FileName(), "Q3 report.pdf");
  EXPECT_EQ(list->Item(1)->FileName(), "Q3 report.pdf");
  EXPECT_EQ(list->Item(2)->FileName(), "NOTES.TXT");
  EXPECT_EQ(list->Item(3)->FileName(), "Picture");
  for (int i = 3; i >= 1; --i) list->Item(i)->Delete();
  x->Commit();
  m::Message back = m::msg::readMessageFile(f.dir / "1.msg");
  EXPECT_TRUE(back.attachments.empty());
  EXPECT_EQ(back.props.getInt32(m::tag::MessageFlags).value_or(0) & 0x10, 0) << "still says it has attachments";
}

// A large attachment stays in the source PST from the read to every write:
// the message carrying it through the scratch item file holds only where
// its bytes are, and the saved file and the copy in a new store get exactly
// those bytes, read a block at a time.
TEST(Attachments, LargeDataIsReadFromTheSourceOnlyAsItIsWritten) {
  Fixture f;
  m::Bytes data(24u << 20);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < data.size(); ++i) {
    state = state * 1103515245u + 12345u;
    data[i] = static_cast<std::uint8_t>(i % 3 == 0 ? state >> 24 : i >> 16);
  }
  const t::fs::path sourcePath = f.dir / "large.pst";
  {
    auto w = pst::Writer::create(sourcePath, "Large");
    auto inbox = w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note");
    m::Message message = mail("Film", "See the attachment");
    m::Attachment big = attachment("film.mp4", "film.mp4", "film.mp4");
    big.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachByValue));
    big.props.set(m::tag::AttachDataBinary, m::PropValue::binary(data));
    message.attachments.push_back(std::move(big));
    w->addMessage(inbox, message);
    w->close();
  }
  auto source = f.session->StoreList()->AttachPstFile(sourcePath.string(), e::kFormatUnicodePst, std::nullopt);
  auto original = all(subfolder(source->TopFolder(), "Inbox")->ItemList()->Enumerate()).at(0);
  const std::string path = (f.scratchFolder() / "1.msg").string();
  original->SaveToFile(path);
  auto item = f.session->GetMessageFromMsgFile(path);
  auto* held = dynamic_cast<varnolt::platform::detail::MessageBase*>(item.get());
  ASSERT_NE(held, nullptr);
  EXPECT_LT(varnolt::platform::detail::HeldMessageBytes(held->content().message), 1u << 20);
  const m::PropValue* value = held->content().message.attachments.at(0).props.get(m::tag::AttachDataBinary);
  ASSERT_NE(value, nullptr);
  EXPECT_NE(value->source, nullptr);
  std::size_t largest = 0;
  value->readPieces([&](m::ByteView piece) { largest = std::max(largest, piece.size()); });
  EXPECT_LE(largest, 8176u);

  auto attachmentItem = item->AttachmentList()->Item(1);
  EXPECT_EQ(attachmentItem->Facts().size, static_cast<std::int64_t>(data.size()));
  attachmentItem->SaveAsFile((f.dir / "film.mp4").string());
  EXPECT_TRUE(t::readFile(f.dir / "film.mp4") == data);
  // Handed over without a file: the same bytes, a block at a time; what
  // the receiver throws comes back to it as it is.
  std::vector<std::uint8_t> handed;
  std::size_t pieces = 0;
  attachmentItem->ReadContent([&](const std::uint8_t* bytes, std::size_t size) {
    handed.insert(handed.end(), bytes, bytes + size);
    ++pieces;
  });
  EXPECT_TRUE(handed == data);
  EXPECT_GT(pieces, 1u);
  struct ReceiverFull {};
  EXPECT_THROW(attachmentItem->ReadContent([](const std::uint8_t*, std::size_t) { throw ReceiverFull{}; }),
               ReceiverFull);

  // Kept, it goes into the new store from the source too.
  item->Commit();
  auto store = f.newStore();
  auto copy = store->TopFolder()->Subfolders()->AddSubfolder("Inbox")->ItemList()->NewItem();
  copy->ImportFromFile(path, e::kImportMsgFile);
  copy->Commit();
  store->Close();
  auto written = pst::Store::open(f.dir / "new.pst");
  m::Message back = written->readMessage(
      written->folder(written->ipmSubtree()->subfolderIds().back()).messageIds().at(0));
  ASSERT_EQ(back.attachments.size(), 1u);
  ASSERT_NE(back.attachments[0].dataBinary(), nullptr);
  EXPECT_TRUE(*back.attachments[0].dataBinary() == data);

  // An item file on disk is whole in itself.
  original->SaveToFile((f.dir / "film.msg").string());
  const m::Message fromFile = m::msg::readMessageFile(f.dir / "film.msg");
  const m::Bytes* inFile = fromFile.attachments.at(0).dataBinary();
  ASSERT_NE(inFile, nullptr);
  EXPECT_TRUE(*inFile == data);
}

// A saved file's digest, for the run's report, may have been worked out
// ahead; it is taken only for exactly the bytes saved.
TEST(Attachments, SavedFileDigestWorkedOutAheadOnlyForTheSameBytes) {
  Fixture f;
  auto list = f.msgFileMessage()->AttachmentList();
  const m::Bytes content{'%', 'P', 'D', 'F', 0, 1, 2};
  const m::Bytes other{'%', 'P', 'D', 'F', 0, 1, 3};
  m::DigestAhead& ahead = m::DigestAhead::instance();
  m::DigestAhead::Scope on(true);
  ahead.prepare(other.data(), other.size());
  const std::size_t kept = ahead.keptBytes();
  ASSERT_GT(kept, 0u);
  list->Item(1)->SaveAsFile((f.dir / "a.pdf").string());
  EXPECT_EQ(e::FileSha256((f.dir / "a.pdf").string()), m::sha256Hex(content.data(), content.size()));
  EXPECT_EQ(ahead.keptBytes(), kept);
  ahead.prepare(content.data(), content.size());
  list->Item(1)->SaveAsFile((f.dir / "b.pdf").string());
  EXPECT_EQ(e::FileSha256((f.dir / "b.pdf").string()), m::sha256Hex(content.data(), content.size()));
  EXPECT_EQ(ahead.keptBytes(), kept);
}

TEST(Attachments, FileNamesAndSavedContent) {
  Fixture f;
  auto list = f.msgFileMessage()->AttachmentList();
  EXPECT_EQ(list->Item(3)->FileName(), "Inner news.msg");
  EXPECT_EQ(list->Item(5)->FileName(), "plan.xlsx");

  list->Item(1)->SaveAsFile((f.dir / "report.pdf").string());
  EXPECT_EQ(t::readFile(f.dir / "report.pdf"), (std::vector<std::uint8_t>{'%', 'P', 'D', 'F', 0, 1, 2}));
  list->Item(3)->SaveAsFile((f.dir / "inner.msg").string());
  EXPECT_EQ(m::msg::readMessageFile(f.dir / "inner.msg").props.getString(0x0037), "Inner news");
  list->Item(4)->SaveAsFile((f.dir / "picture.bin").string());
  EXPECT_EQ(m::msg::readMessageFile(f.dir / "picture.bin").props.getString(0x0037), "ole")
      << "the OLE storage is written as the compound file it is";
  EXPECT_THAT(storeError([&] { list->Item(5)->SaveAsFile((f.dir / "plan.xlsx").string()); }),
              HasSubstr("\\\\server\\share\\plan.xlsx"));
  EXPECT_FALSE(t::fs::exists(f.dir / "plan.xlsx"));
  storeError([&] { list->Item(5)->ReadContent([](const std::uint8_t*, std::size_t) {}); });
  storeError([&] { list->Item(1)->SaveAsFile((f.dir / "no/such/dir/x").string()); });

  using varnolt::platform::detail::AttachmentFileName;
  m::Attachment named = attachment("", "", "Minutes");
  named.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachEmbeddedMessage));
  EXPECT_EQ(AttachmentFileName(named), "Minutes.msg");
  named.props.set(m::tag::DisplayName, m::PropValue::unicode("Minutes.MSG"));
  EXPECT_EQ(AttachmentFileName(named), "Minutes.MSG");
  m::Attachment bare = attachment("", "", "");
  bare.embedded = std::make_unique<m::Message>();
  bare.embedded->props.set(m::tag::Subject, m::PropValue::unicode(std::string("\x01\x04RE: Hello")));
  EXPECT_EQ(AttachmentFileName(bare), "RE: Hello.msg");
  bare.embedded->props = {};
  EXPECT_EQ(AttachmentFileName(bare), "Untitled.msg");
  // An embedded message is saved as an item file: whatever its attachment
  // is called, the name ends in ".msg".
  named.props.set(m::tag::AttachLongFilename, m::PropValue::unicode("This is an embedded message"));
  EXPECT_EQ(AttachmentFileName(named), "This is an embedded message.msg");
  named.props.set(m::tag::AttachLongFilename, m::PropValue::unicode("Scan.pdf"));
  EXPECT_EQ(AttachmentFileName(named), "Scan.pdf.msg");
  named.props.set(m::tag::AttachLongFilename, m::PropValue::unicode("Kept.Msg"));
  EXPECT_EQ(AttachmentFileName(named), "Kept.Msg");
}

}  // namespace

// ---- reading ahead

// The helper thread hands over exactly what the walk's own read gives, and
// never a message the walk has passed by or one of a list it no longer
// follows. A large attachment's data stays in the file: adopted by the
// walk's store, it reads from there even once the helper's reader is gone.
TEST(ReadAhead, HandsOverWhatTheWalkWouldReadAndNothingElse) {
  t::TempDir dir;
  const t::fs::path path = dir / "many.pst";
  std::vector<pst::NodeId> ids;
  {
    auto w = pst::Writer::create(path, "Many");
    auto inbox = w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note");
    for (int i = 0; i < 60; ++i) {
      m::Message message = i % 7 == 0 ? messageWithEveryAttachment() : mail("Number " + std::to_string(i), "body");
      if (i == 12) {
        m::Attachment big = attachment("big.bin", "big.bin", "big.bin");
        big.props.set(m::tag::AttachDataBinary, m::PropValue::binary(m::Bytes(varnolt::platform::detail::kDeferAttachmentDataFrom, 0x5A)));
        message.attachments.push_back(std::move(big));
      }
      w->addMessage(inbox, message);
    }
    w->close();
  }
  pst::OpenOptions options;
  options.deferAttachmentDataFrom = varnolt::platform::detail::kDeferAttachmentDataFrom;
  auto store = pst::Store::open(path, options);
  for (pst::NodeId id : store->ipmSubtree()->subfolderIds())
    if (store->folder(id).displayName() == "Inbox") ids = store->folder(id).messageIds();
  ASSERT_EQ(ids.size(), 60u);
  const pst::NodeId large = ids[12];
  std::optional<m::Message> adopted, notAdopted;
  std::size_t largeHanded = 0;
  // Called once the helper that read the large message is gone.
  auto largeDataReads = [&] {
    if (!adopted) return;
    ++largeHanded;
    const m::PropValue* data = adopted->attachments.back().props.get(m::tag::AttachDataBinary);
    ASSERT_TRUE(data && data->source);
    EXPECT_TRUE(data->bytes() == m::Bytes(varnolt::platform::detail::kDeferAttachmentDataFrom, 0x5A));
    EXPECT_THROW(notAdopted->attachments.back().props.get(m::tag::AttachDataBinary)->bytes(), m::Error);
    adopted.reset();
  };

  using varnolt::platform::detail::MessageReadAhead;
  for (int round = 0; round < 20; ++round) {
    largeDataReads();
    MessageReadAhead ahead(path, options);
    ahead.follow(ids);
    // Every other round the helper is let fill what it keeps first, so
    // that those rounds hand over messages whatever the machine's load;
    // in the others the walk races it.
    const bool helperFirst = round % 2 == 0;
    if (helperFirst) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (ahead.ready() < MessageReadAhead::kMostKept && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ASSERT_EQ(ahead.ready(), MessageReadAhead::kMostKept);
    }
    std::size_t handed = 0;
    // The walk skips the first ten, then takes the rest in order; the
    // ones skipped are gone for good.
    for (std::size_t i = 10; i < ids.size(); ++i) {
      std::optional<m::Message> message = ahead.take(ids[i]);
      // The walk's own read, as the walk does it when nothing is handed
      // over, or to compare with what was.
      const m::Message own = store->readMessage(ids[i]);
      if (!message) continue;
      ++handed;
      if (ids[i] == large) {
        notAdopted = *message;
        store->adoptDeferredData(*message);
        adopted = std::move(message);
        continue;
      }
      EXPECT_TRUE(*message == own) << i;
    }
    for (std::size_t i = 0; i < 10; ++i) EXPECT_FALSE(ahead.take(ids[i])) << i;
    // A new list: what is left of the old one is let go of.
    ahead.follow({ids[2], ids[3]});
    EXPECT_FALSE(ahead.take(ids[59]));
    std::optional<m::Message> again = ahead.take(ids[3]);
    if (again) {
      EXPECT_TRUE(*again == store->readMessage(ids[3]));
    }
    // Read before the walk came to them: the six after the skipped ten.
    if (helperFirst) {
      EXPECT_GE(handed, MessageReadAhead::kMostKept - 10) << round;
    }
  }
  largeDataReads();
  // Read ahead in every round where the helper went first.
  EXPECT_GE(largeHanded, 10u);
  // While attachments are zipped, the helper also deflates the data of
  // those it hands over, ready for their archives; while they are saved,
  // it works out their digests.
  {
    varnolt::zip::DeflateAhead::Scope zipping(true);
    m::DigestAhead::Scope digesting(true);
    MessageReadAhead ahead(path, options);
    ahead.follow(ids);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ahead.ready() < MessageReadAhead::kMostKept && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::size_t prepared = 0;
    for (pst::NodeId id : ids) {
      const std::optional<m::Message> message = ahead.take(id);
      if (!message) continue;
      for (const m::Attachment& a : message->attachments) {
        const m::Bytes* data = a.dataBinary();
        if (a.method() != m::kAttachByValue || !data || data->empty()) continue;
        const auto ready = varnolt::zip::DeflateAhead::instance().take(data->data(), data->size());
        ASSERT_TRUE(ready);
        EXPECT_EQ(ready->input, *data);
        EXPECT_EQ(m::DigestAhead::instance().take(data->data(), data->size()),
                  m::sha256Hex(data->data(), data->size()));
        ++prepared;
      }
    }
    EXPECT_GT(prepared, 0u);
  }
  EXPECT_EQ(varnolt::zip::DeflateAhead::instance().keptBytes(), 0u);
  EXPECT_EQ(m::DigestAhead::instance().keptBytes(), 0u);
  // Once the walk asks for copies, the helper hands messages over with
  // their size counted and, while it is ahead of the walk, a copy of each
  // made on its own thread.
  {
    MessageReadAhead ahead(path, options);
    std::optional<m::Message> copy;
    EXPECT_FALSE(ahead.take(ids[0], nullptr, &copy));  // nothing followed yet
    ahead.follow(ids);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ahead.ready() < MessageReadAhead::kMostKept && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::size_t copies = 0;
    for (pst::NodeId id : ids) {
      std::size_t bytes = 0;
      copy.reset();
      const std::optional<m::Message> message = ahead.take(id, &bytes, &copy);
      if (!message) continue;
      EXPECT_EQ(bytes, varnolt::platform::detail::HeldMessageBytes(*message));
      if (!copy) continue;
      EXPECT_TRUE(*copy == *message);
      ++copies;
    }
    // All but the first few, read before the helper was ahead.
    EXPECT_GE(copies, MessageReadAhead::kMostKept - MessageReadAhead::kMostKept / 4);
  }
  // A node that is no message is not handed over; the walk meets the
  // failure itself.
  varnolt::platform::detail::MessageReadAhead ahead(path, options);
  ahead.follow({0x7FFFFFE4u, ids[0]});
  EXPECT_FALSE(ahead.take(0x7FFFFFE4u));
  EXPECT_THROW(store->readMessage(0x7FFFFFE4u), std::exception);
}
