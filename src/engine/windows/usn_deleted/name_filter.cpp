#include "engine/windows/usn_deleted/name_filter.h"

#include <algorithm>
#include <initializer_list>
#include <string>

namespace kavel_lib::engine::windows {
namespace {

bool ends_with_any(std::string_view s, std::initializer_list<std::string_view> literals) {
  return std::any_of(literals.begin(), literals.end(), [s](std::string_view l) { return s.ends_with(l); });
}
bool starts_with_any(std::string_view s, std::initializer_list<std::string_view> literals) {
  return std::any_of(literals.begin(), literals.end(), [s](std::string_view l) { return s.starts_with(l); });
}
bool contains_any(std::string_view s, std::initializer_list<std::string_view> literals) {
  return std::any_of(literals.begin(), literals.end(),
                     [s](std::string_view l) { return s.find(l) != std::string_view::npos; });
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// An object file whose stem is a plain identifier (hashed build artefacts such as
// "parser_core-1a2b3c.o"); short names like "main.o" are kept.
bool is_build_object(std::string_view lower) {
  if (!lower.ends_with(".o") || lower.size() <= 13) return false;
  const std::string_view stem = lower.substr(0, lower.size() - 2);
  return std::all_of(stem.begin(), stem.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
}

bool strict_noise(std::string_view n) {
  return ends_with_any(n, {".rcgu.o", ".rmeta", ".rlib", ".d"}) || n.ends_with(".pdb") ||
         starts_with_any(n, {"dep-lib-", "lib-", "lib."}) || contains_any(n, {".cargo_metadata.", ".tokio."}) ||
         n == "invoked.timestamp" || starts_with_any(n, {"tmp.", "rmeta", "rustc", "s-hi"}) ||
         contains_any(n, {"-working", "dep-graph", "query-cache", "work-products", "tarnwick"}) ||
         n.starts_with("bin-") || is_build_object(n) || ends_with_any(n, {".bin", ".exe"});
}

bool relaxed_noise(std::string_view n) {
  return contains_any(n, {".cargo_metadata.", "dep-graph", "query-cache", "work-products", ".tokio."}) ||
         n == "invoked.timestamp" || starts_with_any(n, {"rustc", "s-hi"}) ||
         ends_with_any(n, {".rcgu.o", ".rmeta", ".rlib"}) || n.find("tarnwick") != std::string_view::npos;
}

}  // namespace

bool is_plausible_file_name(std::string_view name, bool relaxed) {
  if (name.empty()) return false;
  if (name.find_first_of("\\/") != std::string_view::npos) return false;
  if (name.size() >= 32 && std::all_of(name.begin(), name.end(), is_hex_digit)) return false;

  std::string lower(name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return relaxed ? !relaxed_noise(lower) : !strict_noise(lower);
}

}  // namespace kavel_lib::engine::windows
