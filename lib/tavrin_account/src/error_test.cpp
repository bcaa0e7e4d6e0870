#include <gtest/gtest.h>

#include "tavrin_account/error.hpp"
#include "tavrin_account/protocol.hpp"
#include "test_bytes.hpp"

namespace tavrin_account {
namespace {

using test_support::bytes_of;

TEST(Error, EveryCaseHasItsDisplayFormAndIsReadFromItsWireForm) {
  struct Case {
    Error error;
    std::string display;
    std::string wire;
  };
  const std::vector<Case> cases = {
      {Error::communication("file too large"), "communication error: file too large",
       R"({"Communication":"file too large"})"},
      {Error::not_implemented("Foo"), "`Foo`: Not implemented", R"({"NotImplemented":"Foo"})"},
      {Error::invalid_params("a\"b\n"), "invalid parameters: a\"b\n", R"({"InvalidParams":"a\"b\n"})"},
      {Error::permission_denied(), "permission denied", R"("PermissionDenied")"},
      {Error::no_such_user(), "no such user", R"("NoSuchUser")"},
      {Error::no_such_group(), "no such group", R"("NoSuchGroup")"},
      {Error::no_such_secret(), "no such secret", R"("NoSuchSecret")"},
      {Error::no_such_auth_method(), "no such auth method", R"("NoSuchAuthMethod")"},
      {Error::not_activated_auth_method(), "the specified auth method is not activated for the user",
       R"("NotActivatedAuthMethod")"},
      {Error::alloc_host_id(), "cannot allocate host id", R"("AllocHostId")"},
      {Error::already_exists(), "already exists", R"("AlreadyExists")"},
      {Error::internal("x\u0301"), "internal error: x\u0301", "{\"Internal\":\"x\u0301\"}"},
  };
  ASSERT_EQ(cases.size(), Error::KIND_COUNT);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(static_cast<std::size_t>(c.error.kind()), i);
    EXPECT_EQ(c.error.display(), c.display);
    const auto read = value_from_reply(bytes_of(R"({"success":false,"value":)" + c.wire + "}"));
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), c.error);
    EXPECT_TRUE(read.error().sent_by_daemon());
    EXPECT_FALSE(c.error.sent_by_daemon());
  }
}

TEST(Error, DecodingAcceptsOnlyTheTwoWireForms) {
  const std::string all_names =
      "expected one of `Communication`, `NotImplemented`, `InvalidParams`, `PermissionDenied`, `NoSuchUser`, "
      "`NoSuchGroup`, `NoSuchSecret`, `NoSuchAuthMethod`, `NotActivatedAuthMethod`, `AllocHostId`, "
      "`AlreadyExists`, `Internal`";
  struct Case {
    std::string wire;
    std::string expected;  // decoder message
  };
  const std::vector<Case> cases = {
      {R"({"NoSuchUser":null})", ""},
      {R"("Internal")", "invalid type: unit variant, expected newtype variant"},
      {R"(5)", "invalid type: integer `5`, expected string or map"},
      {R"(null)", "invalid type: null, expected string or map"},
      {R"([])", "invalid type: sequence, expected string or map"},
      {R"({"NoSuchUser":null,"Internal":"x"})", "invalid value: map, expected map with a single key"},
      {R"({})", "invalid value: map, expected map with a single key"},
      {R"("nosuchuser")", "unknown variant `nosuchuser`, " + all_names},
      {R"({"Bogus":null})", "unknown variant `Bogus`, " + all_names},
      {R"({"Internal":5})", "invalid type: integer `5`, expected a string"},
      {R"({"Internal":null})", "invalid type: null, expected a string"},
      {R"({"NoSuchUser":"x"})", "invalid type: string \"x\", expected unit"},
  };
  for (const auto& c : cases) {
    const auto decoded = value_from_reply(bytes_of(R"({"success":false,"value":)" + c.wire + "}"));
    ASSERT_FALSE(decoded.has_value()) << c.wire;
    EXPECT_TRUE(decoded.error().sent_by_daemon()) << c.wire;
    if (c.expected.empty()) {
      EXPECT_NE(decoded.error().kind(), Error::Kind::InvalidParams) << c.wire;
    } else {
      EXPECT_EQ(decoded.error(), Error::invalid_params(c.expected)) << c.wire;
    }
  }
}

}  // namespace
}  // namespace tavrin_account
