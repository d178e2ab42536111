// The real Linux executable where the exclusive check is hard: run as an unprivileged user on
// files it does not own (no lease can be had), several tasks on one check file, and a check
// refused just after the writer's close.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/install.h"
#include "support/program.h"
#include "support/testenv.h"
#include "text/messages.h"

using testenv::Installation;
using testenv::Msg;
using testenv::Process;

namespace {

constexpr int kNobody = 65534;

class ExclusiveCheckTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (service_.valid()) testenv::Kill(service_);
    for (Process& p : helpers_) {
      if (p.valid()) testenv::Kill(p);
    }
  }

  // Starts the service in the foreground, optionally as the unprivileged user, and waits for
  // its start line.
  void StartService(const std::string& exe, bool asNobody) {
    std::vector<std::string> args{"-debug"};
    std::string program = exe;
    if (asNobody) {
      args = {"--reuid=65534", "--regid=65534", "--clear-groups", exe, "-debug"};
      program = "/usr/bin/setpriv";
    }
    service_ = testenv::Start(program, args, {"NOTIFY_SOCKET="}, inst_.Path("out.txt"),
                              inst_.Path("err.txt"), true);
    ASSERT_TRUE(service_.valid());
    ASSERT_TRUE(testenv::WaitFor([&] {
      return testenv::CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceStarted)) == 1;
    })) << inst_.LogBytes()
        << testenv::ReadFile(inst_.Path("err.txt"));
  }
  void StopService() {
    testenv::CloseStdin(service_);
    EXPECT_EQ(testenv::Wait(service_), 0);
    service_ = Process();
  }
  std::size_t Records(const std::string& file) { return inst_.Records(file).size(); }
  long WakeUpsOver(std::chrono::milliseconds span) {
    const long before = WakeUps();
    std::this_thread::sleep_for(span);
    return WakeUps() - before;
  }
  // The times the service's threads have given up the processor so far: each is a wake-up.
  long WakeUps() {
    long sum = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(service_.id) + "/task")) {
      std::ifstream status(task.path() / "status");
      for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) sum += std::stol(line.substr(24));
      }
    }
    return sum;
  }

  // Starts the service as uid 65534 with one task, A, on root's files: the check file check and
  // the recorder's file rec. The installation's own folder may lie below folders that uid 65534
  // cannot pass, so the service runs from a world-traversable copy under /tmp (root).
  void StartUnprivileged(std::string* root, std::string* check, std::string* rec) {
    char base[] = "/tmp/kelm-excl-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    *root = base;
    const std::string watched = *root + "/in", logDir = *root + "/log", recDir = *root + "/rec";
    for (const std::string& d : {watched, logDir, recDir}) ASSERT_TRUE(testenv::MakeDir(d));
    ASSERT_EQ(chmod(base, 0755), 0);
    for (const std::string& d : {watched, logDir, recDir}) ASSERT_EQ(chmod(d.c_str(), 0777), 0);
    const std::string exe = *root + "/kelmservice", recorder = *root + "/recorder";
    ASSERT_TRUE(testenv::WriteFile(exe, testenv::ReadFile(testenv::ServiceExePath())));
    ASSERT_TRUE(testenv::WriteFile(recorder, testenv::ReadFile(testenv::ToolPath("recorder"))));
    ASSERT_EQ(chmod(exe.c_str(), 0755), 0);
    ASSERT_EQ(chmod(recorder.c_str(), 0755), 0);
    *check = watched + "/in.dat";
    *rec = recDir + "/rec.txt";
    ASSERT_TRUE(testenv::WriteFile(*root + "/kelmservice.ini",
                                   "[CheckDir]\r\nCheckDir=" + watched + "\r\n"));
    ASSERT_TRUE(testenv::WriteFile(
        *root + "/task.ini",
        "[A]\r\nCheckFile=in.dat\r\nTask=" + recorder + "\r\nPara=" + *rec + "\r\n"));
    // Everything is read through the installation helpers from here on.
    inst_.dir = *root;
    inst_.watched = watched;
    inst_.logDir = logDir;
    StartService(exe, true);
  }

  Installation inst_;
  Process service_;
  std::vector<Process> helpers_;
};

bool MayRunAsNobody() { return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0; }

TEST_F(ExclusiveCheckTest, UnprivilegedServiceStartsOnlyOnceTheWriterHasLetGo) {
  if (!MayRunAsNobody()) GTEST_SKIP() << "needs root and setpriv: runs the service as uid 65534";
  std::string root, check, rec;
  ASSERT_NO_FATAL_FAILURE(StartUnprivileged(&root, &check, &rec));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    // Root's writer: opens, writes, holds the file without writing, then closes.
    const int fd = open(check.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "data\n", 5), 5);
    testenv::SleepForChangeToSettle();
    ASSERT_EQ(write(fd, "more\n", 5), 5);
    testenv::SleepForChangeToSettle();
    EXPECT_EQ(Records(rec), static_cast<std::size_t>(round)) << "started while still held";
    close(fd);
    ASSERT_TRUE(
        testenv::WaitFor([&] { return Records(rec) == static_cast<std::size_t>(round + 1); }));
  }
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(Records(rec), 2u);
  StopService();

  // Said once for the task, with the system's reason.
  const std::string reason = std::strerror(EACCES);
  int weaker = 0;
  for (const std::string& line : inst_.LogLines()) {
    if (line.find(Msg(kelm::msg::kWeakerCheck, check, "").substr(0, 40)) == std::string::npos)
      continue;
    ++weaker;
    EXPECT_NE(line.find(reason), std::string::npos) << line;
  }
  EXPECT_EQ(weaker, 1) << inst_.LogBytes();
  testenv::RemoveTree(root);
}

TEST_F(ExclusiveCheckTest, ACheckFileTheServiceMayNotReadIsSaidOncePerWriteUntilReadable) {
  // Root's file, readable by root alone: the service (nobody) cannot open it to check it.
  if (!MayRunAsNobody()) GTEST_SKIP() << "needs root and setpriv: runs the service as uid 65534";
  std::string root, check, rec;
  ASSERT_NO_FATAL_FAILURE(StartUnprivileged(&root, &check, &rec));
  const std::string refused =
      Msg(kelm::msg::kCheckNotOpened, check, std::string(std::strerror(EACCES)) + " (0xd)");
  const auto said = [&] { return testenv::CountLines(inst_.LogLines(), refused); };
  for (int n = 1; n <= 2; ++n) {
    SCOPED_TRACE(n);
    const int fd = open(check.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, 0600), 0);
    ASSERT_EQ(write(fd, n == 1 ? "one" : "two", 3), 3);
    close(fd);
    ASSERT_TRUE(testenv::WaitFor([&] { return said() == n; })) << inst_.LogBytes();
    // Nothing more for the same write, however long it stays unreadable.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(said(), n) << inst_.LogBytes();
    EXPECT_EQ(Records(rec), 0u);
  }
  // Made readable: the write refused last is started for, and a later write as usual.
  ASSERT_EQ(chmod(check.c_str(), 0644), 0);
  EXPECT_TRUE(testenv::WaitFor([&] { return Records(rec) == 1; })) << inst_.LogBytes();
  ASSERT_TRUE(testenv::WriteFile(check, "three"));
  EXPECT_TRUE(testenv::WaitFor([&] { return Records(rec) == 2; })) << inst_.LogBytes();
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(Records(rec), 2u);
  StopService();
  EXPECT_EQ(said(), 2) << inst_.LogBytes();
  testenv::RemoveTree(root);
}

TEST_F(ExclusiveCheckTest, AFolderTheSystemWillNotWatchIsLookedAt) {
  // The service's user has no inotify instance left (another process of that user holds them
  // all): no folder can be watched, so each task looks at its check file instead.
  if (!MayRunAsNobody()) GTEST_SKIP() << "needs root and setpriv: runs the service as uid 65534";
  const std::string hogOut = "/tmp/kelm-hog-" + std::to_string(getpid()) + ".out";
  helpers_.push_back(testenv::Start(
      "/usr/bin/setpriv",
      {"--reuid=65534", "--regid=65534", "--clear-groups", testenv::ToolPath("linux_inotify_hog")},
      {}, hogOut, "", true));
  ASSERT_TRUE(helpers_.back().valid());
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::ReadFile(hogOut).rfind("held ", 0) == 0; }));
  std::string root, check, rec;
  ASSERT_NO_FATAL_FAILURE(StartUnprivileged(&root, &check, &rec));
  const std::string looking = Msg(kelm::msg::kLookingOnly, inst_.watched, "");
  const auto said = [&] {
    int n = 0;
    for (const std::string& line : inst_.LogLines()) n += line.find(looking) != std::string::npos;
    return n;
  };
  ASSERT_TRUE(testenv::WaitFor([&] { return said() == 1; })) << inst_.LogBytes();
  ASSERT_TRUE(testenv::WriteFile(check, "delivered"));
  EXPECT_TRUE(testenv::WaitFor([&] { return Records(rec) == 1; }, std::chrono::seconds(10)))
      << inst_.LogBytes();
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(Records(rec), 1u);
  StopService();
  EXPECT_EQ(said(), 1);
  testenv::CloseStdin(helpers_.back());
  testenv::RemoveTree(hogOut);
  testenv::RemoveTree(root);
}

TEST_F(ExclusiveCheckTest, ReadersClosingTogetherNeverKeepTheUnprivilegedServiceWaiting) {
  // Each write is followed by two readers, opened 30 ms apart and closed together: the kernel
  // would merge their closes into one event, and a count left at one reader would hold every
  // check back until the held pause (5 minutes).
  if (!MayRunAsNobody()) GTEST_SKIP() << "needs root and setpriv: runs the service as uid 65534";
  std::string root, check, rec;
  ASSERT_NO_FATAL_FAILURE(StartUnprivileged(&root, &check, &rec));
  constexpr int kRounds = 50;
  for (int round = 1; round <= kRounds; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(testenv::WriteFile(check, "round " + std::to_string(round)));
    const int first = open(check.c_str(), O_RDONLY | O_CLOEXEC);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const int second = open(check.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    close(first);
    close(second);
    ASSERT_TRUE(testenv::WaitFor([&] { return Records(rec) == static_cast<std::size_t>(round); },
                                 std::chrono::seconds(10)))
        << inst_.LogBytes();
  }
  StopService();
  testenv::RemoveTree(root);
}

TEST_F(ExclusiveCheckTest, TasksSharingOneCheckFileAllStartForEveryWrite) {
  constexpr int kTasks = 8, kWrites = 10;
  inst_.WriteServiceIni(inst_.watched);
  std::string tasks;
  std::vector<std::string> recs;
  for (int i = 0; i < kTasks; ++i) {
    recs.push_back(inst_.Path("rec" + std::to_string(i) + ".txt"));
    tasks += inst_.RecorderTask("T" + std::to_string(i), "in.dat", recs.back());
  }
  inst_.WriteTaskIni(tasks);
  const std::string exe = testenv::CopyServiceExe(inst_);
  ASSERT_FALSE(exe.empty());
  StartService(exe, false);
  for (int w = 1; w <= kWrites; ++w) {
    ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "write " + std::to_string(w)));
    // All of them start, or one of them has lost its start: its attempts are long over by then.
    EXPECT_TRUE(testenv::WaitFor(
        [&] {
          for (const std::string& r : recs) {
            if (Records(r) < static_cast<std::size_t>(w)) return false;
          }
          return true;
        },
        std::chrono::seconds(5)))
        << "write " << w;
    // The next write gets a new time stamp, so each write is one start per task.
    testenv::SleepForChangeToSettle();
  }
  StopService();
  for (const std::string& r : recs) EXPECT_EQ(Records(r), static_cast<std::size_t>(kWrites)) << r;
}

TEST_F(ExclusiveCheckTest, ACheckRefusedJustAfterTheCloseIsRetriedWithoutSpendingTheAttempts) {
  // A reader that opened the file before the watch began, so nothing saw it come, lets go only
  // after the eleventh failed check that follows the writer's close: more than the ten attempts
  // of one notification. The retries right after a close are not counted, so the start comes.
  const std::string rec = inst_.Path("rec.txt");
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", rec));
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "old"));
  const std::string out = inst_.Path("late.out");
  helpers_.push_back(testenv::Start(testenv::ToolPath("linux_lateholder"),
                                    {inst_.Watched("in.dat"), "11", "30"}, {}, out));
  ASSERT_TRUE(helpers_.back().valid());
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::ReadFile(out) == "held\n"; }));
  const std::string exe = testenv::CopyServiceExe(inst_);
  ASSERT_FALSE(exe.empty());
  StartService(exe, false);
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "new"));
  ASSERT_TRUE(testenv::WaitFor([&] { return Records(rec) == 1; }, std::chrono::seconds(30)))
      << testenv::ReadFile(out);
  EXPECT_EQ(testenv::ReadFile(out), "held\nreleased\n");
  StopService();
}

TEST_F(ExclusiveCheckTest, TasksAwaitingAHeldFileSleepUntilItsReaderLetsGo) {
  // Two tasks on a file that a reader keeps open after its write, so every check fails: the
  // watchers await the reader's close without a wake-up meanwhile (the checks of one must not
  // pass for the other's release), then both start. With a lease, and without one (nobody).
  for (const bool asNobody : {false, true}) {
    SCOPED_TRACE(asNobody ? "nobody" : "lease");
    if (asNobody && (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)) continue;
    if (asNobody) inst_ = Installation();  // afresh, for the second service
    const std::string a = inst_.Path("a.txt"), b = inst_.Path("b.txt");
    inst_.WriteServiceIni(inst_.watched);
    inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", a) + inst_.RecorderTask("B", "in.dat", b));
    if (asNobody) {
      chmod(inst_.dir.c_str(), 0777);
      chmod(inst_.logDir.c_str(), 0777);
    }
    ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "old"));
    const std::string exe = testenv::CopyServiceExe(inst_);
    ASSERT_FALSE(exe.empty());
    StartService(exe, asNobody);
    // What the idle service costs, a sanitizer's own threads included: the awaiting may cost
    // no more.
    const long idle = WakeUpsOver(std::chrono::milliseconds(2000));
    // With a lease the reader holds the file while it is written. Without one a reader that
    // opened before the writer's close is not seen (the opener count starts afresh at that
    // close), so there it comes right after the write, as a scanner woken by the close does,
    // well within the quiet pause that the settle check waits for.
    const auto write = [&] { ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "data")); };
    if (asNobody) write();
    Process reader =
        testenv::Start(testenv::ToolPath("sender"), {"read", inst_.Watched("in.dat"), "60000"}, {},
                       inst_.Path("reader.out"), "", true);
    ASSERT_TRUE(reader.valid());
    ASSERT_TRUE(
        testenv::WaitFor([&] { return testenv::ReadFile(inst_.Path("reader.out")) != ""; }));
    if (!asNobody) write();
    // The attempts of the write are spent by then.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_LE(WakeUpsOver(std::chrono::milliseconds(2000)), idle + 4)
        << "awaiting the reader is not sleeping";
    EXPECT_EQ(Records(a) + Records(b), 0u) << "started while held";
    testenv::CloseStdin(reader);
    EXPECT_EQ(testenv::Wait(reader), 0);
    EXPECT_TRUE(testenv::WaitFor([&] { return Records(a) == 1 && Records(b) == 1; }))
        << inst_.LogBytes();
    StopService();
  }
}

}  // namespace
