#include "mapi/pst/writer/generator.h"

#include <cmath>
#include <string>
#include <vector>

#include "mapi/error.h"
#include "mapi/pst/writer/writer.h"
#include "mapi/tags.h"

namespace varnolt::mapi::pst {
namespace {

// splitmix64: fast, and the same sequence everywhere for a seed (the
// standard library's distributions differ between implementations).
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
  double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
  // A count whose mean is `mean`: Poisson for small means, else a normal
  // spread of a tenth of the mean.
  std::uint64_t count(double mean) {
    if (mean <= 0) return 0;
    if (mean < 30) {
      double limit = std::exp(-mean), p = 1.0;
      std::uint64_t k = 0;
      do {
        ++k;
        p *= unit();
      } while (p > limit);
      return k - 1;
    }
    double g = std::sqrt(-2.0 * std::log(unit() + 1e-300)) * std::cos(6.283185307179586 * unit());
    return static_cast<std::uint64_t>(std::max(0.0, std::round(mean + g * mean / 10)));
  }
  template <typename T>
  const T& pick(const std::vector<T>& v) {
    return v[below(v.size())];
  }

 private:
  std::uint64_t state_;
};

const std::vector<std::string> kWords{
    "quarterly", "report", "meeting", "budget", "review", "project", "update", "invoice", "schedule", "draft",
    "agenda", "minutes", "proposal", "contract", "travel", "lunch", "holiday", "release", "customer", "order",
    "shipment", "summary", "weekly", "status", "plan", "question", "answer", "notes", "feedback", "design"};
const std::vector<std::string> kFirst{"Anna", "Ben", "Clara", "David", "Eva", "Felix", "Greta", "Hugo", "Ines",
                                      "Jonas", "Karin", "Lukas", "Mia", "Noah", "Olga", "Paul"};
const std::vector<std::string> kLast{"Adler", "Berg", "Conrad", "Dietz", "Engel", "Fischer", "Graf", "Hahn",
                                     "Imhof", "Jung", "Keller", "Lang", "Maier", "Neumann", "Otto", "Peters"};
const std::vector<std::string> kFolderWords{"Projects", "Clients", "Archive", "Travel", "Finance", "Team",
                                            "Newsletters", "Receipts", "Reports", "Personal"};

struct Kind {
  const char* extension;
  const char* mime;
  bool text;
};
const std::vector<Kind> kKinds{{".pdf", "application/pdf", false},
                               {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document", false},
                               {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", false},
                               {".jpg", "image/jpeg", false},
                               {".png", "image/png", false},
                               {".zip", "application/zip", false},
                               {".txt", "text/plain", true},
                               {".csv", "text/csv", true}};

std::string words(Random& r, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += r.pick(kWords);
  }
  if (!s.empty()) s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
  return s;
}

Bytes content(Random& r, std::size_t size, bool text) {
  Bytes b(size);
  if (text) {
    std::size_t i = 0;
    while (i < size) {
      const std::string& w = r.pick(kWords);
      for (char c : w) {
        if (i < size) b[i++] = static_cast<std::uint8_t>(c);
      }
      if (i < size) b[i++] = (r.below(12) == 0) ? '\n' : ' ';
    }
    return b;
  }
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t v = r.next();
    for (int k = 0; k < 8; ++k) b[i + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  for (; i < size; ++i) b[i] = static_cast<std::uint8_t>(r.next());
  return b;
}

std::string person(Random& r) { return r.pick(kFirst) + " " + r.pick(kLast); }
std::string address(const std::string& name) {
  std::string a;
  for (char c : name) a += c == ' ' ? '.' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return a + "@example.com";
}

Message makeMessage(Random& r, const GeneratorOptions& o, std::uint64_t index, GeneratorTotals& totals) {
  Message m;
  std::uint64_t time = 132000000000000000ull + index * 36000000000ull + r.below(36000000000ull);
  std::string subject = words(r, 3 + r.below(6));
  std::string sender = person(r);
  m.props.set(tag::MessageClass, PropValue::unicode("IPM.Note"));
  m.props.set(tag::Subject, PropValue::unicode(subject));
  m.props.set(tag::NormalizedSubject, PropValue::unicode(subject));
  m.props.set(tag::SenderName, PropValue::unicode(sender));
  m.props.set(makeTag(0x0C1F, pt::Unicode), PropValue::unicode(address(sender)));  // PR_SENDER_EMAIL_ADDRESS
  m.props.set(makeTag(0x0C1E, pt::Unicode), PropValue::unicode("SMTP"));           // PR_SENDER_ADDRTYPE
  m.props.set(tag::SentRepresentingName, PropValue::unicode(sender));
  m.props.set(tag::ClientSubmitTime, PropValue::sysTime(time));
  m.props.set(tag::MessageDeliveryTime, PropValue::sysTime(time + 600000000ull));
  m.props.set(tag::CreationTime, PropValue::sysTime(time + 600000000ull));
  m.props.set(tag::LastModificationTime, PropValue::sysTime(time + 600000000ull));
  m.props.set(tag::MessageFlags, PropValue::int32(r.below(4) == 0 ? 0 : 1));
  m.props.set(tag::Importance, PropValue::int32(static_cast<std::int32_t>(r.below(3))));
  m.props.set(tag::InternetCodepage, PropValue::int32(65001));
  m.props.set(tag::SearchKey, PropValue::binary(content(r, 16, false)));

  std::string body;
  std::size_t paragraphs = 1 + r.below(4);
  for (std::size_t p = 0; p < paragraphs; ++p) body += words(r, 20 + r.below(60)) + ".\r\n\r\n";
  if (r.below(2) == 0) {
    m.props.set(tag::Body, PropValue::unicode(body));
  } else {
    std::string html = "<html><body>";
    for (std::size_t p = 0; p < paragraphs; ++p) html += "<p>" + words(r, 20 + r.below(60)) + ".</p>";
    html += "</body></html>";
    m.props.set(tag::Html, PropValue::binary(Bytes(html.begin(), html.end())));
    m.props.set(tag::Body, PropValue::unicode(body));
  }

  // Named properties as Outlook sets them on mail.
  std::vector<std::string> categories;
  for (std::uint64_t i = 0, n = r.below(3); i < n; ++i) categories.push_back(r.pick(kWords));
  if (!categories.empty())
    m.props.setNamed(NamedProperty::byName(psetid::PublicStrings, "Keywords"), static_cast<PropType>(pt::Unicode | pt::MultiValued),
                     PropValue::multiUnicode(categories));
  m.props.setNamed(NamedProperty::byId(psetid::Common, 0x8503), pt::Boolean, PropValue::boolean(r.below(10) == 0));
  m.props.setNamed(NamedProperty::byName(psetid::InternetHeaders, "x-mailer"), pt::Unicode,
                   PropValue::unicode("Varnolt generator"));

  std::string to;
  for (std::uint64_t i = 0, n = r.count(o.recipients); i < n; ++i) {
    std::string name = person(r);
    PropertyBag rec;
    rec.set(tag::DisplayName, PropValue::unicode(name));
    rec.set(tag::EmailAddress, PropValue::unicode(address(name)));
    rec.set(tag::AddressType, PropValue::unicode("SMTP"));
    rec.set(tag::SmtpAddress, PropValue::unicode(address(name)));
    rec.set(tag::RecipientType, PropValue::int32(i == 0 || r.below(3) != 0 ? 1 : 2));
    rec.set(tag::ObjectType, PropValue::int32(6));
    rec.set(tag::RowId, PropValue::int32(static_cast<std::int32_t>(i)));
    if (i == 0 || to.size() < 200) to += (to.empty() ? "" : "; ") + name;
    m.recipients.push_back(std::move(rec));
    ++totals.recipients;
  }
  m.props.set(tag::DisplayTo, PropValue::unicode(to));

  for (std::uint64_t i = 0, n = r.count(o.attachmentsPerMessage); i < n; ++i) {
    const Kind& kind = r.pick(kKinds);
    double spread = 0.5 + r.unit();  // half to one and a half times the mean
    auto size = static_cast<std::size_t>(std::max(1.0, static_cast<double>(o.attachmentSize) * spread));
    std::string name = words(r, 2) + kind.extension;
    Attachment a;
    a.props.set(tag::AttachMethod, PropValue::int32(kAttachByValue));
    a.props.set(tag::AttachLongFilename, PropValue::unicode(name));
    a.props.set(tag::AttachFilename, PropValue::unicode(name.substr(0, 8)));
    a.props.set(tag::DisplayName, PropValue::unicode(name));
    a.props.set(tag::AttachExtension, PropValue::unicode(kind.extension));
    a.props.set(tag::AttachMimeTag, PropValue::unicode(kind.mime));
    a.props.set(tag::RenderingPosition, PropValue::int32(-1));
    a.props.set(tag::AttachDataBinary, PropValue::binary(content(r, size, kind.text)));
    m.attachments.push_back(std::move(a));
    ++totals.attachments;
    totals.attachmentBytes += size;
  }
  return m;
}

}  // namespace

GeneratorTotals generatePst(const std::filesystem::path& path, const GeneratorOptions& o,
                            const std::function<void(std::uint64_t)>& progress) {
  Random r(o.seed);
  WriterOptions wo;
  wo.seed = o.seed;
  auto w = Writer::create(path, "Personal Folders", wo);
  GeneratorTotals totals;
  std::vector<Writer::FolderId> folders;
  std::vector<unsigned> depth;
  for (std::uint32_t i = 0; i < o.folders; ++i) {
    // Nested: a third of the folders go under one made before, at most six deep.
    Writer::FolderId parent = w->ipmSubtree();
    unsigned d = 1;
    if (!folders.empty() && r.below(3) == 0) {
      std::size_t k = r.below(folders.size());
      if (depth[k] < 6) {
        parent = folders[k];
        d = depth[k] + 1;
      }
    }
    std::string name = r.pick(kFolderWords) + " " + std::to_string(i + 1);
    folders.push_back(w->createFolder(parent, name, "IPF.Note"));
    depth.push_back(d);
    ++totals.folders;
  }
  if (folders.empty()) folders.push_back(w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note"));
  for (std::uint64_t i = 0; i < o.messages; ++i) {
    Message m = makeMessage(r, o, i, totals);
    w->addMessage(folders[r.below(folders.size())], m);
    ++totals.messages;
    if (progress) progress(i + 1);
  }
  w->close();
  return totals;
}

}  // namespace varnolt::mapi::pst
