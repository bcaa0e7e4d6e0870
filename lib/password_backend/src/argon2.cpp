// Two engines behind one choice: libsodium's crypto_pwhash picks
// AVX-512/AVX2/SSSE3 code at run time but covers only the common case;
// libargon2's argon2_ctx covers the rest (Argon2d, version 16, several lanes,
// other salt and output lengths, a secret or associated data).
#include "password_backend/argon2.hpp"

#include <argon2.h>
#include <sodium.h>

#include <cerrno>
#include <limits>

#include "common/quote.hpp"
#include "common/sodium_ready.hpp"

namespace password_backend {
namespace {

bool libsodium_can_compute(const Argon2Job& job, std::size_t output_length) {
  if (job.version != ARGON2_VERSION_19 || job.lanes != 1) return false;
  if (!job.secret.empty() || !job.associated_data.empty()) return false;
  if (job.salt.size() != crypto_pwhash_SALTBYTES) return false;
  if (output_length < crypto_pwhash_BYTES_MIN || output_length > crypto_pwhash_BYTES_MAX) return false;
  if (job.password.size() > crypto_pwhash_PASSWD_MAX) return false;
  const std::uint64_t memory_bytes = std::uint64_t{job.memory_kib} * 1024U;
  switch (job.variant) {
    case Argon2Variant::Argon2id:
      return job.passes >= crypto_pwhash_argon2id_OPSLIMIT_MIN && job.passes <= crypto_pwhash_argon2id_OPSLIMIT_MAX &&
             memory_bytes >= crypto_pwhash_argon2id_MEMLIMIT_MIN && memory_bytes <= crypto_pwhash_argon2id_MEMLIMIT_MAX;
    case Argon2Variant::Argon2i:
      return job.passes >= crypto_pwhash_argon2i_OPSLIMIT_MIN && job.passes <= crypto_pwhash_argon2i_OPSLIMIT_MAX &&
             memory_bytes >= crypto_pwhash_argon2i_MEMLIMIT_MIN && memory_bytes <= crypto_pwhash_argon2i_MEMLIMIT_MAX;
    case Argon2Variant::Argon2d: return false;
  }
  return false;
}

std::expected<void, Argon2Failure> compute_with_libsodium(const Argon2Job& job, std::span<std::uint8_t> output) {
  if (!libsodium_can_compute(job, output.size())) return std::unexpected(Argon2Failure{"not computable by libsodium"});
  common::ensure_sodium_ready();
  const int algorithm =
      job.variant == Argon2Variant::Argon2id ? crypto_pwhash_ALG_ARGON2ID13 : crypto_pwhash_ALG_ARGON2I13;
  // crypto_pwhash declares the password non-null, even when it is empty.
  static constexpr char empty = '\0';
  const char* password = job.password.empty() ? &empty : reinterpret_cast<const char*>(job.password.data());
  // memlimit/1024 is exactly the memory cost in KiB that libsodium hands to Argon2.
  if (crypto_pwhash(output.data(), output.size(), password, job.password.size(), job.salt.data(), job.passes,
                    std::size_t{job.memory_kib} * 1024U, algorithm) != 0) {
    return std::unexpected(Argon2Failure{errno == ENOMEM ? "Memory allocation error" : "Argon2 computation failed"});
  }
  return {};
}

argon2_type to_argon2_type(Argon2Variant variant) {
  switch (variant) {
    case Argon2Variant::Argon2d: return Argon2_d;
    case Argon2Variant::Argon2i: return Argon2_i;
    case Argon2Variant::Argon2id: return Argon2_id;
  }
  return Argon2_id;
}

bool fits_u32(std::size_t n) { return n <= std::numeric_limits<std::uint32_t>::max(); }

// libargon2 takes non-const pointers but, without the clearing flags, only
// reads the inputs.
std::uint8_t* input(std::span<const std::uint8_t> bytes) {
  return const_cast<std::uint8_t*>(bytes.data());  // NOLINT(cppcoreguidelines-pro-type-const-cast)
}

std::expected<void, Argon2Failure> compute_with_libargon2(const Argon2Job& job, std::span<std::uint8_t> output) {
  if (!fits_u32(output.size()) || !fits_u32(job.password.size()) || !fits_u32(job.salt.size()) ||
      !fits_u32(job.secret.size()) || !fits_u32(job.associated_data.size())) {
    return std::unexpected(Argon2Failure{"input too long"});
  }
  // argon2_ctx does not check the version and would run any other number as 19.
  if (job.version != ARGON2_VERSION_16 && job.version != ARGON2_VERSION_19) {
    return std::unexpected(Argon2Failure{"unsupported Argon2 version"});
  }
  argon2_context context{};
  context.out = output.data();
  context.outlen = static_cast<std::uint32_t>(output.size());
  context.pwd = input(job.password);
  context.pwdlen = static_cast<std::uint32_t>(job.password.size());
  context.salt = input(job.salt);
  context.saltlen = static_cast<std::uint32_t>(job.salt.size());
  context.secret = input(job.secret);
  context.secretlen = static_cast<std::uint32_t>(job.secret.size());
  context.ad = input(job.associated_data);
  context.adlen = static_cast<std::uint32_t>(job.associated_data.size());
  context.t_cost = job.passes;
  context.m_cost = job.memory_kib;
  context.lanes = job.lanes;
  context.threads = 1;  // one thread per process, whatever the lane count
  context.version = job.version;
  context.allocate_cbk = nullptr;
  context.free_cbk = nullptr;
  context.flags = ARGON2_DEFAULT_FLAGS;
  const int status = argon2_ctx(&context, to_argon2_type(job.variant));
  if (status != ARGON2_OK) return std::unexpected(Argon2Failure{argon2_error_message(status)});
  return {};
}

}  // namespace

std::string Argon2Failure::debug() const { return "Argon2Failure(" + common::quoted(text) + ")"; }

Argon2Engine argon2_engine_for(const Argon2Job& job, std::size_t output_length) {
  return libsodium_can_compute(job, output_length) ? Argon2Engine::Libsodium : Argon2Engine::Libargon2;
}

std::expected<void, Argon2Failure> compute_argon2(const Argon2Job& job, std::span<std::uint8_t> output,
                                                  std::optional<Argon2Engine> engine) {
  switch (engine ? *engine : argon2_engine_for(job, output.size())) {
    case Argon2Engine::Libsodium: return compute_with_libsodium(job, output);
    case Argon2Engine::Libargon2: return compute_with_libargon2(job, output);
  }
  return compute_with_libargon2(job, output);
}

}  // namespace password_backend
