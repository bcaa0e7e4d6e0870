#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "common/any_error.hpp"
#include "common/uuid.hpp"

namespace auth_password {

// What the command line hands to a mode operation.
struct ModeArguments {
  common::Uuid user_uuid;
  std::string mode;  // exactly as on the command line; equals the mode's name
};

using Outcome = std::expected<void, common::AnyError>;

// A front end of the method: how it deals with whoever is authenticated.
class Mode {
 public:
  Mode() = default;
  Mode(const Mode&) = delete;
  Mode& operator=(const Mode&) = delete;
  virtual ~Mode() = default;

  [[nodiscard]] virtual std::string_view name() const = 0;
  [[nodiscard]] virtual Outcome authenticate(ModeArguments arguments) = 0;
  [[nodiscard]] virtual Outcome update(ModeArguments arguments) = 0;

 protected:
  // Modes are handed to the descriptor by value, then owned through Mode.
  Mode(Mode&&) noexcept = default;
  Mode& operator=(Mode&&) noexcept = default;
};

}  // namespace auth_password
