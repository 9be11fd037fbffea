// varnolt-screenshots: draws the desktop program's windows and saves them
// as PNG files, for people to look at (scripts/screenshots runs it under
// Xvfb). The main window at first start under a given locale, the main
// window in each of the four languages, the options window
// ready, running and finished, the results of its run with a failed
// step, the Add Folder picker, the About box and the help viewer. Runs go
// over the in-memory test store, so no sample files are needed and every picture
// shows the same content.

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include "localisation/satellite_localization.h"
#include "platform/dialogs.h"
#include "tests/engine/memory_store.h"
#include "windows/frm_about.h"
#include "windows/frm_main.h"
#include "windows/frm_merge.h"
#include "windows/help_viewer.h"

namespace {

namespace fs = std::filesystem;
using namespace varnolt;

// Answers the main window's dialogs from a list, with no user.
class ListDialogs : public platform::Dialogs {
 public:
  QStringList folders, files;
  QString BrowseForFolder(QWidget*, const QString&) override { return folders.isEmpty() ? QString() : folders.takeFirst(); }
  QString OpenFile(QWidget*, const QString&, const QString&) override { return files.isEmpty() ? QString() : files.takeFirst(); }
  void MessageBox(QWidget*, const QString&, const QString&) override {}
  void MessageBoxWithDetails(QWidget*, const QString&, const QString&, const QString&) override {}
};

// Lets time pass with the event loop running, so the bar animates and
// everything is painted.
void settle(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool save(QWidget* widget, const QString& file) {
  settle(150);
  const bool ok = widget->grab().save(file, "PNG");
  std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(file));
  return ok;
}

// An options window that takes its picture while the run is half done.
class PhotographedMerge : public windows::frmMerge {
 public:
  using frmMerge::frmMerge;
  std::function<void()> midway;
  void ProcessPendingEvents() override {
    frmMerge::ProcessPendingEvents();
    if (midway && lblAttachmentCount->text().toInt() >= 5) {
      auto once = std::move(midway);
      midway = nullptr;
      once();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Varnolt"));
  if (argc < 2) {
    std::fprintf(stderr, "usage: varnolt-screenshots OUTPUT-FOLDER [start NAME]\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);

  // "start NAME": only the main window as it first comes up under the
  // locale of this process, saved as frmMain-start-NAME.png.
  if (argc >= 4 && QLatin1String(argv[2]) == QLatin1String("start")) {
    windows::frmMain first(localisation::ProgramLocalization(), windows::RunServices{});
    first.Load();
    first.show();
    return save(&first, out + QStringLiteral("/frmMain-start-%1.png").arg(QLatin1String(argv[3]))) ? 0 : 1;
  }
  const fs::path work = fs::temp_directory_path() / ("varnolt-screenshots-" + std::to_string(QCoreApplication::applicationPid()));
  fs::create_directories(work / "Mail");
  fs::create_directories(work / "Compressed");

  // A mailbox with folders, messages and attachments.
  memstore::MemoryWorld world;
  const std::string source = (work / "Mail" / "Mailbox 2019.pst").string();
  auto top = world.addSourcePst(source);
  for (const char* name : {"Inbox", "Projects", "Sent Items"}) {
    auto folder = top->add(name);
    for (int i = 1; i <= 12; ++i) {
      folder->items.push_back(memstore::MessageData::make(
          std::string(name) + " " + std::to_string(i), "Hello", "",
          {memstore::AttachmentData::value("Quarterly report " + std::to_string(i) + ".pdf", std::string(2000, 'x')),
           memstore::AttachmentData::value("photo " + std::to_string(i) + ".jpg", std::string(3000, 'y'))}));
    }
  }
  // One attachment whose file cannot be written, for the failed steps.
  world.inject({"ReadContent", "photo 7.jpg", 0, -1, memstore::FailureMode::Throw});
  const std::string archive = (work / "Mail" / "Archive 2018.pst").string();
  world.addSourcePst(archive)->add("Inbox");

  ListDialogs dialogs;
  platform::SetDialogs(&dialogs);
  windows::RunServices services;
  services.sessions = world.factory();
  localisation::SatelliteLocalization& texts = localisation::ProgramLocalization();
  windows::frmMain main(texts, services);
  main.Load();
  main.show();
  dialogs.files = {QString::fromStdString(source), QString::fromStdString(archive)};
  main.CmdAddFile_Click();
  main.CmdAddFile_Click();
  dialogs.folders = {QString::fromStdString((work / "Compressed").string())};
  main.CmdBrowse_Click();
  main.PSTListView->topLevelItem(0)->setSelected(true);

  bool ok = true;
  const std::pair<localisation::LanguageItem, const char*> languages[] = {
      {localisation::LanguageItem::mnuGerman, "de"}, {localisation::LanguageItem::mnuFrench, "fr"},
      {localisation::LanguageItem::mnuSpanish, "es"}, {localisation::LanguageItem::mnuEng, "en"}};
  for (const auto& [item, code] : languages) {
    main.mnuLanguage_Click(item);
    ok = save(&main, out + QStringLiteral("/frmMain-%1.png").arg(QLatin1String(code))) && ok;
  }

  PhotographedMerge merge(main, texts, services, &main);
  merge.Load();
  windows::frmMain::PrepareOptionsWindow(merge);
  merge.show();
  merge.optZipAttachments->setChecked(true);
  ok = save(&merge, out + QStringLiteral("/frmMerge-ready.png")) && ok;
  merge.midway = [&] { ok = save(&merge, out + QStringLiteral("/frmMerge-running.png")) && ok; };
  merge.CmdCompressPSTFiles_Click();
  ok = save(&merge, out + QStringLiteral("/frmMerge-finished.png")) && ok;
  merge.cmdFailures_Click();
  if (merge.RunReport() != nullptr) {
    ok = save(merge.RunReport(), out + QStringLiteral("/frmRunReport.png")) && ok;
    merge.RunReport()->close();
  }
  merge.cmdOk_Click();

  // The Add Folder picker in the folder of the mailboxes: it shows them.
  const auto picker = platform::NewPstFolderPicker(&main, QStringLiteral("Select a PST File Folder"),
                                                   QString::fromStdString((work / "Mail").string()));
  picker->show();
  ok = save(picker.get(), out + QStringLiteral("/AddFolderPicker.png")) && ok;
  picker->close();

  windows::frmAbout about(texts, &main);
  about.Load();
  about.show();
  ok = save(&about, out + QStringLiteral("/frmAbout.png")) && ok;
  about.close();

  if (windows::HelpViewer* viewer = windows::ShowHelp(&main, windows::DefaultHelpFiles())) {
    viewer->ShowTopic(QStringLiteral("treatments.html"));
    ok = save(viewer, out + QStringLiteral("/Help.png")) && ok;
    viewer->close();
  }

  platform::SetDialogs(nullptr);
  std::error_code ec;
  fs::remove_all(work, ec);
  return ok ? 0 : 1;
}
