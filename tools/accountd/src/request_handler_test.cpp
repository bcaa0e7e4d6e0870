#include <gtest/gtest.h>

#include "request_handler.hpp"

namespace accountd {
namespace {

struct Exchange {
  std::string reply;
  RequestSummary summary;
};

Exchange ask(SecretStore& store, std::string_view body) {
  std::vector<std::uint8_t> reply;
  const auto summary = handle_request({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}, store, reply);
  return {std::string(reply.begin(), reply.end()), summary};
}

TEST(RequestHandler, AnswersEveryRequestWithAResponse) {
  auto store = SecretStore::open_in_memory();
  ASSERT_TRUE(store.has_value());
  const std::string user = R"("user":"2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10")";
  const std::string secret =
      R"({"creation_time":0,"data":[1,2,3],"expiration_time":9223372036854775807,"name":"pw","security_flags":"WRITE_PROTECTED | 0x10"})";
  struct Case {
    std::string request;
    std::string reply;  // exact, or a prefix ending in "..."
    std::string outcome;
  };
  const std::vector<Case> cases = {
      {R"({"method":"GetSecret","params":{"name":"pw",)" + user + "}}", R"({"success":false,"value":"NoSuchSecret"})",
       "NoSuchSecret"},
      {R"({"method":"SetSecret","params":{"secret":)" + secret + "," + user + "}}", R"({"success":true,"value":null})",
       "ok"},
      {R"({"params":[")" + std::string("2F6C1D9E4B7A4C3E8F219A0B5C7D3E10") + R"(","pw"],"method":"GetSecret"})",
       R"({"success":true,"value":)" + secret + "}", "ok"},
      {R"({"method":"DeleteSecret","params":{}})", R"({"success":false,"value":{"NotImplemented":"DeleteSecret"}})",
       "NotImplemented"},
      {R"({"method":"GetSecret","params":{"name":"pw"}})",
       R"({"success":false,"value":{"InvalidParams":"missing field `user`"}})", "InvalidParams"},
      {R"({"method":"SetSecret","params":{"secret":["pw",[256],"",0,0],)" + user + "}}",
       R"({"success":false,"value":{"InvalidParams":"invalid value: integer `256`, expected u8"}})", "InvalidParams"},
      {"[[[",
       R"({"success":false,"value":{"InvalidParams":"invalid type: sequence, expected a string at line 1 column 2"}})",
       "InvalidParams"},
      {R"({"method":)", R"({"success":false,"value":{"InvalidParams":"parse error at line 1...)", "InvalidParams"},
      {"", R"({"success":false,"value":{"InvalidParams":"parse error...)", "InvalidParams"},
  };
  for (const auto& c : cases) {
    const auto exchange = ask(*store, c.request);
    if (c.reply.ends_with("...")) {
      EXPECT_TRUE(exchange.reply.starts_with(c.reply.substr(0, c.reply.size() - 3))) << exchange.reply;
    } else {
      EXPECT_EQ(exchange.reply, c.reply) << c.request;
    }
    EXPECT_EQ(exchange.summary.outcome, c.outcome) << c.request;
  }
}

TEST(RequestHandler, SummaryNamesTheRequestButNotTheData) {
  auto store = SecretStore::open_in_memory();
  ASSERT_TRUE(store.has_value());
  const auto exchange = ask(
      *store,
      R"({"method":"SetSecret","params":{"secret":["pw\n",[115,101,99,114,101,116],"",0,0],"user":"2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10"}})");
  EXPECT_EQ(exchange.summary.method, R"("SetSecret")");
  EXPECT_EQ(exchange.summary.user, "2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10");
  EXPECT_EQ(exchange.summary.name, R"("pw\n")");
  EXPECT_EQ(exchange.summary.outcome, "ok");
}

}  // namespace
}  // namespace accountd
