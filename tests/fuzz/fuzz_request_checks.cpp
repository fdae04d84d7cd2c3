// Fuzzes the service's checks of request fields and the log line over arbitrary text: whatever
// a check lets through keeps its promise (a device path of the three forms, an absolute
// destination outside /dev, /proc and /sys, an ASCII drive letter, an inode icat cannot take
// for an option), and a log line never holds a control character.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "datasource/windows/white_space.h"
#include "ipc/messages.h"
#include "ipc/request_checks.h"
#include "ipc/request_handler.h"
#include "logging/log_format.h"
#include "platform/drive_table.h"

namespace {

using namespace kavel_lib;

void require(bool condition) {
  if (!condition) std::abort();
}

void check_text(std::string_view text) {
  if (ipc::validate_device_path(text)) {
    require(text.size() >= 6 && text.starts_with("\\\\.\\"));
    require(platform::device_name_of_path(text).has_value());
  }
  if (auto dest = ipc::validate_export_destination(text)) {
    require(text.starts_with('/') && text.find('\0') == std::string_view::npos);
    for (const auto& form : {*dest, dest->lexically_normal()}) {
      for (const auto& part : form.relative_path()) {
        if (part.empty() || part == ".") continue;
        require(part != "dev" && part != "proc" && part != "sys");
        break;
      }
    }
  }
  if (auto letter = ipc::parse_request_drive_letter(text)) require(*letter >= 'A' && *letter <= 'Z');
  if (ipc::validate_inode(text)) {
    const auto trimmed = datasource::windows::trim_white_space(text);
    require(text.size() <= ipc::kMaxInodeBytes && !trimmed.empty() && trimmed.front() != '-' &&
            text.find('\0') == std::string_view::npos);
  }
  if (auto fs = ipc::parse_icat_fs_type(text)) require(*fs == "fat" || *fs == "exfat" || *fs == "ntfs");

  std::string line;
  logging::log_line_format(line, text, logging::Record{logging::Level::Warn, text, std::chrono::system_clock::now()});
  for (const char c : line) require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_text(bytes);
  auto request = ipc::deserialize_ipc_request(bytes);
  if (!request) return 0;
  std::visit(
      [](const auto& op) {
        using Op = std::decay_t<decltype(op)>;
        if constexpr (requires { op.path; }) check_text(op.path);
        if constexpr (requires { op.letter; }) check_text(op.letter);
        if constexpr (requires { op.dest; }) check_text(op.dest);
        if constexpr (requires { op.device; }) check_text(op.device);
        if constexpr (requires { op.inode; }) check_text(op.inode);
        if constexpr (requires { op.fs; }) check_text(op.fs);
        if constexpr (std::is_same_v<Op, ipc::IpcRequest::Ping>) {
          require(ipc::serialize_ipc_response(ipc::handle_simple_request(ipc::IpcRequest(op))).value() ==
                  R"({"status":"ok","data":{"pong":true,"protocolVersion":1}})");
        }
      },
      request->op);
  return 0;
}
