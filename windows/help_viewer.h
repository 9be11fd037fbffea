#pragma once
// The program's help: "Help.chm" beside the program (or in the installed
// data folder), shown in a viewer of the program's own, so it works on any
// desktop without a help viewer installed. The viewer lists the file's
// contents on the left and shows the chosen page on the right; links to
// other pages of the file stay inside it, other links open in the desktop's
// browser.
//
// The pages of the other languages live in the same file under a folder
// per language ("de/index.html", "de/toc.hhc"); a page a language lacks is
// shown in English.

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

// The folder of the help file that holds the pages in the language of a
// locale id in hexadecimal ("407" gives "de"); "" for English and for
// languages the help is not written in.
QString HelpLanguageFolder(const QString& languageCode);

// A text browser that takes pages, style sheets and pictures from a help
// file. Anything asked for in the language folder that is not there is
// taken from the English pages at the top of the file.
class HelpBrowser : public QTextBrowser {
  Q_OBJECT

 public:
  HelpBrowser(const ChmArchive& archive, QWidget* parent);
  QVariant loadResource(int type, const QUrl& name) override;
  void SetLanguage(const QString& folder) { language_ = folder; }

 private:
  const ChmArchive& archive_;
  QString language_;
};

class HelpViewer : public QMainWindow {
  Q_OBJECT

 public:
  explicit HelpViewer(QWidget* parent = nullptr);
  ~HelpViewer() override;

  // Opens the help file in the language of a folder from
  // HelpLanguageFolder ("" for English); false when it cannot be read as one.
  bool Open(const QString& path, const QString& language = QString());
  // Lists the contents and shows the page on view again in another language.
  void SetLanguage(const QString& language);
  // Shows the page at a path inside the file ("index.html", "de/index.html").
  void ShowTopic(const QString& local);

  QString CurrentTopic() const;
  HelpBrowser* Browser() const { return browser_; }
  QTreeWidget* ContentsTree() const { return contents_; }

 private:
  void linkClicked(const QUrl& url);
  void listContents();

  ChmArchive archive_;
  QString language_;
  HelpBrowser* browser_ = nullptr;
  QTreeWidget* contents_ = nullptr;
};

// What Contents in the Help menu does: shows the first help file of
// candidates that exists in the viewer (one viewer per owner, raised when
// already open), in the language of a folder from HelpLanguageFolder; says
// so in a message box when there is none, or when the file cannot be read.
// Answers the viewer, or null.
HelpViewer* ShowHelp(QWidget* owner, const std::vector<QString>& candidates,
                     const QString& language = QString());

}  // namespace varnolt::windows
