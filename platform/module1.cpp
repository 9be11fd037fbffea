#include "platform/module1.h"

#include <fstream>
#include <sstream>
#include <system_error>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include "platform/dialogs.h"

namespace varnolt::platform {

namespace fs = std::filesystem;

const std::string* RegistryKey::Find(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? nullptr : &it->second;
}

std::vector<fs::path> DefaultOsReleaseFiles() { return {"/etc/os-release", "/usr/lib/os-release"}; }

std::map<std::string, std::string> ParseOsRelease(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    const auto eq = line.find('=', start);
    if (eq == std::string::npos) continue;
    const std::string name = line.substr(start, eq - start);
    if (name.empty() || name.find_first_of(" \t") != std::string::npos) continue;
    const std::string raw = line.substr(eq + 1);
    std::string value;
    bool ok = true;
    if (!raw.empty() && (raw.front() == '"' || raw.front() == '\'')) {
      const char quote = raw.front();
      std::size_t i = 1;
      bool closed = false;
      for (; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == quote) {
          closed = true;
          ++i;
          break;
        }
        if (quote == '"' && c == '\\' && i + 1 < raw.size() &&
            std::string("$\"\\`").find(raw[i + 1]) != std::string::npos) {
          value += raw[++i];
        } else {
          value += c;
        }
      }
      ok = closed && raw.find_first_not_of(" \t", i) == std::string::npos;
    } else {
      value = raw;
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    }
    if (ok) values[name] = value;
  }
  return values;
}

std::optional<RegistryKey> OpenProductKey(const std::vector<fs::path>& candidates) {
  for (const auto& path : candidates) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) continue;
    std::ifstream in(path, std::ios::binary);
    if (!in) continue;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) continue;
    return RegistryKey(ParseOsRelease(text.str()));
  }
  return std::nullopt;
}

std::string ReadRegistryString(const RegistryKey& key, const std::string& valueName) {
  std::string value;
  if (valueName == "ProductName") {
    if (const std::string* pretty = key.Find("PRETTY_NAME"); pretty != nullptr && !pretty->empty()) {
      value = *pretty;
    } else if (const std::string* name = key.Find("NAME"); name != nullptr && !name->empty()) {
      value = *name;
      if (const std::string* version = key.Find("VERSION"); version != nullptr && !version->empty()) {
        value += " " + *version;
      }
    } else {
      return kRegistryError;
    }
  } else if (const std::string* found = key.Find(valueName); found != nullptr) {
    value = *found;
  } else {
    return kRegistryError;
  }
  return value.size() > kRegistryValueMax ? std::string(kRegistryError) : value;
}

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

QString ApplicationTitle() {
  const QString name = QCoreApplication::applicationName();
  return name.isEmpty() ? QStringLiteral("Varnolt") : name;
}

}  // namespace varnolt::platform
