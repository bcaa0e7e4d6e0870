#include "tavrin_account/secrets.hpp"

#include "reply.hpp"
#include "tavrin_account/protocol.hpp"
#include "tavrin_account/strict_json.hpp"

namespace tavrin_account {

std::expected<Secret, Error> get_secret(AccountConnection& connection, const common::Uuid& user,
                                        std::string_view name) {
  if (auto exchanged =
          reply::exchange_request(connection, GET_SECRET_METHOD,
                                  get_secret_params_to_json(GetSecretParams{.user = user, .name = std::string(name)}));
      !exchanged) {
    return std::unexpected(std::move(exchanged).error());
  }
  return secret_from_reply(connection.buffer());
}

std::expected<void, Error> set_secret(AccountConnection& connection, const common::Uuid& user, const Secret& secret) {
  auto value = call_method(connection, SET_SECRET_METHOD, set_secret_params_to_json(user, secret));
  if (!value) return std::unexpected(std::move(value).error());
  if (!value->is_null()) return std::unexpected(Error::communication(strict_json::invalid_type(*value, "unit")));
  return {};
}

}  // namespace tavrin_account
