#include "change_steps.hpp"

#include <sys/signalfd.h>

#include <optional>
#include <utility>

#include "common/invariant.hpp"
#include "common/io_error.hpp"
#include "common/signal_sets.hpp"
#include "common/unique_fd.hpp"
#include "password_backend/change_lock.hpp"

namespace auth_password {

// From the first write on, a change runs to its end and says how it ended: a
// signal that killed or stopped the process with a write in flight would
// leave the secrets half changed, or changed with nobody told. The signals
// stay blocked until exit, so one that arrives meanwhile goes with the process
// instead of turning a completed change into a death by signal. The block
// starts at the backend's hook, not when the prompts end, because until the
// first write an interrupt still abandons a change that has touched nothing;
// the prompts have given back their own signal handling by then.
//
// A held signal that would have ended the process is still a request to
// stop: the descriptor handed to the backend becomes readable when one is
// pending, and the backend then waits for the daemon only so much longer.
// Nobody reads it, so the signal stays pending and goes with the process.
std::expected<int, common::AnyError> hold_termination_signals() {
  const common::WritePhaseSignals signals = common::write_phase_signals();
  // Kept, like the block, until the process exits. Made first, so that a
  // failure leaves the signals as they were and nothing written.
  static common::UniqueFd stop_requests;
  stop_requests.reset(::signalfd(-1, &signals.stop_requests, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!stop_requests.valid()) return std::unexpected(common::IoError::last_os_error());
  if (common::block_signals_by_kernel(signals.held) != 0)
    common::invariant_broken("the write phase cannot hold its signals");
  return stop_requests.get();
}

// Held from before the first read of the user's secrets until the process
// exits, when the kernel gives it back however the process ends: a second
// change of the same user reads the secrets only once this one has written
// them and is gone.
std::expected<void, common::AnyError> lock_for_the_rest_of_the_process(const common::Uuid& user) {
  static std::optional<password_backend::ChangeLock> held;
  auto lock = password_backend::lock_password_change(user);
  if (!lock) return std::unexpected(std::move(lock).error());
  held.emplace(std::move(*lock));
  return {};
}

}  // namespace auth_password
