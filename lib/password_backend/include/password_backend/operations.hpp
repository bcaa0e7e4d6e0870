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
// awaited for at most the reply grace (REPLY_GRACE_AFTER_STOP) longer, and a change still
// unconfirmed then fails with INTERRUPTED_CHANGE. An error stops the change
// there, with nothing written.
using BeforeFirstWrite = std::expected<int, common::AnyError> (*)();

// Why a change failed, and whether the person has to be told how to finish it.
struct ChangeFailure {
  common::AnyError error;
  // The failure may have left the envelope under the new password while the
  // hash is still the old one's: a write that went unconfirmed, a hash write
  // refused whose write-back failed or went unconfirmed, a stop after the
  // grace. The same change run again finishes it (see change_password); in
  // step, it is an ordinary change.
  bool may_be_apart = false;

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
//
// A change that stopped between its two writes leaves the envelope under the
// new password and the hash of the old one. The same change run again finds
// the envelope opening with the new password, not the old: when the old
// password matches the stored hash, or there is no hash at all, only the hash
// of the new password is written, as the last step of a change would.
[[nodiscard]] std::expected<void, ChangeFailure> change_password(
    const common::Uuid& user, common::SecretBytes old_password, common::SecretBytes new_password,
    BeforeFirstWrite before_first_write = nullptr, std::chrono::milliseconds reply_grace = REPLY_GRACE_AFTER_STOP);

}  // namespace password_backend
