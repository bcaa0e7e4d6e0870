#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "common/any_error.hpp"
#include "common/secret_bytes.hpp"
#include "common/uuid.hpp"

namespace password_backend {

// The two secrets this method keeps for each user.
inline constexpr std::string_view PASSWORD_SECRET_NAME = "org.norvalex.os.account.auth.password/Password";
inline constexpr std::string_view MASTER_KEY_SECRET_NAME = "org.norvalex.os.account.auth.password/MasterKey";

// True when the password matches the user's stored hash, false when it does
// not; an error only when the question cannot be answered. Reads nothing but
// the password secret. A user without one (NoSuchSecret, NoSuchUser) costs a
// hash of the password all the same, so the time taken does not tell.
[[nodiscard]] std::expected<bool, common::AnyError> check_password(const common::Uuid& user,
                                                                   std::span<const std::uint8_t> password);

// How long the reply in flight is still awaited once someone has asked the
// program to stop.
inline constexpr std::chrono::seconds REPLY_GRACE_AFTER_STOP{10};

// What a change that stopped part way reports: "interrupted before the account
// service confirmed the change".
inline constexpr std::string_view INTERRUPTED_CHANGE = "interrupted before the account service confirmed the change";

// Called once, when everything that can fail without writing has been done
// and the first write is about to go out; not called when the change stops
// before it. It returns a descriptor that becomes readable once someone asks
// the program to stop, or -1 for none; from then on the reply in flight is
// awaited for at most REPLY_GRACE_AFTER_STOP longer, and a change still
// unconfirmed then fails with INTERRUPTED_CHANGE. An error stops the change
// there, with nothing written.
using BeforeFirstWrite = std::expected<int, common::AnyError> (*)();

// Why a change failed, and whether it leaves the secrets out of step in the
// one way the person has to be told of.
struct ChangeFailure {
  common::AnyError error;
  // The daemon refused the hash and the envelope could not be written back:
  // the master key now opens only with the new password, while the stored
  // hash is still the old one's. A change that gives the new password as the
  // old one puts them back in step.
  bool master_key_under_new_password = false;

  [[nodiscard]] std::string display() const { return error.display(); }
  [[nodiscard]] std::string debug() const { return error.debug(); }
};

// Seals the user's master key (a new one if the user has none) under the new
// password and makes the new password's hash, then stores the envelope and
// then the hash. The old password only has to open the existing master key.
// Both passwords are wiped as soon as that is done, before the first write.
// Returns after both writes, or with the first error met. When the daemon
// refuses the hash, the envelope it held before is written back, so the old
// password still opens the master key.
[[nodiscard]] std::expected<void, ChangeFailure> change_password(const common::Uuid& user,
                                                                 common::SecretBytes old_password,
                                                                 common::SecretBytes new_password,
                                                                 BeforeFirstWrite before_first_write = nullptr);

}  // namespace password_backend
