// Special folders and receive folders of new files whose folders are
// made anew from a store's (the compression run; copies are compared end
// to end in the compress tests): every special-folder id of the store,
// the root folder and the Inbox names the folder on the same path as in
// the source, with the same container class, or is left out when that
// folder is not there; the receive folders follow the source's. Ids are
// compared by what they name, read back through our reader.

#include <map>
#include <set>

#include "tests/pst_writer/writer_fixtures.h"
#include "tests/support/special_folders.h"

namespace varnolt::test::pstw {
namespace {

using special::Describer;
using special::expected;
using special::kOutlookSamples;
using special::Named;
using special::withoutEmpty;

// A new file filled by `fill`, held to the checker's rules and read back.
std::unique_ptr<p::Store> written(const TempDir& dir, const std::function<void(p::Writer&)>& fill) {
  fs::path file = dir / "new.pst";
  auto w = p::Writer::create(file, "New");
  fill(*w);
  w->close();
  EXPECT_EQ(findings(file), "");
  return p::Store::open(file);
}

// The compression run makes mail folders by name and copies the others
// whole; here every folder under the top is made by name but "Drafts",
// and nothing outside the top is made.
TEST(SpecialFolders, AFileMadeAnewNamesItsFoldersOnTheSourcesPaths) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const char* name : kOutlookSamples) {
    SCOPED_TRACE(name);
    auto src = p::Store::open(samplesDir() / "pst" / name);
    TempDir dir;
    auto made = written(dir, [&](p::Writer& w) {
      w.keepSettingsOf(*src);
      std::function<void(const p::Folder&, p::Writer::FolderId)> make = [&](const p::Folder& f,
                                                                          p::Writer::FolderId to) {
        for (p::NodeId c : f.subfolderIds()) {
          p::Folder child = src->folder(c);
          if (child.isSearchFolder() || child.displayName() == "Drafts") continue;
          std::optional<p::Writer::FolderId> into;
          if (child.displayName() == "Deleted Items" && to == w.ipmSubtree()) {
            into = w.deletedItems();
            w.setFolderProperties(*into, child.properties());
          }
          if (!into) into = w.createFolder(to, child.displayName(), child.containerClass().value_or(""));
          make(child, *into);
        }
      };
      make(*src->ipmSubtree(), w.ipmSubtree());
    });
    Describer before(*src), after(*made);
    std::set<std::string> there;
    for (const auto& [nid, path] : after.folders()) there.insert(path);
    there.erase("(search)");  // search folders are never carried over
    Named want = expected(before.named(), [&](const std::string& t) { return there.count(t) != 0; });
    EXPECT_EQ(withoutEmpty(want), withoutEmpty(after.named()));
    // Nothing is named that the file does not have, and Drafts is gone.
    for (const auto& [k, list] : after.named()) {
      for (const std::string& t : list) {
        EXPECT_NE(t, "(nothing)") << k;
        EXPECT_EQ(t.find("/Drafts#"), std::string::npos) << k;
      }
    }
    if (auto inbox = p::inboxOf(p::readReceiveFolders(*src))) {
      auto newInbox = p::inboxOf(p::readReceiveFolders(*made));
      ASSERT_TRUE(newInbox.has_value());
      EXPECT_EQ(after.folderAt(*newInbox), before.folderAt(*inbox));
    }
  }
}

// Outlook's calendar sample names its Calendar, Contacts and Tasks from
// the root and the Inbox; a made-anew file names the same folders.
TEST(SpecialFolders, CalendarContactsAndTasksKeepTheirIds) {
  VARNOLT_REQUIRE_SAMPLES();
  auto src = p::Store::open(samplesDir() / "pst" / "calendar-contacts-distlist.pst");
  TempDir dir;
  p::Writer::FolderId inbox = 0;
  auto made = written(dir, [&](p::Writer& w) {
    w.keepSettingsOf(*src);
    inbox = w.createFolder(w.ipmSubtree(), "Inbox", "IPF.Note");
    w.createFolder(w.ipmSubtree(), "Tasks", "IPF.Task");
    w.createFolder(w.ipmSubtree(), "Calendar", "IPF.Appointment");
  });
  Named n = Describer(*made).named();
  for (const char* owner : {"root", "inbox"}) {
    EXPECT_EQ(n[std::string(owner) + " 0x36D0"], std::vector<std::string>{"<top>/Calendar#0 [IPF.Appointment]"});
    EXPECT_EQ(n[std::string(owner) + " 0x36D4"], std::vector<std::string>{"<top>/Tasks#0 [IPF.Task]"});
    EXPECT_TRUE(n[std::string(owner) + " 0x36D1"].empty());  // no Contacts folder here
  }
  EXPECT_EQ(n["receive \"IPM\""], std::vector<std::string>{"<top>/Inbox#0 [IPF.Note]"});
  EXPECT_EQ(n["receive \"IPC\""], std::vector<std::string>{" []"});  // the root
  EXPECT_EQ(*p::inboxOf(p::readReceiveFolders(*made)), inbox);
  EXPECT_EQ(made->storeProperties().getInt32(m::tag::ValidFolderMask).value_or(0) & 0x02, 0x02);
}

// A new file without a source: Outlook's receive folders, with the Inbox
// under the top of personal folders when there is one.
TEST(SpecialFolders, ANewFileReceivesInItsInbox) {
  TempDir dir;
  for (bool withInbox : {true, false}) {
    fs::path file = dir / (withInbox ? "inbox.pst" : "none.pst");
    auto w = p::Writer::create(file, "New");
    if (withInbox) w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note");
    w->close();
    EXPECT_EQ(findings(file), "");
    auto s = p::Store::open(file);
    std::map<std::string, std::string> rows;
    for (const auto& r : p::readReceiveFolders(*s)) rows[r.messageClass] = s->folder(r.folder).displayName();
    if (withInbox) {
      EXPECT_EQ(rows, (std::map<std::string, std::string>{{"", "Inbox"}, {"IPM", "Inbox"}, {"Report.IPM", "Inbox"}, {"IPC", ""}}));
    } else {
      EXPECT_EQ(rows, (std::map<std::string, std::string>{{"", ""}, {"IPC", ""}}));
    }
    EXPECT_EQ((s->storeProperties().getInt32(m::tag::ValidFolderMask).value_or(0) & 0x02) != 0, withInbox);
  }
}

}  // namespace
}  // namespace varnolt::test::pstw
