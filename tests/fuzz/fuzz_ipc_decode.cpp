// Fuzzes the three decoders of the pipe's messages (request, reply, status record) over
// arbitrary bytes, and checks that whatever decodes is written back in a form that decodes to
// the same message, and that every failure names a position in the input.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ipc/messages.h"

namespace {

using namespace kavel_lib::ipc;

void require(bool condition) {
  if (!condition) std::abort();
}

void require_positioned(const JsonError& error) { require(error.line >= 1 && !error.message.empty()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  if (auto request = deserialize_ipc_request(bytes)) {
    auto encoded = serialize_ipc_request(*request);
    require(encoded.has_value());
    auto again = deserialize_ipc_request(*encoded);
    require(again.has_value() && *again == *request);
  } else {
    require_positioned(request.error());
  }

  if (auto response = ipc_response_deserialize(bytes)) {
    auto encoded = serialize_ipc_response(*response);
    require(encoded.has_value());
    auto again = ipc_response_deserialize(*encoded);
    require(again.has_value() && *again == *response);
    if (const auto* ok = std::get_if<IpcResponse::Ok>(&response->reply)) {
      if (auto status = service_status_from_value(ok->data)) {
        require(service_status_from_value(service_status_to_json(*status)) == status);
      } else {
        require(!status.error().message.empty());
      }
    }
  } else {
    require_positioned(response.error());
  }

  if (auto status = deserialize_service_status_data(bytes)) {
    require(service_status_from_value(service_status_to_json(*status)) == status);
  } else {
    require_positioned(status.error());
  }
  return 0;
}
