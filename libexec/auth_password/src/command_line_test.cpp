#include "auth_password/command_line.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace auth_password {
namespace {

constexpr std::string_view UUID = "67e55044-10b1-426f-9247-bb680e5fe0c8";

std::string error_of(std::vector<std::string_view> words) {
  auto command = parse_command(words);
  return command ? std::string("<ok>") : command.error().debug();
}

TEST(ParseCommand, ComplaintsComeInTheFixedOrder) {
  EXPECT_EQ(error_of({}), R"("no command specified")");
  EXPECT_EQ(error_of({"queryinformation"}), R"("unexpected command `queryinformation`")");
  EXPECT_EQ(error_of({""}), R"("unexpected command ``")");
  EXPECT_EQ(error_of({"Update"}), R"("argument user_uuid not found")");
  EXPECT_EQ(error_of({"Authenticate", "mode=nonexistent"}), R"("argument user_uuid not found")");
  EXPECT_EQ(error_of({"Authenticate", "user_uuid=xyz", "stray"}), R"("invalid argument format")");
  EXPECT_EQ(error_of({"Authenticate", "mode=CLI", "user_uuid=67e55"}), "Error(ParseLength { len: 5 })");
  EXPECT_EQ(error_of({"Authenticate", "user_uuid=" + std::string(UUID)}), R"("argument mode not found")");
}

TEST(ParseCommand, QuotesOddCommandWords) {
  EXPECT_EQ(error_of({"say\"hi\""}), R"("unexpected command `say\"hi\"`")");
  EXPECT_EQ(error_of({"a\tb\nc"}), R"("unexpected command `a\tb\nc`")");
  EXPECT_EQ(error_of({"\x1b[31m"}), R"("unexpected command `\u{1b}[31m`")");
  EXPECT_EQ(error_of({"Update\u0301"}), R"("unexpected command `Update\u{301}`")");
}

TEST(ParseCommand, QueryInformationIgnoresTheRest) {
  const std::vector<std::string_view> words = {"QueryInformation", "no-equals", "x=y"};
  const auto command = parse_command(words);
  ASSERT_TRUE(command);
  EXPECT_TRUE(std::holds_alternative<QueryInformation>(*command));
}

TEST(ParseModeArguments, LastValueWinsAndOtherKeysAreIgnored) {
  const std::string uuid_word = "user_uuid=" + std::string(UUID);
  const std::vector<std::string_view> words = {"user_uuid=bad", uuid_word, "=ignored", "mode=CLI", "extra=a=b"};
  const auto arguments = parse_mode_arguments(words);
  ASSERT_TRUE(arguments) << arguments.error().debug();
  EXPECT_EQ(arguments->user_uuid.hyphenated(), UUID);
  EXPECT_EQ(arguments->mode, "CLI");

  const auto command = parse_command(std::vector<std::string_view>{"Update", "mode= cli ", uuid_word});
  ASSERT_TRUE(command);
  EXPECT_EQ(std::get<Update>(*command).arguments.mode, " cli ");  // no trimming
}

TEST(ParseKeyValues, SplitsAtTheFirstEquals) {
  const auto map = parse_key_values(std::vector<std::string_view>{"=", "k=v=w", "k2="});
  ASSERT_TRUE(map);
  EXPECT_EQ(map->at(""), "");
  EXPECT_EQ(map->at("k"), "v=w");
  EXPECT_EQ(map->at("k2"), "");
  EXPECT_EQ(parse_key_values(std::vector<std::string_view>{"a=1", "bad", "also bad"}).error().display(),
            "invalid argument format");
}

}  // namespace
}  // namespace auth_password
