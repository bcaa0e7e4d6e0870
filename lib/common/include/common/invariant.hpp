#pragma once

#include <string_view>

namespace common {

// The one way to stop on a broken invariant: a state that no input, stored
// data or peer can bring about, only a fault in this program or its system.
// Writes one line naming what broke to standard error and aborts. It does not
// allocate, so it also serves when memory has run out.
[[noreturn]] void invariant_broken(std::string_view what) noexcept;

}  // namespace common
