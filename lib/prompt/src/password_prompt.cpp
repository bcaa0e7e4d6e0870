#include "prompt/password_prompt.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/message_error.hpp"
#include "prompt/terminal.hpp"

namespace prompt {
namespace {

using Entry = std::expected<common::SecretBytes, common::IoError>;

std::size_t newlines_in(std::string_view text) { return static_cast<std::size_t>(std::ranges::count(text, '\n')); }

// One dialogue: the terminal and the count of lines it has written, which is
// what the final clearing erases.
class Dialogue {
 public:
  Dialogue(const Terminal& terminal, bool allow_empty) : terminal_(terminal), allow_empty_(allow_empty) {}

  Entry ask(std::string_view prompt_text) {
    for (;;) {
      std::string request = "\r";
      request.append(prompt_text);
      request.append(": ");
      if (auto written = terminal_.write_str(request); !written) return std::unexpected(std::move(written.error()));
      lines_ += newlines_in(prompt_text);
      // Shown again after a stop: only the line being answered, so the
      // count of lines written stays what the final clearing must erase.
      const std::size_t last_newline = prompt_text.rfind('\n');
      const std::string again = last_newline == std::string_view::npos
                                    ? request
                                    : "\r" + std::string(prompt_text.substr(last_newline + 1)) + ": ";
      auto line = terminal_.read_secret_line(again);
      if (!line) return line;
      lines_ += 1;
      if (!line->empty() || allow_empty_) return line;
    }
  }

  std::expected<void, common::IoError> say(std::string_view message) {
    if (auto written = terminal_.write_line(message); !written) return written;
    lines_ += 1 + newlines_in(message);
    return {};
  }

  std::expected<void, common::IoError> finish(std::string_view prompt_text) {
    if (auto cleared = terminal_.clear_last_lines(lines_); !cleared) return cleared;
    lines_ = 0;
    std::string summary(prompt_text);
    summary.append(": [hidden]");
    return terminal_.write_line(summary);
  }

 private:
  const Terminal& terminal_;  // NOLINT(cppcoreguidelines-avoid-const-or-ref-data-members): one dialogue, shorter-lived
                              // than its terminal
  bool allow_empty_;
  std::size_t lines_ = 0;
};

// Asks until an entry is accepted: at once without a confirmation, otherwise
// when the confirmation has the same bytes. Entries that are dropped wipe
// themselves as they go out of scope.
Entry accepted_entry(Dialogue& dialogue, const PasswordPrompt& settings) {
  for (;;) {
    auto first = dialogue.ask(settings.prompt());
    const auto& confirmation = settings.confirmation();
    if (!first || !confirmation) return first;
    auto second = dialogue.ask(confirmation->prompt);
    if (!second) return second;
    if (first->equals(second->bytes())) return first;
    if (auto said = dialogue.say("error: " + confirmation->mismatch_message); !said) {
      return std::unexpected(std::move(said.error()));
    }
  }
}

}  // namespace

PasswordPrompt& PasswordPrompt::with_prompt(std::string text) {
  prompt_ = std::move(text);
  return *this;
}

PasswordPrompt& PasswordPrompt::with_allow_empty(bool allow) {
  allow_empty_ = allow;
  return *this;
}

PasswordPrompt& PasswordPrompt::with_confirmation(std::string confirmation_prompt, std::string mismatch_message) {
  confirmation_ = Confirmation{std::move(confirmation_prompt), std::move(mismatch_message)};
  return *this;
}

std::expected<common::SecretBytes, PromptError> interact(const PasswordPrompt& prompt) {
  const Terminal terminal;
  if (!terminal.is_terminal()) {
    return std::unexpected(
        PromptError(common::IoError::custom(common::ErrorKind::NotConnected, common::MessageError("not a terminal"))));
  }
  Dialogue dialogue(terminal, prompt.allow_empty());
  auto entry = accepted_entry(dialogue, prompt);
  if (!entry) return std::unexpected(PromptError(std::move(entry.error())));
  if (auto finished = dialogue.finish(prompt.prompt()); !finished) {
    return std::unexpected(PromptError(std::move(finished.error())));
  }
  // Handed over, not copied: the one buffer that holds the entry goes to the
  // caller, who wipes it.
  return std::move(*entry);
}

}  // namespace prompt
