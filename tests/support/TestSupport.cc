#include "tests/support/TestSupport.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace Norv::Testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "norv-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  }
  path_ = pattern;
  ::chmod(path_.c_str(), 0700);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

PrivatePipeDir::PrivatePipeDir() : env_("NORV_PIPE_DIR", (dir_.Path() / "pipes").string()) {}

static std::filesystem::path FromEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr)
    throw std::runtime_error(std::string(name) + " is not set; run under ctest");
  return value;
}

std::filesystem::path BinaryDir() { return FromEnv("NORV_TEST_BINARY_DIR"); }
std::filesystem::path SourceDir() { return FromEnv("NORV_TEST_SOURCE_DIR"); }

}  // namespace Norv::Testing
