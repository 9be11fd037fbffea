#include "controls/property_bag.h"

#include <stdexcept>

#include <QStringList>

namespace varnolt::controls {

std::optional<std::size_t> PropertyBag::find(const QString& name) const {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].first.compare(name, Qt::CaseInsensitive) == 0) return i;
  }
  return std::nullopt;
}

void PropertyBag::WriteProperty(const QString& name, const QVariant& value,
                                const QVariant& defaultValue) {
  auto at = find(name);
  if (value == defaultValue) {
    // Writing the default removes an earlier value, as a fresh save would.
    if (at) entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(*at));
    return;
  }
  if (at) {
    entries_[*at].second = value;
  } else {
    entries_.emplace_back(name, value);
  }
}

QVariant PropertyBag::ReadProperty(const QString& name, const QVariant& defaultValue) const {
  auto at = find(name);
  return at ? entries_[*at].second : defaultValue;
}

bool PropertyBag::Contains(const QString& name) const { return find(name).has_value(); }

QString PropertyBag::ToText() const {
  QString text;
  for (const auto& [name, value] : entries_) {
    QString shown;
    if (value.typeId() == QMetaType::Bool) {
      shown = value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    } else {
      shown = QString::number(value.toLongLong());
    }
    text += name + QStringLiteral(" = ") + shown + QLatin1Char('\n');
  }
  return text;
}

PropertyBag PropertyBag::FromText(const QString& text) {
  PropertyBag bag;
  const QStringList lines = text.split(QLatin1Char('\n'));
  for (qsizetype n = 0; n < lines.size(); ++n) {
    const QString line = lines[n].trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('\''))) continue;
    const auto bad = [&] {
      return std::invalid_argument("property line " + std::to_string(n + 1) + " is not 'name = value': " +
                                   line.toStdString());
    };
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0) throw bad();
    const QString name = line.left(eq).trimmed();
    const QString shown = line.mid(eq + 1).trimmed();
    if (name.isEmpty()) throw bad();
    QVariant value;
    if (shown.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) {
      value = true;
    } else if (shown.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) {
      value = false;
    } else {
      bool ok = false;
      const qlonglong number = shown.toLongLong(&ok);
      if (!ok) throw bad();
      value = number;
    }
    auto at = bag.find(name);
    if (at) {
      bag.entries_[*at].second = value;
    } else {
      bag.entries_.emplace_back(name, value);
    }
  }
  return bag;
}

}  // namespace varnolt::controls
