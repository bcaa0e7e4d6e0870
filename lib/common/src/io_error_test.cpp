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

  const auto no_device = IoError::from_os_code(ENXIO);
  EXPECT_EQ(no_device.kind(), ErrorKind::Uncategorized);
  EXPECT_EQ(no_device.debug(), R"(Os { code: 6, kind: Uncategorized, message: "No such device or address" })");
  EXPECT_EQ(no_device.os_code(), ENXIO);
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

TEST(IoError, KindTableCoversEveryListedCodeAndNothingElse) {
  const std::pair<int, ErrorKind> listed[] = {
      {1, ErrorKind::PermissionDenied},
      {13, ErrorKind::PermissionDenied},
      {2, ErrorKind::NotFound},
      {4, ErrorKind::Interrupted},
      {5, ErrorKind::InputOutputError},
      {7, ErrorKind::ArgumentListTooLong},
      {11, ErrorKind::WouldBlock},
      {12, ErrorKind::OutOfMemory},
      {16, ErrorKind::ResourceBusy},
      {17, ErrorKind::AlreadyExists},
      {18, ErrorKind::CrossesDevices},
      {20, ErrorKind::NotADirectory},
      {21, ErrorKind::IsADirectory},
      {22, ErrorKind::InvalidInput},
      {23, ErrorKind::TooManyOpenFiles},
      {24, ErrorKind::TooManyOpenFiles},
      {26, ErrorKind::ExecutableFileBusy},
      {27, ErrorKind::FileTooLarge},
      {28, ErrorKind::StorageFull},
      {29, ErrorKind::NotSeekable},
      {30, ErrorKind::ReadOnlyFilesystem},
      {31, ErrorKind::TooManyLinks},
      {32, ErrorKind::BrokenPipe},
      {35, ErrorKind::Deadlock},
      {36, ErrorKind::InvalidFilename},
      {38, ErrorKind::Unsupported},
      {95, ErrorKind::Unsupported},
      {39, ErrorKind::DirectoryNotEmpty},
      {40, ErrorKind::FilesystemLoop},
      {98, ErrorKind::AddrInUse},
      {99, ErrorKind::AddrNotAvailable},
      {100, ErrorKind::NetworkDown},
      {101, ErrorKind::NetworkUnreachable},
      {103, ErrorKind::ConnectionAborted},
      {104, ErrorKind::ConnectionReset},
      {107, ErrorKind::NotConnected},
      {110, ErrorKind::TimedOut},
      {111, ErrorKind::ConnectionRefused},
      {113, ErrorKind::HostUnreachable},
      {115, ErrorKind::InProgress},
      {116, ErrorKind::StaleNetworkFileHandle},
      {122, ErrorKind::QuotaExceeded},
  };
  for (int code = -1; code <= 140; ++code) {
    ErrorKind expected = ErrorKind::Uncategorized;
    for (const auto& [listed_code, kind] : listed) {
      if (listed_code == code) expected = kind;
    }
    EXPECT_EQ(error_kind_from_os_code(code), expected) << "code " << code;
  }
  EXPECT_EQ(error_kind_name(ErrorKind::StaleNetworkFileHandle), "StaleNetworkFileHandle");
}

}  // namespace
}  // namespace common
