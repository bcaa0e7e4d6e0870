#include "common/io_error.hpp"

#include <array>
#include <cerrno>
#include <cstring>

#include "common/overloaded.hpp"
#include "common/quote.hpp"

namespace common {
namespace {

// strerror_r comes in a GNU and an XSI flavour; accept whichever the C
// library declares.
[[maybe_unused]] const char* strerror_result(const char* gnu, const char* /*buffer*/) { return gnu; }
[[maybe_unused]] const char* strerror_result(int xsi, const char* buffer) {
  return xsi == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_message(int code) {
  std::array<char, 256> buffer{};
  return strerror_result(strerror_r(code, buffer.data(), buffer.size()), buffer.data());
}

IoError IoError::from_os_code(int code) { return IoError(std::in_place_type<Os>, code); }

IoError IoError::last_os_error() { return from_os_code(errno); }

IoError IoError::with_message(ErrorKind kind, std::string_view message) {
  return IoError(std::in_place_type<Message>, kind, std::string(message));
}

IoError IoError::custom(ErrorKind kind, AnyError error) {
  return IoError(std::in_place_type<Custom>, kind, std::move(error));
}

IoError IoError::from_kind(ErrorKind kind) { return IoError(std::in_place_type<Bare>, kind); }

ErrorKind IoError::kind() const {
  return std::visit(Overloaded{
                        [](const Os& os) { return error_kind_from_os_code(os.code); },
                        [](const Message& m) { return m.kind; },
                        [](const Custom& c) { return c.kind; },
                        [](const Bare& b) { return b.kind; },
                    },
                    payload_);
}

FailureClass IoError::failure_class() const {
  if (const auto* custom = std::get_if<Custom>(&payload_)) {
    if (const FailureClass wrapped = custom->error.failure_class(); wrapped != FailureClass::Unclassified) {
      return wrapped;
    }
  }
  switch (kind()) {
    case ErrorKind::NotFound:
    case ErrorKind::PermissionDenied:
    case ErrorKind::ConnectionRefused:
    case ErrorKind::ConnectionReset:
    case ErrorKind::ConnectionAborted:
    case ErrorKind::NotConnected:
    case ErrorKind::AddrNotAvailable:
    case ErrorKind::HostUnreachable:
    case ErrorKind::NetworkUnreachable:
    case ErrorKind::NetworkDown:
    case ErrorKind::BrokenPipe:
    case ErrorKind::TimedOut:
    case ErrorKind::UnexpectedEof: return FailureClass::Unreachable;
    default: return FailureClass::Unclassified;
  }
}

std::optional<int> IoError::os_code() const {
  if (const auto* os = std::get_if<Os>(&payload_)) return os->code;
  return std::nullopt;
}

std::string IoError::display() const {
  return std::visit(
      Overloaded{
          [](const Os& os) { return os_error_message(os.code) + " (os error " + std::to_string(os.code) + ")"; },
          [](const Message& m) { return m.text; },
          [](const Custom& c) { return c.error.display(); },
          [](const Bare& b) { return std::string(error_kind_description(b.kind)); },
      },
      payload_);
}

std::string IoError::debug() const {
  return std::visit(Overloaded{
                        [](const Os& os) {
                          return "Os { code: " + std::to_string(os.code) +
                                 ", kind: " + std::string(error_kind_name(error_kind_from_os_code(os.code))) +
                                 ", message: " + common::quoted(os_error_message(os.code)) + " }";
                        },
                        [](const Message& m) {
                          return "Error { kind: " + std::string(error_kind_name(m.kind)) +
                                 ", message: " + common::quoted(m.text) + " }";
                        },
                        [](const Custom& c) {
                          return "Custom { kind: " + std::string(error_kind_name(c.kind)) +
                                 ", error: " + c.error.debug() + " }";
                        },
                        [](const Bare& b) { return "Kind(" + std::string(error_kind_name(b.kind)) + ")"; },
                    },
                    payload_);
}

}  // namespace common
