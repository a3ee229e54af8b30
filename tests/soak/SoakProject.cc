#include "tests/soak/SoakProject.h"

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "norv/interop/MirnDataService.h"
#include "servers/dataservice/ProjectDatabase.h"

namespace Norv::Soak {

namespace {

using Norv::MirnDataService::Interop::MirnDataService;

constexpr int kBoreholes = 60;

// Every value below is exact in binary, so answers compare with ==.
double Eur(int id) { return id * 1.5; }
double Reserve(int id) { return id * 0.25; }
double BudgetEur(int id) { return id * 2.0 + 0.5; }
double BudgetReserve(int id) { return id * 0.5 + 0.125; }
DateTime Life(int id) { return DateTime{2030 + id % 7, 1 + id % 12, 1 + id % 28}; }
// Template "Decline" forecasts every borehole but each third.
bool HasForecast(int id) { return id % 3 != 0; }

// The life date as the en-US culture writes it.
std::string LifeText(int id) {
  DateTime life = Life(id);
  return std::to_string(life.month) + "/" + std::to_string(life.day) + "/" +
         std::to_string(life.year);
}

std::string Text(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

std::string Text(const std::string& value) { return "\"" + value + "\""; }

std::string Text(int value) { return std::to_string(value); }
std::string Text(bool value) { return value ? "true" : "false"; }
std::string Text(const NativeDoubleKeyValuePair& pair) {
  return "(" + std::to_string(pair.key) + ", " + Text(pair.value) + ")";
}
std::string Text(const NativeStringKeyValuePair& pair) {
  return "(" + std::to_string(pair.key) + ", " + Text(pair.value) + ")";
}

template <class T>
std::string Text(const std::vector<T>& values) {
  std::string text = "[";
  for (std::size_t i = 0; i < values.size() && i < 4; ++i) {
    text += (i > 0 ? ", " : "") + Text(values[i]);
  }
  if (values.size() > 4) text += ", ... (" + std::to_string(values.size()) + " in all)";
  return text + "]";
}

bool Same(const NativeDoubleKeyValuePair& a, const NativeDoubleKeyValuePair& b) {
  return a.key == b.key && a.value == b.value;
}
bool Same(const NativeStringKeyValuePair& a, const NativeStringKeyValuePair& b) {
  return a.key == b.key && a.value == b.value;
}
template <class T>
bool Same(const T& a, const T& b) {
  return a == b;
}
template <class T>
bool Same(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!Same(a[i], b[i])) return false;
  }
  return true;
}

template <class T>
void Expect(const std::string& call, const T& got, const T& expected) {
  if (!Same(got, expected)) {
    throw std::runtime_error(call + " answered " + Text(got) + ", expected " + Text(expected));
  }
}

void ExpectFault(const std::string& call, const std::function<void()>& make,
                 const std::string& text) {
  try {
    make();
  } catch (const std::exception& e) {
    if (std::string(e.what()).find(text) != std::string::npos) return;
    throw std::runtime_error(call + " failed with \"" + e.what() +
                             "\", expected a fault saying \"" + text + "\"");
  }
  throw std::runtime_error(call + " returned, expected a fault saying \"" + text + "\"");
}

}  // namespace

SoakProject WriteSoakProject(const std::filesystem::path& file) {
  using Servers::PasswordHashCost;
  Servers::ProjectWriter writer(file);
  writer.Begin();
  std::int64_t project = writer.AddProject("soak", "Soak");
  writer.AddUser(project, "ada", "s3cret", true, false, PasswordHashCost::kMinimal);
  writer.AddUser(project, "rob", "pa55", false, true, PasswordHashCost::kMinimal);
  writer.AddAuthor(project, "Ben");
  std::int64_t zoe = writer.AddAuthor(project, "Zoe");
  for (int id = 1; id <= kBoreholes; ++id)
    writer.AddBorehole(project, id, "B" + std::to_string(id));
  SoakProject ids;
  ids.decline = writer.AddTemplate(zoe, "Decline");
  ids.typeCurve = writer.AddTemplate(zoe, "Type curve");
  // Written in descending order, so that an answer sorted by the service
  // differs from one in the order written.
  for (int id = kBoreholes; id >= 1; --id) {
    if (HasForecast(id)) writer.SetForecast(ids.decline, id, Eur(id), Reserve(id), Life(id));
  }
  std::int64_t budget = writer.AddNamedForecast(zoe, "Budget");
  for (int id = kBoreholes; id >= 1; --id) {
    writer.AddNamedForecastEntry(budget, id, BudgetEur(id), BudgetReserve(id), Life(id));
  }
  writer.Commit();
  return ids;
}

DataCallChecker::DataCallChecker(std::int32_t pid, const SoakProject& project, bool skewed)
    : pid_(pid), project_(project), skewed_(skewed) {}

void DataCallChecker::CheckNext() {
  std::string path = "soak";
  std::string admin = "ada";
  std::string adminPassword = "s3cret";
  std::string user = "rob";
  std::string password = "pa55";
  std::string author = "Zoe";
  std::string decline = "Decline";
  std::string budget = "Budget";
  char* p = path.data();
  char* u = user.data();
  char* w = password.data();
  const std::uint64_t cycle = calls_ / kKinds;
  // A borehole with a forecast, different from one cycle to the next.
  int id = 1 + static_cast<int>(cycle % kBoreholes);
  if (!HasForecast(id)) --id;
  const std::string site =
      " (process " + std::to_string(pid_) + ", borehole " + std::to_string(id) + ")";

  switch (calls_ % kKinds) {
    case 0:
      Expect("IsProjectAdmin(ada)" + site,
             MirnDataService::IsProjectAdmin(p, admin.data(), adminPassword.data(), pid_), true);
      break;
    case 1:
      Expect("IsProjectAdmin(rob)" + site, MirnDataService::IsProjectAdmin(p, u, w, pid_), false);
      break;
    case 2:
      Expect("IsUserRestricted(rob)" + site, MirnDataService::IsUserRestricted(p, u, w, pid_),
             true);
      break;
    case 3:
      Expect("IsDatabaseCanBeConnected(rob)" + site,
             MirnDataService::IsDatabaseCanBeConnected(p, u, w, pid_), true);
      break;
    case 4:
      Expect("GetAuthors" + site, MirnDataService::GetAuthors(p, u, w, pid_),
             std::vector<std::string>{"Ben", "Zoe"});
      break;
    case 5:
      Expect("GetForecastTemplatesByAuthor(Zoe)" + site,
             MirnDataService::GetForecastTemplatesByAuthor(p, u, w, pid_, author.data()),
             std::vector<NativeStringKeyValuePair>{{project_.decline, "Decline"},
                                                   {project_.typeCurve, "Type curve"}});
      break;
    case 6: {
      std::vector<int> ids;
      for (int i = 1; i <= kBoreholes; ++i) {
        if (HasForecast(i)) ids.push_back(i);
      }
      Expect(
          "GetBoreholeIdsWithForecast(Decline, Zoe)" + site,
          MirnDataService::GetBoreholeIdsWithForecast(p, u, w, pid_, decline.data(), author.data()),
          ids);
      break;
    }
    case 7:
      Expect("GetForecastEUR(Decline, Zoe)" + site,
             MirnDataService::GetForecastEUR(p, u, w, pid_, id, decline.data(), author.data()),
             Eur(id) + (skewed_ ? 1.0 : 0.0));
      break;
    case 8:
      Expect("GetForecastReserve(Decline, Zoe)" + site,
             MirnDataService::GetForecastReserve(p, u, w, pid_, id, decline.data(), author.data()),
             Reserve(id));
      break;
    case 9:
      Expect("GetForecastLife(Decline, Zoe)" + site,
             MirnDataService::GetForecastLife(p, u, w, pid_, id, decline.data(), author.data()),
             LifeText(id));
      break;
    case 10: {
      std::vector<NativeDoubleKeyValuePair> expected;
      for (int i = kBoreholes; i >= 1; --i) expected.push_back({i, BudgetEur(i)});
      Expect("GetForecastEURList(Budget, Zoe)" + site,
             MirnDataService::GetForecastEURList(p, u, w, pid_, budget.data(), author.data()),
             expected);
      break;
    }
    case 11: {
      std::vector<NativeDoubleKeyValuePair> expected;
      for (int i = kBoreholes; i >= 1; --i) expected.push_back({i, BudgetReserve(i)});
      Expect("GetForecastReserveList(Budget, Zoe)" + site,
             MirnDataService::GetForecastReserveList(p, u, w, pid_, budget.data(), author.data()),
             expected);
      break;
    }
    case 12: {
      std::vector<NativeStringKeyValuePair> expected;
      for (int i = kBoreholes; i >= 1; --i) expected.push_back({i, LifeText(i)});
      Expect("GetForecastLifeList(Budget, Zoe)" + site,
             MirnDataService::GetForecastLifeList(p, u, w, pid_, budget.data(), author.data()),
             expected);
      break;
    }
    default:
      // Faults come back with their text, and a fault leaves nothing behind
      // that disturbs the calls after it.
      if (cycle % 2 == 0) {
        std::string wrong = "wrong";
        ExpectFault(
            "IsProjectAdmin(ada, wrong password)" + site,
            [&] { MirnDataService::IsProjectAdmin(p, admin.data(), wrong.data(), pid_); },
            "wrong password for user \"ada\" of project \"soak\"");
      } else {
        const int bare = 3 * (1 + static_cast<int>(cycle % (kBoreholes / 3)));
        ExpectFault(
            "GetForecastEUR(Decline, Zoe) without a forecast" + site,
            [&] {
              MirnDataService::GetForecastEUR(p, u, w, pid_, bare, decline.data(), author.data());
            },
            "has no EUR for borehole " + std::to_string(bare));
      }
      break;
  }
  ++calls_;
}

}  // namespace Norv::Soak
