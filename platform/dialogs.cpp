#include "platform/dialogs.h"

#include <QFileDialog>
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

QString QtDialogs::BrowseForFolder(QWidget* owner, const QString& title) {
  return QFileDialog::getExistingDirectory(owner, title, QString(), QFileDialog::ShowDirsOnly);
}

QString QtDialogs::OpenFile(QWidget* owner, const QString& title, const QString& filter) {
  QFileDialog dialog(owner, title);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setNameFilter(QtNameFilters(filter));
  if (dialog.exec() != QDialog::Accepted) return QString();
  const QStringList chosen = dialog.selectedFiles();
  return chosen.isEmpty() ? QString() : chosen.front();
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

}  // namespace varnolt::platform
