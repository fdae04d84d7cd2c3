// The three exports: checks, then the exporter writes the destination as the client.
#include <utility>

#include "engine/windows/exfat_deleted/exfat_export.h"
#include "engine/windows/fat32_deleted/fat_export.h"
#include "engine/windows/raw_mft/ntfs_export.h"
#include "ipc/peer_identity.h"
#include "ipc/request_checks.h"
#include "ipc/request_ops.h"
#include "platform/acting_identity.h"
#include "platform/file_ops.h"

namespace kavel_lib::ipc {

namespace {

constexpr std::string_view kExportCode = "EXPORT";

// The road every export takes: the drive letter and destination checks, the client's identity
// for everything written, the destination's folders, the exporter, and the written file's own
// length (an empty or missing file is a failure; what the exporter wrote stays).
template <typename Exporter>
IpcResponse serve_export(std::string_view letter_text, std::string_view dest_text, const RequestContext& context,
                         Exporter&& exporter) {
  const auto letter = parse_request_drive_letter(letter_text);
  if (!letter) return ipc_response_err(kExportCode, letter.error());
  const auto destination = validate_export_destination(dest_text);
  if (!destination) return ipc_response_err(kExportCode, destination.error());
  auto identity = acting_identity_for(context.peer, platform::process_identity());
  if (!identity) return ipc_response_err(kExportCode, identity.error());

  const platform::ScopedActingIdentity acting(std::move(*identity));
  const platform::ScopedCreationMask mask(client_creation_mask(context.peer));
  if (auto made = platform::create_parent_folders(*destination); !made) {
    return ipc_response_err(kExportCode, io_error_to_string(made.error()));
  }
  if (auto exported = exporter(static_cast<char32_t>(*letter), *destination); !exported) {
    return ipc_response_err(kExportCode, io_error_to_string(exported.error()));
  }
  const auto length = platform::regular_file_length(*destination);
  if (!length || *length == 0) return ipc_response_err(kExportCode, "exported file is empty");
  return IpcResponse::Ok{nlohmann::json{{"ok", true}}};
}

}  // namespace

IpcResponse serve_export_ntfs_frn(const IpcRequest::ExportNtfsFrn& request, const RequestContext& context) {
  return serve_export(request.letter, request.dest, context,
                      [&](char32_t letter, const std::filesystem::path& destination) {
                        return engine::windows::export_ntfs_frn(letter, request.frn, destination);
                      });
}

IpcResponse serve_export_fat32(const IpcRequest::ExportFat32& request, const RequestContext& context) {
  return serve_export(request.letter, request.dest, context,
                      [&](char32_t letter, const std::filesystem::path& destination) {
                        return engine::windows::fat32_deleted::export_fat32(letter, request.cluster, request.size,
                                                                            destination, std::nullopt);
                      });
}

IpcResponse serve_export_exfat(const IpcRequest::ExportExfat& request, const RequestContext& context) {
  return serve_export(request.letter, request.dest, context,
                      [&](char32_t letter, const std::filesystem::path& destination) {
                        std::optional<std::string_view> file_name;
                        if (request.filename) file_name = *request.filename;
                        return engine::windows::exfat_deleted::export_exfat(letter, request.cluster, request.offset,
                                                                            request.size, request.no_fat_chain,
                                                                            file_name, destination);
                      });
}

}  // namespace kavel_lib::ipc
