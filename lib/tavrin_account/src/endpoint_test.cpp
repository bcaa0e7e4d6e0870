#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tavrin_account/connection.hpp"
#include "tavrin_account/endpoint.hpp"

namespace tavrin_account {
namespace {

using Kind = EndpointAddress::Kind;

TEST(Endpoint, UrisParseByExactByteRules) {
  struct Case {
    std::string uri;
    std::optional<EndpointAddress> expected;
  };
  const std::vector<Case> cases = {
      {"unix://@verified:org.norvalex.os/accountd",
       EndpointAddress{Kind::Abstract, "verified:org.norvalex.os/accountd"}},
      {"unix://@", EndpointAddress{Kind::Abstract, ""}},
      {"unix:///run/acct.sock", EndpointAddress{Kind::Pathname, "/run/acct.sock"}},
      {"unix:///", EndpointAddress{Kind::Pathname, "/"}},
      {std::string("unix://@a\0b", 11), EndpointAddress{Kind::Abstract, std::string("a\0b", 3)}},
      {"", std::nullopt},
      {"unix://", std::nullopt},
      {"UNIX:///run/x", std::nullopt},
      {"unix:/run/x", std::nullopt},
      {"unix://run/x", std::nullopt},
      {"tcp://@x", std::nullopt},
      {" unix:///run/x", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_endpoint_uri(c.uri);
    if (c.expected) {
      ASSERT_TRUE(parsed.has_value()) << c.uri;
      EXPECT_EQ(*parsed, *c.expected) << c.uri;
    } else {
      ASSERT_FALSE(parsed.has_value()) << c.uri;
      EXPECT_EQ(parsed.error().kind(), common::ErrorKind::AddrNotAvailable);
      EXPECT_EQ(parsed.error().display(), "address not available");
    }
  }
}

TEST(Endpoint, SocketAddressesHaveExactLengthsAndLimits) {
  const std::string name107(107, 'a');
  const std::string name108(108, 'a');
  const std::string path107 = "/" + std::string(106, 'p');
  const std::string path108 = "/" + std::string(107, 'p');
  const std::string zero_inside("/a\0b", 4);
  // The zero byte is found before the length is looked at.
  const std::string zero_and_long = std::string("/\0", 2) + std::string(200, 'p');
  struct Case {
    Kind kind;
    std::string_view bytes;
    socklen_t length;          // 0: refused
    std::string_view refusal;  // display text when refused
  };
  const Case cases[] = {
      {Kind::Abstract, "verified:org.norvalex.os/accountd", 36, ""},
      {Kind::Abstract, "", 3, ""},
      {Kind::Abstract, name107, 110, ""},
      {Kind::Abstract, name108, 0, "abstract socket name must be shorter than SUN_LEN"},
      {Kind::Pathname, "/run/acct.sock", 17, ""},
      {Kind::Pathname, path107, 110, ""},
      {Kind::Pathname, path108, 0, "path must be shorter than SUN_LEN"},
      {Kind::Pathname, zero_inside, 0, "paths must not contain interior null bytes"},
      {Kind::Pathname, zero_and_long, 0, "paths must not contain interior null bytes"},
  };
  for (const auto& c : cases) {
    const auto address = make_socket_address(EndpointAddress{c.kind, std::string(c.bytes)});
    if (c.length == 0) {
      ASSERT_FALSE(address.has_value()) << c.bytes.size();
      EXPECT_EQ(address.error().kind(), common::ErrorKind::InvalidInput);
      EXPECT_EQ(address.error().display(), c.refusal);
      continue;
    }
    ASSERT_TRUE(address.has_value()) << address.error().display();
    EXPECT_EQ(address->length, c.length);
    EXPECT_EQ(address->address.sun_family, AF_UNIX);
    const char* path = address->address.sun_path;
    if (c.kind == Kind::Abstract) {
      EXPECT_EQ(path[0], '\0');
      EXPECT_EQ(std::string_view(path + 1, c.bytes.size()), c.bytes);
    } else {
      EXPECT_EQ(std::string_view(path), c.bytes);
    }
  }
}

TEST(Endpoint, EnvironmentIsReadOnEveryResolve) {
  ::unsetenv("ACCOUNT_IPC_URI");
  EXPECT_EQ(resolve_endpoint_uri(), DEFAULT_ACCOUNT_IPC_URI);
  ::setenv("ACCOUNT_IPC_URI", " unix:///x ", 1);
  EXPECT_EQ(resolve_endpoint_uri(), " unix:///x ");
  ::setenv("ACCOUNT_IPC_URI", "", 1);
  EXPECT_EQ(resolve_endpoint_uri(), "");
  // The empty value is used, so no connection is tried.
  auto connection = connect_account_service();
  ASSERT_FALSE(connection.has_value());
  EXPECT_EQ(connection.error().display(), "address not available");
  ::setenv("ACCOUNT_IPC_URI", "unix:///\xff", 1);
  EXPECT_EQ(resolve_endpoint_uri(), DEFAULT_ACCOUNT_IPC_URI);
  ::unsetenv("ACCOUNT_IPC_URI");
}

TEST(Endpoint, ConnectFailuresCarryTheSystemsCode) {
  auto refused = connect_to_endpoint("unix:///nonexistent-dir-for-test/socket");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().os_code(), ENOENT);
  auto too_long = connect_to_endpoint("unix://@" + std::string(108, 'n'));
  ASSERT_FALSE(too_long.has_value());
  EXPECT_EQ(too_long.error().display(), "abstract socket name must be shorter than SUN_LEN");
}

}  // namespace
}  // namespace tavrin_account
