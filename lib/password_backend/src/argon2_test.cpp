#include "password_backend/argon2.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "test_bytes.hpp"

namespace password_backend {
namespace {

using test_support::bytes_of;
using test_support::from_hex;
using Bytes = std::vector<std::uint8_t>;

std::string_view variant_name(Argon2Variant variant) {
  switch (variant) {
    case Argon2Variant::Argon2d: return "d";
    case Argon2Variant::Argon2i: return "i";
    case Argon2Variant::Argon2id: return "id";
  }
  return "?";
}

// RFC 9106 section 5: 32 bytes of 0x01 as password, 16 of 0x02 as salt, 8 of
// 0x03 as secret, 12 of 0x04 as associated data; m=32, t=3, p=4, 32-byte tag.
TEST(Argon2Engines, GeneralEngineReproducesRfc9106Vectors) {
  const Bytes password(32, 0x01), salt(16, 0x02), secret(8, 0x03), associated_data(12, 0x04);
  const std::pair<Argon2Variant, std::string_view> vectors[] = {
      {Argon2Variant::Argon2d, "512b391b6f1162975371d30919734294f868e3be3984f3c1a13a4db9fabe4acb"},
      {Argon2Variant::Argon2i, "c814d9d1dc7f37aa13f0d77f2494bda1c8de6b016dd388d29952a4c4672b6ce8"},
      {Argon2Variant::Argon2id, "0d640df58d78766c08c037a34a8b53c9d01ef0452d75b65eb52520e96b01e659"},
  };
  for (const auto& [variant, tag] : vectors) {
    const Argon2Job job{variant, ARGON2_VERSION_19, 32, 3, 4, password, salt, secret, associated_data};
    EXPECT_EQ(argon2_engine_for(job, 32), Argon2Engine::Libargon2);
    Bytes out(32);
    ASSERT_TRUE(compute_argon2(job, out)) << variant_name(variant);
    EXPECT_EQ(out, from_hex(tag)) << variant_name(variant);
  }
}

TEST(Argon2Engines, BothEnginesGiveTheSameTagWhereBothApply) {
  const Bytes salt = from_hex("000102030405060708090a0b0c0d0e0f");
  const std::string long_password(100, 'x');
  struct Case {
    Argon2Variant variant;
    std::uint32_t memory_kib, passes;
    std::string_view password;
    std::size_t output_length;
  };
  const Case cases[] = {
      {Argon2Variant::Argon2id, 19456, 2, "password", 32}, {Argon2Variant::Argon2id, 8, 1, "", 16},
      {Argon2Variant::Argon2id, 64, 3, long_password, 64}, {Argon2Variant::Argon2id, 1000, 1, "p\xc3\xa4ss", 17},
      {Argon2Variant::Argon2i, 64, 3, "password", 32},     {Argon2Variant::Argon2i, 256, 4, long_password, 128},
  };
  for (const auto& c : cases) {
    const Argon2Job job{c.variant, ARGON2_VERSION_19, c.memory_kib, c.passes, 1, bytes_of(c.password), salt, {}, {}};
    const std::string label = std::string(variant_name(c.variant)) + " m=" + std::to_string(c.memory_kib) +
                              " t=" + std::to_string(c.passes) + " out=" + std::to_string(c.output_length);
    EXPECT_EQ(argon2_engine_for(job, c.output_length), Argon2Engine::Libsodium) << label;
    Bytes fast(c.output_length), general(c.output_length);
    ASSERT_TRUE(compute_argon2(job, fast, Argon2Engine::Libsodium)) << label;
    ASSERT_TRUE(compute_argon2(job, general, Argon2Engine::Libargon2)) << label;
    EXPECT_EQ(fast, general) << label;
  }
}

TEST(Argon2Engines, WhatLibsodiumCannotComputeGoesToTheGeneralEngine) {
  const Bytes salt16(16, 7), salt8(8, 7), data(4, 1);
  const Argon2Job base{Argon2Variant::Argon2id, ARGON2_VERSION_19, 64, 2, 1, bytes_of("pw"), salt16, {}, {}};
  EXPECT_EQ(argon2_engine_for(base, 32), Argon2Engine::Libsodium);
  const auto changed = [&](auto change) {
    Argon2Job job = base;
    change(job);
    return job;
  };
  const std::pair<std::string_view, Argon2Job> others[] = {
      {"argon2d", changed([](Argon2Job& j) { j.variant = Argon2Variant::Argon2d; })},
      {"version 16", changed([](Argon2Job& j) { j.version = ARGON2_VERSION_16; })},
      {"two lanes", changed([](Argon2Job& j) { j.lanes = 2; })},
      {"8-byte salt", changed([&](Argon2Job& j) { j.salt = salt8; })},
      {"associated data", changed([&](Argon2Job& j) { j.associated_data = data; })},
      {"secret", changed([&](Argon2Job& j) { j.secret = data; })},
      {"argon2i t=2", changed([](Argon2Job& j) { j.variant = Argon2Variant::Argon2i; })},
      {"7 KiB", changed([](Argon2Job& j) { j.memory_kib = 7; })},
  };
  for (const auto& [label, other] : others) {
    EXPECT_EQ(argon2_engine_for(other, 32), Argon2Engine::Libargon2) << label;
    Bytes out(32);
    const auto refused = compute_argon2(other, out, Argon2Engine::Libsodium);
    ASSERT_FALSE(refused) << label;
    EXPECT_EQ(refused.error().display(), "not computable by libsodium") << label;
  }
  EXPECT_EQ(argon2_engine_for(base, 15), Argon2Engine::Libargon2);
}

TEST(Argon2Engines, RefusalsCarryTheLibraryText) {
  const Bytes salt(16, 7), short_salt(7, 7);
  Bytes out(32), tiny(3);
  const std::pair<Argon2Job, std::string_view> cases[] = {
      {{Argon2Variant::Argon2id, ARGON2_VERSION_19, 64, 2, 1, {}, short_salt, {}, {}}, "Salt is too short"},
      {{Argon2Variant::Argon2id, ARGON2_VERSION_19, 64, 0, 1, {}, salt, {}, {}}, "Time cost is too small"},
      {{Argon2Variant::Argon2id, ARGON2_VERSION_19, 64, 2, 0, {}, salt, {}, {}}, "Too few lanes"},
      {{Argon2Variant::Argon2id, ARGON2_VERSION_19, 15, 2, 2, {}, salt, {}, {}}, "Memory cost is too small"},
      {{Argon2Variant::Argon2id, 18, 64, 2, 1, {}, salt, {}, {}}, "unsupported Argon2 version"},
  };
  for (const auto& [job, text] : cases) {
    const auto result = compute_argon2(job, out);
    ASSERT_FALSE(result) << text;
    EXPECT_EQ(result.error().display(), text);
  }
  const auto short_output = compute_argon2(cases[0].first, tiny);
  ASSERT_FALSE(short_output);
  EXPECT_EQ(short_output.error().display(), "Output is too short");
}

}  // namespace
}  // namespace password_backend
