// Whatever a client sends, the daemon answers with one well-formed reply
// within the message limit, which the client reads, and keeps working.
#include <cstdlib>

#include "request_handler.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/error.hpp"
#include "tavrin_account/protocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto store = accountd::SecretStore::open_in_memory();
  if (!store) std::abort();
  std::vector<std::uint8_t> reply;
  const auto summary = accountd::handle_request({data, size}, *store, reply);
  if (summary.outcome.empty() || reply.size() > tavrin_account::MAX_MESSAGE_LENGTH) std::abort();
  const auto value = tavrin_account::value_from_reply(reply);
  if (value) return 0;
  // A failure reply, whose error the client reads as the one the log names.
  if (!value.error().sent_by_daemon()) std::abort();
  if (tavrin_account::wire_name(value.error().kind()) != summary.outcome) std::abort();
  return 0;
}
