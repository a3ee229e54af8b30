// A data service on the platform API, in C++.
//
//   norv-data-service-example
//
// implements the data service contract (IDataService of
// <norv/platform/IDataService.h>) for a project "north" and serves it on the
// endpoint of its own process with NamedPipeServiceHost, which keeps the
// endpoint rules of norv-interop(7) (directory, socket, lock). It prints
// "serving: process PID, endpoint NAME" once it listens, and runs until
// SIGINT or SIGTERM. Ask it with the bridge, for instance
//   norvctl data authors --pid PID --project north --user admin
// Any other project is a fault raised by the service: the caller gets a
// FaultException with the service's own text.
#include <norv/platform.h>

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace Contracts = Norv::ServiceModel::Contracts;
using Contracts::Service::IDataService;
using Norv::Collection;
using Norv::DateTime;
using Norv::ServiceString;
using Norv::ServiceModel::NamedPipeServiceHost;
using Norv::ServiceModel::TypeOf;

namespace {

class DataService final : public IDataService {
 public:
  void LogOn(const String&, const String&, const String&, const String&) override {}
  bool IsProjectAdmin(const String& project, const String& user, const String&) override {
    Check(project);
    return user.ToUtf8() == "admin";
  }
  bool IsUserRestricted(const String& project, const String& user, const String&) override {
    Check(project);
    return user.ToUtf8() != "admin";
  }
  bool IsDatabaseCanBeConnected(const String& project, const String&, const String&) override {
    Check(project);
    return true;
  }
  // A collection of three names, the second of them null: a null string
  // differs from the empty one (see norv-interop(7)).
  Collection<String> GetAuthors(const String& project, const String&, const String&) override {
    Check(project);
    return std::vector<String>{ServiceString::FromUtf8("Amara Okafor"), ServiceString::Null(),
                               ServiceString::FromUtf8("Jon Berg")};
  }
  double GetForecastEUR(const String& project, const String&, const String&, std::int32_t,
                        const String&, const String&) override {
    Check(project);
    return 1.5;
  }
  double GetForecastReserve(const String& project, const String&, const String&, std::int32_t,
                            const String&, const String&) override {
    Check(project);
    return 2.5;
  }
  // A civil date-time, without a time zone: 7 March 2011 wherever it is read.
  DateTime GetForecastLife(const String& project, const String&, const String&, std::int32_t,
                           const String&, const String&) override {
    Check(project);
    DateTime life;
    life.year = 2011;
    life.month = 3;
    life.day = 7;
    life.hour = 23;
    life.minute = 59;
    return life;
  }
  // The lists are null: this service has no forecasts by name.
  Contracts::Data::DoubleResultSetCollection GetForecastEURList(const String&, const String&,
                                                                const String&, const String&,
                                                                const String&) override {
    return std::nullopt;
  }
  Contracts::Data::DoubleResultSetCollection GetForecastReserveList(const String&, const String&,
                                                                    const String&, const String&,
                                                                    const String&) override {
    return std::nullopt;
  }
  Contracts::Data::DateTimeResultSetCollection GetForecastLifeList(const String&, const String&,
                                                                   const String&, const String&,
                                                                   const String&) override {
    return std::nullopt;
  }
  Collection<std::int32_t> GetBoreholeIdsWithForecast(const String&, const String&, const String&,
                                                      const String&, const String&) override {
    return std::nullopt;
  }
  Contracts::Data::StringResultSetCollection GetForecastTemplatesByAuthor(const String&,
                                                                          const String&,
                                                                          const String&,
                                                                          const String&) override {
    return std::nullopt;
  }

 private:
  // What the service raises reaches the caller as a fault with this text.
  static void Check(const String& project) {
    if (project.ToUtf8() != "north") {
      throw std::runtime_error("project " + project.ToUtf8() + " is not served here");
    }
  }
};

int Run() {
  // Block the signals before any thread starts, then wait for one.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  const int pid = static_cast<int>(::getpid());
  const std::string endpoint(TypeOf<IDataService>().fullName);
  NamedPipeServiceHost host(std::make_shared<DataService>(), pid, endpoint);
  host.AddServiceEndpoint(TypeOf<IDataService>());
  host.Open();
  std::printf("serving: process %d, endpoint %s\n", pid, endpoint.c_str());
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stop, &signal);
  host.Close();
  std::printf("stopped on %s\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
  return 0;
}

}  // namespace

int main() {
  try {
    return Run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "norv-data-service-example: %s\n", error.what());
    return 1;
  }
}
