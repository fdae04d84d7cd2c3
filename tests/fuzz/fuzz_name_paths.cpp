// Fuzzes the $FILE_NAME reading of one FILE record and the Windows path text helpers (the
// same bytes read as a record and as path text).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/windows/ntfs_deleted/candidate_collector.h"
#include "engine/windows/ntfs_deleted/record_names.h"
#include "engine/windows/recycle/path_helpers.h"
#include "engine/windows/usn_deleted/name_filter.h"

using namespace kavel_lib::engine::windows;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  for (const auto& s : record_detail(bytes, {5, 100})) (void)is_plausible_file_name(s.name, false);
  (void)collect_file_names(bytes);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t half = size / 2;
  const std::string_view a = text.substr(0, half);
  const std::string_view b = text.substr(half);
  (void)normalize_path(text);
  (void)last_component(text);
  (void)is_volume_root(text);
  (void)path_is_under(a, b);
  const int ab = compare_path_components(a, b);
  const int ba = compare_path_components(b, a);
  if ((ab < 0) != (ba > 0) || (ab == 0) != (ba == 0)) __builtin_trap();
  (void)has_document_extension(text);
  (void)is_plausible_file_name(text, true);
  DirNameMap names{{7, {std::string(a), 6}}, {6, {std::string(b), 5}}};
  (void)rebuild_path_from_parents(b, 7, a, 5, names, true);
  return 0;
}
