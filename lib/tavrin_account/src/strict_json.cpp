#include "tavrin_account/strict_json.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

#include "common/invariant.hpp"
#include "common/quote.hpp"

namespace tavrin_account::strict_json {
namespace {

using json = nlohmann::json;

// A byte iterator that tells how far the parser has read, so that failures
// found by the event handler can say where they are.
class TrackedIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackedIterator(const char* at, const char** furthest) : at_(at), furthest_(furthest) {}
  reference operator*() const { return *at_; }
  TrackedIterator& operator++() {
    ++at_;
    *furthest_ = at_;
    return *this;
  }
  TrackedIterator operator++(int) {
    TrackedIterator before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const TrackedIterator& a, const TrackedIterator& b) { return a.at_ == b.at_; }

 private:
  const char* at_;
  const char** furthest_;
};

// The library takes a NUL byte for the end of the input and skips a leading
// byte-order mark; neither may stand in a reply.
ReadResult refuse_foreign_bytes(std::span<const std::uint8_t> body) {
  constexpr std::array<std::uint8_t, 3> BYTE_ORDER_MARK = {0xEF, 0xBB, 0xBF};
  if (body.size() >= BYTE_ORDER_MARK.size() &&
      std::equal(BYTE_ORDER_MARK.begin(), BYTE_ORDER_MARK.end(), body.begin())) {
    return refuse("byte-order mark before the value" + text_location(body, 1));
  }
  if (const auto nul = std::ranges::find(body, std::uint8_t{0}); nul != body.end()) {
    return refuse("NUL byte in the text" + text_location(body, static_cast<std::size_t>(nul - body.begin()) + 1));
  }
  return {};
}

class MessageReader {
 public:
  MessageReader(std::span<const std::uint8_t> body, const MessageShape& shape, ValueReader& second)
      : body_(body), shape_(shape), second_(second) {}

  // Parser events.
  bool null() { return other(json(nullptr)); }
  bool boolean(bool value) { return other(json(value)); }
  bool number_integer(json::number_integer_t value) { return number(json(value)); }
  bool number_unsigned(json::number_unsigned_t value) { return number(json(value)); }
  bool number_float(json::number_float_t value, const std::string& /*text*/) { return number(json(value)); }
  bool string(std::string& value) { return other(json(std::move(value))); }
  bool binary(json::binary_t& /*value*/) { return fail("unexpected binary value"); }
  bool start_object(std::size_t /*elements*/) { return open(true); }
  bool start_array(std::size_t /*elements*/) { return open(false); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(std::string& name);
  bool parse_error(std::size_t position, const std::string& /*last_token*/, const json::exception& error) {
    error_ = library_message(error.what());
    // Syntax errors name their place themselves; the others (a number
    // beyond the double range) do not.
    if (dynamic_cast<const json::parse_error*>(&error) == nullptr) error_ += text_location(body_, position);
    located_ = true;
    return false;
  }

  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] bool located() const { return located_; }
  // The parser reads one byte past a number before it reports it.
  [[nodiscard]] bool read_past_number() const { return number_; }
  [[nodiscard]] json take_first() { return std::move(first_); }

 private:
  enum class Root : std::uint8_t { None, Object, Array };
  enum class Field : std::uint8_t { None, First, Second, Skip, Extra };

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  bool other(json value) {
    number_ = false;
    return scalar(std::move(value));
  }
  bool number(json value) {
    number_ = true;
    return scalar(std::move(value));
  }
  // What the second field's reader made of an event: its refusal is the
  // message's.
  bool forwarded(ReadResult read) { return read.has_value() || fail(std::move(read).error().text); }
  [[nodiscard]] std::string expected_struct() const { return "struct " + std::string(shape_.struct_name); }
  [[nodiscard]] std::string_view first_kind() const {
    return shape_.first_kind == MessageShape::FirstKind::Boolean ? "a boolean" : "a string";
  }

  // Which field a value that starts directly inside the root belongs to.
  Field field_of_next_value() {
    if (root_ == Root::Object) return std::exchange(pending_, Field::None);
    switch (elements_++) {
      case 0: return Field::First;
      case 1: return Field::Second;
      default: return Field::Extra;
    }
  }

  bool scalar(json value);
  bool open(bool object);
  bool close();
  bool store_first(json value);

  std::span<const std::uint8_t> body_;
  // Both are the caller's, for the length of one read.
  const MessageShape& shape_;  // NOLINT(cppcoreguidelines-avoid-const-or-ref-data-members)
  ValueReader& second_;        // NOLINT(cppcoreguidelines-avoid-const-or-ref-data-members)
  json first_;
  std::string error_;
  bool located_ = false;
  bool number_ = false;

  std::size_t depth_ = 0;
  Root root_ = Root::None;
  Field pending_ = Field::None;
  std::size_t elements_ = 0;
  bool seen_first_ = false;
  bool seen_second_ = false;
  std::size_t second_depth_ = 0;  // nonzero while the second field's container is open
  std::size_t skip_depth_ = 0;    // nonzero while a skipped member's container is open
};

bool MessageReader::key(std::string& name) {
  number_ = false;
  if (second_depth_ != 0) return forwarded(second_.key(name));
  if (skip_depth_ != 0) return true;
  if (name == shape_.first_field) {
    if (seen_first_) return fail("duplicate field `" + name + "`");
    pending_ = Field::First;
  } else if (name == shape_.second_field) {
    if (seen_second_) return fail("duplicate field `" + name + "`");
    pending_ = Field::Second;
  } else {
    pending_ = Field::Skip;
  }
  return true;
}

bool MessageReader::store_first(json value) {
  const bool wanted = shape_.first_kind == MessageShape::FirstKind::Boolean ? value.is_boolean() : value.is_string();
  if (!wanted) return fail(invalid_type(value, first_kind()));
  first_ = std::move(value);
  seen_first_ = true;
  return true;
}

bool MessageReader::scalar(json value) {
  if (depth_ == 0) return fail(invalid_type(value, expected_struct()));
  if (second_depth_ != 0) return forwarded(second_.scalar(std::move(value)));
  if (skip_depth_ != 0) return true;
  switch (field_of_next_value()) {
    case Field::First: return store_first(std::move(value));
    case Field::Second: seen_second_ = true; return forwarded(second_.scalar(std::move(value)));
    case Field::Extra: return fail("trailing characters");
    case Field::Skip:
    case Field::None: return true;
  }
  return true;
}

bool MessageReader::open(bool object) {
  number_ = false;
  if (++depth_ >= MAX_NESTING) return fail("recursion limit exceeded");
  if (depth_ == 1) {
    root_ = object ? Root::Object : Root::Array;
    return true;
  }
  if (second_depth_ != 0) return forwarded(second_.open(object));
  if (skip_depth_ != 0) return true;
  switch (field_of_next_value()) {
    case Field::First: return fail(invalid_type(object ? json::object() : json::array(), first_kind()));
    case Field::Second: second_depth_ = depth_; return forwarded(second_.open(object));
    case Field::Extra: return fail("trailing characters");
    case Field::Skip:
    case Field::None: skip_depth_ = depth_; return true;
  }
  return true;
}

bool MessageReader::close() {
  number_ = false;
  const std::size_t closing = depth_--;
  if (second_depth_ != 0) {
    if (closing == second_depth_) {
      second_depth_ = 0;
      seen_second_ = true;
    }
    return forwarded(second_.close());
  }
  if (skip_depth_ != 0) {
    if (closing == skip_depth_) skip_depth_ = 0;
    return true;
  }
  // The root itself closes.
  if (root_ == Root::Array) {
    if (elements_ < 2) {
      return fail("invalid length " + std::to_string(elements_) + ", expected " + expected_struct() +
                  " with 2 elements");
    }
    return true;
  }
  if (!seen_first_) return fail("missing field `" + std::string(shape_.first_field) + "`");
  if (!seen_second_) return fail("missing field `" + std::string(shape_.second_field) + "`");
  return true;
}

}  // namespace

std::string text_location(std::span<const std::uint8_t> body, std::size_t read) {
  std::size_t line = 1;
  std::size_t column = 0;
  for (std::size_t i = 0; i < read && i < body.size(); ++i) {
    if (body[i] == '\n') {
      ++line;
      column = 0;
    } else {
      ++column;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

ReadResult TreeReader::scalar(json value) {
  (void)place(std::move(value));
  return {};
}

ReadResult TreeReader::open(bool object) {
  open_.push_back(place(object ? json::object() : json::array()));
  return {};
}

ReadResult TreeReader::key(std::string& name) {
  if (repeated_ == RepeatedKeys::Refuse && open_.back()->get_ref<const json::object_t&>().contains(name)) {
    return refuse("duplicate key `" + name + "`");
  }
  pending_key_ = std::move(name);
  return {};
}

ReadResult TreeReader::close() {
  open_.pop_back();
  return {};
}

json* TreeReader::place(json value) {
  if (open_.empty()) {
    root_ = std::move(value);
    return &root_;
  }
  json& top = *open_.back();
  if (top.is_array()) {
    auto& elements = top.get_ref<json::array_t&>();
    elements.push_back(std::move(value));
    return &elements.back();
  }
  auto& members = top.get_ref<json::object_t&>();
  return &members.insert_or_assign(std::move(pending_key_), std::move(value)).first->second;
}

RecordReader::RecordReader(std::string_view struct_name, std::span<const std::string_view> fields)
    : struct_name_(struct_name), names_(fields), fields_(fields.size()) {}

void RecordReader::begin_field() {
  if (object_) {
    field_ = std::exchange(next_field_, std::nullopt);
  } else {
    const std::size_t index = elements_++;
    field_ = index < names_.size() ? std::optional(index) : std::nullopt;
  }
}

void RecordReader::end_field() {
  if (!field_) common::invariant_broken("a JSON field ended while no field was being read");
  fields_[*field_] = tree_.take();
  field_.reset();
}

ReadResult RecordReader::scalar(json value) {
  if (depth_ == 0) return refuse(invalid_type(value, "struct " + std::string(struct_name_)));
  if (depth_ == 1) begin_field();
  if (!field_) return {};
  if (auto read = tree_.scalar(std::move(value)); !read) return read;
  if (depth_ == 1) end_field();
  return {};
}

ReadResult RecordReader::open(bool object) {
  if (depth_ == 0) {
    object_ = object;
    depth_ = 1;
    return {};
  }
  if (depth_ == 1) begin_field();
  ++depth_;
  if (!field_) return {};
  return tree_.open(object);
}

ReadResult RecordReader::key(std::string& name) {
  if (depth_ != 1) {
    if (!field_) return {};
    return tree_.key(name);
  }
  std::optional<std::size_t> field;
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (name != names_[i]) continue;
    if (fields_[i]) return refuse("duplicate field `" + name + "`");
    field = i;
  }
  next_field_ = field;
  return {};
}

ReadResult RecordReader::close() {
  if (--depth_ != 0) {
    if (!field_) return {};
    if (auto read = tree_.close(); !read) return read;
    if (depth_ == 1) end_field();
    return {};
  }
  closed_ = true;
  const std::string expected = "struct " + std::string(struct_name_);
  if (!object_) {
    if (elements_ < names_.size()) {
      return refuse("invalid length " + std::to_string(elements_) + ", expected " + expected + " with " +
                    std::to_string(names_.size()) + " elements");
    }
    if (elements_ > names_.size()) {
      return refuse("invalid length " + std::to_string(elements_) + ", expected fewer elements in array");
    }
    return {};
  }
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (!fields_[i]) return refuse("missing field `" + std::string(names_[i]) + "`");
  }
  return {};
}

std::vector<json> RecordReader::take() {
  if (!closed_) common::invariant_broken("a JSON record was taken before it closed");
  std::vector<json> fields;
  fields.reserve(fields_.size());
  for (auto& field : fields_) {
    if (!field) common::invariant_broken("a closed JSON record lacks a field");
    fields.push_back(std::move(*field));
  }
  return fields;
}

ReadResult BothReaders::scalar(json value) {
  if (first_result_) first_result_ = first_.scalar(value);
  if (second_result_) second_result_ = second_.scalar(std::move(value));
  return {};
}

ReadResult BothReaders::open(bool object) {
  if (first_result_) first_result_ = first_.open(object);
  if (second_result_) second_result_ = second_.open(object);
  return {};
}

ReadResult BothReaders::key(std::string& name) {
  std::string copy = name;
  if (first_result_) first_result_ = first_.key(copy);
  if (second_result_) second_result_ = second_.key(name);
  return {};
}

ReadResult BothReaders::close() {
  if (first_result_) first_result_ = first_.close();
  if (second_result_) second_result_ = second_.close();
  return {};
}

std::expected<json, common::MessageError> read_message(std::span<const std::uint8_t> body, const MessageShape& shape,
                                                       ValueReader& second) {
  if (auto checked = refuse_foreign_bytes(body); !checked) return std::unexpected(std::move(checked).error());
  const char* begin = reinterpret_cast<const char*>(body.data());
  const char* end = begin + body.size();
  const char* furthest = begin;
  MessageReader reader(body, shape, second);
  const bool parsed = json::sax_parse(TrackedIterator(begin, &furthest), TrackedIterator(end, &furthest), &reader,
                                      json::input_format_t::json, /*strict=*/true, /*ignore_comments=*/false);
  if (!parsed) {
    if (reader.located()) return std::unexpected(common::MessageError(reader.error()));
    auto read = static_cast<std::size_t>(furthest - begin);
    if (reader.read_past_number() && read > 0 && (body[read - 1] < '0' || body[read - 1] > '9')) --read;
    return std::unexpected(common::MessageError(reader.error() + text_location(body, read)));
  }
  return reader.take_first();
}

std::string describe_unexpected(const json& value) {
  switch (value.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return "boolean `" + value.dump() + "`";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return "integer `" + value.dump() + "`";
    case json::value_t::number_float: return "floating point `" + value.dump() + "`";
    case json::value_t::string: return "string " + common::quoted(value.get_ref<const std::string&>());
    case json::value_t::array: return "sequence";
    case json::value_t::object: return "map";
    case json::value_t::binary:
    case json::value_t::discarded: return "value";
  }
  return "value";
}

std::string invalid_type(const json& value, std::string_view expected) {
  return "invalid type: " + describe_unexpected(value) + ", expected " + std::string(expected);
}

std::string library_message(const char* what) {
  std::string_view text(what);
  if (text.starts_with("[json.exception.")) {
    if (const auto tag_end = text.find("] "); tag_end != std::string_view::npos) text.remove_prefix(tag_end + 2);
  }
  return std::string(text);
}

}  // namespace tavrin_account::strict_json
