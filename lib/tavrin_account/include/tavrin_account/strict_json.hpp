#pragma once

// The one place where JSON text becomes typed records: a strict reader on
// top of the JSON library's event interface, the readers that one value's
// events can be handed to, and the wording of the decoding failures.
//
// Repeated keys are judged only by the reader whose own members they are:
// the message record refuses its own fields twice, a record read by a
// RecordReader refuses its own fields twice, and whatever a reader skips it
// skips unseen.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/message_error.hpp"

namespace tavrin_account::strict_json {

// Arrays and objects may nest this deep minus one.
inline constexpr std::size_t MAX_NESTING = 128;

// What each event of a reader gives: nothing, or why the value is refused.
using ReadResult = std::expected<void, common::MessageError>;

// A decoding failure, as a reader or a field check gives it.
[[nodiscard]] inline std::unexpected<common::MessageError> refuse(std::string text) {
  return std::unexpected(common::MessageError(std::move(text)));
}

// Takes the events of exactly one JSON value, everything nested in it
// included. An event that the reader refuses comes back as its error, and the
// reader is given no further events: whoever feeds it stops there. An event
// refused takes nothing from what it was handed.
class ValueReader {
 public:
  ValueReader() = default;
  ValueReader(const ValueReader&) = delete;
  ValueReader& operator=(const ValueReader&) = delete;
  virtual ~ValueReader() = default;

  // null, boolean, number or string.
  [[nodiscard]] virtual ReadResult scalar(nlohmann::json value) = 0;
  [[nodiscard]] virtual ReadResult open(bool object) = 0;
  // Takes the name only when it accepts it.
  [[nodiscard]] virtual ReadResult key(std::string& name) = 0;
  [[nodiscard]] virtual ReadResult close() = 0;
};

// Builds the value as a tree. A key given twice in one object either fails
// or, like the library's own parser, keeps the later value.
class TreeReader final : public ValueReader {
 public:
  enum class RepeatedKeys : std::uint8_t { Refuse, KeepLast };
  explicit TreeReader(RepeatedKeys repeated = RepeatedKeys::KeepLast) : repeated_(repeated) {}

  [[nodiscard]] ReadResult scalar(nlohmann::json value) override;
  [[nodiscard]] ReadResult open(bool object) override;
  [[nodiscard]] ReadResult key(std::string& name) override;
  [[nodiscard]] ReadResult close() override;

  // The value once its events are complete; the reader is then ready for
  // the next one.
  [[nodiscard]] nlohmann::json take() { return std::exchange(root_, nullptr); }

 private:
  nlohmann::json* place(nlohmann::json value);

  RepeatedKeys repeated_;
  nlohmann::json root_;
  // Pointers stay valid: a container only grows once every child opened
  // after it has been closed.
  std::vector<nlohmann::json*> open_;
  std::string pending_key_;
};

// A record of named fields: an object (fields in any order, other members
// skipped whatever they hold, none of the fields twice) or an array of
// exactly as many elements as there are fields, in field order. Each field is
// kept as a tree for the caller to check.
class RecordReader final : public ValueReader {
 public:
  RecordReader(std::string_view struct_name, std::span<const std::string_view> fields);

  [[nodiscard]] ReadResult scalar(nlohmann::json value) override;
  [[nodiscard]] ReadResult open(bool object) override;
  [[nodiscard]] ReadResult key(std::string& name) override;
  [[nodiscard]] ReadResult close() override;

  // The fields in declaration order, once the record has closed without a
  // refusal.
  [[nodiscard]] std::vector<nlohmann::json> take();

 private:
  void begin_field();
  void end_field();

  std::string_view struct_name_;
  std::span<const std::string_view> names_;
  std::vector<std::optional<nlohmann::json>> fields_;
  std::size_t depth_ = 0;
  bool object_ = false;
  bool closed_ = false;
  std::size_t elements_ = 0;
  std::optional<std::size_t> next_field_;  // from the last key; nullopt: skipped member
  std::optional<std::size_t> field_;       // the field whose value is being read
  TreeReader tree_;
};

// Hands every event to both readers, each until it refuses one. Never
// refuses an event itself: which reader's verdict counts is decided once the
// value is read, from first_result() and second_result().
class BothReaders final : public ValueReader {
 public:
  BothReaders(ValueReader& first, ValueReader& second) : first_(first), second_(second) {}

  [[nodiscard]] ReadResult scalar(nlohmann::json value) override;
  [[nodiscard]] ReadResult open(bool object) override;
  [[nodiscard]] ReadResult key(std::string& name) override;
  [[nodiscard]] ReadResult close() override;

  // Each reader's verdict on the events it was given.
  [[nodiscard]] const ReadResult& first_result() const { return first_result_; }
  [[nodiscard]] const ReadResult& second_result() const { return second_result_; }

 private:
  ValueReader& first_;
  ValueReader& second_;
  ReadResult first_result_;
  ReadResult second_result_;
};

// A message body that is a record of two fields: the first a boolean or a
// string, the second any value, whose events go to the given reader.
struct MessageShape {
  enum class FirstKind : std::uint8_t { Boolean, String };
  std::string_view struct_name;
  std::string_view first_field;
  std::string_view second_field;
  FirstKind first_kind = FirstKind::Boolean;
};

// " at line L column C" for an error after `read` bytes of `body`: C counts
// the bytes of line L up to and including the last one read.
[[nodiscard]] std::string text_location(std::span<const std::uint8_t> body, std::size_t read);

// Reads the body as exactly one such record, with only blank, tab, line feed
// and carriage return around it, and gives the first field. A failure of
// `second` fails the message. Every failure ends with the line and column
// where it lies.
[[nodiscard]] std::expected<nlohmann::json, common::MessageError> read_message(std::span<const std::uint8_t> body,
                                                                               const MessageShape& shape,
                                                                               ValueReader& second);

// How a value that was not wanted is named in a failure: "integer `5`",
// "string \"x\"", "map", ...
[[nodiscard]] std::string describe_unexpected(const nlohmann::json& value);
[[nodiscard]] std::string invalid_type(const nlohmann::json& value, std::string_view expected);

// The library's message without its "[json.exception...] " tag.
[[nodiscard]] std::string library_message(const char* what);

}  // namespace tavrin_account::strict_json
