// What is in the user's endpoint directory: every endpoint found there with
// the state of its host (lock held, socket accepting, answering the health
// service, the gRPC services it serves), and the removal of the files that
// hosts which died left behind.
//
// Listing never changes the directory and never takes an endpoint's lock (a
// host opening at that moment must not find it taken): whether a live host
// holds a lock is read from the kernel's lock table. Every probe of a socket
// is bounded by the caller's time-out, so a peer that accepts and never
// answers costs at most that. Pruning re-checks each stale endpoint under its
// own lock before it removes anything.
//
// Thread-safety: free functions without shared state; listing and pruning
// from several threads or processes at once is safe.
#ifndef NORV_SERVICES_ENDPOINT_LISTING_H_
#define NORV_SERVICES_ENDPOINT_LISTING_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "NamedPipeServiceHost.h"
#include "PlatformExport.h"
#include "ShutdownRegistry.h"

namespace Norv::ServiceModel {

enum class EndpointState {
  kLive,          // a live host holds the lock and answers on the socket
  kUnresponsive,  // something accepts on the socket but does not answer in time
  kStale,         // nobody holds the lock and nothing accepts: left by a dead host
  kNotListening,  // a live host holds the lock but does not accept (opening or closing)
  kUnlocked,      // something answers on the socket without holding the lock
  kUnusable,      // the socket file is not a socket, or cannot be reached
  // Another process than the lock's holder serves the socket (it took the
  // path over), or the host says its socket path was replaced under it.
  kConflict,
};

// "live", "unresponsive", "stale", "not-listening", "unlocked", "unusable",
// "conflict".
NORV_PLATFORM_API std::string_view EndpointStateName(EndpointState state) noexcept;

struct EndpointInfo {
  std::int32_t pid = 0;
  std::string name;         // the endpoint name, decoded from the file name
  std::string socketPath;   // "" when there is no socket file
  std::string lockPath;     // "" when there is no lock file
  std::string processName;  // /proc/<pid>/comm; "" when no such process runs
  bool lockHeld = false;
  std::int32_t lockHolder = 0;        // the process holding the lock, 0 when unknown
  bool accepts = false;               // a connect() to the socket succeeded
  bool answers = false;               // a gRPC call got an answer from the server
  std::string health;                 // the health service's status ("SERVING"), or ""
  bool reflection = false;            // the host answered server reflection
  std::vector<std::string> services;  // what reflection listed, sorted
  // The process serving the socket, from the kernel (SO_PEERCRED) on a
  // probe connection; 0 when nothing accepts.
  std::int32_t serverPid = 0;
  // What the host's introspection service told (norv.contracts.v1.Introspection):
  bool introspection = false;             // it answered
  std::vector<PeerIdentity> connections;  // its open connections, the probe's own included
  bool hasRegistry = false;               // a shutdown registry follows
  std::vector<ShutdownSubscriberRecord> subscribers;  // sorted by key
  bool socketPathReplaced = false;                    // the host sees another file at its path
  std::string problem;                                // why it is not live, one sentence, or ""
  EndpointState state = EndpointState::kStale;
};

struct EndpointListing {
  std::string directory;
  std::vector<EndpointInfo> endpoints;  // sorted by process id, then name
};

// Lists the endpoint directory of this process's environment, probing each
// socket for at most `probeTimeout` per call. A directory that fails its
// checks raises AddressAccessDeniedException, as a host or client would; a
// missing directory is an empty listing.
NORV_PLATFORM_API EndpointListing ListEndpoints(std::chrono::milliseconds probeTimeout);

// Removes the socket and lock file of each endpoint of `listing` that is
// stale, after taking its lock and finding that nothing accepts on its
// socket; anything else is left alone. Returns the paths removed. Raises
// AddressAccessDeniedException, touching nothing, when the directory fails
// its checks.
NORV_PLATFORM_API std::vector<std::string> PruneStaleEndpoints(const EndpointListing& listing);

}  // namespace Norv::ServiceModel

#endif  // NORV_SERVICES_ENDPOINT_LISTING_H_
