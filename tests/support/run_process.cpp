#include "run_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "pipe.hpp"
#include "test_command.hpp"

namespace test_support {
namespace {

void drain(int fd, std::string& into) {
  char buffer[4096];
  const ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got > 0) into.append(buffer, static_cast<std::size_t>(got));
}

}  // namespace

ProcessResult run_process(const std::string& program, const ProcessOptions& options) {
  Pipe in = make_pipe();
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  const std::vector<std::string> words = command_words(program);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (options.close_stdin) {
      ::close(0);
    } else if (options.stdin_file) {
      const int fd = ::open(options.stdin_file->c_str(), O_RDONLY | O_CLOEXEC);
      ::dup2(fd, 0);
    } else {
      ::dup2(in.read.get(), 0);
    }
    ::dup2(err.write.get(), 2);
    if (options.close_stdout) {
      ::close(1);
    } else if (options.stdout_file) {
      const int fd = ::open(options.stdout_file->c_str(), O_WRONLY | O_CLOEXEC);
      ::dup2(fd, 1);
    } else {
      ::dup2(out.write.get(), 1);
    }
    for (const auto& [name, value] : options.env) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    std::vector<char*> argv;
    for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    for (const auto& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  in.read.reset();
  out.write.reset();
  err.write.reset();
  if (!options.stdin_data.empty()) {
    (void)!::write(in.write.get(), options.stdin_data.data(), options.stdin_data.size());
  }
  in.write.reset();

  ProcessResult result;
  pollfd fds[2] = {{out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}};
  common::UniqueFd* const streams[2] = {&out.read, &err.read};
  int open_streams = 2;
  while (open_streams > 0) {
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      std::string& into = i == 0 ? result.out : result.err;
      const std::size_t before = into.size();
      drain(fds[i].fd, into);
      if (into.size() == before) {
        streams[i]->reset();
        fds[i].fd = -1;
        --open_streams;
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace test_support
