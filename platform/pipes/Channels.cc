// Client channels: the cache of one connection per endpoint behind the
// proxies of every contract (each contract's binding defines its proxy).
//
// A cached connection is used only while gRPC reports it ready and the
// socket file at its path is still the one it was made to; anything else
// (the service went away, restarted, the connection went idle) makes the
// next call open a fresh channel with its own subchannel pool, so it never
// waits out gRPC's reconnect back-off. A failed call is never sent again by
// this code; gRPC's transparent retry may send a call once more only when
// no service can have seen it (see ClientChannelArguments).
#include <grpcpp/grpcpp.h>

#include <stdexcept>

#include "platform/pipes/ClientChannel.h"

namespace Norv::ServiceModel::internal {

SocketIdentity IdentityOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {};
  return {st.st_dev, st.st_ino, st.st_ctim};
}

std::shared_ptr<Connection> ConnectionCache::Get(const std::string& dir, const std::string& path,
                                                 const std::string& where) {
  // Taken before any connecting, so that a restart between here and the
  // connect below at worst costs the next call a needless new connection.
  const SocketIdentity socket = IdentityOf(path);
  {
    Base::MutexLock lock(&mu_);
    auto it = connections_.find(path);
    if (it != connections_.end()) {
      std::shared_ptr<Connection> cached = it->second;
      if (cached->socket == socket && cached->channel->GetState(false) == GRPC_CHANNEL_READY) {
        return cached;
      }
      connections_.erase(it);
    }
  }
  // The directory decides which peer a new connection reaches, so it is
  // checked whenever one is made; a connection already made keeps its
  // peer whatever happens to the directory later, and checking it again
  // on every call cost a tenth of the call.
  RequireListener(dir, path, where);
  auto fresh = std::make_shared<Connection>(NewChannel(path), socket);
  ConnectChannel(*fresh->channel, path, where);
  Base::MutexLock lock(&mu_);
  auto [it, inserted] = connections_.try_emplace(path, fresh);
  if (!inserted) {
    if (it->second->socket == socket &&
        it->second->channel->GetState(false) == GRPC_CHANNEL_READY) {
      return it->second;
    }
    it->second = fresh;
  }
  return fresh;
}

void ConnectionCache::Drop(const std::string& path, const std::shared_ptr<Connection>& connection) {
  Base::MutexLock lock(&mu_);
  auto it = connections_.find(path);
  if (it != connections_.end() && it->second == connection) connections_.erase(it);
}

ConnectionCache& Cache() {
  static ConnectionCache* cache = new ConnectionCache;
  return *cache;
}

std::string EndpointNameOf(ContractType contractType, ContractType expected) {
  if (contractType != expected) {
    throw std::invalid_argument("a channel of contract " + std::string(expected.fullName) +
                                " cannot be made for contract " +
                                std::string(contractType.fullName));
  }
  return std::string(contractType.fullName);
}

std::string CheckedName(std::string_view name) {
  EncodeEndpointName(name);  // rejects the empty name
  return std::string(name);
}

}  // namespace Norv::ServiceModel::internal
