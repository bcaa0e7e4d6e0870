#pragma once

#include <sys/types.h>

#include <string>

#include "common/uuid.hpp"

namespace test_support {

// Two GetSecret requests for `user` on one connection to `uri`, from a child
// running as `uid`: what each gave ("found;" or the error's display form and
// ";"), or, without the rights to become `uid`, a text that begins "cannot
// run as".
[[nodiscard]] std::string two_requests_as(uid_t uid, const std::string& uri, const common::Uuid& user);

}  // namespace test_support
