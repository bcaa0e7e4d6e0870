#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "common/any_error.hpp"
#include "common/uuid.hpp"

namespace auth_password {

// What the command line hands to a mode operation.
struct ModeArguments {
  common::Uuid user_uuid;
  std::string mode;  // exactly as on the command line; equals the mode's name
};

// Why an operation did not succeed. Most often an error, which the driver
// reports as "Error: " and its debug form; or a mode's refusal, a message the
// mode has worded for whoever is at hand, which the driver prints as it
// stands. Either way the program exits with status 1.
class [[nodiscard]] Failure {
 public:
  template <common::ErrorValue E>
  Failure(E error)  // NOLINT(google-explicit-constructor): errors convert implicitly.
      : content_(std::in_place_type<common::AnyError>, std::move(error)) {}

  [[nodiscard]] static Failure refusal(std::string message) { return Failure(Refusal{std::move(message)}); }

  // What the driver writes to standard error.
  [[nodiscard]] std::string report() const;

 private:
  struct Refusal {
    std::string message;
  };
  explicit Failure(Refusal refusal) : content_(std::move(refusal)) {}

  std::variant<common::AnyError, Refusal> content_;
};

using Outcome = std::expected<void, Failure>;

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
