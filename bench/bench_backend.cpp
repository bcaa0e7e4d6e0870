// The backend's costs next to bare library calls with the same inputs: our
// wrapping (parsing, engine choice, formatting) should not show.
#include <argon2.h>
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "password_backend/aes_256_gcm.hpp"
#include "password_backend/argon2.hpp"
#include "password_backend/envelope.hpp"
#include "password_backend/password_hash.hpp"
#include "test_bytes.hpp"

namespace {

using namespace password_backend;
using test_support::bytes_of;

constexpr std::string_view PASSWORD = "correct horse battery staple";
const std::vector<std::uint8_t> SALT(16, 0x42);

void MakePasswordHash(benchmark::State& state) {
  for (auto _ : state) {
    auto hash = make_password_hash(bytes_of(PASSWORD));
    if (!hash) std::abort();
    benchmark::DoNotOptimize(hash);
  }
}

void PasswordMatchesDefault(benchmark::State& state) {
  const auto stored = make_password_hash(bytes_of(PASSWORD)).value();
  for (auto _ : state) {
    auto result = password_matches(bytes_of(stored), bytes_of(PASSWORD));
    if (!result || !*result) std::abort();
  }
}

void BareCryptoPwhash(benchmark::State& state) {
  if (sodium_init() < 0) std::abort();
  std::uint8_t out[32];
  for (auto _ : state) {
    if (crypto_pwhash(out, sizeof out, PASSWORD.data(), PASSWORD.size(), SALT.data(), HASH_PASSES,
                      HASH_MEMORY_KIB * 1024ULL, crypto_pwhash_ALG_ARGON2ID13) != 0) {
      std::abort();
    }
    benchmark::DoNotOptimize(out);
  }
}

// A stored hash that only the general engine computes (Argon2d), at the
// default memory and passes.
std::string general_engine_hash() {
  std::vector<char> encoded(128);
  if (argon2d_hash_encoded(HASH_PASSES, HASH_MEMORY_KIB, HASH_LANES, PASSWORD.data(), PASSWORD.size(), SALT.data(),
                           SALT.size(), 32, encoded.data(), encoded.size()) != ARGON2_OK) {
    std::abort();
  }
  return encoded.data();
}

void PasswordMatchesGeneral(benchmark::State& state) {
  const auto stored = general_engine_hash();
  for (auto _ : state) {
    auto result = password_matches(bytes_of(stored), bytes_of(PASSWORD));
    if (!result || !*result) std::abort();
  }
}

void BareArgon2Ctx(benchmark::State& state) {
  std::uint8_t out[32];
  for (auto _ : state) {
    argon2_context context{};
    context.out = out;
    context.outlen = sizeof out;
    context.pwd = reinterpret_cast<std::uint8_t*>(const_cast<char*>(PASSWORD.data()));
    context.pwdlen = static_cast<std::uint32_t>(PASSWORD.size());
    context.salt = const_cast<std::uint8_t*>(SALT.data());
    context.saltlen = static_cast<std::uint32_t>(SALT.size());
    context.t_cost = HASH_PASSES;
    context.m_cost = HASH_MEMORY_KIB;
    context.lanes = HASH_LANES;
    context.threads = 1;
    context.version = ARGON2_VERSION_13;
    if (argon2_ctx(&context, Argon2_d) != ARGON2_OK) std::abort();
    benchmark::DoNotOptimize(out);
  }
}

// The costliest stored hash the bound admits (its most memory, at the passes
// that allows, and its most lanes where the engine takes them), on each
// engine: the longest a stored hash can hold up an authentication. CPU time,
// since filling the memory is part of the cost.
void CostliestAdmittedStoredHash(benchmark::State& state) {
  const auto engine = static_cast<Argon2Engine>(state.range(0));
  const StoredHashBound bound;
  const Argon2Job job{
      .variant = Argon2Variant::Argon2id,
      .version = ARGON2_VERSION_19,
      .memory_kib = bound.max_memory_kib,
      .passes = static_cast<std::uint32_t>(bound.max_memory_passes / bound.max_memory_kib),
      // libsodium computes one lane only.
      .lanes = engine == Argon2Engine::Libsodium ? 1 : bound.max_lanes,
      .password = bytes_of(PASSWORD),
      .salt = SALT,
      .secret = {},
      .associated_data = {},
  };
  if (!bound.admits(job.memory_kib, job.passes, job.lanes)) std::abort();
  std::vector<std::uint8_t> out(32);
  for (auto _ : state) {
    if (!compute_argon2(job, out, engine)) std::abort();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(engine == Argon2Engine::Libsodium ? "libsodium" : "libargon2");
}

void SealAndOpenMasterKey(benchmark::State& state) {
  const auto key = envelope_key(bytes_of(PASSWORD));
  const auto master = new_master_key();
  for (auto _ : state) {
    const auto envelope = seal_master_key(key, master.bytes());
    auto opened = open_master_key(key, envelope);
    if (!opened) std::abort();
    benchmark::DoNotOptimize(opened);
  }
}

// The cipher alone: what the envelope costs apart from framing it. The
// opened key takes fresh locked memory each time, as SecretBytesAllocation
// prices.
void SealAndOpenCipherOnly(benchmark::State& state) {
  const auto key = envelope_key(bytes_of(PASSWORD));
  const auto master = new_master_key();
  const std::vector<std::uint8_t> nonce(GCM_NONCE_BYTES, 7);
  for (auto _ : state) {
    const auto sealed = aes_256_gcm_seal(key.bytes(), nonce, master.bytes());
    if (!sealed) std::abort();
    auto opened = aes_256_gcm_open(key.bytes(), nonce, *sealed);
    if (!opened) std::abort();
    benchmark::DoNotOptimize(opened->data());
  }
}

// The price of one common::SecretBytes, paid by every opened master key.
void SecretBytesAllocation(benchmark::State& state) {
  for (auto _ : state) {
    common::SecretBytes bytes(MASTER_KEY_BYTES);
    benchmark::DoNotOptimize(bytes.data());
  }
}

BENCHMARK(MakePasswordHash)->Unit(benchmark::kMillisecond);
BENCHMARK(PasswordMatchesDefault)->Unit(benchmark::kMillisecond);
BENCHMARK(BareCryptoPwhash)->Unit(benchmark::kMillisecond);
BENCHMARK(PasswordMatchesGeneral)->Unit(benchmark::kMillisecond);
BENCHMARK(BareArgon2Ctx)->Unit(benchmark::kMillisecond);
BENCHMARK(CostliestAdmittedStoredHash)
    ->Arg(static_cast<int>(Argon2Engine::Libsodium))
    ->Arg(static_cast<int>(Argon2Engine::Libargon2))
    ->Iterations(3)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SealAndOpenMasterKey)->Unit(benchmark::kMicrosecond);
BENCHMARK(SealAndOpenCipherOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(SecretBytesAllocation)->Unit(benchmark::kMicrosecond);

}  // namespace
