#include "auth_password/backend/operations.hpp"

#include <limits>
#include <string>
#include <vector>

#include "auth_password/backend/envelope.hpp"
#include "auth_password/backend/password_hash.hpp"
#include "common/message_error.hpp"
#include "common/secret_bytes.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"

namespace auth_password::backend {
namespace {

using common::AnyError;
using tavrin_account::AccountConnection;
using tavrin_account::Secret;
using tavrin_account::SecurityFlags;

// Both secrets are written alike: write-protected, no meaningful times.
Secret stored_secret(std::string_view name, std::vector<std::uint8_t> data) {
  return Secret{.name = std::string(name),
                .data = std::move(data),
                .security_flags = SecurityFlags{SecurityFlags::WRITE_PROTECTED},
                .creation_time = 0,
                .expiration_time = std::numeric_limits<std::int64_t>::max()};
}

// The user's master key: opened with the old password, or new when the user
// has none. Any other failure to read it is returned: carrying on would seal
// a new key over the existing one, and the user's data under it would be lost.
std::expected<common::SecretBytes, AnyError> obtain_master_key(AccountConnection& connection, const common::Uuid& user,
                                                               std::span<const std::uint8_t> old_password) {
  auto envelope = tavrin_account::get_secret(connection, user, MASTER_KEY_SECRET_NAME);
  if (!envelope) {
    if (envelope.error().kind() == tavrin_account::Error::Kind::NoSuchSecret) return new_master_key();
    return std::unexpected(std::move(envelope).error());
  }
  return open_master_key(envelope_key(old_password), envelope->data);
}

}  // namespace

std::expected<bool, AnyError> check_password(const common::Uuid& user, std::span<const std::uint8_t> password) {
  auto connection = tavrin_account::connect_account_service();
  if (!connection) return std::unexpected(std::move(connection).error());

  auto secret = tavrin_account::get_secret(*connection, user, PASSWORD_SECRET_NAME);
  if (!secret) return std::unexpected(std::move(secret).error());
  // A hash that anyone may overwrite proves nothing.
  if (!secret->security_flags.contains(SecurityFlags::WRITE_PROTECTED)) {
    return std::unexpected(common::MessageError("insecure password secret"));
  }
  return password_matches(secret->data, password);
}

std::expected<void, AnyError> change_password(const common::Uuid& user, std::span<const std::uint8_t> old_password,
                                              std::span<const std::uint8_t> new_password) {
  auto connection = tavrin_account::connect_account_service();
  if (!connection) return std::unexpected(std::move(connection).error());

  auto master_key = obtain_master_key(*connection, user, old_password);
  if (!master_key) return std::unexpected(std::move(master_key).error());

  auto envelope = seal_master_key(envelope_key(new_password), master_key->bytes());
  master_key->clear();
  if (auto stored =
          tavrin_account::set_secret(*connection, user, stored_secret(MASTER_KEY_SECRET_NAME, std::move(envelope)));
      !stored) {
    return std::unexpected(std::move(stored).error());
  }

  auto hash = make_password_hash(new_password);
  if (!hash) return std::unexpected(std::move(hash).error());
  std::vector<std::uint8_t> hash_bytes(hash->begin(), hash->end());
  if (auto stored =
          tavrin_account::set_secret(*connection, user, stored_secret(PASSWORD_SECRET_NAME, std::move(hash_bytes)));
      !stored) {
    return std::unexpected(std::move(stored).error());
  }
  return {};
}

}  // namespace auth_password::backend
