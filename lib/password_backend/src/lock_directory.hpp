#pragma once

#include <expected>

#include "common/any_error.hpp"
#include "common/unique_fd.hpp"

namespace password_backend {

// The directory that holds this effective uid's change locks, opened: made
// and owned by this uid, with no access for anyone else, in a place where no
// other uid can have made, replaced or moved it. For root that is
// /run/auth_password. For anyone else it is auth_password in the runtime
// directory, XDG_RUNTIME_DIR or else /run/user/UID, whichever is this uid's
// own (owned by it, mode 0700, not a symbolic link); without one, the
// private directory /tmp/auth_password-UID, which nobody else can remove or
// rename in the sticky /tmp, and which is refused when someone else made it
// first. Every step is checked on the opened descriptor.
[[nodiscard]] std::expected<common::UniqueFd, common::AnyError> open_lock_directory();

}  // namespace password_backend
