// The three JSON messages of the service pipe: the request IpcRequest (client to service), the
// reply IpcResponse (service to client) and the status record ServiceStatusData (the data of
// the reply to a status request).
//
// Requests are tagged by "op" and replies by "status", the tag a sibling of the variant's
// fields. Writers put the tag first and then every field in declaration order. Readers accept
// the object form (keys in any order, unknown keys ignored, duplicates refused, optional
// fields defaulted) and the array form (the tag, then the fields by position).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include <nlohmann/json.hpp>

#include "ipc/json_codec.h"

namespace kavel_lib::ipc {

struct IpcRequest {
  struct Ping {
    friend bool operator==(const Ping&, const Ping&) = default;
  };
  struct Status {
    friend bool operator==(const Status&, const Status&) = default;
  };
  struct OpenDevice {
    std::string path;
    std::uint32_t client_pid = 0;
    friend bool operator==(const OpenDevice&, const OpenDevice&) = default;
  };
  struct ExportNtfsFrn {
    std::string letter;
    std::uint64_t frn = 0;
    std::string dest;
    friend bool operator==(const ExportNtfsFrn&, const ExportNtfsFrn&) = default;
  };
  struct ExportFat32 {
    std::string letter;
    std::uint32_t cluster = 0;
    std::uint64_t size = 0;
    std::string dest;
    friend bool operator==(const ExportFat32&, const ExportFat32&) = default;
  };
  struct ExportExfat {
    std::string letter;
    std::uint32_t cluster = 0;
    std::uint32_t offset = 0;
    std::uint64_t size = 0;
    bool no_fat_chain = false;
    std::optional<std::string> filename;
    std::string dest;
    friend bool operator==(const ExportExfat&, const ExportExfat&) = default;
  };
  struct IcatToFile {
    std::string fs;
    std::string device;
    std::string inode;
    std::uint64_t offset = 0;
    std::string dest;
    bool recover = false;
    std::uint64_t max_bytes = 0;
    friend bool operator==(const IcatToFile&, const IcatToFile&) = default;
  };

  // In declaration order; the index is the variant's number.
  using Variant = std::variant<Ping, Status, OpenDevice, ExportNtfsFrn, ExportFat32, ExportExfat, IcatToFile>;
  Variant op;

  IpcRequest() = default;
  template <typename T>
    requires std::is_constructible_v<Variant, T&&> && (!std::is_same_v<std::remove_cvref_t<T>, IpcRequest>)
  IpcRequest(T&& value) : op(std::forward<T>(value)) {}  // NOLINT(google-explicit-constructor)

  // The "op" value of the request.
  [[nodiscard]] std::string_view op_name() const;
  friend bool operator==(const IpcRequest&, const IpcRequest&) = default;
};

struct IpcResponse {
  struct Ok {
    nlohmann::json data;
    friend bool operator==(const Ok&, const Ok&) = default;
  };
  struct Err {
    std::string code;
    std::string message;
    friend bool operator==(const Err&, const Err&) = default;
  };

  using Variant = std::variant<Ok, Err>;
  Variant reply;

  IpcResponse() = default;
  template <typename T>
    requires std::is_constructible_v<Variant, T&&> && (!std::is_same_v<std::remove_cvref_t<T>, IpcResponse>)
  IpcResponse(T&& value) : reply(std::forward<T>(value)) {}  // NOLINT(google-explicit-constructor)

  friend bool operator==(const IpcResponse&, const IpcResponse&) = default;
};

struct ServiceStatusData {
  std::uint32_t protocol_version = 0;  // "protocolVersion"
  std::string service_version;         // "serviceVersion"
  bool elevated = false;               // "elevated"
  friend bool operator==(const ServiceStatusData&, const ServiceStatusData&) = default;
};

// Compact JSON of a request: {"op":...} then every field in declaration order, filename as
// null when absent. Fails only on text that is not valid UTF-8.
std::expected<std::string, JsonError> serialize_ipc_request(const IpcRequest& request);

// The service's decoder of a request.
std::expected<IpcRequest, JsonError> deserialize_ipc_request(std::string_view bytes);

// Compact JSON of a reply: {"status":"ok","data":...} or {"status":"err","code":...,"message":...}.
std::expected<std::string, JsonError> serialize_ipc_response(const IpcResponse& response);

// The client's decoder of a reply.
std::expected<IpcResponse, JsonError> ipc_response_deserialize(std::string_view bytes);

// The status record as the data of a reply: {"protocolVersion":..,"serviceVersion":..,"elevated":..}.
nlohmann::json service_status_to_json(const ServiceStatusData& status);

// Decodes a status record from the data of a reply (errors carry no position).
std::expected<ServiceStatusData, JsonError> service_status_from_value(const nlohmann::json& data);

// Decodes a status record from JSON text.
std::expected<ServiceStatusData, JsonError> deserialize_service_status_data(std::string_view bytes);

}  // namespace kavel_lib::ipc
