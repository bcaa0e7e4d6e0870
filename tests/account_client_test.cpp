// The account-service client against a scripted daemon: the exact bytes it
// sends, and what it makes of every kind of reply, good or broken.
#include <gtest/gtest.h>

#include <cstdlib>

#include "account_endpoint.hpp"
#include "scripted_daemon.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/protocol.hpp"
#include "tavrin_account/secrets.hpp"

namespace {

using tavrin_account::Error;
using tavrin_account::Secret;
using tavrin_account::SecurityFlags;
using test_support::FakeDaemon;
using test_support::FakeScript;

const common::Uuid USER = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");
const std::string PASSWORD_NAME = "org.norvalex.os.account.auth.password/Password";
const Secret STORED{PASSWORD_NAME, {1, 2, 3}, {SecurityFlags::WRITE_PROTECTED}, 0, INT64_MAX};

tavrin_account::AccountConnection connect_via_environment(const FakeDaemon& daemon) {
  const test_support::Endpoint endpoint(daemon.uri());
  auto connection = tavrin_account::connect_account_service();
  if (!connection) ADD_FAILURE() << connection.error().display();
  return std::move(*connection);
}

TEST(AccountClient, WorkedExampleOverBothKindsOfSocket) {
  for (const auto where : {FakeDaemon::Namespace::Path, FakeDaemon::Namespace::Abstract}) {
    FakeDaemon daemon({FakeScript().answer_secret(STORED).answer_null().answer_error(Error::no_such_secret())}, where);
    auto connection = connect_via_environment(daemon);
    const auto secret = tavrin_account::get_secret(connection, USER, PASSWORD_NAME);
    ASSERT_TRUE(secret.has_value()) << secret.error().display();
    EXPECT_EQ(*secret, STORED);
    EXPECT_TRUE(tavrin_account::set_secret(connection, USER, STORED).has_value());
    const auto missing = tavrin_account::get_secret(connection, USER, "other");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().display(), "no such secret");

    const auto frames = daemon.finish();
    ASSERT_EQ(frames.size(), 3U);
    EXPECT_EQ(frames[0].length, 135U);
    EXPECT_EQ(
        frames[0].body,
        R"({"method":"GetSecret","params":{"name":"org.norvalex.os.account.auth.password/Password","user":"2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10"}})");
    EXPECT_EQ(frames[1].length, 252U);
    EXPECT_EQ(
        frames[1].body,
        R"({"method":"SetSecret","params":{"secret":{"creation_time":0,"data":[1,2,3],"expiration_time":9223372036854775807,"name":"org.norvalex.os.account.auth.password/Password","security_flags":"WRITE_PROTECTED"},"user":"2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10"}})");
    EXPECT_EQ(frames[2].body,
              R"({"method":"GetSecret","params":{"name":"other","user":"2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10"}})");
  }
}

TEST(AccountClient, MisbehavingDaemonsGiveCommunicationErrors) {
  struct Case {
    std::string what;
    FakeScript script;
    bool set;              // the call is set_secret rather than get_secret
    std::string expected;  // display prefix; empty for success
  };
  std::vector<Case> cases;
  cases.push_back({"closes after the request", FakeScript().close_after_request(), false,
                   "communication error: failed to fill whole buffer"});
  cases.push_back({"two bytes of a prefix", FakeScript().half_prefix_then_close(), false,
                   "communication error: failed to fill whole buffer"});
  cases.push_back({"half a body", FakeScript().expect_request().send_raw(std::string("\x10\0\0\0{", 5)).close(), false,
                   "communication error: failed to fill whole buffer"});
  cases.push_back(
      {"announces 131073 bytes", FakeScript().announce_oversize_reply(), false, "communication error: file too large"});
  cases.push_back({"garbage", FakeScript().answer_garbage(), false, "communication error: parse error at line 1"});
  cases.push_back({"empty body", FakeScript().answer(""), false, "communication error: parse error"});
  cases.push_back({"deep brackets", FakeScript().answer_nested_brackets(tavrin_account::MAX_MESSAGE_LENGTH - 24), false,
                   "communication error: recursion limit exceeded"});
  cases.push_back({"true to SetSecret", FakeScript().answer_success(true), true,
                   "communication error: invalid type: boolean `true`, expected unit"});
  cases.push_back({"a secret to SetSecret", FakeScript().answer_secret(STORED), true,
                   "communication error: invalid type: map, expected unit"});
  cases.push_back(
      {"bad flags",
       FakeScript().answer_success(nlohmann::json::array({"n", nlohmann::json::array(), "ENCRYPTED|", 0, 0})), false,
       "communication error: encountered empty flag"});
  cases.push_back({"undecodable error", FakeScript().answer(R"({"success":false,"value":"Internal"})"), false,
                   "invalid parameters: invalid type: unit variant"});
  cases.push_back({"value before success, extra member",
                   FakeScript().answer(R"({"value":null,"other":[1,{"a":2}],"success":true})"), true, ""});
  const std::string reply = R"({"success":true,"value":)" + tavrin_account::secret_to_json(STORED).dump() + "}";
  cases.push_back({"one-byte pieces",
                   FakeScript().expect_request().send_in_pieces(
                       std::string("\0\0\0", 3).insert(0, 1, static_cast<char>(reply.size())) + reply),
                   false, ""});
  for (auto& c : cases) {
    FakeDaemon daemon({std::move(c.script)});
    auto connection = connect_via_environment(daemon);
    std::string display;
    if (c.set) {
      const auto result = tavrin_account::set_secret(connection, USER, STORED);
      if (!result) display = result.error().display();
    } else {
      const auto result = tavrin_account::get_secret(connection, USER, PASSWORD_NAME);
      if (!result) display = result.error().display();
      if (result) {
        EXPECT_EQ(*result, STORED) << c.what;
      }
    }
    if (c.expected.empty()) {
      EXPECT_EQ(display, "") << c.what;
    } else {
      EXPECT_TRUE(display.starts_with(c.expected)) << c.what << ": " << display;
    }
  }
}

TEST(AccountClient, AFailedRequestInASeriesEndsItAsScripted) {
  // Answer the first request, refuse the second, hang up on the third.
  FakeDaemon daemon(
      {FakeScript().answer_secret(STORED).answer_error(Error::permission_denied()).close_after_request()});
  auto connection = connect_via_environment(daemon);
  EXPECT_TRUE(tavrin_account::get_secret(connection, USER, PASSWORD_NAME).has_value());
  EXPECT_EQ(tavrin_account::set_secret(connection, USER, STORED).error(), Error::permission_denied());
  EXPECT_EQ(tavrin_account::set_secret(connection, USER, STORED).error(),
            Error::communication("failed to fill whole buffer"));
  EXPECT_EQ(daemon.finish().size(), 3U);
}

TEST(AccountClient, ConnectFailuresAreTheSystemsErrors) {
  std::string uri;
  {
    FakeDaemon gone({});
    uri = gone.uri();
  }
  auto refused = tavrin_account::connect_to_endpoint(uri);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().os_code(), ENOENT);
  auto nobody = tavrin_account::connect_to_endpoint("unix://@no-daemon-here-" + std::to_string(::getpid()));
  ASSERT_FALSE(nobody.has_value());
  EXPECT_EQ(nobody.error().os_code(), ECONNREFUSED);
  EXPECT_TRUE(nobody.error().display().ends_with("(os error " + std::to_string(ECONNREFUSED) + ")"));
}

}  // namespace
