// The mail session's scratch .msg files as the walk uses them: a message
// written and read straight back, a file rewritten shorter, a file changed
// by someone else between the write and the read, an unchanged Commit.

#include <gtest/gtest.h>

#include "mapi/body/body.h"
#include "mapi/msg/msg_file.h"
#include "platform/mail_session.h"
#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

namespace e = varnolt::engine;

class ScratchMsg : public ::testing::Test {
 protected:
  void SetUp() override {
    VARNOLT_REQUIRE_SAMPLES();
    fs::copy_file(samplesDir() / "msg" / "outlook-msgwithatt.msg", path);
  }
  TempDir dir;
  fs::path path = dir / "1.msg";
  std::shared_ptr<e::MailSession> session = platform::NewMailSession();
};

TEST_F(ScratchMsg, ARewrittenFileIsCutToItsNewLength) {
  auto x = session->GetMessageFromMsgFile(path.string());
  const auto before = fs::file_size(path);
  const std::int32_t count = x->AttachmentList()->Count();
  ASSERT_GE(count, 1);
  for (std::int32_t i = count; i >= 1; --i) x->AttachmentList()->Item(i)->Delete();
  x->Body("short");
  x->Commit();
  EXPECT_LT(fs::file_size(path), before);
  // Read from the disk by a reader of its own: no stale tail, the new
  // content whole.
  const mapi::Message back = mapi::msg::readMessageFile(path);
  EXPECT_TRUE(back.attachments.empty());
  EXPECT_EQ(mapi::body::plainBody(back.props), "short");
  // And by the session, as the import after the treatment reads it.
  auto e2 = session->GetMessageFromMsgFile(path.string());
  EXPECT_EQ(e2->AttachmentList()->Count(), 0);
  EXPECT_EQ(e2->Body(), "short");
}

TEST_F(ScratchMsg, AFileChangedAfterTheWriteIsReadFromTheDisk) {
  auto x = session->GetMessageFromMsgFile(path.string());
  x->Body("written by the session");
  x->Commit();
  // Someone else puts another message in its place before it is read.
  fs::copy_file(samplesDir() / "msg" / "outlook-note.msg", path, fs::copy_options::overwrite_existing);
  const mapi::Message other = mapi::msg::readMessageFile(samplesDir() / "msg" / "outlook-note.msg");
  auto y = session->GetMessageFromMsgFile(path.string());
  EXPECT_EQ(y->Body(), mapi::body::plainBody(other.props));
  EXPECT_EQ(y->AttachmentList()->Count(), static_cast<std::int32_t>(other.attachments.size()));
}

TEST_F(ScratchMsg, AnUnchangedCommitLeavesTheFileAndItReadsBackAlike) {
  const std::string sha = fileSha256(path);
  auto x = session->GetMessageFromMsgFile(path.string());
  const std::string body = x->Body();
  const std::int32_t count = x->AttachmentList()->Count();
  x->Commit();
  EXPECT_EQ(fileSha256(path), sha);
  auto y = session->GetMessageFromMsgFile(path.string());
  EXPECT_EQ(y->Body(), body);
  EXPECT_EQ(y->AttachmentList()->Count(), count);
  // Twice in a row: the second reader gets the file, not a message
  // handed over once already.
  auto z = session->GetMessageFromMsgFile(path.string());
  EXPECT_EQ(z->Body(), body);
}

}  // namespace
}  // namespace varnolt::test
