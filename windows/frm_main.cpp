#include "windows/frm_main.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QMimeData>
#include <QUrl>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include "controls/upb.h"
#include "controls/xpstyle.h"
#include "localisation/english_texts.h"
#include "platform/dialogs.h"
#include "platform/module1.h"
#include "windows/artwork.h"
#include "windows/control_table.h"
#include "windows/frm_about.h"
#include "windows/frm_merge.h"
#include "windows/help_viewer.h"
#include "windows/layout.h"
#include "windows/texts.h"

namespace varnolt::windows {

using localisation::LanguageItem;

namespace {

constexpr int kClientWidthTwips = 8295;
constexpr int kClientHeightTwips = 7305;
const char* const kMessageTitle = "Varnolt";
const char* const kPstFilter = "Outlook Personal Storage File (*.pst)|*.pst";
const char* const kDestinationTitle = "Select Folder to Save Compressed PST File";

// The path box is disabled only so that nobody types in it: Browse and
// Remove set it.
constexpr ControlRow<frmMain> kControls[] = {
    {Control<&frmMain::fraSelectPSTFiles>, "fraSelectPSTFiles", nullptr, nullptr, 0, 120, 1800, 8055, 4140, kArial},
    {Control<&frmMain::picBack>, "picBack", "fraSelectPSTFiles", nullptr, 0, 120, 240, 7815, 3825, kArial},
    {Control<&frmMain::lblSelectPST>, "lblSelectPST", "picBack", "Select outlook pst file(s) to compress :", 101, 120,
     120, 7620, 285},
    {Control<&frmMain::PSTListView, PstListView>, "PSTListView", "picBack", nullptr, 0, 120, 360, 5535, 2415,
     kVerdana},
    {Control<&frmMain::CmdAddFile>, "CmdAddFile", "picBack", "Add File", 102, 5880, 360, 1845, 375},
    {Control<&frmMain::cmdAddFolder>, "cmdAddFolder", "picBack", "Add Folder", 103, 5880, 840, 1845, 375, kVerdana},
    {Control<&frmMain::CmdRemove>, "CmdRemove", "picBack", "Remove", 104, 5880, 1320, 1845, 375},
    {Control<&frmMain::lblSelectDestPath>, "lblSelectDestPath", "picBack", "Select folder to save compressed pst file :",
     105, 120, 3000, 7575, 255},
    {Control<&frmMain::txtDestFolderPath, PathBox>, "txtDestFolderPath", "picBack", nullptr, 0, 120, 3240, 5535, 375,
     kDisabled},
    {Control<&frmMain::CmdBrowse>, "CmdBrowse", "picBack", "Browse", 106, 5880, 3240, 1845, 375},
    {Control<&frmMain::CmdCompress>, "CmdCompress", nullptr, "Compress PST >>", 107, 3360, 6240, 2205, 375, kDisabled},
};

}  // namespace

BannerArea::BannerArea(QWidget* parent)
    : ClickArea(parent), tagline_(EnglishBannerTagline()), banner_(BannerPicture(tagline_)) {}

void BannerArea::SetTagline(const QString& tagline) {
  if (tagline == tagline_) return;
  tagline_ = tagline;
  banner_ = BannerPicture(tagline_);
  update();
}

QRect BannerArea::BannerRect() const {
  // The picture is wider than the window: shown whole, scaled to the width.
  return QRect(0, 0, width(), kBannerHeight * width() / kBannerWidth);
}

void BannerArea::paintEvent(QPaintEvent* event) {
  ClickArea::paintEvent(event);
  QPainter p(this);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  p.drawPixmap(BannerRect(), banner_);
}

namespace {

QString withSlash(QString folder) {
  if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
  return folder;
}

}  // namespace

namespace {

// The local files and folders a drag carries.
QStringList localPaths(const QMimeData* data) {
  QStringList paths;
  if (data == nullptr || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) paths << url.toLocalFile();
  }
  return paths;
}

}  // namespace

PstListView::PstListView(QWidget* parent) : QTreeWidget(parent) {
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
}

PathBox::PathBox(QWidget* parent) : QLineEdit(parent) {
  connect(this, &QLineEdit::textChanged, this, [this](const QString& text) { setToolTip(text); });
}

QString PathBox::ShownText() const {
  QStyleOptionFrame option;
  initStyleOption(&option);
  const QRect room = style()->subElementRect(QStyle::SE_LineEditContents, &option, this).adjusted(2, 0, -2, 0);
  return fontMetrics().elidedText(text(), Qt::ElideMiddle, room.width());
}

void PathBox::paintEvent(QPaintEvent* /*event*/) {
  QPainter p(this);
  QStyleOptionFrame option;
  initStyleOption(&option);
  style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &p, this);
  const QRect room = style()->subElementRect(QStyle::SE_LineEditContents, &option, this).adjusted(2, 0, -2, 0);
  // Disabled only so that nobody types in it: the path is drawn in the
  // normal text colour.
  p.setPen(palette().color(QPalette::Active, QPalette::Text));
  p.drawText(room, Qt::AlignLeft | Qt::AlignVCenter, ShownText());
}

void PstListView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && itemAt(event->position().toPoint()) == nullptr) {
    clearSelection();
    emit EmptySpaceClicked();
    return;
  }
  QTreeWidget::mousePressEvent(event);
}

namespace {

// Takes a drag or drop that carries local files or folders, as a copy: the
// files stay where they are, the list only names them.
QStringList acceptLocalPaths(QDropEvent* event) {
  const QStringList paths = localPaths(event->mimeData());
  if (paths.isEmpty()) {
    event->ignore();
  } else {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  }
  return paths;
}

}  // namespace

void PstListView::dragEnterEvent(QDragEnterEvent* event) { acceptLocalPaths(event); }

void PstListView::dragMoveEvent(QDragMoveEvent* event) { acceptLocalPaths(event); }

void PstListView::dropEvent(QDropEvent* event) {
  const QStringList paths = acceptLocalPaths(event);
  if (!paths.isEmpty()) emit Dropped(paths);
}

void PstListView::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier) {
    if (!selectedItems().isEmpty()) emit DeletePressed();
    return;
  }
  const QList<QTreeWidgetItem*> before = selectedItems();
  QTreeWidget::keyPressEvent(event);
  const QList<QTreeWidgetItem*> after = selectedItems();
  if (!after.isEmpty() && after != before) emit SelectedByKeyboard();
}

void ClickArea::mousePressEvent(QMouseEvent* event) {
  QFrame::mousePressEvent(event);
  if (event->button() == Qt::LeftButton) emit Clicked();
}

frmMain::frmMain(localisation::SatelliteLocalization& texts, RunServices services, QWidget* parent)
    : QMainWindow(parent), texts_(texts), services_(std::move(services)), helpFiles_(DefaultHelpFiles()) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("Varnolt"));  // never localized
  setWindowIcon(ProgramIcon());
  setWindowFlag(Qt::WindowMaximizeButtonHint, false);
  setFont(VerdanaFont());
  buildControls();
  buildMenus();
  texts_.SetMenuState(this);
}

frmMain::~frmMain() { texts_.SetMenuState(nullptr); }

void frmMain::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange) return;
  const Qt::WindowStates large = Qt::WindowMaximized | Qt::WindowFullScreen;
  if (windowState() & large) {
    // After the state change is done, or the window system undoes ours.
    QTimer::singleShot(0, this, [this, large] { setWindowState(windowState() & ~large); });
  }
}

void frmMain::buildControls() {
  auto* client = new BannerArea(this);
  banner = client;
  client->setObjectName(QStringLiteral("frmMainClient"));
  connect(client, &ClickArea::Clicked, this, &frmMain::Form_Click);

  BuildControls(kControls, *this, client);
  fraSelectPSTFiles->setFrameShape(QFrame::StyledPanel);
  fraSelectPSTFiles->setFrameShadow(QFrame::Sunken);
  connect(fraSelectPSTFiles, &ClickArea::Clicked, this, &frmMain::Form_Click);
  connect(picBack, &ClickArea::Clicked, this, &frmMain::Form_Click);

  PSTListView->setColumnCount(1);
  PSTListView->setHeaderLabels({QStringLiteral("File Name")});
  PSTListView->setRootIsDecorated(false);
  PSTListView->setSelectionMode(QAbstractItemView::ExtendedSelection);
  PSTListView->setUniformRowHeights(true);
  // A path longer than the list is wide is shortened in the middle, where
  // the folders are, keeping the file name; its tooltip is the whole path.
  PSTListView->header()->setStretchLastSection(true);
  PSTListView->setTextElideMode(Qt::ElideMiddle);
  PSTListView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* list = static_cast<PstListView*>(PSTListView);
  connect(PSTListView, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { PSTListView_ItemClick(item); });
  // Selecting with the arrow keys, Shift or Ctrl+A acts as a click does.
  connect(list, &PstListView::SelectedByKeyboard, this,
          [this] { PSTListView_ItemClick(PSTListView->currentItem()); });
  connect(list, &PstListView::DeletePressed, this, &frmMain::CmdRemove_Click);
  connect(list, &PstListView::EmptySpaceClicked, this, [this] { CmdRemove->setEnabled(false); });
  connect(list, &PstListView::Dropped, this, &frmMain::PSTListView_Drop);

  connect(CmdAddFile, &QPushButton::clicked, this, &frmMain::CmdAddFile_Click);
  connect(cmdAddFolder, &QPushButton::clicked, this, &frmMain::cmdAddFolder_Click);
  connect(CmdRemove, &QPushButton::clicked, this, &frmMain::CmdRemove_Click);
  connect(CmdBrowse, &QPushButton::clicked, this, &frmMain::CmdBrowse_Click);
  connect(CmdCompress, &QPushButton::clicked, this, &frmMain::CmdCompress_Click);

  XPStyle1 = new controls::XPStyle(client);
  XPStyle1->setObjectName(QStringLiteral("XPStyle1"));

  sbVarnolt = new QStatusBar(this);
  sbVarnolt->setObjectName(QStringLiteral("sbVarnolt"));
  sbVarnolt->setSizeGripEnabled(false);
  sbVarnoltPanel1 = new QLabel(QString::fromStdString(localisation::EnglishText(115).value_or("")), sbVarnolt);
  sbVarnoltPanel1->setObjectName(QStringLiteral("sbVarnoltPanel1"));
  sbVarnoltPanel1->setTextFormat(Qt::PlainText);
  sbVarnolt->addWidget(sbVarnoltPanel1, 1);
  setStatusBar(sbVarnolt);

  // The status bar sits at the bottom of the client area, over no control.
  const int statusHeight = sbVarnolt->sizeHint().height();
  client->setFixedSize(Px(kClientWidthTwips), Px(kClientHeightTwips) - statusHeight);
  setCentralWidget(client);
}

void frmMain::buildMenus() {
  QMenuBar* bar = menuBar();
  mnuFile = bar->addMenu(QStringLiteral("&File"));
  mnuFile->setObjectName(QStringLiteral("mnuFile"));
  mnuExit = mnuFile->addAction(QStringLiteral("E&xit"));
  mnuExit->setObjectName(QStringLiteral("mnuExit"));
  connect(mnuExit, &QAction::triggered, this, &frmMain::mnuExit_Click);

  mnuOpt = bar->addMenu(QStringLiteral("&Options"));
  mnuOpt->setObjectName(QStringLiteral("mnuOpt"));
  mnuLang = mnuOpt->addMenu(QStringLiteral("Languages"));
  mnuLang->setObjectName(QStringLiteral("mnuLang"));
  const auto language = [&](const char* name, const char* caption, LanguageItem item) {
    QAction* action = mnuLang->addAction(QString::fromLatin1(caption));
    action->setObjectName(QString::fromLatin1(name));
    action->setCheckable(true);
    // Qt flips the mark before the handler runs; the handler then sets all four.
    connect(action, &QAction::triggered, this, [this, item] { mnuLanguage_Click(item); });
    return action;
  };
  mnuEng = language("mnuEng", "English", LanguageItem::mnuEng);
  mnuFrench = language("mnuFrench", "French", LanguageItem::mnuFrench);
  mnuGerman = language("mnuGerman", "German", LanguageItem::mnuGerman);
  mnuSpanish = language("mnuSpanish", "Spanish", LanguageItem::mnuSpanish);

  mnuHelp = bar->addMenu(QStringLiteral("Help"));
  mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
  mnuContents = mnuHelp->addAction(QStringLiteral("Contents"));
  mnuContents->setObjectName(QStringLiteral("mnuContents"));
  connect(mnuContents, &QAction::triggered, this, &frmMain::mnuContents_Click);
  mnuAbout = mnuHelp->addAction(QStringLiteral("About..."));
  mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
  connect(mnuAbout, &QAction::triggered, this, &frmMain::mnuAbout_Click);
}

void frmMain::Load() {
  // Centred on the screen, size unchanged. The controls have fixed places,
  // so the window keeps its size: no maximising into an empty corner.
  adjustSize();
  setFixedSize(size());
  if (const QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen()) {
    const QRect area = screen->geometry();
    const QRect frame = frameGeometry();
    move(area.x() + (area.width() - frame.width()) / 2, area.y() + (area.height() - frame.height()) / 2);
  }

  if (!IsChecked(LanguageItem::mnuEng) && !IsChecked(LanguageItem::mnuFrench) &&
      !IsChecked(LanguageItem::mnuGerman) && !IsChecked(LanguageItem::mnuSpanish)) {
    checkStartLanguage();
  }

  if (texts_.LoadLanguageResources()) {
    const auto set = [&](std::int32_t id, const auto& apply) {
      if (auto text = TextById(texts_, id)) apply(*text);
    };
    ApplyTexts(kControls, *this, [&](std::int32_t id) { return TextById(texts_, id); });
    set(108, [&](const QString& t) { PSTListView->headerItem()->setText(0, t); });
    set(110, [&](const QString& t) { mnuFile->setTitle(t); });
    set(111, [&](const QString& t) { mnuExit->setText(t); });
    set(112, [&](const QString& t) { mnuHelp->setTitle(t); });
    set(113, [&](const QString& t) { mnuContents->setText(t); });
    set(114, [&](const QString& t) { mnuAbout->setText(t); });
    set(115, [&](const QString& t) { sbVarnoltPanel1->setText(t); });
    set(144, [&](const QString& t) { mnuOpt->setTitle(t); });
    set(145, [&](const QString& t) { mnuLang->setTitle(t); });
    set(146, [&](const QString& t) { mnuEng->setText(t); });
    set(147, [&](const QString& t) { mnuFrench->setText(t); });
    set(148, [&](const QString& t) { mnuGerman->setText(t); });
    set(149, [&](const QString& t) { mnuSpanish->setText(t); });
    set(184, [&](const QString& t) { banner->SetTagline(t); });
    // Qt's buttons and pickers speak the language the captions do.
    qtTexts_.Follow(texts_.LanguageCodeToLoad());
  }
  CmdRemove->setEnabled(false);
  CmdBrowse->setEnabled(false);
}

QAction* frmMain::languageAction(LanguageItem item) const {
  switch (item) {
    case LanguageItem::mnuGerman: return mnuGerman;
    case LanguageItem::mnuFrench: return mnuFrench;
    case LanguageItem::mnuSpanish: return mnuSpanish;
    case LanguageItem::mnuEng: return mnuEng;
  }
  return mnuEng;
}

bool frmMain::IsChecked(LanguageItem item) const { return languageAction(item)->isChecked(); }

void frmMain::checkOnly(LanguageItem item) {
  for (LanguageItem each : {LanguageItem::mnuEng, LanguageItem::mnuFrench, LanguageItem::mnuGerman,
                            LanguageItem::mnuSpanish}) {
    languageAction(each)->setChecked(each == item);
  }
}

void frmMain::checkStartLanguage() {
  // Texts loaded with no item checked keep their letter pairs (a", n~), so
  // the first window checks the language that actually loads: the locale's
  // (in any of its territories), else English.
  for (LanguageItem item : {texts_.LocaleLanguageItem(), LanguageItem::mnuEng}) {
    checkOnly(item);
    if (texts_.LoadLanguageResources()) return;
  }
  // No satellite at all: the window keeps its English captions, and the
  // mark says so.
}

void frmMain::mnuLanguage_Click(LanguageItem item) {
  checkOnly(item);
  Load();
  // An open help viewer follows the new language too.
  if (auto* viewer = findChild<HelpViewer*>(QString(), Qt::FindDirectChildrenOnly)) viewer->SetLanguage(helpLanguage());
  if (PSTListView->topLevelItemCount() >= 1) CmdBrowse->setEnabled(true);
}

void frmMain::Form_Click() { CmdRemove->setEnabled(false); }

int frmMain::PstCount() const { return PSTListView->topLevelItemCount(); }

QString frmMain::PstEntry(int i) const {
  const QTreeWidgetItem* item = PSTListView->topLevelItem(i - 1);
  return item != nullptr ? item->text(0) : QString();
}

QString frmMain::DestinationFolder() const { return txtDestFolderPath->text(); }

bool frmMain::IsListed(const QString& path) const {
  for (int i = 0; i < PSTListView->topLevelItemCount(); ++i) {
    if (platform::SameFile(PSTListView->topLevelItem(i)->text(0), path)) return true;
  }
  return false;
}

void frmMain::appendEntry(const QString& path) {
  auto* item = new QTreeWidgetItem(PSTListView, QStringList{path});
  item->setToolTip(0, path);
}

std::optional<QStringList> frmMain::AllFiles(const QString& pattern) const {
  const qsizetype slash = pattern.lastIndexOf(QLatin1Char('/'));
  const QString folder = slash < 0 ? QStringLiteral(".") : pattern.left(slash + 1);
  const QString wildcard = slash < 0 ? pattern : pattern.mid(slash + 1);
  return platform::FilesInFolder(folder, wildcard);
}

void frmMain::CmdAddFile_Click() {
  CmdAddFile->setEnabled(false);
  const QString title = TextOr(texts_, 142, QStringLiteral("Select a PST file"));
  addChosenFile(platform::CurrentDialogs().OpenFile(this, title, QString::fromLatin1(kPstFilter)));
}

void frmMain::addChosenFile(const QString& path) {
  if (path.isEmpty()) {
    CmdRemove->setEnabled(false);
    CmdAddFile->setEnabled(true);
    return;
  }
  if (IsListed(path)) {
    platform::CurrentDialogs().MessageBox(this, TextOr(texts_, 139, QStringLiteral(" File is already selected ")),
                                          QString::fromLatin1(kMessageTitle));
    CmdAddFile->setEnabled(true);
    return;
  }
  appendEntry(path);
  CmdBrowse->setEnabled(true);
  CmdRemove->setEnabled(false);
  CmdAddFile->setEnabled(true);
}

void frmMain::cmdAddFolder_Click() {
  cmdAddFolder->setEnabled(false);
  addChosenFolder(
      platform::BrowseForPstFolder(nullptr, TextOr(texts_, 143, QStringLiteral("Select a PST File Folder"))));
}

void frmMain::addChosenFolder(QString folder) {
  if (folder.isEmpty()) {
    if (txtDestFolderPath->text().isEmpty()) CmdCompress->setEnabled(false);
    cmdAddFolder->setEnabled(true);
    return;
  }
  folder = withSlash(folder);
  // A folder that cannot be read is answered like one without PST files.
  const QStringList names = AllFiles(folder + QStringLiteral("*.pst")).value_or(QStringList{});
  if (names.isEmpty()) {
    platform::CurrentDialogs().MessageBox(
        this, TextOr(texts_, 140, QStringLiteral("The selected Folder doesn't contain PST File")),
        QString::fromLatin1(kMessageTitle));
    cmdAddFolder->setEnabled(true);
    return;
  }
  for (const QString& name : names) {
    const QString candidate = folder + name;
    if (IsListed(candidate)) {
      platform::CurrentDialogs().MessageBox(this, TextOr(texts_, 141, QStringLiteral("Folder is already selected ")),
                                            QString::fromLatin1(kMessageTitle));
      cmdAddFolder->setEnabled(true);
      break;
    }
    appendEntry(candidate);
    CmdBrowse->setEnabled(true);
    cmdAddFolder->setEnabled(true);
  }
}

void frmMain::PSTListView_Drop(const QStringList& paths) {
  for (const QString& path : paths) {
    const QFileInfo info(path);
    if (info.isDir()) {
      addChosenFolder(path);
    } else if (info.isFile() && info.suffix().compare(QLatin1String("pst"), Qt::CaseInsensitive) == 0) {
      addChosenFile(path);
    }
  }
}

void frmMain::CmdRemove_Click() {
  const int n = PSTListView->topLevelItemCount();
  for (int p = 1; p <= n && p <= PSTListView->topLevelItemCount();) {
    QTreeWidgetItem* item = PSTListView->topLevelItem(p - 1);
    if (item->isSelected()) {
      delete item;  // the entries below move up: look at p again
    } else {
      ++p;
    }
  }
  if (PSTListView->topLevelItemCount() == 0) {
    CmdRemove->setEnabled(false);
    CmdCompress->setEnabled(false);
    CmdBrowse->setEnabled(false);
    txtDestFolderPath->setText(QString());
  }
  if (!strSelectedDestFolder.isEmpty() && PSTListView->topLevelItemCount() > 0) CmdCompress->setEnabled(true);
  CmdRemove->setEnabled(false);
}

void frmMain::PSTListView_ItemClick(QTreeWidgetItem* /*item*/) { CmdRemove->setEnabled(true); }

void frmMain::CmdBrowse_Click() {
  CmdBrowse->setEnabled(false);
  strSelectedDestFolder = platform::BrowseForFolder(nullptr, QString::fromLatin1(kDestinationTitle));
  if (!strSelectedDestFolder.isEmpty()) {
    if (PSTListView->topLevelItemCount() >= 1) {
      CmdCompress->setEnabled(true);
      CmdBrowse->setEnabled(true);
    }
    strSelectedDestFolder = withSlash(strSelectedDestFolder);
    txtDestFolderPath->setText(strSelectedDestFolder);
  } else {
    txtDestFolderPath->setText(QString());
    CmdCompress->setEnabled(false);
    CmdBrowse->setEnabled(true);
  }
}

void frmMain::CmdCompress_Click() {
  // The options window is made and loaded afresh for every run.
  frmMerge merge(*this, texts_, services_, this);
  merge.Load();
  PrepareOptionsWindow(merge);
  merge.exec();
}

void frmMain::PrepareOptionsWindow(frmMerge& merge) {
  merge.optRemoveAttachments->setChecked(true);
  merge.cmdOk->setEnabled(false);
  for (QLabel* label : {merge.lblNameOfPSTFile, merge.lblNameOfPSTFolder, merge.lblNumOfMails, merge.lblCopy,
                        merge.lblProcessing, merge.lblAttachmentCount}) {
    label->setText(QString());
  }
  merge.UProgBarCntrl->SetEnabled(false);
  merge.CmdCompressPSTFiles->setVisible(true);
  merge.CmdCompressPSTFiles->setEnabled(true);
}

QString frmMain::helpLanguage() const {
  return HelpLanguageFolder(QString::fromStdString(texts_.LanguageCodeToLoad()));
}

void frmMain::mnuContents_Click() { ShowHelp(this, helpFiles_, helpLanguage()); }

void frmMain::mnuAbout_Click() {
  frmAbout about(texts_, this);
  about.Load();
  about.exec();
}

void frmMain::mnuExit_Click() {
  close();
  QApplication::quit();
}

}  // namespace varnolt::windows
