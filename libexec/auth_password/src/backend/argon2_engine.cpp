#include "auth_password/backend/argon2_engine.hpp"

#include "common/quote.hpp"

namespace auth_password::backend {

std::string Argon2Failure::debug() const { return "Argon2Failure(" + common::quoted(text) + ")"; }

const Argon2Engine& argon2_engine_for(const Argon2Job& job, std::size_t output_length) {
  const Argon2Engine& fast = sodium_argon2();
  return fast.can_compute(job, output_length) ? fast : reference_argon2();
}

std::expected<void, Argon2Failure> compute_argon2(const Argon2Job& job, std::span<std::uint8_t> output) {
  return argon2_engine_for(job, output.size()).compute(job, output);
}

}  // namespace auth_password::backend
