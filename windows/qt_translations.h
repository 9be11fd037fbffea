#pragma once
// Qt's own texts (the buttons of message boxes, the file and folder
// pickers) in the language the windows show, from Qt's translations as
// Debian installs them. English needs none: it is Qt's own.

#include <string>

#include <QString>
#include <QStringList>
#include <QTranslator>

namespace varnolt::windows {

class QtTranslations {
 public:
  // folders: where Qt's translation files are looked for, in order.
  explicit QtTranslations(QStringList folders = DefaultFolders());
  ~QtTranslations();
  QtTranslations(const QtTranslations&) = delete;
  QtTranslations& operator=(const QtTranslations&) = delete;

  // Puts Qt's texts into the language of a satellite's code: "407"
  // German, "40C" French, "C0A" Spanish; any other code gives Qt's own
  // English. False when the language's translation could not be loaded
  // (Qt then speaks English).
  bool Follow(const std::string& languageCode);

  // The folder Qt was built to look in, then Debian's.
  static QStringList DefaultFolders();

 private:
  void remove();

  QStringList folders_;
  QTranslator translator_;
  bool installed_ = false;
};

}  // namespace varnolt::windows
