#pragma once

#include "auth_password/mode.hpp"

namespace auth_password {

// The programmatic front end. It is declared so callers can name it, but has
// no operations yet; it never touches a user's secrets.
class ApiMode final : public Mode {
 public:
  [[nodiscard]] std::string_view name() const override { return "API"; }
  [[nodiscard]] Outcome authenticate(ModeArguments arguments) override;
  [[nodiscard]] Outcome update(ModeArguments arguments) override;
};

}  // namespace auth_password
