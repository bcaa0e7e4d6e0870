#pragma once

// Header only: for the tests that link the password backend, which the rest
// of the support library does without.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/uuid.hpp"
#include "password_backend/envelope.hpp"
#include "password_backend/operations.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"
#include "test_bytes.hpp"

namespace test_support {

// The master key inside an envelope, or nothing when the password does not
// open it.
[[nodiscard]] inline std::optional<std::vector<std::uint8_t>> opened_master_key(std::span<const std::uint8_t> envelope,
                                                                                std::string_view password) {
  const auto key = password_backend::open_master_key(password_backend::envelope_key(bytes_of(password)), envelope);
  if (!key) return std::nullopt;
  return std::vector<std::uint8_t>(key->bytes().begin(), key->bytes().end());
}

// The user's master key as the daemon at `uri` keeps it, opened with the
// password; empty when the daemon, the envelope or the password fails.
[[nodiscard]] inline std::vector<std::uint8_t> stored_master_key(const std::string& uri, const common::Uuid& user,
                                                                 std::string_view password) {
  auto connection = tavrin_account::connect_to_endpoint(uri);
  if (!connection) return {};
  const auto envelope = tavrin_account::get_secret(*connection, user, password_backend::MASTER_KEY_SECRET_NAME);
  if (!envelope) return {};
  return opened_master_key(envelope->data, password).value_or(std::vector<std::uint8_t>{});
}

}  // namespace test_support
