#include "secret_line.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/quote.hpp"
#include "common/unique_fd.hpp"

namespace prompt::detail {
namespace {

struct Pipe {
  common::UniqueFd read_end;
  common::UniqueFd write_end;
};

Pipe pipe_holding(std::string_view bytes) {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  Pipe pipe{common::UniqueFd(fds[0]), common::UniqueFd(fds[1])};
  if (::write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
  pipe.write_end.reset();
  return pipe;
}

std::string rest_of(int fd) {
  std::string rest;
  char buffer[64];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) rest.append(buffer, static_cast<std::size_t>(got));
  return rest;
}

TEST(SecretLine, TakesOneLineAndRemovesOnlyItsLineEnd) {
  struct Case {
    std::string_view input;
    std::string_view line;  // after trimming
    std::string_view left;  // still unread afterwards
  };
  const Case cases[] = {
      {"hunter2\n", "hunter2", ""},
      {"hunter2\r\n", "hunter2", ""},
      {"a\r\r\n", "a", ""},
      {" spaced out \n", " spaced out ", ""},
      {"\ttab\t\n", "\ttab\t", ""},
      {"\n", "", ""},
      {"", "", ""},
      {"no newline", "no newline", ""},
      {"carriage\r", "carriage", ""},
      {"in\rside\n", "in\rside", ""},
      {"first\nsecond\n", "first", "second\n"},
      {"p\xC3\xA4ss\xE2\x82\xAC\n", "p\xC3\xA4ss\xE2\x82\xAC", ""},
  };
  for (const auto& c : cases) {
    const auto pipe = pipe_holding(c.input);
    auto line = read_line(pipe.read_end.get());
    ASSERT_TRUE(line.has_value()) << common::quoted(c.input) << ": " << line.error().debug();
    trim_line_end(*line);
    EXPECT_EQ(line->text(), c.line) << common::quoted(c.input);
    EXPECT_EQ(rest_of(pipe.read_end.get()), c.left) << common::quoted(c.input);
  }
}

TEST(SecretLine, RefusesALineThatIsNotUtf8) {
  for (const std::string_view input : {"\xff\n", "caf\xC3\n", "ok\xE2\x82\n", "\xC0\xAF"}) {
    const auto pipe = pipe_holding(input);
    const auto line = read_line(pipe.read_end.get());
    ASSERT_FALSE(line.has_value()) << common::quoted(input);
    EXPECT_EQ(line.error().debug(), R"(Error { kind: InvalidData, message: "stream did not contain valid UTF-8" })");
  }
}

TEST(SecretLine, ReportsAReadErrorAndHandlesLongLines) {
  const auto bad = read_line(-1);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().os_code(), EBADF);

  // Longer than the reserved capacity: the line survives the buffer's growth.
  const std::string long_line(3000, 'x');
  const auto pipe = pipe_holding(long_line + "\n");
  auto line = read_line(pipe.read_end.get());
  ASSERT_TRUE(line.has_value());
  trim_line_end(*line);
  EXPECT_EQ(line->text(), long_line);
}

}  // namespace
}  // namespace prompt::detail
