// Small helpers shared by the tests: a temporary directory removed on scope
// exit, a scoped environment variable, and a private endpoint directory so
// that tests never meet each other's sockets.
#ifndef NORV_TESTS_SUPPORT_TEST_SUPPORT_H_
#define NORV_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <filesystem>
#include <optional>
#include <string>

namespace Norv::Testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Points NORV_PIPE_DIR at a fresh private directory for its lifetime.
class PrivatePipeDir {
 public:
  PrivatePipeDir();
  const std::filesystem::path& Path() const noexcept { return dir_.Path(); }

 private:
  TempDir dir_;
  ScopedEnv env_;
};

// The build tree (for helper programs built beside the tests).
std::filesystem::path BinaryDir();
std::filesystem::path SourceDir();

}  // namespace Norv::Testing

#endif  // NORV_TESTS_SUPPORT_TEST_SUPPORT_H_
