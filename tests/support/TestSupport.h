#pragma once
// Helpers for tests that touch files and processes: a scratch directory, a scoped environment
// variable and a child process with a bounded lifetime.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace qel::test {

// A fresh directory, removed with its contents when the object goes.
class TScratchDir {
 public:
  TScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qeltest-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) FPath = pattern;
  }
  ~TScratchDir() {
    std::error_code ignored;
    if (!FPath.empty()) std::filesystem::remove_all(FPath, ignored);
  }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;

  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

// Sets (or, with nullopt, unsets) an environment variable until destroyed.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const std::optional<std::string>& value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    Apply(value);
  }
  ~TScopedEnv() { Apply(FOld); }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  void Apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(FName.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(FName.c_str());
    }
  }

  std::string FName;
  std::optional<std::string> FOld;
};

// Exit statuses through which child bodies report a lock or open attempt.
inline constexpr int kChildGranted = 10;
inline constexpr int kChildRefused = 11;
inline constexpr int kChildFailed = 12;

// A forked process running `body`, whose answer becomes its exit status. The
// parent and the child can hand each other one "ready" and one "release"
// signal through pipes. A child still running when the object goes is
// killed, so a failing test never leaves one behind.
class TChildProcess {
 public:
  using TBody = std::function<int(TChildProcess&)>;

  explicit TChildProcess(const TBody& body) {
    if (::pipe(FReady) != 0 || ::pipe(FRelease) != 0) return;
    FPid = ::fork();
    if (FPid == 0) {
      ::close(FReady[0]);
      ::close(FRelease[1]);
      int status = kChildFailed;
      try {
        status = body(*this);
      } catch (...) {
      }
      ::_exit(status);  // no destructors or atexit handlers of the parent's state
    }
    ::close(FReady[1]);
    ::close(FRelease[0]);
    FReady[1] = FRelease[0] = -1;
  }

  ~TChildProcess() {
    if (FPid > 0 && !FExited) {
      ::kill(FPid, SIGKILL);
      int status = 0;
      ::waitpid(FPid, &status, 0);
    }
    for (int fd : {FReady[0], FReady[1], FRelease[0], FRelease[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return FPid > 0; }
  // Kills the child at once, as a crash would.
  void Kill() {
    if (FPid > 0 && !FExited) ::kill(FPid, SIGKILL);
  }

  // Child side.
  void SignalReady() { (void)!::write(FReady[1], "r", 1); }
  // Waits for the parent; also returns when the parent goes away.
  void AwaitRelease() {
    char c;
    (void)!::read(FRelease[0], &c, 1);
  }

  // Parent side.
  bool AwaitReady(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    pollfd ready{FReady[0], POLLIN, 0};
    char c;
    return ::poll(&ready, 1, static_cast<int>(limit.count())) == 1 && ::read(FReady[0], &c, 1) == 1;
  }
  void Release() { (void)!::write(FRelease[1], "g", 1); }

  // The child's exit status, or -1 when it crashed or did not end in time.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    if (FPid <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!FExited) {
      const pid_t done = ::waitpid(FPid, &FStatus, WNOHANG);
      if (done == FPid) {
        FExited = true;
        break;
      }
      if (done < 0 || std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : -1;
  }

 private:
  pid_t FPid = -1;
  bool FExited = false;
  int FStatus = 0;
  int FReady[2] = {-1, -1};
  int FRelease[2] = {-1, -1};
};

// Runs `body` in a child process and answers its exit status (-1: crashed or
// timed out).
inline int RunInChild(const std::function<int()>& body) {
  TChildProcess child([&](TChildProcess&) { return body(); });
  return child.Wait();
}

}  // namespace qel::test
