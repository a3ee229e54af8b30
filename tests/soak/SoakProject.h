// The project that the soak's data-service threads query: a small project
// database whose every answer follows from a formula, and a checker that
// makes one bridge call of a fixed cycle and compares the answer with the
// formula.
//
// Thread-safety: WriteSoakProject runs once, before any checker. A
// DataCallChecker belongs to one thread; several may run at once.
#ifndef NORV_TESTS_SOAK_SOAK_PROJECT_H_
#define NORV_TESTS_SOAK_SOAK_PROJECT_H_

#include <cstdint>
#include <filesystem>
#include <string>

namespace Norv::Soak {

// The ids the database gave the forecast templates.
struct SoakProject {
  std::int32_t decline = 0;
  std::int32_t typeCurve = 0;
};

// Writes the soak project to `file`, which must not exist yet.
SoakProject WriteSoakProject(const std::filesystem::path& file);

class DataCallChecker {
 public:
  // Calls the data service of process `pid`. With `skewed` the expected
  // value of one call kind is off by one, so that the comparison is seen
  // to fail (the soak's self-check).
  DataCallChecker(std::int32_t pid, const SoakProject& project, bool skewed);

  // Makes the next call of the cycle and compares its answer. Raises
  // std::runtime_error naming the call, its arguments, what came back and
  // what was expected.
  void CheckNext();

  std::uint64_t Calls() const noexcept { return calls_; }

  // The number of call kinds in one cycle.
  static constexpr int kKinds = 14;

 private:
  std::int32_t pid_;
  SoakProject project_;
  bool skewed_;
  std::uint64_t calls_ = 0;
};

}  // namespace Norv::Soak

#endif  // NORV_TESTS_SOAK_SOAK_PROJECT_H_
