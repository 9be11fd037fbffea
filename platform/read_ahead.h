#pragma once
// The next messages of a source folder, read on a second thread while the
// walk works on the current one. Reading a message from the PST (its
// B-tree lookups, blocks, heaps and property values) is a third of a
// copy's work; done beside the writing, it leaves the walk's thread to the
// rest.
//
// The helper thread reads through a reader of its own over the same file,
// so the store the walk uses is never touched from two threads. What it
// reads is handed over only when it is whole: otherwise the walk reads the
// message itself, as it would without this, and so meets any failure
// itself with the same message. Attachment data left in the file (see
// pst::OpenOptions) is read through the walk's store once the message is
// handed over (pst::Store::adoptDeferredData).
//
// While attachments are being zipped, the helper also deflates the data of
// the attachments it hands over (zip::DeflateAhead), so the archives find
// it ready; while they are saved as files, it works out their digests
// (mapi::DigestAhead) for the run's report. Once the walk asks for them,
// it also copies each message it reads, for the walk's item that reads
// the message's scratch file (which otherwise copies it there).
//
// The helper keeps several messages ahead and the two threads wake each
// other only when one has to wait: on this kind of machine waking a
// sleeping thread costs more than reading a small message.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "mapi/message.h"
#include "mapi/pst/messaging/store.h"

namespace varnolt::platform::detail {

class MessageReadAhead {
 public:
  MessageReadAhead(std::filesystem::path path, mapi::pst::OpenOptions options);
  // Waits for a message being read to be done with.
  ~MessageReadAhead();
  MessageReadAhead(const MessageReadAhead&) = delete;
  MessageReadAhead& operator=(const MessageReadAhead&) = delete;

  // The messages the walk is about to take, in its order. They take the
  // place of those given before; what was read of those is let go of.
  void follow(std::vector<mapi::pst::NodeId> ids);
  // The message with this node id if it was read ahead: waits while it is
  // being read. Its deferred attachment data still reads through the
  // helper's store until the caller's store adopts it. Nothing when it is
  // not one of those followed, or it was not read yet, or it failed or
  // could not be handed over; the caller then reads it itself. Messages
  // the walk passed by are let go of. heldBytes, when given, receives
  // HeldMessageBytes of a message handed over. copy, when given, receives
  // a copy of it made on the helper's thread, when there is one: asking
  // for copies has the helper make them for the messages it reads next.
  std::optional<mapi::Message> take(mapi::pst::NodeId nid, std::size_t* heldBytes = nullptr,
                                    std::optional<mapi::Message>* copy = nullptr);
  // How many messages are read and waiting to be taken.
  std::size_t ready() const;

  // How many messages and bytes (as the scratch files count them) the
  // helper keeps ready at most; it goes on once half of them are taken.
  static constexpr std::size_t kMostKept = 16;
  static constexpr std::size_t kMostKeptBytes = 32u << 20;

 private:
  struct Read {
    mapi::pst::NodeId nid;
    mapi::Message message;
    std::size_t bytes;                  // HeldMessageBytes(message)
    std::optional<mapi::Message> copy;  // when copies are wanted
    std::size_t kept() const { return copy ? 2 * bytes : bytes; }
  };

  void run();
  bool roomToRead() const;

  const std::filesystem::path path_;
  const mapi::pst::OpenOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Everything below is under mutex_.
  std::vector<mapi::pst::NodeId> ids_;
  std::size_t nextToRead_ = 0;
  std::uint64_t listNumber_ = 0;
  std::optional<mapi::pst::NodeId> reading_;
  std::deque<Read> read_;
  std::size_t readBytes_ = 0;
  bool copiesWanted_ = false;
  bool walkWaits_ = false;
  bool helperWaits_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace varnolt::platform::detail
