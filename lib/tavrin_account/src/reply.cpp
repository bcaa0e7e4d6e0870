#include "reply.hpp"

#include <string>
#include <utility>

#include "tavrin_account/protocol.hpp"

namespace tavrin_account::reply {
namespace {

using json = nlohmann::json;
using strict_json::ReadResult;
using strict_json::refuse;

std::string unknown_variant(std::string_view name) {
  std::string message = "unknown variant `";
  message += name;
  message += "`, expected one of ";
  for (std::size_t i = 0; i < Error::KIND_COUNT; ++i) {
    if (i > 0) message += ", ";
    message += '`';
    message += wire_name(static_cast<Error::Kind>(i));
    message += '`';
  }
  return message;
}

std::expected<Error, common::MessageError> error_from_name(const std::string& name) {
  const auto kind = error_kind_from_name(name);
  if (!kind) return refuse(unknown_variant(name));
  if (error_kind_has_text(*kind)) return refuse("invalid type: unit variant, expected newtype variant");
  return Error::of_kind(*kind);
}

std::expected<Error, common::MessageError> error_from_member(const std::string& name, const json& content) {
  const auto kind = error_kind_from_name(name);
  if (!kind) return refuse(unknown_variant(name));
  if (error_kind_has_text(*kind)) {
    if (!content.is_string()) return refuse(strict_json::invalid_type(content, "a string"));
    return Error::of_kind(*kind, content.get<std::string>());
  }
  if (!content.is_null()) return refuse(strict_json::invalid_type(content, "unit"));
  return Error::of_kind(*kind);
}

constexpr std::string_view SINGLE_KEY = "invalid value: map, expected map with a single key";

// An error as it stands in the reply text: a name, or an object counted by
// the members given, so that a name given twice is two members.
class ErrorReader final : public strict_json::ValueReader {
 public:
  ReadResult scalar(json value) override {
    if (depth_ == 0) {
      if (!value.is_string()) return refuse(strict_json::invalid_type(value, "string or map"));
      name_ = std::move(value.get_ref<std::string&>());
      return {};
    }
    if (members_ != 1) return {};
    return content_.scalar(std::move(value));
  }
  ReadResult open(bool object) override {
    if (depth_ == 0) {
      if (!object) return refuse(strict_json::invalid_type(json::array(), "string or map"));
      depth_ = 1;
      map_ = true;
      return {};
    }
    ++depth_;
    if (members_ != 1) return {};
    return content_.open(object);
  }
  ReadResult key(std::string& name) override {
    if (depth_ == 1) {
      if (++members_ == 1) name_ = name;
      return {};
    }
    if (members_ != 1) return {};
    return content_.key(name);
  }
  ReadResult close() override {
    if (--depth_ == 0 || members_ != 1) return {};
    return content_.close();
  }

  // What the events read, once the value is complete and none was refused.
  [[nodiscard]] std::expected<Error, common::MessageError> take() {
    if (!map_) return error_from_name(name_);
    if (members_ != 1) return refuse(std::string(SINGLE_KEY));
    return error_from_member(name_, content_.take());
  }

 private:
  std::size_t depth_ = 0;
  bool map_ = false;
  std::size_t members_ = 0;
  std::string name_;
  strict_json::TreeReader content_;
};

}  // namespace

std::expected<void, Error> exchange_request(AccountConnection& connection, std::string_view method,
                                            const json& params) {
  if (auto written = write_request(connection.buffer(), method, params); !written) {
    return std::unexpected(Error::communication(std::move(written).error().text));
  }
  if (auto exchanged = exchange_message(connection); !exchanged) {
    return std::unexpected(Error::communication(exchanged.error().display()));
  }
  return {};
}

std::expected<void, Error> read_reply(std::span<const std::uint8_t> body, strict_json::ValueReader& result) {
  // Which of the two readings of the value counts is known only once
  // "success" has been read, and it may come last.
  ErrorReader failure;
  strict_json::BothReaders value(result, failure);
  auto success = strict_json::read_message(body, RESPONSE_SHAPE, value);
  if (!success) return std::unexpected(Error::communication(std::move(success).error().text));
  if (success->get<bool>()) {
    if (const auto& read = value.first_result(); !read) return std::unexpected(Error::communication(read.error().text));
    return {};
  }
  if (const auto& read = value.second_result(); !read) {
    return std::unexpected(Error::invalid_params(read.error().text).from_daemon());
  }
  auto error = failure.take();
  if (!error) return std::unexpected(Error::invalid_params(std::move(error).error().text).from_daemon());
  return std::unexpected(std::move(*error).from_daemon());
}

}  // namespace tavrin_account::reply
