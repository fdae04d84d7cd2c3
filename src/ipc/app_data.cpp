#include "ipc/app_data.h"

#include "platform/system_info.h"

namespace kavel_lib::ipc {

std::filesystem::path app_data_dir() {
  const std::filesystem::path base = platform::roaming_app_data_dir().value_or(std::filesystem::path("."));
  return base / "Polvane";
}

}  // namespace kavel_lib::ipc
