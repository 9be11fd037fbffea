#include "windows/frm_about.h"

#include <QLabel>
#include <QPushButton>

#include "localisation/english_texts.h"
#include "windows/artwork.h"
#include "windows/control_table.h"
#include "windows/layout.h"
#include "windows/texts.h"

namespace varnolt::windows {

namespace {
constexpr int kClientWidthTwips = 4785;
constexpr int kClientHeightTwips = 2100;

// The texts are the program's own, shown as written.
constexpr unsigned kTextLook = kCentred | kPlainText;
constexpr ControlRow<frmAbout> kControls[] = {
    {Control<&frmAbout::cmdOk>, "cmdOk", nullptr, "&OK", 132, 1680, 1560, 1455, 375, kDefaultButton},
    {Control<&frmAbout::lblCopyright>, "lblCopyright", nullptr, localisation::kProductCopyright, 131, 1560, 1080, 2055,
     255, kTextLook},
    {Control<&frmAbout::lblUrlSite>, "lblUrlSite", nullptr, localisation::kProductWebAddress, 130, 1200, 720, 2655, 255,
     kTextLook},
    {Control<&frmAbout::lblKestrikVer>, "lblKestrikVer", nullptr, "Kestrik Varnolt v1.0", 129, 840, 360, 3615, 255,
     kTextLook},
};
}  // namespace

frmAbout::frmAbout(localisation::SatelliteLocalization& texts, QWidget* parent) : QDialog(parent), texts_(texts) {
  setObjectName(QStringLiteral("frmAbout"));
  setWindowTitle(QStringLiteral(" About"));
  setWindowIcon(ProgramIcon());
  setFont(VerdanaFont());
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

  BuildControls(kControls, *this, this);
  connect(cmdOk, &QPushButton::clicked, this, &frmAbout::cmdOk_Click);
  for (QLabel* label : {lblCopyright, lblUrlSite, lblKestrikVer}) fit(label);

  setFixedSize(Px(kClientWidthTwips), Px(kClientHeightTwips));
}

void frmAbout::fit(QLabel* label) {
  const int needed = label->fontMetrics().horizontalAdvance(label->text()) + 4;
  const QRect place = label->geometry();
  if (needed <= place.width()) return;
  const int width = std::min(needed, Px(kClientWidthTwips) - 4);
  label->setGeometry(place.center().x() - width / 2, place.y(), width, place.height());
}

void frmAbout::Load() {
  if (!texts_.LoadLanguageResources()) return;
  ApplyTexts(kControls, *this, [&](std::int32_t id) { return TextById(texts_, id); });
  if (auto title = TextById(texts_, 133)) setWindowTitle(*title);
  for (QLabel* label : {lblCopyright, lblUrlSite, lblKestrikVer}) fit(label);
}

void frmAbout::cmdOk_Click() { accept(); }

}  // namespace varnolt::windows
