#include "password_request.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace auth_password {
namespace {

std::span<const std::uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(PasswordRequest, DecodesEveryStringFormIntoTheMembersOrder) {
  struct Case {
    std::string input;
    std::string old_password;
    std::string new_password;
  };
  const std::vector<Case> cases = {
      {R"({"old_password":"a","new_password":"b"})", "a", "b"},
      {" \r\n\t{ \"new_password\" : \"b\" ,\n\"old_password\":\"\" } \n", "", "b"},
      {R"({"old_password":"\"\\\/\b\f\n\r\t","new_password":"\u0041\u00e9\u20ac"})", "\"\\/\b\f\n\r\t",
       "A\xc3\xa9\xe2\x82\xac"},
      {R"({"old_password":"\ud83d\ude00","new_password":"\u0000x"})", "\xf0\x9f\x98\x80", std::string("\0x", 2)},
      {"{\"old_password\":\"caf\xc3\xa9\",\"new_password\":\"\xe2\x80\xae\"}", "caf\xc3\xa9", "\xe2\x80\xae"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    auto read = read_password_request(bytes(c.input), UPDATE_MEMBERS);
    ASSERT_TRUE(read.has_value()) << read.error().display();
    ASSERT_EQ(read->size(), 2U);
    EXPECT_EQ((*read)[0].text(), c.old_password);
    EXPECT_EQ((*read)[1].text(), c.new_password);
  }
}

// The failures the end-to-end table does not reach; none quotes what stood
// inside a string.
TEST(PasswordRequest, RefusesWhatIsNotExactlyTheObjectAndNeverQuotesAString) {
  struct Case {
    std::string input;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"[\"secret\"]", "invalid type: sequence, expected a JSON object at line 1 column 1"},
      {R"({"password":"secret)", "EOF while parsing a string at line 1 column 19"},
      {R"({"password" "secret"})", "expected `:` at line 1 column 13"},
      {R"({"password":"secret";})", "expected `,` or `}` at line 1 column 21"},
      {R"({password:"secret"})", "key must be a string at line 1 column 2"},
      {R"({"password":null})", "invalid type: null, expected a string at line 1 column 13"},
      {"{\"password\":\"sec\tret\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 17"},
      {R"({"password":"secr\et"})", "invalid escape at line 1 column 18"},
      {R"({"password":"secr\u00g0"})", "invalid escape at line 1 column 22"},
      {R"({"password":"secr\udc00"})", "lone trailing surrogate in hex escape at line 1 column 18"},
      {R"({"password":"secr\ud800et"})", "unexpected end of hex escape at line 1 column 24"},
      {R"({"password":"secr\ud800\u0041"})", "lone leading surrogate in hex escape at line 1 column 18"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    auto read = read_password_request(bytes(c.input), AUTHENTICATE_MEMBERS);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().display(), "bad input: " + c.error);
    EXPECT_EQ(read.error().display().find("secr"), std::string::npos);
  }
}

}  // namespace
}  // namespace auth_password
