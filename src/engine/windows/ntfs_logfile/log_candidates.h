// What the $LogFile scan finds, and how several findings for one file are folded together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace kavel_lib::engine::windows {

// One finding: a record number alone (kind 0) or a name with its parent (kind 1).
struct LogCandidate {
  static constexpr std::uint32_t kRecordOnly = 0;
  static constexpr std::uint32_t kNamed = 1;

  std::uint32_t kind = kRecordOnly;
  std::uint64_t parent = 0;  // 48-bit; named candidates only
  std::optional<std::string> name;
  std::uint64_t frn = 0;  // 0: unknown
  friend bool operator==(const LogCandidate&, const LogCandidate&) = default;
};

// The findings of one scan by key: the record number, or the parent for a named finding
// without one. Ordered, so that the candidates come out the same way on every run.
using LogCandidateMap = std::map<std::uint64_t, LogCandidate>;

// Most distinct keys one scan keeps; a crafted log cannot make the map grow past this (later
// findings for keys already held are still merged).
inline constexpr std::size_t kMaxLogCandidates = 65536;

// Folds c into the map: under its record number, else (named, parent not 0) under its parent;
// a candidate without either is dropped. An existing entry takes c's non-zero record number,
// c's kind and parent when it is a record-number-only entry, and c's name when it has none.
void merge_logfile_candidate(LogCandidateMap& map, LogCandidate c);

}  // namespace kavel_lib::engine::windows
