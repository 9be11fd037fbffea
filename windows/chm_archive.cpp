#include "windows/chm_archive.h"

#include <QFile>
#include <QRegularExpression>

#include <chm_lib.h>

namespace varnolt::windows {

namespace {

QByteArray objectPath(const QString& path) {
  // Names such as "/#SYSTEM" start with "#": the path is taken as it is.
  QString p = path;
  if (!p.startsWith(QLatin1Char('/'))) p.prepend(QLatin1Char('/'));
  return p.toUtf8();
}

std::uint16_t le16(const QByteArray& bytes, qsizetype at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[at]) |
                                    (static_cast<std::uint8_t>(bytes[at + 1]) << 8));
}

}  // namespace

ChmArchive::~ChmArchive() {
  if (file_ != nullptr) chm_close(file_);
}

bool ChmArchive::Open(const QString& path) {
  if (file_ != nullptr) {
    chm_close(file_);
    file_ = nullptr;
  }
  if (!QFile::exists(path)) return false;
  file_ = chm_open(QFile::encodeName(path).constData());
  return file_ != nullptr;
}

std::optional<QByteArray> ChmArchive::Read(const QString& path) const {
  if (file_ == nullptr) return std::nullopt;
  chmUnitInfo unit{};
  const QByteArray name = objectPath(path);
  if (chm_resolve_object(file_, name.constData(), &unit) != CHM_RESOLVE_SUCCESS) return std::nullopt;
  if (unit.length > kMaxObjectBytes) return std::nullopt;
  QByteArray bytes(static_cast<qsizetype>(unit.length), '\0');
  if (unit.length == 0) return bytes;
  const LONGINT64 got = chm_retrieve_object(file_, &unit, reinterpret_cast<unsigned char*>(bytes.data()), 0,
                                            static_cast<LONGINT64>(unit.length));
  if (got != static_cast<LONGINT64>(unit.length)) return std::nullopt;
  return bytes;
}

std::optional<QString> ChmArchive::systemString(std::uint16_t code) const {
  // The system record: a 4-byte version, then entries of a 16-bit code, a
  // 16-bit length and that many bytes (strings end in NUL).
  const auto system = Read(QStringLiteral("/#SYSTEM"));
  if (!system || system->size() < 4) return std::nullopt;
  qsizetype at = 4;
  while (at + 4 <= system->size()) {
    const std::uint16_t entryCode = le16(*system, at);
    const std::uint16_t length = le16(*system, at + 2);
    at += 4;
    if (at + length > system->size()) break;
    if (entryCode == code) {
      QByteArray value = system->mid(at, length);
      const qsizetype nul = value.indexOf('\0');
      if (nul >= 0) value.truncate(nul);
      return QString::fromLatin1(value);
    }
    at += length;
  }
  return std::nullopt;
}

QString ChmArchive::DefaultTopic() const { return systemString(2).value_or(QString()); }

std::vector<ChmTopic> ChmArchive::Contents() const {
  const auto name = systemString(0);
  if (!name || name->isEmpty()) return {};
  const auto hhc = Read(*name);
  if (!hhc) return {};
  return ParseContents(QString::fromLatin1(*hhc));
}

std::vector<ChmTopic> ParseContents(const QString& hhc) {
  std::vector<ChmTopic> topics;
  static const QRegularExpression token(
      QString::fromLatin1(
          R"re(<\s*(/?)\s*(ul|object)\b[^>]*>|<\s*param\s+name\s*=\s*"([^"]*)"\s+value\s*=\s*"([^"]*)"\s*/?>)re"),
      QRegularExpression::CaseInsensitiveOption);
  int depth = -1;
  bool inObject = false;
  ChmTopic current;
  auto it = token.globalMatch(hhc);
  while (it.hasNext()) {
    const auto m = it.next();
    const QString tag = m.captured(2).toLower();
    const bool closing = !m.captured(1).isEmpty();
    if (tag == QLatin1String("ul")) {
      depth += closing ? -1 : 1;
    } else if (tag == QLatin1String("object")) {
      if (!closing) {
        inObject = true;
        current = ChmTopic{};
      } else if (inObject) {
        inObject = false;
        if (!current.name.isEmpty()) {
          current.depth = std::max(depth, 0);
          topics.push_back(current);
        }
      }
    } else if (inObject) {
      const QString param = m.captured(3).toLower();
      if (param == QLatin1String("name")) current.name = m.captured(4);
      if (param == QLatin1String("local")) current.local = m.captured(4);
    }
  }
  return topics;
}

}  // namespace varnolt::windows
