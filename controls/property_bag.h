#pragma once
// PropertyBag holds the design values a window stores for one of its
// controls: named values in the order they were written, looked up without
// regard to letter case. A value equal to its default is not written, so a
// control left as placed stores nothing for it.
//
// The text form has one "name = value" line per entry; values are decimal
// integers or True/False. Blank lines and lines starting with "'" are
// skipped.

#include <optional>
#include <utility>
#include <vector>

#include <QString>
#include <QVariant>

namespace varnolt::controls {

class PropertyBag {
 public:
  // Stores value under name unless it equals defaultValue; a name written
  // again (in any letter case) is replaced in place.
  void WriteProperty(const QString& name, const QVariant& value, const QVariant& defaultValue);

  // The value stored under name, or defaultValue when there is none.
  QVariant ReadProperty(const QString& name, const QVariant& defaultValue) const;

  bool Contains(const QString& name) const;
  const std::vector<std::pair<QString, QVariant>>& Entries() const { return entries_; }

  QString ToText() const;
  // Throws std::invalid_argument naming the line when a line is not
  // "name = value" with an integer or boolean value.
  static PropertyBag FromText(const QString& text);

 private:
  std::optional<std::size_t> find(const QString& name) const;
  std::vector<std::pair<QString, QVariant>> entries_;
};

}  // namespace varnolt::controls
