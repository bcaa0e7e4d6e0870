#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "common/any_error.hpp"
#include "common/failure_class.hpp"

namespace common {

enum class ErrorKind : std::uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  QuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  InProgress,
  TooManyOpenFiles,
  InputOutputError,
  Other,
  Uncategorized,
};

[[nodiscard]] std::string_view error_kind_name(ErrorKind kind);
[[nodiscard]] std::string_view error_kind_description(ErrorKind kind);
// Linux error numbers 1 to 122 map to kinds; everything else is Uncategorized.
[[nodiscard]] ErrorKind error_kind_from_os_code(int code);
// The platform's message for an error number (strerror_r).
[[nodiscard]] std::string os_error_message(int code);

// The error of an operating-system or stream operation.
class [[nodiscard]] IoError {
 public:
  [[nodiscard]] static IoError from_os_code(int code);
  // From errno as it stands now.
  [[nodiscard]] static IoError last_os_error();
  [[nodiscard]] static IoError with_message(ErrorKind kind, std::string_view message);
  [[nodiscard]] static IoError custom(ErrorKind kind, AnyError error);
  [[nodiscard]] static IoError from_kind(ErrorKind kind);

  [[nodiscard]] ErrorKind kind() const;
  [[nodiscard]] std::optional<int> os_code() const;
  // A wrapped error's own class; otherwise Unreachable for the kinds a
  // connection fails with (refused, reset, no such socket, not allowed,
  // timed out, ended early), else Unclassified.
  [[nodiscard]] FailureClass failure_class() const;

  [[nodiscard]] std::string display() const;
  [[nodiscard]] std::string debug() const;

 private:
  struct Os {
    int code;
  };
  struct Message {
    ErrorKind kind;
    std::string text;
  };
  struct Custom {
    ErrorKind kind;
    AnyError error;
  };
  struct Bare {
    ErrorKind kind;
  };
  using Payload = std::variant<Os, Message, Custom, Bare>;

  // Built in place: GCC 12 warns falsely about moving a temporary variant.
  template <class P, class... Args>
  explicit IoError(std::in_place_type_t<P> type, Args&&... args) : payload_(type, std::forward<Args>(args)...) {}

  Payload payload_;
};

}  // namespace common
