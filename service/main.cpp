// PolvaneService: the privileged service, under the service manager or as a console program.
#include <string>
#include <vector>

#include "engine/windows/wtf8.h"
#include "service/service_control.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  // Arguments are taken as UTF-8; invalid sequences become U+FFFD.
  for (int i = 0; i < argc; ++i) args.push_back(kavel_lib::engine::windows::lossy_utf8(argv[i]));
  return kavel_lib::service::program_main(args);
}
