// The program as its callers see it: words in; bytes, status and the final
// error line out.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "temp_directory.hpp"

#include "run_process.hpp"

namespace {

using test_support::ProcessOptions;
using test_support::ProcessResult;

constexpr std::string_view DESCRIPTION =
    R"({"name":"password","provides_master_key":true,"modes":[{"name":"API"},{"name":"CLI"}]})";
const std::string UUID = "user_uuid=2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10";

ProcessResult run(std::vector<std::string> args) {
  return test_support::run_process(AUTH_PASSWORD_BIN, ProcessOptions{.args = std::move(args)});
}

void expect_failure(const std::vector<std::string>& args, std::string_view error_line) {
  const auto result = run(args);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Error: " + std::string(error_line) + "\n");
}

TEST(Driver, QueryInformationWritesTheDescriptionLine) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"QueryInformation"}, {"QueryInformation", "extra", "a=b"}}) {
    const auto result = run(args);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, std::string(DESCRIPTION) + "\n");
    EXPECT_EQ(result.out.size(), 87U);
    EXPECT_EQ(result.err, "");
  }
}

TEST(Driver, EveryFailureOfTheCommandLineGetsItsErrorLine) {
  expect_failure({}, R"("no command specified")");
  expect_failure({"queryinformation"}, R"("unexpected command `queryinformation`")");
  expect_failure({"Update"}, R"("argument user_uuid not found")");
  expect_failure({"Authenticate", "mode=Nope"}, R"("argument user_uuid not found")");
  expect_failure({"Authenticate", UUID, "mode=CLI", "bare"}, R"("invalid argument format")");
  expect_failure({"Authenticate", "user_uuid=2f6c1d9e", "mode=CLI"}, "Error(ParseLength { len: 8 })");
  expect_failure({"Authenticate", UUID}, R"("argument mode not found")");
  expect_failure({"Authenticate", UUID, "mode=cli"}, R"("mode not found")");
  expect_failure({"Update", UUID, "mode="}, R"("mode not found")");
  expect_failure({"Authenticate", UUID, "mode=API"}, R"("bad input: EOF while parsing a value at line 1 column 0")");
  expect_failure({"Quer\"y"}, R"("unexpected command `Quer\"y`")");
  expect_failure({"e\u0301"}, R"("unexpected command `e\u{301}`")");
}

TEST(Driver, RefusesWordsThatAreNotUtf8BeforeLookingAtTheCommand) {
  const auto result = run({"QueryInformation", "caf\xff"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Error: \"argument 2 is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 3\"\n");
}

TEST(Driver, AFailedDescriptionWriteIsNoSuccess) {
  const auto full = test_support::run_process(AUTH_PASSWORD_BIN,
                                              ProcessOptions{.args = {"QueryInformation"}, .stdout_file = "/dev/full"});
  EXPECT_EQ(full.exit_status, 1);
  EXPECT_EQ(full.err, "Error: Os { code: 28, kind: StorageFull, message: \"No space left on device\" }\n");

  // Past the file-size limit a write fails the same way, instead of the
  // process ending by SIGXFSZ. Not under a wrapper such as valgrind, whose
  // own log write meets the limit first.
  if (std::getenv("AUTH_TEST_WRAPPER") == nullptr) {
    const std::string file = test_support::make_temp_directory("driver-fsize") + "/out";
    std::ofstream(file).close();
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const rlimit none{.rlim_cur = 0, .rlim_max = before.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
    const auto limited =
        test_support::run_process(AUTH_PASSWORD_BIN, ProcessOptions{.args = {"QueryInformation"}, .stdout_file = file});
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &before), 0);
    std::filesystem::remove_all(std::filesystem::path(file).parent_path());
    EXPECT_EQ(limited.signal, 0);
    EXPECT_EQ(limited.exit_status, 1);
    EXPECT_EQ(limited.err, "Error: Os { code: 27, kind: FileTooLarge, message: \"File too large\" }\n");
  }

  // A descriptor closed at start is reopened on /dev/null before anything runs.
  const auto closed =
      test_support::run_process(AUTH_PASSWORD_BIN, ProcessOptions{.args = {"QueryInformation"}, .close_stdout = true});
  EXPECT_EQ(closed.exit_status, 0);
  EXPECT_EQ(closed.err, "");
}

}  // namespace
