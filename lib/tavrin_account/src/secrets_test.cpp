#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <thread>

#include "tavrin_account/protocol.hpp"
#include "tavrin_account/secrets.hpp"
#include "test_bytes.hpp"

namespace tavrin_account {
namespace {

using test_support::bytes_of;

const common::Uuid USER = *common::parse_uuid("2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");
constexpr std::string_view PASSWORD_NAME = "org.norvalex.os.account.auth.password/Password";

TEST(SecretReplies, BothFormsDecodeAndBadFieldsAreNamed) {
  const std::string good_object =
      R"({"creation_time":-5,"data":[0,255],"expiration_time":9223372036854775807,"name":"n","security_flags":"ENCRYPTED","x":[{}]})";
  struct Case {
    std::string wire;
    std::string error;  // empty: decodes to EXPECTED
  };
  const std::vector<Case> cases = {
      {good_object, ""},
      {R"(["n",[0,255],"ENCRYPTED",-5,9223372036854775807])", ""},
      {R"(["n",[0,255],"ENCRYPTED",-5])", "invalid length 4, expected struct Secret with 5 elements"},
      {R"(["n",[0,255],"ENCRYPTED",-5,1,1])", "invalid length 6, expected fewer elements in array"},
      {R"("n")", "invalid type: string \"n\", expected struct Secret"},
      {R"({"creation_time":0,"data":[],"name":"n","security_flags":""})", "missing field `expiration_time`"},
      {R"(["n",[256],"",0,0])", "invalid value: integer `256`, expected u8"},
      {R"(["n",[-1],"",0,0])", "invalid value: integer `-1`, expected u8"},
      {R"(["n",[1.0],"",0,0])", "invalid type: floating point `1.0`, expected u8"},
      {R"(["n","abc","",0,0])", "invalid type: string \"abc\", expected a sequence"},
      {R"([1,[],"",0,0])", "invalid type: integer `1`, expected a string"},
      {R"(["n",[],3,0,0])", "invalid type: integer `3`, expected a string value of `|` separated flags"},
      {R"(["n",[],"|",0,0])", "encountered empty flag"},
      {R"(["n",[],"",9223372036854775808,0])", "invalid value: integer `9223372036854775808`, expected i64"},
      {R"(["n",[],"",0,-9223372036854775808])", ""},
      {R"(["n",[],"",0,1e3])", "invalid type: floating point `1000.0`, expected i64"},
  };
  const auto reply = [](const std::string& value) { return R"({"success":true,"value":)" + value + "}"; };
  for (const auto& c : cases) {
    const auto secret = secret_from_reply(bytes_of(reply(c.wire)));
    if (c.error.empty()) {
      EXPECT_TRUE(secret.has_value()) << c.wire << ": " << secret.error().debug();
    } else {
      EXPECT_EQ(secret, std::unexpected(Error::communication(c.error))) << c.wire;
    }
  }
  const auto decoded = secret_from_reply(bytes_of(reply(good_object)));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, (Secret{"n", {0, 255}, {SecurityFlags::ENCRYPTED}, -5, INT64_MAX}));
  EXPECT_EQ(secret_from_reply(bytes_of(reply(secret_to_json(*decoded).dump()))).value(), *decoded);
}

TEST(SecretReplies, RepeatedKeysCountOnlyWhereTheReaderLooks) {
  const std::string fields = R"("creation_time":1,"data":[7],"expiration_time":2,"name":"n","security_flags":"")";
  const auto secret_reply = [](const std::string& members) { return R"({"success":true,"value":{)" + members + "}}"; };
  struct Case {
    std::string body;
    std::optional<Error> error;  // nullopt: the secret below
  };
  const std::vector<Case> cases = {
      {secret_reply(fields + R"(,"x":{"k":1,"k":2})"), std::nullopt},
      {secret_reply(R"("x":1,"x":[{"k":1,"k":{"k":2}}],)" + fields), std::nullopt},
      {R"({"other":{"k":1,"k":2},"success":true,"other":0,"value":{)" + fields + "}}", std::nullopt},
      {secret_reply(fields + R"(,"name":"m")"), Error::communication("duplicate field `name`")},
      {secret_reply(R"("n\u0061me":"m",)" + fields), Error::communication("duplicate field `name`")},
      {secret_reply(fields + R"(,"data":[])"), Error::communication("duplicate field `data`")},
      {R"({"success":true,"value":{)" + fields + R"(},"value":null})",
       Error::communication("duplicate field `value` at line 1 column 113")},
      {R"({"success":false,"success":false,"value":"NoSuchUser"})",
       Error::communication("duplicate field `success` at line 1 column 26")},
      {R"({"success":false,"value":{"NoSuchUser":null,"NoSuchUser":null}})",
       Error::invalid_params("invalid value: map, expected map with a single key")},
      {R"({"success":false,"value":{"Internal":"a","Internal":"a"}})",
       Error::invalid_params("invalid value: map, expected map with a single key")},
      {R"({"success":false,"value":{"Internal":{"k":1,"k":2}}})",
       Error::invalid_params("invalid type: map, expected a string")},
      {R"({"x":{"k":1,"k":2},"success":false,"value":{"Internal":"disk"}})", Error::internal("disk")},
  };
  const Secret expected{"n", {7}, {}, 1, 2};
  for (const auto& c : cases) {
    const auto secret = secret_from_reply(bytes_of(c.body));
    if (!c.error) {
      ASSERT_TRUE(secret.has_value()) << c.body << ": " << secret.error().display();
      EXPECT_EQ(*secret, expected) << c.body;
    } else {
      ASSERT_FALSE(secret.has_value()) << c.body;
      EXPECT_EQ(secret.error().debug(), c.error->debug()) << c.body;
    }
  }
}

// A peer on the other end of a socket pair that answers one frame.
class OneShotPeer {
 public:
  explicit OneShotPeer(std::string reply) {
    std::array<int, 2> fds{};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()), 0);
    connection_.emplace(common::UniqueFd(fds[0]));
    peer_ = common::UniqueFd(fds[1]);
    thread_ = std::thread([this, reply = std::move(reply)] {
      std::array<std::uint8_t, 4> prefix{};
      if (::recv(peer_.get(), prefix.data(), 4, MSG_WAITALL) != 4) return;
      request_.resize(decode_frame_length(prefix.data()));
      if (::recv(peer_.get(), request_.data(), request_.size(), MSG_WAITALL) != static_cast<ssize_t>(request_.size()))
        return;
      encode_frame_length(static_cast<std::uint32_t>(reply.size()), prefix.data());
      std::string out(prefix.begin(), prefix.end());
      out += reply;
      (void)::send(peer_.get(), out.data(), out.size(), MSG_NOSIGNAL);
    });
  }
  ~OneShotPeer() {
    if (thread_.joinable()) thread_.join();
  }
  AccountConnection& connection() { return *connection_; }
  std::string request() {
    thread_.join();
    return {request_.begin(), request_.end()};
  }

 private:
  std::optional<AccountConnection> connection_;
  common::UniqueFd peer_;
  std::vector<std::uint8_t> request_;
  std::thread thread_;
};

TEST(SecretCalls, WorkedExampleIsByteExact) {
  OneShotPeer get_peer(
      R"({"success":true,"value":{"creation_time":0,"data":[1,2,3],"expiration_time":9223372036854775807,"name":"org.norvalex.os.account.auth.password/Password","security_flags":"WRITE_PROTECTED"}})");
  const auto secret = get_secret(get_peer.connection(), USER, PASSWORD_NAME);
  const std::string get_request = get_peer.request();
  EXPECT_EQ(
      get_request,
      R"({"method":"GetSecret","params":{"name":"org.norvalex.os.account.auth.password/Password","user":"2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10"}})");
  EXPECT_EQ(get_request.size(), 135U);
  ASSERT_TRUE(secret.has_value()) << secret.error().display();
  const Secret expected{std::string(PASSWORD_NAME), {1, 2, 3}, {SecurityFlags::WRITE_PROTECTED}, 0, INT64_MAX};
  EXPECT_EQ(*secret, expected);

  OneShotPeer set_peer(R"({"success":true,"value":null})");
  EXPECT_TRUE(set_secret(set_peer.connection(), USER, expected).has_value());
  const std::string set_request = set_peer.request();
  EXPECT_EQ(
      set_request,
      R"({"method":"SetSecret","params":{"secret":{"creation_time":0,"data":[1,2,3],"expiration_time":9223372036854775807,"name":"org.norvalex.os.account.auth.password/Password","security_flags":"WRITE_PROTECTED"},"user":"2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10"}})");
  EXPECT_EQ(set_request.size(), 252U);
}

TEST(SecretCalls, RepliesMapToTheirErrors) {
  struct Case {
    bool set;  // set_secret instead of get_secret
    std::string reply;
    std::string display;  // empty: success
  };
  const std::vector<Case> cases = {
      {false, R"({"success":false,"value":"NoSuchSecret"})", "no such secret"},
      {false, R"({"success":false,"value":{"NoSuchUser":null}})", "no such user"},
      {false, R"({"success":false,"value":{"Internal":"disk"}})", "internal error: disk"},
      {false, R"({"success":false,"value":"Internal"})", "invalid parameters: invalid type: unit variant"},
      {false, R"({"success":false,"value":7})", "invalid parameters: invalid type: integer `7`"},
      {false, R"({"success":false,"value":{"A":null,"B":null}})", "invalid parameters: invalid value: map"},
      {false, R"({"success":true,"value":["other",[],"",0,0]})", ""},
      {false, R"({"success":true,"value":["n",[],"bad",0,0]})", "communication error: unrecognized named flag `bad`"},
      {false, R"({"success":true,"value":["n",[256],"",0,0]})", "communication error: invalid value: integer `256`"},
      {false, R"([true])", "communication error: invalid length 1, expected struct Response with 2 elements"},
      {false, "", "communication error: parse error at line 1, column 1"},
      {true, R"([true,null])", ""},
      {true, R"({"success":true,"value":true})", "communication error: invalid type: boolean `true`, expected unit"},
      {true, R"({"success":false,"value":"PermissionDenied"})", "permission denied"},
  };
  for (const auto& c : cases) {
    OneShotPeer peer(c.reply);
    std::string display;
    if (c.set) {
      const auto result = set_secret(peer.connection(), USER, Secret{.name = "n"});
      if (!result) display = result.error().display();
    } else {
      const auto result = get_secret(peer.connection(), USER, "n");
      if (!result) display = result.error().display();
    }
    if (c.display.empty()) {
      EXPECT_EQ(display, "") << c.reply;
    } else {
      EXPECT_TRUE(display.starts_with(c.display)) << c.reply << " gave " << display;
    }
  }
}

TEST(SecretCalls, OversizeSecretIsRefusedBeforeSending) {
  OneShotPeer peer(R"({"success":true,"value":null})");
  Secret big{.name = "n", .data = std::vector<std::uint8_t>(40'000, 200)};
  const auto result = set_secret(peer.connection(), USER, big);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), Error::communication("file too large"));
  ::shutdown(peer.connection().socket(), SHUT_RDWR);
  EXPECT_EQ(peer.request(), "");
}

}  // namespace
}  // namespace tavrin_account
