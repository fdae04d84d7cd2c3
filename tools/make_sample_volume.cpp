// Writes the demo's sample NTFS volume into a file and lists what it holds.
//
//   make_sample_volume IMAGE
//
// The volume is the same bytes on every run (see tests/support/sample_volume.h): map it as a
// drive (KAVEL_DRIVES='E=IMAGE') and run tarnwick on E:\docs.
#include <fmt/format.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/sample_volume.h"

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0') {
    std::fputs("usage: make_sample_volume IMAGE\n", stderr);
    return 2;
  }
  const std::string target = argv[1];
  auto sample = kavel_test::sample::make_sample_volume();
  if (!sample) {
    fmt::print(stderr, "make_sample_volume: {}\n", sample.error());
    return 1;
  }
  {
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(sample->image.data()), static_cast<std::streamsize>(sample->image.size()));
    out.close();
    if (!out) {
      fmt::print(stderr, "make_sample_volume: cannot write {}\n", target);
      return 1;
    }
  }
  fmt::print("Sample NTFS volume: {} ({} bytes)\n", target, sample->image.size());
  fmt::print("Deleted entries (record, size, path; J = delete record in the USN journal, L = delete "
             "transaction in $LogFile):\n");
  for (const auto& e : sample->entries) {
    if (!e.deleted) continue;
    fmt::print("  {:>4} {:>7} {}{} {}{}\n", e.record, e.folder ? std::string("folder") : std::to_string(e.size),
               e.in_journal ? 'J' : '-', e.in_log ? 'L' : '-', e.path, e.folder ? "\\" : "");
  }
  return 0;
}
