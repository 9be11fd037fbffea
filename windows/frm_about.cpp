#include "windows/frm_about.h"

#include <QLabel>
#include <QPushButton>

#include "localisation/english_texts.h"
#include "windows/artwork.h"
#include "windows/layout.h"
#include "windows/texts.h"

namespace varnolt::windows {

namespace {
constexpr int kClientWidthTwips = 4785;
constexpr int kClientHeightTwips = 2100;

QLabel* centredLabel(const QString& text, QWidget* parent, const char* name) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setAlignment(Qt::AlignCenter);
  label->setTextFormat(Qt::PlainText);
  return label;
}
}  // namespace

frmAbout::frmAbout(localisation::SatelliteLocalization& texts, QWidget* parent) : QDialog(parent), texts_(texts) {
  setObjectName(QStringLiteral("frmAbout"));
  setWindowTitle(QStringLiteral(" About"));
  setWindowIcon(ProgramIcon());
  setFont(VerdanaFont());
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

  cmdOk = new QPushButton(QStringLiteral("&OK"), this);
  cmdOk->setObjectName(QStringLiteral("cmdOk"));
  cmdOk->setDefault(true);
  Place(cmdOk, 1680, 1560, 1455, 375);
  connect(cmdOk, &QPushButton::clicked, this, &frmAbout::cmdOk_Click);

  lblCopyright = centredLabel(QString::fromUtf8(localisation::kProductCopyright), this, "lblCopyright");
  Place(lblCopyright, 1560, 1080, 2055, 255);
  lblUrlSite = centredLabel(QString::fromUtf8(localisation::kProductWebAddress), this, "lblUrlSite");
  Place(lblUrlSite, 1200, 720, 2655, 255);
  lblKestrikVer = centredLabel(QStringLiteral("Kestrik Varnolt v1.0"), this, "lblKestrikVer");
  Place(lblKestrikVer, 840, 360, 3615, 255);
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
  const auto set = [&](std::int32_t id, const auto& apply) {
    if (auto text = TextById(texts_, id)) apply(*text);
  };
  set(129, [&](const QString& t) { lblKestrikVer->setText(t); });
  set(130, [&](const QString& t) { lblUrlSite->setText(t); });
  set(131, [&](const QString& t) { lblCopyright->setText(t); });
  set(132, [&](const QString& t) { cmdOk->setText(t); });
  set(133, [&](const QString& t) { setWindowTitle(t); });
  for (QLabel* label : {lblCopyright, lblUrlSite, lblKestrikVer}) fit(label);
}

void frmAbout::cmdOk_Click() { accept(); }

}  // namespace varnolt::windows
