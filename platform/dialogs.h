#pragma once
// The dialogs and message boxes the windows show, behind one interface so
// that tests (and a scripted screenshot run) can answer them. The windows
// reach the current implementation through CurrentDialogs(); the program
// uses Qt's own dialogs.

#include <QString>

class QWidget;

namespace varnolt::platform {

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // A folder picker titled title; the chosen folder's path, "" when the
  // user cancelled.
  virtual QString BrowseForFolder(QWidget* owner, const QString& title) = 0;

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

// Qt's dialogs: the platform's folder and file pickers and QMessageBox.
class QtDialogs : public Dialogs {
 public:
  QString BrowseForFolder(QWidget* owner, const QString& title) override;
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

}  // namespace varnolt::platform
