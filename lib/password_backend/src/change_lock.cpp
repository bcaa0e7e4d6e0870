#include "password_backend/change_lock.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "common/bytes.hpp"
#include "common/invariant.hpp"
#include "common/io_error.hpp"
#include "common/message_error.hpp"
#include "common/sodium_ready.hpp"
#include "lock_directory.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/endpoint.hpp"

namespace password_backend {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds RETRY_INTERVAL{20};
constexpr std::size_t NAME_HASH_BYTES = 32;
constexpr std::string_view NAME_DOMAIN{"auth_password change lock 2\0", 28};
constexpr mode_t LOCK_FILE_MODE = S_IRUSR | S_IWUSR;

// Two changes race only when they change the same user at the same account
// service: the name comes from both, so that services side by side (and the
// tests that run against many at once) do not wait for each other. The
// service is taken as what it is, not as its address is written: every
// spelling of one socket file's path, and every link to it, is one service.
std::string lock_file_name(std::string_view endpoint_identity, const common::Uuid& user) {
  common::ensure_sodium_ready();
  crypto_generichash_state state;
  if (crypto_generichash_init(&state, nullptr, 0, NAME_HASH_BYTES) != 0) {
    common::invariant_broken("BLAKE2b refused a fixed digest length");
  }
  const auto absorb = [&state](std::span<const std::uint8_t> bytes) {
    if (crypto_generichash_update(&state, bytes.data(), bytes.size()) != 0) {
      common::invariant_broken("BLAKE2b refused to absorb bytes");
    }
  };
  absorb(common::bytes_of(NAME_DOMAIN));
  std::array<std::uint8_t, 8> length{};
  for (std::size_t i = 0; i < length.size(); ++i) {
    length[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(endpoint_identity.size()) >> (8U * i));
  }
  absorb(length);
  absorb(common::bytes_of(endpoint_identity));
  absorb(user.bytes);
  std::array<std::uint8_t, NAME_HASH_BYTES> digest{};
  if (crypto_generichash_final(&state, digest.data(), digest.size()) != 0) {
    common::invariant_broken("BLAKE2b refused to finish a digest");
  }
  std::array<char, (2 * NAME_HASH_BYTES) + 1> hex{};
  sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
  return std::string(hex.data()) + ".lock";
}

// Opens the lock file, made with mode 0600 whatever the umask. One of ours
// that a holder killed under a tight umask left without read access is given
// it back, so no earlier run leaves a lock nobody can take.
common::UniqueFd open_lock_file(int directory, const std::string& name) {
  constexpr int FLAGS = O_RDONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  common::UniqueFd file(::openat(directory, name.c_str(), FLAGS, LOCK_FILE_MODE));
  if (!file.valid() && errno == EACCES) {
    const common::UniqueFd left(::openat(directory, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!left.valid() || ::fstat(left.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != ::geteuid()) {
      errno = EACCES;
      return file;
    }
    const std::string through_proc = "/proc/self/fd/" + std::to_string(left.get());
    if (::chmod(through_proc.c_str(), LOCK_FILE_MODE) != 0) return file;
    file.reset(::openat(directory, name.c_str(), FLAGS, LOCK_FILE_MODE));
  }
  return file;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

ChangeLock::~ChangeLock() {
  // Removed while still held: whoever takes the lock on the old file next
  // finds its name gone and starts again on a new one.
  if (file_.valid()) (void)::unlinkat(directory_.get(), name_.c_str(), 0);
}

std::expected<ChangeLock, common::AnyError> lock_password_change(const common::Uuid& user,
                                                                 std::chrono::milliseconds patience) {
  auto endpoint = tavrin_account::parse_endpoint_uri(tavrin_account::resolve_endpoint_uri());
  if (!endpoint) return std::unexpected(std::move(endpoint).error());
  auto identity = tavrin_account::endpoint_identity(*endpoint);
  if (!identity) return std::unexpected(std::move(identity).error());
  auto directory = open_lock_directory();
  if (!directory) return std::unexpected(std::move(directory).error());
  std::string name = lock_file_name(*identity, user);

  const auto deadline = Clock::now() + patience;
  for (;;) {
    common::UniqueFd file = open_lock_file(directory->get(), name);
    if (!file.valid()) return std::unexpected(common::IoError::last_os_error());
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0) return std::unexpected(common::IoError::last_os_error());
    if (!S_ISREG(opened.st_mode) || opened.st_uid != ::geteuid()) {
      return std::unexpected(common::MessageError("the password-change lock is not a private file"));
    }
    if ((opened.st_mode & 07777U) != LOCK_FILE_MODE && ::fchmod(file.get(), LOCK_FILE_MODE) != 0) {
      return std::unexpected(common::IoError::last_os_error());
    }
    while (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return std::unexpected(common::IoError::last_os_error());
      if (Clock::now() >= deadline) {
        return std::unexpected(
            common::MessageError("another password change for this user is in progress", common::FailureClass::Busy));
      }
      std::this_thread::sleep_for(RETRY_INTERVAL);
    }
    // The holder before us removed the file as it let go: a lock on a file
    // that has no name any more guards nothing.
    struct stat named {};
    if (::fstatat(directory->get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(named, opened)) {
      return ChangeLock(std::move(*directory), std::move(name), std::move(file));
    }
  }
}

}  // namespace password_backend
