// The decoder of "config.json". The text is parsed through the JSON library's event interface
// so that every key is seen (a key given twice is caught) and the nesting depth is counted.
#include <nlohmann/json.hpp>

#include <array>
#include <set>

#include "service/tool_config.h"
#include "service/utf8_text.h"

namespace kavel_lib::service {

namespace {

using nlohmann::json;

// Containers may nest 127 deep; the 128th opening fails.
constexpr std::size_t kDepthLimit = 128;
constexpr std::size_t kFieldCount = 5;
constexpr std::array<std::string_view, kFieldCount> kKeys = {"ddrescue", "testdisk", "photorec", "fls", "foremost"};

std::optional<std::string>& field_at(ToolConfig& config, std::size_t index) {
  switch (index) {
    case 0: return config.ddrescue;
    case 1: return config.testdisk;
    case 2: return config.photorec;
    case 3: return config.fls;
    default: return config.foremost;
  }
}

class ConfigDecoder final : public nlohmann::json_sax<json> {
 public:
  ToolConfig config;

  bool null() override { return scalar(Scalar::Null, nullptr); }
  bool boolean(bool) override { return scalar(Scalar::Other, nullptr); }
  bool number_integer(number_integer_t) override { return scalar(Scalar::Other, nullptr); }
  bool number_unsigned(number_unsigned_t) override { return scalar(Scalar::Other, nullptr); }
  bool number_float(number_float_t, const string_t&) override { return scalar(Scalar::Other, nullptr); }
  bool string(string_t& value) override { return scalar(Scalar::Text, &value); }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override { return open(Container::Object); }
  bool key(string_t& name) override {
    if (depth_ != 1) return true;  // inside a skipped value
    if (!keys_seen_.insert(name).second) return false;  // a key given twice
    pending_field_ = -1;
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
      if (kKeys[i] == name) pending_field_ = static_cast<int>(i);
    }
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Container::Array); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  enum class Scalar { Null, Text, Other };
  enum class Container { Object, Array };

  // The field that the next value at depth 1 fills: -1 for a skipped value.
  int target_field() {
    if (top_ == Container::Object) return pending_field_;
    if (array_index_ >= kFieldCount) return -2;  // a sixth value
    return static_cast<int>(array_index_++);
  }

  bool scalar(Scalar kind, string_t* text) {
    if (depth_ == 0) return false;  // a bare value at the top
    if (depth_ > 1) return true;
    const int field = target_field();
    if (field == -2) return false;
    if (field == -1) return true;
    if (kind == Scalar::Other) return false;
    if (kind == Scalar::Text) field_at(config, static_cast<std::size_t>(field)) = std::move(*text);
    return true;
  }

  bool open(Container kind) {
    if (depth_ == 0) {
      top_ = kind;
    } else if (depth_ == 1) {
      const int field = target_field();
      if (field != -1) return false;  // a field holds a container, or a sixth value
    }
    ++depth_;
    return depth_ < kDepthLimit;
  }

  bool close() {
    --depth_;
    return true;
  }

  std::size_t depth_ = 0;
  Container top_ = Container::Object;
  std::set<std::string, std::less<>> keys_seen_;
  int pending_field_ = -1;
  std::size_t array_index_ = 0;
};

}  // namespace

std::optional<ToolConfig> parse_tool_config(std::string_view text) {
  // The JSON library would skip a byte-order mark by itself; the file format forbids one.
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  if (!is_valid_utf8(text)) return std::nullopt;
  // The JSON library takes a NUL byte for the end of the input, so "{}\0junk" would pass; a NUL
  // is never part of valid JSON text (inside a string it must be escaped).
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  ConfigDecoder decoder;
  try {
    if (!json::sax_parse(text.begin(), text.end(), &decoder, json::input_format_t::json, /*strict=*/true,
                         /*ignore_comments=*/false)) {
      return std::nullopt;
    }
  } catch (...) {
    return std::nullopt;
  }
  return std::move(decoder.config);
}

}  // namespace kavel_lib::service
