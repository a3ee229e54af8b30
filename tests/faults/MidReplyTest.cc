// A service that dies in the middle of a reply: a proxy on the endpoint's
// socket forwards to a real host and cuts the connection after part of a
// large reply went through. The caller must get the component's
// communication failure naming the place, the call must not run twice, and
// the next call on the same channel must reach a host that listens again.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/pipes/TestServices.h"
#include "tests/support/TestSupport.h"

namespace Norv::ServiceModel {
namespace {

using Norv::Testing::FakeDataService;
using Norv::Testing::IDataService;
using Norv::Testing::PrivatePipeDir;
namespace Data = Norv::Testing::Data;
using Norv::Testing::Data::DoubleResultSet;
using ::testing::AllOf;
using ::testing::HasSubstr;

constexpr std::int32_t kPid = 5150;

int UnixSocket(const std::string& path, bool listen) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) throw std::runtime_error("path too long: " + path);
  std::memcpy(address.sun_path, path.data(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  const auto* raw = reinterpret_cast<const sockaddr*>(&address);
  int rc = listen ? ::bind(fd, raw, sizeof(address)) : ::connect(fd, raw, sizeof(address));
  if (rc == 0 && listen) rc = ::listen(fd, 16);
  if (rc != 0) {
    int error = errno;
    ::close(fd);
    throw std::runtime_error(path + ": " + std::strerror(error));
  }
  return fd;
}

// Listens on `path` and forwards every connection to the socket `target`.
// Once `cutAfter` bytes have come back from the target, it closes that
// connection on both sides, as a service process that dies would.
class CuttingProxy {
 public:
  CuttingProxy(std::string path, std::string target, std::size_t cutAfter)
      : path_(std::move(path)), target_(std::move(target)), cutAfter_(cutAfter) {
    listen_ = UnixSocket(path_, /*listen=*/true);
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    thread_ = std::thread([this] { Run(); });
  }
  ~CuttingProxy() {
    char byte = 0;
    [[maybe_unused]] ssize_t ignored = ::write(wake_[1], &byte, 1);
    thread_.join();
    for (const Pair& pair : pairs_) {
      ::close(pair.client);
      ::close(pair.service);
    }
    ::close(listen_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    ::unlink(path_.c_str());
  }
  CuttingProxy(const CuttingProxy&) = delete;
  CuttingProxy& operator=(const CuttingProxy&) = delete;

  bool HasCut() const { return cut_; }
  std::size_t Returned() const { return returned_; }

 private:
  struct Pair {
    int client;
    int service;
  };

  static bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
      ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return false;
      data += sent;
      size -= static_cast<std::size_t>(sent);
    }
    return true;
  }

  void Run() {
    std::vector<char> buffer(16384);
    for (;;) {
      std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
      for (const Pair& pair : pairs_) {
        fds.push_back({pair.client, POLLIN, 0});
        fds.push_back({pair.service, POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents != 0) return;
      std::vector<Pair> kept;
      for (std::size_t i = 0; i < pairs_.size(); ++i) {
        const Pair& pair = pairs_[i];
        bool open = true;
        if (fds[2 + 2 * i].revents != 0) {
          ssize_t n = ::read(pair.client, buffer.data(), buffer.size());
          open = n > 0 && SendAll(pair.service, buffer.data(), static_cast<std::size_t>(n));
        }
        if (open && fds[3 + 2 * i].revents != 0) {
          ssize_t n = ::read(pair.service, buffer.data(), buffer.size());
          std::size_t size = n > 0 ? static_cast<std::size_t>(n) : 0;
          std::size_t allowed = std::min(size, cutAfter_ - returned_);
          open = n > 0 && SendAll(pair.client, buffer.data(), allowed);
          returned_ += allowed;
          if (returned_ == cutAfter_) {
            cut_ = true;
            open = false;
          }
        }
        if (open) {
          kept.push_back(pair);
        } else {
          ::close(pair.client);
          ::close(pair.service);
        }
      }
      pairs_ = std::move(kept);
      if (fds[1].revents & POLLIN) {
        int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) pairs_.push_back({client, UnixSocket(target_, /*listen=*/false)});
      }
    }
  }

  const std::string path_;
  const std::string target_;
  const std::size_t cutAfter_;
  int listen_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::vector<Pair> pairs_;
  std::atomic<std::size_t> returned_{0};
  std::atomic<bool> cut_{false};
};

// Counts the list calls that reach it.
class CountingDataService : public FakeDataService {
 public:
  Data::DoubleResultSetCollection GetForecastEURList(const String& a, const String& b,
                                                     const String& c, const String& d,
                                                     const String& e) override {
    ++listCalls;
    return FakeDataService::GetForecastEURList(a, b, c, d, e);
  }
  std::atomic<int> listCalls{0};
};

std::unique_ptr<NamedPipeServiceHost> OpenHost(std::shared_ptr<IDataService> service,
                                               const std::string& name) {
  auto host = std::make_unique<NamedPipeServiceHost>(service, kPid, name);
  host->AddServiceEndpoint(TypeOf<IDataService>());
  SetMaxItemsInObjectGraph(host->Description(), 1 << 24);
  host->Open();
  return host;
}

TEST(MidReplyTest, ServiceDyingInTheMiddleOfAReplyFailsTheCallOnceAndTheNextCallWorks) {
  PrivatePipeDir dir;
  const Timeouts saved = NamedPipeServiceHost::GetTimeouts();
  // Generous, but a hang would end as a time-out, which the test refuses.
  NamedPipeServiceHost::SetTimeouts(
      {std::chrono::seconds(10), std::chrono::seconds(60), std::chrono::seconds(5)});

  auto service = std::make_shared<CountingDataService>();
  std::vector<std::optional<DoubleResultSet>> records;
  for (int i = 0; i < 300000; ++i) records.emplace_back(DoubleResultSet(i, i * 0.25));
  service->doubles = std::move(records);  // several megabytes on the wire
  auto real = OpenHost(service, "Real");

  const std::string pipes = (dir.Path() / "pipes").string();
  const std::string socket = pipes + "/" + std::to_string(kPid) + ".Data.sock";
  auto channel = NamedPipeServiceHost::GetSingleChannel<IDataService>(kPid, "Data");
  {
    // 256 KiB: well past the connection's greeting, far short of the reply.
    CuttingProxy proxy(socket, pipes + "/" + std::to_string(kPid) + ".Real.sock", 256 * 1024);
    try {
      channel->GetForecastEURList(u"p", u"u", u"pw", u"f", u"a");
      FAIL() << "a reply cut in the middle was taken for a whole one";
    } catch (const TimeoutException& e) {
      FAIL() << "a cut connection was waited out: " << e.what();
    } catch (const FaultException& e) {
      FAIL() << "a cut connection was reported as the service's fault: " << e.what();
    } catch (const CommunicationException& e) {
      EXPECT_THAT(e.what(), AllOf(HasSubstr("process 5150, endpoint Data"),
                                  HasSubstr("operation GetForecastEURList")));
    }
    EXPECT_TRUE(proxy.HasCut());
    EXPECT_EQ(service->listCalls, 1) << "the failed call was sent again";
  }

  // The proxy is gone; a host listens on the endpoint again.
  real->Close();
  auto again = OpenHost(service, "Data");
  EXPECT_EQ(channel->GetForecastEURList(u"p", u"u", u"pw", u"f", u"a"), service->doubles);
  EXPECT_EQ(service->listCalls, 2);
  NamedPipeServiceHost::SetTimeouts(saved);
}

}  // namespace
}  // namespace Norv::ServiceModel
