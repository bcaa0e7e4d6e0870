#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/message_error.hpp"
#include "common/uuid.hpp"
#include "tavrin_account/secrets.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace accountd {

// Users' secrets in SQLite. Each put is one committed transaction, synced to
// disk before it returns, so a crash never leaves half a secret behind; and
// once it returns, no byte of the secret it replaced is left in the store's
// files.
class SecretStore {
 public:
  [[nodiscard]] static std::expected<SecretStore, common::MessageError> open(const std::string& path);
  [[nodiscard]] static std::expected<SecretStore, common::MessageError> open_in_memory();

  [[nodiscard]] std::expected<std::optional<tavrin_account::Secret>, common::MessageError> get(const common::Uuid& user,
                                                                                               std::string_view name);
  [[nodiscard]] std::expected<void, common::MessageError> put(const common::Uuid& user,
                                                              const tavrin_account::Secret& secret);

 private:
  struct DatabaseCloser {
    void operator()(sqlite3* db) const;
  };
  struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const;
  };
  using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
  using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

  [[nodiscard]] static std::expected<SecretStore, common::MessageError> open_with(const std::string& path,
                                                                                  bool durable);
  void forget_replaced();

  // Declared after the database so that they are finalized before it closes.
  Database db_;
  Statement select_;
  Statement upsert_;
  bool durable_ = false;  // a file, rather than memory
};

}  // namespace accountd
