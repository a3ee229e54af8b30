// What the benchmarks share: a private scratch directory removed at exit,
// the run's private endpoint directory, and a per-iteration report of the
// whole process's CPU time and page faults.
//
// Thread-safety: RunDir() is safe to call from any thread; a ScratchDir and
// a ProcessCpu belong to the thread that made them.
#ifndef NORV_BENCH_BENCH_SUPPORT_H_
#define NORV_BENCH_BENCH_SUPPORT_H_

#include <stdlib.h>
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace Norv::Bench {

// A fresh directory under the temporary directory, mode 0700, removed with
// everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "norv-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "cannot create " + pattern);
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& Path() const noexcept { return path_; }
  std::string File(const char* name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The run's scratch directory. On first use it also points NORV_PIPE_DIR
// into it, so that every endpoint of the run is private to it.
inline const ScratchDir& RunDir() {
  static ScratchDir dir;
  [[maybe_unused]] static const bool pointed =
      ::setenv("NORV_PIPE_DIR", (dir.Path() / "pipes").c_str(), 1) == 0;
  return dir;
}

// Wall time on a shared machine mostly measures the other load. A benchmark
// holding one of these around its loop also reports the CPU time of the
// whole process (client and server threads alike) and its page faults per
// iteration, which the load does not inflate.
class ProcessCpu {
 public:
  explicit ProcessCpu(benchmark::State& state) : state_(state), start_(Usage()) {}
  ~ProcessCpu() {
    rusage end = Usage();
    state_.counters["process_cpu_us"] =
        benchmark::Counter(Micros(end) - Micros(start_), benchmark::Counter::kAvgIterations);
    state_.counters["page_faults"] = benchmark::Counter(
        static_cast<double>(Faults(end) - Faults(start_)), benchmark::Counter::kAvgIterations);
  }
  ProcessCpu(const ProcessCpu&) = delete;
  ProcessCpu& operator=(const ProcessCpu&) = delete;

 private:
  static rusage Usage() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage;
  }
  static double Micros(const rusage& usage) {
    auto micros = [](const timeval& t) { return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec); };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
  }
  static long Faults(const rusage& usage) { return usage.ru_minflt + usage.ru_majflt; }

  benchmark::State& state_;
  rusage start_;
};

}  // namespace Norv::Bench

#endif  // NORV_BENCH_BENCH_SUPPORT_H_
