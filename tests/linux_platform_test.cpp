// The Linux backend's own workings: UTF-8 stepping over broken text, the write-lease stand-in,
// inotify sharing and teardown, the early end of a pause on a writer's close, and descriptors
// that started programs never inherit.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/linux/checks_lock.h"
#include "platform/linux/descriptors.h"
#include "platform/linux/notification.h"
#include "platform/linux/spawn.h"
#include "platform/module.h"
#include "platform/notify.h"
#include "platform/pause.h"
#include "platform/settle.h"
#include "platform/sync.h"
#include "support/testenv.h"

namespace {

using plat::Handle;
using plat::kNoHandle;
using plat::kWaitTimeout;
using testenv::OwnedHandle;
using Clock = std::chrono::steady_clock;

std::int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') out.push_back(e->d_name);
    }
    closedir(d);
  }
  return out;
}

int InotifyInstances() {
  int count = 0;
  for (const auto& fd : Entries("/proc/self/fd")) {
    char target[256] = {};
    const std::string link = "/proc/self/fd/" + fd;
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
        std::string(target) == "anon_inode:inotify") {
      ++count;
    }
  }
  return count;
}

// Task ids of the notification reader threads.
std::vector<std::string> ReaderThreads() {
  std::vector<std::string> out;
  for (const auto& task : Entries("/proc/self/task")) {
    std::ifstream comm("/proc/self/task/" + task + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "kelm-notify") out.push_back(task);
  }
  return out;
}

long VoluntarySwitches(const std::string& task) {
  std::ifstream status("/proc/self/task/" + task + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  }
  return -1;
}

OwnedHandle Arm(const std::string& dir, const char* fileName = "in.dat") {
  return OwnedHandle(plat::ArmNotification(dir.c_str(), fileName));
}

// Writes path, then waits for the notification to wake.
::testing::AssertionResult WakesOnWrite(Handle n, const std::string& path) {
  if (!testenv::WriteFile(path, "x")) {
    return ::testing::AssertionFailure() << "could not write " << path;
  }
  const int woke = plat::WaitOne(n, 20000);
  if (woke != 0) {
    return ::testing::AssertionFailure() << "no wake after writing " << path << " (" << woke << ")";
  }
  return ::testing::AssertionSuccess();
}

// Writes path, then waits until the notification has counted its writer's close.
::testing::AssertionResult WriteAndSeeClose(Handle n, const std::string& path,
                                            const std::string& bytes) {
  const std::uint32_t before = plat::CloseMark(n);
  if (!testenv::WriteFile(path, bytes)) {
    return ::testing::AssertionFailure() << "could not write " << path;
  }
  if (!testenv::WaitFor([&] { return plat::CloseMark(n) != before; })) {
    return ::testing::AssertionFailure() << "the close after writing " << path << " never came";
  }
  return ::testing::AssertionSuccess();
}

// Whether the notification's file opens as settled with its write time readable; the file is
// closed again at once.
bool Settles(Handle n, const std::string& path) {
  const OwnedHandle h(plat::OpenSettled(n, path.c_str()));
  std::uint32_t low = 0, high = 0;
  return h && plat::FileWriteTime(h.get(), &low, &high);
}

// A watcher's two handles: the notification for in.dat of dir and its stop event.
struct Watcher {
  OwnedHandle n;
  OwnedHandle stop{plat::NewEvent()};
  explicit Watcher(const std::string& dir) : n(Arm(dir)) {}
};

TEST(PosixNextChar, StepsOneByteOverBrokenSequences) {
  struct Case {
    const char* text;
    int steps;  // characters up to the terminator
  };
  const Case cases[] = {
      {"\xE3\x82\xBD", 1},      // one whole kana
      {"\xF0\x9F\x98\x80", 1},  // four bytes
      {"\xE3\x82", 2},          // cut off by the terminator: never stepped over it
      {"\xE3"
       "a",
       2},                      // a lead byte before ASCII
      {"\x80\xBF", 2},          // stray continuation bytes
      {"\xC0\xAF", 2},          // overlong slash
      {"\xED\xA0\x80", 3},      // a surrogate
      {"\xF4\x90\x80\x80", 4},  // past U+10FFFF
      {"\xFF/", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int steps = 0;
    const char* p = c.text;
    for (; *p; p = plat::NextChar(p)) ++steps;
    EXPECT_EQ(steps, c.steps);
    EXPECT_EQ(p, c.text + std::string(c.text).size());
  }
}

TEST(PosixWaits, NoHandleFails) {
  EXPECT_EQ(plat::WaitOne(kNoHandle, 0), plat::kWaitFailed);
  const OwnedHandle e(plat::NewEvent());
  EXPECT_EQ(plat::WaitAny(e.get(), kNoHandle, 0), plat::kWaitFailed);
}

TEST(PosixExclusiveOpen, DescriptorScanSeesOtherDescriptorsOnly) {
  const std::string path = testenv::Join(testenv::FreshDir(), "in.dat");
  ASSERT_TRUE(testenv::WriteFile(path, "x"));
  const int mine = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(mine, 0);
  EXPECT_EQ(plat::lnx::OtherDescriptorOpen(mine), 0);
  // Another name for the same file is the same file.
  const std::string link = path + ".lnk";
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  const int other = open(link.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_EQ(plat::lnx::OtherDescriptorOpen(mine), 1);
  close(other);
  EXPECT_EQ(plat::lnx::OtherDescriptorOpen(mine), 0);
  close(mine);
}

// Runs body in a child process that has dropped root, so the kernel refuses it a lease on a
// file it does not own. Returns the child's exit code.
template <typename Body>
int AsUnprivilegedChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(90);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(PosixExclusiveOpen, WithoutALeaseTheAnswerIsUndecidedNeverAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand a file to another owner";
  const std::string dir = testenv::FreshDir();
  const std::string path = testenv::Join(dir, "in.dat");
  ASSERT_TRUE(testenv::WriteFile(path, "x"));
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  const int code = AsUnprivilegedChild([&] {
    const int probe = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (probe < 0) return 1;
    if (fcntl(probe, F_SETLEASE, F_WRLCK) == 0 || errno != EACCES) return 2;
    close(probe);
    // Nobody holds it, but the kernel will not say so: refused, and said to be undecided.
    bool undecided = false;
    if (plat::OpenExclusive(path.c_str(), &undecided) != kNoHandle) return 3;
    if (!undecided || errno != EACCES) return 4;
    // A missing file is plainly missing.
    undecided = true;
    if (plat::OpenExclusive((path + ".none").c_str(), &undecided) != kNoHandle) return 5;
    if (undecided) return 6;
    return 0;
  });
  if (code == 1) GTEST_SKIP() << "the test folder is not reachable for an unprivileged user";
  EXPECT_EQ(code, 0);
}

struct Siblings {
  std::string path;
  std::atomic<int> failures{0};
};

unsigned CheckOften(void* arg) {
  auto* s = static_cast<Siblings*>(arg);
  for (int i = 0; i < 3000; ++i) {
    const OwnedHandle h(plat::OpenExclusive(s->path.c_str()));
    if (h.get() == kNoHandle) {
      s->failures.fetch_add(1);
      continue;
    }
    std::uint32_t low = 0, high = 0;
    plat::FileWriteTime(h.get(), &low, &high);
  }
  return 0;
}

TEST(PosixExclusiveOpen, ChecksOfOneFileInThisProcessNeverFailEachOther) {
  Siblings s;
  s.path = testenv::Join(testenv::FreshDir(), "in.dat");
  ASSERT_TRUE(testenv::WriteFile(s.path, "x"));
  {
    testenv::ThreadGroup threads;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(threads.Start(CheckOften, &s));
    EXPECT_TRUE(threads.Join(60000));
  }
  EXPECT_EQ(s.failures.load(), 0);
}

// A program started while a check has the file open gets a copy of the descriptor table
// until its exec; the checks that follow must not take that copy for a holder. Starts from
// several threads may overlap one another, never a check.
TEST(PosixExclusiveOpen, ProgramsStartedMeanwhileNeverFailTheChecks) {
  Siblings s;
  s.path = testenv::Join(testenv::FreshDir(), "in.dat");
  ASSERT_TRUE(testenv::WriteFile(s.path, "x"));
  std::atomic<bool> done{false};
  std::atomic<int> started{0};
  auto starter = [&] {
    char program[] = "/bin/true";
    char* argv[] = {program, nullptr};
    plat::lnx::SpawnRequest request;
    request.program = program;
    request.argv = argv;
    while (!done.load()) {
      pid_t pid = 0;
      if (plat::lnx::SpawnProgram(request, &pid) != 0) continue;
      started.fetch_add(1);
      waitpid(pid, nullptr, 0);
    }
  };
  std::thread starters[] = {std::thread(starter), std::thread(starter)};
  bool checking = false;
  {
    testenv::ThreadGroup checker;
    checking = checker.Start(CheckOften, &s);
    EXPECT_TRUE(checker.Join(60000));
  }
  // The starters are joined before any assertion can end the test.
  done.store(true);
  for (std::thread& t : starters) t.join();
  ASSERT_TRUE(checking);
  EXPECT_GT(started.load(), 0);
  EXPECT_EQ(s.failures.load(), 0);
}

using plat::lnx::LockChecks;
using plat::lnx::LockForStart;
using plat::lnx::UnlockChecks;
using plat::lnx::UnlockForStart;

TEST(PosixExclusiveOpen, StartsShareTheChecksLockAndAChecksWaitsForThemAll) {
  ASSERT_TRUE(LockForStart());
  // A second start gets it meanwhile.
  std::atomic<bool> second{false};
  std::thread other([&] {
    const bool locked = LockForStart();
    second.store(true);
    if (locked) UnlockForStart();
  });
  for (int i = 0; i < 1000 && !second.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const bool together = second.load();
  if (!together) UnlockForStart();  // lets it through, so the test ends
  other.join();
  ASSERT_TRUE(together) << "a second start waited for the first";

  std::atomic<bool> checked{false};
  std::thread checker([&] {
    const bool locked = LockChecks();
    checked.store(true);
    if (locked) UnlockChecks();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(checked.load()) << "a check got in while a start held the lock";
  UnlockForStart();
  checker.join();
  EXPECT_TRUE(checked.load());

  // A thread that holds it for a check starts without taking it again.
  ASSERT_TRUE(LockChecks());
  EXPECT_FALSE(LockForStart());
  UnlockChecks();
}

TEST(PosixExclusiveOpen, AStartsShareMayBeGivenBackByAnotherAndAWaitingCheckGoesFirst) {
  // Taken here, given back by another thread, as a vfork child gives it back for its parent.
  ASSERT_TRUE(LockForStart());
  std::atomic<bool> checked{false};
  std::thread checker([&] {
    const bool locked = LockChecks();
    checked.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (locked) UnlockChecks();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(checked.load());
  // The check waits now: a new start must wait for it, not slip in before it.
  std::atomic<bool> startedBeforeCheck{false};
  std::thread latecomer([&] {
    const bool locked = LockForStart();
    startedBeforeCheck.store(!checked.load());
    if (locked) UnlockForStart();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::thread([] { UnlockForStart(); }).join();
  checker.join();
  latecomer.join();
  EXPECT_TRUE(checked.load());
  EXPECT_FALSE(startedBeforeCheck.load()) << "a start got in ahead of a waiting check";
}

// A start holds the checks back only while its child's copy of our descriptor table is made,
// not for the rest of the child's way to its exec, however long that takes: here the child
// looks for a program that is nowhere through a PATH of thousands of folders that do not exist.
TEST(PosixExclusiveOpen, AChildOnItsWayToExecHoldsNoCheckBack) {
  Siblings s;
  s.path = testenv::Join(testenv::FreshDir(), "in.dat");
  ASSERT_TRUE(testenv::WriteFile(s.path, "x"));
  const char* oldPath = getenv("PATH");
  const std::string savedPath = oldPath != nullptr ? oldPath : "/usr/bin:/bin";
  std::string longPath;
  for (int i = 0; i < 20000; ++i) longPath += "/nonexistent-kelm-dir/" + std::to_string(i) + ":";
  longPath += "/usr/bin:/bin";

  std::atomic<bool> done{false};
  std::vector<Clock::time_point> checks;
  checks.reserve(1 << 20);
  std::thread checker([&] {
    while (!done.load() && checks.size() < checks.capacity()) {
      if (OwnedHandle(plat::OpenExclusive(s.path.c_str())).get() == kNoHandle) {
        s.failures.fetch_add(1);
        continue;
      }
      checks.push_back(Clock::now());
    }
  });
  char program[] = "kelm-no-such-program";
  char* argv[] = {program, nullptr};
  plat::lnx::SpawnRequest request;
  request.program = program;
  request.argv = argv;
  request.searchPath = true;
  ASSERT_EQ(setenv("PATH", longPath.c_str(), 1), 0);
  const Clock::time_point before = Clock::now();
  pid_t pid = 0;
  const int error = plat::lnx::SpawnProgram(request, &pid);
  const Clock::time_point after = Clock::now();
  setenv("PATH", savedPath.c_str(), 1);
  done.store(true);
  checker.join();
  EXPECT_EQ(error, ENOENT);

  const auto took = after - before;
  ASSERT_GE(took, std::chrono::milliseconds(8)) << "the walk was too short to tell";
  const auto from = before + took / 4, to = after - took / 4;
  const auto meanwhile = std::count_if(checks.begin(), checks.end(),
                                       [&](Clock::time_point t) { return t > from && t < to; });
  EXPECT_GT(meanwhile, 0)
      << "no check got through in the middle "
      << std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count()
      << " ms of the start";
  EXPECT_EQ(s.failures.load(), 0);
}

// Where vfork shares our memory the child's answer is there when the vfork returns, and the
// start must not wait on the pipe for the exec to close it; where a sanitizer makes vfork a fork,
// the pipe is the only way. An exec failure comes back either way.
volatile int g_vforkChildWrote = 0;

TEST(PosixSpawn, ReportsThroughSharedMemoryWhereVforkSharesIt) {
  g_vforkChildWrote = 0;
  const pid_t probe = vfork();
  if (probe == 0) {
    g_vforkChildWrote = 1;
    _exit(0);
  }
  ASSERT_GT(probe, 0);
  waitpid(probe, nullptr, 0);
  const bool shared = g_vforkChildWrote == 1;

  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  plat::lnx::SpawnRequest request;
  request.program = program;
  request.argv = argv;
  pid_t pid = 0;
  ASSERT_EQ(plat::lnx::SpawnProgram(request, &pid), 0);
  EXPECT_EQ(plat::lnx::LastSpawnReportedInMemory(), shared);
  waitpid(pid, nullptr, 0);

  char missing[] = "/nonexistent/program";
  request.program = missing;
  argv[0] = missing;
  EXPECT_EQ(plat::lnx::SpawnProgram(request, &pid), ENOENT);
  EXPECT_EQ(plat::lnx::LastSpawnReportedInMemory(), shared);
}

TEST(PosixNotification, OneInotifyInstanceAndReaderPerDirectoryWhileInUse) {
  const int baseInstances = InotifyInstances();
  const std::size_t baseReaders = ReaderThreads().size();
  const std::string a = testenv::FreshDir();
  const std::string b = testenv::Join(a, "sub");
  ASSERT_TRUE(testenv::MakeDir(b));

  std::vector<OwnedHandle> onA;
  for (int i = 0; i < 50; ++i) onA.push_back(Arm(a));
  // The same directory by another spelling shares the instance too.
  onA.push_back(Arm(a + "/./"));
  OwnedHandle onB = Arm(b);
  for (const OwnedHandle& n : onA) ASSERT_NE(n.get(), kNoHandle);
  ASSERT_NE(onB.get(), kNoHandle);
  EXPECT_EQ(InotifyInstances(), baseInstances + 2);
  EXPECT_EQ(ReaderThreads().size(), baseReaders + 2);

  onA.clear();
  EXPECT_EQ(InotifyInstances(), baseInstances + 1);
  EXPECT_EQ(ReaderThreads().size(), baseReaders + 1);
  onB.reset();
  EXPECT_EQ(InotifyInstances(), baseInstances);
  EXPECT_TRUE(testenv::WaitFor([&] { return ReaderThreads().size() == baseReaders; }));
}

TEST(PosixNotification, ReaderSleepsWhileTheDirectoryIsQuiet) {
  const std::string dir = testenv::FreshDir();
  const auto before = ReaderThreads();
  const OwnedHandle n = Arm(dir);
  ASSERT_NE(n.get(), kNoHandle);
  std::string reader;
  for (const auto& t : ReaderThreads()) {
    if (std::find(before.begin(), before.end(), t) == before.end()) reader = t;
  }
  ASSERT_FALSE(reader.empty());
  // Let it reach its wait, then measure a quiet stretch. A change of the mount table (another
  // test mounting something meanwhile) wakes every reader, rightly: three tries.
  plat::SleepMs(100);
  long start = 0;
  bool quiet = false;
  for (int i = 0; i < 3 && !quiet; ++i) {
    start = VoluntarySwitches(reader);
    plat::SleepMs(1000);
    quiet = VoluntarySwitches(reader) == start;
  }
  EXPECT_TRUE(quiet);
  // And it does wake for a write.
  ASSERT_TRUE(WakesOnWrite(n.get(), testenv::Join(dir, "in.dat")));
  // Counted when it goes back to sleep, which may be just after the wake it delivered.
  EXPECT_TRUE(testenv::WaitFor([&] { return VoluntarySwitches(reader) > start; }));
}

TEST(PosixNotification, OtherFilesLeaveANamedNotificationQuiet) {
  const std::string dir = testenv::FreshDir();
  const OwnedHandle named = Arm(dir);
  const OwnedHandle any = Arm(dir, "");
  ASSERT_NE(named.get(), kNoHandle);
  ASSERT_NE(any.get(), kNoHandle);
  ASSERT_TRUE(testenv::WriteFile(testenv::Join(dir, "other.dat"), "x"));
  ASSERT_TRUE(testenv::WriteFile(testenv::Join(dir, "IN.DAT"), "x"));
  // One without a file name hears every file; once it has, the named one had its chance too.
  EXPECT_EQ(plat::WaitOne(any.get(), 20000), 0);
  EXPECT_EQ(plat::WaitOne(named.get(), 300), kWaitTimeout);
  EXPECT_TRUE(WakesOnWrite(named.get(), testenv::Join(dir, "in.dat")));
}

TEST(PosixNotification, RemovedDirectoryIsReportedOnceAndCannotBeRearmed) {
  const std::string dir = testenv::Join(testenv::FreshDir(), "watched");
  ASSERT_TRUE(testenv::MakeDir(dir));
  const OwnedHandle n = Arm(dir);
  ASSERT_NE(n.get(), kNoHandle);
  ASSERT_EQ(rmdir(dir.c_str()), 0);
  EXPECT_EQ(plat::WaitOne(n.get(), 20000), 0);
  EXPECT_TRUE(testenv::WaitFor([&] { return !plat::RearmNotification(n.get()); }));
  // Nothing more comes, so a watcher that keeps waiting does not spin.
  while (plat::WaitOne(n.get(), 0) == 0) {
  }
  EXPECT_EQ(plat::WaitOne(n.get(), 300), kWaitTimeout);
  // A new directory by the same name is watched afresh.
  ASSERT_TRUE(testenv::MakeDir(dir));
  const OwnedHandle fresh = Arm(dir);
  ASSERT_NE(fresh.get(), kNoHandle);
  EXPECT_TRUE(plat::RearmNotification(fresh.get()));
  EXPECT_TRUE(WakesOnWrite(fresh.get(), testenv::Join(dir, "in.dat")));
  // Moved away, it is no longer what its path names.
  ASSERT_EQ(rename(dir.c_str(), (dir + ".moved").c_str()), 0);
  EXPECT_TRUE(testenv::WaitFor([&] { return !plat::RearmNotification(fresh.get()); }));
}

TEST(PosixNotification, NameWithASeparatorHearsEveryChangeAndNoClose) {
  const std::string dir = testenv::FreshDir();
  const OwnedHandle up = Arm(dir, "../in.dat");
  const OwnedHandle sub = Arm(dir, "sub/in.dat");
  ASSERT_NE(up.get(), kNoHandle);
  ASSERT_NE(sub.get(), kNoHandle);
  const std::uint32_t upMark = plat::CloseMark(up.get()), subMark = plat::CloseMark(sub.get());
  // Every change in the folder wakes them, one of a file of their last name too; that file is
  // not theirs, so its close counts for neither.
  for (const char* name : {"other.dat", "in.dat"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(testenv::WriteFile(testenv::Join(dir, name), "x"));
    EXPECT_EQ(plat::WaitOne(up.get(), 20000), 0);
    EXPECT_EQ(plat::WaitOne(sub.get(), 20000), 0);
  }
  EXPECT_EQ(plat::CloseMark(up.get()), upMark);
  EXPECT_EQ(plat::CloseMark(sub.get()), subMark);
}

struct DelayedWrite {
  std::string path;
  unsigned delayMs;
};

unsigned WriteLater(void* arg) {
  auto* w = static_cast<DelayedWrite*>(arg);
  plat::SleepMs(w->delayMs);
  return testenv::WriteFile(w->path, "data") ? 0 : 1;
}

TEST(PosixPauseForFile, EndsEarlyWhenTheFilesWriterCloses) {
  const std::string dir = testenv::FreshDir();
  Watcher watcher(dir);
  ASSERT_NE(watcher.n.get(), kNoHandle);
  const Handle n = watcher.n.get(), stop = watcher.stop.get();

  DelayedWrite w{testenv::Join(dir, "in.dat"), 100};
  const std::uint32_t mark = plat::CloseMark(n);
  testenv::ThreadGroup writer;
  ASSERT_TRUE(writer.Start(WriteLater, &w));
  const auto start = Clock::now();
  EXPECT_EQ(plat::PauseForFile(n, mark, stop, 60000), 0);
  EXPECT_LT(MsSince(start), 30000);
  EXPECT_NE(plat::CloseMark(n), mark);
  // A close already counted past the mark ends the next pause at once.
  EXPECT_EQ(plat::PauseForFile(n, mark, stop, 60000), 0);
  EXPECT_TRUE(writer.Join(20000));
}

TEST(PosixPauseForFile, OtherFilesAndEarlierClosesDoNotEndIt) {
  const std::string dir = testenv::FreshDir();
  Watcher watcher(dir);
  ASSERT_NE(watcher.n.get(), kNoHandle);
  const Handle n = watcher.n.get(), stop = watcher.stop.get();

  // A close before the mark: counted, but the pause after the mark runs its course.
  ASSERT_TRUE(WriteAndSeeClose(n, testenv::Join(dir, "in.dat"), "x"));
  // Right after that close, with nobody holding the file, a few quick retries come first.
  auto start = Clock::now();
  int result = 0, quick = 0;
  const std::uint32_t mark = plat::CloseMark(n);
  while ((result = plat::PauseForFile(n, mark, stop, 300)) == 2 && quick < 100) ++quick;
  EXPECT_EQ(result, 0);
  EXPECT_GE(quick, 1);
  EXPECT_LE(quick, 10);
  EXPECT_GE(MsSince(start), 280);

  // Files whose names only resemble it.
  DelayedWrite writes[] = {{testenv::Join(dir, "in.dat.tmp"), 50},
                           {testenv::Join(dir, "IN.DAT"), 80}};
  testenv::ThreadGroup writers;
  for (DelayedWrite& w : writes) ASSERT_TRUE(writers.Start(WriteLater, &w));
  start = Clock::now();
  EXPECT_EQ(plat::PauseForFile(n, plat::CloseMark(n), stop, 600), 0);
  EXPECT_GE(MsSince(start), 580);
  writers.Join(20000);
}

TEST(PosixPauseForFile, AHolderAfterTheCloseGetsTheFullPauseSoonOrAtOnceWhereOpenersAreSeen) {
  const std::string dir = testenv::FreshDir();
  const std::string path = testenv::Join(dir, "in.dat");
  Watcher watcher(dir);
  ASSERT_NE(watcher.n.get(), kNoHandle);
  const Handle n = watcher.n.get(), stop = watcher.stop.get();
  // The writer lets go, and someone opens the file right after: a real holder.
  ASSERT_TRUE(WriteAndSeeClose(n, path, "x"));
  int held = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  if (!plat::lnx::OpenersTracked(n)) {
    // Nobody is known to hold it: a few quick retries, well short of one pause, then the pause.
    int quick = 0;
    const auto start = Clock::now();
    while (plat::PauseForFile(n, plat::CloseMark(n), stop, 300) == 2) ++quick;
    EXPECT_LE(quick, 10);
    EXPECT_GE(MsSince(start), 280);
    EXPECT_LE(MsSince(start), 300 + 100 + 1000);
    // A writer at work since that close (written to, not closed yet) holds it: the full pause at
    // once, which its close ends.
    close(held);
    ASSERT_TRUE(WriteAndSeeClose(n, path, "x"));
    held = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(write(held, "more", 4), 4);
    plat::SleepMs(50);  // its change read by the watch
    const auto writing = Clock::now();
    EXPECT_EQ(plat::PauseForFile(n, plat::CloseMark(n), stop, 300), 0);
    EXPECT_GE(MsSince(writing), 280);
    // A settle check counts openers from then on: the next close is followed by a holder seen.
    Settles(n, path);
    ASSERT_TRUE(plat::lnx::OpenersTracked(n));
    // The writer's close is a close-after-write too: seen on its own, before the next one.
    const std::uint32_t before = plat::CloseMark(n);
    close(held);
    ASSERT_TRUE(testenv::WaitFor([&] { return plat::CloseMark(n) != before; }));
    ASSERT_TRUE(WriteAndSeeClose(n, path, "xy"));
    held = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
  }
  // Seen opening: the full pause at once.
  const auto start = Clock::now();
  EXPECT_EQ(plat::PauseForFile(n, plat::CloseMark(n), stop, 300), 0);
  EXPECT_GE(MsSince(start), 280);
  // A stop ends a quick retry's pause too.
  close(held);
  ASSERT_TRUE(WriteAndSeeClose(n, path, "xyz"));
  plat::SignalEvent(stop);
  EXPECT_EQ(plat::PauseForFile(n, plat::CloseMark(n), stop, 300), 1);
}

TEST(PosixOpenSettled, OpensOnlyAfterAQuietPauseWithNobodySeenHoldingTheFile) {
  const std::string dir = testenv::FreshDir();
  const std::string path = testenv::Join(dir, "in.dat");
  const OwnedHandle n = Arm(dir);
  ASSERT_NE(n.get(), kNoHandle);
  auto settles = [&] { return Settles(n.get(), path); };
  EXPECT_FALSE(settles());  // missing
  ASSERT_TRUE(testenv::WriteFile(path, "one"));
  // The first look only notes the file; a second one at once is too soon.
  auto start = Clock::now();
  EXPECT_FALSE(settles());
  EXPECT_FALSE(settles());
  EXPECT_TRUE(testenv::WaitFor([&] { return settles(); }));
  EXPECT_GE(MsSince(start), 90);

  // An opener seen by the watch holds it however quiet the file is; opened by another process,
  // so the descriptor search (which leaves this process out) does not find it first.
  const std::string out = testenv::Join(dir, "holder.out");
  testenv::Process holder =
      testenv::Start(testenv::ToolPath("holder"), {path, "60"}, {}, out, "", true);
  ASSERT_TRUE(holder.valid());
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::ReadFile(out).find("held") == 0; }));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(settles());
    plat::SleepMs(120);
  }
  EXPECT_FALSE(settles());
  testenv::CloseStdin(holder);
  EXPECT_EQ(testenv::Wait(holder), 0);
  // Its close is a change: a fresh look, then one more pause.
  start = Clock::now();
  EXPECT_TRUE(testenv::WaitFor([&] { return settles(); }));
  EXPECT_GE(MsSince(start), 90);
}

TEST(PosixDescriptors, EveryDescriptorOfTheBackendIsCloseOnExec) {
  const std::string dir = testenv::FreshDir();
  const std::string path = testenv::Join(dir, "in.dat");
  ASSERT_TRUE(testenv::WriteFile(path, "x"));
  // Only what the backend opens is judged: the test runner may hand us inheritable ones.
  const auto before = Entries("/proc/self/fd");
  const OwnedHandle event(plat::NewEvent());
  const OwnedHandle n = Arm(dir);
  const OwnedHandle file(plat::OpenExclusive(path.c_str()));
  const OwnedHandle thread(plat::StartThread([](void*) -> unsigned { return 0; }, nullptr));
  ASSERT_NE(event.get(), nullptr);
  ASSERT_NE(n.get(), kNoHandle);
  ASSERT_NE(file.get(), kNoHandle);
  ASSERT_NE(thread.get(), nullptr);
  int judged = 0;
  for (const auto& name : Entries("/proc/self/fd")) {
    if (std::find(before.begin(), before.end(), name) != before.end()) continue;
    const int fd = std::stoi(name);
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0) continue;  // the listing's own descriptor, closed by now
    char target[256] = {};
    readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
    EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd << " -> " << target;
    ++judged;
  }
  EXPECT_GE(judged, 5);  // event, notification, inotify instance and its quit signal, file
  plat::WaitOne(thread.get(), 20000);
}

// The owner every test here keeps its handles in: released exactly once, by the last owner.
TEST(PosixDescriptors, AnOwnedHandleIsReleasedOnceByItsLastOwner) {
  // Each listing counts its own descriptor too, the same every time.
  const std::size_t base = Entries("/proc/self/fd").size();
  Handle kept = kNoHandle;
  {
    OwnedHandle first(plat::NewEvent());
    ASSERT_TRUE(first);
    EXPECT_EQ(Entries("/proc/self/fd").size(), base + 1);
    OwnedHandle second = std::move(first);
    EXPECT_FALSE(first);
    EXPECT_EQ(first.get(), kNoHandle);
    EXPECT_EQ(Entries("/proc/self/fd").size(), base + 1);
    // A new handle in its place releases the old one.
    second.reset(plat::NewEvent());
    ASSERT_TRUE(second);
    EXPECT_EQ(Entries("/proc/self/fd").size(), base + 1);
    first = std::move(second);
    kept = first.release();
    EXPECT_FALSE(first);
    OwnedHandle third(plat::NewEvent());
    ASSERT_TRUE(third);
    EXPECT_EQ(Entries("/proc/self/fd").size(), base + 2);
    // Empty owners release nothing as they go.
    OwnedHandle none(nullptr), never(kNoHandle);
    EXPECT_FALSE(none);
    EXPECT_FALSE(never);
  }
  // The one given up stays open; the rest are gone.
  EXPECT_EQ(Entries("/proc/self/fd").size(), base + 1);
  ASSERT_NE(kept, kNoHandle);
  EXPECT_TRUE(plat::SignalEvent(kept));
  EXPECT_EQ(plat::WaitOne(kept, 0), 0);
  plat::CloseObject(kept);
  EXPECT_EQ(Entries("/proc/self/fd").size(), base);
}

}  // namespace
