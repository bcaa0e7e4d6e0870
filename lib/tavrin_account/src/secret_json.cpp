#include <array>
#include <limits>

#include "reply.hpp"
#include "strict_json.hpp"
#include "tavrin_account/secrets.hpp"

namespace tavrin_account {
namespace {

using json = nlohmann::json;
using detail::invalid_type;

template <std::size_t N>
using Fields = std::array<const json*, N>;

// Finds a record's fields in its object form (any order, other members
// skipped) or its array form (declaration order, exactly N elements). Each
// field's own type is checked by the caller.
template <std::size_t N>
std::expected<Fields<N>, std::string> record_fields(const json& value, std::string_view struct_name,
                                                    const std::array<std::string_view, N>& names) {
  Fields<N> found{};
  if (value.is_object()) {
    for (const auto& [key, member] : value.get_ref<const json::object_t&>()) {
      for (std::size_t i = 0; i < N; ++i) {
        if (key == names[i]) found[i] = &member;
      }
    }
    for (std::size_t i = 0; i < N; ++i) {
      if (found[i] == nullptr) return std::unexpected("missing field `" + std::string(names[i]) + "`");
    }
    return found;
  }
  if (value.is_array()) {
    const auto& elements = value.get_ref<const json::array_t&>();
    if (elements.size() < N) {
      return std::unexpected("invalid length " + std::to_string(elements.size()) + ", expected struct " +
                             std::string(struct_name) + " with " + std::to_string(N) + " elements");
    }
    if (elements.size() > N) {
      return std::unexpected("invalid length " + std::to_string(elements.size()) +
                             ", expected fewer elements in array");
    }
    for (std::size_t i = 0; i < N; ++i) found[i] = &elements[i];
    return found;
  }
  return std::unexpected(invalid_type(value, "struct " + std::string(struct_name)));
}

std::expected<std::string, std::string> read_string(const json& value) {
  if (!value.is_string()) return std::unexpected(invalid_type(value, "a string"));
  return value.get<std::string>();
}

std::expected<std::vector<std::uint8_t>, std::string> read_bytes(const json& value) {
  if (!value.is_array()) return std::unexpected(invalid_type(value, "a sequence"));
  const auto& elements = value.get_ref<const json::array_t&>();
  std::vector<std::uint8_t> bytes;
  bytes.reserve(elements.size());
  for (const json& element : elements) {
    if (element.is_number_unsigned()) {
      const auto number = element.get<std::uint64_t>();
      if (number > 0xFF) return std::unexpected("invalid value: integer `" + element.dump() + "`, expected u8");
      bytes.push_back(static_cast<std::uint8_t>(number));
    } else if (element.is_number_integer()) {
      const auto number = element.get<std::int64_t>();
      if (number < 0 || number > 0xFF) {
        return std::unexpected("invalid value: integer `" + element.dump() + "`, expected u8");
      }
      bytes.push_back(static_cast<std::uint8_t>(number));
    } else {
      return std::unexpected(invalid_type(element, "u8"));
    }
  }
  return bytes;
}

std::expected<std::int64_t, std::string> read_i64(const json& value) {
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::unexpected("invalid value: integer `" + value.dump() + "`, expected i64");
    }
    return static_cast<std::int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  return std::unexpected(invalid_type(value, "i64"));
}

std::expected<SecurityFlags, std::string> read_flags(const json& value) {
  if (!value.is_string()) return std::unexpected(invalid_type(value, "a string value of `|` separated flags"));
  auto flags = parse_security_flags(value.get_ref<const std::string&>());
  if (!flags) return std::unexpected(flags.error().display());
  return *flags;
}

std::expected<common::Uuid, std::string> read_uuid(const json& value) {
  if (!value.is_string()) return std::unexpected(invalid_type(value, "a UUID string"));
  auto uuid = common::parse_uuid(value.get_ref<const std::string&>());
  if (!uuid) return std::unexpected("UUID parsing failed: " + uuid.error().display());
  return *uuid;
}

constexpr std::array<std::string_view, 5> kSecretFields = {"name", "data", "security_flags", "creation_time",
                                                           "expiration_time"};

// Each field's own type, in declaration order.
std::expected<Secret, std::string> secret_from_fields(const json& name, const json& data, const json& flags,
                                                      const json& created, const json& expires) {
  Secret secret;
  if (auto v = read_string(name); v)
    secret.name = std::move(*v);
  else
    return std::unexpected(v.error());
  if (auto v = read_bytes(data); v)
    secret.data = std::move(*v);
  else
    return std::unexpected(v.error());
  if (auto v = read_flags(flags); v)
    secret.security_flags = *v;
  else
    return std::unexpected(v.error());
  if (auto v = read_i64(created); v)
    secret.creation_time = *v;
  else
    return std::unexpected(v.error());
  if (auto v = read_i64(expires); v)
    secret.expiration_time = *v;
  else
    return std::unexpected(v.error());
  return secret;
}

}  // namespace

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

std::expected<Secret, std::string> secret_from_json(const json& value) {
  const auto fields = record_fields(value, "Secret", kSecretFields);
  if (!fields) return std::unexpected(fields.error());
  const auto& [name, data, flags, created, expires] = *fields;
  return secret_from_fields(*name, *data, *flags, *created, *expires);
}

std::expected<Secret, Error> secret_from_reply(std::span<const std::uint8_t> body) {
  detail::RecordReader record("Secret", kSecretFields);
  if (auto read = detail::read_reply(body, record); !read) return std::unexpected(std::move(read).error());
  auto fields = record.take();
  if (!fields) return std::unexpected(Error::communication(std::move(fields).error()));
  const auto& f = *fields;
  auto secret = secret_from_fields(f[0], f[1], f[2], f[3], f[4]);
  if (!secret) return std::unexpected(Error::communication(std::move(secret).error()));
  return std::move(*secret);
}

json get_secret_params_to_json(const GetSecretParams& params) {
  return json::object({{"name", params.name}, {"user", params.user.hyphenated()}});
}

std::expected<GetSecretParams, std::string> get_secret_params_from_json(const json& value) {
  const auto fields = record_fields<2>(value, "GetSecretParams", {"user", "name"});
  if (!fields) return std::unexpected(fields.error());
  auto user = read_uuid(*(*fields)[0]);
  if (!user) return std::unexpected(user.error());
  auto name = read_string(*(*fields)[1]);
  if (!name) return std::unexpected(name.error());
  return GetSecretParams{.user = *user, .name = std::move(*name)};
}

json set_secret_params_to_json(const SetSecretParams& params) {
  return json::object({{"secret", secret_to_json(params.secret)}, {"user", params.user.hyphenated()}});
}

std::expected<SetSecretParams, std::string> set_secret_params_from_json(const json& value) {
  const auto fields = record_fields<2>(value, "SetSecretParams", {"user", "secret"});
  if (!fields) return std::unexpected(fields.error());
  auto user = read_uuid(*(*fields)[0]);
  if (!user) return std::unexpected(user.error());
  auto secret = secret_from_json(*(*fields)[1]);
  if (!secret) return std::unexpected(secret.error());
  return SetSecretParams{.user = *user, .secret = std::move(*secret)};
}

}  // namespace tavrin_account
