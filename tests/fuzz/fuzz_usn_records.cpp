// libFuzzer target over the change-journal record readers: the record parser at every offset,
// the resynchronising walk, the walk that fills candidates and the candidate map, and the
// read loop answering with the input as its records.
//
// Input: one option byte (bit 0 full mode, bit 1 a scope, bits 2-3 the number of read
// answers, bit 4 the prepared folder test), then the bytes of a record buffer.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <unordered_set>
#include <vector>

#include "engine/windows/usn_deleted/usn_journal_io.h"
#include "engine/windows/usn_deleted/usn_record.h"
#include "engine/windows/usn_deleted/usn_walk.h"
#include "platform/ntfs_control.h"

namespace ew = kavel_lib::engine::windows;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t options = data[0];
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);

  for (std::size_t at = 0; at < bytes.size() && at < 512; ++at) {
    if (auto r = ew::parse_usn_record(bytes, at)) {
      if (r->record_length < 60 || r->record_length > bytes.size() - at) __builtin_trap();
    }
  }
  ew::for_each_usn_record(bytes, [&](const ew::ParsedUsnRecord& r, std::size_t at) {
    if (at + r.record_length > bytes.size()) __builtin_trap();
  });

  const std::unordered_set<std::uint64_t> scope{5, 0x26, 0x40};
  const ew::DirNameMap names{{5, {"", 5}}, {0x26, {"sub", 5}}, {0x40, {"deep", 0x26}}};
  ew::UsnWalkContext context;
  context.folder = "E:\\docs";
  context.dir_ref = 0x0005000000000005;
  context.dir_frn = 5;
  context.full = (options & 1) != 0;
  if (options & 2) {
    context.scope_set = &scope;
    context.dir_names = &names;
  }
  context.path_exists = [](std::string_view path) { return path.size() % 3 == 0; };
  if (options & 16) context.containment = std::make_shared<const ew::FolderContainment>(context.folder);
  ew::UsnFindings findings;
  std::unordered_set<std::uint64_t> unpaired;
  ew::walk_usn_buffer(bytes, context, findings, unpaired);
  const std::size_t cap = context.full ? ew::kFullCandidateCap : ew::kNearCandidateCap;
  if (findings.candidate_map.names_by_frn.size() > cap) __builtin_trap();
  if (findings.candidates.size() != findings.seen_keys.size()) __builtin_trap();

  // The read loop: every answer is the input, its first 8 bytes the next USN.
  int answers = (options >> 2) & 3;
  ew::JournalControl control = [&](std::uint32_t code, std::span<const std::uint8_t>,
                                    std::span<std::uint8_t> out) -> std::expected<std::size_t, kavel_lib::platform::WinError> {
    if (code != kavel_lib::platform::ctl::FSCTL_READ_USN_JOURNAL || answers-- <= 0) {
      return std::unexpected(kavel_lib::platform::WinError{38});
    }
    const std::size_t n = std::min(bytes.size(), out.size());
    std::copy_n(bytes.begin(), n, out.begin());
    return n;
  };
  ew::UsnJournalData journal;
  journal.first_usn = 0;
  journal.next_usn = 1 << 30;
  ew::UsnFindings read_findings;
  std::unordered_set<std::uint64_t> read_unpaired;
  (void)ew::read_usn_journal_range(control, context, journal, 0, read_findings, read_unpaired);
  return 0;
}
