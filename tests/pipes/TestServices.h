// Service objects and helpers shared by the component's tests: a data
// service whose answers the test sets, a shutdown service that records its
// subscribers, and the command line of the peer process.
#ifndef NORV_TESTS_PIPES_TEST_SERVICES_H_
#define NORV_TESTS_PIPES_TEST_SERVICES_H_

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "services/IApplicationLauncher.h"
#include "services/IDataService.h"
#include "services/IShutdown.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::Testing {

using ServiceModel::Contracts::Service::IApplicationLauncher;
using ServiceModel::Contracts::Service::IDataService;
using ServiceModel::Contracts::Service::IShutdown;
using ServiceModel::Contracts::Service::IShutdownCallback;
namespace Data = ServiceModel::Contracts::Data;

// Answers from fields the test sets; records the arguments it received and
// whether two operations ever overlapped.
class FakeDataService : public IDataService {
 public:
  void LogOn(const String& projectPath, const String& user, const String& password,
             const String& author) override;
  bool IsProjectAdmin(const String& projectPath, const String& userName,
                      const String& password) override;
  bool IsUserRestricted(const String&, const String&, const String&) override { return true; }
  bool IsDatabaseCanBeConnected(const String&, const String&, const String&) override {
    return false;
  }
  Collection<String> GetAuthors(const String&, const String&, const String&) override {
    return authors;
  }
  double GetForecastEUR(const String&, const String&, const String&, std::int32_t boreholeId,
                        const String&, const String&) override;
  double GetForecastReserve(const String&, const String&, const String&, std::int32_t boreholeId,
                            const String&, const String&) override {
    return boreholeId * 0.5;
  }
  DateTime GetForecastLife(const String&, const String&, const String&, std::int32_t, const String&,
                           const String&) override {
    return life;
  }
  Data::DoubleResultSetCollection GetForecastEURList(const String&, const String&, const String&,
                                                     const String&, const String&) override {
    return doubles;
  }
  Data::DoubleResultSetCollection GetForecastReserveList(const String&, const String&,
                                                         const String&, const String&,
                                                         const String&) override {
    return doubles;
  }
  Data::DateTimeResultSetCollection GetForecastLifeList(const String&, const String&, const String&,
                                                        const String&, const String&) override {
    return dates;
  }
  Collection<std::int32_t> GetBoreholeIdsWithForecast(const String&, const String&, const String&,
                                                      const String&, const String&) override {
    return ids;
  }
  Data::StringResultSetCollection GetForecastTemplatesByAuthor(const String&, const String&,
                                                               const String&,
                                                               const String&) override {
    return templates;
  }

  // Answers, set before the host opens.
  Collection<String> authors;
  DateTime life;
  Data::DoubleResultSetCollection doubles;
  Data::DateTimeResultSetCollection dates;
  Collection<std::int32_t> ids;
  Data::StringResultSetCollection templates;
  std::string fault;  // LogOn raises it when not empty
  // GetForecastEUR calls this first when set (e.g. to block).
  std::function<void()> onForecast;

  // What LogOn received, and who called it.
  std::mutex mu;
  std::vector<String> logOnArguments;
  ServiceModel::PeerIdentity logOnPeer;
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
};

class FakeLauncher : public IApplicationLauncher {
 public:
  void LogOn(const String&, const String&, const String&, const String&) override {}
  void LaunchTrasko() override { ++launches; }
  void LaunchWendal() override { throw std::runtime_error("Wendal is not installed"); }
  void LaunchOrbisk() override {}
  std::atomic<int> launches{0};
};

// Records the callback channel of every subscriber, like the shutdown
// registry does.
class RecordingShutdown : public IShutdown {
 public:
  void Subscribe(std::int32_t key) override;
  void Unsubscribe(std::int32_t key) override;
  void Ping() override { ++pings; }

  std::shared_ptr<IShutdownCallback> Channel(std::int32_t key);
  std::vector<std::int32_t> Keys();
  // Waits (bounded) until `key` is subscribed.
  std::shared_ptr<IShutdownCallback> WaitForSubscriber(std::int32_t key);

  std::atomic<int> pings{0};

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::int32_t, std::shared_ptr<IShutdownCallback>> clients_;
};

// A callback object whose answers the test controls.
class ScriptedCallback : public IShutdownCallback {
 public:
  bool RequestShutdown() override;
  void ForceShutdown() override;

  std::function<bool()> onRequest = [] { return true; };
  std::atomic<int> requests{0};
  std::atomic<int> forced{0};
};

// Asks the server on the socket at `path` to list its services through gRPC
// server reflection. Returns the raw reply (service names appear in it as
// text), or nullopt when the server does not serve reflection.
std::optional<std::string> ListServicesByReflection(const std::string& path);

// Polls `condition` every few milliseconds for up to 30 s.
bool Eventually(const std::function<bool()>& condition);

// The command line of tests/pipes/norv_pipes_peer with `arguments`, for a
// ChildProcess.
std::vector<std::string> PeerArgv(const std::vector<std::string>& arguments);

}  // namespace Norv::Testing

#endif  // NORV_TESTS_PIPES_TEST_SERVICES_H_
