// The client registry file's reader on arbitrary text: it never fails, and what it reads
// written back the way the registry writes it reads the same again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ipc/ui_clients.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto pids = kavel_lib::ipc::parse_ui_clients(text);
  std::string written;
  for (std::size_t i = 0; i < pids.size(); ++i) {
    if (i != 0) written.push_back('\n');
    written += std::to_string(pids[i]);
  }
  if (kavel_lib::ipc::parse_ui_clients(written) != pids) std::abort();
  return 0;
}
