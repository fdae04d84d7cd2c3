// The service manager's notification socket (sd_notify), written by hand: one datagram of
// "KEY=VALUE" lines to the socket that systemd names in NOTIFY_SOCKET.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace kavel_lib::platform::posix {

// The socket address that a NOTIFY_SOCKET value names: a path ("/run/systemd/notify") or an
// abstract name written with a leading '@' (the '@' becomes the leading zero byte). Nothing
// for an empty value, a relative path, or a name too long for a socket address.
struct NotifyAddress {
  std::string name;  // sun_path bytes (an abstract name starts with '\0')
  bool abstract = false;
};
std::optional<NotifyAddress> parse_notify_socket(std::string_view value);

// Sends `message` as one datagram to the socket in $NOTIFY_SOCKET. Gives false without sending
// when NOTIFY_SOCKET is unset or empty; an unusable value is an error (invalid parameter).
std::expected<bool, OsError> notify_service_manager(std::string_view message);

}  // namespace kavel_lib::platform::posix
