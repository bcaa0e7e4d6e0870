// Any reply body either decodes, and what it decodes to (a Secret, an Error)
// survives being written and read again unchanged, or it is refused with a
// message; nothing else may happen.
#include <cstdlib>

#include "tavrin_account/protocol.hpp"
#include "tavrin_account/secrets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto response = tavrin_account::decode_response({data, size});
  if (!response) {
    if (response.error().empty()) std::abort();
    return 0;
  }
  std::vector<std::uint8_t> written;
  if (!tavrin_account::write_response(written, response->success, response->value)) std::abort();
  const auto again = tavrin_account::decode_response(written);
  if (!again || again->success != response->success || again->value != response->value) std::abort();

  if (const auto secret = tavrin_account::secret_from_json(response->value)) {
    if (tavrin_account::secret_from_json(tavrin_account::secret_to_json(*secret)) != *secret) std::abort();
  }
  if (const auto error = tavrin_account::error_from_json(response->value)) {
    if (tavrin_account::error_from_json(tavrin_account::error_to_json(*error)) != *error) std::abort();
    (void)error->display();
    (void)error->debug();
  }
  return 0;
}
