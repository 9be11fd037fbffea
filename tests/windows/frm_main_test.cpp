// The main window as a user drives it: the PST list and its button rules,
// the destination, the language menu, Contents, About, and the options
// window that Compress opens.

#include <array>
#include <functional>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGroupBox>
#include <QRegularExpression>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>

#include "controls/upb.h"
#include "controls/xpstyle.h"
#include "windows/artwork.h"
#include "windows/layout.h"
#include "windows/frm_about.h"
#include "windows/frm_merge.h"
#include "windows/help_viewer.h"
#include "window_fixture.h"

namespace varnolt::windows::test {
namespace {

using localisation::LanguageItem;

// Runs act on the modal window of type T once it is shown (a window's
// load may process events before it is shown, so a zero timer is too
// early).
template <class T>
void whenModal(std::function<void(T*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    auto* modal = qobject_cast<T*>(QApplication::activeModalWidget());
    if (modal == nullptr || !modal->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    act(modal);
  });
  timer->start();
}

QStringList entries(const frmMain& w) {
  QStringList out;
  for (int i = 1; i <= w.PstCount(); ++i) out << w.PstEntry(i);
  return out;
}

TEST_F(WindowFixture, LayoutFromTwipsFontsAndBanner) {
  EXPECT_EQ(window->centralWidget()->width(), 553);  // 8295 twips
  EXPECT_EQ(window->CmdCompress->geometry(), QRect(224, 416, 147, 25));
  EXPECT_EQ(window->PSTListView->geometry(), QRect(8, 24, 369, 161));
  EXPECT_EQ(window->PSTListView->parentWidget(), window->picBack);
  EXPECT_EQ(window->picBack->parentWidget(), window->fraSelectPSTFiles);
  EXPECT_EQ(BannerPicture(EnglishBannerTagline()).size(), QSize(601, 107));
  const QString verdana = FirstInstalledFamily({QStringLiteral("Verdana")});
  EXPECT_EQ(window->font().family(), verdana.isEmpty() ? VerdanaFont().family() : verdana);
  EXPECT_DOUBLE_EQ(window->font().pointSizeF(), 8.25);
  EXPECT_DOUBLE_EQ(window->CmdAddFile->font().pointSizeF(), 8.25);
  EXPECT_EQ(window->cmdAddFolder->font().family(), window->font().family());
  EXPECT_FALSE(window->XPStyle1->isVisible());
  EXPECT_EQ(window->XPStyle1->size(), QSize(54, 54));
}

int darkestGrey(const QImage& image) {
  int darkest = 255;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) darkest = std::min(darkest, qGray(image.pixel(x, y)));
  return darkest;
}

TEST_F(WindowFixture, FixedSizeWholeBannerAndLongPathsShortenedInTheMiddle) {
  window->show();
  const QSize designed = window->size();
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  window->showMaximized();
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  EXPECT_FALSE(window->isMaximized());
  EXPECT_EQ(window->size(), designed);

  // The 601-pixel banner is shown whole across the 553-pixel window.
  const QRect bannerRect = window->banner->BannerRect();
  EXPECT_EQ(bannerRect, QRect(0, 0, 553, 98));
  const QImage shown = window->banner->grab().toImage();
  const QImage whole = BannerPicture(window->banner->Tagline())
                           .scaled(bannerRect.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                           .toImage();
  for (const QPoint at : {QPoint(545, 84), QPoint(550, 40), QPoint(300, 90), QPoint(5, 5)}) {
    const QColor got = shown.pixelColor(at), want = whole.pixelColor(at);
    EXPECT_NEAR(got.red(), want.red(), 12) << at.x() << "," << at.y();
    EXPECT_NEAR(got.green(), want.green(), 12) << at.x() << "," << at.y();
    EXPECT_NEAR(got.blue(), want.blue(), 12) << at.x() << "," << at.y();
  }
  // Its tagline is one of the texts.
  window->mnuLanguage_Click(LanguageItem::mnuGerman);
  EXPECT_EQ(window->banner->Tagline(), satelliteText("407", 184));
  EXPECT_TRUE(window->banner->Tagline().contains(QStringLiteral("Anh\u00e4nge")));

  // A long path: the list keeps it whole for the run, shows it within its
  // width, and tells it whole as a tooltip.
  const std::string deep = "Mail archives/" + std::string(60, 'x') + "/" + std::string(60, 'y') + "/Inbox 2019.pst";
  const QString longPath = pst(deep);
  addFile(longPath);
  QTreeWidgetItem* item = window->PSTListView->topLevelItem(0);
  EXPECT_EQ(item->text(0), longPath);
  EXPECT_EQ(item->toolTip(0), longPath);
  EXPECT_LE(window->PSTListView->header()->sectionSize(0), window->PSTListView->viewport()->width());
  EXPECT_EQ(window->PSTListView->textElideMode(), Qt::ElideMiddle);

  // The destination box likewise, and its text is drawn as dark as any
  // enabled box's although nobody can type in it.
  const QString longFolder = q(dir / std::string(80, 'd') / "Compressed");
  fs::create_directories(longFolder.toStdString());
  dialogs.folders.push_back(longFolder);
  window->CmdBrowse_Click();
  EXPECT_FALSE(window->txtDestFolderPath->isEnabled());
  EXPECT_EQ(window->txtDestFolderPath->text(), longFolder + "/");
  EXPECT_EQ(window->txtDestFolderPath->toolTip(), longFolder + "/");
  auto* box = static_cast<PathBox*>(window->txtDestFolderPath);
  EXPECT_TRUE(box->ShownText().endsWith(QLatin1String("Compressed/")));
  EXPECT_TRUE(box->ShownText().startsWith(q(dir.path()).left(4)));
  EXPECT_LT(box->ShownText().size(), box->text().size());
  QLineEdit enabled;
  enabled.resize(box->size());
  enabled.setText(QStringLiteral("/tmp/abc"));
  EXPECT_LE(darkestGrey(box->grab().toImage()), darkestGrey(enabled.grab().toImage()) + 30);
}

// --- the button rules, one row at a time --------------------------------

enum Expect : char { On = '1', Off = '0', Same = '-' };

struct RuleRow {
  const char* event;
  std::function<void(WindowFixture&)> setup;
  std::function<void(WindowFixture&)> act;
  std::array<Expect, 5> expect;  // AddFile, AddFolder, Remove, Browse, Compress
};

class ButtonRules : public WindowFixture {
 protected:
  std::array<QPushButton*, 5> buttons() const {
    return {window->CmdAddFile, window->cmdAddFolder, window->CmdRemove, window->CmdBrowse, window->CmdCompress};
  }
  friend struct Access;

 public:
  void check(const RuleRow& row) {
    for (bool preset : {true, false}) {
      makeWindow({"409"}, "en_US.UTF-8");
      dialogs.calls.clear();
      row.setup(*this);
      for (QPushButton* b : buttons()) b->setEnabled(preset);
      row.act(*this);
      const char* names[] = {"CmdAddFile", "cmdAddFolder", "CmdRemove", "CmdBrowse", "CmdCompress"};
      for (std::size_t i = 0; i < 5; ++i) {
        const bool want = row.expect[i] == Same ? preset : row.expect[i] == On;
        EXPECT_EQ(buttons()[i]->isEnabled(), want)
            << row.event << ": " << names[i] << " with every button " << (preset ? "on" : "off") << " before";
      }
    }
  }
  // Public doors for the table's lambdas.
  QString makePst(const std::string& relative) { return pst(relative); }
  void add(const QString& path) { addFile(path); }
  frmMain& w() { return *window; }
  ScriptedDialogs& d() { return dialogs; }
  fs::path folder(const std::string& relative) {
    fs::create_directories(dir / relative);
    return dir / relative;
  }
};

TEST_F(ButtonRules, EveryRowOfTheTable) {
  const auto none = [](WindowFixture&) {};
  auto& self = *this;
  const std::vector<RuleRow> rows = {
      {"Add File, file added", none,
       [&](WindowFixture&) { self.add(self.makePst("one.pst")); }, {On, Same, Off, On, Same}},
      {"Add File, duplicate", [&](WindowFixture&) { self.add(self.makePst("one.pst")); },
       [&](WindowFixture&) { self.add(self.makePst("one.pst")); }, {On, Same, Same, Same, Same}},
      {"Add File, cancelled", none, [&](WindowFixture&) { self.add(QString()); }, {On, Same, Off, Same, Same}},
      {"Add Folder, each file added", [&](WindowFixture&) { self.makePst("f/a.pst"); self.makePst("f/b.pst"); },
       [&](WindowFixture&) {
         self.d().folders.push_back(q(self.folder("f")));
         self.w().cmdAddFolder_Click();
       },
       {Same, On, Same, On, Same}},
      {"Add Folder, duplicate", [&](WindowFixture&) { self.add(self.makePst("f/a.pst")); },
       [&](WindowFixture&) {
         self.d().folders.push_back(q(self.folder("f")));
         self.w().cmdAddFolder_Click();
       },
       {Same, On, Same, Same, Same}},
      {"Add Folder, no PST file", none,
       [&](WindowFixture&) {
         self.d().folders.push_back(q(self.folder("empty")));
         self.w().cmdAddFolder_Click();
       },
       {Same, On, Same, Same, Same}},
      {"Add Folder, cancelled, destination box empty", none,
       [&](WindowFixture&) {
         self.d().folders.push_back(QString());
         self.w().cmdAddFolder_Click();
       },
       {Same, On, Same, Same, Off}},
      {"Add Folder, cancelled, destination chosen", [&](WindowFixture&) { self.w().txtDestFolderPath->setText("/out/"); },
       [&](WindowFixture&) {
         self.d().folders.push_back(QString());
         self.w().cmdAddFolder_Click();
       },
       {Same, On, Same, Same, Same}},
      {"Remove, list left empty",
       [&](WindowFixture&) {
         self.add(self.makePst("one.pst"));
         self.w().PSTListView->topLevelItem(0)->setSelected(true);
       },
       [&](WindowFixture&) { self.w().CmdRemove_Click(); }, {Same, Same, Off, Off, Off}},
      {"Remove, list not empty, destination chosen",
       [&](WindowFixture&) {
         self.add(self.makePst("one.pst"));
         self.add(self.makePst("two.pst"));
         self.w().strSelectedDestFolder = "/out/";
         self.w().PSTListView->topLevelItem(0)->setSelected(true);
       },
       [&](WindowFixture&) { self.w().CmdRemove_Click(); }, {Same, Same, Off, Same, On}},
      {"Remove, list not empty, no destination chosen",
       [&](WindowFixture&) {
         self.add(self.makePst("one.pst"));
         self.add(self.makePst("two.pst"));
         self.w().PSTListView->topLevelItem(0)->setSelected(true);
       },
       [&](WindowFixture&) { self.w().CmdRemove_Click(); }, {Same, Same, Off, Same, Same}},
      {"Entry clicked", [&](WindowFixture&) { self.add(self.makePst("one.pst")); },
       [&](WindowFixture&) { self.w().PSTListView_ItemClick(self.w().PSTListView->topLevelItem(0)); },
       {Same, Same, On, Same, Same}},
  };
  for (const auto& row : rows) check(row);
}

// --- the list --------------------------------------------------------------

TEST_F(WindowFixture, AddFileAsksWithTitleAndFilterAndRefusesTheSameFile) {
  bool addFileOnWhileOpen = true;
  dialogs.whileOpen = [&](const DialogCall& call) {
    if (call.kind == "file") addFileOnWhileOpen = window->CmdAddFile->isEnabled();
  };
  const QString one = pst("mail/one.pst");
  addFile(one);
  EXPECT_FALSE(addFileOnWhileOpen);
  ASSERT_EQ(dialogs.calls.size(), 1u);
  EXPECT_EQ(dialogs.calls[0].title, QStringLiteral("Select a PST file"));
  EXPECT_EQ(dialogs.calls[0].text, QStringLiteral("Outlook Personal Storage File (*.pst)|*.pst"));
  EXPECT_EQ(entries(*window), QStringList{one});

  // The same file by another spelling is refused with the message...
  addFile(q(dir / "mail" / ".." / "mail" / "one.pst"));
  auto messages = dialogs.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, QStringLiteral(" File is already selected "));
  EXPECT_EQ(messages[0].title, QStringLiteral("Varnolt"));
  EXPECT_EQ(window->PstCount(), 1);

  // ...but a file whose path merely begins like a listed one is its own file.
  const QString longer = pst("mail/one.pstx");
  const QString shorter = pst("mail/on");
  addFile(longer);
  addFile(shorter);
  EXPECT_EQ(entries(*window), (QStringList{one, longer, shorter}));
  EXPECT_EQ(dialogs.messages().size(), 1u);
}

TEST_F(WindowFixture, AddFolderStopsAtTheFirstDuplicate) {
  const QString a = pst("f/a.pst"), b = pst("f/b.pst");
  pst("f/c.pst");
  addFile(b);
  dialogs.folders.push_back(q(dir / "f"));
  window->cmdAddFolder_Click();
  EXPECT_EQ(dialogs.calls.back().kind, "message");
  EXPECT_EQ(dialogs.calls.back().text, QStringLiteral("Folder is already selected "));
  EXPECT_EQ(dialogs.calls.back().title, QStringLiteral("Varnolt"));
  EXPECT_EQ(entries(*window), (QStringList{b, a}));  // c.pst was not added
  const auto folderCall = std::find_if(dialogs.calls.begin(), dialogs.calls.end(),
                                       [](const DialogCall& c) { return c.kind == "folder"; });
  ASSERT_NE(folderCall, dialogs.calls.end());
  EXPECT_EQ(folderCall->title, QStringLiteral("Select a PST File Folder"));
}

TEST_F(WindowFixture, AddFolderTakesHiddenFilesButNotSubfolders) {
  const QString hidden = pst("g/.hidden.pst"), upper = pst("g/MAIL.PST");
  pst("g/sub/deep.pst");
  pst("g/readme.txt");
  dialogs.folders.push_back(q(dir / "g") + "/");  // a trailing "/" is not doubled
  window->cmdAddFolder_Click();
  EXPECT_TRUE(dialogs.messages().empty());
  EXPECT_EQ(entries(*window), (QStringList{hidden, upper}));

  fs::create_directories(dir / "h" / "sub");
  pst("h/sub/deep.pst");
  dialogs.folders.push_back(q(dir / "h"));
  window->cmdAddFolder_Click();
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_EQ(dialogs.messages()[0].text, QStringLiteral("The selected Folder doesn't contain PST File"));
  EXPECT_EQ(window->PstCount(), 2);
}

TEST_F(WindowFixture, RemoveTakesEverySelectedEntryAdjacentOnesToo) {
  QStringList all;
  for (const char* name : {"1.pst", "2.pst", "3.pst", "4.pst", "5.pst"}) {
    all << pst(name);
    addFile(all.back());
  }
  for (int i : {0, 1, 3}) window->PSTListView->topLevelItem(i)->setSelected(true);
  window->CmdRemove_Click();
  EXPECT_EQ(entries(*window), (QStringList{all[2], all[4]}));
}

TEST_F(WindowFixture, RemovingTheLastEntryClearsTheDestination) {
  addFile(pst("only.pst"));
  dialogs.folders.push_back(q(dir.path()));
  window->CmdBrowse_Click();
  EXPECT_EQ(window->txtDestFolderPath->text(), q(dir.path()) + "/");
  EXPECT_TRUE(window->CmdCompress->isEnabled());
  window->PSTListView->topLevelItem(0)->setSelected(true);
  window->CmdRemove_Click();
  EXPECT_EQ(window->txtDestFolderPath->text(), QString());
  EXPECT_FALSE(window->CmdCompress->isEnabled());
  EXPECT_FALSE(window->CmdBrowse->isEnabled());
  EXPECT_EQ(window->strSelectedDestFolder, q(dir.path()) + "/");  // kept
  addFile(pst("again.pst"));
  EXPECT_TRUE(window->CmdBrowse->isEnabled());
  EXPECT_FALSE(window->CmdCompress->isEnabled());
}

TEST_F(WindowFixture, BrowseAppendsOneSlashAndCancelClears) {
  addFile(pst("one.pst"));
  dialogs.folders = {QStringLiteral("/"), q(dir.path()), QString()};
  window->CmdBrowse_Click();
  EXPECT_EQ(window->txtDestFolderPath->text(), QStringLiteral("/"));
  EXPECT_EQ(dialogs.calls.back().title, QStringLiteral("Select Folder to Save Compressed PST File"));
  window->CmdBrowse_Click();
  EXPECT_EQ(window->txtDestFolderPath->text(), q(dir.path()) + "/");
  EXPECT_EQ(window->DestinationFolder(), q(dir.path()) + "/");
  EXPECT_TRUE(window->CmdCompress->isEnabled());
  window->CmdBrowse_Click();  // cancelled
  EXPECT_EQ(window->txtDestFolderPath->text(), QString());
  EXPECT_FALSE(window->CmdCompress->isEnabled());
  EXPECT_TRUE(window->CmdBrowse->isEnabled());
  EXPECT_FALSE(window->txtDestFolderPath->isEnabled());
}

TEST_F(WindowFixture, SelectingWithTheKeyboardSwitchesRemoveOnAsAClickDoes) {
  for (const char* name : {"1.pst", "2.pst", "3.pst"}) addFile(pst(name));
  window->show();
  window->activateWindow();
  window->PSTListView->setFocus();
  ASSERT_FALSE(window->CmdRemove->isEnabled());

  QTest::keyClick(window->PSTListView, Qt::Key_Down);
  ASSERT_EQ(window->PSTListView->selectedItems().size(), 1);
  EXPECT_TRUE(window->CmdRemove->isEnabled());
  window->CmdRemove->click();
  EXPECT_EQ(window->PstCount(), 2);
  EXPECT_FALSE(window->CmdRemove->isEnabled());

  // Shift extends the selection; Remove then takes both entries.
  window->PSTListView->clearSelection();
  window->PSTListView->setCurrentItem(window->PSTListView->topLevelItem(0), 0, QItemSelectionModel::NoUpdate);
  QTest::keyClick(window->PSTListView, Qt::Key_Space);
  QTest::keyClick(window->PSTListView, Qt::Key_Down, Qt::ShiftModifier);
  EXPECT_EQ(window->PSTListView->selectedItems().size(), 2);
  EXPECT_TRUE(window->CmdRemove->isEnabled());
  window->CmdRemove->click();
  EXPECT_EQ(window->PstCount(), 0);

  addFile(pst("4.pst"));
  window->PSTListView->setFocus();
  QTest::keyClick(window->PSTListView, Qt::Key_A, Qt::ControlModifier);
  EXPECT_TRUE(window->CmdRemove->isEnabled());
}

// Drops local paths on the list as a file manager would.
void dropOn(frmMain& w, const QStringList& paths) {
  QMimeData data;
  QList<QUrl> urls;
  for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
  data.setUrls(urls);
  QWidget* target = w.PSTListView->viewport();
  const QPointF at(10, 10);
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
  EXPECT_EQ(drop.dropAction(), Qt::CopyAction);  // the files stay where they are
}

TEST_F(WindowFixture, DroppedFilesAndFoldersFollowTheRulesOfAddFileAndAddFolder) {
  window->show();
  const QString single = pst("single.pst");
  const QString upper = pst("UPPER.PST");
  varnolt::test::writeFile(dir / "notes.txt", std::string("text"));
  pst("box/a.pst");
  pst("box/b.pst");
  pst("box/sub/deep.pst");
  dropOn(*window, {single, q(dir / "notes.txt"), upper, q(dir / "box")});
  QStringList listed = entries(*window);
  EXPECT_EQ(listed.mid(0, 2), (QStringList{single, upper}));
  QStringList expected{q(dir / "box" / "a.pst"), q(dir / "box" / "b.pst"), single, upper};
  listed.sort();
  expected.sort();
  EXPECT_EQ(listed, expected);
  EXPECT_TRUE(dialogs.messages().empty());
  EXPECT_TRUE(window->CmdBrowse->isEnabled());
  EXPECT_FALSE(window->CmdRemove->isEnabled());

  // The same file again is refused; a folder stops at its first listed file.
  dropOn(*window, {single});
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_EQ(dialogs.messages()[0].text, QStringLiteral(" File is already selected "));
  dropOn(*window, {q(dir / "box")});
  ASSERT_EQ(dialogs.messages().size(), 2u);
  EXPECT_EQ(dialogs.messages()[1].text, QStringLiteral("Folder is already selected "));
  EXPECT_EQ(window->PstCount(), 4);
  fs::create_directories(dir / "nothing here");
  dropOn(*window, {q(dir / "nothing here")});
  ASSERT_EQ(dialogs.messages().size(), 3u);
  EXPECT_EQ(dialogs.messages()[2].text, QStringLiteral("The selected Folder doesn't contain PST File"));

  // Something that holds no local file is not taken at all.
  QMimeData text;
  text.setText(QStringLiteral("/tmp/x.pst"));
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window->PSTListView->viewport(), &enter);
  EXPECT_FALSE(enter.isAccepted());
}

TEST_F(WindowFixture, DeleteRemovesTheSelectionAndEmptySpaceClearsIt) {
  for (const char* name : {"1.pst", "2.pst", "3.pst"}) addFile(pst(name));
  window->show();
  QTreeWidget* list = window->PSTListView;
  const auto clickAt = [&](const QPoint& at) { QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at); };
  clickAt(list->visualItemRect(list->topLevelItem(1)).center());
  ASSERT_TRUE(window->CmdRemove->isEnabled());

  // Below the last entry: nothing selected, Remove off, the list unchanged.
  clickAt(QPoint(20, list->viewport()->height() - 5));
  EXPECT_TRUE(list->selectedItems().isEmpty());
  EXPECT_FALSE(window->CmdRemove->isEnabled());
  EXPECT_EQ(window->PstCount(), 3);
  QTest::keyClick(list, Qt::Key_Delete);  // nothing selected: nothing goes
  EXPECT_EQ(window->PstCount(), 3);

  list->topLevelItem(0)->setSelected(true);
  list->topLevelItem(2)->setSelected(true);
  QTest::keyClick(list, Qt::Key_Delete);
  EXPECT_EQ(entries(*window), QStringList{q(dir / "2.pst")});
  EXPECT_FALSE(window->CmdRemove->isEnabled());
}

TEST_F(WindowFixture, ClicksOnTheBackgroundSwitchRemoveOff) {
  window->show();
  addFile(pst("one.pst"));
  QTreeWidgetItem* item = window->PSTListView->topLevelItem(0);
  QTest::mouseClick(window->PSTListView->viewport(), Qt::LeftButton, {},
                    window->PSTListView->visualItemRect(item).center());
  EXPECT_TRUE(window->CmdRemove->isEnabled());
  QTest::mouseClick(window->picBack, Qt::LeftButton, {}, QPoint(385, 150));
  EXPECT_FALSE(window->CmdRemove->isEnabled());
  EXPECT_TRUE(item->isSelected());  // the selection itself stays

  window->PSTListView_ItemClick(item);
  QTest::mouseClick(window->centralWidget(), Qt::LeftButton, {}, QPoint(20, 20));
  EXPECT_FALSE(window->CmdRemove->isEnabled());
}

// --- languages ---------------------------------------------------------------

// The captions Load sets, by text id.
std::map<std::int32_t, QString> captions(const frmMain& w) {
  return {{101, w.lblSelectPST->text()},   {102, w.CmdAddFile->text()},     {103, w.cmdAddFolder->text()},
          {104, w.CmdRemove->text()},      {105, w.lblSelectDestPath->text()}, {106, w.CmdBrowse->text()},
          {107, w.CmdCompress->text()},    {108, w.PSTListView->headerItem()->text(0)},
          {110, w.mnuFile->title()},       {111, w.mnuExit->text()},        {112, w.mnuHelp->title()},
          {113, w.mnuContents->text()},    {114, w.mnuAbout->text()},       {115, w.sbVarnoltPanel1->text()},
          {144, w.mnuOpt->title()},        {145, w.mnuLang->title()},       {146, w.mnuEng->text()},
          {147, w.mnuFrench->text()},      {148, w.mnuGerman->text()},      {149, w.mnuSpanish->text()}};
}

void expectCaptionsOf(const frmMain& w, const std::string& code) {
  for (const auto& [id, text] : captions(w)) EXPECT_EQ(text, satelliteText(code, id)) << "id " << id << " in " << code;
}

std::vector<LanguageItem> checkedItems(const frmMain& w) {
  std::vector<LanguageItem> out;
  for (auto item : {LanguageItem::mnuEng, LanguageItem::mnuFrench, LanguageItem::mnuGerman, LanguageItem::mnuSpanish}) {
    if (w.IsChecked(item)) out.push_back(item);
  }
  return out;
}

// Every text a user can read in a window and its menus.
QStringList everyCaption(QWidget* window) {
  QStringList out{window->windowTitle()};
  for (const QLabel* label : window->findChildren<QLabel*>()) out << label->text();
  for (const QAbstractButton* button : window->findChildren<QAbstractButton*>()) out << button->text();
  for (const QGroupBox* box : window->findChildren<QGroupBox*>()) out << box->title();
  for (const QTreeWidget* list : window->findChildren<QTreeWidget*>()) out << list->headerItem()->text(0);
  for (const QMenu* menu : window->findChildren<QMenu*>()) {
    out << menu->title();
    for (const QAction* action : menu->actions()) out << action->text();
  }
  return out;
}

// The pairs the satellites write for letters outside ASCII.
const QRegularExpression kLetterPair(QStringLiteral("[aou]\"|n~|[ao]'"));

TEST_F(WindowFixture, FirstStartChecksTheLoadedLanguageSoNoCaptionShowsALetterPair) {
  struct Start {
    const char* locale;
    LanguageItem item;
    std::string code;
  };
  const Start starts[] = {{"de_DE.UTF-8", LanguageItem::mnuGerman, "407"},
                          {"es_ES.UTF-8", LanguageItem::mnuSpanish, "C0A"},
                          {"fr_FR.UTF-8", LanguageItem::mnuFrench, "40C"},
                          {"en_US.UTF-8", LanguageItem::mnuEng, "409"}};
  const QByteArray savedAll = qgetenv("LC_ALL");
  const QByteArray savedLang = qgetenv("LANG");
  for (const auto& start : starts) {
    for (const char* variable : {"LC_ALL", "LANG"}) {
      // Once through LC_ALL, once through LANG alone.
      qunsetenv("LC_ALL");
      qputenv(variable, start.locale);
      makeWindow({"407", "409", "40C", "C0A"}, "");
      EXPECT_EQ(checkedItems(*window), std::vector<LanguageItem>{start.item}) << start.locale;
      expectCaptionsOf(*window, start.code);

      frmMerge merge(*window, *texts, RunServices{{}, nullptr, {dir / "os-release"}}, window.get());
      merge.Load();
      frmAbout about(*texts, window.get());
      about.Load();
      for (QWidget* shown : std::initializer_list<QWidget*>{window.get(), &merge, &about}) {
        for (const QString& caption : everyCaption(shown)) {
          EXPECT_FALSE(caption.contains(kLetterPair))
              << start.locale << " " << variable << ": " << caption.toStdString();
        }
      }
    }
  }
  qputenv("LC_ALL", savedAll);
  qputenv("LANG", savedLang);
  if (savedAll.isNull()) qunsetenv("LC_ALL");
  if (savedLang.isNull()) qunsetenv("LANG");

  // Another territory of a language we have speaks that language; a
  // language we lack, or a missing satellite, starts in English, checked.
  makeWindow({"407", "409"}, "de_AT.UTF-8");
  EXPECT_EQ(checkedItems(*window), std::vector<LanguageItem>{LanguageItem::mnuGerman});
  expectCaptionsOf(*window, "407");
  makeWindow({"407", "409"}, "ja_JP.UTF-8");
  EXPECT_EQ(checkedItems(*window), std::vector<LanguageItem>{LanguageItem::mnuEng});
  expectCaptionsOf(*window, "409");
  makeWindow({"409"}, "es_ES.UTF-8");
  EXPECT_EQ(checkedItems(*window), std::vector<LanguageItem>{LanguageItem::mnuEng});
  expectCaptionsOf(*window, "409");
  makeWindow({}, "fr_FR.UTF-8");
  EXPECT_EQ(checkedItems(*window), std::vector<LanguageItem>{LanguageItem::mnuEng});
  EXPECT_EQ(window->CmdAddFile->text(), QStringLiteral("Add File"));
}

TEST_F(WindowFixture, EachLanguageRecaptionsEverythingButTheTitle) {
  addFile(pst("one.pst"));
  const QStringList before = entries(*window);
  const std::vector<std::pair<LanguageItem, std::string>> languages = {
      {LanguageItem::mnuGerman, "407"}, {LanguageItem::mnuFrench, "40C"},
      {LanguageItem::mnuSpanish, "C0A"}, {LanguageItem::mnuEng, "409"}};
  for (const auto& [item, code] : languages) {
    window->CmdRemove->setEnabled(true);
    window->move(0, 0);
    window->mnuLanguage_Click(item);
    EXPECT_EQ(checkedItems(*window), std::vector<LanguageItem>{item});
    expectCaptionsOf(*window, code);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Varnolt"));
    EXPECT_TRUE(window->CmdBrowse->isEnabled()) << code;  // the list has an entry
    EXPECT_FALSE(window->CmdRemove->isEnabled()) << code;
    EXPECT_EQ(entries(*window), before);
    const QRect screen = window->screen()->geometry();
    EXPECT_NEAR(window->frameGeometry().center().x(), screen.center().x(), 1) << code;
    EXPECT_NEAR(window->frameGeometry().center().y(), screen.center().y(), 1) << code;
  }
  // German letters come out of the pairs: "Anha"nge" shows as "Anhänge".
  window->mnuLanguage_Click(LanguageItem::mnuGerman);
  EXPECT_FALSE(window->lblSelectPST->text().contains(QLatin1String("a\"")));
}

TEST_F(WindowFixture, QtsOwnButtonsSpeakTheChosenLanguage) {
  const auto cancelText = [] {
    QDialogButtonBox box(QDialogButtonBox::Cancel);
    return box.button(QDialogButtonBox::Cancel)->text().remove(QLatin1Char('&'));
  };
  const std::vector<std::pair<LanguageItem, QString>> languages = {
      {LanguageItem::mnuGerman, QStringLiteral("Abbrechen")}, {LanguageItem::mnuFrench, QStringLiteral("Annuler")},
      {LanguageItem::mnuSpanish, QStringLiteral("Cancelar")}, {LanguageItem::mnuEng, QStringLiteral("Cancel")}};
  for (const auto& [item, cancel] : languages) {
    window->mnuLanguage_Click(item);
    EXPECT_EQ(cancelText(), cancel);
  }
  window->mnuLanguage_Click(LanguageItem::mnuSpanish);
  window.reset();  // the window's end takes its translation with it
  EXPECT_EQ(cancelText(), QStringLiteral("Cancel"));
}

TEST_F(WindowFixture, AMissingSatelliteKeepsTheCaptionsButMovesTheMark) {
  makeWindow({"407", "409"}, "en_US.UTF-8");
  window->mnuLanguage_Click(LanguageItem::mnuGerman);
  expectCaptionsOf(*window, "407");
  window->mnuLanguage_Click(LanguageItem::mnuFrench);  // no French satellite
  EXPECT_EQ(checkedItems(*window), std::vector<LanguageItem>{LanguageItem::mnuFrench});
  expectCaptionsOf(*window, "407");
  EXPECT_FALSE(window->CmdBrowse->isEnabled());  // the list is empty
  EXPECT_FALSE(window->CmdRemove->isEnabled());
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Varnolt"));

  // With no satellite at all the stored English captions stay.
  makeWindow({}, "en_US.UTF-8");
  window->mnuLanguage_Click(LanguageItem::mnuSpanish);
  EXPECT_EQ(window->CmdAddFile->text(), QStringLiteral("Add File"));
  EXPECT_EQ(window->mnuFile->title(), QStringLiteral("&File"));
  EXPECT_EQ(window->PSTListView->headerItem()->text(0), QStringLiteral("File Name"));
  // The list's messages then use the built-in English texts.
  addFile(pst("one.pst"));
  addFile(pst("one.pst"));
  EXPECT_EQ(dialogs.messages().back().text, QStringLiteral(" File is already selected "));
}

TEST_F(WindowFixture, ListMessagesFollowTheLanguage) {
  window->mnuLanguage_Click(LanguageItem::mnuGerman);
  addFile(pst("one.pst"));
  addFile(pst("one.pst"));
  EXPECT_EQ(dialogs.calls[0].title, satelliteText("407", 142));
  EXPECT_EQ(dialogs.messages().back().text, satelliteText("407", 139));
  EXPECT_EQ(dialogs.messages().back().title, QStringLiteral("Varnolt"));
}

// --- About, Contents ------------------------------------------------------------

TEST_F(WindowFixture, AboutTextsPerLanguage) {
  const std::vector<std::pair<LanguageItem, std::string>> languages = {
      {LanguageItem::mnuGerman, "407"}, {LanguageItem::mnuFrench, "40C"},
      {LanguageItem::mnuSpanish, "C0A"}, {LanguageItem::mnuEng, "409"}};
  for (const auto& [item, code] : languages) {
    window->mnuLanguage_Click(item);
    frmAbout about(*texts, window.get());
    about.Load();
    EXPECT_EQ(about.lblKestrikVer->text(), satelliteText(code, 129));
    EXPECT_EQ(about.lblUrlSite->text(), satelliteText(code, 130));
    EXPECT_EQ(about.lblCopyright->text(), satelliteText(code, 131));
    EXPECT_EQ(about.cmdOk->text(), satelliteText(code, 132));
    EXPECT_EQ(about.windowTitle(), satelliteText(code, 133));
    // Every text fits its label.
    for (QLabel* label : {about.lblKestrikVer, about.lblUrlSite, about.lblCopyright}) {
      EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width()) << code;
    }
  }
  makeWindow({}, "en_US.UTF-8");
  frmAbout about(*texts, window.get());
  about.Load();
  EXPECT_EQ(about.windowTitle(), QStringLiteral(" About"));
  EXPECT_EQ(about.lblKestrikVer->text(), QStringLiteral("Kestrik Varnolt v1.0"));
  EXPECT_EQ(about.cmdOk->text(), QStringLiteral("&OK"));
}

TEST_F(WindowFixture, AboutOpensModallyAndOkCloses) {
  bool seen = false;
  whenModal<frmAbout>([&](frmAbout* about) {
    seen = true;
    EXPECT_EQ(about->parentWidget(), window.get());
    about->cmdOk->click();
  });
  window->mnuAbout_Click();
  EXPECT_TRUE(seen);
}

TEST_F(WindowFixture, ContentsSaysSoWhenTheHelpFileIsMissing) {
  window->mnuContents_Click();
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_TRUE(dialogs.messages()[0].text.contains(QLatin1String("Help.chm")));
  EXPECT_TRUE(dialogs.messages()[0].text.contains(q(dir / "no help here")));

  varnolt::test::writeFile(dir / "Broken.chm", std::string("not a help file"));
  window->SetHelpFiles({q(dir / "Broken.chm")});
  window->mnuContents_Click();
  ASSERT_EQ(dialogs.messages().size(), 2u);
  EXPECT_TRUE(dialogs.messages()[1].text.contains(QLatin1String("cannot be read")));
}

TEST_F(WindowFixture, ContentsShowsTheBuiltHelpFile) {
  const fs::path help = varnolt::test::binDir() / "Help.chm";
  if (!fs::exists(help)) GTEST_SKIP() << "Help.chm was not built (chmcmd missing)";
  window->SetHelpFiles({q(dir / "missing.chm"), q(help)});
  window->mnuContents_Click();
  EXPECT_TRUE(dialogs.messages().empty());
  auto* viewer = window->findChild<HelpViewer*>();
  ASSERT_NE(viewer, nullptr);
  EXPECT_TRUE(viewer->isVisible());
  EXPECT_EQ(viewer->CurrentTopic(), QStringLiteral("index.html"));
  EXPECT_TRUE(viewer->Browser()->toPlainText().contains(QLatin1String("What Varnolt does")));
  EXPECT_EQ(viewer->ContentsTree()->topLevelItemCount(), 7);
  viewer->ShowTopic(QStringLiteral("treatments.html"));
  EXPECT_TRUE(viewer->Browser()->toPlainText().contains(QLatin1String("Extract, Save & Compress Attachments")));
  ASSERT_NE(viewer->ContentsTree()->currentItem(), nullptr);
  EXPECT_EQ(viewer->ContentsTree()->currentItem()->text(0), QStringLiteral("The three treatments"));
  // A second Contents raises the same viewer.
  window->mnuContents_Click();
  EXPECT_EQ(window->findChildren<HelpViewer*>().size(), 1);
}

TEST_F(WindowFixture, ContentsShowsTheHelpInTheChosenLanguage) {
  const fs::path help = varnolt::test::binDir() / "Help.chm";
  if (!fs::exists(help)) GTEST_SKIP() << "Help.chm was not built (chmcmd missing)";
  window->SetHelpFiles({q(help)});
  window->mnuLanguage_Click(LanguageItem::mnuGerman);
  window->mnuContents_Click();
  auto* viewer = window->findChild<HelpViewer*>();
  ASSERT_NE(viewer, nullptr);
  EXPECT_EQ(viewer->CurrentTopic(), QStringLiteral("de/index.html"));
  EXPECT_TRUE(viewer->Browser()->toPlainText().contains(QStringLiteral("Was Varnolt tut")));
  EXPECT_EQ(viewer->windowTitle(), QStringLiteral("Varnolt-Hilfe"));
  viewer->ShowTopic(QStringLiteral("de/treatments.html"));

  // Every language lists all pages under their own titles, and every page it
  // lists is written in it (a page taken from the English would carry the
  // English title). A viewer left open follows the language menu.
  const struct {
    LanguageItem item;
    const char* folder;
    const char* first;
  } languages[] = {{LanguageItem::mnuGerman, "de", "Was Varnolt tut"},
                   {LanguageItem::mnuFrench, "fr", "Ce que fait Varnolt"},
                   {LanguageItem::mnuSpanish, "es", "Qué hace Varnolt"}};
  for (const auto& language : languages) {
    SCOPED_TRACE(language.folder);
    window->mnuLanguage_Click(language.item);
    const QString folder = QString::fromLatin1(language.folder) + QLatin1Char('/');
    EXPECT_EQ(viewer->CurrentTopic(), folder + QStringLiteral("treatments.html"));
    QTreeWidget* tree = viewer->ContentsTree();
    ASSERT_EQ(tree->topLevelItemCount(), 7);
    EXPECT_EQ(tree->topLevelItem(0)->text(0), QString::fromUtf8(language.first));
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
      const QString page = tree->topLevelItem(i)->data(0, Qt::UserRole).toString();
      EXPECT_TRUE(page.startsWith(folder)) << page.toStdString();
      viewer->ShowTopic(page);
      EXPECT_EQ(viewer->Browser()->documentTitle(), tree->topLevelItem(i)->text(0)) << page.toStdString();
    }
    viewer->ShowTopic(folder + QStringLiteral("treatments.html"));
  }
  window->mnuLanguage_Click(LanguageItem::mnuEng);
  EXPECT_EQ(viewer->CurrentTopic(), QStringLiteral("treatments.html"));
  EXPECT_EQ(viewer->ContentsTree()->topLevelItem(0)->text(0), QStringLiteral("What Varnolt does"));
  EXPECT_EQ(viewer->windowTitle(), QStringLiteral("Varnolt Help"));
  EXPECT_EQ(window->findChildren<HelpViewer*>().size(), 1);
}

#ifdef VARNOLT_PARTIAL_HELP
TEST(HelpViewerTest, PagesALanguageLacksAreShownInEnglish) {
  EXPECT_EQ(HelpLanguageFolder(QStringLiteral("407")), QStringLiteral("de"));
  EXPECT_EQ(HelpLanguageFolder(QStringLiteral("807")), QStringLiteral("de"));  // Swiss German
  EXPECT_EQ(HelpLanguageFolder(QStringLiteral("40C")), QStringLiteral("fr"));
  EXPECT_EQ(HelpLanguageFolder(QStringLiteral("C0A")), QStringLiteral("es"));
  EXPECT_EQ(HelpLanguageFolder(QStringLiteral("409")), QString());
  EXPECT_EQ(HelpLanguageFolder(QStringLiteral("411")), QString());

  // The test help file has a German start page, but its other page, its
  // style sheet and its contents exist only in English.
  HelpViewer viewer;
  ASSERT_TRUE(viewer.Open(QStringLiteral(VARNOLT_PARTIAL_HELP), QStringLiteral("de")));
  EXPECT_EQ(viewer.CurrentTopic(), QStringLiteral("de/index.html"));
  EXPECT_TRUE(viewer.Browser()->toPlainText().contains(QStringLiteral("Deutscher Anfang für Sie")));
  const QVariant style =
      viewer.Browser()->loadResource(QTextDocument::StyleSheetResource, QUrl(QStringLiteral("chm:/de/style.css")));
  EXPECT_TRUE(style.toString().contains(QLatin1String("#123456")));
  ASSERT_EQ(viewer.ContentsTree()->topLevelItemCount(), 2);
  EXPECT_EQ(viewer.ContentsTree()->topLevelItem(1)->data(0, Qt::UserRole).toString(), QStringLiteral("de/extra.html"));

  // A link from the German page to the untranslated one shows the English.
  emit viewer.Browser()->anchorClicked(QUrl(QStringLiteral("extra.html")));
  EXPECT_EQ(viewer.CurrentTopic(), QStringLiteral("de/extra.html"));
  EXPECT_TRUE(viewer.Browser()->toPlainText().contains(QLatin1String("English only page")));

  // A language the file has no pages in at all: the English help.
  ASSERT_TRUE(viewer.Open(QStringLiteral(VARNOLT_PARTIAL_HELP), QStringLiteral("fr")));
  EXPECT_TRUE(viewer.Browser()->toPlainText().contains(QLatin1String("English start")));
}
#endif

// --- Compress -------------------------------------------------------------------

TEST_F(WindowFixture, CompressPresetsTheOptionsWindowEveryTime) {
  RunServices services;
  services.sessions = []() -> std::shared_ptr<engine::MailSession> { throw engine::StoreError("no store here"); };
  makeWindow({"409"}, "en_US.UTF-8", services);
  addFile(pst("one.pst"));
  dialogs.folders.push_back(q(dir.path()));
  window->CmdBrowse_Click();
  ASSERT_TRUE(window->CmdCompress->isEnabled());

  const auto expectPreset = [&](frmMerge* merge) {
    EXPECT_TRUE(merge->optRemoveAttachments->isChecked());
    EXPECT_FALSE(merge->cmdOk->isEnabled());
    EXPECT_FALSE(merge->cmdOk->isVisible());
    for (QLabel* l : {merge->lblNameOfPSTFile, merge->lblNameOfPSTFolder, merge->lblNumOfMails, merge->lblCopy,
                      merge->lblProcessing, merge->lblAttachmentCount}) {
      EXPECT_TRUE(l->text().isEmpty()) << l->objectName().toStdString();
    }
    EXPECT_FALSE(merge->UProgBarCntrl->Enabled());
    EXPECT_TRUE(merge->CmdCompressPSTFiles->isVisible());
    EXPECT_TRUE(merge->CmdCompressPSTFiles->isEnabled());
    EXPECT_EQ(merge->CurrentState(), frmMerge::State::Ready);
    EXPECT_EQ(merge->strGetOSVersion, "windows vista (tm) ultimate");
  };
  int shown = 0;
  whenModal<frmMerge>([&](frmMerge* merge) {
    ++shown;
    expectPreset(merge);
    merge->optZipAttachments->setChecked(true);
    merge->CmdCompressPSTFiles_Click();
    EXPECT_EQ(merge->CurrentState(), frmMerge::State::Finished);
    merge->cmdOk->click();
  });
  window->CmdCompress_Click();
  EXPECT_EQ(shown, 1);

  whenModal<frmMerge>([&](frmMerge* merge) {
    ++shown;
    expectPreset(merge);
    merge->cmdOk_Click();
  });
  window->CmdCompress_Click();
  EXPECT_EQ(shown, 2);
  EXPECT_EQ(window->PstCount(), 1);  // the run only reads the list
}

}  // namespace
}  // namespace varnolt::windows::test

namespace varnolt::windows::test {
namespace {

TEST(Program, WithoutADesktopItSaysWhatToDo) {
  const fs::path program = varnolt::test::binDir() / "varnolt";
  if (!fs::exists(program)) GTEST_SKIP() << "the program is not built";
  const auto result = varnolt::test::run(
      {"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", program.string()}, 60);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("varnolt-cli"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace varnolt::windows::test
