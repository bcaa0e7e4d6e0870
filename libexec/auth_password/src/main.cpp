#include <string_view>
#include <vector>

#include "auth_password/api_mode.hpp"
#include "auth_password/cli_mode.hpp"
#include "auth_password/method_descriptor.hpp"
#include "auth_password/process_setup.hpp"
#include "auth_password/run.hpp"

int main(int argc, char** argv) {
  auth_password::prepare_process();

  std::vector<std::string_view> words;
  words.reserve(argc > 1 ? static_cast<std::size_t>(argc - 1) : 0U);
  for (int i = 1; i < argc; ++i) words.emplace_back(argv[i]);

  auto descriptor = auth_password::MethodDescriptor("password", true)
                        .with_mode(auth_password::ApiMode{})
                        .with_mode(auth_password::CliMode{});
  const auto outcome = auth_password::run(std::move(descriptor), words);
  return auth_password::report(outcome);
}
