#include "ipc/json_codec.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <exception>
#include <iterator>
#include <utility>

#include <fmt/format.h>

#include "service/utf8_text.h"

namespace kavel_lib::ipc {

std::string JsonError::display() const {
  if (line == 0) return message;
  return fmt::format("{} at line {} column {}", message, line, column);
}

namespace json_codec {

namespace {

bool is_white_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// What the input iterator shares with the parse: how many bytes the lexer took, and whether
// it has looked past the last byte.
struct ReadState {
  std::size_t consumed = 0;
  bool end_seen = false;
};

// A byte iterator over the input that counts what the lexer reads. The lexer's input adapter
// compares it with the end before each byte, so an equal comparison means the lexer looked
// for a byte past the end.
struct CountingIterator {
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* at = nullptr;
  ReadState* state = nullptr;

  reference operator*() const { return *at; }
  CountingIterator& operator++() {
    ++at;
    ++state->consumed;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const {
    const bool equal = at == other.at;
    if (equal && state != nullptr) state->end_seen = true;
    return equal;
  }
};

// Builds a Document from the parser's events and turns the parser's syntax errors into ours.
class Collector {
 public:
  using number_integer_t = nlohmann::json::number_integer_t;
  using number_unsigned_t = nlohmann::json::number_unsigned_t;
  using number_float_t = nlohmann::json::number_float_t;
  using string_t = nlohmann::json::string_t;
  using binary_t = nlohmann::json::binary_t;

  Collector(std::string_view input, const ReadState& state, const ParseLimits& limits)
      : input_(input), state_(state), limits_(limits), keep_nested_(limits.keep_nested) {
    doc_.input = input;
  }

  bool null() { return scalar(Item{}, state_.consumed); }

  bool boolean(bool value) {
    Item item;
    item.kind = Kind::Bool;
    item.boolean = value;
    return scalar(std::move(item), state_.consumed);
  }

  bool number_integer(number_integer_t value) {
    Item item;
    if (value == 0) {
      // Only "-0" comes here as zero (a plain 0 is unsigned): it is the double -0.0.
      item.kind = Kind::Float;
      item.float_value = -0.0;
    } else {
      item.kind = Kind::Signed;
      item.signed_value = value;
    }
    return scalar(std::move(item), number_end());
  }

  bool number_unsigned(number_unsigned_t value) {
    Item item;
    item.kind = Kind::Unsigned;
    item.unsigned_value = value;
    return scalar(std::move(item), number_end());
  }

  bool number_float(number_float_t value, const string_t& /*lexeme*/) {
    const std::size_t end = number_end();
    if (!std::isfinite(value)) return fail(end, "number out of range");
    Item item;
    item.kind = Kind::Float;
    item.float_value = value;
    return scalar(std::move(item), end);
  }

  bool string(string_t& value) {
    Item item;
    item.kind = Kind::String;
    item.text = std::move(value);
    return scalar(std::move(item), state_.consumed);
  }

  bool binary(binary_t& /*value*/) { return fail(state_.consumed, "expected value"); }

  bool start_object(std::size_t /*elements*/) { return open(Kind::Object); }
  bool start_array(std::size_t /*elements*/) { return open(Kind::Array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(string_t& name) {
    const std::size_t end = state_.consumed;
    if (depth_ == 1) {
      top_key_ = std::move(name);
      top_key_end_ = end;
    } else {
      nested_key_ = std::move(name);
    }
    last_event_ = Event::Key;
    last_end_ = end;
    return true;
  }

  bool parse_error(std::size_t position, const std::string& /*last_token*/, const nlohmann::detail::exception& ex) {
    if (error_) return false;
    const std::size_t size = input_.size();
    if (top_done_) {
      const std::size_t at = skip_white_space(top_end_);
      return fail(std::min(at + 1, size), "trailing characters");
    }
    if (ex.id == 406) return fail(std::min(position, size), "number out of range");

    const std::string_view what = ex.what();
    const std::string_view context = context_of(what);
    const auto last_read = what.find("; last read: '");
    if (last_read != std::string_view::npos) {
      // The lexer refused the bytes it was reading; it stopped at the offending byte.
      const auto dash = what.find(" - ");
      const std::string_view reason =
          dash != std::string_view::npos && dash < last_read ? what.substr(dash + 3, last_read - dash - 3) : what;
      const bool in_string = reason.starts_with("invalid string");
      if (reason.find("missing closing quote") != std::string_view::npos || (in_string && position > size)) {
        return fail(size, "EOF while parsing a string");
      }
      if (position > size) return fail(size, eof_text(context));
      if (reason.find("control character") != std::string_view::npos) {
        return fail(position, "control character (\\u0000-\\u001F) found while parsing a string");
      }
      if (reason.find("surrogate") != std::string_view::npos) {
        return fail(position, "lone leading surrogate in hex escape");
      }
      if (reason.find("UTF-8") != std::string_view::npos) return fail(position, "invalid unicode code point");
      if (in_string) return fail(position, "invalid escape");
      if (reason.starts_with("invalid number")) return fail(position, "invalid number");
      return fail(position, unexpected_token_text(context, false, position));
    }

    if (what.find("unexpected end of input") != std::string_view::npos) {
      // The lexer also ends the input at a NUL byte; that byte is out of place, not the end.
      if (position <= size) return fail(position, unexpected_token_text(context, true, position));
      return fail(size, eof_text(context));
    }

    // A whole token came where it does not belong: point at its first byte.
    std::size_t start = last_event_ == Event::None ? 0 : last_end_;
    start = skip_white_space(start);
    bool after_separator = false;
    if ((context == "value" || context == "object key") && (last_event_ == Event::Key || last_event_ == Event::Value) &&
        start < size && (input_[start] == ',' || input_[start] == ':')) {
      after_separator = input_[start] == ',';
      start = skip_white_space(start + 1);
    }
    const std::size_t offset = std::min(start + 1, size);
    if (start < size && start > 0 && is_digit(input_[start - 1]) && (is_digit(input_[start]) || input_[start] == '-')) {
      return fail(offset, "invalid number");
    }
    if (after_separator && start < size &&
        ((context == "object key" && input_[start] == '}') || (context == "value" && input_[start] == ']'))) {
      return fail(offset, "trailing comma");
    }
    return fail(offset, unexpected_token_text(context, true, offset));
  }

  [[nodiscard]] const std::optional<JsonError>& error() const { return error_; }
  Document take_document() { return std::move(doc_); }

 private:
  enum class Event { None, Open, Key, Value };

  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  static std::string_view context_of(std::string_view what) {
    constexpr std::string_view kMarker = "while parsing ";
    const auto at = what.find(kMarker);
    if (at == std::string_view::npos) return {};
    const auto rest = what.substr(at + kMarker.size());
    return rest.substr(0, rest.find(" -"));
  }

  [[nodiscard]] char previous_non_white(std::size_t before) const {
    while (before > 0) {
      --before;
      if (!is_white_space(input_[before])) return input_[before];
    }
    return '\0';
  }

  [[nodiscard]] std::string eof_text(std::string_view context) const {
    const char previous = previous_non_white(input_.size());
    if (context == "array") return "EOF while parsing a list";
    if (context == "object" || context == "object separator") return "EOF while parsing an object";
    if (context == "object key") return previous == ',' ? "EOF while parsing a value" : "EOF while parsing an object";
    return previous == '[' ? "EOF while parsing a list" : "EOF while parsing a value";
  }

  // The text for a token (or, with whole_token false, a byte the lexer refused) that came
  // where the parser expected something else.
  [[nodiscard]] std::string unexpected_token_text(std::string_view context, bool whole_token, std::size_t offset) const {
    if (context == "object key") return "key must be a string";
    if (context == "object separator") return "expected `:`";
    if (context == "array") return "expected `,` or `]`";
    if (context == "object") return "expected `,` or `}`";
    if (!whole_token && offset > 0) {
      // A literal that started well and then went wrong.
      const std::size_t start = skip_white_space(last_event_ == Event::None ? 0 : last_end_);
      if (start + 1 < offset && start < input_.size()) {
        const char first = input_[start];
        if (first == 't' || first == 'f' || first == 'n') return "expected ident";
      }
    }
    return "expected value";
  }

  [[nodiscard]] std::size_t skip_white_space(std::size_t from) const {
    while (from < input_.size() && is_white_space(input_[from])) ++from;
    return from;
  }

  // Where a number just read ends: the lexer reads one byte past a number (and gives it back)
  // unless the number ends the input.
  [[nodiscard]] std::size_t number_end() const {
    if (state_.end_seen || state_.consumed == 0) return state_.consumed;
    return state_.consumed - 1;
  }

  bool fail(std::size_t offset, std::string message) {
    if (!error_) error_ = doc_.error_at(offset, std::move(message));
    return false;
  }

  // Stores a first-level value when the limits keep it; nothing when they do not.
  Item* append_first_level(Item item) {
    if (doc_.top.kind == Kind::Object) {
      if (!limits_.keys.empty()) {
        if (std::find(limits_.keys.begin(), limits_.keys.end(), top_key_) == limits_.keys.end()) return nullptr;
        const auto same = std::count_if(doc_.members.begin(), doc_.members.end(),
                                        [&](const Member& member) { return member.key == top_key_; });
        if (same >= 2) return nullptr;
      }
      doc_.members.push_back(Member{std::move(top_key_), top_key_end_, std::move(item)});
      return &doc_.members.back().value;
    }
    ++doc_.element_count;
    if (doc_.elements.size() >= limits_.max_elements) return nullptr;
    doc_.elements.push_back(std::move(item));
    return &doc_.elements.back();
  }

  // Puts a value into the innermost kept nested container; returns where it now lives.
  nlohmann::json* insert_nested(nlohmann::json value) {
    nlohmann::json* parent = nested_.back();
    if (parent->is_object()) {
      // A repeated key keeps its last value.
      auto& slot = (*parent)[nested_key_];
      slot = std::move(value);
      return &slot;
    }
    parent->push_back(std::move(value));
    return &parent->back();
  }

  static nlohmann::json scalar_json(const Item& item) {
    switch (item.kind) {
      case Kind::Bool: return item.boolean;
      case Kind::Unsigned: return item.unsigned_value;
      case Kind::Signed: return item.signed_value;
      case Kind::Float: return item.float_value;
      case Kind::String: return item.text;
      default: return nullptr;
    }
  }

  bool scalar(Item item, std::size_t end) {
    item.end = end;
    if (depth_ == 0) {
      doc_.top = std::move(item);
      top_done_ = true;
      top_end_ = end;
    } else if (depth_ == 1) {
      append_first_level(std::move(item));
    } else if (capturing_) {
      insert_nested(scalar_json(item));
    }
    last_event_ = Event::Value;
    last_end_ = end;
    return true;
  }

  bool open(Kind kind) {
    const std::size_t at = state_.consumed;
    if (depth_ + 1 >= kNestingLimit) return fail(at, "recursion limit exceeded");
    const auto empty = [kind] { return kind == Kind::Object ? nlohmann::json::object() : nlohmann::json::array(); };
    if (depth_ == 0) {
      doc_.top.kind = kind;
    } else if (depth_ == 1) {
      Item item;
      item.kind = kind;
      current_ = append_first_level(std::move(item));
      capturing_ = keep_nested_ && current_ != nullptr;
      if (capturing_) {
        current_->nested = empty();
        nested_.push_back(&current_->nested);
      }
    } else if (capturing_) {
      nested_.push_back(insert_nested(empty()));
    }
    ++depth_;
    last_event_ = Event::Open;
    last_end_ = at;
    return true;
  }

  bool close() {
    const std::size_t at = state_.consumed;
    --depth_;
    if (depth_ == 0) {
      doc_.top.end = at;
      top_done_ = true;
      top_end_ = at;
    } else {
      if (capturing_) nested_.pop_back();
      if (depth_ == 1) {
        if (current_ != nullptr) current_->end = at;
        current_ = nullptr;
        capturing_ = false;
      }
    }
    last_event_ = Event::Value;
    last_end_ = at;
    return true;
  }

  std::string_view input_;
  const ReadState& state_;
  const ParseLimits& limits_;
  bool keep_nested_;
  // The first-level container being read (when kept), and whether its content is kept.
  Item* current_ = nullptr;
  bool capturing_ = false;
  Document doc_;
  std::optional<JsonError> error_;

  std::size_t depth_ = 0;
  Event last_event_ = Event::None;
  std::size_t last_end_ = 0;
  bool top_done_ = false;
  std::size_t top_end_ = 0;
  std::string top_key_;
  std::size_t top_key_end_ = 0;
  std::string nested_key_;
  std::vector<nlohmann::json*> nested_;
};

// The length of the UTF-8 sequence at text[at], or 0 when it is not well formed.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

// Quotes a text inside an error message: quotes and backslashes escaped, control characters as
// \u{hex}.
std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out += fmt::format("\\u{{{:x}}}", byte);
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace

JsonError Document::error_at(std::size_t offset, std::string message) const {
  JsonError error{std::move(message)};
  if (!input) return error;
  const std::string_view text = *input;
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  error.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const auto last_newline = before.rfind('\n');
  error.column = last_newline == std::string_view::npos ? offset : offset - last_newline - 1;
  return error;
}

std::expected<Document, JsonError> parse_document(std::string_view input, const ParseLimits& limits) {
  ReadState state;
  Collector collector(input, state, limits);
  // The parser would skip a byte order mark; a message must not start with one.
  if (!input.empty() && static_cast<unsigned char>(input.front()) == 0xEF) {
    Document doc;
    doc.input = input;
    return std::unexpected(doc.error_at(1, "expected value"));
  }
  CountingIterator first{input.data(), &state};
  CountingIterator last{input.data() + input.size(), nullptr};
  bool parsed = false;
  try {
    parsed = nlohmann::json::sax_parse(first, last, &collector);
  } catch (const std::exception& ex) {
    return std::unexpected(JsonError{ex.what()});
  }
  if (collector.error()) return std::unexpected(*collector.error());
  if (!parsed) return std::unexpected(JsonError{"EOF while parsing a value"});
  Document doc = collector.take_document();
  // The lexer takes a NUL byte for the end of the input: whatever follows the value must
  // still be white space only.
  std::size_t rest = doc.top.end;
  while (rest < input.size() && is_white_space(input[rest])) ++rest;
  if (rest < input.size()) return std::unexpected(doc.error_at(rest + 1, "trailing characters"));
  return doc;
}

namespace {

Item item_from_value(const nlohmann::json& value) {
  Item item;
  switch (value.type()) {
    case nlohmann::json::value_t::boolean:
      item.kind = Kind::Bool;
      item.boolean = value.get<bool>();
      break;
    case nlohmann::json::value_t::number_unsigned:
      item.kind = Kind::Unsigned;
      item.unsigned_value = value.get<std::uint64_t>();
      break;
    case nlohmann::json::value_t::number_integer: {
      const auto number = value.get<std::int64_t>();
      if (number >= 0) {
        item.kind = Kind::Unsigned;
        item.unsigned_value = static_cast<std::uint64_t>(number);
      } else {
        item.kind = Kind::Signed;
        item.signed_value = number;
      }
      break;
    }
    case nlohmann::json::value_t::number_float:
      item.kind = Kind::Float;
      item.float_value = value.get<double>();
      break;
    case nlohmann::json::value_t::string:
      item.kind = Kind::String;
      item.text = value.get<std::string>();
      break;
    case nlohmann::json::value_t::object:
      item.kind = Kind::Object;
      item.nested = value;
      break;
    case nlohmann::json::value_t::array:
      item.kind = Kind::Array;
      item.nested = value;
      break;
    default:
      item.kind = Kind::Null;
      break;
  }
  return item;
}

}  // namespace

Document document_from_value(const nlohmann::json& value) {
  Document doc;
  doc.top = item_from_value(value);
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) doc.members.push_back(Member{key, 0, item_from_value(member)});
  } else if (value.is_array()) {
    for (const auto& element : value) doc.elements.push_back(item_from_value(element));
    doc.element_count = doc.elements.size();
  }
  doc.top.nested = nullptr;
  return doc;
}

nlohmann::json take_json(Item& item) {
  switch (item.kind) {
    case Kind::Bool: return item.boolean;
    case Kind::Unsigned: return item.unsigned_value;
    case Kind::Signed: return item.signed_value;
    case Kind::Float: return item.float_value;
    case Kind::String: return std::move(item.text);
    case Kind::Array:
    case Kind::Object: return std::move(item.nested);
    case Kind::Null: break;
  }
  return nullptr;
}

std::string clip_client_value(std::string_view text) {
  const std::string_view kept = service::utf8_prefix(text, kQuotedValueCharacters);
  if (kept.size() == text.size()) return std::string(text);
  return std::string(kept) + "\u2026";
}

std::string unexpected_text(const Item& item) {
  switch (item.kind) {
    case Kind::Null: return "null";
    case Kind::Bool: return fmt::format("boolean `{}`", item.boolean);
    case Kind::Unsigned: return fmt::format("integer `{}`", item.unsigned_value);
    case Kind::Signed: return fmt::format("integer `{}`", item.signed_value);
    case Kind::Float: return fmt::format("floating point `{}`", format_double(item.float_value));
    case Kind::String: return "string " + debug_quoted(clip_client_value(item.text));
    case Kind::Array: return "sequence";
    case Kind::Object: return "map";
  }
  return "value";
}

std::string invalid_type(const Item& item, std::string_view expected) {
  return fmt::format("invalid type: {}, expected {}", unexpected_text(item), expected);
}

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Shortest digits that read back as the same value, then laid out as the wire writes them.
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::scientific);
  std::string_view text(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
  std::string out;
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const auto e = text.find('e');
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  const std::string_view exponent_text = text.substr(e + 1);
  std::from_chars(exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0),
                  exponent_text.data() + exponent_text.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  const int length = static_cast<int>(digits.size());
  const int point = exponent + 1;  // digits before the decimal point
  if (point >= length && point <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(point - length), '0');
    out += ".0";
  } else if (point > 0 && point <= 16) {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  } else if (point > -5 && point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (length == 1) {
    out += digits;
    out += fmt::format("e{}", point - 1);
  } else {
    out += digits.front();
    out += '.';
    out += digits.substr(1);
    out += fmt::format("e{}", point - 1);
  }
  return out;
}

std::expected<void, JsonError> append_string(std::string& out, std::string_view text) {
  out += '"';
  std::size_t at = 0;
  while (at < text.size()) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      const std::size_t length = utf8_sequence_length(text, at);
      if (length == 0) {
        return std::unexpected(JsonError{fmt::format("invalid UTF-8 byte at index {}: 0x{:02X}", at, byte)});
      }
      out.append(text.substr(at, length));
      at += length;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (byte < 0x20) {
          out += fmt::format("\\u{:04x}", byte);
        } else {
          out += c;
        }
    }
    ++at;
  }
  out += '"';
  return {};
}

std::expected<void, JsonError> append_value(std::string& out, const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::discarded:
      out += "null";
      return {};
    case nlohmann::json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return {};
    case nlohmann::json::value_t::number_unsigned:
      out += fmt::format("{}", value.get<std::uint64_t>());
      return {};
    case nlohmann::json::value_t::number_integer:
      out += fmt::format("{}", value.get<std::int64_t>());
      return {};
    case nlohmann::json::value_t::number_float: {
      const double number = value.get<double>();
      out += std::isfinite(number) ? format_double(number) : "null";
      return {};
    }
    case nlohmann::json::value_t::string:
      return append_string(out, value.get_ref<const std::string&>());
    case nlohmann::json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ',';
        first = false;
        if (auto written = append_value(out, element); !written) return written;
      }
      out += ']';
      return {};
    }
    case nlohmann::json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out += ',';
        first = false;
        if (auto written = append_string(out, key); !written) return written;
        out += ':';
        if (auto written = append_value(out, member); !written) return written;
      }
      out += '}';
      return {};
    }
    case nlohmann::json::value_t::binary:
      break;
  }
  return std::unexpected(JsonError{"binary values have no JSON form"});
}

}  // namespace json_codec
}  // namespace kavel_lib::ipc
