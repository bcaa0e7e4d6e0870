#include "secret_store.hpp"

#include <sqlite3.h>

namespace accountd {
namespace {

constexpr const char* SCHEMA =
    "CREATE TABLE IF NOT EXISTS secrets ("
    " user BLOB NOT NULL,"
    " name BLOB NOT NULL,"
    " data BLOB NOT NULL,"
    " security_flags INTEGER NOT NULL,"
    " creation_time INTEGER NOT NULL,"
    " expiration_time INTEGER NOT NULL,"
    " PRIMARY KEY (user, name)) WITHOUT ROWID";

constexpr const char* SELECT =
    "SELECT name, data, security_flags, creation_time, expiration_time FROM secrets WHERE user = ?1 AND name = ?2";

constexpr const char* UPSERT =
    "INSERT INTO secrets (user, name, data, security_flags, creation_time, expiration_time)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6)"
    " ON CONFLICT (user, name) DO UPDATE SET data = excluded.data, security_flags = excluded.security_flags,"
    " creation_time = excluded.creation_time, expiration_time = excluded.expiration_time";

std::unexpected<common::MessageError> failure(sqlite3* db, std::string_view what) {
  return std::unexpected(
      common::MessageError(std::string(what) + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory")));
}

// An empty blob must still be bound as a blob, not as NULL.
int bind_bytes(sqlite3_stmt* statement, int index, const void* data, std::size_t size) {
  static constexpr char NOTHING = 0;
  return sqlite3_bind_blob64(statement, index, size == 0 ? &NOTHING : data, size, SQLITE_STATIC);
}

// Resets the statement whatever way the caller leaves.
struct ResetOnExit {
  sqlite3_stmt* statement;
  explicit ResetOnExit(sqlite3_stmt* to_reset) : statement(to_reset) {}
  ResetOnExit(const ResetOnExit&) = delete;
  ResetOnExit& operator=(const ResetOnExit&) = delete;
  ResetOnExit(ResetOnExit&&) = delete;
  ResetOnExit& operator=(ResetOnExit&&) = delete;
  ~ResetOnExit() {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
};

}  // namespace

void SecretStore::DatabaseCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void SecretStore::StatementFinalizer::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

std::expected<SecretStore, common::MessageError> SecretStore::open(const std::string& path) {
  return open_with(path, true);
}

std::expected<SecretStore, common::MessageError> SecretStore::open_in_memory() { return open_with(":memory:", false); }

std::expected<SecretStore, common::MessageError> SecretStore::open_with(const std::string& path, bool durable) {
  SecretStore store;
  store.durable_ = durable;
  sqlite3* raw = nullptr;
  // The store is reached through its checked directory's descriptor
  // (/proc/self/fd/N/NAME), which SQLite's refusal of links would refuse: the
  // store was checked not to be a symbolic link, and only root and our own
  // uid may change what is in that directory.
  const int opened =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  store.db_.reset(raw);
  if (opened != SQLITE_OK) return failure(raw, "cannot open the store " + path);
  sqlite3_busy_timeout(raw, 5000);
  // WAL with full sync: a commit is on disk before it returns, and a torn
  // write is rolled back on the next open. Temporary tables stay in memory,
  // so the store needs no writable temporary directory. A replaced secret is
  // overwritten with zeros where it lay, not left in a free page: after a
  // change made because a password leaked, the envelope that password opens
  // must not stay behind in the file.
  const char* setup =
      durable ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA temp_store=MEMORY; PRAGMA secure_delete=ON;"
              : "";
  for (const char* sql : {setup, SCHEMA}) {
    if (sqlite3_exec(raw, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
      return failure(raw, "cannot prepare the store " + path);
    }
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(raw, SELECT, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
    return failure(raw, "cannot prepare a query");
  }
  store.select_.reset(statement);
  if (sqlite3_prepare_v3(raw, UPSERT, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
    return failure(raw, "cannot prepare a query");
  }
  store.upsert_.reset(statement);
  return store;
}

std::expected<std::optional<tavrin_account::Secret>, common::MessageError> SecretStore::get(const common::Uuid& user,
                                                                                            std::string_view name) {
  sqlite3_stmt* statement = select_.get();
  const ResetOnExit reset{statement};
  if (bind_bytes(statement, 1, user.bytes.data(), user.bytes.size()) != SQLITE_OK ||
      bind_bytes(statement, 2, name.data(), name.size()) != SQLITE_OK) {
    return failure(db_.get(), "cannot read a secret");
  }
  const int step = sqlite3_step(statement);
  if (step == SQLITE_DONE) return std::nullopt;
  if (step != SQLITE_ROW) return failure(db_.get(), "cannot read a secret");
  const auto column_bytes = [&](int column) {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
    return data == nullptr ? std::vector<std::uint8_t>{} : std::vector<std::uint8_t>(data, data + size);
  };
  const auto name_bytes = column_bytes(0);
  tavrin_account::Secret secret;
  secret.name.assign(name_bytes.begin(), name_bytes.end());
  secret.data = column_bytes(1);
  secret.security_flags.bits = static_cast<std::uint32_t>(sqlite3_column_int64(statement, 2));
  secret.creation_time = sqlite3_column_int64(statement, 3);
  secret.expiration_time = sqlite3_column_int64(statement, 4);
  return secret;
}

std::expected<void, common::MessageError> SecretStore::put(const common::Uuid& user,
                                                           const tavrin_account::Secret& secret) {
  sqlite3_stmt* statement = upsert_.get();
  const ResetOnExit reset{statement};
  if (bind_bytes(statement, 1, user.bytes.data(), user.bytes.size()) != SQLITE_OK ||
      bind_bytes(statement, 2, secret.name.data(), secret.name.size()) != SQLITE_OK ||
      bind_bytes(statement, 3, secret.data.data(), secret.data.size()) != SQLITE_OK ||
      sqlite3_bind_int64(statement, 4, secret.security_flags.bits) != SQLITE_OK ||
      sqlite3_bind_int64(statement, 5, secret.creation_time) != SQLITE_OK ||
      sqlite3_bind_int64(statement, 6, secret.expiration_time) != SQLITE_OK) {
    return failure(db_.get(), "cannot write a secret");
  }
  if (sqlite3_step(statement) != SQLITE_DONE) return failure(db_.get(), "cannot write a secret");
  forget_replaced();
  return {};
}

void SecretStore::forget_replaced() {
  // The log still holds earlier images of the page, the replaced secret among
  // them: copied into the store, then cut to nothing. The put is committed
  // and synced already, so a checkpoint that cannot run now (never with the
  // one connection accountd keeps) only leaves the log for the next one.
  if (durable_) {
    (void)sqlite3_wal_checkpoint_v2(db_.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  }
}

}  // namespace accountd
