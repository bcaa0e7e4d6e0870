// Any reply body either decodes, and what it decodes to (a value, a Secret,
// an Error) survives being written by the daemon's side and read again
// unchanged, or it is refused with a message; nothing else may happen.
#include <cstdlib>

#include "daemon_protocol.hpp"
#include "tavrin_account/protocol.hpp"
#include "tavrin_account/secrets.hpp"

namespace {

std::vector<std::uint8_t> reply(bool success, const nlohmann::json& value) {
  std::vector<std::uint8_t> written;
  if (!accountd::write_response(written, success, value)) std::abort();
  return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> body(data, size);
  const auto value = tavrin_account::value_from_reply(body);
  if (value) {
    if (tavrin_account::value_from_reply(reply(true, *value)) != value) std::abort();
  } else if (value.error().sent_by_daemon()) {
    const auto again = tavrin_account::value_from_reply(reply(false, accountd::error_to_json(value.error())));
    if (again || again.error() != value.error()) std::abort();
    (void)value.error().display();
    (void)value.error().debug();
  } else if (value.error().text().empty()) {
    std::abort();
  }
  if (const auto secret = tavrin_account::secret_from_reply(body)) {
    if (tavrin_account::secret_from_reply(reply(true, tavrin_account::secret_to_json(*secret))) != secret) {
      std::abort();
    }
  }
  return 0;
}
