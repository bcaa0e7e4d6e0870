#include "password_backend/operations.hpp"

#include <chrono>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/message_error.hpp"
#include "common/secret_bytes.hpp"
#include "password_backend/envelope.hpp"
#include "password_backend/password_hash.hpp"
#include "tavrin_account/connection.hpp"
#include "tavrin_account/secrets.hpp"

namespace password_backend {
namespace {

using common::AnyError;
using tavrin_account::AccountConnection;
using tavrin_account::Secret;
using tavrin_account::SecurityFlags;

// Both secrets are written alike: write-protected, no meaningful times.
Secret stored_secret(std::string_view name, std::vector<std::uint8_t> data) {
  return Secret{.name = std::string(name),
                .data = std::move(data),
                .security_flags = SecurityFlags{SecurityFlags::WRITE_PROTECTED},
                .creation_time = 0,
                .expiration_time = std::numeric_limits<std::int64_t>::max()};
}

// The user's master-key secret as the daemon holds it, or nothing when the
// user has none yet. Any other failure to read it is returned: carrying on
// would seal a new key over the existing one, and the user's data under it
// would be lost.
std::expected<std::optional<Secret>, AnyError> read_master_key_secret(AccountConnection& connection,
                                                                      const common::Uuid& user) {
  auto secret = tavrin_account::get_secret(connection, user, MASTER_KEY_SECRET_NAME);
  if (secret) return std::optional<Secret>(std::move(*secret));
  if (secret.error().kind() == tavrin_account::Error::Kind::NoSuchSecret) return std::optional<Secret>();
  return std::unexpected(std::move(secret).error());
}

// The key in the envelope as read, opened with the old password, or a new
// one for a user who has none.
std::expected<common::SecretBytes, AnyError> obtain_master_key(const std::optional<Secret>& current,
                                                               std::span<const std::uint8_t> old_password) {
  if (!current) return new_master_key();
  return open_master_key(envelope_key(old_password), current->data);
}

std::unexpected<ChangeFailure> failed(AnyError error, bool may_be_apart = false) {
  return std::unexpected(ChangeFailure{.error = std::move(error), .may_be_apart = may_be_apart});
}

// A write that gave up because someone asked the program to stop is told as
// that: the daemon may still act on what it was sent, or may not.
AnyError write_error(const AccountConnection& connection, tavrin_account::Error error) {
  if (connection.gave_up_after_stop()) return common::MessageError(std::string(INTERRUPTED_CHANGE));
  return error;
}

// What the caller asked of the writes: the hook before the first one, and how
// long the reply in flight is awaited once someone asks the program to stop.
struct WritePhase {
  BeforeFirstWrite before_first_write;
  std::chrono::milliseconds reply_grace;
};

// Runs the caller's hook just before the first write, and watches for a
// request to stop from then on.
std::expected<void, ChangeFailure> start_writing(AccountConnection& connection, const WritePhase& phase) {
  if (phase.before_first_write == nullptr) return {};
  auto stop = phase.before_first_write();
  if (!stop) return failed(std::move(stop).error());
  if (*stop >= 0) connection.watch_stop(*stop, phase.reply_grace);
  return {};
}

// The envelope as read opens with the new password and not with the old one:
// an earlier change to this very password stopped between its two writes, or
// the old password is simply wrong. It is the former only when the old
// password also matches the stored hash (one that is unusable, or that anyone
// could have overwritten, matches nothing), or when there is no hash at all, as
// after a first change whose hash write failed. Then the hash of the new
// password is written, exactly as the last step of that change. When the hash
// is already the new password's, that change went through although its caller
// was not told so (the reply to the hash write was lost), and there is nothing
// left to write: whoever typed the new password can already do both. Otherwise
// `not_opened` is returned, with nothing written.
std::expected<void, ChangeFailure> finish_interrupted_change(AccountConnection& connection, const common::Uuid& user,
                                                             common::SecretBytes& old_password,
                                                             common::SecretBytes& new_password, const WritePhase& phase,
                                                             AnyError not_opened) {
  auto stored_hash = tavrin_account::get_secret(connection, user, PASSWORD_SECRET_NAME);
  if (!stored_hash && stored_hash.error().kind() != tavrin_account::Error::Kind::NoSuchSecret) {
    return failed(std::move(stored_hash).error());
  }
  if (stored_hash) {
    if (!stored_hash->security_flags.contains(SecurityFlags::WRITE_PROTECTED)) return failed(std::move(not_opened));
    if (!password_matches(stored_hash->data, old_password.bytes()).value_or(false)) {
      if (password_matches(stored_hash->data, new_password.bytes()).value_or(false)) return {};
      return failed(std::move(not_opened));
    }
  }
  auto hash = make_password_hash(new_password.bytes());
  if (!hash) return failed(std::move(hash).error());
  std::vector<std::uint8_t> hash_bytes(hash->begin(), hash->end());
  old_password.clear();
  new_password.clear();

  if (auto started = start_writing(connection, phase); !started) return started;
  if (auto written =
          tavrin_account::set_secret(connection, user, stored_secret(PASSWORD_SECRET_NAME, std::move(hash_bytes)));
      !written) {
    // Whatever became of it, the secrets are at worst as apart as they were.
    return failed(write_error(connection, std::move(written).error()), true);
  }
  return {};
}

}  // namespace

std::expected<bool, AnyError> check_password(const common::Uuid& user, std::span<const std::uint8_t> password) {
  auto connection = tavrin_account::connect_account_service();
  if (!connection) return std::unexpected(std::move(connection).error());

  auto secret = tavrin_account::get_secret(*connection, user, PASSWORD_SECRET_NAME);
  if (!secret) {
    // The time the answer takes must not tell whoever is typing that the
    // user has no password at all.
    if (const auto kind = secret.error().kind();
        kind == tavrin_account::Error::Kind::NoSuchSecret || kind == tavrin_account::Error::Kind::NoSuchUser) {
      hash_and_discard(password);
    }
    return std::unexpected(std::move(secret).error());
  }
  // A hash that anyone may overwrite proves nothing.
  if (!secret->security_flags.contains(SecurityFlags::WRITE_PROTECTED)) {
    return std::unexpected(common::MessageError("insecure password secret"));
  }
  return password_matches(secret->data, password);
}

std::expected<void, ChangeFailure> change_password(const common::Uuid& user, common::SecretBytes old_password,
                                                   common::SecretBytes new_password,
                                                   BeforeFirstWrite before_first_write,
                                                   std::chrono::milliseconds reply_grace) {
  const WritePhase phase{.before_first_write = before_first_write, .reply_grace = reply_grace};
  auto connection = tavrin_account::connect_account_service();
  if (!connection) return failed(std::move(connection).error());

  auto current = read_master_key_secret(*connection, user);
  if (!current) return failed(std::move(current).error());
  auto master_key = obtain_master_key(*current, old_password.bytes());
  if (!master_key) {
    if (const std::optional<Secret>& envelope = *current;
        envelope.has_value() && open_master_key(envelope_key(new_password.bytes()), envelope->data).has_value()) {
      return finish_interrupted_change(*connection, user, old_password, new_password, phase,
                                       std::move(master_key).error());
    }
    return failed(std::move(master_key).error());
  }
  auto envelope = seal_master_key(envelope_key(new_password.bytes()), master_key->bytes());
  master_key->clear();

  // Everything that can fail without the daemon is done before the first
  // write, so such a failure leaves the user's secrets as they were.
  auto hash = make_password_hash(new_password.bytes());
  if (!hash) return failed(std::move(hash).error());
  std::vector<std::uint8_t> hash_bytes(hash->begin(), hash->end());
  // Nothing from here on needs what was typed: the write-back uses the
  // envelope as it was read. Gone before the daemon, which may keep us
  // waiting, sees a single write.
  old_password.clear();
  new_password.clear();

  if (auto started = start_writing(*connection, phase); !started) return started;
  if (auto stored =
          tavrin_account::set_secret(*connection, user, stored_secret(MASTER_KEY_SECRET_NAME, std::move(envelope)));
      !stored) {
    // A refusal the daemon sent means nothing was stored; any other failure
    // may have come after the daemon stored the envelope.
    const bool refused = stored.error().sent_by_daemon();
    return failed(write_error(*connection, std::move(stored).error()), !refused);
  }
  if (auto stored =
          tavrin_account::set_secret(*connection, user, stored_secret(PASSWORD_SECRET_NAME, std::move(hash_bytes)));
      !stored) {
    // The master key now opens only with the new password while the hash is
    // still the old one's: no password would do both. When the daemon says it
    // refused the hash, the envelope goes back exactly as it was read, so the
    // old password keeps working; whether that succeeds or not, the refusal
    // is what the caller is told. The daemon is relied on to report what it
    // did, so a refusal it sent means the hash was not stored and the stream
    // is still in step. A reply that could not be read says nothing about
    // what was stored: nothing more is sent, and the connection refuses
    // anyway once it is out of step. A user who had no master key keeps the
    // new envelope: the protocol cannot delete a secret, and the key in it
    // guards nothing yet. In every case but a confirmed write-back the
    // secrets may be apart, and the same change run again finishes it.
    const bool refused = stored.error().sent_by_daemon();
    ChangeFailure failure{.error = write_error(*connection, std::move(stored).error()), .may_be_apart = true};
    if (std::optional<Secret>& previous = *current; previous.has_value() && refused) {
      Secret restored = std::move(*previous);
      restored.name = std::string(MASTER_KEY_SECRET_NAME);
      failure.may_be_apart = !tavrin_account::set_secret(*connection, user, restored).has_value();
    }
    return std::unexpected(std::move(failure));
  }
  return {};
}

}  // namespace password_backend
