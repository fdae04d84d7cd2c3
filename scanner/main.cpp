// tarnwick: lists the deleted files of one folder of an NTFS volume.
#include <string>
#include <vector>

#include "engine/windows/wtf8.h"
#include "scanner/report.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  // Arguments are taken as UTF-8; invalid sequences become U+FFFD.
  for (int i = 0; i < argc; ++i) args.push_back(kavel_lib::engine::windows::lossy_utf8(argv[i]));
  return kavel_lib::scanner::scanner_main(args);
}
