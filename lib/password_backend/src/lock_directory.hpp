#pragma once

#include <expected>

#include "common/any_error.hpp"
#include "common/unique_fd.hpp"

namespace password_backend {

// The directory that holds this effective uid's change locks, opened with
// O_PATH. It depends on the effective uid alone, never on the environment,
// so every process of the uid meets the others there: /run/auth_password for
// root; for anyone else auth_password in /run/user/UID when that is the
// uid's own runtime directory (owned by it, mode 0700); otherwise
// /tmp/auth_password-UID, which nobody else can remove or rename in the
// sticky /tmp. The way there must be one only root and this uid could have
// laid. A missing directory is made with mode 0700 whatever the umask. One
// that is there already is taken with any mode that gives group and others
// nothing, and set to 0700 only when it lacks some of the owner's access
// bits; one that another uid made first, or that group or others may use, is
// refused, saying so.
[[nodiscard]] std::expected<common::UniqueFd, common::AnyError> open_lock_directory();

}  // namespace password_backend
