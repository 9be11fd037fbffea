#include "platform/read_ahead.h"

#include <algorithm>
#include <exception>

#include "mapi/tags.h"
#include "mapi/util/digest_ahead.h"
#include "platform/report_facts.h"
#include "platform/store_adapter.h"
#include "zip/deflate_ahead.h"

namespace varnolt::platform::detail {

namespace {

// Works out ahead what the saving of the message's attachments needs of
// their data: its deflate data while they are zipped, its digest while
// they are saved as files. Either does nothing while off.
void prepareAttachmentData(const mapi::Message& message) {
  zip::DeflateAhead& deflate = zip::DeflateAhead::instance();
  mapi::DigestAhead& digest = mapi::DigestAhead::instance();
  if (!deflate.on() && !digest.on()) return;
  for (const mapi::Attachment& attachment : message.attachments) {
    if (attachment.embedded || attachment.method() != mapi::kAttachByValue) continue;
    if (const mapi::Bytes* data = attachment.dataBinary()) {
      deflate.prepare(data->data(), data->size());
      digest.prepare(data->data(), data->size());
    }
  }
}

}  // namespace

MessageReadAhead::MessageReadAhead(std::filesystem::path path, mapi::pst::OpenOptions options)
    : path_(std::move(path)), options_(options), thread_([this] { run(); }) {}

MessageReadAhead::~MessageReadAhead() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool MessageReadAhead::roomToRead() const { return read_.size() < kMostKept && readBytes_ < kMostKeptBytes; }

void MessageReadAhead::follow(std::vector<mapi::pst::NodeId> ids) {
  std::lock_guard lock(mutex_);
  ids_ = std::move(ids);
  nextToRead_ = 0;
  ++listNumber_;
  read_.clear();
  readBytes_ = 0;
  if (helperWaits_) changed_.notify_all();
}

std::optional<mapi::Message> MessageReadAhead::take(mapi::pst::NodeId nid, std::size_t* heldBytes,
                                                    std::optional<mapi::Message>* copy) {
  std::unique_lock lock(mutex_);
  if (copy) copiesWanted_ = true;
  if (reading_ == nid) {
    walkWaits_ = true;
    changed_.wait(lock, [&] { return reading_ != nid; });
    walkWaits_ = false;
  }
  auto it = std::find_if(read_.begin(), read_.end(), [&](const Read& r) { return r.nid == nid; });
  std::optional<mapi::Message> message;
  if (it != read_.end()) {
    message = std::move(it->message);
    if (heldBytes) *heldBytes = it->bytes;
    if (copy) *copy = std::move(it->copy);
    ++it;
  } else {
    // Not read yet: the walk reads it here, and the helper goes on with
    // the message after it.
    auto ahead = std::find(ids_.begin() + static_cast<std::ptrdiff_t>(nextToRead_), ids_.end(), nid);
    if (ahead == ids_.end()) return std::nullopt;
    nextToRead_ = static_cast<std::size_t>(ahead - ids_.begin()) + 1;
    it = read_.end();
  }
  // This message and those before it are the walk's past.
  for (auto passed = read_.begin(); passed != it; ++passed) readBytes_ -= passed->kept();
  read_.erase(read_.begin(), it);
  if (helperWaits_ && read_.size() <= kMostKept / 2 && readBytes_ <= kMostKeptBytes / 2) changed_.notify_all();
  return message;
}

std::size_t MessageReadAhead::ready() const {
  std::lock_guard lock(mutex_);
  return read_.size();
}

void MessageReadAhead::run() {
  std::unique_ptr<mapi::pst::Store> store;
  bool unusable = false;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!stopping_ && !(nextToRead_ < ids_.size() && roomToRead())) {
      helperWaits_ = true;
      changed_.wait(lock, [&] { return stopping_ || (nextToRead_ < ids_.size() && roomToRead()); });
      helperWaits_ = false;
    }
    if (stopping_) return;
    const mapi::pst::NodeId nid = ids_[nextToRead_++];
    const std::uint64_t list = listNumber_;
    // Copies only while the helper is ahead of the walk: when the walk
    // waits for the helper, the copy would only move from one to the other
    // and cost the two cores' caches more.
    const bool copying = copiesWanted_ && read_.size() >= kMostKept / 4;
    reading_ = nid;
    lock.unlock();
    std::optional<mapi::Message> message;
    std::optional<mapi::Message> copy;
    std::size_t bytes = 0;
    if (!unusable) {
      try {
        if (!store) store = mapi::pst::Store::open(path_, options_);
        message = store->readMessage(nid);
        bytes = HeldMessageBytes(*message);
        // A message too large to keep beside others is read by the walk.
        if (bytes > kMostKeptBytes) message.reset();
        if (message) {
          // The run's report reads the bodies of a message with
          // attachments; they are ready for it then.
          if (!message->attachments.empty()) BodyStateOf(message->props);
          prepareAttachmentData(*message);
          // A copy as large again fits beside the others only up to half.
          if (copying && bytes <= kMostKeptBytes / 2) copy = *message;
        }
      } catch (const std::exception&) {
        // The walk reads this message itself and hears why it fails. A
        // file that cannot be opened twice is read on the walk's thread
        // alone from here on.
        message.reset();
        copy.reset();
        if (!store) unusable = true;
      }
    }
    lock.lock();
    reading_.reset();
    if (message && list == listNumber_) {
      read_.push_back(Read{nid, std::move(*message), bytes, std::move(copy)});
      readBytes_ += read_.back().kept();
    }
    if (walkWaits_) changed_.notify_all();
  }
}

}  // namespace varnolt::platform::detail
