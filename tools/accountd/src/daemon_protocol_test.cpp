#include "daemon_protocol.hpp"

#include <gtest/gtest.h>

#include "tavrin_account/protocol.hpp"
#include "test_bytes.hpp"

namespace accountd {
namespace {

using json = nlohmann::json;
using tavrin_account::Error;
using test_support::bytes_of;

// What the daemon writes, the client reads back as it was: every error in
// its one wire form.
TEST(DaemonProtocol, EveryErrorIsWrittenInItsWireFormAndReadBackAsItWas) {
  struct Case {
    Error error;
    std::string reply;
  };
  const std::vector<Case> cases = {
      {Error::communication("file too large"), R"({"success":false,"value":{"Communication":"file too large"}})"},
      {Error::not_implemented("Foo"), R"({"success":false,"value":{"NotImplemented":"Foo"}})"},
      {Error::invalid_params("a\"b\n"), R"({"success":false,"value":{"InvalidParams":"a\"b\n"}})"},
      {Error::permission_denied(), R"({"success":false,"value":"PermissionDenied"})"},
      {Error::no_such_user(), R"({"success":false,"value":"NoSuchUser"})"},
      {Error::no_such_group(), R"({"success":false,"value":"NoSuchGroup"})"},
      {Error::no_such_secret(), R"({"success":false,"value":"NoSuchSecret"})"},
      {Error::no_such_auth_method(), R"({"success":false,"value":"NoSuchAuthMethod"})"},
      {Error::not_activated_auth_method(), R"({"success":false,"value":"NotActivatedAuthMethod"})"},
      {Error::alloc_host_id(), R"({"success":false,"value":"AllocHostId"})"},
      {Error::already_exists(), R"({"success":false,"value":"AlreadyExists"})"},
      {Error::internal("x\u0301"), "{\"success\":false,\"value\":{\"Internal\":\"x\u0301\"}}"},
  };
  ASSERT_EQ(cases.size(), Error::KIND_COUNT);
  for (const auto& c : cases) {
    std::vector<std::uint8_t> out = {'o', 'l', 'd'};
    ASSERT_TRUE(write_response(out, false, error_to_json(c.error)).has_value());
    EXPECT_EQ(std::string(out.begin(), out.end()), c.reply);
    EXPECT_EQ(tavrin_account::value_from_reply(out), std::unexpected(c.error));
  }
  std::vector<std::uint8_t> out;
  ASSERT_TRUE(write_response(out, true, nullptr).has_value());
  EXPECT_EQ(std::string(out.begin(), out.end()), R"({"success":true,"value":null})");
}

// A key given twice anywhere in the params is refused where it stands; the
// params records are read by the client's record reader, so their faults read
// as the client's do, without a place.
TEST(DaemonProtocol, RequestsAreReadStrictlyAndTheirParamsAsRecords) {
  const std::string user = R"("user":"2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10")";
  struct Case {
    std::string body;
    std::string error;  // empty: read, and its params are a SetSecret's
  };
  const std::vector<Case> cases = {
      {R"({"params":{"secret":["n",[1],"",0,0],)" + user + R"(},"method":"SetSecret"})", ""},
      {R"({"method":"SetSecret","params":{"secret":{"x":{"k":1,"k":2}}}})", "duplicate key `k` at line 1 column 56"},
      {R"({"method":"SetSecret","params":{"secret":["n",[1],"",0,0]}})", "missing field `user`"},
      {R"({"method":"SetSecret","params":{"secret":["n",[1],""],)" + user + "}}",
       "invalid length 3, expected struct Secret with 5 elements"},
      {R"({"method":"SetSecret","params":{"secret":{"name":"n"},)" + user + "}}", "missing field `data`"},
      {R"({"method":"SetSecret","params":[)" + user.substr(7) + R"(,"s"]})",
       "invalid type: string \"s\", expected struct Secret"},
      {R"({"method":"SetSecret","params":{"secret":[],"user":"abcd"}})",
       "UUID parsing failed: invalid length: expected length 32 for simple format, found 4"},
      {R"({"method":5,"params":null})", "invalid type: integer `5`, expected a string at line 1 column 11"},
      {"true", "invalid type: boolean `true`, expected struct Request at line 1 column 4"},
  };
  for (const auto& c : cases) {
    auto read = decode_request(bytes_of(c.body));
    std::string error = read ? std::string() : read.error().text;
    if (read) {
      auto params = set_secret_params(read->params);
      if (!params) error = params.error().text;
    }
    EXPECT_EQ(error, c.error) << c.body;
  }
}

}  // namespace
}  // namespace accountd
