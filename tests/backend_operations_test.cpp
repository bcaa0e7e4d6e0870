// Checking and changing a password against a scripted daemon (exactly what
// goes out, and where a failed request leaves the user's secrets) and against
// accountd (what the stored secrets become).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "account_endpoint.hpp"
#include "master_key.hpp"
#include "password_backend/envelope.hpp"
#include "password_backend/operations.hpp"
#include "password_backend/password_hash.hpp"
#include "running_accountd.hpp"
#include "scripted_daemon.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"
#include "test_bytes.hpp"
#include "unix_socket.hpp"

namespace {

using common::SecretBytes;
using password_backend::change_password;
using password_backend::check_password;
using password_backend::envelope_key;
using password_backend::MASTER_KEY_SECRET_NAME;
using password_backend::PASSWORD_SECRET_NAME;
using tavrin_account::Error;
using tavrin_account::Secret;
using tavrin_account::SecurityFlags;
using test_support::bytes_of;
using test_support::Endpoint;
using test_support::FakeDaemon;
using test_support::FakeScript;
using test_support::opened_master_key;
using test_support::RecordedFrame;
using test_support::RunningAccountd;
using test_support::stale_socket_uri;

constexpr std::uint32_t WRITE_PROTECTED = SecurityFlags::WRITE_PROTECTED;
constexpr std::uint32_t ENCRYPTED = SecurityFlags::ENCRYPTED;
const std::string USER_TEXT = "2f6c1d9e-4b7a-4c3e-8f21-9a0b5c7d3e10";
const common::Uuid USER = *common::parse_uuid(USER_TEXT);

std::string hash_of(std::string_view password) {
  auto hash = password_backend::make_password_hash(bytes_of(password));
  if (!hash) std::abort();
  return *hash;
}

Secret stored(std::string_view name, std::span<const std::uint8_t> data, std::uint32_t flags = WRITE_PROTECTED) {
  return Secret{std::string(name), {data.begin(), data.end()}, {flags}, 0, std::numeric_limits<std::int64_t>::max()};
}

Secret password_secret(std::string_view hash, std::uint32_t flags = WRITE_PROTECTED) {
  return stored(PASSWORD_SECRET_NAME, bytes_of(hash), flags);
}

std::vector<std::uint8_t> sealed(const common::SecretBytes& master_key, std::string_view password) {
  return password_backend::seal_master_key(envelope_key(bytes_of(password)), master_key.bytes());
}

Secret master_key_secret(const common::SecretBytes& master_key, std::string_view password) {
  return stored(MASTER_KEY_SECRET_NAME, sealed(master_key, password));
}

common::SecretBytes a_master_key() {
  common::SecretBytes key(32);
  for (std::size_t i = 0; i < key.size(); ++i) key.data()[i] = static_cast<std::uint8_t>(0xA0 + i);
  return key;
}

std::string get_request(std::string_view name) {
  return R"({"method":"GetSecret","params":{"name":")" + std::string(name) + R"(","user":")" + USER_TEXT + R"("}})";
}

// The data a recorded SetSecret wrote, after checking that the request is
// byte for byte the one for `name`: write-protected, creation time 0, the
// largest expiration time.
std::vector<std::uint8_t> written_data(const RecordedFrame& frame, std::string_view name) {
  EXPECT_EQ(frame.length, frame.body.size());
  const auto body = nlohmann::json::parse(frame.body, nullptr, false);
  std::vector<std::uint8_t> data;
  std::string listed;
  if (!body.is_discarded() && body.contains("params") && body["params"].contains("secret") &&
      body["params"]["secret"].contains("data") && body["params"]["secret"]["data"].is_array()) {
    for (const auto& byte : body["params"]["secret"]["data"]) {
      if (!byte.is_number_unsigned() || byte.get<unsigned>() > 255) break;
      data.push_back(byte.get<std::uint8_t>());
      listed += (listed.empty() ? "" : ",") + std::to_string(data.back());
    }
  }
  EXPECT_EQ(frame.body, R"({"method":"SetSecret","params":{"secret":{"creation_time":0,"data":[)" + listed +
                            R"(],"expiration_time":9223372036854775807,"name":")" + std::string(name) +
                            R"(","security_flags":"WRITE_PROTECTED"},"user":")" + USER_TEXT + R"("}})");
  return data;
}

TEST(CheckPassword, AnswersFromThePasswordSecretAlone) {
  const std::string right = "correct horse";
  const std::string hash = hash_of(right);
  const std::string empty_hash = hash_of("");
  using Expected = std::variant<bool, std::string>;  // the answer, or the error's display form
  struct Case {
    std::string name;
    FakeScript script;
    std::string password;
    Expected expected;
  };
  // Each script also takes any further request, so one that was not due shows up.
  const std::vector<Case> cases = {
      {"right password", FakeScript().answer_secret(password_secret(hash)).expect_request(), right, true},
      {"wrong password", FakeScript().answer_secret(password_secret(hash)).expect_request(), "correct hors", false},
      {"encrypted and write-protected",
       FakeScript().answer_secret(password_secret(hash, ENCRYPTED | WRITE_PROTECTED)).expect_request(), right, true},
      {"unnamed flag beside write-protected",
       FakeScript().answer_secret(password_secret(hash, WRITE_PROTECTED | 0x10)).expect_request(), right, true},
      {"encrypted only", FakeScript().answer_secret(password_secret(hash, ENCRYPTED)).expect_request(), right,
       "insecure password secret"},
      {"no flags", FakeScript().answer_secret(password_secret(hash, 0)).expect_request(), right,
       "insecure password secret"},
      {"empty password stored and given", FakeScript().answer_secret(password_secret(empty_hash)).expect_request(), "",
       true},
      {"empty password stored, another given", FakeScript().answer_secret(password_secret(empty_hash)).expect_request(),
       " ", false},
      {"no password secret", FakeScript().answer_error(Error::no_such_secret()).expect_request(), right,
       "no such secret"},
      {"permission denied", FakeScript().answer_error(Error::permission_denied()).expect_request(), right,
       "permission denied"},
      {"connection closed", FakeScript().close_after_request(), right,
       "communication error: failed to fill whole buffer"},
      {"stored hash of another algorithm",
       FakeScript().answer_secret(password_secret("$scrypt$ln=16,r=8,p=1$c2FsdHNhbHQ$aGFzaGhhc2g")).expect_request(),
       right, "Unsupported algorithm"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDaemon daemon({c.script});
    std::expected<bool, common::AnyError> answer = false;
    {
      const Endpoint endpoint(daemon.uri());
      answer = check_password(USER, bytes_of(c.password));
    }
    if (const auto* expected = std::get_if<bool>(&c.expected)) {
      ASSERT_TRUE(answer.has_value()) << answer.error().display();
      EXPECT_EQ(*answer, *expected);
    } else {
      ASSERT_FALSE(answer.has_value());
      EXPECT_EQ(answer.error().display(), std::get<std::string>(c.expected));
    }
    // One request, for the password secret; the master key is never asked for.
    const auto frames = daemon.finish();
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0].length, 135U);
    EXPECT_EQ(frames[0].body, get_request(PASSWORD_SECRET_NAME));
  }
}

TEST(BackendOperations, AnUnreachableDaemonGivesTheConnectionError) {
  const std::string directory = test_support::make_temp_directory("backend-unreachable");
  struct Case {
    std::string uri;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"unix://" + directory + "/absent.sock", "No such file or directory (os error 2)"},
      {stale_socket_uri(directory), "Connection refused (os error 111)"},
      {"", "address not available"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uri);
    const Endpoint endpoint(c.uri);
    const auto checked = check_password(USER, bytes_of("pw"));
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error().display(), c.expected);
    const auto changed = change_password(USER, SecretBytes::copy_of("pw"), SecretBytes::copy_of("new"));
    ASSERT_FALSE(changed.has_value());
    EXPECT_EQ(changed.error().display(), c.expected);
  }
  std::filesystem::remove_all(directory);
}

TEST(ChangePassword, WritesTheMasterKeyAndThenTheHashExactlyAsStored) {
  const auto master_key = a_master_key();
  const std::vector<std::uint8_t> original(master_key.bytes().begin(), master_key.bytes().end());
  // The old password opens the envelope on its first 32 bytes; what follows
  // them does not matter, nor does the stored hash, which is never read.
  const std::string prefix(32, 'A');
  struct Case {
    std::string name;
    FakeScript script;
    std::string old_password;
    bool keeps_master_key;  // false: a new one is made
  };
  const std::vector<Case> cases = {
      {"existing master key", FakeScript().answer_secret(master_key_secret(master_key, "old")), "old", true},
      {"equal in the first 32 bytes only",
       FakeScript().answer_secret(master_key_secret(master_key, prefix + "first tail")), prefix + "another tail", true},
      {"no master key yet", FakeScript().answer_error(Error::no_such_secret()), "anything at all", false},
  };
  const std::string new_password = "new password";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeScript script = c.script;
    FakeDaemon daemon({script.answer_null().answer_null().expect_request()});
    std::expected<void, password_backend::ChangeFailure> changed;
    {
      const Endpoint endpoint(daemon.uri());
      changed = change_password(USER, SecretBytes::copy_of(c.old_password), SecretBytes::copy_of(new_password));
    }
    ASSERT_TRUE(changed.has_value()) << changed.error().display();

    const auto frames = daemon.finish();
    ASSERT_EQ(frames.size(), 3U);
    EXPECT_EQ(frames[0].body, get_request(MASTER_KEY_SECRET_NAME));
    const auto envelope = written_data(frames[1], MASTER_KEY_SECRET_NAME);
    const auto key = opened_master_key(envelope, new_password);
    ASSERT_TRUE(key.has_value());
    if (c.keeps_master_key) {
      EXPECT_EQ(*key, original);
    } else {
      EXPECT_EQ(key->size(), 32U);
      EXPECT_NE(*key, original);
    }
    const auto hash = written_data(frames[2], PASSWORD_SECRET_NAME);
    const std::string hash_text(hash.begin(), hash.end());
    EXPECT_TRUE(hash_text.starts_with("$argon2id$v=19$m=19456,t=2,p=1$")) << hash_text;
    EXPECT_EQ(password_backend::password_matches(hash, bytes_of(new_password)).value_or(false), true);
    EXPECT_EQ(password_backend::password_matches(hash, bytes_of(c.old_password)).value_or(true), false);
  }
}

TEST(ChangePassword, AFailedRequestStopsTheChangeAndTheMasterKeyIsNeverLost) {
  const auto master_key = a_master_key();
  const std::vector<std::uint8_t> original(master_key.bytes().begin(), master_key.bytes().end());
  const Secret envelope = master_key_secret(master_key, "old");
  const auto read_ok = [&] { return FakeScript().answer_secret(envelope); };
  struct Case {
    std::string name;
    FakeScript script;  // followed by one more expect_request, to catch a request that was not due
    std::string expected;
    std::size_t requests;
    bool may_be_apart = false;  // the envelope may be under the new password, the hash the old one's
  };
  const std::vector<Case> cases = {
      // Reading the master key fails for another reason than its absence:
      // going on would seal a new key over the user's existing one.
      {"read: permission denied", FakeScript().answer_error(Error::permission_denied()), "permission denied", 1},
      {"read: internal error", FakeScript().answer_error(Error::internal("store locked")),
       "internal error: store locked", 1},
      {"read: no such user", FakeScript().answer_error(Error::no_such_user()), "no such user", 1},
      {"read: connection closed", FakeScript().close_after_request(),
       "communication error: failed to fill whole buffer", 1},
      {"read: not a secret", FakeScript().answer_success(42), "communication error: ", 1},
      {"read: garbage", FakeScript().answer_garbage(), "communication error: ", 1},
      // The envelope cannot be opened with the old password.
      {"wrong old password", FakeScript().answer_secret(master_key_secret(master_key, "other")),
       "decryption failure: Error", 1},
      {"differs within the first 32 bytes",
       FakeScript().answer_secret(master_key_secret(master_key, std::string(31, 'A') + "Bold")),
       "decryption failure: Error", 1},
      {"another cipher",
       FakeScript().answer_secret(
           stored(MASTER_KEY_SECRET_NAME, bytes_of(std::string("ChaCha20-Poly1305\0", 18) + std::string(60, 'x')))),
       "unknown crypto algorithm", 1},
      {"no cipher name", FakeScript().answer_secret(stored(MASTER_KEY_SECRET_NAME, bytes_of("AES-256-GCM"))),
       "invalid master key format", 1},
      {"truncated envelope",
       FakeScript().answer_secret(stored(MASTER_KEY_SECRET_NAME, bytes_of(std::string("AES-256-GCM\0abcde", 17)))),
       "Data too short", 1},
      // Writing the master key fails.
      {"master key write refused", read_ok().answer_error(Error::permission_denied()), "permission denied", 2},
      {"connection closed at the master key write", read_ok().close_after_request(),
       "communication error: failed to fill whole buffer", 2, true},
      {"garbage for the master key write", read_ok().answer_garbage(), "communication error: ", 2, true},
      // Writing the hash fails after the master key was written. When the
      // daemon says it refused the hash, the envelope goes back as it was
      // read, and the refusal is what is returned, whatever the write-back
      // gets.
      {"hash write refused", read_ok().answer_null().answer_error(Error::internal("disk full")).answer_null(),
       "internal error: disk full", 4},
      {"hash write refused, and the write-back too",
       read_ok().answer_null().answer_error(Error::internal("disk full")).answer_error(Error::permission_denied()),
       "internal error: disk full", 4, true},
      {"hash write refused, and the write-back unconfirmed",
       read_ok().answer_null().answer_error(Error::internal("disk full")).close_after_request(),
       "internal error: disk full", 4, true},
      {"hash write refused with an error this client does not know",
       read_ok().answer_null().answer(R"({"success":false,"value":"DiskFull"})").answer_null(),
       "invalid parameters: unknown variant `DiskFull`", 4},
      // Nothing more is sent when the reply says nothing about what was
      // stored.
      {"connection closed at the hash write", read_ok().answer_null().close_after_request(),
       "communication error: failed to fill whole buffer", 3, true},
      {"garbage for the hash write", read_ok().answer_null().answer_garbage(), "communication error: ", 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeScript script = c.script;
    FakeDaemon daemon({script.expect_request()});
    std::expected<void, password_backend::ChangeFailure> changed;
    {
      const Endpoint endpoint(daemon.uri());
      changed = change_password(USER, SecretBytes::copy_of("old"), SecretBytes::copy_of("new"));
    }
    ASSERT_FALSE(changed.has_value());
    EXPECT_TRUE(changed.error().display().starts_with(c.expected)) << changed.error().display();
    EXPECT_EQ(changed.error().may_be_apart, c.may_be_apart);

    const auto frames = daemon.finish();
    ASSERT_EQ(frames.size(), c.requests);
    EXPECT_EQ(frames[0].body, get_request(MASTER_KEY_SECRET_NAME));
    // Whichever envelope the store holds now, the user's key opens from it:
    // the untouched one with the old password, a rewritten one with the new.
    if (c.requests >= 2) {
      EXPECT_EQ(opened_master_key(written_data(frames[1], MASTER_KEY_SECRET_NAME), "new"), original);
    }
    if (c.requests >= 3) (void)written_data(frames[2], PASSWORD_SECRET_NAME);
    if (c.requests == 4) {
      EXPECT_EQ(written_data(frames[3], MASTER_KEY_SECRET_NAME), envelope.data);
    }
  }
  EXPECT_EQ(opened_master_key(envelope.data, "old"), original);
}

// How many times the write phase's hook ran; it gives no stop descriptor.
int hook_calls = 0;
std::expected<int, common::AnyError> count_hook_call() {
  ++hook_calls;
  return -1;
}

TEST(ChangePassword, TheSameChangeRunAgainFinishesOneThatStoppedBetweenItsWrites) {
  const auto master_key = a_master_key();
  const std::string old_password = "old";
  const std::string new_password = "new";
  const Secret envelope_under_new = master_key_secret(master_key, new_password);
  const std::string old_hash = hash_of(old_password);
  struct Case {
    std::string name;
    FakeScript script;  // followed by one more expect_request, to catch a request that was not due
    std::string old_password = "old";
    std::string new_password = "new";
    std::string expected;  // empty: the change succeeds
    std::size_t requests;  // the last one the hash write, when one goes out
    bool may_be_apart = false;
  };
  const auto read_apart = [&] { return FakeScript().answer_secret(envelope_under_new); };
  const std::vector<Case> cases = {
      // Finished: the old password still matches the stored hash, or there is
      // no hash at all (a first change whose hash write failed).
      {.name = "envelope under the new password, hash of the old",
       .script = read_apart().answer_secret(password_secret(old_hash)).answer_null(),
       .requests = 3},
      {.name = "envelope under the new password, no hash, any old password",
       .script = read_apart().answer_error(Error::no_such_secret()).answer_null(),
       .old_password = "whatever was typed",
       .requests = 3},
      // Not finished: nothing is written, and the error is the one of an old
      // password that does not open the envelope.
      {.name = "another new password than the interrupted change's",
       .script = read_apart(),
       .new_password = "new2",
       .expected = "decryption failure: Error",
       .requests = 1},
      {.name = "the old password does not match the hash",
       .script = read_apart().answer_secret(password_secret(old_hash)),
       .old_password = "not old",
       .expected = "decryption failure: Error",
       .requests = 2},
      // Its reply was lost: nothing is left to write, and the retry succeeds.
      {.name = "the change had completed: the hash is the new password's",
       .script = read_apart().answer_secret(password_secret(hash_of(new_password))),
       .requests = 2},
      {.name = "a hash anyone could have written",
       .script = read_apart().answer_secret(password_secret(old_hash, 0)),
       .expected = "decryption failure: Error",
       .requests = 2},
      {.name = "an unusable hash",
       .script = read_apart().answer_secret(password_secret("$argon2id$v=19$m=19456,t=2,p=1$broken")),
       .expected = "decryption failure: Error",
       .requests = 2},
      {.name = "the hash cannot be read",
       .script = read_apart().answer_error(Error::permission_denied()),
       .expected = "permission denied",
       .requests = 2},
      // An old password that matches the hash but opens nothing, while the new
      // one does not open the envelope either.
      {.name = "neither password opens the envelope",
       .script = FakeScript().answer_secret(master_key_secret(master_key, "third")),
       .expected = "decryption failure: Error",
       .requests = 1},
      // The finishing write fails: the secrets are at worst as apart as they were.
      {.name = "the hash write is refused",
       .script = read_apart().answer_secret(password_secret(old_hash)).answer_error(Error::permission_denied()),
       .expected = "permission denied",
       .requests = 3,
       .may_be_apart = true},
      {.name = "the hash write goes unconfirmed",
       .script = read_apart().answer_secret(password_secret(old_hash)).close_after_request(),
       .expected = "communication error: failed to fill whole buffer",
       .requests = 3,
       .may_be_apart = true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeScript script = c.script;
    FakeDaemon daemon({script.expect_request()});
    hook_calls = 0;
    std::expected<void, password_backend::ChangeFailure> changed;
    {
      const Endpoint endpoint(daemon.uri());
      changed = change_password(USER, SecretBytes::copy_of(c.old_password), SecretBytes::copy_of(c.new_password),
                                count_hook_call);
    }
    if (c.expected.empty()) {
      ASSERT_TRUE(changed.has_value()) << changed.error().display();
    } else {
      ASSERT_FALSE(changed.has_value());
      EXPECT_EQ(changed.error().display(), c.expected);
      EXPECT_EQ(changed.error().may_be_apart, c.may_be_apart);
    }

    // The envelope is read, then the hash, and only the hash is written,
    // after the hook, as the last step of a change.
    const auto frames = daemon.finish();
    ASSERT_EQ(frames.size(), c.requests);
    EXPECT_EQ(frames[0].body, get_request(MASTER_KEY_SECRET_NAME));
    if (c.requests >= 2) {
      EXPECT_EQ(frames[1].body, get_request(PASSWORD_SECRET_NAME));
    }
    const bool wrote = c.requests == 3;
    EXPECT_EQ(hook_calls, wrote ? 1 : 0);
    if (wrote) {
      const auto hash = written_data(frames[2], PASSWORD_SECRET_NAME);
      EXPECT_EQ(password_backend::password_matches(hash, bytes_of(c.new_password)).value_or(false), true);
    }
  }
}

// Secrets of one user as accountd holds them.
struct StoredSecrets {
  std::optional<Secret> password;
  std::optional<Secret> master_key;
};

StoredSecrets read_back(const RunningAccountd& daemon, const common::Uuid& user) {
  auto connection = tavrin_account::connect_to_endpoint(daemon.uri());
  if (!connection) {
    ADD_FAILURE() << connection.error().display();
    return {};
  }
  StoredSecrets secrets;
  if (auto secret = tavrin_account::get_secret(*connection, user, PASSWORD_SECRET_NAME)) secrets.password = *secret;
  if (auto secret = tavrin_account::get_secret(*connection, user, MASTER_KEY_SECRET_NAME)) secrets.master_key = *secret;
  return secrets;
}

void store(const RunningAccountd& daemon, const common::Uuid& user, const Secret& secret) {
  auto connection = tavrin_account::connect_to_endpoint(daemon.uri());
  ASSERT_TRUE(connection.has_value()) << connection.error().display();
  ASSERT_TRUE(tavrin_account::set_secret(*connection, user, secret).has_value());
}

TEST(ChangePassword, EveryStartingStateEndsWithTheNewPasswordAndTheSameOrANewMasterKey) {
  RunningAccountd daemon(ACCOUNTD_BIN, std::nullopt);
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  const Endpoint endpoint(daemon.uri());
  const auto master_key = a_master_key();
  const std::vector<std::uint8_t> original(master_key.bytes().begin(), master_key.bytes().end());
  struct Case {
    std::string name;
    bool has_password;
    bool has_master_key;
  };
  const std::vector<Case> cases = {
      {"no secrets", false, false},
      {"password only", true, false},
      {"master key only", false, true},
      {"both", true, true},
  };
  std::uint8_t user_number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    common::Uuid user = USER;
    user.bytes[15] = ++user_number;
    if (c.has_password) store(daemon, user, password_secret(hash_of("old")));
    if (c.has_master_key) store(daemon, user, master_key_secret(master_key, "old"));

    const auto changed = change_password(user, SecretBytes::copy_of("old"), SecretBytes::copy_of("new"));
    ASSERT_TRUE(changed.has_value()) << changed.error().display();

    const auto after = read_back(daemon, user);
    ASSERT_TRUE(after.password.has_value());
    ASSERT_TRUE(after.master_key.has_value());
    for (const Secret* secret : {&*after.password, &*after.master_key}) {
      EXPECT_EQ(secret->security_flags.bits, WRITE_PROTECTED);
      EXPECT_EQ(secret->creation_time, 0);
      EXPECT_EQ(secret->expiration_time, std::numeric_limits<std::int64_t>::max());
    }
    const auto key = opened_master_key(after.master_key->data, "new");
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->size(), 32U);
    EXPECT_EQ(*key == original, c.has_master_key);
    EXPECT_EQ(check_password(user, bytes_of("new")).value_or(false), true);
    EXPECT_EQ(check_password(user, bytes_of("old")).value_or(true), false);

    // The same password again: a fresh nonce and a fresh salt, the same key.
    ASSERT_TRUE(change_password(user, SecretBytes::copy_of("new"), SecretBytes::copy_of("new")).has_value());
    const auto again = read_back(daemon, user);
    ASSERT_TRUE(again.password.has_value() && again.master_key.has_value());
    EXPECT_NE(again.master_key->data, after.master_key->data);
    EXPECT_NE(again.password->data, after.password->data);
    EXPECT_EQ(opened_master_key(again.master_key->data, "new"), key);
  }
}

// Every file in the directory, whole.
std::vector<std::string> contents_of_files_in(const std::string& directory) {
  std::vector<std::string> contents;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    contents.push_back(bytes.str());
  }
  return contents;
}

TEST(ChangePassword, AccountdKeepsNoByteOfTheSecretsAChangeReplaced) {
  const std::string directory = test_support::make_temp_directory("backend-forgets");
  {
    RunningAccountd daemon(ACCOUNTD_BIN, directory + "/secrets.db");
    ASSERT_TRUE(daemon.ready()) << daemon.log();
    const Endpoint endpoint(daemon.uri());
    ASSERT_TRUE(change_password(USER, SecretBytes::copy_of("leaked"), SecretBytes::copy_of("leaked")).has_value());
    const auto replaced = read_back(daemon, USER);
    ASSERT_TRUE(change_password(USER, SecretBytes::copy_of("leaked"), SecretBytes::copy_of("fresh")).has_value());
    const auto now = read_back(daemon, USER);
    ASSERT_TRUE(replaced.password && replaced.master_key && now.password && now.master_key);

    const auto found = [&](const std::vector<std::uint8_t>& data) {
      const std::string bytes(data.begin(), data.end());
      for (const auto& content : contents_of_files_in(directory)) {
        if (content.find(bytes) != std::string::npos) return true;
      }
      return false;
    };
    // The search finds what is stored, and nothing of what it replaced.
    EXPECT_TRUE(found(now.master_key->data));
    EXPECT_TRUE(found(now.password->data));
    EXPECT_FALSE(found(replaced.master_key->data)) << "the envelope that the leaked password opens";
    EXPECT_FALSE(found(replaced.password->data)) << "the hash of the leaked password";
  }
  std::filesystem::remove_all(directory);
}

}  // namespace
