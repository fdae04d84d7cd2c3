// Placeholder until the pipe listener lands: refuses to serve.
#include "ipc/server.h"

namespace kavel_lib::ipc {

std::expected<void, std::string> serve(std::atomic<bool>&) { return std::unexpected(std::string("listener not built")); }

}  // namespace kavel_lib::ipc
