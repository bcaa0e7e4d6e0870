#pragma once

#include "common/sodium_ready.hpp"

namespace auth_password::backend {

// Secret memory needs libsodium too, so it is initialised below the backend.
using common::ensure_sodium_ready;

}  // namespace auth_password::backend
