// The operations of the request dispatcher, one per kind of request. Each gives the reply to
// write; none fails otherwise.
#pragma once

#include <optional>

#include "ipc/messages.h"
#include "platform/device.h"
#include "platform/local_pipe.h"

namespace kavel_lib::ipc {

// What the dispatcher knows of the connection a request came on.
struct RequestContext {
  // The client's credentials; nothing when the system would not give them.
  std::optional<platform::PeerCredentials> peer;
};

// A reply, and the device whose descriptor travels with it (open_device).
struct ServedReply {
  IpcResponse response;
  std::optional<platform::Device> device;
};

// open_device: errors have the code "OPEN".
ServedReply serve_open_device(const IpcRequest::OpenDevice& request);

// The three exports: errors have the code "EXPORT".
IpcResponse serve_export_ntfs_frn(const IpcRequest::ExportNtfsFrn& request, const RequestContext& context);
IpcResponse serve_export_fat32(const IpcRequest::ExportFat32& request, const RequestContext& context);
IpcResponse serve_export_exfat(const IpcRequest::ExportExfat& request, const RequestContext& context);

// icat_to_file: errors have the code "ICAT".
IpcResponse serve_icat_to_file(const IpcRequest::IcatToFile& request, const RequestContext& context);

}  // namespace kavel_lib::ipc
