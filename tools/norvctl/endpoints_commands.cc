// norvctl endpoints: what is in the user's endpoint directory, which hosts
// are alive and what they serve; --prune removes what dead hosts left.
#include <chrono>
#include <cstdio>
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
                e.processName.empty() ? "-" : e.processName.c_str(), e.name.c_str(), LockText(e),
                e.answers ? "yes" : "no",
                std::string(ServiceModel::EndpointStateName(e.state)).c_str(), services.c_str());
    if (!e.problem.empty()) std::printf("         %s\n", e.problem.c_str());
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
      "socket accepts nothing was left by a dead host: it is shown as stale.");
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
