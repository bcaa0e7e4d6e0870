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
    std::vector<uid_t> allowed_uids;
  };
  std::vector<Case> cases = {
      {{"--memory"}, "", "unix://@verified:org.norvalex.os/accountd", std::nullopt},
      {{"--endpoint", "unix:///tmp/s", "--store", "/tmp/db"}, "", "unix:///tmp/s", "/tmp/db"},
      {{}, "give exactly one of --store PATH and --memory", "", std::nullopt},
      {{"--memory", "--store", "x"}, "give exactly one of --store PATH and --memory", "", std::nullopt},
      {{"--store"}, "option --store needs a value", "", std::nullopt},
      {{"--store", ""}, "--store needs a non-empty path", "", std::nullopt},
      {{"--memory", "--verbose"}, "unknown argument `--verbose`", "", std::nullopt},
      {{"--allow-uid", "65534", "--memory", "--allow-uid", "0", "--allow-uid", "4294967294"},
       "",
       "unix://@verified:org.norvalex.os/accountd",
       std::nullopt,
       {65534, 0, 4294967294}},
      {{"--memory", "--allow-uid"}, "option --allow-uid needs a value", "", std::nullopt},
  };
  // The kernel's "no user" (-1) included; names are not looked up.
  for (const std::string_view bad : {"", "-1", "+5", " 5", "5 ", "12x", "0x10", "nobody", "4294967295", "4294967296"}) {
    cases.push_back(
        {{"--memory", "--allow-uid", bad}, "--allow-uid needs a user id, not `" + std::string(bad) + "`", "", {}});
  }
  for (const auto& c : cases) {
    const auto options = parse_options(c.args);
    if (!c.error.empty()) {
      ASSERT_FALSE(options.has_value());
      EXPECT_EQ(options.error().text, c.error);
      continue;
    }
    ASSERT_TRUE(options.has_value()) << options.error().text;
    EXPECT_EQ(options->endpoint, c.endpoint);
    EXPECT_EQ(options->store_path, c.store);
    EXPECT_EQ(options->allowed_uids, c.allowed_uids);
  }
  const std::vector<std::string_view> help = {"--bogus-but-later", "--help"};
  EXPECT_FALSE(parse_options(help).has_value());
  const std::vector<std::string_view> help_first = {"--help", "--bogus"};
  EXPECT_TRUE(parse_options(help_first)->help);
  for (const char* option : {"--endpoint", "--store", "--memory", "--allow-uid", "--help", "listening on"}) {
    EXPECT_NE(usage().find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace accountd
