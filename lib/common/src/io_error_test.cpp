#include "common/io_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "common/message_error.hpp"

namespace common {
namespace {

TEST(IoError, OsCodeShowsSystemMessageAndKind) {
  const auto refused = IoError::from_os_code(ECONNREFUSED);
  EXPECT_EQ(refused.kind(), ErrorKind::ConnectionRefused);
  EXPECT_EQ(refused.display(), "Connection refused (os error 111)");
  EXPECT_EQ(refused.debug(), R"(Os { code: 111, kind: ConnectionRefused, message: "Connection refused" })");

  // What the driver's final line shows for the failures a run can meet: no
  // terminal, no daemon, a daemon gone, a store or socket it may not use.
  const std::pair<int, std::string_view> met[] = {
      {ENXIO, R"(Os { code: 6, kind: Uncategorized, message: "No such device or address" })"},
      {ENOENT, R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })"},
      {EACCES, R"(Os { code: 13, kind: PermissionDenied, message: "Permission denied" })"},
      {ECONNRESET, R"(Os { code: 104, kind: ConnectionReset, message: "Connection reset by peer" })"},
      {EPIPE, R"(Os { code: 32, kind: BrokenPipe, message: "Broken pipe" })"},
      {EMFILE, R"(Os { code: 24, kind: TooManyOpenFiles, message: "Too many open files" })"},
      {ENOTTY, R"(Os { code: 25, kind: Uncategorized, message: "Inappropriate ioctl for device" })"},
  };
  for (const auto& [code, debug] : met) {
    const auto error = IoError::from_os_code(code);
    EXPECT_EQ(error.debug(), debug);
    EXPECT_EQ(error.os_code(), code);
  }
  EXPECT_EQ(IoError::from_os_code(0).kind(), ErrorKind::Uncategorized);
  EXPECT_EQ(IoError::from_os_code(-1).kind(), ErrorKind::Uncategorized);
}

TEST(IoError, FixedMessageCustomAndBareKindForms) {
  const auto eof = IoError::with_message(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
  EXPECT_EQ(eof.display(), "failed to fill whole buffer");
  EXPECT_EQ(eof.debug(), R"(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })");
  EXPECT_FALSE(eof.os_code().has_value());

  const auto custom = IoError::custom(ErrorKind::NotConnected, MessageError("not a terminal"));
  EXPECT_EQ(custom.kind(), ErrorKind::NotConnected);
  EXPECT_EQ(custom.display(), "not a terminal");
  EXPECT_EQ(custom.debug(), R"(Custom { kind: NotConnected, error: "not a terminal" })");

  const AnyError bare = IoError::from_kind(ErrorKind::AddrNotAvailable);
  EXPECT_EQ(bare.display(), "address not available");
  EXPECT_EQ(bare.debug(), "Kind(AddrNotAvailable)");
  EXPECT_EQ(IoError::from_kind(ErrorKind::FileTooLarge).display(), "file too large");
}

}  // namespace
}  // namespace common
