// Windows made from a table of controls: every row becomes the control its
// member holds, named, captioned and placed as the row says, in the row's
// order (the order Tab follows), and localized captions replace only what
// the language holds.

#include <map>
#include <memory>
#include <stdexcept>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <gtest/gtest.h>

#include "windows/control_table.h"
#include "windows/layout.h"

namespace varnolt::windows::test {
namespace {

class WideEdit : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;
};

struct SampleForm {
  QGroupBox* fraBox = nullptr;
  QLabel* lblName = nullptr;
  QLabel* lblValue = nullptr;
  QLineEdit* txtPath = nullptr;
  QRadioButton* optOne = nullptr;
  QPushButton* cmdGo = nullptr;
  QPushButton* cmdLater = nullptr;
};

constexpr ControlRow<SampleForm> kRows[] = {
    {Control<&SampleForm::fraBox>, "fraBox", nullptr, "Progress", 10, 120, 240, 6000, 3000},
    {Control<&SampleForm::lblName>, "lblName", "fraBox", "<b>Name</b>", 11, 150, 300, 1500, 255, kCentred},
    {Control<&SampleForm::lblValue>, "lblValue", "fraBox", "<b>a.pst</b>", 0, 1800, 300, 3000, 255, kPlainText},
    {Control<&SampleForm::txtPath, WideEdit>, "txtPath", nullptr, nullptr, 0, 120, 3360, 4500, 375,
     kDisabled | kArial},
    {Control<&SampleForm::optOne>, "optOne", nullptr, "One", 12, 120, 3840, 3000, 255, kVerdana},
    {Control<&SampleForm::cmdGo>, "cmdGo", nullptr, "&Go", 13, 4800, 3840, 1215, 420, kDefaultButton},
    {Control<&SampleForm::cmdLater>, "cmdLater", nullptr, "Later", 14, 4800, 4320, 1215, 420, kHidden},
};

// Every caption of the sample form, in row order.
QStringList captions(const SampleForm& form) {
  return {form.fraBox->title(), form.lblName->text(), form.lblValue->text(), form.txtPath->text(),
          form.optOne->text(),  form.cmdGo->text(),   form.cmdLater->text()};
}

TEST(ControlTable, BuildsEveryRowAsItSays) {
  QWidget window;
  window.setObjectName(QStringLiteral("frmSample"));
  SampleForm form;
  BuildControls(kRows, form, &window);

  // Each member holds a control of its row's class, under the parent named.
  EXPECT_EQ(form.fraBox->parentWidget(), &window);
  EXPECT_EQ(form.lblName->parentWidget(), form.fraBox);
  EXPECT_EQ(form.lblValue->parentWidget(), form.fraBox);
  EXPECT_NE(dynamic_cast<WideEdit*>(form.txtPath), nullptr);
  EXPECT_EQ(form.cmdGo->parentWidget(), &window);

  EXPECT_EQ(form.lblName->objectName(), QStringLiteral("lblName"));
  EXPECT_EQ(form.txtPath->objectName(), QStringLiteral("txtPath"));
  EXPECT_EQ(captions(form), QStringList({QStringLiteral("Progress"), QStringLiteral("<b>Name</b>"),
                                         QStringLiteral("<b>a.pst</b>"), QString(), QStringLiteral("One"),
                                         QStringLiteral("&Go"), QStringLiteral("Later")}));

  // Twips become pixels at 15 a pixel, rounded down as the layouts are.
  EXPECT_EQ(form.fraBox->geometry(), QRect(8, 16, 400, 200));
  EXPECT_EQ(form.lblName->geometry(), QRect(10, 20, 100, 17));
  EXPECT_EQ(form.cmdGo->geometry(), QRect(320, 256, 81, 28));

  // The looks apply to their own row only.
  EXPECT_EQ(form.lblValue->textFormat(), Qt::PlainText);
  EXPECT_EQ(form.lblName->textFormat(), Qt::AutoText);
  EXPECT_EQ(form.lblName->alignment(), Qt::AlignCenter);
  EXPECT_NE(form.lblValue->alignment(), Qt::AlignCenter);
  EXPECT_FALSE(form.txtPath->isEnabled());
  EXPECT_TRUE(form.optOne->isEnabled());
  EXPECT_EQ(form.txtPath->font().family(), ArialFont().family());
  EXPECT_EQ(form.optOne->font().family(), VerdanaFont().family());
  EXPECT_TRUE(form.cmdGo->isDefault());
  EXPECT_FALSE(form.cmdLater->isDefault());
  window.show();
  EXPECT_FALSE(form.cmdLater->isVisible());
  EXPECT_TRUE(form.cmdGo->isVisible());
}

TEST(ControlTable, RowOrderIsStackingAndTabOrder) {
  QWidget window;
  SampleForm form;
  BuildControls(kRows, form, &window);

  const QList<QWidget*> top = window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  ASSERT_EQ(top.size(), 5);
  EXPECT_EQ(top[0], form.fraBox);
  EXPECT_EQ(top[1], form.txtPath);
  EXPECT_EQ(top[2], form.optOne);
  EXPECT_EQ(top[3], form.cmdGo);
  EXPECT_EQ(top[4], form.cmdLater);

  // Tab goes through the controls that take focus in the table's order.
  form.txtPath->setEnabled(true);
  form.cmdLater->setVisible(true);
  window.show();
  form.txtPath->setFocus();
  const std::vector<QWidget*> expected = {form.txtPath, form.optOne, form.cmdGo, form.cmdLater};
  QWidget* at = form.txtPath;
  for (std::size_t i = 1; i < expected.size(); ++i) {
    at = at->nextInFocusChain();
    while (at != expected[i] && at != form.txtPath && (at->focusPolicy() & Qt::TabFocus) == 0) {
      at = at->nextInFocusChain();
    }
    EXPECT_EQ(at, expected[i]) << "tab stop " << i;
  }
}

TEST(ControlTable, LocalizedCaptionsReplaceOnlyWhatTheLanguageHolds) {
  QWidget window;
  SampleForm form;
  BuildControls(kRows, form, &window);
  const std::map<std::int32_t, QString> language = {
      {10, QStringLiteral("Fortschritt")}, {12, QStringLiteral("Eins")}, {13, QStringLiteral("&Los")}, {0, QStringLiteral("never")}};
  ApplyTexts(kRows, form, [&](std::int32_t id) -> std::optional<QString> {
    const auto found = language.find(id);
    if (found == language.end()) return std::nullopt;
    return found->second;
  });
  // Texts the language lacks stay English; rows without an id are never
  // touched, whatever the language holds under 0.
  EXPECT_EQ(captions(form), QStringList({QStringLiteral("Fortschritt"), QStringLiteral("<b>Name</b>"),
                                         QStringLiteral("<b>a.pst</b>"), QString(), QStringLiteral("Eins"),
                                         QStringLiteral("&Los"), QStringLiteral("Later")}));
}

TEST(ControlTable, AParentNotMadeBeforeItsChildIsAMistake) {
  struct Pair {
    QGroupBox* fraLate = nullptr;
    QLabel* lblEarly = nullptr;
  };
  constexpr ControlRow<Pair> rows[] = {
      {Control<&Pair::lblEarly>, "lblEarly", "fraLate", "Early", 0, 0, 0, 150, 150},
      {Control<&Pair::fraLate>, "fraLate", nullptr, "Late", 0, 0, 0, 1500, 1500},
  };
  auto window = std::make_unique<QWidget>();
  Pair pair;
  EXPECT_THROW(BuildControls(rows, pair, window.get()), std::logic_error);
  EXPECT_EQ(pair.lblEarly, nullptr);
}

}  // namespace
}  // namespace varnolt::windows::test
