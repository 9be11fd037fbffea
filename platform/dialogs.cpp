#include "platform/dialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QMessageBox>
#include <QStringList>

namespace varnolt::platform {

namespace {
Dialogs* current = nullptr;
}  // namespace

QString QtNameFilters(const QString& pairs) {
  const QStringList parts = pairs.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i].trimmed();
    const QString patterns = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')).simplified();
    if (!description.contains(QLatin1Char('(') + patterns + QLatin1Char(')'))) {
      description += QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    filters << description;
  }
  if (parts.size() % 2 == 1 && !parts.back().trimmed().isEmpty()) filters << parts.back().trimmed();
  return filters.join(QStringLiteral(";;"));
}

FolderMemory::FolderMemory(QString settingsFile) : settingsFile_(std::move(settingsFile)) {}

namespace {

std::unique_ptr<QSettings> openSettings(const QString& file) {
  if (file.isEmpty()) return std::make_unique<QSettings>(QStringLiteral("Varnolt"), QStringLiteral("Varnolt"));
  return std::make_unique<QSettings>(file, QSettings::IniFormat);
}

// Titles may hold any character; the settings key holds hex only.
QString keyOf(const QString& picker) {
  return QStringLiteral("LastFolder/") + QString::fromLatin1(picker.toUtf8().toHex());
}

const QString kAnyPicker = QStringLiteral("LastFolder/any");

}  // namespace

QString FolderMemory::StartFolder(const QString& picker) const {
  const auto settings = openSettings(settingsFile_);
  QString folder = settings->value(keyOf(picker)).toString();
  if (folder.isEmpty()) folder = settings->value(kAnyPicker).toString();
  // A folder removed since then: its nearest folder that is still there.
  QDir dir(folder);
  while (!folder.isEmpty() && !dir.exists()) {
    if (!dir.cdUp()) return QString();
    folder = dir.absolutePath();
  }
  return folder;
}

void FolderMemory::Remember(const QString& picker, const QString& chosenFolder) {
  if (chosenFolder.isEmpty()) return;
  const auto settings = openSettings(settingsFile_);
  settings->setValue(keyOf(picker), chosenFolder);
  settings->setValue(kAnyPicker, chosenFolder);
  settings->sync();
}

QString QtDialogs::BrowseForFolder(QWidget* owner, const QString& title) {
  FolderMemory memory;
  const QString chosen =
      QFileDialog::getExistingDirectory(owner, title, memory.StartFolder(title), QFileDialog::ShowDirsOnly);
  memory.Remember(title, chosen);
  return chosen;
}

std::unique_ptr<QFileDialog> NewPstFolderPicker(QWidget* owner, const QString& title, const QString& startFolder) {
  auto dialog = std::make_unique<QFileDialog>(owner, title, startFolder);
  dialog->setFileMode(QFileDialog::Directory);
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setOption(QFileDialog::ShowDirsOnly, false);
  dialog->setNameFilter(QtNameFilters(QStringLiteral("Outlook Personal Storage File (*.pst)|*.pst")));
  return dialog;
}

QString QtDialogs::BrowseForPstFolder(QWidget* owner, const QString& title) {
  FolderMemory memory;
  const auto dialog = NewPstFolderPicker(owner, title, memory.StartFolder(title));
  if (dialog->exec() != QDialog::Accepted) return QString();
  const QStringList selected = dialog->selectedFiles();
  QString chosen = selected.isEmpty() ? QString() : selected.front();
  // A PST file picked by mistake stands for its folder.
  if (!chosen.isEmpty() && !QFileInfo(chosen).isDir()) chosen = QFileInfo(chosen).absolutePath();
  memory.Remember(title, chosen);
  return chosen;
}

QString QtDialogs::OpenFile(QWidget* owner, const QString& title, const QString& filter) {
  FolderMemory memory;
  QFileDialog dialog(owner, title, memory.StartFolder(title));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setNameFilter(QtNameFilters(filter));
  if (dialog.exec() != QDialog::Accepted) return QString();
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return QString();
  memory.Remember(title, QFileInfo(chosen.front()).absolutePath());
  return chosen.front();
}

void QtDialogs::MessageBox(QWidget* owner, const QString& text, const QString& title) {
  QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, owner);
  box.exec();
}

void QtDialogs::MessageBoxWithDetails(QWidget* owner, const QString& text, const QString& title,
                                      const QString& details) {
  QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, owner);
  box.setDetailedText(details);
  box.exec();
}

Dialogs& CurrentDialogs() {
  static QtDialogs qt;
  return current != nullptr ? *current : qt;
}

void SetDialogs(Dialogs* dialogs) { current = dialogs; }

namespace {

QString folderOnDisk(const QString& chosen) {
  if (chosen.isEmpty()) return QString();
  // Something that is not a folder on disk has no file-system path.
  return QFileInfo(chosen).isDir() ? chosen : QString();
}

}  // namespace

QString BrowseForFolder(QWidget* owner, const QString& title) {
  return folderOnDisk(CurrentDialogs().BrowseForFolder(owner, title));
}

QString BrowseForPstFolder(QWidget* owner, const QString& title) {
  return folderOnDisk(CurrentDialogs().BrowseForPstFolder(owner, title));
}

QString ApplicationTitle() {
  const QString name = QCoreApplication::applicationName();
  return name.isEmpty() ? QStringLiteral("Varnolt") : name;
}

}  // namespace varnolt::platform
