#include "password_backend/password_hash.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <limits>

#include "password_backend/b64.hpp"
#include "test_bytes.hpp"
#include "test_vectors.hpp"

namespace password_backend {
namespace {

using test_support::bytes_of;
using test_support::from_hex;

constexpr std::string_view PREFIX = "$argon2id$v=19$m=19456,t=2,p=1$";

bool matches(std::string_view stored, std::string_view password) {
  const auto result = password_matches(bytes_of(stored), bytes_of(password));
  if (!result) ADD_FAILURE() << stored << ": " << result.error().debug();
  return result.value_or(false);
}

TEST(MakePasswordHash, WritesTheFixedFormWithAFreshSalt) {
  const std::string long_a = std::string(32, 'k') + "first";
  const std::string long_b = std::string(32, 'k') + "second";
  for (const std::string_view password : {std::string_view("correct horse"), std::string_view(""),
                                          std::string_view("p\xc3\xa4ss \xf0\x9f\x94\x91"), std::string_view(long_a)}) {
    const auto first = make_password_hash(bytes_of(password));
    const auto second = make_password_hash(bytes_of(password));
    ASSERT_TRUE(first && second);
    for (const auto& text : {*first, *second}) {
      ASSERT_EQ(text.size(), 97U) << text;
      EXPECT_TRUE(text.starts_with(PREFIX)) << text;
      EXPECT_EQ(text[PREFIX.size() + 22], '$') << text;
      EXPECT_EQ(b64_decode(text.substr(PREFIX.size(), 22), 16)->size(), 16U) << text;
      EXPECT_EQ(b64_decode(text.substr(PREFIX.size() + 23), 32)->size(), 32U) << text;
      EXPECT_TRUE(matches(text, password)) << text;
    }
    EXPECT_NE(*first, *second);
  }
  // The whole password counts, not just its first 32 bytes.
  const auto hash_a = make_password_hash(bytes_of(long_a));
  ASSERT_TRUE(hash_a);
  EXPECT_FALSE(matches(*hash_a, long_b));
  EXPECT_FALSE(matches(*hash_a, long_a.substr(0, 32)));
}

TEST(MakePasswordHash, AFailingRandomSourceIsRngFailure) {
  const auto failing = [](std::span<std::uint8_t>) -> std::expected<void, common::IoError> {
    return std::unexpected(common::IoError::from_os_code(EIO));
  };
  const auto made = make_password_hash(bytes_of("pw"), failing);
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().display(), "rng failure");
  const auto fixed = [](std::span<std::uint8_t> out) -> std::expected<void, common::IoError> {
    std::ranges::fill(out, std::uint8_t{0x5a});
    return {};
  };
  EXPECT_EQ(make_password_hash(bytes_of("pw"), fixed).value().substr(PREFIX.size(), 22),
            b64_encode(std::vector<std::uint8_t>(16, 0x5a)));
}

// Hashes made by python3-argon2, the argon2 tool and libsodium's
// crypto_pwhash_str (scripts/make-hash-vectors), with right and wrong passwords.
TEST(PasswordMatches, AgreesWithIndependentImplementations) {
  const auto rows = test_vectors::read_vectors("hash_vectors.txt");
  ASSERT_GE(rows.size(), 90U);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 4U);
    const auto password = from_hex(row[2]);
    const auto result = password_matches(bytes_of(row[3]), password);
    ASSERT_TRUE(result) << row[0] << " " << row[3] << ": " << result.error().debug();
    EXPECT_EQ(*result, row[1] == "match") << row[0] << " " << row[3];
  }
}

TEST(PasswordMatches, UnusableStoredDataIsAnError) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"$argon2id$v=19$m=19456\xff", "Utf8Error { valid_up_to: 22, error_len: Some(1) }"},
      {"$argon2id$v=19$m=19456\xe2\x82", "Utf8Error { valid_up_to: 22, error_len: None }"},
      {"", "PhcParseError { reason: \"does not start with '$'\", position: 0 }"},
      {"argon2id", "PhcParseError { reason: \"does not start with '$'\", position: 0 }"},
      {"$argon2id$v=19$m=19456,t=2,p=1$c29tZXNhbHQ$AAAAAA$", "PhcParseError { reason: \"empty field\", position: 50 }"},
      {"$argon2id$v=19$m=19456,m=2", "PhcParseError { reason: \"duplicate parameter\", position: 23 }"},
      {"$scrypt$ln=15,r=8,p=1$c29tZXNhbHQ$AAAAAA", "\"Unsupported algorithm\""},
      {"$argon2$v=19$c29tZXNhbHQ$AAAAAA", "\"Unsupported algorithm\""},
      {"$argon2ID$v=19", "PhcParseError { reason: \"invalid algorithm identifier\", position: 1 }"},
  };
  for (const auto& [stored, debug] : cases) {
    const auto result = password_matches(bytes_of(stored), bytes_of("pw"));
    ASSERT_FALSE(result) << stored;
    EXPECT_EQ(result.error().debug(), debug) << stored;
  }
}

TEST(PasswordMatches, StoredHashesThatCannotBeRecomputedMatchNothing) {
  // Each case would match "pw" with the parameters shown if it were computable.
  const std::string_view salt = "c29tZXNhbHQ";
  const std::string hash = "$" + b64_encode(std::vector<std::uint8_t>(32, 1));
  const std::string cases[] = {
      "$argon2id",
      "$argon2id$v=19$m=64,t=1,p=1",
      "$argon2id$v=19$m=64,t=1,p=1$" + std::string(salt),
      "$argon2id$v=18$m=64,t=1,p=1$" + std::string(salt) + hash,
      "$argon2id$v=20$m=64,t=1,p=1$" + std::string(salt) + hash,
      "$argon2id$v=19$m=64,t=1,p=1,x=1$" + std::string(salt) + hash,
      "$argon2id$v=19$m=4,t=1,p=1$" + std::string(salt) + hash,        // memory below 8 blocks
      "$argon2id$v=19$m=64,t=0,p=1$" + std::string(salt) + hash,       // no pass
      "$argon2id$v=19$m=64,t=1,p=0$" + std::string(salt) + hash,       // no lane
      "$argon2id$v=19$m=64,t=1,p=1$" + std::string(salt) + "$AAAAAA",  // 4-byte output
      // Above the bound: refused before any memory is taken or time spent.
      "$argon2id$v=19$m=4194305,t=1,p=1$" + std::string(salt) + hash,
      "$argon2id$v=19$m=4294967295,t=4294967295,p=16777215$" + std::string(salt) + hash,
      "$argon2id$v=19$m=1048577,t=1,p=1$" + std::string(salt) + hash,
      "$argon2id$v=19$m=65536,t=65,p=1$" + std::string(salt) + hash,
  };
  const auto start = std::chrono::steady_clock::now();
  for (const auto& stored : cases) {
    const auto result = password_matches(bytes_of(stored), bytes_of("pw"));
    ASSERT_TRUE(result) << stored << ": " << result.error().debug();
    EXPECT_FALSE(*result) << stored;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(PasswordMatches, MissingVersionAndParametersTakeTheDefaults) {
  const auto made = make_password_hash(bytes_of("pw"));
  ASSERT_TRUE(made);
  const std::string tail = made->substr(PREFIX.size() - 1);  // "$salt$hash"
  for (const std::string head : {"$argon2id", "$argon2id$v=19", "$argon2id$m=19456", "$argon2id$v=19$t=2,p=1",
                                 "$argon2id$v=19$p=1,t=2,m=19456"}) {
    EXPECT_TRUE(matches(head + tail, "pw")) << head;
    EXPECT_FALSE(matches(head + tail, "pW")) << head;
  }
  for (const std::string head : {"$argon2id$v=16", "$argon2i$v=19$m=19456,t=2,p=1", "$argon2id$v=19$m=19457"}) {
    EXPECT_FALSE(matches(head + tail, "pw")) << head;
  }
}

TEST(PasswordMatches, TheBoundIsOnMemoryMemoryTimesPassesAndLanes) {
  const std::string stored = "$argon2d$v=19$m=64,t=3,p=2$c29tZXNhbHQ$ssPrKp/2f6i3Y64BFMA8PusGj6aLmIWIezPER4s4LPE";
  const std::pair<StoredHashBound, bool> cases[] = {{{64, 192, 2}, true},  {{63, 192, 2}, false},
                                                    {{64, 191, 2}, false}, {{4096, 191, 2}, false},
                                                    {{64, 192, 1}, false}, {{}, true}};
  for (const auto& [bound, expected] : cases) {
    const auto result = password_matches(bytes_of(stored), bytes_of("pw"), bound);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, expected) << bound.max_memory_kib << " " << bound.max_memory_passes;
  }
}

// 512 MiB, as much work as 512 MiB over 2 passes however it is split, and 64
// lanes.
TEST(StoredHashBound, AdmitsUpToHalfAGibibyteOneGibibytePassAndSixtyFourLanes) {
  struct Case {
    std::uint32_t memory_kib, passes, lanes;
    bool admitted;
  };
  constexpr std::uint32_t most = std::numeric_limits<std::uint32_t>::max();
  const Case cases[] = {
      {8, 65, 1, true},      {2056, 1, 64, true},   {19456, 2, 1, true},       {262144, 4, 1, true},
      {524288, 2, 64, true}, {4096, 256, 1, true},  {8, 131072, 1, true},      {262144, 5, 1, false},
      {524288, 3, 1, false}, {524289, 1, 1, false}, {1048576, 1, 1, false},    {1048576, 4, 1, false},
      {2056, 1, 65, false},  {8, 131073, 1, false}, {most, most, most, false}, {1, most, 1, false},
      {8, 1, most, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StoredHashBound{}.admits(c.memory_kib, c.passes, c.lanes), c.admitted)
        << c.memory_kib << " " << c.passes << " " << c.lanes;
  }
}

// Hashes from libargon2. Neither many passes over little memory nor 64 lanes
// is refused.
TEST(StoredHashBound, ManyPassesOrManyLanesStillVerify) {
  const std::string_view stored[] = {
      "$argon2id$v=19$m=8,t=65,p=1$c29tZXNhbHRzb21lc2FsdA$Fw85dnFBRsc6oce+kI/nNJSkAG8tOqmHNBRWwMPy/gA",
      "$argon2id$v=19$m=512,t=1,p=64$c29tZXNhbHRzb21lc2FsdA$K3lH+jS6xox3hANrxC6ZkSirYa5us8tWjSib43DUZjU",
  };
  for (const auto text : stored) {
    EXPECT_TRUE(matches(text, "pw")) << text;
    EXPECT_FALSE(matches(text, "pW")) << text;
  }
}

struct ChildCheck {
  bool matched = false;
  long peak_growth_kib = -1;
};

// password_matches in a forked child, whose peak resident size starts at its
// size when forked: how far the check raised it shows what it allocated.
ChildCheck check_in_child(std::string_view stored, std::string_view password) {
  std::array<int, 2> pipe_fds{};
  if (::pipe(pipe_fds.data()) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto result = password_matches(bytes_of(stored), bytes_of(password));
    ::getrusage(RUSAGE_SELF, &after);
    const ChildCheck out{result.value_or(false), after.ru_maxrss - before.ru_maxrss};
    const bool sent = ::write(pipe_fds[1], &out, sizeof out) == static_cast<ssize_t>(sizeof out);
    ::_exit(result && sent ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  ChildCheck out;
  const bool received = pid > 0 && ::read(pipe_fds[0], &out, sizeof out) == static_cast<ssize_t>(sizeof out);
  ::close(pipe_fds[0]);
  int status = -1;
  if (pid > 0) ::waitpid(pid, &status, 0);
  if (!received || !WIFEXITED(status) || WEXITSTATUS(status) != 0) ADD_FAILURE() << "child failed: " << stored;
  return out;
}

TEST(StoredHashBound, AboveTheBoundMatchesNothingWithoutAllocating) {
  struct Case {
    std::string_view stored;
    bool matched;
    long at_least_kib, below_kib;
  };
  const Case cases[] = {
      // The measurement sees an allocation: 64 MiB, computed and right.
      {"$argon2id$v=19$m=65536,t=1,p=1$c29tZXNhbHRzb21lc2FsdA$7A9K7hau63R4F7N+VcGAh3/rJGhea7/my/rGlYjQMLE", true,
       60 * 1024, 1 << 30},
      // Right for "pw" at 256 MiB and 17 passes, beyond the bound.
      {"$argon2id$v=19$m=262144,t=17,p=1$c29tZXNhbHRzb21lc2FsdA$hiKSvDTaHXDUi+LoibZp95vebXHAeaQKWpBeLe4WZOI", false, 0,
       16 * 1024},
      // Right for "pw" with 257 lanes over 64 MiB, beyond the bound. The
      // margins are wide: a sanitizer's own allocator grows the child by a
      // few MiB on any path.
      {"$argon2id$v=19$m=65792,t=1,p=257$c29tZXNhbHRzb21lc2FsdA$AbRyj0/6LG9N8Vl2A17l63etGg6xFwt54+1T3ubPD54", false, 0,
       16 * 1024},
      {"$argon2id$v=19$m=4194304,t=64,p=256$c29tZXNhbHRzb21lc2FsdA$7A9K7hau63R4F7N+VcGAh3/rJGhea7/my/rGlYjQMLE", false,
       0, 16 * 1024},
  };
  for (const auto& c : cases) {
    const ChildCheck check = check_in_child(c.stored, "pw");
    EXPECT_EQ(check.matched, c.matched) << c.stored;
    EXPECT_GE(check.peak_growth_kib, c.at_least_kib) << c.stored;
    EXPECT_LT(check.peak_growth_kib, c.below_kib) << c.stored;
  }
}

}  // namespace
}  // namespace password_backend
