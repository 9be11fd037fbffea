#include "windows/help_viewer.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QSplitter>
#include <QTextDocument>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include "platform/dialogs.h"
#include "windows/artwork.h"

namespace varnolt::windows {

namespace {

const char* const kHelpFileName = "Help.chm";
const char* const kScheme = "chm";

QUrl topicUrl(const QString& local) {
  QUrl url;
  url.setScheme(QString::fromLatin1(kScheme));
  QString path = local;
  QString fragment;
  const qsizetype hash = path.indexOf(QLatin1Char('#'));
  if (hash >= 0) {
    fragment = path.mid(hash + 1);
    path.truncate(hash);
  }
  url.setPath(path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + path);
  if (!fragment.isEmpty()) url.setFragment(fragment);
  return url;
}

struct HelpLanguage {
  unsigned primary;  // the primary language of a locale id (its low ten bits)
  const char* folder;
  const char* title;  // UTF-8
};

const HelpLanguage kHelpLanguages[] = {
    {0x07, "de", "Varnolt-Hilfe"},
    {0x0C, "fr", "Aide de Varnolt"},
    {0x0A, "es", "Ayuda de Varnolt"},
};

const HelpLanguage* helpLanguage(const QString& folder) {
  for (const HelpLanguage& language : kHelpLanguages) {
    if (folder == QLatin1String(language.folder)) return &language;
  }
  return nullptr;
}

// "de/start.html" for "start.html" in German; pages already in a language
// folder, and every page in English, stay as they are.
QString inLanguage(const QString& local, const QString& language) {
  if (language.isEmpty() || local.startsWith(language + QLatin1Char('/'))) return local;
  return language + QLatin1Char('/') + local;
}

// The page without the folder of a language ("de/start.html" gives
// "start.html").
QString withoutLanguage(const QString& local, const QString& language) {
  if (!language.isEmpty() && local.startsWith(language + QLatin1Char('/'))) return local.mid(language.size() + 1);
  return local;
}

}  // namespace

QString HelpLanguageFolder(const QString& languageCode) {
  bool ok = false;
  const unsigned lcid = languageCode.toUInt(&ok, 16);
  if (!ok) return QString();
  for (const HelpLanguage& language : kHelpLanguages) {
    if ((lcid & 0x3FFu) == language.primary) return QString::fromLatin1(language.folder);
  }
  return QString();
}

std::vector<QString> DefaultHelpFiles() {
  std::vector<QString> files;
  const QString program = QCoreApplication::applicationDirPath();
  if (!program.isEmpty()) {
    files.push_back(QDir(program).filePath(QString::fromLatin1(kHelpFileName)));
    // An installed program: <prefix>/bin/varnolt beside <prefix>/share/varnolt.
    files.push_back(QDir::cleanPath(program + QStringLiteral("/../share/varnolt/") + QString::fromLatin1(kHelpFileName)));
  }
#ifdef VARNOLT_HELP_INSTALL_DIR
  files.push_back(QDir(QStringLiteral(VARNOLT_HELP_INSTALL_DIR)).filePath(QString::fromLatin1(kHelpFileName)));
#endif
  return files;
}

HelpBrowser::HelpBrowser(const ChmArchive& archive, QWidget* parent) : QTextBrowser(parent), archive_(archive) {
  setOpenLinks(false);
}

QVariant HelpBrowser::loadResource(int type, const QUrl& name) {
  if (name.scheme() != QLatin1String(kScheme)) return QVariant();  // nothing from outside the file
  auto bytes = archive_.Read(name.path());
  const QString folder = QLatin1Char('/') + language_ + QLatin1Char('/');
  if (!bytes && !language_.isEmpty() && name.path().startsWith(folder)) {
    // Not translated (or shared, like the style sheet): the English one.
    bytes = archive_.Read(name.path().mid(folder.size() - 1));
  }
  if (!bytes) return QVariant();
  if (type == QTextDocument::HtmlResource || type == QTextDocument::StyleSheetResource) {
    return QString::fromUtf8(*bytes);
  }
  return *bytes;
}

HelpViewer::HelpViewer(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("HelpViewer"));
  setWindowFlag(Qt::Window);
  setWindowTitle(QStringLiteral("Varnolt Help"));
  setWindowIcon(ProgramIcon());
  auto* splitter = new QSplitter(this);
  contents_ = new QTreeWidget(splitter);
  contents_->setHeaderHidden(true);
  contents_->setRootIsDecorated(false);
  browser_ = new HelpBrowser(archive_, splitter);
  splitter->addWidget(contents_);
  splitter->addWidget(browser_);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({200, 560});
  setCentralWidget(splitter);
  resize(780, 560);
  connect(browser_, &QTextBrowser::anchorClicked, this, &HelpViewer::linkClicked);
  connect(contents_, &QTreeWidget::itemActivated, this,
          [this](QTreeWidgetItem* item) { ShowTopic(item->data(0, Qt::UserRole).toString()); });
  connect(contents_, &QTreeWidget::itemClicked, this,
          [this](QTreeWidgetItem* item) { ShowTopic(item->data(0, Qt::UserRole).toString()); });
}

HelpViewer::~HelpViewer() = default;

bool HelpViewer::Open(const QString& path, const QString& language) {
  if (!archive_.Open(path)) return false;
  language_ = language;
  browser_->SetLanguage(language_);
  listContents();
  QString first = archive_.DefaultTopic();
  if (first.isEmpty() && contents_->topLevelItemCount() > 0) {
    first = contents_->topLevelItem(0)->data(0, Qt::UserRole).toString();
  }
  if (first.isEmpty()) first = QStringLiteral("index.html");
  ShowTopic(inLanguage(first, language_));
  return true;
}

void HelpViewer::SetLanguage(const QString& language) {
  if (!archive_.IsOpen() || language == language_) return;
  const QString page = withoutLanguage(CurrentTopic(), language_);
  language_ = language;
  browser_->SetLanguage(language_);
  listContents();
  ShowTopic(inLanguage(page, language_));
}

void HelpViewer::listContents() {
  const HelpLanguage* language = helpLanguage(language_);
  setWindowTitle(language != nullptr ? QString::fromUtf8(language->title) : QStringLiteral("Varnolt Help"));
  // A language's own contents file, when the help file has one; it is
  // written in UTF-8 like the pages.
  std::vector<ChmTopic> topics;
  if (!language_.isEmpty()) {
    if (const auto hhc = archive_.Read(language_ + QStringLiteral("/toc.hhc"))) topics = ParseContents(QString::fromUtf8(*hhc));
  }
  if (topics.empty()) {
    topics = archive_.Contents();
    for (ChmTopic& topic : topics) topic.local = inLanguage(topic.local, language_);
  }
  contents_->clear();
  std::vector<QTreeWidgetItem*> parents;
  for (const ChmTopic& topic : topics) {
    parents.resize(std::min<std::size_t>(parents.size(), static_cast<std::size_t>(topic.depth)));
    QTreeWidgetItem* item = parents.empty() ? new QTreeWidgetItem(contents_) : new QTreeWidgetItem(parents.back());
    item->setText(0, topic.name);
    item->setData(0, Qt::UserRole, topic.local);
    parents.push_back(item);
  }
  contents_->expandAll();
}

void HelpViewer::ShowTopic(const QString& local) {
  if (local.isEmpty()) return;
  browser_->setSource(topicUrl(local), QTextDocument::HtmlResource);
  // Mark the page in the contents, when it is listed there.
  const QString page = topicUrl(local).path();
  for (QTreeWidgetItemIterator it(contents_); *it != nullptr; ++it) {
    if (topicUrl((*it)->data(0, Qt::UserRole).toString()).path() == page) {
      contents_->setCurrentItem(*it);
      break;
    }
  }
}

QString HelpViewer::CurrentTopic() const { return browser_->source().path().mid(1); }

void HelpViewer::linkClicked(const QUrl& url) {
  const QUrl resolved = browser_->source().resolved(url);
  if (resolved.scheme() == QLatin1String(kScheme)) {
    if (resolved.path() == browser_->source().path() && resolved.hasFragment()) {
      browser_->scrollToAnchor(resolved.fragment());
    } else {
      browser_->setSource(resolved, QTextDocument::HtmlResource);
    }
    return;
  }
  QDesktopServices::openUrl(url);
}

HelpViewer* ShowHelp(QWidget* owner, const std::vector<QString>& candidates, const QString& language) {
  QString found;
  for (const QString& candidate : candidates) {
    if (QFileInfo(candidate).isFile()) {
      found = candidate;
      break;
    }
  }
  if (found.isEmpty()) {
    QStringList places;
    for (const QString& candidate : candidates) places << QDir::toNativeSeparators(QFileInfo(candidate).absolutePath());
    platform::CurrentDialogs().MessageBox(
        owner,
        QStringLiteral("The help file %1 is missing. It was looked for in:\n%2")
            .arg(QString::fromLatin1(kHelpFileName), places.join(QLatin1Char('\n'))),
        QStringLiteral("Varnolt"));
    return nullptr;
  }
  HelpViewer* viewer = owner != nullptr ? owner->findChild<HelpViewer*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
  const bool made = viewer == nullptr;
  if (made) {
    viewer = new HelpViewer(owner);
    if (owner == nullptr) viewer->setAttribute(Qt::WA_DeleteOnClose);
  }
  if (!viewer->Open(found, language)) {
    if (made) delete viewer;
    platform::CurrentDialogs().MessageBox(
        owner, QStringLiteral("The help file %1 cannot be read: it is damaged or not a compiled help file.").arg(found),
        QStringLiteral("Varnolt"));
    return nullptr;
  }
  viewer->show();
  viewer->raise();
  viewer->activateWindow();
  return viewer;
}

}  // namespace varnolt::windows
