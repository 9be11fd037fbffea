#pragma once
// frmMain, the program's start window: the list of PST files to compress,
// the destination folder, the Compress button that opens the options
// window, a status bar, and the menus File, Options (the language choice)
// and Help.
//
// The language choice lives only in the check marks of the four language
// entries; the window answers the localisation's questions about them.
// Every handler is public so that tests can drive the window as a user
// would, with the dialogs answered through platform::SetDialogs.

#include <optional>
#include <vector>

#include <QFrame>
#include <QLineEdit>
#include <QPixmap>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QTreeWidget>

#include "localisation/satellite_localization.h"
#include "windows/qt_translations.h"
#include "windows/run_services.h"

class QAction;
class QGroupBox;
class QKeyEvent;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QMouseEvent;
class QLabel;
class QMenu;
class QPushButton;
class QStatusBar;

namespace varnolt::controls {
class XPStyle;
}

namespace varnolt::windows {

class frmMerge;

// A frame or picture area that reports clicks on its own background.
class ClickArea : public QFrame {
  Q_OBJECT

 public:
  using QFrame::QFrame;

 signals:
  void Clicked();

 protected:
  void mousePressEvent(class QMouseEvent* event) override;
};

// The window's client area: the banner picture at its top-left, and a
// click on its background like a click on the window.
class BannerArea : public ClickArea {
  Q_OBJECT

 public:
  explicit BannerArea(QWidget* parent);
  void SetTagline(const QString& tagline);
  const QString& Tagline() const { return tagline_; }
  // Where the banner is drawn.
  QRect BannerRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString tagline_;
  QPixmap banner_;
};

// The destination box: never typed in, so it is disabled, yet its path
// stays readable; a path too long for the box is shortened in the middle,
// and the whole path is its tooltip.
class PathBox : public QLineEdit {
  Q_OBJECT

 public:
  explicit PathBox(QWidget* parent = nullptr);
  // The text as the box shows it.
  QString ShownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// The PST list view: tells the window what the view itself does not
// report: a selection changed with the keyboard, the Delete key, a click
// on empty space (which clears the selection), and files or folders
// dropped on it from a file manager.
class PstListView : public QTreeWidget {
  Q_OBJECT

 public:
  explicit PstListView(QWidget* parent = nullptr);

 signals:
  void SelectedByKeyboard();
  void DeletePressed();
  void EmptySpaceClicked();
  void Dropped(const QStringList& paths);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

class frmMain : public QMainWindow, public localisation::LanguageMenuState, public MainWindowInputs {
  Q_OBJECT

 public:
  frmMain(localisation::SatelliteLocalization& texts, RunServices services, QWidget* parent = nullptr);
  ~frmMain() override;

  // Centres the window, captions it in the chosen language and switches
  // Remove and Browse off. Runs at start and after every language change;
  // at start, with no language checked yet, it checks the one whose texts
  // load (the locale's, else English).
  void Load();

  void CmdAddFile_Click();
  void cmdAddFolder_Click();
  void CmdRemove_Click();
  void PSTListView_ItemClick(QTreeWidgetItem* item);
  // PST files and folders dropped on the list: each file as Add File adds
  // the one chosen, each folder as Add Folder adds the one chosen; other
  // files are passed over.
  void PSTListView_Drop(const QStringList& paths);
  void CmdBrowse_Click();
  void CmdCompress_Click();
  void mnuLanguage_Click(localisation::LanguageItem item);
  void mnuContents_Click();
  void mnuAbout_Click();
  void mnuExit_Click();
  // A click on the window's or the panel's background.
  void Form_Click();

  // What Compress does to a freshly loaded options window before showing
  // it: Remove Attachments selected, OK off, progress labels empty, the
  // bar off, the Compress button shown and on.
  static void PrepareOptionsWindow(frmMerge& merge);

  // The names of the files matching pattern (a folder path followed by a
  // wildcard such as "*.pst"), directly in that folder; nothing when the
  // folder cannot be read.
  std::optional<QStringList> AllFiles(const QString& pattern) const;
  // Whether path names a file already in the list.
  bool IsListed(const QString& path) const;

  // localisation::LanguageMenuState
  bool IsChecked(localisation::LanguageItem item) const override;

  // MainWindowInputs
  int PstCount() const override;
  QString PstEntry(int i) const override;
  QString DestinationFolder() const override;

  // Where Contents looks for the help file, in order.
  void SetHelpFiles(std::vector<QString> candidates) { helpFiles_ = std::move(candidates); }
  const std::vector<QString>& HelpFiles() const { return helpFiles_; }

  // Controls.
  BannerArea* banner = nullptr;
  ClickArea* fraSelectPSTFiles = nullptr;
  ClickArea* picBack = nullptr;
  QLabel* lblSelectPST = nullptr;
  QTreeWidget* PSTListView = nullptr;
  QPushButton* CmdAddFile = nullptr;
  QPushButton* cmdAddFolder = nullptr;
  QPushButton* CmdRemove = nullptr;
  QLabel* lblSelectDestPath = nullptr;
  QLineEdit* txtDestFolderPath = nullptr;
  QPushButton* CmdBrowse = nullptr;
  QPushButton* CmdCompress = nullptr;
  QStatusBar* sbVarnolt = nullptr;
  QLabel* sbVarnoltPanel1 = nullptr;
  controls::XPStyle* XPStyle1 = nullptr;

  QMenu* mnuFile = nullptr;
  QAction* mnuExit = nullptr;
  QMenu* mnuOpt = nullptr;
  QMenu* mnuLang = nullptr;
  QAction* mnuEng = nullptr;
  QAction* mnuFrench = nullptr;
  QAction* mnuGerman = nullptr;
  QAction* mnuSpanish = nullptr;
  QMenu* mnuHelp = nullptr;
  QAction* mnuContents = nullptr;
  QAction* mnuAbout = nullptr;

  // The last folder the destination picker returned, with "/" appended.
  QString strSelectedDestFolder;

 protected:
  // A maximised or full-screen window goes back to its designed size.
  void changeEvent(QEvent* event) override;

 private:
  void buildControls();
  void buildMenus();
  void appendEntry(const QString& path);
  // What Add File and Add Folder do with the file or folder chosen.
  void addChosenFile(const QString& path);
  void addChosenFolder(QString folder);
  QAction* languageAction(localisation::LanguageItem item) const;
  void checkOnly(localisation::LanguageItem item);
  // At first start: checks the language item whose texts load.
  void checkStartLanguage();
  // The folder of the help pages in the chosen language.
  QString helpLanguage() const;

  localisation::SatelliteLocalization& texts_;
  RunServices services_;
  std::vector<QString> helpFiles_;
  QtTranslations qtTexts_;
};

}  // namespace varnolt::windows
