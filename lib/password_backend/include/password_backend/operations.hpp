#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "common/any_error.hpp"
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

// Called once, when everything that can fail without writing has been done
// and the first write is about to go out; not called when the change stops
// before it.
using BeforeFirstWrite = void (*)();

// Seals the user's master key (a new one if the user has none) under the new
// password and makes the new password's hash, then stores the envelope and
// then the hash. The old password only has to open the existing master key.
// Returns after both writes, or with the first error met. When the daemon
// refuses the hash, the envelope it held before is written back, so the old
// password still opens the master key.
[[nodiscard]] std::expected<void, common::AnyError> change_password(const common::Uuid& user,
                                                                    std::span<const std::uint8_t> old_password,
                                                                    std::span<const std::uint8_t> new_password,
                                                                    BeforeFirstWrite before_first_write = nullptr);

}  // namespace password_backend
