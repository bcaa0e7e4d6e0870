#pragma once

#include "auth_password/mode.hpp"

namespace auth_password {

// The front end for a person at a terminal.
class CliMode final : public Mode {
 public:
  [[nodiscard]] std::string_view name() const override { return "CLI"; }
  [[nodiscard]] Outcome authenticate(ModeArguments arguments) override;
  [[nodiscard]] Outcome update(ModeArguments arguments) override;
};

}  // namespace auth_password
