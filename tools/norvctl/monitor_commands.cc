// norvctl monitor: attaches a call monitor (services/MonitorSocket.h) and
// prints every event the hosts and client channels of this user's processes
// report, as a table or as one JSON object a line, until SIGINT or SIGTERM.
//
// Events come as datagrams that the senders never wait for: what the
// monitor's socket cannot take is dropped on their side and counted, and the
// count arrives with the next event; the monitor prints it and a total.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "norv/contracts/v1/monitor.pb.h"
#include "services/MonitorSocket.h"
#include "tools/norvctl/Commands.h"
#include "tools/norvctl/StopSignals.h"

namespace Norv::Ctl {
namespace {

namespace v1 = norv::contracts::v1;

struct MonitorOptions {
  int pid = 0;
  std::string endpoint;
  bool json = false;
  int receiveBufferBytes = 4 << 20;
};

// A process name or a fault text for a table column: printable ASCII stays,
// anything else (a space, a control byte, a byte of another encoding, the
// backslash itself) becomes \xNN, so that a name cannot break the columns or
// write to the terminal.
std::string EscapedForTable(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : text) {
    if (byte > 0x20 && byte < 0x7f && byte != '\\') {
      out.push_back(static_cast<char>(byte));
    } else {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xf]);
    }
  }
  return out.empty() ? "-" : out;
}

// A JSON string: quotes, backslashes and control bytes escaped; bytes of 0x7f
// and above written as \u00NN, so that any input gives valid UTF-8 JSON.
std::string JsonString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char byte : text) {
    if (byte == '"' || byte == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(byte));
    } else if (byte < 0x20 || byte >= 0x7f) {
      out += "\\u00";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xf]);
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  out.push_back('"');
  return out;
}

std::string_view KindName(v1::MonitorEvent::Kind kind) {
  switch (kind) {
    case v1::MonitorEvent::UNARY_CALL:
      return "call";
    case v1::MonitorEvent::SESSION_START:
      return "session-start";
    case v1::MonitorEvent::SESSION_END:
      return "session-end";
    case v1::MonitorEvent::SESSION_CALL:
      return "session-call";
    case v1::MonitorEvent::CALLBACK:
      return "callback";
    default:
      return "unknown";
  }
}

std::string_view SideName(v1::MonitorEvent::Side side) {
  switch (side) {
    case v1::MonitorEvent::CLIENT:
      return "client";
    case v1::MonitorEvent::HOST:
      return "host";
    default:
      return "unknown";
  }
}

// "12:34:56.789012" in local time.
std::string ClockTime(std::uint64_t unixNanos) {
  const std::time_t seconds = static_cast<std::time_t>(unixNanos / 1000000000u);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06u", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<unsigned>((unixNanos % 1000000000u) / 1000u));
  return text;
}

bool MonitorWants(const MonitorOptions& options, const v1::MonitorEvent& event) {
  if (options.pid != 0 && event.callee_pid() != options.pid && event.caller_pid() != options.pid &&
      event.reporter_pid() != options.pid) {
    return false;
  }
  return options.endpoint.empty() || event.endpoint() == options.endpoint;
}

void PrintMonitorJson(const v1::MonitorEvent& event, std::uint64_t dropped) {
  std::printf(
      "{\"time_unix_nanos\":%llu,\"kind\":\"%s\",\"side\":\"%s\",\"reporter_pid\":%d,"
      "\"caller_pid\":%d,\"caller\":%s,\"callee_pid\":%d,\"endpoint\":%s,\"operation\":%s,"
      "\"duration_us\":%.1f,\"status\":%s,\"fault\":%s,\"request_bytes\":%llu,"
      "\"reply_bytes\":%llu,\"answer\":%s,\"dropped\":%llu}\n",
      static_cast<unsigned long long>(event.time_unix_nanos()),
      std::string(KindName(event.kind())).c_str(), std::string(SideName(event.side())).c_str(),
      event.reporter_pid(), event.caller_pid(), JsonString(event.caller()).c_str(),
      event.callee_pid(), JsonString(event.endpoint()).c_str(),
      JsonString(event.operation()).c_str(), static_cast<double>(event.duration_nanos()) / 1e3,
      JsonString(event.status()).c_str(), JsonString(event.fault()).c_str(),
      static_cast<unsigned long long>(event.request_bytes()),
      static_cast<unsigned long long>(event.reply_bytes()), JsonString(event.answer()).c_str(),
      static_cast<unsigned long long>(dropped));
}

constexpr const char* kMonitorRow =
    "%-15s %-6s %-13s %8s %-16s %8s %-24s %-16s %10s %-12s %7s %7s %s\n";

void PrintMonitorHeader() {
  std::printf(kMonitorRow, "TIME", "SIDE", "KIND", "CALLER", "NAME", "CALLEE", "ENDPOINT",
              "OPERATION", "USEC", "STATUS", "REQ", "REPLY", "ANSWER/FAULT");
}

void PrintMonitorRow(const v1::MonitorEvent& event, std::uint64_t dropped) {
  if (dropped != 0) {
    std::printf("-- %llu events dropped before this one (the monitor did not keep up)\n",
                static_cast<unsigned long long>(dropped));
  }
  const std::string caller = event.caller_pid() != 0 ? std::to_string(event.caller_pid()) : "-";
  const std::string note =
      !event.fault().empty() ? EscapedForTable(event.fault()) : EscapedForTable(event.answer());
  std::printf(kMonitorRow, ClockTime(event.time_unix_nanos()).c_str(),
              std::string(SideName(event.side())).c_str(),
              std::string(KindName(event.kind())).c_str(), caller.c_str(),
              EscapedForTable(event.caller()).c_str(), std::to_string(event.callee_pid()).c_str(),
              EscapedForTable(event.endpoint()).c_str(), EscapedForTable(event.operation()).c_str(),
              std::to_string(event.duration_nanos() / 1000).c_str(),
              EscapedForTable(event.status()).c_str(),
              std::to_string(event.request_bytes()).c_str(),
              std::to_string(event.reply_bytes()).c_str(), note.c_str());
}

void RunMonitor(const MonitorOptions& options) {
  StopSignals signals("norvctl monitor");
  ServiceModel::MonitorSocket socket;
  // A large buffer lets bursts through; what still overflows is counted.
  ::setsockopt(socket.Descriptor(), SOL_SOCKET, SO_RCVBUF, &options.receiveBufferBytes,
               sizeof options.receiveBufferBytes);
  if (options.json) {
    std::printf("{\"attached\":%s}\n", JsonString(socket.Path()).c_str());
  } else {
    std::printf("attached: %s\n", EscapedForTable(socket.Path()).c_str());
    PrintMonitorHeader();
  }
  std::fflush(stdout);
  std::uint64_t droppedTotal = 0;
  std::string buffer(1 << 17, '\0');
  pollfd fds[2] = {{socket.Descriptor(), POLLIN, 0}, {signals.Descriptor(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "norvctl monitor: poll");
    }
    if (fds[1].revents != 0) {
      const std::string signal = signals.Wait();
      if (options.json) {
        std::printf("{\"stopped\":%s,\"dropped_total\":%llu}\n", JsonString(signal).c_str(),
                    static_cast<unsigned long long>(droppedTotal));
      } else {
        std::printf("stopped on %s; %llu events dropped in total\n", signal.c_str(),
                    static_cast<unsigned long long>(droppedTotal));
      }
      std::fflush(stdout);
      return;
    }
    for (;;) {
      const ssize_t got = ::recv(socket.Descriptor(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (got < 0) break;
      v1::MonitorBatch batch;
      if (!batch.ParseFromArray(buffer.data(), static_cast<int>(got))) continue;
      droppedTotal += batch.dropped();
      // The count goes with the first event shown after the loss.
      std::uint64_t dropped = batch.dropped();
      for (const v1::MonitorEvent& event : batch.events()) {
        if (!MonitorWants(options, event)) continue;
        if (options.json) {
          PrintMonitorJson(event, dropped);
        } else {
          PrintMonitorRow(event, dropped);
        }
        dropped = 0;
      }
      if (dropped != 0 && !options.json) {
        std::printf("-- %llu events dropped (the monitor did not keep up)\n",
                    static_cast<unsigned long long>(dropped));
      } else if (dropped != 0) {
        std::printf("{\"dropped\":%llu}\n", static_cast<unsigned long long>(dropped));
      }
    }
    std::fflush(stdout);
  }
}

}  // namespace

void AddMonitorCommands(CLI::App& app) {
  auto options = std::make_shared<MonitorOptions>();
  CLI::App* monitor = app.add_subcommand(
      "monitor",
      "Show every call on this user's endpoints as it happens, as the hosts and client channels "
      "of the interop library see it: unary calls (caller, callee, endpoint, operation, "
      "duration, status or fault, sizes), and duplex sessions (start, end, calls, and each "
      "callback with its answer). Attaching needs no restart; only the owner of the endpoint "
      "directory can attach. Callers never wait for the monitor: events it cannot take are "
      "dropped and their count shown. Runs until SIGINT or SIGTERM.");
  monitor->add_option("--pid", options->pid,
                      "Only events of this process (as caller, callee or reporter)");
  monitor->add_option("--endpoint", options->endpoint, "Only events of this endpoint name");
  monitor->add_flag("--json", options->json, "One JSON object a line instead of a table");
  monitor->callback([options] { Guarded([&] { RunMonitor(*options); }); });
}

}  // namespace Norv::Ctl
