#pragma once
// frmAbout: the product's name and version, web address and copyright,
// with an OK button, in the language chosen when it opens.

#include <QDialog>

#include "localisation/satellite_localization.h"

class QLabel;
class QPushButton;

namespace varnolt::windows {

class frmAbout : public QDialog {
  Q_OBJECT

 public:
  explicit frmAbout(localisation::SatelliteLocalization& texts, QWidget* parent = nullptr);

  // Applies the texts of the chosen language when they can be loaded.
  void Load();
  void cmdOk_Click();

  QPushButton* cmdOk = nullptr;
  QLabel* lblCopyright = nullptr;
  QLabel* lblUrlSite = nullptr;
  QLabel* lblKestrikVer = nullptr;

 private:
  // Keeps a label's text whole: a text wider than its place grows the
  // label around the same centre.
  void fit(QLabel* label);

  localisation::SatelliteLocalization& texts_;
};

}  // namespace varnolt::windows
