#include "request_handler.hpp"

#include "common/quote.hpp"
#include "daemon_protocol.hpp"
#include "tavrin_account/connection.hpp"

namespace accountd {
namespace {

using nlohmann::json;
using tavrin_account::Error;

struct Outcome {
  bool success = true;
  json value;
  std::string summary = "ok";
};

Outcome failure(const Error& error) {
  return Outcome{
      .success = false, .value = error_to_json(error), .summary = std::string(tavrin_account::wire_name(error.kind()))};
}

Outcome get_secret(const json& params, SecretStore& store, RequestSummary& summary) {
  auto decoded = get_secret_params(params);
  if (!decoded) return failure(Error::invalid_params(std::move(decoded).error().text));
  summary.user = decoded->user.hyphenated();
  summary.name = common::quoted(decoded->name);
  auto secret = store.get(decoded->user, decoded->name);
  if (!secret) return failure(Error::internal(std::move(secret).error().text));
  const auto& found = *secret;
  if (!found) return failure(Error::no_such_secret());
  return Outcome{.value = tavrin_account::secret_to_json(*found)};
}

Outcome set_secret(const json& params, SecretStore& store, RequestSummary& summary) {
  auto decoded = set_secret_params(params);
  if (!decoded) return failure(Error::invalid_params(std::move(decoded).error().text));
  summary.user = decoded->user.hyphenated();
  summary.name = common::quoted(decoded->secret.name);
  if (auto stored = store.put(decoded->user, decoded->secret); !stored) {
    return failure(Error::internal(std::move(stored).error().text));
  }
  return Outcome{.value = nullptr};
}

Outcome dispatch(std::span<const std::uint8_t> body, SecretStore& store, RequestSummary& summary) {
  auto request = decode_request(body);
  if (!request) return failure(Error::invalid_params(std::move(request).error().text));
  summary.method = common::quoted(request->method);
  if (request->method == tavrin_account::GET_SECRET_METHOD) return get_secret(request->params, store, summary);
  if (request->method == tavrin_account::SET_SECRET_METHOD) return set_secret(request->params, store, summary);
  return failure(Error::not_implemented(request->method));
}

}  // namespace

RequestSummary handle_request(std::span<const std::uint8_t> body, SecretStore& store,
                              std::vector<std::uint8_t>& reply) {
  RequestSummary summary;
  Outcome outcome = dispatch(body, store, summary);
  summary.outcome = std::move(outcome.summary);
  const auto written = write_response(reply, outcome.success, outcome.value);
  if (!written || reply.size() > tavrin_account::MAX_MESSAGE_LENGTH) {
    // Only a stored secret that cannot be sent back gets here.
    const Error error = Error::internal(written ? "reply too large" : written.error().text);
    (void)write_response(reply, false, error_to_json(error));
    summary.outcome = "Internal";
  }
  return summary;
}

}  // namespace accountd
