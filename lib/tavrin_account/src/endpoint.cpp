#include "tavrin_account/endpoint.hpp"

#include <cstdlib>
#include <cstring>

#include "common/utf8.hpp"

namespace tavrin_account {
namespace {

constexpr std::string_view SCHEME = "unix://";
constexpr std::size_t PATH_AREA = sizeof(sockaddr_un::sun_path);  // 108
constexpr std::size_t FAMILY_SIZE = sizeof(sa_family_t);

}  // namespace

std::string resolve_endpoint_uri() {
  const char* value =
      std::getenv(ACCOUNT_IPC_URI_VARIABLE.data());  // NOLINT(bugprone-suspicious-stringview-data-usage): a literal
  if (value == nullptr || !common::is_utf8(value)) return std::string(DEFAULT_ACCOUNT_IPC_URI);
  return value;
}

std::expected<EndpointAddress, common::IoError> parse_endpoint_uri(std::string_view uri) {
  if (uri.size() <= SCHEME.size() || !uri.starts_with(SCHEME)) {
    return std::unexpected(common::IoError::from_kind(common::ErrorKind::AddrNotAvailable));
  }
  const std::string_view rest = uri.substr(SCHEME.size());
  if (rest.front() == '/') return EndpointAddress{EndpointAddress::Kind::Pathname, std::string(rest)};
  if (rest.front() == '@') return EndpointAddress{EndpointAddress::Kind::Abstract, std::string(rest.substr(1))};
  return std::unexpected(common::IoError::from_kind(common::ErrorKind::AddrNotAvailable));
}

std::expected<SocketAddress, common::IoError> make_socket_address(const EndpointAddress& endpoint) {
  SocketAddress result;
  std::memset(&result.address, 0, sizeof result.address);
  result.address.sun_family = AF_UNIX;
  const std::string& bytes = endpoint.bytes;
  if (endpoint.kind == EndpointAddress::Kind::Abstract) {
    if (bytes.size() > PATH_AREA - 1) {
      return std::unexpected(common::IoError::with_message(common::ErrorKind::InvalidInput,
                                                           "abstract socket name must be shorter than SUN_LEN"));
    }
    std::memcpy(result.address.sun_path + 1, bytes.data(), bytes.size());
    result.length = static_cast<socklen_t>(FAMILY_SIZE + 1 + bytes.size());
    return result;
  }
  if (bytes.contains('\0')) {
    return std::unexpected(
        common::IoError::with_message(common::ErrorKind::InvalidInput, "paths must not contain interior null bytes"));
  }
  if (bytes.size() >= PATH_AREA) {
    return std::unexpected(
        common::IoError::with_message(common::ErrorKind::InvalidInput, "path must be shorter than SUN_LEN"));
  }
  std::memcpy(result.address.sun_path, bytes.data(), bytes.size());
  result.length = static_cast<socklen_t>(FAMILY_SIZE + bytes.size() + 1);
  return result;
}

}  // namespace tavrin_account
