#pragma once

#include <expected>
#include <string>

#include "common/message_error.hpp"
#include "common/unique_fd.hpp"
#include "tavrin_account/endpoint.hpp"

namespace accountd {

// A listening socket; a socket file it created is removed when it is dropped.
class Listener {
 public:
  [[nodiscard]] static std::expected<Listener, common::MessageError> open(
      const tavrin_account::EndpointAddress& endpoint);
  // A socket made by someone else, a service manager for one: its file, if
  // any, is theirs to remove.
  [[nodiscard]] static Listener adopt(common::UniqueFd fd) { return {std::move(fd), std::string()}; }

  Listener(Listener&& other) noexcept;
  Listener& operator=(Listener&&) = delete;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener();

  [[nodiscard]] int fd() const noexcept { return fd_.get(); }

 private:
  Listener(common::UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  common::UniqueFd fd_;
  std::string path_;  // empty: nothing to remove
};

}  // namespace accountd
