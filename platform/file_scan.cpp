#include "platform/file_scan.h"

#include <filesystem>
#include <system_error>

#include <QFileInfo>
#include <QRegularExpression>

#include "base/file_system.h"

namespace varnolt::platform {

namespace fs = std::filesystem;

std::optional<QStringList> FilesInFolder(const QString& folder, const QString& wildcard) {
  const QFileInfo info(folder);
  if (!info.isDir() || !info.isReadable()) return std::nullopt;
  const QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(wildcard),
                                   QRegularExpression::CaseInsensitiveOption);
  std::error_code ec;
  const auto entries = base::fileSystem().list(fs::path(folder.toStdString()), ec);
  if (ec) return std::nullopt;
  QStringList names;
  for (const auto& entry : entries) {
    // Folders, sockets and broken links are no files.
    if (entry.type != base::EntryType::File) continue;
    const QString name = QString::fromStdString(entry.name);
    if (pattern.match(name).hasMatch()) names << name;
  }
  names.sort(Qt::CaseInsensitive);
  return names;
}

bool SameFile(const QString& a, const QString& b) {
  const fs::path pa(a.toStdString()), pb(b.toStdString());
  auto& files = base::fileSystem();
  std::error_code ec;
  if (files.sameFile(pa, pb, ec) && !ec) return true;
  const bool aExists = files.status(pa, ec).type != base::EntryType::None;
  const bool bExists = files.status(pb, ec).type != base::EntryType::None;
  if (aExists && bExists) return false;  // two files, both there: the test above said no
  const fs::path na = files.resolved(pa, ec);
  const fs::path nb = files.resolved(pb, ec);
  return !na.empty() && na == nb;
}

}  // namespace varnolt::platform
