// A data service for the bridge tests: records every call it receives
// (operation, strings in order, borehole id) and answers what the test
// scripted, or raises the scripted fault.
//
// Thread-safety: scripted and read from the test thread while the host calls
// it on its own threads; one mutex guards everything.
#ifndef NORV_TESTS_DATASERVICE_SCRIPTED_DATA_SERVICE_H_
#define NORV_TESTS_DATASERVICE_SCRIPTED_DATA_SERVICE_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "services/IDataService.h"

namespace Norv::Testing {

class ScriptedDataService final : public ServiceModel::Contracts::Service::IDataService {
 public:
  struct Answers {
    std::optional<std::string> fault;  // raised by every operation when set
    bool flag = false;                 // IsProjectAdmin, IsUserRestricted, IsDatabaseCanBeConnected
    double value = 0.0;                // GetForecastEUR, GetForecastReserve
    DateTime life;
    Collection<String> authors = std::vector<String>{};
    ServiceModel::Contracts::Data::DoubleResultSetCollection doubles =
        ServiceModel::Contracts::Data::DoubleResultSetCollection::value_type{};
    ServiceModel::Contracts::Data::DateTimeResultSetCollection lives =
        ServiceModel::Contracts::Data::DateTimeResultSetCollection::value_type{};
    Collection<std::int32_t> boreholeIds = std::vector<std::int32_t>{};
    ServiceModel::Contracts::Data::StringResultSetCollection templates =
        ServiceModel::Contracts::Data::StringResultSetCollection::value_type{};
    // Run, outside the lock, by every operation before it answers: to stall one.
    std::function<void(const std::string& operation)> beforeAnswer;
  };

  struct Call {
    std::string operation;
    std::vector<String> strings;
    std::optional<std::int32_t> boreholeId;
  };

  void Script(const std::function<void(Answers&)>& script) {
    std::lock_guard lock(mutex_);
    script(answers_);
  }

  std::vector<Call> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  void LogOn(const String& p, const String& u, const String& w, const String& a) override {
    Record("LogOn", {p, u, w, a});
  }
  bool IsProjectAdmin(const String& p, const String& u, const String& w) override {
    return Record("IsProjectAdmin", {p, u, w}).flag;
  }
  bool IsUserRestricted(const String& p, const String& u, const String& w) override {
    return Record("IsUserRestricted", {p, u, w}).flag;
  }
  bool IsDatabaseCanBeConnected(const String& p, const String& u, const String& w) override {
    return Record("IsDatabaseCanBeConnected", {p, u, w}).flag;
  }
  Collection<String> GetAuthors(const String& p, const String& u, const String& w) override {
    return Record("GetAuthors", {p, u, w}).authors;
  }
  double GetForecastEUR(const String& p, const String& u, const String& w, std::int32_t id,
                        const String& t, const String& a) override {
    return Record("GetForecastEUR", {p, u, w, t, a}, id).value;
  }
  double GetForecastReserve(const String& p, const String& u, const String& w, std::int32_t id,
                            const String& t, const String& a) override {
    return Record("GetForecastReserve", {p, u, w, t, a}, id).value;
  }
  DateTime GetForecastLife(const String& p, const String& u, const String& w, std::int32_t id,
                           const String& t, const String& a) override {
    return Record("GetForecastLife", {p, u, w, t, a}, id).life;
  }
  ServiceModel::Contracts::Data::DoubleResultSetCollection GetForecastEURList(
      const String& p, const String& u, const String& w, const String& f,
      const String& a) override {
    return Record("GetForecastEURList", {p, u, w, f, a}).doubles;
  }
  ServiceModel::Contracts::Data::DoubleResultSetCollection GetForecastReserveList(
      const String& p, const String& u, const String& w, const String& f,
      const String& a) override {
    return Record("GetForecastReserveList", {p, u, w, f, a}).doubles;
  }
  ServiceModel::Contracts::Data::DateTimeResultSetCollection GetForecastLifeList(
      const String& p, const String& u, const String& w, const String& f,
      const String& a) override {
    return Record("GetForecastLifeList", {p, u, w, f, a}).lives;
  }
  Collection<std::int32_t> GetBoreholeIdsWithForecast(const String& p, const String& u,
                                                      const String& w, const String& t,
                                                      const String& a) override {
    return Record("GetBoreholeIdsWithForecast", {p, u, w, t, a}).boreholeIds;
  }
  ServiceModel::Contracts::Data::StringResultSetCollection GetForecastTemplatesByAuthor(
      const String& p, const String& u, const String& w, const String& a) override {
    return Record("GetForecastTemplatesByAuthor", {p, u, w, a}).templates;
  }

 private:
  Answers Record(std::string operation, std::vector<String> strings,
                 std::optional<std::int32_t> boreholeId = std::nullopt) {
    Answers answers;
    {
      std::lock_guard lock(mutex_);
      calls_.push_back({operation, std::move(strings), boreholeId});
      answers = answers_;
    }
    if (answers.beforeAnswer) answers.beforeAnswer(operation);
    if (answers.fault) throw std::runtime_error(*answers.fault);
    return answers;
  }

  mutable std::mutex mutex_;
  Answers answers_;
  std::vector<Call> calls_;
};

}  // namespace Norv::Testing

#endif  // NORV_TESTS_DATASERVICE_SCRIPTED_DATA_SERVICE_H_
