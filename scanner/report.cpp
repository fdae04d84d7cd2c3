#include "scanner/report.h"

#include <fmt/format.h>

#include "engine/windows/recycle/path_helpers.h"
#include "engine/windows/time_budget.h"
#include "engine/windows/wtf8.h"
#include "platform/volume_paths.h"
#include "scanner/folder_scan.h"
#include "service/utf8_text.h"

namespace kavel_lib::scanner {

namespace ew = engine::windows;

namespace {

constexpr ew::TimeBudget kScanBudget{60, 0};

// A name read from disk (or a line holding such names) as the report shows it: lossily decoded,
// and every character that would break or reorder the line written as "<U+XXXX>" (a backslash
// escape would read as a path separator), so a name can never print a line of its own.
std::string shown_name(std::string_view name) {
  const std::string text = ew::lossy_utf8(name);
  std::string out;
  out.reserve(text.size());
  std::string_view rest = text;
  while (!rest.empty()) {
    const auto c = service::decode_utf8_character(rest);
    if (c.ok && service::is_line_control(c.code_point)) {
      fmt::format_to(std::back_inserter(out), "<U+{:04X}>", static_cast<unsigned>(c.code_point));
    } else {
      out.append(rest.substr(0, c.length));
    }
    rest.remove_prefix(c.length);
  }
  return out;
}

}  // namespace

ScannerArguments select_arguments(std::span<const std::string> args) {
  ScannerArguments selected;
  std::optional<std::string> folder;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--debug") selected.debug = true;
    if (i > 0 && (args[i].empty() || args[i].front() != '-')) folder = args[i];
  }
  selected.folder = folder ? *folder : std::string(kDefaultFolder);
  return selected;
}

std::string format_report(const ew::ScanResult& result) {
  std::string text = fmt::format("USN: {}\n", result.usn_summary);
  if (result.mft_summary) {
    text += fmt::format("MFT: {}\n", *result.mft_summary);
    if (result.mft_summary->find("LogFile=") != std::string::npos ||
        result.mft_summary->find("pending=") != std::string::npos) {
      text += "     (LogFile=recent delete txn; Pending=deferred MFT; Unconfirmed=USN hint not flushed; Cache=session MFT "
              "cache)\n";
    }
  }
  text += fmt::format("Total {} paths (deduplicated by FRN|path)\n", result.entries.size());
  if (result.entries.empty()) {
    text += "Hint: if just Shift+Deleted, run as Administrator\n";
    return text;
  }
  for (const auto& e : result.entries) {
    const std::string time = e.time ? fmt::format(" time={}", *e.time) : std::string();
    text += fmt::format("  FRN {} parent {} size {}{} {}\n", e.frn, e.parent, e.size, time, shown_name(e.path));
  }
  return text;
}

EntrySources default_entry_sources() {
  EntrySources s;
  s.scan = [](std::string_view folder, const TextSink& out) {
    return scan_folder_deleted(folder, kScanBudget, false, out, default_folder_scan_sources());
  };
  s.is_directory = platform::volume_paths::is_directory;
  s.debug_usn_query = ew::debug_usn_query;
  s.probe_frn = ew::probe_frn;
  return s;
}

void print_folder_report(std::string_view folder, const TextSink& out, const EntrySources& sources) {
  out(format_report(sources.scan(folder, out)));
}

void run_normal_road(std::string_view folder, const TextSink& out, const EntrySources& sources) {
  out(fmt::format("Probing NTFS deleted under: {}\n", folder));
  if (ew::is_volume_root(folder)) {
    out(fmt::format("Note: volume root won't list Shift+Delete inside subfolders; use a specific path, e.g. E:\\{}\n",
                    kSampleFolder));
  }
  out("Hint: only lists Shift+Delete in this folder and subfolders (parent dir FRN within directory tree scope)\n");
  print_folder_report(folder, out, sources);
}

void run_debug_road(std::string_view folder, const TextSink& out, const EntrySources& sources) {
  if (!sources.is_directory(folder)) {
    out(fmt::format("Warning: \"{}\" is not a valid directory\n", folder));
    out(fmt::format("  tarnwick --debug \"E:\\{}\"\n", kSampleFolder));
  }
  out(fmt::format("=== Debug: {} ===\n\n", folder));

  if (auto stats = sources.debug_usn_query(folder); !stats) {
    out(fmt::format("USN query failed: {}\n", stats.error().display()));
  } else {
    out(fmt::format("USN  Dir FRN={} ref={:#x}  Journal {}..{}\n", stats->dir_frn, stats->dir_ref, stats->first_usn,
                    stats->next_usn));
    out(fmt::format("     Parsed={}  DeleteReason={}  ParentMatch={}  Accepted={}  UnpairedV4={}\n", stats->parsed,
                    stats->delete_reason, stats->parent_match, stats->accepted, stats->unpaired_v4));
    if (stats->parent_match == 0 && stats->parsed != 0) {
      out("     Note: no delete records with 'parent dir = this folder' in current USN journal segment (journal "
          "advances with other writes on E:, old Shift+Delete entries may be overwritten)\n");
    }
  }

  if (auto probe = sources.probe_frn(folder); !probe) {
    out(fmt::format("MFT query failed: {}\n", probe.error().display()));
  } else {
    out(fmt::format("MFT  Scanned FRN {}..{}  FreeRecords={}  ParentMatch={} entries\n", probe->scan_start,
                    probe->scan_end, probe->free_records, probe->lines.size()));
    if (probe->lines.empty()) {
      out("     Note: no $FILE_NAME with parent dir = this folder in nearby MFT (slot reused, or recently deleted still "
          "IN_USE with path still existing \u2014 retry as admin right after Shift+Delete)\n");
    } else {
      for (const auto& line : probe->lines) out(fmt::format("     {}\n", shown_name(line)));
    }
  }

  out("\n=== Recoverable items in this folder (USN + MFT merged) ===\n\n");
  print_folder_report(folder, out, sources);
}

int scanner_main(std::span<const std::string> args) {
  return scanner_main(args, stdout_sink(), default_entry_sources());
}

int scanner_main(std::span<const std::string> args, const TextSink& out, const EntrySources& sources) {
  const ScannerArguments selected = select_arguments(args);
  if (selected.debug) {
    run_debug_road(selected.folder, out, sources);
  } else {
    run_normal_road(selected.folder, out, sources);
  }
  return 0;
}

}  // namespace kavel_lib::scanner
