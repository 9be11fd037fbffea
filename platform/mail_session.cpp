// The session and its list of attached stores.

#include "platform/mail_session.h"

#include <system_error>

#include "base/file_system.h"
#include "base/utf8_path.h"
#include "platform/store_adapter.h"

namespace varnolt::platform {

namespace {

using detail::guarded;
using engine::StoreError;

// The same file named two ways is one store.
std::filesystem::path samePathKey(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path named = base::pathFromUtf8(path);
  std::filesystem::path p = base::fileSystem().resolved(named, ec);
  return ec ? named.lexically_normal() : p;
}

// The stores attached in a session. It holds them weakly: a store is
// finished as soon as its last user lets go of it, and then leaves the
// list.
class PstStoreList : public engine::StoreList {
 public:
  std::int32_t Count() override { return static_cast<std::int32_t>(live().size()); }

  std::unique_ptr<engine::Enumerator<engine::MailStore>> Enumerate() override {
    class Each : public engine::Enumerator<engine::MailStore> {
     public:
      explicit Each(std::vector<std::shared_ptr<engine::MailStore>> stores) : stores_(std::move(stores)) {}
      std::shared_ptr<engine::MailStore> Next() override { return next_ < stores_.size() ? stores_[next_++] : nullptr; }

     private:
      std::vector<std::shared_ptr<engine::MailStore>> stores_;
      std::size_t next_ = 0;
    };
    return std::make_unique<Each>(live());
  }

  // An existing file is opened read-only; a missing one is created as a
  // new Unicode PST named displayName (its file name when omitted). A file
  // already attached and still open is the store attached before.
  std::shared_ptr<engine::MailStore> AttachPstFile(const std::string& path, std::int32_t format,
                                                   const std::optional<std::string>& displayName) override {
    return guarded("AttachPstFile " + path, [&]() -> std::shared_ptr<engine::MailStore> {
      if (format != engine::kFormatUnicodePst)
        throw StoreError("AttachPstFile: store format " + std::to_string(format) + " is not known (" +
                         std::to_string(engine::kFormatUnicodePst) + " is a Unicode PST)");
      if (path.empty()) throw StoreError("AttachPstFile: no file named");
      const std::filesystem::path key = samePathKey(path);
      for (const auto& store : live()) {
        auto* pst = static_cast<detail::PstMailStore*>(store.get());
        if (pst->state()->isOpen() && samePathKey(base::utf8Of(pst->state()->path())) == key) return store;
      }
      std::error_code ec;
      std::shared_ptr<detail::StoreState> state;
      const std::filesystem::path file = base::pathFromUtf8(path);
      if (base::fileSystem().status(file, ec).type != base::EntryType::None) {
        state = detail::StoreState::openSource(file);
      } else {
        state = detail::StoreState::create(file, displayName.value_or(base::utf8Of(file.stem())));
      }
      auto store = std::make_shared<detail::PstMailStore>(std::move(state));
      stores_.push_back(store);
      return store;
    });
  }

 private:
  std::vector<std::shared_ptr<engine::MailStore>> live() {
    std::vector<std::shared_ptr<engine::MailStore>> out;
    std::vector<std::weak_ptr<engine::MailStore>> kept;
    for (const auto& weak : stores_) {
      if (auto s = weak.lock()) {
        out.push_back(s);
        kept.push_back(weak);
      }
    }
    stores_ = std::move(kept);
    return out;
  }

  std::vector<std::weak_ptr<engine::MailStore>> stores_;
};

class PstMailSession : public engine::MailSession {
 public:
  // There is no profile to open and nobody to ask: the store library needs
  // nothing before a store is attached.
  void LogOnDefault() override {}

  std::string OutlookVersion() override { return kOutlookVersionText; }

  std::shared_ptr<engine::StoreList> StoreList() override { return stores_; }

  std::shared_ptr<engine::MailMessage> GetMessageFromMsgFile(const std::string& path) override {
    return std::make_shared<detail::FileMessage>(base::pathFromUtf8(path));
  }

 private:
  std::shared_ptr<PstStoreList> stores_ = std::make_shared<PstStoreList>();
};

}  // namespace

std::shared_ptr<engine::MailSession> NewMailSession() { return std::make_shared<PstMailSession>(); }

}  // namespace varnolt::platform
