#pragma once

#include <chrono>
#include <expected>
#include <string>

#include "common/any_error.hpp"
#include "common/unique_fd.hpp"
#include "common/uuid.hpp"

namespace password_backend {

// How long a change waits for another change of the same user to end.
inline constexpr std::chrono::seconds CHANGE_LOCK_PATIENCE{10};

// The right to change one user's secrets at one account service, held by one
// process of this effective uid at a time: a lock on a file in a directory
// only this uid can write. Given back when dropped, and by the kernel when
// the process ends in any way, so no lock outlives its holder.
class ChangeLock {
 public:
  ChangeLock(common::UniqueFd directory, std::string name, common::UniqueFd file) noexcept
      : directory_(std::move(directory)), name_(std::move(name)), file_(std::move(file)) {}
  ChangeLock(ChangeLock&&) noexcept = default;
  ChangeLock& operator=(ChangeLock&&) = delete;
  ChangeLock(const ChangeLock&) = delete;
  ChangeLock& operator=(const ChangeLock&) = delete;
  ~ChangeLock();

 private:
  // Declared in this order so the file is closed, and the lock given back,
  // after its name is gone.
  common::UniqueFd directory_;
  std::string name_;
  common::UniqueFd file_;
};

// Takes the lock for changes of `user` at the account service that
// ACCOUNT_IPC_URI names (or the default), waiting up to `patience` while
// another change holds it; then "another password change for this user is in
// progress". Nothing is sent to the service.
[[nodiscard]] std::expected<ChangeLock, common::AnyError> lock_password_change(
    const common::Uuid& user, std::chrono::milliseconds patience = CHANGE_LOCK_PATIENCE);

}  // namespace password_backend
