// The scanner's entry: argument selection, the normal and the debug road, and the plain-text
// report of a folder scan. Everything goes to standard output.
#pragma once

#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "engine/windows/raw_mft/mft_probe.h"
#include "engine/windows/scan_records.h"
#include "engine/windows/usn_deleted/usn_scan.h"
#include "platform/errors.h"
#include "scanner/console_output.h"

namespace kavel_lib::scanner {

// The folder used when the arguments name none.
inline constexpr std::string_view kDefaultFolder = "E:\\2";
// The sample folder that the volume-root note suggests.
inline constexpr std::string_view kSampleFolder = "Documents";

struct ScannerArguments {
  bool debug = false;
  std::string folder;
};

// args[0] is the program's path. `--debug` anywhere selects the debug road; the folder is the
// last later argument that is empty or does not begin with "-", else "E:\2".
ScannerArguments select_arguments(std::span<const std::string> args);

// The report lines of a scan result, from "USN: ..." to the last entry line.
std::string format_report(const engine::windows::ScanResult& result);

// What the entry calls (the real ones by default).
struct EntrySources {
  std::function<engine::windows::ScanResult(std::string_view, const TextSink&)> scan;  // 60 s, not full
  std::function<bool(std::string_view)> is_directory;
  std::function<std::expected<engine::windows::UsnDebugStats, platform::OsError>(std::string_view)> debug_usn_query;
  std::function<std::expected<engine::windows::MftProbeResult, platform::OsError>(std::string_view)> probe_frn;
};
EntrySources default_entry_sources();

// Runs the scan of the folder and prints its report.
void print_folder_report(std::string_view folder, const TextSink& out, const EntrySources& sources);

void run_normal_road(std::string_view folder, const TextSink& out, const EntrySources& sources);
void run_debug_road(std::string_view folder, const TextSink& out, const EntrySources& sources);

// The program: selects the road from the arguments, prints, returns the exit code (always 0).
int scanner_main(std::span<const std::string> args);
int scanner_main(std::span<const std::string> args, const TextSink& out, const EntrySources& sources);

}  // namespace kavel_lib::scanner
