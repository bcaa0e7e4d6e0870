#include <gtest/gtest.h>

#include "options.hpp"

namespace accountd {
namespace {

TEST(Options, CommandLinesAreReadOrRefused) {
  struct Case {
    std::vector<std::string_view> args;
    std::string error;  // empty: accepted
    std::string endpoint;
    std::optional<std::string> store;
  };
  const std::vector<Case> cases = {
      {{"--memory"}, "", "unix://@verified:org.norvalex.os/accountd", std::nullopt},
      {{"--endpoint", "unix:///tmp/s", "--store", "/tmp/db"}, "", "unix:///tmp/s", "/tmp/db"},
      {{}, "give exactly one of --store PATH and --memory", "", std::nullopt},
      {{"--memory", "--store", "x"}, "give exactly one of --store PATH and --memory", "", std::nullopt},
      {{"--store"}, "option --store needs a value", "", std::nullopt},
      {{"--store", ""}, "--store needs a non-empty path", "", std::nullopt},
      {{"--memory", "--verbose"}, "unknown argument `--verbose`", "", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto options = parse_options(c.args);
    if (!c.error.empty()) {
      ASSERT_FALSE(options.has_value());
      EXPECT_EQ(options.error(), c.error);
      continue;
    }
    ASSERT_TRUE(options.has_value()) << options.error();
    EXPECT_EQ(options->endpoint, c.endpoint);
    EXPECT_EQ(options->store_path, c.store);
  }
  const std::vector<std::string_view> help = {"--bogus-but-later", "--help"};
  EXPECT_FALSE(parse_options(help).has_value());
  const std::vector<std::string_view> help_first = {"--help", "--bogus"};
  EXPECT_TRUE(parse_options(help_first)->help);
  for (const char* option : {"--endpoint", "--store", "--memory", "--help", "listening on"}) {
    EXPECT_NE(usage().find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace accountd
