// The decoder of "config.json" and the UTF-8 helpers on arbitrary bytes. A decoded record must
// agree with the JSON library's own reading of the same text.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/tool_config.h"
#include "service/utf8_text.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void check_field(const nlohmann::json& value, const std::optional<std::string>& field) {
  if (value.is_string()) check(field == value.get<std::string>());
  else check(!field);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kavel_lib::service;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto lossy = utf8_lossy(text);
  check(is_valid_utf8(lossy));
  check(is_valid_utf8(trim_unicode_whitespace(lossy)));
  if (is_valid_utf8(text)) check(lossy == text);

  const auto config = parse_tool_config(text);
  if (!config) return 0;
  const auto tree = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  check(!tree.is_discarded());
  const std::optional<std::string>* fields[] = {&config->ddrescue, &config->testdisk, &config->photorec,
                                                &config->fls, &config->foremost};
  const char* keys[] = {"ddrescue", "testdisk", "photorec", "fls", "foremost"};
  if (tree.is_object()) {
    for (int i = 0; i < 5; ++i) {
      const auto it = tree.find(keys[i]);
      if (it == tree.end()) check(!*fields[i]);
      else check_field(*it, *fields[i]);
    }
  } else {
    check(tree.is_array() && tree.size() <= 5);
    for (std::size_t i = 0; i < 5; ++i) {
      if (i < tree.size()) check_field(tree[i], *fields[i]);
      else check(!*fields[i]);
    }
  }
  return 0;
}
