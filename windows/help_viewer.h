#pragma once
// The program's help: "Help.chm" beside the program (or in the installed
// data folder), shown in a viewer of the program's own, so it works on any
// desktop without a help viewer installed. The viewer lists the file's
// contents on the left and shows the chosen page on the right; links to
// other pages of the file stay inside it, other links open in the desktop's
// browser.

#include <memory>
#include <vector>

#include <QMainWindow>
#include <QString>
#include <QTextBrowser>

#include "windows/chm_archive.h"

class QTreeWidget;
class QTreeWidgetItem;

namespace varnolt::windows {

// The places the help file is looked for, in order.
std::vector<QString> DefaultHelpFiles();

// A text browser that takes pages, style sheets and pictures from a help
// file.
class HelpBrowser : public QTextBrowser {
  Q_OBJECT

 public:
  HelpBrowser(const ChmArchive& archive, QWidget* parent);
  QVariant loadResource(int type, const QUrl& name) override;

 private:
  const ChmArchive& archive_;
};

class HelpViewer : public QMainWindow {
  Q_OBJECT

 public:
  explicit HelpViewer(QWidget* parent = nullptr);
  ~HelpViewer() override;

  // Opens the help file; false when it cannot be read as one.
  bool Open(const QString& path);
  // Shows the page at a path inside the file ("index.html").
  void ShowTopic(const QString& local);

  QString CurrentTopic() const;
  HelpBrowser* Browser() const { return browser_; }
  QTreeWidget* ContentsTree() const { return contents_; }

 private:
  void linkClicked(const QUrl& url);

  ChmArchive archive_;
  HelpBrowser* browser_ = nullptr;
  QTreeWidget* contents_ = nullptr;
};

// What Contents in the Help menu does: shows the first help file of
// candidates that exists in the viewer (one viewer per owner, raised when
// already open); says so in a message box when there is none, or when the
// file cannot be read. Answers the viewer, or null.
HelpViewer* ShowHelp(QWidget* owner, const std::vector<QString>& candidates);

}  // namespace varnolt::windows
