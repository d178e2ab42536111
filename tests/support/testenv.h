// Test support shared by both builds: temporary folders, files, waiting for conditions,
// owning platform handles and threads, and starting the helper programs and the real executable.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/handle.h"
#include "platform/sync.h"

namespace testenv {

// One platform handle owned by a scope: released with CloseObject when the owner goes, so a
// test that ends early at a failed assertion leaves nothing open. Neither kNoHandle (the
// default) nor the null handle is ever released; both count as empty.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(plat::Handle h) : h_(h) {}
  ~OwnedHandle() { reset(); }
  OwnedHandle(OwnedHandle&& o) noexcept : h_(o.release()) {}
  OwnedHandle& operator=(OwnedHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  plat::Handle get() const { return h_; }
  explicit operator bool() const { return h_ != plat::kNoHandle && h_ != nullptr; }
  // Gives the handle up without releasing it; the owner is left empty (kNoHandle).
  plat::Handle release() {
    const plat::Handle h = h_;
    h_ = plat::kNoHandle;
    return h;
  }
  // Releases the handle held (if any) and takes h in its place.
  void reset(plat::Handle h = plat::kNoHandle) {
    const plat::Handle old = h_;
    h_ = h;
    if (old != plat::kNoHandle && old != nullptr) plat::CloseObject(old);
  }

 private:
  plat::Handle h_ = plat::kNoHandle;
};

// Threads a test starts with plat::StartThread on data of its own frame. The group waits for
// every one of them when it goes, however the test ends, so none runs on past that data.
class ThreadGroup {
 public:
  ThreadGroup() = default;
  ~ThreadGroup();
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  // Starts fn(arg) on a thread of its own; false when it cannot be started.
  bool Start(plat::ThreadProc fn, void* arg);
  // Waits up to ms for each thread started; whether every one has ended.
  bool Join(std::uint32_t ms);

 private:
  std::vector<OwnedHandle> threads_;
};

// Separator of platform paths on this build.
char Sep();
// a + Sep() + b
std::string Join(const std::string& a, const std::string& b);

// A fresh empty folder for the running test (named after suite and test), as a platform path.
// Under Wine it lies in the build folder, seen through drive Z:.
std::string FreshDir();

// Whole-file helpers (binary, no line-end translation). ReadFile gives "" for a missing file.
bool WriteFile(const std::string& path, const std::string& bytes);
bool AppendFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
bool MakeDir(const std::string& path);
bool RemoveTree(const std::string& path);

// Removes a folder tree the way a program of the host system does. Under Wine that is a Linux
// program: Wine's own removal of a folder that some process still has open only marks it, and
// the folder stays until the last handle to it is closed. True once the folder is gone.
bool RemoveTreeFromHost(const std::string& path);

// Sets the last-write time of the file at path (100 ns units since 1601) as a sender that sets
// it after closing the file does: Linux by path; Windows by opening the file again for its
// attributes, sharing everything. False when it could not be set.
bool SetWriteTime(const std::string& path, std::int64_t units);

// Gives a file a new last-write time over and over, as fast as it can, from a thread of its
// own, until destroyed: a file rewritten without pause, whose exclusive open still succeeds at
// any moment (the time is set by path on Linux, through a handle opened for attributes only on
// Windows, which share modes do not count).
class TimeRewriter {
 public:
  explicit TimeRewriter(const std::string& path);
  ~TimeRewriter();
  TimeRewriter(const TimeRewriter&) = delete;
  TimeRewriter& operator=(const TimeRewriter&) = delete;
  long long rewrites() const { return rewrites_; }

 private:
  std::atomic<bool> running_{true};
  std::atomic<long long> rewrites_{0};
  std::thread thread_;
};

// Polls cond every few milliseconds until it holds or the deadline passes.
bool WaitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Time for a watcher to act on a change it should ignore, before a test checks it did not.
void SleepForChangeToSettle();

// Sets (or, with an empty value, removes) a variable of this process's environment, which the
// programs it starts inherit.
void SetEnv(const std::string& name, const std::string& value);

// Platform path of a helper program built from tests/tools (name without extension).
std::string ToolPath(const std::string& name);
// Platform path of the built kelmservice executable.
std::string ServiceExePath();

// A child process started with a list of arguments (quoted by the platform's rules).
struct Process {
  std::intptr_t id = 0;      // pid / process handle
  std::intptr_t stdinW = 0;  // write end of the child's standard input, when asked for
  bool valid() const { return id != 0; }
};
// Starts exe with args; env entries "NAME=value" are added to the inherited environment.
// stdoutPath/stderrPath, when non-empty, receive the child's output. withStdin gives the
// child a pipe as standard input whose write end is in Process::stdinW.
Process Start(const std::string& exe, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {}, const std::string& stdoutPath = "",
              const std::string& stderrPath = "", bool withStdin = false);
// Waits for the child to end; returns its exit code, or -1 on time-out (the child is killed).
int Wait(Process& p, std::chrono::milliseconds deadline = std::chrono::seconds(60));
void Kill(Process& p);
void CloseStdin(Process& p);
// Sends the stop signal (Linux: SIGTERM); no-op on Windows.
void Terminate(Process& p);

}  // namespace testenv
