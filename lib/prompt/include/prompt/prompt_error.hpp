#pragma once

#include <string>

#include "common/io_error.hpp"

namespace prompt {

// Why a prompt could not deliver a password. The terminal is the only thing
// that can fail, so there is a single case, IO.
class [[nodiscard]] PromptError {
 public:
  explicit PromptError(common::IoError io) : io_(std::move(io)) {}

  [[nodiscard]] const common::IoError& io() const noexcept { return io_; }

  [[nodiscard]] std::string display() const { return "IO error: " + io_.display(); }
  [[nodiscard]] std::string debug() const { return "IO(" + io_.debug() + ")"; }

 private:
  common::IoError io_;
};

}  // namespace prompt
