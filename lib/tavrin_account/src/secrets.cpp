#include "tavrin_account/secrets.hpp"

#include <limits>
#include <utility>

#include "common/invariant.hpp"
#include "reply.hpp"
#include "tavrin_account/protocol.hpp"
#include "tavrin_account/strict_json.hpp"

namespace tavrin_account {
namespace {

using json = nlohmann::json;
using strict_json::invalid_type;
using strict_json::refuse;

std::expected<std::string, common::MessageError> read_string(const json& value) {
  if (!value.is_string()) return refuse(invalid_type(value, "a string"));
  return value.get<std::string>();
}

std::expected<std::vector<std::uint8_t>, common::MessageError> read_bytes(const json& value) {
  if (!value.is_array()) return refuse(invalid_type(value, "a sequence"));
  const auto& elements = value.get_ref<const json::array_t&>();
  std::vector<std::uint8_t> bytes;
  bytes.reserve(elements.size());
  for (const json& element : elements) {
    if (element.is_number_unsigned()) {
      const auto number = element.get<std::uint64_t>();
      if (number > 0xFF) return refuse("invalid value: integer `" + element.dump() + "`, expected u8");
      bytes.push_back(static_cast<std::uint8_t>(number));
    } else if (element.is_number_integer()) {
      const auto number = element.get<std::int64_t>();
      if (number < 0 || number > 0xFF) {
        return refuse("invalid value: integer `" + element.dump() + "`, expected u8");
      }
      bytes.push_back(static_cast<std::uint8_t>(number));
    } else {
      return refuse(invalid_type(element, "u8"));
    }
  }
  return bytes;
}

std::expected<std::int64_t, common::MessageError> read_i64(const json& value) {
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return refuse("invalid value: integer `" + value.dump() + "`, expected i64");
    }
    return static_cast<std::int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  return refuse(invalid_type(value, "i64"));
}

std::expected<SecurityFlags, common::MessageError> read_flags(const json& value) {
  if (!value.is_string()) return refuse(invalid_type(value, "a string value of `|` separated flags"));
  auto flags = parse_security_flags(value.get_ref<const std::string&>());
  if (!flags) return refuse(flags.error().display());
  return *flags;
}

}  // namespace

std::expected<Secret, common::MessageError> secret_from_fields(std::span<const json> fields) {
  if (fields.size() != SECRET_FIELDS.size()) {
    common::invariant_broken("the record reader handed over another number of secret fields");
  }
  Secret secret;
  if (auto v = read_string(fields[0]); v)
    secret.name = std::move(*v);
  else
    return std::unexpected(v.error());
  if (auto v = read_bytes(fields[1]); v)
    secret.data = std::move(*v);
  else
    return std::unexpected(v.error());
  if (auto v = read_flags(fields[2]); v)
    secret.security_flags = *v;
  else
    return std::unexpected(v.error());
  if (auto v = read_i64(fields[3]); v)
    secret.creation_time = *v;
  else
    return std::unexpected(v.error());
  if (auto v = read_i64(fields[4]); v)
    secret.expiration_time = *v;
  else
    return std::unexpected(v.error());
  return secret;
}

json secret_to_json(const Secret& secret) {
  json data = json::array();
  auto& elements = data.get_ref<json::array_t&>();
  elements.reserve(secret.data.size());
  for (const std::uint8_t byte : secret.data) elements.emplace_back(byte);
  return json::object({
      {"creation_time", secret.creation_time},
      {"data", std::move(data)},
      {"expiration_time", secret.expiration_time},
      {"name", secret.name},
      {"security_flags", format_security_flags(secret.security_flags)},
  });
}

std::expected<Secret, Error> secret_from_reply(std::span<const std::uint8_t> body) {
  strict_json::RecordReader record("Secret", SECRET_FIELDS);
  if (auto read = reply::read_reply(body, record); !read) return std::unexpected(std::move(read).error());
  auto secret = secret_from_fields(record.take());
  if (!secret) return std::unexpected(Error::communication(std::move(secret).error().text));
  return std::move(*secret);
}

json get_secret_params_to_json(const GetSecretParams& params) {
  return json::object({{"name", params.name}, {"user", params.user.hyphenated()}});
}

json set_secret_params_to_json(const common::Uuid& user, const Secret& secret) {
  return json::object({{"secret", secret_to_json(secret)}, {"user", user.hyphenated()}});
}

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
