// norvctl endpoints: what is in the user's endpoint directory, which hosts
// are alive and what they serve; --prune removes what dead hosts left.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "services/EndpointListing.h"
#include "tools/norvctl/Commands.h"

namespace Norv::Ctl {
namespace {

using ServiceModel::EndpointInfo;
using ServiceModel::EndpointListing;
using ServiceModel::EndpointState;
using ServiceModel::PeerIdentity;
using ServiceModel::ShutdownSubscriberRecord;

struct EndpointsOptions {
  bool json = false;
  bool prune = false;
  int timeoutMs = 1000;
};

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t Utf8Length(std::string_view text) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(0);
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// A JSON string. Endpoint and process names are bytes, not necessarily
// UTF-8: a byte that starts no well-formed sequence becomes U+FFFD, so that
// the output always parses.
std::string Utf8Json(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
    } else if (std::size_t length = Utf8Length(text.substr(i)); length == 0) {
      out += "\\ufffd";
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out + "\"";
}

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : Utf8Json(text); }

// A name for a terminal: a process name is whatever bytes its process chose,
// so anything but printable ASCII (and the backslash) is shown as \xNN,
// and no name can move the cursor or forge a line of the table.
std::string Escaped(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

std::string NameOrDash(const std::string& name) { return name.empty() ? "-" : Escaped(name); }

// Local wall-clock time, or "-" for never.
std::string Clock(std::chrono::system_clock::time_point when) {
  if (when == std::chrono::system_clock::time_point{}) return "-";
  std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::int64_t UnixMs(std::chrono::system_clock::time_point when) {
  if (when == std::chrono::system_clock::time_point{}) return 0;
  return std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
}

// The host's connections but this program's own probe.
std::vector<PeerIdentity> Clients(const EndpointInfo& info) {
  std::vector<PeerIdentity> clients;
  for (const PeerIdentity& peer : info.connections) {
    if (peer.pid != static_cast<std::int32_t>(::getpid())) clients.push_back(peer);
  }
  return clients;
}

std::string JsonClients(const EndpointInfo& info) {
  std::string out = "[";
  bool first = true;
  for (const PeerIdentity& peer : Clients(info)) {
    out += std::string(first ? "" : ", ") + "{\"pid\": " + std::to_string(peer.pid) +
           ", \"uid\": " + std::to_string(peer.uid) +
           ", \"process\": " + JsonOrNull(peer.processName) +
           ", \"since_unix_ms\": " + std::to_string(UnixMs(peer.connectedAt)) + "}";
    first = false;
  }
  return out + "]";
}

std::string JsonSubscribers(const EndpointInfo& info) {
  if (!info.hasRegistry) return "null";
  std::string out = "[";
  for (std::size_t i = 0; i < info.subscribers.size(); ++i) {
    const ShutdownSubscriberRecord& s = info.subscribers[i];
    out += std::string(i ? ", " : "") + "{\"key\": " + std::to_string(s.key) +
           ", \"pid\": " + std::to_string(s.pid) + ", \"process\": " + JsonOrNull(s.processName) +
           ", \"connected\": " + (s.connected ? "true" : "false") +
           ", \"subscribed_unix_ms\": " + std::to_string(UnixMs(s.subscribedAt)) +
           ", \"last_answer\": " + Utf8Json(ServiceModel::ShutdownAnswerName(s.lastAnswer)) +
           ", \"answered_unix_ms\": " + std::to_string(UnixMs(s.answeredAt)) + "}";
  }
  return out + "]";
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + Utf8Json(items[i]);
  return out + "]";
}

const char* LockText(const EndpointInfo& info) {
  if (info.lockPath.empty()) return "none";
  return info.lockHeld ? "held" : "free";
}

void PrintJson(const EndpointListing& listing, const std::vector<std::string>* removed) {
  std::string out = "{\n  \"directory\": " + Utf8Json(listing.directory) + ",\n  \"endpoints\": [";
  for (std::size_t i = 0; i < listing.endpoints.size(); ++i) {
    const EndpointInfo& e = listing.endpoints[i];
    out += i ? ",\n" : "\n";
    out += "    {\"pid\": " + std::to_string(e.pid) +
           ", \"process\": " + JsonOrNull(e.processName) + ", \"endpoint\": " + Utf8Json(e.name) +
           ", \"state\": " + Utf8Json(ServiceModel::EndpointStateName(e.state)) + ", \"lock\": \"" +
           LockText(e) +
           "\", \"lock_holder\": " + (e.lockHolder ? std::to_string(e.lockHolder) : "null") +
           ", \"accepts\": " + (e.accepts ? "true" : "false") +
           ", \"answers\": " + (e.answers ? "true" : "false") +
           ", \"health\": " + JsonOrNull(e.health) +
           ", \"reflection\": " + (e.reflection ? "true" : "false") +
           ", \"services\": " + JsonList(e.services) + ", \"socket\": " + JsonOrNull(e.socketPath) +
           ", \"lock_file\": " + JsonOrNull(e.lockPath) +
           ", \"server_pid\": " + (e.serverPid ? std::to_string(e.serverPid) : "null") +
           ", \"clients\": " + JsonClients(e) + ", \"subscribers\": " + JsonSubscribers(e) +
           ", \"problem\": " + JsonOrNull(e.problem) + "}";
  }
  out += listing.endpoints.empty() ? "]" : "\n  ]";
  if (removed != nullptr) out += ",\n  \"removed\": " + JsonList(*removed);
  out += "\n}\n";
  std::fputs(out.c_str(), stdout);
}

void PrintTable(const EndpointListing& listing, const std::vector<std::string>* removed) {
  std::printf("endpoint directory %s\n", listing.directory.c_str());
  if (listing.endpoints.empty()) {
    std::printf("no endpoints\n");
  } else {
    std::printf("%-8s %-16s %-48s %-5s %-7s %-13s %s\n", "PID", "PROCESS", "ENDPOINT", "LOCK",
                "ANSWERS", "STATE", "SERVICES");
  }
  for (const EndpointInfo& e : listing.endpoints) {
    std::string services;
    for (const std::string& name : e.services) services += (services.empty() ? "" : ", ") + name;
    if (!e.reflection) services = e.answers ? "(no reflection)" : "-";
    std::printf("%-8d %-16s %-48s %-5s %-7s %-13s %s\n", static_cast<int>(e.pid),
                NameOrDash(e.processName).c_str(), Escaped(e.name).c_str(), LockText(e),
                e.answers ? "yes" : "no",
                std::string(ServiceModel::EndpointStateName(e.state)).c_str(), services.c_str());
    if (!e.problem.empty()) std::printf("         %s\n", Escaped(e.problem).c_str());
    for (const PeerIdentity& peer : Clients(e)) {
      std::printf("         client pid %d (%s) connected since %s\n", static_cast<int>(peer.pid),
                  NameOrDash(peer.processName).c_str(), Clock(peer.connectedAt).c_str());
    }
    for (const ShutdownSubscriberRecord& s : e.subscribers) {
      std::printf("         key %d: pid %d (%s) %s, subscribed %s, last answer %s at %s\n",
                  static_cast<int>(s.key), static_cast<int>(s.pid),
                  NameOrDash(s.processName).c_str(), s.connected ? "connected" : "gone",
                  Clock(s.subscribedAt).c_str(),
                  std::string(ServiceModel::ShutdownAnswerName(s.lastAnswer)).c_str(),
                  Clock(s.answeredAt).c_str());
    }
  }
  if (removed != nullptr) {
    for (const std::string& path : *removed) std::printf("removed %s\n", path.c_str());
    if (removed->empty()) std::printf("nothing to prune\n");
  }
}

void RunEndpoints(const EndpointsOptions& options) {
  EndpointListing listing =
      ServiceModel::ListEndpoints(std::chrono::milliseconds(options.timeoutMs));
  std::vector<std::string> removed;
  if (options.prune) removed = ServiceModel::PruneStaleEndpoints(listing);
  if (options.json) {
    PrintJson(listing, options.prune ? &removed : nullptr);
  } else {
    PrintTable(listing, options.prune ? &removed : nullptr);
  }
  std::fflush(stdout);
}

}  // namespace

void AddEndpointsCommands(CLI::App& app) {
  auto options = std::make_shared<EndpointsOptions>();
  CLI::App* command = app.add_subcommand(
      "endpoints",
      "List the endpoints in the endpoint directory ($NORV_PIPE_DIR, else $XDG_RUNTIME_DIR/norv, "
      "else /tmp/norv-UID): process id and name, endpoint, whether a live host holds its lock, "
      "whether it answers, and the gRPC services it lists through server reflection. Every host "
      "serves the standard health service grpc.health.v1.Health, which decides whether it "
      "answers; any gRPC tool can ask it too. An endpoint whose lock nobody holds and whose "
      "socket accepts nothing was left by a dead host: it is shown as stale. Below each live "
      "endpoint come the clients connected to it (process id and name, from the kernel's "
      "credentials of each connection, through the host's introspection service) and, on a "
      "Shutdown endpoint, each key's subscriber and its last answer. A socket served by another "
      "process than the one holding the lock, or a host whose socket path was replaced, is "
      "shown as a conflict. Process names are printed with anything but printable ASCII "
      "escaped as \\xNN.");
  command->add_flag("--json", options->json, "Print the listing as JSON, for scripts");
  command->add_flag("--prune", options->prune,
                    "Remove the socket and lock file of each stale endpoint, after taking its "
                    "lock and checking again that nothing accepts; live endpoints are never "
                    "touched");
  command
      ->add_option("--timeout", options->timeoutMs,
                   "Milliseconds each probe of an endpoint may take at most")
      ->check(CLI::Range(1, 600000))
      ->capture_default_str();
  command->callback([options] { Guarded([&] { RunEndpoints(*options); }); });
}

}  // namespace Norv::Ctl
