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
  struct Case {
    EndpointAddress endpoint;
    socklen_t length;     // 0: refused
    std::string refusal;  // display text when refused
  };
  const std::vector<Case> cases = {
      {{Kind::Abstract, "verified:org.norvalex.os/accountd"}, 36, ""},
      {{Kind::Abstract, ""}, 3, ""},
      {{Kind::Abstract, std::string(107, 'a')}, 110, ""},
      {{Kind::Abstract, std::string(108, 'a')}, 0, "abstract socket name must be shorter than SUN_LEN"},
      {{Kind::Pathname, "/run/acct.sock"}, 17, ""},
      {{Kind::Pathname, "/" + std::string(106, 'p')}, 110, ""},
      {{Kind::Pathname, "/" + std::string(107, 'p')}, 0, "path must be shorter than SUN_LEN"},
      {{Kind::Pathname, std::string("/a\0b", 4)}, 0, "paths must not contain interior null bytes"},
      // The zero byte is found before the length is looked at.
      {{Kind::Pathname, std::string("/\0", 2) + std::string(200, 'p')},
       0,
       "paths must not contain interior null bytes"},
  };
  for (const auto& c : cases) {
    const auto address = make_socket_address(c.endpoint);
    if (c.length == 0) {
      ASSERT_FALSE(address.has_value()) << c.endpoint.bytes.size();
      EXPECT_EQ(address.error().kind(), common::ErrorKind::InvalidInput);
      EXPECT_EQ(address.error().display(), c.refusal);
      continue;
    }
    ASSERT_TRUE(address.has_value()) << address.error().display();
    EXPECT_EQ(address->length, c.length);
    EXPECT_EQ(address->address.sun_family, AF_UNIX);
    const char* path = address->address.sun_path;
    if (c.endpoint.kind == Kind::Abstract) {
      EXPECT_EQ(path[0], '\0');
      EXPECT_EQ(std::string(path + 1, c.endpoint.bytes.size()), c.endpoint.bytes);
    } else {
      EXPECT_EQ(std::string(path), c.endpoint.bytes);
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
