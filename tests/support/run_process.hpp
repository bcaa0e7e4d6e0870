#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

struct ProcessOptions {
  std::vector<std::string> args;  // after the program name; may hold any bytes but NUL
  std::string stdin_data;         // written to a pipe on standard input, then closed
  // Instead of the pipe: a file opened for reading, or, with close_stdin, no
  // standard input at all.
  std::optional<std::string> stdin_file;
  bool close_stdin = false;
  // Instead of capturing standard output: a file to open on it ("/dev/full"),
  // or nullopt with close_stdout to start the program with it closed.
  std::optional<std::string> stdout_file;
  bool close_stdout = false;
  std::map<std::string, std::optional<std::string>> env;  // nullopt unsets
};

struct ProcessResult {
  int exit_status = -1;  // -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
};

// Runs the program to completion and collects what it wrote.
ProcessResult run_process(const std::string& program, const ProcessOptions& options);

}  // namespace test_support
