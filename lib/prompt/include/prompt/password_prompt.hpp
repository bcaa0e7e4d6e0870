#pragma once

#include <expected>
#include <optional>
#include <string>

#include "common/secret_bytes.hpp"
#include "prompt/prompt_error.hpp"

namespace prompt {

// What to ask: the prompt text (": " is added when it is shown), whether an
// empty line is an acceptable answer, and optionally a second prompt that
// must be answered identically.
class PasswordPrompt {
 public:
  struct Confirmation {
    std::string prompt;
    std::string mismatch_message;
  };

  PasswordPrompt& with_prompt(std::string text);
  PasswordPrompt& with_allow_empty(bool allow);
  PasswordPrompt& with_confirmation(std::string confirmation_prompt, std::string mismatch_message);

  [[nodiscard]] const std::string& prompt() const noexcept { return prompt_; }
  [[nodiscard]] bool allow_empty() const noexcept { return allow_empty_; }
  [[nodiscard]] const std::optional<Confirmation>& confirmation() const noexcept { return confirmation_; }

 private:
  std::string prompt_;
  std::optional<Confirmation> confirmation_;
  bool allow_empty_ = false;
};

// Runs the dialogue on standard error and returns the accepted entry. On
// success everything the dialogue wrote is replaced by the one line
// "<prompt>: [hidden]". Standard error must be a terminal; otherwise nothing
// is written or read.
[[nodiscard]] std::expected<common::SecretBytes, PromptError> interact(const PasswordPrompt& prompt);

}  // namespace prompt
