#include "servers/dataservice/DemoProject.h"

#include <fcntl.h>
#include <sodium.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <system_error>

namespace Norv::Servers {

namespace {

constexpr const char* kAuthors[] = {"Amara Okafor", "Lars Lindqvist", "Rei Tanaka",
                                    "Sophie Moreau"};
constexpr const char* kTemplates[] = {"Arps hyperbolic b=0.8", "Exponential decline",
                                      "Harmonic decline",      "Type curve P50",
                                      "Type curve P90",        "Duong tight gas"};
constexpr const char* kNamedForecasts[] = {"Budget 2027", "Reserves review Q3", "P90 low case"};
constexpr const char* kPads[] = {"A", "B", "C", "D", "E", "F", "G", "H"};
constexpr std::int32_t kFirstBoreholeId = 10001;

// Removes the file at `path` on scope exit unless released.
class FileRemover {
 public:
  explicit FileRemover(std::filesystem::path path) : path_(std::move(path)) {}
  ~FileRemover() {
    if (!path_.empty()) {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
      for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        std::filesystem::remove(path_.string() + suffix, ignored);
      }
    }
  }
  FileRemover(const FileRemover&) = delete;
  FileRemover& operator=(const FileRemover&) = delete;

 private:
  std::filesystem::path path_;
};

struct Forecast {
  std::int32_t boreholeId;
  double eur;
  double reserve;
  DateTime life;
};

void WriteDemo(const std::filesystem::path& file, const DemoProjectOptions& options,
               DemoProjectSummary& summary) {
  std::mt19937 random(options.seed);
  std::lognormal_distribution<double> eurDistribution(std::log(420.0), 0.55);  // thousand bbl
  std::uniform_real_distribution<double> remaining(0.15, 0.85);
  std::uniform_int_distribution<int> lifeYears(3, 34);
  std::uniform_int_distribution<int> lifeMonth(1, 12);
  std::uniform_int_distribution<int> lifeDay(1, 28);
  std::bernoulli_distribution hasForecast(0.8);

  ProjectWriter writer(file);
  writer.Begin();
  std::int64_t project = writer.AddProject(options.projectPath, options.projectName);
  writer.AddUser(project, options.adminName, summary.adminPassword, true, false, options.cost);
  writer.AddUser(project, options.restrictedName, summary.restrictedPassword, false, true,
                 options.cost);

  for (int i = 0; i < options.boreholes; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "NF-%s-%03d", kPads[i % std::size(kPads)],
                  i / static_cast<int>(std::size(kPads)) + 1);
    writer.AddBorehole(project, kFirstBoreholeId + i, name);
  }
  summary.boreholes = options.boreholes;

  std::size_t nextTemplate = 0;
  for (std::size_t a = 0; a < std::size(kAuthors); ++a) {
    std::int64_t author = writer.AddAuthor(project, kAuthors[a]);
    summary.authors.emplace_back(kAuthors[a]);
    std::vector<Forecast> authorForecasts;
    int templateCount = 3 + static_cast<int>(a % 2);
    for (int t = 0; t < templateCount; ++t) {
      std::int32_t templateId =
          writer.AddTemplate(author, kTemplates[nextTemplate++ % std::size(kTemplates)]);
      ++summary.templates;
      for (int b = 0; b < options.boreholes; ++b) {
        if (!hasForecast(random)) continue;
        double eur = std::round(eurDistribution(random) * 10.0) / 10.0;
        double reserve = std::round(eur * remaining(random) * 10.0) / 10.0;
        DateTime life{2026 + lifeYears(random), lifeMonth(random), lifeDay(random)};
        writer.SetForecast(templateId, kFirstBoreholeId + b, eur, reserve, life);
        ++summary.forecasts;
        if (t == 0) authorForecasts.push_back({kFirstBoreholeId + b, eur, reserve, life});
      }
    }
    // Named forecasts list their boreholes by falling EUR, as a review would,
    // so their order is not the order of the ids.
    std::sort(authorForecasts.begin(), authorForecasts.end(),
              [](const Forecast& x, const Forecast& y) { return x.eur > y.eur; });
    for (std::size_t n = 0; n < 2; ++n) {
      const char* forecastName = kNamedForecasts[(a + n) % std::size(kNamedForecasts)];
      std::int64_t named = writer.AddNamedForecast(author, forecastName);
      double scale = std::string_view(forecastName) == "P90 low case" ? 0.7 : 1.0;
      std::size_t take = authorForecasts.size() * (n == 0 ? 1 : 2) / (n == 0 ? 1 : 3);
      for (std::size_t i = 0; i < take; ++i) {
        const Forecast& f = authorForecasts[i];
        writer.AddNamedForecastEntry(named, f.boreholeId, std::round(f.eur * scale * 10) / 10,
                                     std::round(f.reserve * scale * 10) / 10, f.life);
      }
      summary.namedForecasts.push_back({kAuthors[a], forecastName, static_cast<int>(take)});
    }
  }
  writer.Commit();
}

}  // namespace

std::string GeneratePassword() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
  static constexpr char kAlphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::string password(20, '\0');
  for (char& c : password) c = kAlphabet[randombytes_uniform(sizeof kAlphabet - 1)];
  return password;
}

DemoProjectSummary CreateDemoProject(const std::filesystem::path& file,
                                     DemoProjectOptions options) {
  if (options.boreholes < 1 || options.boreholes > 100000) {
    throw std::invalid_argument("a demo project holds 1 to 100000 boreholes, not " +
                                std::to_string(options.boreholes));
  }
  if (options.adminName == options.restrictedName) {
    throw std::invalid_argument("the administrator and the restricted user need two names");
  }
  std::filesystem::path target = std::filesystem::absolute(file);
  if (std::filesystem::exists(target)) {
    throw std::runtime_error("cannot create demo project " + target.string() +
                             ": the file already exists");
  }
  DemoProjectSummary summary;
  summary.projectPath = options.projectPath;
  summary.adminName = options.adminName;
  summary.restrictedName = options.restrictedName;
  summary.adminPasswordGenerated = options.adminPassword.empty();
  summary.adminPassword =
      summary.adminPasswordGenerated ? GeneratePassword() : options.adminPassword;
  summary.restrictedPasswordGenerated = options.restrictedPassword.empty();
  summary.restrictedPassword =
      summary.restrictedPasswordGenerated ? GeneratePassword() : options.restrictedPassword;

  std::string temporary = target.string() + ".XXXXXX";
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    int error = errno;
    throw std::runtime_error("cannot create demo project " + target.string() + ": " +
                             std::strerror(error));
  }
  ::close(fd);
  FileRemover remover(temporary);
  WriteDemo(temporary, options, summary);
  // link() refuses an existing name, so a file that appeared meanwhile is
  // never replaced.
  if (::link(temporary.c_str(), target.c_str()) != 0) {
    int error = errno;
    throw std::runtime_error("cannot create demo project " + target.string() + ": " +
                             std::strerror(error));
  }
  return summary;
}

}  // namespace Norv::Servers
