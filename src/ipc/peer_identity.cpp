#include "ipc/peer_identity.h"

#include "platform/errors.h"
#include "platform/process_info.h"

namespace kavel_lib::ipc {

std::expected<std::optional<platform::FileIdentity>, std::string> acting_identity_for(
    const std::optional<platform::PeerCredentials>& peer, const platform::FileIdentity& service) {
  const auto refused = [] {
    return std::unexpected(platform::OsError::from_code(platform::win::ERROR_ACCESS_DENIED).display());
  };
  if (!peer) return refused();
  const platform::FileIdentity client{peer->uid, peer->gid, peer->groups};
  if (platform::same_identity(client, service) || client.uid == service.uid) return std::nullopt;
  if (service.uid != 0) return refused();
  return std::optional<platform::FileIdentity>(client);
}

std::uint32_t client_creation_mask(const std::optional<platform::PeerCredentials>& peer) {
  return platform::process_umask(peer ? peer->pid : 0);
}

}  // namespace kavel_lib::ipc
