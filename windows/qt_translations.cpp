#include "windows/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>

namespace varnolt::windows {

namespace {

QString qtLanguageOf(const std::string& languageCode) {
  if (languageCode == "407") return QStringLiteral("de");
  if (languageCode == "40C") return QStringLiteral("fr");
  if (languageCode == "C0A") return QStringLiteral("es");
  return QString();
}

}  // namespace

QtTranslations::QtTranslations(QStringList folders) : folders_(std::move(folders)) {}

QtTranslations::~QtTranslations() { remove(); }

QStringList QtTranslations::DefaultFolders() {
  return {QLibraryInfo::path(QLibraryInfo::TranslationsPath), QStringLiteral("/usr/share/qt6/translations")};
}

void QtTranslations::remove() {
  if (installed_) QCoreApplication::removeTranslator(&translator_);
  installed_ = false;
}

bool QtTranslations::Follow(const std::string& languageCode) {
  remove();
  const QString language = qtLanguageOf(languageCode);
  if (language.isEmpty()) return true;
  for (const QString& folder : folders_) {
    if (translator_.load(QStringLiteral("qtbase_") + language, folder)) {
      installed_ = QCoreApplication::installTranslator(&translator_);
      return installed_;
    }
  }
  return false;
}

}  // namespace varnolt::windows
