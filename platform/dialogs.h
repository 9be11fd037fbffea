#pragma once
// The dialogs and message boxes the windows show, behind one interface so
// that tests (and a scripted screenshot run) can answer them. The windows
// reach the current implementation through CurrentDialogs(); the program
// uses Qt's own dialogs.

#include <memory>

#include <QString>

class QFileDialog;
class QWidget;

namespace varnolt::platform {

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // A folder picker titled title; the chosen folder's path, "" when the
  // user cancelled.
  virtual QString BrowseForFolder(QWidget* owner, const QString& title) = 0;

  // The same for choosing a folder of PST files: the picker also shows the
  // PST files of the folder it is in, so the user sees what will be added.
  virtual QString BrowseForPstFolder(QWidget* owner, const QString& title) { return BrowseForFolder(owner, title); }

  // A file-open dialog for one existing file. filter is given as pairs
  // "description|patterns|description|patterns...". The chosen file's full
  // path, "" when the user cancelled.
  virtual QString OpenFile(QWidget* owner, const QString& title, const QString& filter) = 0;

  // A message box with an OK button only; returns when it is closed.
  virtual void MessageBox(QWidget* owner, const QString& text, const QString& title) = 0;

  // The same with a longer text the user can unfold (for lists).
  virtual void MessageBoxWithDetails(QWidget* owner, const QString& text, const QString& title,
                                     const QString& details) = 0;
};

// Where each picker opened last, kept between runs of the program in the
// user's settings. A picker is known by its title; one never used yet
// opens where any picker was used last.
class FolderMemory {
 public:
  // settingsFile "" is the user's own settings of the program.
  explicit FolderMemory(QString settingsFile = QString());

  // The folder to open the picker in: the last one used, or its nearest
  // folder that still exists; "" when none was ever used.
  QString StartFolder(const QString& picker) const;
  // Notes the folder of what the user chose (a folder, or a file's folder).
  void Remember(const QString& picker, const QString& chosenFolder);

 private:
  QString settingsFile_;
};

// The picker BrowseForPstFolder shows, opened in startFolder; Qt's own,
// since the platform's folder pickers show no files.
std::unique_ptr<QFileDialog> NewPstFolderPicker(QWidget* owner, const QString& title, const QString& startFolder);

// Qt's dialogs: the platform's folder and file pickers and QMessageBox.
// Every picker opens in the folder it was last used in.
class QtDialogs : public Dialogs {
 public:
  QString BrowseForFolder(QWidget* owner, const QString& title) override;
  QString BrowseForPstFolder(QWidget* owner, const QString& title) override;
  QString OpenFile(QWidget* owner, const QString& title, const QString& filter) override;
  void MessageBox(QWidget* owner, const QString& text, const QString& title) override;
  void MessageBoxWithDetails(QWidget* owner, const QString& text, const QString& title,
                             const QString& details) override;
};

// "Outlook Personal Storage File (*.pst)|*.pst" as Qt writes a name filter:
// "Outlook Personal Storage File (*.pst)". A description that does not
// show its patterns gets them appended in brackets.
QString QtNameFilters(const QString& pairs);

// The dialogs the windows use now.
Dialogs& CurrentDialogs();
// Replaces them; nullptr goes back to the Qt dialogs. The object must
// outlive its use.
void SetDialogs(Dialogs* dialogs);

// The folder picker with no owner: the chosen folder's path, "" when the
// user cancelled or chose something that is not a folder.
QString BrowseForFolder(QWidget* owner, const QString& title);
// The same for a folder of PST files: the picker shows them too.
QString BrowseForPstFolder(QWidget* owner, const QString& title);

// The title of a message box that has none of its own: the application's
// name.
QString ApplicationTitle();

}  // namespace varnolt::platform
