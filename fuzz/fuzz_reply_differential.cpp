// For any reply body, the client's decision agrees with the independent
// reading in reference_reply.hpp: whether it is a Response at all, whether a
// success reply holds a Secret (and which), and which error a failure reply
// carries. A body that is no Response fails with a message that says where.
#include <cstdlib>
#include <string_view>

#include "reference_reply.hpp"
#include "tavrin_account/protocol.hpp"
#include "tavrin_account/secrets.hpp"

namespace {

using tavrin_account::Error;

// What the client's error reader says when it cannot read an error; a
// daemon's own error texts are not checked against these.
bool is_decoder_message(const std::string& text) {
  return text.starts_with("invalid type: ") || text.starts_with("invalid value: ") ||
         text.starts_with("unknown variant `");
}

void expect(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> body(data, size);
  const auto reply = reference::response(std::string_view(reinterpret_cast<const char*>(data), size));
  const auto value = tavrin_account::value_from_reply(body);
  const auto secret = tavrin_account::secret_from_reply(body);
  // A reply that was read at all is a value or the daemon's error.
  expect((value.has_value() || value.error().sent_by_daemon()) == reply.has_value());

  if (!reply) {
    expect(!value.has_value() && !secret.has_value());
    for (const Error* error : {&value.error(), &secret.error()}) {
      expect(error->kind() == Error::Kind::Communication && error->text().contains(" line "));
    }
    return 0;
  }
  if (reply->success) {
    expect(value.has_value());
    const auto expected = reference::secret(reply->value);
    expect(secret.has_value() == expected.has_value());
    if (expected)
      expect(*secret == *expected);
    else
      expect(secret.error().kind() == Error::Kind::Communication);
    return 0;
  }
  const auto expected = reference::error(reply->value);
  expect(!value.has_value() && !secret.has_value());
  for (const Error* error : {&value.error(), &secret.error()}) {
    if (expected)
      expect(*error == *expected);
    else
      expect(error->kind() == Error::Kind::InvalidParams && is_decoder_message(error->text()));
  }
  return 0;
}
