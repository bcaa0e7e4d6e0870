#include "auth_password/run.hpp"

#include <unistd.h>

#include <string>
#include <variant>

#include "auth_password/command_line.hpp"
#include "common/fd_io.hpp"
#include "common/message_error.hpp"
#include "common/overloaded.hpp"
#include "common/utf8.hpp"

namespace auth_password {
namespace {

// Every word must be text before any of them is read as a command.
Outcome check_words_are_utf8(std::span<const std::string_view> words) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (auto valid = common::check_utf8(words[i]); !valid) {
      return std::unexpected(common::MessageError("argument " + std::to_string(i + 1) +
                                                  " is not valid UTF-8: " + valid.error().display()));
    }
  }
  return {};
}

Outcome describe(const MethodDescriptor& descriptor) {
  std::string line = method_info_json(descriptor.info());
  line += '\n';
  if (auto written = common::write_all(STDOUT_FILENO, line); !written) {
    return std::unexpected(std::move(written).error());
  }
  return {};
}

Outcome dispatch(const MethodDescriptor& descriptor, ModeArguments arguments, bool authenticate) {
  Mode* mode = descriptor.find_mode(arguments.mode);
  if (mode == nullptr) return std::unexpected(common::MessageError("mode not found"));
  return authenticate ? mode->authenticate(std::move(arguments)) : mode->update(std::move(arguments));
}

}  // namespace

Outcome run(MethodDescriptor descriptor, std::span<const std::string_view> words) {
  if (auto valid = check_words_are_utf8(words); !valid) return valid;
  auto command = parse_command(words);
  if (!command) return std::unexpected(std::move(command).error());
  return std::visit(common::Overloaded{
                        [&](QueryInformation) { return describe(descriptor); },
                        [&](Authenticate& a) { return dispatch(descriptor, std::move(a.arguments), true); },
                        [&](Update& u) { return dispatch(descriptor, std::move(u.arguments), false); },
                    },
                    *command);
}

int report(const Outcome& outcome) {
  if (outcome) return 0;
  // If standard error is gone the message is lost; the status still says
  // failure.
  (void)common::write_all(STDERR_FILENO, outcome.error().report());
  return 1;
}

}  // namespace auth_password
