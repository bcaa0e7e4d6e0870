#include "strict_json.hpp"

#include <iterator>
#include <vector>

#include "common/quote.hpp"

namespace tavrin_account::detail {
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

// Builds one JSON value from parser events; an object may not name a key
// twice. Pointers into the tree stay valid because a container only grows
// once every child opened after it has been closed.
class ValueBuilder {
 public:
  void begin(json* root) {
    root_ = root;
    open_.clear();
  }
  [[nodiscard]] bool building() const { return !open_.empty(); }
  void add(json value) { (void)place(std::move(value)); }
  void open(bool object) { open_.push_back(place(object ? json::object() : json::array())); }
  void close() { open_.pop_back(); }
  [[nodiscard]] bool take_key(std::string& key) {
    auto& members = open_.back()->get_ref<json::object_t&>();
    if (members.contains(key)) return false;
    pending_key_ = std::move(key);
    return true;
  }

 private:
  json* place(json value) {
    if (open_.empty()) {
      *root_ = std::move(value);
      return root_;
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

  json* root_ = nullptr;
  std::vector<json*> open_;
  std::string pending_key_;
};

class EnvelopeReader {
 public:
  explicit EnvelopeReader(const EnvelopeShape& shape) : shape_(shape) {}

  // Parser events.
  bool null() { return scalar(json(nullptr)); }
  bool boolean(bool value) { return scalar(json(value)); }
  bool number_integer(json::number_integer_t value) { return scalar(json(value)); }
  bool number_unsigned(json::number_unsigned_t value) { return scalar(json(value)); }
  bool number_float(json::number_float_t value, const std::string& /*text*/) { return scalar(json(value)); }
  bool string(std::string& value) { return scalar(json(std::move(value))); }
  bool binary(json::binary_t& /*value*/) { return fail("unexpected binary value"); }
  bool start_object(std::size_t /*elements*/) { return open(true); }
  bool start_array(std::size_t /*elements*/) { return open(false); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(std::string& name);
  bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                   const nlohmann::detail::exception& error) {
    error_ = library_message(error.what());
    located_ = true;
    return false;
  }

  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] bool located() const { return located_; }
  [[nodiscard]] Envelope take() { return std::move(envelope_); }

 private:
  enum class Root : std::uint8_t { None, Object, Array };
  enum class Field : std::uint8_t { None, First, Second, Skip, Extra };

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  [[nodiscard]] std::string expected_struct() const { return "struct " + std::string(shape_.struct_name); }

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

  const EnvelopeShape& shape_;
  Envelope envelope_;
  std::string error_;
  bool located_ = false;

  std::size_t depth_ = 0;
  Root root_ = Root::None;
  Field pending_ = Field::None;
  std::size_t elements_ = 0;
  bool seen_first_ = false;
  bool seen_second_ = false;
  ValueBuilder second_;
  std::size_t second_depth_ = 0;  // nonzero while the second field's container is open
  std::size_t skip_depth_ = 0;    // nonzero while a skipped member's container is open
};

bool EnvelopeReader::key(std::string& name) {
  if (second_depth_ != 0) {
    if (!second_.take_key(name)) return fail("duplicate key `" + name + "`");
    return true;
  }
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

bool EnvelopeReader::store_first(json value) {
  const bool wanted = shape_.first_kind == EnvelopeShape::FirstKind::Boolean ? value.is_boolean() : value.is_string();
  if (!wanted) {
    return fail(invalid_type(value, shape_.first_kind == EnvelopeShape::FirstKind::Boolean ? "a boolean" : "a string"));
  }
  envelope_.first = std::move(value);
  seen_first_ = true;
  return true;
}

bool EnvelopeReader::scalar(json value) {
  if (depth_ == 0) return fail(invalid_type(value, expected_struct()));
  if (second_depth_ != 0) {
    second_.add(std::move(value));
    return true;
  }
  if (skip_depth_ != 0) return true;
  switch (field_of_next_value()) {
    case Field::First: return store_first(std::move(value));
    case Field::Second:
      envelope_.second = std::move(value);
      seen_second_ = true;
      return true;
    case Field::Extra: return fail("trailing characters");
    case Field::Skip:
    case Field::None: return true;
  }
  return true;
}

bool EnvelopeReader::open(bool object) {
  if (++depth_ >= MAX_NESTING) return fail("recursion limit exceeded");
  if (depth_ == 1) {
    root_ = object ? Root::Object : Root::Array;
    return true;
  }
  if (second_depth_ != 0) {
    second_.open(object);
    return true;
  }
  if (skip_depth_ != 0) return true;
  switch (field_of_next_value()) {
    case Field::First:
      return fail(invalid_type(object ? json::object() : json::array(),
                               shape_.first_kind == EnvelopeShape::FirstKind::Boolean ? "a boolean" : "a string"));
    case Field::Second:
      second_.begin(&envelope_.second);
      second_.open(object);
      second_depth_ = depth_;
      return true;
    case Field::Extra: return fail("trailing characters");
    case Field::Skip:
    case Field::None: skip_depth_ = depth_; return true;
  }
  return true;
}

bool EnvelopeReader::close() {
  const std::size_t closing = depth_--;
  if (second_depth_ != 0) {
    second_.close();
    if (closing == second_depth_) {
      second_depth_ = 0;
      seen_second_ = true;
    }
    return true;
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

std::string location(std::span<const std::uint8_t> body, std::size_t offset) {
  std::size_t line = 1;
  std::size_t column = 0;
  for (std::size_t i = 0; i < offset && i < body.size(); ++i) {
    if (body[i] == '\n') {
      ++line;
      column = 0;
    } else {
      ++column;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace

std::expected<Envelope, std::string> read_envelope(std::span<const std::uint8_t> body, const EnvelopeShape& shape) {
  const char* begin = reinterpret_cast<const char*>(body.data());
  const char* end = begin + body.size();
  const char* furthest = begin;
  EnvelopeReader reader(shape);
  const bool parsed = json::sax_parse(TrackedIterator(begin, &furthest), TrackedIterator(end, &furthest), &reader,
                                      json::input_format_t::json, /*strict=*/true, /*ignore_comments=*/false);
  if (!parsed) {
    if (reader.located()) return std::unexpected(reader.error());
    return std::unexpected(reader.error() + location(body, static_cast<std::size_t>(furthest - begin)));
  }
  return reader.take();
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

}  // namespace tavrin_account::detail
