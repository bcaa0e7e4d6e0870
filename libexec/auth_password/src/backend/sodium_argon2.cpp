// The fast engine: libsodium's crypto_pwhash, which picks AVX-512/AVX2/SSSE3
// code at run time.
#include <sodium.h>

#include <cerrno>

#include "auth_password/backend/argon2_engine.hpp"
#include "auth_password/backend/sodium_ready.hpp"

namespace auth_password::backend {
namespace {

class SodiumArgon2 final : public Argon2Engine {
 public:
  [[nodiscard]] std::string_view name() const override { return "libsodium"; }

  [[nodiscard]] bool can_compute(const Argon2Job& job, std::size_t output_length) const override {
    if (job.version != ARGON2_VERSION_19 || job.lanes != 1) return false;
    if (!job.secret.empty() || !job.associated_data.empty()) return false;
    if (job.salt.size() != crypto_pwhash_SALTBYTES) return false;
    if (output_length < crypto_pwhash_BYTES_MIN || output_length > crypto_pwhash_BYTES_MAX) return false;
    if (job.password.size() > crypto_pwhash_PASSWD_MAX) return false;
    const std::uint64_t memory_bytes = std::uint64_t{job.memory_kib} * 1024U;
    switch (job.variant) {
      case Argon2Variant::Argon2id:
        return job.passes >= crypto_pwhash_argon2id_OPSLIMIT_MIN && job.passes <= crypto_pwhash_argon2id_OPSLIMIT_MAX &&
               memory_bytes >= crypto_pwhash_argon2id_MEMLIMIT_MIN &&
               memory_bytes <= crypto_pwhash_argon2id_MEMLIMIT_MAX;
      case Argon2Variant::Argon2i:
        return job.passes >= crypto_pwhash_argon2i_OPSLIMIT_MIN && job.passes <= crypto_pwhash_argon2i_OPSLIMIT_MAX &&
               memory_bytes >= crypto_pwhash_argon2i_MEMLIMIT_MIN && memory_bytes <= crypto_pwhash_argon2i_MEMLIMIT_MAX;
      case Argon2Variant::Argon2d: return false;
    }
    return false;
  }

  [[nodiscard]] std::expected<void, Argon2Failure> compute(const Argon2Job& job,
                                                           std::span<std::uint8_t> output) const override {
    if (!can_compute(job, output.size())) return std::unexpected(Argon2Failure{"not computable by libsodium"});
    ensure_sodium_ready();
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
};

}  // namespace

const Argon2Engine& sodium_argon2() {
  static const SodiumArgon2 engine;
  return engine;
}

}  // namespace auth_password::backend
