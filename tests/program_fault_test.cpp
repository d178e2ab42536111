// The real executable off the quiet path: a watched folder that goes and comes back, a check
// file rewritten without pause when the stop comes, check files named outside the folder, a
// lost day marker, a stop signal while hundreds of tasks are built, and a document task.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/install.h"
#include "support/program.h"
#include "support/testenv.h"
#include "text/messages.h"

#ifdef _WIN32
#include "support/win32_assoc.h"
#endif

#ifndef _WIN32
#include <signal.h>
#endif

using testenv::CountLines;
using testenv::Installation;
using testenv::Line;
using testenv::LogIs;
using testenv::Msg;
namespace fs = std::filesystem;
namespace msg = kelm::msg;

namespace {

class FaultRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = testenv::CopyServiceExe(inst_);
    ASSERT_FALSE(exe_.empty()) << "could not copy " << testenv::ServiceExePath();
    inst_.WriteServiceIni(inst_.watched);
    rec_ = inst_.Path("rec.txt");
  }
  void TearDown() override {
    if (child_.valid()) testenv::Kill(child_);
  }

  void Run(const std::vector<std::string>& args) {
    std::vector<std::string> env;
#ifndef _WIN32
    env.push_back("NOTIFY_SOCKET=");  // started by a user, whatever runs the tests
#endif
    child_ =
        testenv::Start(exe_, args, env, inst_.Path("stdout.txt"), inst_.Path("stderr.txt"), true);
    ASSERT_TRUE(child_.valid());
  }
  // The foreground run, once every task watches.
  void RunDebug() {
    Run({"-debug"});
    ASSERT_TRUE(LogHas(Msg(msg::kServiceStarted))) << inst_.LogBytes();
  }
  bool LogHas(const std::string& text, int times = 1) {
    return testenv::WaitFor([&] { return CountLines(inst_.LogLines(), text) >= times; });
  }
  std::size_t Records(const std::string& file) { return inst_.Records(file).size(); }
  // Dismisses the foreground run's box as a user does; the exit code, -1 when the program did
  // not end within the deadline.
  int Dismiss(std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
#ifdef _WIN32
    std::string text;
    EXPECT_EQ(testenv::PressBox(child_, inst_.dir, "zup service - debug mode", &text), 0);
#else
    testenv::CloseStdin(child_);
#endif
    return testenv::Wait(child_, deadline);
  }
  // A folder with the check file already in it, moved in as a whole: no change inside it is
  // ever reported to a watcher of its new path.
  void MoveInFolderWithCheckFile(const std::string& where, const std::string& content) {
    const std::string staged = inst_.Path("staged");
    ASSERT_TRUE(testenv::MakeDir(staged));
    ASSERT_TRUE(testenv::WriteFile(testenv::Join(staged, "in.dat"), content));
    std::error_code ec;
    fs::rename(staged, where, ec);
    ASSERT_FALSE(ec) << ec.message();
  }

  Installation inst_;
  std::string exe_, rec_;
  testenv::Process child_;
};

TEST_F(FaultRunTest, RemovedFolderMadeAgainIsWatchedAgain) {
  SKIP_WITHOUT_BOXES();
  inst_.WriteTaskIni(inst_.RecorderTask("Only", "in.dat", rec_));
  RunDebug();
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "1"));
  ASSERT_TRUE(testenv::WaitFor([&] { return Records(rec_) == 1; }));

  ASSERT_TRUE(testenv::RemoveTreeFromHost(inst_.watched));
  ASSERT_TRUE(LogHas(Msg(msg::kWatchFailed))) << inst_.LogBytes();
  // Back, with a check file written while nobody could watch it.
  MoveInFolderWithCheckFile(inst_.watched, "22");
  ASSERT_TRUE(LogHas(Msg(msg::kWatchResumed))) << inst_.LogBytes();
  ASSERT_TRUE(testenv::WaitFor([&] { return Records(rec_) == 2; }));
  // The new watch works as the first did.
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "333"));
  ASSERT_TRUE(testenv::WaitFor([&] { return Records(rec_) == 3; }));

  EXPECT_EQ(Dismiss(), 0);
  const std::string started = Line(Msg(msg::kStartedProgram, inst_.Watched("in.dat"), rec_));
  // The failure's second line names the folder and the system's reason, whatever its words.
  const auto lines = inst_.LogLines();
  const auto failed = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find(Msg(msg::kWatchFailed)) != std::string::npos;
  });
  ASSERT_TRUE(failed != lines.end() && failed + 1 != lines.end()) << inst_.LogBytes();
  const std::string why = failed[1].substr(19);  // after the time prefix
  EXPECT_EQ(why.rfind(inst_.watched + " - ", 0), 0u) << why;
  EXPECT_GT(why.size(), inst_.watched.size() + 3) << why;
  EXPECT_TRUE(
      LogIs(inst_.LogBytes(),
            {Line(testenv::SeparatorText()), Line(Msg(msg::kThreadCreated, "Only")),
             Line(Msg(msg::kServiceStarted)), started, Line(Msg(msg::kWatchFailed)), Line(why),
             Line(Msg(msg::kWatchResumed)), started, started, Line(Msg(msg::kServiceEnded))}));
}

TEST_F(FaultRunTest, FolderThatCannotBeWatchedAtStartIsWatchedOnceItCan) {
  SKIP_WITHOUT_BOXES();
  const std::string later = inst_.Path("later");
  ASSERT_TRUE(testenv::WriteFile(later, "a file, not yet a folder"));
  inst_.WriteServiceIni(later);
  inst_.WriteTaskIni(inst_.RecorderTask("Only", "in.dat", rec_));
  RunDebug();
  ASSERT_TRUE(LogHas(Msg(msg::kWatchFailed))) << inst_.LogBytes();
  EXPECT_TRUE(testenv::StillRunning(child_));

  std::error_code ec;
  ASSERT_TRUE(fs::remove(later, ec)) << ec.message();
  MoveInFolderWithCheckFile(later, "x");
  ASSERT_TRUE(LogHas(Msg(msg::kWatchResumed))) << inst_.LogBytes();
  ASSERT_TRUE(testenv::WaitFor([&] { return Records(rec_) == 1; }));

  EXPECT_EQ(Dismiss(), 0);
  // The watcher's first line and the started line may come in either order.
  const auto lines = inst_.LogLines();
  EXPECT_EQ(CountLines(lines, Msg(msg::kWatchFailed)), 1) << inst_.LogBytes();
  EXPECT_EQ(CountLines(lines, Msg(msg::kWatchResumed)), 1);
  EXPECT_EQ(CountLines(lines, Msg(msg::kStartedProgram, testenv::Join(later, "in.dat"), rec_)), 1);
  EXPECT_EQ(CountLines({lines.back()}, Msg(msg::kServiceEnded)), 1);
}

TEST_F(FaultRunTest, StopGetsThroughWhileTheCheckFileIsRewrittenWithoutPause) {
  SKIP_WITHOUT_BOXES();
  inst_.WriteTaskIni(inst_.RecorderTask("Busy", "in.dat", rec_));
  RunDebug();
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "x"));
  bool busy = false;
  int code = -2;
  {
    testenv::TimeRewriter rewriter(inst_.Watched("in.dat"));
    busy = testenv::WaitFor([&] { return Records(rec_) >= 5; });
    if (busy) code = Dismiss(std::chrono::seconds(30));
  }
  ASSERT_TRUE(busy) << inst_.LogBytes();
  EXPECT_EQ(code, 0) << "the stop did not get through while the file was being rewritten";
  const auto lines = inst_.LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(CountLines({lines.back()}, Msg(msg::kServiceEnded)), 1);
}

TEST_F(FaultRunTest, CheckFilesOutsideTheFolderWakeOnEveryChangeInIt) {
  SKIP_WITHOUT_BOXES();
  const std::string sep(1, testenv::Sep());
  const std::string recUp = inst_.Path("up.txt"), recSub = inst_.Path("sub.txt");
  ASSERT_TRUE(testenv::MakeDir(inst_.Watched("sub")));
  const std::string up = inst_.Path("x.dat"), sub = testenv::Join(inst_.Watched("sub"), "x.dat");
  ASSERT_TRUE(testenv::WriteFile(up, "0"));
  ASSERT_TRUE(testenv::WriteFile(sub, "0"));
  inst_.WriteTaskIni(inst_.RecorderTask("Up", ".." + sep + "x.dat", recUp) +
                     inst_.RecorderTask("Sub", "sub" + sep + "x.dat", recSub));
  RunDebug();

  // Their own files change, but neither lies directly in the folder: nothing is reported.
  ASSERT_TRUE(testenv::AppendFile(up, "1"));
  ASSERT_TRUE(testenv::AppendFile(sub, "1"));
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(Records(recUp), 0u);
  EXPECT_EQ(Records(recSub), 0u);
  // Any change in the folder wakes every watcher of it, and each looks at its own file.
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("other.dat"), "x"));
  EXPECT_TRUE(testenv::WaitFor([&] { return Records(recUp) == 1 && Records(recSub) == 1; }));
  EXPECT_EQ(Dismiss(), 0);
}

// Today's day file by the local date, as the program names it.
std::string TodaysDayFile(const Installation& inst) {
  const std::time_t now = std::time(nullptr);
  char name[32];
  std::snprintf(name, sizeof name, "service-%02d.log", std::localtime(&now)->tm_mday);
  return testenv::Join(inst.logDir, name);
}

TEST_F(FaultRunTest, LostDayMarkerKeepsTodaysLines) {
  // Without a switch the program fails the dispatcher, logs two lines and ends by itself.
  auto runOnce = [&] {
    Run({});
    EXPECT_EQ(testenv::Wait(child_), 0);
  };
  const std::vector<std::string> oneRun{Line(testenv::SeparatorText()),
                                        Line(Msg(msg::kDispatcherFailed))};
  // Left from an earlier month: a first line of the day with no marker still starts it afresh.
  const std::string today = TodaysDayFile(inst_);
  ASSERT_TRUE(testenv::WriteFile(today, "last month\n"));
  std::error_code ec;
  fs::last_write_time(today, fs::file_time_type::clock::now() - std::chrono::hours(24 * 40), ec);
  ASSERT_FALSE(ec) << ec.message();
  runOnce();
  EXPECT_TRUE(LogIs(inst_.LogBytes(), oneRun));

  // The marker removed (a spoilt one reads the same): today's file is appended to.
  ASSERT_TRUE(fs::remove(testenv::Join(inst_.logDir, "logctrl"), ec)) << ec.message();
  runOnce();
  std::vector<std::string> twoRuns = oneRun;
  twoRuns.insert(twoRuns.end(), oneRun.begin(), oneRun.end());
  EXPECT_TRUE(LogIs(inst_.LogBytes(), twoRuns));
}

#ifndef _WIN32
// Runs sh -c script in the mount namespace of process pid; its exit code.
int InNamespaceOf(const testenv::Process& p, const std::string& script) {
  testenv::Process sh = testenv::Start("/usr/bin/nsenter",
                                       {"-t", std::to_string(p.id), "-m", "/bin/sh", "-c", script});
  return testenv::Wait(sh);
}

TEST_F(FaultRunTest, FileSystemUnmountedAndMountedAgainIsWatchedAgain) {
  testenv::Process probe =
      testenv::Start("/usr/bin/unshare", {"-m", "--propagation", "private", "true"});
  if (testenv::Wait(probe) != 0) GTEST_SKIP() << "no private mount namespace (needs root)";
  inst_.WriteTaskIni(inst_.RecorderTask("Only", "in.dat", rec_));
  // The program in a mount namespace of its own, its folder a file system mounted there.
  child_ = testenv::Start(
      "/usr/bin/unshare",
      {"-m", "--propagation", "private", "/bin/sh", "-c",
       "mount -t tmpfs tmpfs \"$1\" || exit 97; exec \"$2\" -debug", "sh", inst_.watched, exe_},
      {"NOTIFY_SOCKET="}, inst_.Path("stdout.txt"), inst_.Path("stderr.txt"), true);
  ASSERT_TRUE(child_.valid());
  ASSERT_TRUE(LogHas(Msg(msg::kServiceStarted))) << inst_.LogBytes();
  const std::string in = "\"" + inst_.Watched("in.dat") + "\"";
  ASSERT_EQ(InNamespaceOf(child_, "echo 1 > " + in), 0);
  ASSERT_TRUE(testenv::WaitFor([&] { return Records(rec_) == 1; }));

  ASSERT_EQ(InNamespaceOf(child_, "umount \"" + inst_.watched + "\""), 0);
  ASSERT_TRUE(LogHas(Msg(msg::kWatchResumed))) << inst_.LogBytes();  // the folder below
  // Mounted again over it, with a check file: inotify says nothing of a mount.
  ASSERT_EQ(
      InNamespaceOf(child_, "mount -t tmpfs tmpfs \"" + inst_.watched + "\" && echo 2 > " + in), 0);
  ASSERT_TRUE(testenv::WaitFor([&] { return Records(rec_) == 2; })) << inst_.LogBytes();
  ASSERT_TRUE(LogHas(Msg(msg::kWatchResumed), 2)) << inst_.LogBytes();
  ASSERT_EQ(InNamespaceOf(child_, "echo 3 > " + in), 0);
  ASSERT_TRUE(testenv::WaitFor([&] { return Records(rec_) == 3; }));

  EXPECT_EQ(Dismiss(), 0);
  const auto lines = inst_.LogLines();
  EXPECT_EQ(CountLines(lines, Msg(msg::kWatchFailed)), 2) << inst_.LogBytes();
  EXPECT_EQ(CountLines(lines, Msg(msg::kWatchResumed)), 2);
  EXPECT_EQ(CountLines(lines, Msg(msg::kStartedProgram, inst_.Watched("in.dat"), rec_)), 3);
  EXPECT_EQ(CountLines({lines.back()}, Msg(msg::kServiceEnded)), 1);
}

TEST_F(FaultRunTest, StopSignalWhileHundredsOfTasksAreBuiltEndsThemLikeAStop) {
  constexpr int kTasks = 500;
  std::string ini;
  for (int i = 0; i < kTasks; ++i) {
    const std::string n = std::to_string(i);
    ini += "[T" + n + "]\r\nCheckFile=t" + n + ".dat\r\nTask=" + testenv::ToolPath("recorder") +
           "\r\n";
  }
  inst_.WriteTaskIni(ini);
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    testenv::RemoveTree(inst_.logDir);
    ASSERT_TRUE(testenv::MakeDir(inst_.logDir));
    Run({"-debug"});
    ASSERT_TRUE(LogHas(Msg(msg::kThreadCreated, "T0")));
    const bool building = CountLines(inst_.LogLines(), Msg(msg::kServiceStarted)) == 0;
    ASSERT_EQ(kill(static_cast<pid_t>(child_.id), sig), 0);
    EXPECT_EQ(testenv::Wait(child_), 0) << "ended by the signal's default action";
    EXPECT_TRUE(building) << "the tasks were all built before the signal came";
    const auto lines = inst_.LogLines();
    EXPECT_EQ(CountLines(lines, Msg(msg::kServiceStarted)), 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(CountLines({lines.back()}, Msg(msg::kServiceEnded)), 1) << inst_.LogBytes();
  }
}
#endif

#ifdef _WIN32
TEST_F(FaultRunTest, DocumentTaskOpenedByTheShellThenStoppedAtOnce) {
  SKIP_WITHOUT_BOXES();
  const std::string doc = inst_.Path("note.kelmrun");
  ASSERT_TRUE(testenv::WriteFile(doc, "opened by its association\r\n"));
  ASSERT_TRUE(
      testenv::RegisterRecorderDocumentType(".kelmrun", testenv::ToolPath("recorder"), rec_));
  inst_.WriteTaskIni("[Doc]\r\nCheckFile=in.dat\r\nTask=" + doc + "\r\n");
  RunDebug();
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "x"));
  ASSERT_TRUE(LogHas(Msg(msg::kStartedProgram, inst_.Watched("in.dat"), "")));
  // Stopped right after the launch: the watcher that made it still ends.
  EXPECT_EQ(Dismiss(std::chrono::seconds(30)), 0);
  ASSERT_TRUE(testenv::WaitFor([&] { return Records(rec_) == 1; }));
  EXPECT_EQ(inst_.Records(rec_)[0].args, std::vector<std::string>{doc});
  const auto lines = inst_.LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(CountLines({lines.back()}, Msg(msg::kServiceEnded)), 1) << inst_.LogBytes();
}
#endif

}  // namespace
