#pragma once

#include "auth_password/mode.hpp"

namespace auth_password {

// The front end for programs: the passwords come as one JSON object on
// standard input, the outcome is the exit status and, on failure, the
// driver's one line on standard error. Nothing is written to standard output
// and no terminal is used.
class ApiMode final : public Mode {
 public:
  [[nodiscard]] std::string_view name() const override { return "API"; }
  [[nodiscard]] Outcome authenticate(ModeArguments arguments) override;
  [[nodiscard]] Outcome update(ModeArguments arguments) override;
};

}  // namespace auth_password
