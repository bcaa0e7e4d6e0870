#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/message_error.hpp"
#include "common/uuid.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/error.hpp"
#include "tavrin_account/security_flags.hpp"

namespace tavrin_account {

struct Secret {
  std::string name;
  std::vector<std::uint8_t> data;
  SecurityFlags security_flags;
  std::int64_t creation_time = 0;
  std::int64_t expiration_time = 0;

  friend bool operator==(const Secret&, const Secret&) = default;
};

struct GetSecretParams {
  common::Uuid user;
  std::string name;
};

struct SetSecretParams {
  common::Uuid user;
  Secret secret;
};

inline constexpr std::string_view GET_SECRET_METHOD = "GetSecret";
inline constexpr std::string_view SET_SECRET_METHOD = "SetSecret";

// The JSON forms as written: objects with their members in bytewise order.
[[nodiscard]] nlohmann::json secret_to_json(const Secret& secret);
[[nodiscard]] nlohmann::json get_secret_params_to_json(const GetSecretParams& params);
[[nodiscard]] nlohmann::json set_secret_params_to_json(const common::Uuid& user, const Secret& secret);

// The Secret record as read by a strict_json::RecordReader (the object form,
// members in any order and unknown ones skipped, or the array form, fields in
// declaration order), and the Secret its fields make, each field checked for
// its own type in declaration order.
inline constexpr std::array<std::string_view, 5> SECRET_FIELDS = {"name", "data", "security_flags", "creation_time",
                                                                  "expiration_time"};
[[nodiscard]] std::expected<Secret, common::MessageError> secret_from_fields(std::span<const nlohmann::json> fields);

// What a GetSecret reply body says, read straight from the body: the secret,
// the daemon's error, or `Communication` (`InvalidParams` for an unreadable
// error). Only the secret's own members count as repeated; a skipped member
// is skipped whatever it holds.
[[nodiscard]] std::expected<Secret, Error> secret_from_reply(std::span<const std::uint8_t> body);

[[nodiscard]] std::expected<Secret, Error> get_secret(AccountConnection& connection, const common::Uuid& user,
                                                      std::string_view name);
[[nodiscard]] std::expected<void, Error> set_secret(AccountConnection& connection, const common::Uuid& user,
                                                    const Secret& secret);

}  // namespace tavrin_account
