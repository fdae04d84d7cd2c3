// Whom a request's file operations act as: the client at the other end of the connection.
#pragma once

#include <expected>
#include <optional>
#include <string>

#include "platform/acting_identity.h"
#include "platform/local_pipe.h"

namespace kavel_lib::ipc {

// The acting identity for a request from `peer` to a service of identity `service`:
// - nothing (the service's own) when the peer has the service's identity or is its user;
// - the peer's user, group and supplementary groups when the service runs as root;
// - refused ("Access is denied. (os error 5)") when the peer is another user and the service
//   is not root, or when the peer's credentials are unknown.
std::expected<std::optional<platform::FileIdentity>, std::string> acting_identity_for(
    const std::optional<platform::PeerCredentials>& peer, const platform::FileIdentity& service);

// The creation mask for a request from `peer`: the umask of the client's process (the
// connection's peer), read as the request is served, so that what the service makes for the
// client gets the modes the client's own new files get, also when the client is the service's
// own user. 0077 when it cannot be read or the peer is unknown.
std::uint32_t client_creation_mask(const std::optional<platform::PeerCredentials>& peer);

}  // namespace kavel_lib::ipc
