// Whatever a client sends, the daemon answers with one well-formed reply
// within the message limit, and keeps working.
#include <cstdlib>

#include "request_handler.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/protocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto store = accountd::SecretStore::open_in_memory();
  if (!store) std::abort();
  std::vector<std::uint8_t> reply;
  const auto summary = accountd::handle_request({data, size}, *store, reply);
  if (summary.outcome.empty() || reply.size() > tavrin_account::MAX_MESSAGE_LENGTH) std::abort();
  const auto response = tavrin_account::decode_response(reply);
  if (!response) std::abort();
  if (!response->success && !tavrin_account::error_from_json(response->value)) std::abort();
  return 0;
}
