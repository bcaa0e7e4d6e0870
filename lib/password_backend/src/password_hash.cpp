#include "password_backend/password_hash.hpp"

#include <array>
#include <utility>

#include "common/bytes.hpp"
#include "common/message_error.hpp"
#include "common/quote.hpp"
#include "common/secret_bytes.hpp"
#include "common/utf8.hpp"
#include "password_backend/argon2.hpp"
#include "password_backend/os_random.hpp"
#include "password_backend/phc_string.hpp"

namespace password_backend {
namespace {

std::expected<Argon2Variant, common::MessageError> variant_named(std::string_view algorithm) {
  if (algorithm == "argon2id") return Argon2Variant::Argon2id;
  if (algorithm == "argon2i") return Argon2Variant::Argon2i;
  if (algorithm == "argon2d") return Argon2Variant::Argon2d;
  return std::unexpected(common::MessageError("Unsupported algorithm"));
}

// Everything that can go wrong after the stored string has been understood
// means "no match".
bool recomputation_matches(const StoredHashBound& bound, const PhcString& stored, Argon2Variant variant,
                           std::span<const std::uint8_t> password) {
  if (!stored.salt || !stored.hash) return false;
  // Parameters we cannot interpret would change the result if they mattered.
  if (!stored.other_parameters.empty()) return false;
  const std::uint32_t version = stored.version.value_or(ARGON2_VERSION_19);
  if (version != ARGON2_VERSION_19 && version != ARGON2_VERSION_16) return false;
  const Argon2Job job{
      .variant = variant,
      .version = version,
      .memory_kib = stored.memory_kib.value_or(HASH_MEMORY_KIB),
      .passes = stored.passes.value_or(HASH_PASSES),
      .lanes = stored.lanes.value_or(HASH_LANES),
      .password = password,
      .salt = *stored.salt,
      // keyid names a pepper this program does not have; it is not an input.
      .secret = {},
      .associated_data = stored.associated_data ? std::span<const std::uint8_t>(*stored.associated_data)
                                                : std::span<const std::uint8_t>(),
  };
  if (!bound.admits(job.memory_kib, job.passes, job.lanes)) return false;
  // The output depends on the password: it is wiped like one.
  common::SecretBytes computed(stored.hash->size());
  if (!compute_argon2(job, computed.bytes())) return false;
  return computed.equals(*stored.hash);
}

// The hash this program makes, of `password` with `salt`.
Argon2Job job_with_our_settings(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt) {
  return Argon2Job{
      .variant = Argon2Variant::Argon2id,
      .version = ARGON2_VERSION_19,
      .memory_kib = HASH_MEMORY_KIB,
      .passes = HASH_PASSES,
      .lanes = HASH_LANES,
      .password = password,
      .salt = salt,
      .secret = {},
      .associated_data = {},
  };
}

}  // namespace

std::string PasswordHashError::debug() const { return "PasswordHash(" + common::quoted(text) + ")"; }

std::expected<std::string, common::AnyError> make_password_hash(std::span<const std::uint8_t> password,
                                                                RandomFill fill) {
  std::array<std::uint8_t, HASH_SALT_BYTES> salt{};
  if (!fill(salt)) return std::unexpected(PasswordHashError{"rng failure"});
  const Argon2Job job = job_with_our_settings(password, salt);
  std::vector<std::uint8_t> output(HASH_OUTPUT_BYTES);
  if (auto computed = compute_argon2(job, output); !computed) {
    return std::unexpected(PasswordHashError{std::move(computed.error().text)});
  }
  PhcString phc;
  phc.algorithm = "argon2id";
  phc.version = ARGON2_VERSION_19;
  phc.memory_kib = HASH_MEMORY_KIB;
  phc.passes = HASH_PASSES;
  phc.lanes = HASH_LANES;
  phc.salt.emplace(salt.begin(), salt.end());
  phc.hash = std::move(output);
  return format_phc_string(phc);
}

void hash_and_discard(std::span<const std::uint8_t> password) {
  // Nothing is stored or compared, so any salt does, and a fixed one spares
  // the random source that a check against a stored hash does not use.
  static constexpr std::array<std::uint8_t, HASH_SALT_BYTES> SALT{};
  const Argon2Job job = job_with_our_settings(password, SALT);
  // The output depends on the password: it is wiped like one.
  common::SecretBytes output(HASH_OUTPUT_BYTES);
  (void)compute_argon2(job, output.bytes());
}

std::expected<bool, common::AnyError> password_matches(std::span<const std::uint8_t> stored_data,
                                                       std::span<const std::uint8_t> password,
                                                       const StoredHashBound& bound) {
  if (auto utf8 = common::check_utf8(stored_data); !utf8) return std::unexpected(utf8.error());
  const std::string_view text = common::text_of(stored_data);
  auto stored = parse_phc_string(text);
  if (!stored) return std::unexpected(stored.error());
  auto variant = variant_named(stored->algorithm);
  if (!variant) return std::unexpected(std::move(variant).error());
  return recomputation_matches(bound, *stored, *variant, password);
}

}  // namespace password_backend
