// A URI either names an endpoint that writes back to the same URI and has a
// socket address within the kernel's limits, or is refused.
#include <cstdlib>
#include <string>

#include "tavrin_account/endpoint.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view uri(reinterpret_cast<const char*>(data), size);
  const auto endpoint = tavrin_account::parse_endpoint_uri(uri);
  if (!endpoint) return 0;
  const bool abstract = endpoint->kind == tavrin_account::EndpointAddress::Kind::Abstract;
  if ((abstract ? "unix://@" : "unix://") + endpoint->bytes != uri) std::abort();
  const auto address = tavrin_account::make_socket_address(*endpoint);
  if (!address) return 0;
  if (address->length > sizeof(sockaddr_un)) std::abort();
  return 0;
}
