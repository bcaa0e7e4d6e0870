#pragma once

#include <expected>

#include "common/any_error.hpp"
#include "common/uuid.hpp"

namespace auth_password {

// The steps around a change that both front ends take alike.

// The backend's hook before the first write: from then on the signals that
// would end or stop the process are held until it exits, and the descriptor
// returned becomes readable once one of them is pending.
[[nodiscard]] std::expected<int, common::AnyError> hold_termination_signals();

// Takes the user's change lock and keeps it until the process exits.
[[nodiscard]] std::expected<void, common::AnyError> lock_for_the_rest_of_the_process(const common::Uuid& user);

}  // namespace auth_password
