// polvane_export: asks the running PolvaneService to export one deleted file of an NTFS volume
// by its file record number (export_ntfs_frn), then prints the destination's path, size and
// SHA-256. The service is reached through the library's client on $KAVEL_PIPE_DIR's socket.
//
//   polvane_export <drive letter> <file record number> <destination>
//
// Exit codes: 0 exported, 1 the service refused or could not be reached, 2 bad arguments.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "ipc/client.h"
#include "ipc/messages.h"
#include "support/mapped_volume.h"

namespace {

constexpr std::string_view kUsage = "usage: polvane_export <drive letter> <file record number> <destination>\n";

std::optional<std::uint64_t> parse_record_number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fmt::print(stderr, "{}", kUsage);
    return 2;
  }
  const auto frn = parse_record_number(argv[2]);
  if (!frn) {
    fmt::print(stderr, "not a file record number: {}\n{}", argv[2], kUsage);
    return 2;
  }
  // The service takes absolute destinations only.
  std::error_code ec;
  const std::filesystem::path dest = std::filesystem::absolute(argv[3], ec);
  if (ec) {
    fmt::print(stderr, "bad destination {}: {}\n", argv[3], ec.message());
    return 2;
  }

  const kavel_lib::ipc::IpcRequest request = kavel_lib::ipc::IpcRequest::ExportNtfsFrn{argv[1], *frn, dest.string()};
  const auto reply = kavel_lib::ipc::ipc_call_default(request);
  if (!reply) {
    fmt::print(stderr, "export failed: {}\n", reply.error().display());
    return 1;
  }
  const auto size = std::filesystem::file_size(dest, ec);
  if (ec) {
    fmt::print(stderr, "export reported success but {} cannot be read: {}\n", dest.string(), ec.message());
    return 1;
  }
  fmt::print("path: {}\nsize: {}\nsha256: {}\n", dest.string(), size, kavel_test::sha256_of_file(dest));
  return 0;
}
