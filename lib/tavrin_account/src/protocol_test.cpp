#include <gtest/gtest.h>

#include "common/quote.hpp"
#include "tavrin_account/protocol.hpp"
#include "test_bytes.hpp"

namespace tavrin_account {
namespace {

using json = nlohmann::json;
using test_support::bytes_of;

std::string text_of(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

std::string nested(std::size_t levels, std::string_view inner = "") {
  return std::string(levels, '[') + std::string(inner) + std::string(levels, ']');
}

TEST(Protocol, RequestsAreCompactSortedAndEscaped) {
  struct Case {
    std::string method;
    json params;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"GetSecret", json::object({{"user", "u"}, {"name", "n"}}),
       R"({"method":"GetSecret","params":{"name":"n","user":"u"}})"},
      {"M", json::object({{"b", 1}, {"a", json::array({3, -2, 0})}, {"ab", nullptr}, {"B", true}}),
       R"({"method":"M","params":{"B":true,"a":[3,-2,0],"ab":null,"b":1}})"},
      {"M", json("q\"b\\s/\b\f\n\r\t\x01\x1f\x7f \xc3\xa9"),
       "{\"method\":\"M\",\"params\":\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f \xc3\xa9\"}"},
      {"M", json::object({{"\xc3\xa9", 1}, {"z", 2}}), "{\"method\":\"M\",\"params\":{\"z\":2,\"\xc3\xa9\":1}}"},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> out = {'o', 'l', 'd'};
    ASSERT_TRUE(write_request(out, c.method, c.params).has_value());
    EXPECT_EQ(text_of(out), c.expected);
  }
  std::vector<std::uint8_t> out;
  const auto refused = write_request(out, "M", json("\xff"));
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().text.find("UTF-8"), std::string::npos) << refused.error().text;
  EXPECT_TRUE(out.empty());
}

TEST(Protocol, RepliesDecodeStrictly) {
  struct Case {
    std::string body;
    std::expected<json, Error> expected;  // a Communication error: the message holds its text
  };
  const auto fault = [](std::string fragment) { return std::unexpected(Error::communication(std::move(fragment))); };
  const std::vector<Case> cases = {
      {R"({"success":true,"value":null})", nullptr},
      {R"({"value":null,"x":{"y":[1,{"z":2}]},"success":true})", nullptr},
      {" \t\r\n[true, {\"a\": [1]}] \n", json::object({{"a", json::array({1})}})},
      {R"({"extra":1,"extra":2,"success":false,"value":"NoSuchUser"})", std::unexpected(Error::no_such_user())},
      {R"([true])", fault("invalid length 1, expected struct Response with 2 elements")},
      {R"([])", fault("invalid length 0, expected struct Response with 2 elements")},
      {R"([true,null,1])", fault("trailing characters at line 1 column")},
      {R"({"success":true,"value":null}{})", fault("expected end of input")},
      {R"({"success":true,"value":null} x)", fault("line 1, column 31")},
      {"", fault("unexpected end of input")},
      {R"(5)", fault("invalid type: integer `5`, expected struct Response at line 1 column 1")},
      {R"("s")", fault("invalid type: string \"s\", expected struct Response")},
      {R"({"success":true})", fault("missing field `value`")},
      {R"({"value":1})", fault("missing field `success`")},
      {R"({"success":true,"success":true,"value":1})", fault("duplicate field `success`")},
      {R"({"success":true,"value":1,"value":1})", fault("duplicate field `value`")},
      {R"({"success":1,"value":1})", fault("invalid type: integer `1`, expected a boolean")},
      {R"({"success":[],"value":1})", fault("invalid type: sequence, expected a boolean")},
      {"{\n\"success\":true,\n\"value\":{\"a\":1,\"a\":2}}", json::object({{"a", 2}})},
      {R"({"success":true,"value":"\ud800"})", fault("surrogate")},
  };
  for (const auto& c : cases) {
    const auto decoded = value_from_reply(bytes_of(c.body));
    if (c.expected) {
      ASSERT_TRUE(decoded.has_value()) << c.body << ": " << decoded.error().debug();
      EXPECT_EQ(*decoded, *c.expected) << c.body;
    } else if (c.expected.error().kind() != Error::Kind::Communication) {
      ASSERT_FALSE(decoded.has_value()) << c.body;
      EXPECT_EQ(decoded.error(), c.expected.error()) << c.body;
      EXPECT_TRUE(decoded.error().sent_by_daemon()) << c.body;
    } else {
      ASSERT_FALSE(decoded.has_value()) << c.body;
      EXPECT_EQ(decoded.error().kind(), Error::Kind::Communication) << c.body;
      EXPECT_NE(decoded.error().text().find(c.expected.error().text()), std::string::npos)
          << c.body << ": " << decoded.error().text();
      EXPECT_FALSE(decoded.error().sent_by_daemon()) << c.body;
    }
  }
}

TEST(Protocol, OnlyJsonWhiteSpaceMayStandAroundTheReply) {
  using namespace std::string_literals;
  struct Case {
    std::string body;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {" \t\r\n{\"success\":false,\"value\":\"NoSuchSecret\"} \t\r\n"s, true},
      {"{\"success\":false,\"value\":\"NoSuchSecret\"}\0"s, false},
      {"{\"success\":false,\"value\":\"NoSuchSecret\"}\0{\"success\":true}"s, false},
      {"{\"success\":true,\"value\":null}\n\0"s, false},
      {"\0{\"success\":true,\"value\":null}"s, false},
      {"{\"success\":true,\"value\":\"a\0b\"}"s, false},
      {"\xEF\xBB\xBF{\"success\":true,\"value\":null}"s, false},
      {" \xEF\xBB\xBF{\"success\":true,\"value\":null}"s, false},
      {"{\"success\":true,\"value\":\"\xEF\xBB\xBF\"}"s, true},
      {"\f{\"success\":true,\"value\":null}"s, false},
      {"{\"success\":true,\"value\":null}\v"s, false},
      {"\xC2\xA0{\"success\":true,\"value\":null}"s, false},
  };
  for (const auto& c : cases) {
    const auto value = value_from_reply(bytes_of(c.body));
    // A failure reply that was read is the daemon's word; anything else is no reply.
    const bool read = value.has_value() || value.error().sent_by_daemon();
    EXPECT_EQ(read, c.accepted) << common::quoted(c.body);
    if (!read) {
      EXPECT_EQ(value.error().kind(), Error::Kind::Communication) << common::quoted(c.body);
    }
  }
}

TEST(Protocol, EveryReplyFailureSaysWhereItLies) {
  using namespace std::string_literals;
  struct Case {
    std::string body;
    std::string message;
  };
  const std::vector<Case> cases = {
      {R"({"success":true,"value":1e400})", "number overflow parsing '1e400' at line 1 column 29"},
      {"{\"success\":true,\n \"value\":[-1e309]}", "number overflow parsing '-1e309' at line 2 column 16"},
      {"{\"success\":true,\n \"value\":null}\0"s, "NUL byte in the text at line 2 column 15"},
      {"\xEF\xBB\xBF[true,null]", "byte-order mark before the value at line 1 column 1"},
      {R"({"success":true,"value":null,"success":true})", "duplicate field `success` at line 1 column 38"},
      {"[true,\n null,\n 3]", "trailing characters at line 3 column 2"},
      {R"({"success":"yes","value":null})", "invalid type: string \"yes\", expected a boolean at line 1 column 16"},
      {R"({"value":null})", "missing field `success` at line 1 column 14"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(value_from_reply(bytes_of(c.body)), std::unexpected(Error::communication(c.message)))
        << common::quoted(c.body);
  }
}

TEST(Protocol, NestingStopsAt128LevelsWithoutRecursing) {
  // The reply object itself is the first level.
  const auto reply = [](std::size_t levels) { return R"({"success":true,"value":)" + nested(levels - 1) + "}"; };
  EXPECT_TRUE(value_from_reply(bytes_of(reply(127))).has_value());
  EXPECT_TRUE(value_from_reply(bytes_of(R"({"x":)" + nested(126) + R"(,"success":true,"value":0})")).has_value());
  const auto too_deep = value_from_reply(bytes_of(reply(128)));
  ASSERT_FALSE(too_deep.has_value());
  EXPECT_NE(too_deep.error().text().find("recursion limit exceeded"), std::string::npos);
  EXPECT_FALSE(value_from_reply(bytes_of(R"({"x":)" + nested(127) + R"(,"success":true,"value":0})")).has_value());
  EXPECT_FALSE(value_from_reply(bytes_of(std::string(1'000'000, '['))).has_value());
  EXPECT_FALSE(value_from_reply(bytes_of(std::string(1'000'000, '{'))).has_value());
}

}  // namespace
}  // namespace tavrin_account
