#include "platform/file_scan.h"

#include <filesystem>
#include <system_error>

#include <QFileInfo>
#include <QRegularExpression>

namespace varnolt::platform {

namespace fs = std::filesystem;

std::optional<QStringList> FilesInFolder(const QString& folder, const QString& wildcard) {
  const QFileInfo info(folder);
  if (!info.isDir() || !info.isReadable()) return std::nullopt;
  const QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(wildcard),
                                   QRegularExpression::CaseInsensitiveOption);
  std::error_code ec;
  fs::directory_iterator it(fs::path(folder.toStdString()), ec);
  if (ec) return std::nullopt;
  QStringList names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return std::nullopt;
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;  // folders, sockets and broken links are no files
    const QString name = QString::fromStdString(it->path().filename().string());
    if (pattern.match(name).hasMatch()) names << name;
  }
  if (ec) return std::nullopt;
  names.sort(Qt::CaseInsensitive);
  return names;
}

bool SameFile(const QString& a, const QString& b) {
  const fs::path pa(a.toStdString()), pb(b.toStdString());
  std::error_code ec;
  if (fs::equivalent(pa, pb, ec) && !ec) return true;
  const bool aExists = fs::exists(pa, ec);
  const bool bExists = fs::exists(pb, ec);
  if (aExists && bExists) return false;  // two files, both there: equivalent said no
  const fs::path na = fs::weakly_canonical(fs::absolute(pa, ec), ec);
  const fs::path nb = fs::weakly_canonical(fs::absolute(pb, ec), ec);
  return !na.empty() && na == nb;
}

}  // namespace varnolt::platform
