// The task set: the failure table of the start, in the log bytes and the event records, and
// a normal start and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "diag/event_log.h"
#include "diag/log.h"
#include "platform/sync.h"
#include "support/events.h"
#include "support/install.h"
#include "support/testenv.h"
#include "tasks/task_set.h"
#include "text/messages.h"

using testenv::CountLines;
using testenv::EventRecord;
using testenv::Installation;
using testenv::Msg;

namespace {

std::int64_t FixedClock() { return 1767225600 + 12 * 3600; }

const EventRecord kConfigFailed{1, kelm::EventTaskConfigFailed};
const EventRecord kStopped{4, kelm::EventServiceStopped};

class TaskSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kelm::SetModuleDirForTesting(inst_.dir.c_str());
    kelm::SetLogClockForTesting(&FixedClock);
  }
  void TearDown() override {
    if (!kelm::TaskList.empty()) kelm::StopTasks();
    kelm::SetLogClockForTesting(nullptr);
    kelm::SetModuleDirForTesting(nullptr);
  }
  void ExpectRecords(const std::vector<EventRecord>& expected) {
    if (!testenv::EventSink::InProcess()) return;  // observed through the program instead
    auto got = sink_.Take();
    EXPECT_EQ(got, expected) << testenv::ToString(got);
  }
  std::vector<std::string> Lines() { return inst_.LogLines(); }

  testenv::EventSink sink_;
  Installation inst_;
};

TEST_F(TaskSetTest, MissingServiceIniAbandonsWithTheSettingsFileLine) {
  inst_.WriteTaskIni("[A]\r\nCheckFile=a\r\nTask=p\r\n");
  EXPECT_EQ(kelm::StartTasks(), 0);
  EXPECT_TRUE(kelm::TaskList.empty());
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(CountLines({lines[0]}, Msg(kelm::msg::kSettingsFileBad)), 1);
  EXPECT_EQ(CountLines({lines[1]}, Msg(kelm::msg::kServiceEnded)), 1);
  ExpectRecords({kConfigFailed, kStopped});
}

TEST_F(TaskSetTest, CheckDirEmptyOrMissingAbandonsTheSameWay) {
  inst_.WriteTaskIni("[A]\r\nCheckFile=a\r\nTask=p\r\n");
  testenv::WriteFile(inst_.Path("kelmservice.ini"), "[CheckDir]\r\nCheckDir=\r\n");
  EXPECT_EQ(kelm::StartTasks(), 0);
  inst_.WriteServiceIni(inst_.Path("gone"));
  EXPECT_EQ(kelm::StartTasks(), 0);
  auto lines = Lines();
  EXPECT_EQ(CountLines(lines, Msg(kelm::msg::kSettingsFileBad)), 2);
  EXPECT_EQ(CountLines(lines, Msg(kelm::msg::kServiceEnded)), 2);
  ExpectRecords({kConfigFailed, kStopped, kConfigFailed, kStopped});
}

TEST_F(TaskSetTest, SecondOfThreeSectionsLackingTaskAbandonsAfterBuildingTheFirst) {
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(
      "[First]\r\nCheckFile=a\r\nTask=p\r\n[Second]\r\nCheckFile=b\r\n[Third]\r\nCheckFile=c\r\n"
      "Task=p\r\n");
  EXPECT_EQ(kelm::StartTasks(), 0);
  EXPECT_TRUE(kelm::TaskList.empty());
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 4u) << inst_.LogBytes();
  EXPECT_EQ(CountLines({lines[0]}, Msg(kelm::msg::kThreadCreated, "First")), 1);
  EXPECT_EQ(CountLines({lines[1]}, Msg(kelm::msg::kThreadCreateFailed, "Second")), 1);
  // The code's resource text says why, on a line of its own.
  const std::string prefix = lines[0].substr(0, 19);
  EXPECT_EQ(lines[2], prefix + Msg(kelm::msg::kReasonKeyMissing));
  EXPECT_EQ(lines[3], prefix + Msg(kelm::msg::kServiceEnded));
  EXPECT_EQ(CountLines(lines, "Third"), 0);
  ExpectRecords({kConfigFailed, kStopped});
}

TEST_F(TaskSetTest, AWrongLookIntervalAbandonsTheStartAndSaysWhy) {
  inst_.WriteTaskIni("[A]\r\nCheckFile=a\r\nTask=p\r\n");
  testenv::WriteFile(inst_.Path("kelmservice.ini"),
                     "[CheckDir]\r\nCheckDir=" + inst_.watched + "\r\nPollSeconds=often\r\n");
  EXPECT_EQ(kelm::StartTasks(), 0);
  EXPECT_EQ(kelm::StartAbandonCode(), kelm::ErrorCheckDirInvalid);
  auto lines = Lines();
  EXPECT_EQ(CountLines(lines, Msg(kelm::msg::kPollSecondsBad, "often")), 1);
  EXPECT_EQ(CountLines(lines, Msg(kelm::msg::kSettingsFileBad)), 1);
  ExpectRecords({kConfigFailed, kStopped});
}

TEST_F(TaskSetTest, NoSectionsGivesTheNoTaskLine) {
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni("; nothing here\r\n");
  EXPECT_EQ(kelm::StartTasks(), 0);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(CountLines({lines[0]}, Msg(kelm::msg::kNoTask)), 1);
  EXPECT_EQ(CountLines({lines[1]}, Msg(kelm::msg::kServiceEnded)), 1);
  ExpectRecords({kStopped});
}

TEST_F(TaskSetTest, StopTasksTwiceLogsAndReportsTwiceAndSetsTheStopEventAgain) {
  kelm::OpenServiceStopEvent();
  ASSERT_NE(kelm::ServiceStopEvent, nullptr);
  kelm::StopTasks();
  EXPECT_EQ(plat::WaitOne(kelm::ServiceStopEvent, 0), 0);
  kelm::StopTasks();
  EXPECT_EQ(plat::WaitOne(kelm::ServiceStopEvent, 0), 0);
  kelm::CloseServiceStopEvent();
  EXPECT_EQ(kelm::ServiceStopEvent, nullptr);
  kelm::StopTasks();  // no event any more: nothing to set, nothing fails
  EXPECT_EQ(CountLines(Lines(), Msg(kelm::msg::kServiceEnded)), 3);
  ExpectRecords({kStopped, kStopped, kStopped});
}

TEST_F(TaskSetTest, SectionNamesOverflowingTheBufferAbandonWith2002) {
  inst_.WriteServiceIni(inst_.watched);
  std::string ini;
  std::vector<std::string> names;
  size_t used = 0;
  for (int i = 0; used < kelm::kSectionNamesSize + 40; ++i) {
    std::string name = "Section_number_" + std::to_string(1000 + i);
    names.push_back(name);
    used += name.size() + 1;
    ini += "[" + name + "]\r\nCheckFile=f" + std::to_string(i) + "\r\nTask=p\r\n";
  }
  inst_.WriteTaskIni(ini);
  EXPECT_EQ(kelm::StartTasks(), 0);
  auto lines = Lines();
  // Every name that fits is built; the one cut inside matches no section and has no CheckFile.
  int created = 0;
  size_t fit = 0;
  for (size_t i = 0, bytes = 0; i < names.size(); ++i) {
    bytes += names[i].size() + 1;
    if (bytes + 1 > kelm::kSectionNamesSize) break;
    fit = i + 1;
    created += CountLines(lines, Msg(kelm::msg::kThreadCreated, names[i]));
  }
  EXPECT_EQ(created, static_cast<int>(fit));
  ASSERT_LT(fit, names.size());
  const std::string marked = Msg(kelm::msg::kThreadCreateFailed, "\x01");
  const std::string head = marked.substr(0, marked.find('\x01'));
  const std::string tail = marked.substr(marked.find('\x01') + 1);
  int failed = 0;
  for (const auto& l : lines) {
    size_t at = l.find(head);
    if (at == std::string::npos || l.size() < tail.size() ||
        l.compare(l.size() - tail.size(), tail.size(), tail) != 0) {
      continue;
    }
    std::string cut = l.substr(at + head.size(), l.size() - tail.size() - at - head.size());
    EXPECT_LT(cut.size(), names[fit].size());
    EXPECT_EQ(names[fit].compare(0, cut.size(), cut), 0) << cut;
    ++failed;
  }
  EXPECT_EQ(failed, 1) << inst_.LogBytes();
  EXPECT_EQ(CountLines(lines, Msg(kelm::msg::kReasonKeyMissing)), 1);
  ExpectRecords({kConfigFailed, kStopped});
}

TEST_F(TaskSetTest, WatchersThatCannotArmLeaveTheStartStanding) {
  testenv::WriteFile(inst_.Path("afile"), "x");
  inst_.WriteServiceIni(inst_.Path("afile"));  // exists, but is no folder to watch
  inst_.WriteTaskIni("[A]\r\nCheckFile=a\r\nTask=p\r\n[B]\r\nCheckFile=b\r\nTask=p\r\n");
  EXPECT_EQ(kelm::StartTasks(), 1);
  EXPECT_EQ(kelm::TaskList.size(), 2u);
  ASSERT_TRUE(
      testenv::WaitFor([&] { return CountLines(Lines(), Msg(kelm::msg::kWatchFailed)) == 2; }));
  kelm::StopTasks();
  auto lines = Lines();
  EXPECT_EQ(CountLines(lines, Msg(kelm::msg::kServiceStarted)), 1);
  EXPECT_EQ(CountLines(lines, Msg(kelm::msg::kServiceEnded)), 1);
  ExpectRecords({kStopped});
}

TEST_F(TaskSetTest, NormalStartRunsEveryTaskUntilStopped) {
  std::string recA = inst_.Path("a.txt"), recB = inst_.Path("b.txt");
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(inst_.RecorderTask("A", "a.dat", recA) +
                     inst_.RecorderTask("B", "b.dat", recB));
  ASSERT_EQ(kelm::StartTasks(), 1);
  ASSERT_EQ(kelm::TaskList.size(), 2u);
  testenv::WriteFile(inst_.Watched("b.dat"), "b");
  ASSERT_TRUE(testenv::WaitFor([&] { return inst_.Records(recB).size() == 1; }));
  EXPECT_EQ(inst_.Records(recA).size(), 0u);
  kelm::StopTasks();
  EXPECT_TRUE(kelm::TaskList.empty());
  auto lines = Lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(CountLines({lines[0]}, Msg(kelm::msg::kThreadCreated, "A")), 1);
  EXPECT_EQ(CountLines({lines[1]}, Msg(kelm::msg::kThreadCreated, "B")), 1);
  EXPECT_EQ(CountLines({lines[2]}, Msg(kelm::msg::kServiceStarted)), 1);
  EXPECT_EQ(CountLines({lines.back()}, Msg(kelm::msg::kServiceEnded)), 1);
  ExpectRecords({kStopped});
}

// What a start does with a check file delivered while the service was stopped, by what the
// state file beside the executable holds: each row runs the set twice, a fresh installation's
// first start with A's check file there and B's not, then a second after what the row does
// meanwhile.
TEST_F(TaskSetTest, FilesDeliveredWhileStoppedStartOnceAtTheNextStart) {
  const std::string rec = inst_.Path("a.txt"), recB = inst_.Path("b.txt");
  const std::string state = inst_.Path(kelm::msg::kStateFile);
  const auto tear = [&](std::size_t keep) {
    testenv::WriteFile(state, testenv::ReadFile(state).substr(0, keep));
  };
  const auto deliver = [&] { testenv::WriteFile(inst_.Watched("a.dat"), "delivered"); };
  const struct Row {
    const char* what;
    std::function<void()> whileStopped;
    std::size_t starts, startsB;
    int caughtUp, unusable, notWritten;
    bool stateFolder = false;  // the state file's path is a folder: neither read nor written
  } rows[] = {
      {"nothing new", [] {}, 0, 0, 0, 0, 0},
      {"delivered", deliver, 1, 0, 1, 0, 0},
      {"deleted", [&] { testenv::RemoveTree(inst_.Watched("a.dat")); }, 0, 0, 0, 0, 0},
      {"delivered to a file not there at the first start",
       [&] { testenv::WriteFile(inst_.Watched("b.dat"), "b"); }, 0, 1, 0, 0, 0},
      {"a task added, its file there",
       [&] {
         testenv::WriteFile(inst_.Watched("c.dat"), "c");
         inst_.WriteTaskIni(inst_.RecorderTask("A", "a.dat", rec) +
                            inst_.RecorderTask("B", "b.dat", recB) +
                            inst_.RecorderTask("C", "c.dat", recB));
       },
       0, 0, 0, 0, 0},
      {"its check file changed",
       [&] {
         testenv::WriteFile(inst_.Watched("c.dat"), "c");
         inst_.WriteTaskIni(inst_.RecorderTask("A", "c.dat", rec) +
                            inst_.RecorderTask("B", "b.dat", recB));
       },
       0, 0, 0, 0, 0},
      {"delivered, the state file torn", [&] { deliver(), tear(40); }, 0, 0, 0, 1, 0},
      {"delivered, the state file empty", [&] { deliver(), tear(0); }, 0, 0, 0, 1, 0},
      {"delivered, the state file a folder", deliver, 0, 0, 0, 2, 2, true},
  };
  inst_.WriteServiceIni(inst_.watched);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    testenv::RemoveTree(state);
    testenv::RemoveTree(rec);
    testenv::RemoveTree(recB);
    testenv::RemoveTree(inst_.Watched("b.dat"));
    testenv::RemoveTree(inst_.Watched("c.dat"));
    testenv::RemoveTree(inst_.logDir);
    testenv::MakeDir(inst_.logDir);
    if (row.stateFolder) testenv::MakeDir(state);
    inst_.WriteTaskIni(inst_.RecorderTask("A", "a.dat", rec) +
                       inst_.RecorderTask("B", "b.dat", recB));
    testenv::WriteFile(inst_.Watched("a.dat"), "there before");
    for (int run = 0; run < 2; ++run) {
      if (run == 1) row.whileStopped();
      ASSERT_EQ(kelm::StartTasks(), 1);
      const std::size_t expected = run == 0 ? 0 : row.starts;
      testenv::WaitFor([&] { return inst_.Records(rec).size() > expected; },
                       std::chrono::milliseconds(1500));
      kelm::StopTasks();
      EXPECT_EQ(inst_.Records(rec).size(), expected) << "run " << run;
    }
    EXPECT_EQ(inst_.Records(recB).size(), row.startsB);
    const auto lines = Lines();
    const auto count = [&lines](const char* format, const std::string& what) {
      const std::string text = Msg(format, what, "");
      return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
      });
    };
    EXPECT_EQ(count(kelm::msg::kCaughtUp, inst_.Watched("a.dat")), row.caughtUp);
    EXPECT_EQ(count(kelm::msg::kStateUnusable, state), row.unusable) << inst_.LogBytes();
    EXPECT_EQ(count(kelm::msg::kStateNotWritten, state), row.notWritten) << inst_.LogBytes();
  }
}

}  // namespace
