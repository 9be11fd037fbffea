#pragma once
// Read access to a compiled HTML help file (.chm) through chmlib: the
// pages, style sheets and pictures stored in it, its default topic and its
// table of contents.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <QByteArray>
#include <QString>

struct chmFile;

namespace varnolt::windows {

struct ChmTopic {
  QString name;
  QString local;  // path inside the archive, without a leading "/"
  int depth = 0;  // 0 for the top level
};

class ChmArchive {
 public:
  // Objects larger than this are refused rather than read into memory.
  static constexpr std::uint64_t kMaxObjectBytes = 64u << 20;

  ChmArchive() = default;
  ~ChmArchive();
  ChmArchive(const ChmArchive&) = delete;
  ChmArchive& operator=(const ChmArchive&) = delete;

  // Opens the file; false when it is missing or not a help file.
  bool Open(const QString& path);
  bool IsOpen() const { return file_ != nullptr; }

  // The object at path ("/index.html" or "index.html"); nothing when the
  // archive has no such object or it cannot be read.
  std::optional<QByteArray> Read(const QString& path) const;

  // The page shown first, from the archive's system record ("" when the
  // record names none).
  QString DefaultTopic() const;
  // The contents file named by the system record, parsed.
  std::vector<ChmTopic> Contents() const;

 private:
  std::optional<QString> systemString(std::uint16_t code) const;
  chmFile* file_ = nullptr;
};

// Parses a contents (.hhc) file: every sitemap object's Name and Local, with
// its nesting depth in the lists.
std::vector<ChmTopic> ParseContents(const QString& hhc);

}  // namespace varnolt::windows
