// The JSON layer under the wire messages.
//
// Reading: a message is parsed with nlohmann-json's SAX interface into a `Document` that holds
// the message's first level as the decoders need it: every key of an object in input order,
// duplicates included, with where it ended in the input; every element of an array; numbers
// with their kind (an unsigned integer is never passed through a double); nested objects and
// arrays only when asked for (as nlohmann::json values), else only their kind. Nesting deeper
// than 127 levels fails with "recursion limit exceeded"; anything but white space after the
// value fails with "trailing characters". The typed decoders (messages.h) work on a Document
// and produce their own texts through the helpers below.
//
// Writing: compact JSON text, strings escaped as the wire wants them.
//
// Every error is a JsonError whose display text is "{message} at line {line} column {column}",
// the position counted in bytes of the input (line from 1; column = the bytes of that line up
// to and including the byte where the fault was noticed, 0 at the start of a line). An error
// of a decode from an in-memory value has no position and displays the message alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace kavel_lib::ipc {

struct JsonError {
  std::string message;
  // 0 when the error has no position.
  std::size_t line = 0;
  std::size_t column = 0;

  [[nodiscard]] std::string display() const;
  friend bool operator==(const JsonError&, const JsonError&) = default;
};

namespace json_codec {

// Containers may nest this deep less one: the 128th open bracket is refused.
inline constexpr std::size_t kNestingLimit = 128;

enum class Kind : std::uint8_t { Null, Bool, Unsigned, Signed, Float, String, Array, Object };

// One value of a message's first level (or the message itself when it is no container).
struct Item {
  Kind kind = Kind::Null;
  bool boolean = false;
  std::uint64_t unsigned_value = 0;
  std::int64_t signed_value = 0;
  double float_value = 0.0;
  std::string text;
  // The whole nested object or array, when the parse keeps nested values.
  nlohmann::json nested;
  // Offset just past the value in the input.
  std::size_t end = 0;
};

struct Member {
  std::string key;
  // Offset just past the key's closing quote.
  std::size_t key_end = 0;
  Item value;
};

struct Document {
  // The message itself: for an object or array its kind and end; for anything else its value.
  Item top;
  std::vector<Member> members;  // when top is an object
  std::vector<Item> elements;   // when top is an array (the first ones kept)
  std::size_t element_count = 0;  // how many elements the array has
  // The input text, for positions; nothing when the document was made from a value.
  std::optional<std::string_view> input;

  // An error noticed once `offset` bytes of the input were read.
  [[nodiscard]] JsonError error_at(std::size_t offset, std::string message) const;
};

// What a parse keeps of the first level. A decoder reads only a few keys and elements; the
// rest is checked for syntax and counted but not stored, so a large message cannot make the
// parse hold one record per value.
struct ParseLimits {
  // Keep nested objects and arrays of the first level whole in Item::nested.
  bool keep_nested = false;
  // Keep only members with these keys, and at most two of each name (enough to see a key
  // repeated). Empty: keep every member.
  std::span<const std::string_view> keys;
  // Keep only the first elements of an array; Document::element_count counts them all.
  std::size_t max_elements = std::numeric_limits<std::size_t>::max();
};

// Parses one JSON value (white space around it allowed).
std::expected<Document, JsonError> parse_document(std::string_view input, const ParseLimits& limits);

// A document made from a value held in memory (no positions). Nested values are kept.
Document document_from_value(const nlohmann::json& value);

// The value of an Item as a JSON value (nested containers are moved out of the item).
nlohmann::json take_json(Item& item);

// A client's value quoted inside an error text is cut to this many characters, so that no
// reply repeating it can outgrow a frame and no log record grows with it.
inline constexpr std::size_t kQuotedValueCharacters = 256;

// `text` as an error quotes it: whole when it has at most kQuotedValueCharacters characters,
// else its first kQuotedValueCharacters characters (no UTF-8 sequence split) followed by "…".
std::string clip_client_value(std::string_view text);

// How an unexpected value is named in an error (a string clipped by clip_client_value): "null", "boolean `true`", "integer `5`",
// "floating point `1.5`", "string \"x\"", "sequence", "map".
std::string unexpected_text(const Item& item);

// "invalid type: {unexpected}, expected {expected}"
std::string invalid_type(const Item& item, std::string_view expected);

// The shortest text that reads back as the same double, in the notation of the wire
// ("1.0", "0.001", "1e20", "1.8446744073709552e19").
std::string format_double(double value);

// Appends a JSON string literal; fails on text that is not valid UTF-8.
std::expected<void, JsonError> append_string(std::string& out, std::string_view text);

// Appends a JSON value compactly (object keys in the value's own order; a double that is not
// finite as null). Fails on text that is not valid UTF-8 and on binary values.
std::expected<void, JsonError> append_value(std::string& out, const nlohmann::json& value);

}  // namespace json_codec
}  // namespace kavel_lib::ipc
