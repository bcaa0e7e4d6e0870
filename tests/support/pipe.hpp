#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/unique_fd.hpp"

namespace test_support {

// Both ends of a pipe, each closed on exec and when dropped.
struct Pipe {
  common::UniqueFd read;
  common::UniqueFd write;
};

// Throws std::runtime_error when the pipe cannot be made.
[[nodiscard]] inline Pipe make_pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  return {common::UniqueFd(ends[0]), common::UniqueFd(ends[1])};
}

// Writing to the pipe wakes a stand-in daemon's thread wherever it waits.
inline void make_stop_pipe(common::UniqueFd& read_end, common::UniqueFd& write_end) {
  Pipe stop = make_pipe();
  read_end = std::move(stop.read);
  write_end = std::move(stop.write);
}

}  // namespace test_support
