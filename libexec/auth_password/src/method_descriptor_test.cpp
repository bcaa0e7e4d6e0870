#include "auth_password/method_descriptor.hpp"

#include <gtest/gtest.h>

#include "auth_password/api_mode.hpp"
#include "auth_password/cli_mode.hpp"
#include "auth_password/run.hpp"

namespace auth_password {
namespace {

class NamedMode final : public Mode {
 public:
  NamedMode(std::string_view name, int* calls) : name_(name), calls_(calls) {}
  [[nodiscard]] std::string_view name() const override { return name_; }
  [[nodiscard]] Outcome authenticate(ModeArguments /*arguments*/) override {
    ++*calls_;
    return {};
  }
  [[nodiscard]] Outcome update(ModeArguments /*arguments*/) override {
    *calls_ += 10;
    return {};
  }

 private:
  std::string_view name_;
  int* calls_;
};

TEST(MethodDescriptor, ReportsModesInRegistrationOrder) {
  const auto descriptor = MethodDescriptor("password", true).with_mode(ApiMode{}).with_mode(CliMode{});
  EXPECT_EQ(method_info_json(descriptor.info()),
            R"({"name":"password","provides_master_key":true,"modes":[{"name":"API"},{"name":"CLI"}]})");
  EXPECT_EQ(method_info_json(MethodDescriptor("x\"\n\x01\u00e9", false).info()),
            R"({"name":"x\"\n\u0001)"
            "\u00e9"
            R"(","provides_master_key":false,"modes":[]})");
}

TEST(MethodDescriptor, KeepsItsNameAfterTheTextItWasMadeFromIsGone) {
  auto descriptor = [] {
    std::string name(40, 'p');  // longer than a string keeps inline
    return MethodDescriptor(name, true).with_mode(ApiMode{});
  }();
  std::string other(40, 'x');  // likely to take the freed place
  EXPECT_EQ(descriptor.info().name, std::string(40, 'p'));
}

TEST(MethodDescriptor, WithoutModesEveryOperationFindsNoMode) {
  const std::string uuid = "user_uuid=67e55044-10b1-426f-9247-bb680e5fe0c8";
  for (const std::string_view command : {"Authenticate", "Update"}) {
    const std::vector<std::string_view> words = {command, uuid, "mode=CLI"};
    const auto outcome = run(MethodDescriptor("password", true), words);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().report(), "Error: \"mode not found\"\n");
  }
}

TEST(MethodDescriptor, DispatchesEachOperationToTheModeNamedExactly) {
  int api = 0;
  int cli = 0;
  const std::string uuid = "user_uuid=67e55044-10b1-426f-9247-bb680e5fe0c8";
  auto descriptor = [&] {
    return MethodDescriptor("password", true).with_mode(NamedMode("API", &api)).with_mode(NamedMode("CLI", &cli));
  };
  EXPECT_TRUE(run(descriptor(), std::vector<std::string_view>{"Authenticate", "mode=CLI", uuid}));
  EXPECT_TRUE(run(descriptor(), std::vector<std::string_view>{"Update", "mode=CLI", uuid}));
  EXPECT_EQ(cli, 11);
  EXPECT_EQ(api, 0);
  const auto lower = run(descriptor(), std::vector<std::string_view>{"Update", "mode=cli", uuid});
  ASSERT_FALSE(lower);
  EXPECT_EQ(lower.error().report(), "Error: \"mode not found\"\n");
  EXPECT_EQ(cli + api, 11);
}

}  // namespace
}  // namespace auth_password
