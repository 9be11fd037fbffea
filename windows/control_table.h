#pragma once
// The windows' controls come from one table per window: a row names the
// control's class (through the window's member that holds it), its object
// name, its parent, its English caption and the id of its localized one,
// and its place in twips. Rows are built in order, so the table's order is
// also the order controls are stacked in and reached with Tab.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include <QString>

class QWidget;

namespace varnolt::windows {

// What a row sets beyond name, caption and place; combined with |.
enum ControlLook : unsigned {
  kNoLook = 0,
  kPlainText = 1u << 0,  // the caption is shown as written, never as markup
  kCentred = 1u << 1,
  kVerdana = 1u << 2,
  kArial = 1u << 3,
  kDisabled = 1u << 4,
  kHidden = 1u << 5,
  kDefaultButton = 1u << 6,  // Return presses it
};

// How a row's control is made and found again: made by Control<&Form::member>.
template <class Form>
struct ControlKind {
  QWidget* (*create)(Form& form, QWidget* parent);
  QWidget* (*widget)(const Form& form);
};

template <class Form>
struct ControlRow {
  ControlKind<Form> kind;
  const char* name;
  const char* parent;  // the name of an earlier row; nullptr for the table's root
  const char* text;    // the English caption; nullptr for none
  std::int32_t textId;  // the localized caption's id; 0 when it has none
  int left;
  int top;
  int width;
  int height;
  unsigned look = kNoLook;
};

namespace detail {
template <class Member>
struct MemberOf;
template <class Form, class Widget>
struct MemberOf<Widget* Form::*> {
  using FormType = Form;
  using WidgetType = Widget;
};

// The non-template part: caption, name, place and look of a made control,
// and the parent a row names among the controls made before it.
void Dress(QWidget* widget, const char* name, const char* text, int left, int top, int width, int height,
           unsigned look);
QWidget* ParentNamed(QWidget* root, std::span<QWidget* const> made, const char* name);
}  // namespace detail

// The kind of a row whose control is held in Member; Widget is the class
// made, when it is a subclass of the member's.
template <auto Member, class Widget = typename detail::MemberOf<decltype(Member)>::WidgetType>
inline constexpr ControlKind<typename detail::MemberOf<decltype(Member)>::FormType> Control{
    [](typename detail::MemberOf<decltype(Member)>::FormType& form, QWidget* parent) -> QWidget* {
      auto* made = new Widget(parent);
      form.*Member = made;
      return made;
    },
    [](const typename detail::MemberOf<decltype(Member)>::FormType& form) -> QWidget* { return form.*Member; }};

// Makes every row's control in order, under root or under the earlier row
// its parent names.
template <class Form>
void BuildControls(std::type_identity_t<std::span<const ControlRow<Form>>> rows, Form& form, QWidget* root) {
  std::vector<QWidget*> made;
  made.reserve(rows.size());
  for (const ControlRow<Form>& row : rows) {
    QWidget* parent = row.parent == nullptr ? root : detail::ParentNamed(root, made, row.parent);
    QWidget* widget = row.kind.create(form, parent);
    detail::Dress(widget, row.name, row.text, row.left, row.top, row.width, row.height, row.look);
    made.push_back(widget);
  }
}

// Sets the caption of a label, button or frame.
void SetCaption(QWidget* widget, const QString& text);

// Replaces each caption that has an id with the text textOf finds for it;
// captions it finds nothing for stay as they are.
template <class Form>
void ApplyTexts(std::type_identity_t<std::span<const ControlRow<Form>>> rows, const Form& form,
                const std::function<std::optional<QString>(std::int32_t)>& textOf) {
  for (const ControlRow<Form>& row : rows) {
    if (row.textId == 0) continue;
    if (std::optional<QString> text = textOf(row.textId)) SetCaption(row.kind.widget(form), *text);
  }
}

}  // namespace varnolt::windows
