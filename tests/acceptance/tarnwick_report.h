// What the acceptance tests read: the built tarnwick run on a mapped volume with its report
// parsed into entries, and the Sleuth Kit's view of the same image.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/test_env.h"

namespace kavel_acceptance {

struct ReportEntry {
  std::uint64_t frn = 0;
  std::uint64_t parent = 0;
  std::uint64_t size = 0;
  std::optional<std::uint64_t> time;
  std::string path;
};

struct Report {
  int status = -1;
  std::string output;
  std::string usn_line;  // after "USN: "
  std::string mft_line;  // after "MFT: ", empty without one
  std::optional<std::uint64_t> total;
  std::vector<ReportEntry> entries;

  // How often each path is listed.
  [[nodiscard]] std::map<std::string, int> path_counts() const {
    std::map<std::string, int> out;
    for (const auto& e : entries) ++out[e.path];
    return out;
  }
  [[nodiscard]] std::set<std::pair<std::uint64_t, std::string>> frn_paths() const {
    std::set<std::pair<std::uint64_t, std::string>> out;
    for (const auto& e : entries) out.emplace(e.frn, e.path);
    return out;
  }
};

inline Report parse_report(int status, std::string output) {
  Report r;
  r.status = status;
  r.output = std::move(output);
  static const std::regex entry_line(R"(^  FRN (\d+) parent (\d+) size (\d+)(?: time=(\d+))? (.*)$)");
  static const std::regex total_line(R"(^Total (\d+) paths \(deduplicated by FRN\|path\)$)");
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_match(line, m, entry_line)) {
      ReportEntry e;
      e.frn = std::stoull(m[1].str());
      e.parent = std::stoull(m[2].str());
      e.size = std::stoull(m[3].str());
      if (m[4].matched) e.time = std::stoull(m[4].str());
      e.path = m[5].str();
      r.entries.push_back(std::move(e));
    } else if (std::regex_match(line, m, total_line)) {
      r.total = std::stoull(m[1].str());
    } else if (line.starts_with("USN: ")) {
      r.usn_line = line.substr(5);
    } else if (line.starts_with("MFT: ")) {
      r.mft_line = line.substr(5);
    }
  }
  return r;
}

// tarnwick FOLDER with KAVEL_DRIVES set to `drives`.
inline Report run_tarnwick(const std::string& drives, const std::string& folder) {
  const auto run = kavel_test::run_command("KAVEL_DRIVES=" + kavel_test::shell_quote(drives) + " " +
                                           kavel_test::shell_quote(kavel_test::program_path("tarnwick").string()) +
                                           " " + kavel_test::shell_quote(folder) + " 2>&1");
  return parse_report(run.status, run.output);
}

// One line of fls: its record number, whether it is marked deleted and its path ('/' separated).
struct FlsEntry {
  std::uint64_t frn = 0;
  bool deleted = false;
  bool reallocated = false;
  std::string path;
};

// fls -r -p (with -o SECTORS when the volume starts inside the image) over the whole volume.
inline std::optional<std::vector<FlsEntry>> fls_entries(const std::string& image, std::uint64_t sector_offset = 0,
                                                        const std::string& extra = "") {
  std::string command = "fls -r -p " + extra + " ";
  if (sector_offset != 0) command += "-o " + std::to_string(sector_offset) + " ";
  command += kavel_test::shell_quote(image) + " 2>/dev/null";
  const auto run = kavel_test::run_command(command);
  if (run.status != 0) return std::nullopt;
  // "r/r * 86-128-2:\tdocs/2/x.dat", "-/r * 83(realloc):\t..." , "d/d 65-144-2:\tdocs/2"
  static const std::regex line_re(R"(^\S+ (\* )?(\d+)(\(realloc\))?[-0-9]*:\t(.*)$)");
  std::vector<FlsEntry> out;
  std::istringstream in(run.output);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, line_re)) continue;
    out.push_back(FlsEntry{std::stoull(m[2].str()), m[1].matched, m[3].matched, m[4].str()});
  }
  return out;
}

// "docs/2/x.txt" as the scanner shows it on drive E: "E:\docs\2\x.txt".
inline std::string windows_path(const std::string& relative, char letter = 'E') {
  std::string out = std::string(1, letter) + ":\\";
  for (char c : relative) out += c == '/' ? '\\' : c;
  return out;
}

inline std::string parent_of(const std::string& path) {
  const auto cut = path.rfind('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}
inline std::string name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }
inline std::string windows_name_of(const std::string& path) { return path.substr(path.rfind('\\') + 1); }

}  // namespace kavel_acceptance
