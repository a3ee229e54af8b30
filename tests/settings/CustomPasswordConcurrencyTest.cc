// Many first uses at once: whoever creates the key, every caller must end up
// encrypting under the same one, in threads and in separate processes.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "services/CustomPassword.h"
#include "tests/support/TestSupport.h"

namespace Norv::Security {
namespace {

namespace fs = std::filesystem;
using Norv::Testing::ScopedEnv;
using Norv::Testing::TempDir;

TEST(CustomPasswordConcurrencyTest, ThreadsCreatingTheKeyAtOnceShareIt) {
  TempDir temp;
  ScopedEnv xdg("XDG_CONFIG_HOME", temp.Path().string());
  constexpr int kThreads = 8;
  std::vector<ServiceString> texts(kThreads);
  std::vector<std::string> errors(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&texts, &errors, i] {
        try {
          texts[i] = CustomPassword::EncryptPassword(ServiceString(std::u16string(1, u'a' + i)));
        } catch (const std::exception& e) {
          errors[i] = e.what();
        }
      });
    }
  }
  for (int i = 0; i < kThreads; ++i) {
    ASSERT_EQ(errors[i], "") << "thread " << i;
    EXPECT_EQ(CustomPassword::DecryptPassword(texts[i]).Units(), std::u16string(1, u'a' + i));
  }
}

TEST(CustomPasswordConcurrencyTest, ProcessesCreatingTheKeyAtOnceShareIt) {
  TempDir temp;
  ScopedEnv xdg("XDG_CONFIG_HOME", temp.Path().string());
  constexpr int kProcesses = 4;
  // Each child waits on the pipe until all exist, encrypts, and writes the
  // text to its own file.
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char byte;
      if (::read(gate[0], &byte, 1) != 0) ::_exit(2);
      try {
        std::string text = CustomPassword::EncryptPassword(ServiceString(u"shared")).ToUtf8();
        std::FILE* out = std::fopen((temp.Path() / ("text" + std::to_string(i))).c_str(), "w");
        if (out == nullptr) ::_exit(3);
        std::fputs(text.c_str(), out);
        ::_exit(std::fclose(out) == 0 ? 0 : 3);
      } catch (...) {
        ::_exit(1);
      }
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // releases every child at once
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  for (int i = 0; i < kProcesses; ++i) {
    std::FILE* in = std::fopen((temp.Path() / ("text" + std::to_string(i))).c_str(), "r");
    ASSERT_NE(in, nullptr);
    char buffer[512] = {};
    std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, in);
    std::fclose(in);
    EXPECT_EQ(CustomPassword::DecryptPassword(ServiceString::FromUtf8({buffer, n})).Units(),
              u"shared");
  }
}

}  // namespace
}  // namespace Norv::Security
