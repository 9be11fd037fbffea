#pragma once
// The mail store the compression engine works with, over the store
// library: PST files read with mapi::pst::Store, new PST files written with
// mapi::pst::Writer, Outlook item files read and written with mapi::msg.
//
// - AttachPstFile opens an existing file read-only (a source is never
//   written: every change to it fails) and creates a missing one as a new
//   Unicode PST, finished when the store is closed or let go.
// - Messages of a source are read whole when first needed; a message of a
//   .msg file is written back by Commit; a new item of a store being
//   written goes into its folder by Commit.
// - Every failure reaches the caller as engine::StoreError with a reason a
//   user can read.

#include <memory>

#include "engine/mail_store.h"

namespace varnolt::platform {

// What OutlookVersion answers. The new files are Unicode PSTs whose bodies
// carry PR_NATIVE_BODY_INFO, which came with Outlook 2007 (12); from 11 on
// the engine writes its links as HTML with "%20" for blanks, the form a
// modern store shows as a link.
inline constexpr const char* kOutlookVersionText = "12.0.0.0";

// A new session over the store library; it needs no profile and never asks
// the user anything.
std::shared_ptr<engine::MailSession> NewMailSession();

}  // namespace varnolt::platform
