#include "windows/control_table.h"

#include <stdexcept>
#include <string>

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "windows/layout.h"

namespace varnolt::windows {

void SetCaption(QWidget* widget, const QString& text) {
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(text);
  } else if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
    frame->setTitle(text);
  } else {
    throw std::logic_error(std::string("no caption to set on ") + widget->metaObject()->className());
  }
}

namespace detail {

void Dress(QWidget* widget, const char* name, const char* text, int left, int top, int width, int height,
           unsigned look) {
  widget->setObjectName(QString::fromLatin1(name));
  if (text != nullptr) SetCaption(widget, QString::fromUtf8(text));
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    if (look & kCentred) label->setAlignment(Qt::AlignCenter);
    // File and folder names come from the mail: never read them as markup.
    if (look & kPlainText) label->setTextFormat(Qt::PlainText);
  }
  if (look & kVerdana) widget->setFont(VerdanaFont());
  if (look & kArial) widget->setFont(ArialFont());
  if (look & kDefaultButton) {
    if (auto* button = qobject_cast<QPushButton*>(widget)) button->setDefault(true);
  }
  Place(widget, left, top, width, height);
  if (look & kDisabled) widget->setEnabled(false);
  if (look & kHidden) widget->setVisible(false);
}

QWidget* ParentNamed(QWidget* root, std::span<QWidget* const> made, const char* name) {
  const QString wanted = QString::fromLatin1(name);
  for (QWidget* widget : made) {
    if (widget->objectName() == wanted) return widget;
  }
  if (root != nullptr && root->objectName() == wanted) return root;
  // A table naming a parent made after its child, or none at all, is a
  // mistake in the program: it must not place the control anywhere else.
  throw std::logic_error("no control named " + std::string(name) + " before its child");
}

}  // namespace detail
}  // namespace varnolt::windows
