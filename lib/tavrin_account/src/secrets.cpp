#include "tavrin_account/secrets.hpp"

#include "strict_json.hpp"
#include "tavrin_account/protocol.hpp"

namespace tavrin_account {

std::expected<Secret, Error> get_secret(AccountConnection& connection, const common::Uuid& user,
                                        std::string_view name) {
  auto value = call_method(connection, GET_SECRET_METHOD,
                           get_secret_params_to_json(GetSecretParams{.user = user, .name = std::string(name)}));
  if (!value) return std::unexpected(std::move(value).error());
  auto secret = secret_from_json(*value);
  if (!secret) return std::unexpected(Error::communication(std::move(secret).error()));
  return std::move(*secret);
}

std::expected<void, Error> set_secret(AccountConnection& connection, const common::Uuid& user, const Secret& secret) {
  auto value = call_method(connection, SET_SECRET_METHOD,
                           nlohmann::json::object({{"secret", secret_to_json(secret)}, {"user", user.hyphenated()}}));
  if (!value) return std::unexpected(std::move(value).error());
  if (!value->is_null()) return std::unexpected(Error::communication(detail::invalid_type(*value, "unit")));
  return {};
}

}  // namespace tavrin_account
