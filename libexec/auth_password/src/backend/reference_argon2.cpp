// The general engine: libargon2's argon2_ctx, for every computation that
// libsodium does not offer (Argon2d, version 16, several lanes, other salt
// and output lengths, a secret or associated data).
#include <argon2.h>

#include <limits>

#include "auth_password/backend/argon2_engine.hpp"

namespace auth_password::backend {
namespace {

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

class ReferenceArgon2 final : public Argon2Engine {
 public:
  [[nodiscard]] std::string_view name() const override { return "libargon2"; }

  [[nodiscard]] bool can_compute(const Argon2Job& /*job*/, std::size_t /*output_length*/) const override {
    return true;  // argon2_ctx itself tells what it refuses
  }

  [[nodiscard]] std::expected<void, Argon2Failure> compute(const Argon2Job& job,
                                                           std::span<std::uint8_t> output) const override {
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
};

}  // namespace

const Argon2Engine& reference_argon2() {
  static const ReferenceArgon2 engine;
  return engine;
}

}  // namespace auth_password::backend
