// The service lifecycle in-process, with a recording stand-in for the platform's status call:
// every report's fields, the check-point counter across start and stop, controls, refused
// reports, and a stop control racing the end of an abandoned start.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/event_log.h"
#include "diag/log.h"
#include "platform/handle.h"
#include "service/service.h"
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

// The recording double. StatusSender is a plain function, so its state is process-wide.
struct Recorder {
  std::mutex mu;
  std::condition_variable changed;
  std::vector<plat::ServiceStatus> reports;
  std::vector<plat::Handle> handles;
  std::uint32_t refuseState = 0;  // reports of this state are refused (0: none)
  std::function<void(const plat::ServiceStatus&)> onReport;
};
Recorder* gRecorder = nullptr;

bool RecordStatus(plat::Handle handle, const plat::ServiceStatus& status) {
  Recorder& r = *gRecorder;
  std::function<void(const plat::ServiceStatus&)> hook;
  bool accept;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    r.reports.push_back(status);
    r.handles.push_back(handle);
    accept = status.currentState != r.refuseState;
    hook = r.onReport;
  }
  r.changed.notify_all();
  if (hook) hook(status);
  return accept;
}

// What a report should hold; serviceType is 0x10 only where ServiceMain set it.
struct Expected {
  std::uint32_t state, accepts, checkPoint, waitHint;
};

// Spins rather than sleeps: a sleep or a yield can take far longer on a loaded machine.
void BusyWait(std::chrono::microseconds d) {
  auto end = std::chrono::steady_clock::now() + d;
  while (std::chrono::steady_clock::now() < end) {
  }
}

const plat::Handle kStatusHandle = reinterpret_cast<plat::Handle>(std::intptr_t{0x5a5a});

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gRecorder = &rec_;
    kelm::ResetServiceStateForTesting(kStatusHandle);
    kelm::SetStatusSenderForTesting(&RecordStatus);
    kelm::SetModuleDirForTesting(inst_.dir.c_str());
    inst_.WriteServiceIni(inst_.watched);
    record_ = inst_.Path("rec.txt");
    inst_.WriteTaskIni(inst_.RecorderTask("One", "one.dat", record_) +
                       inst_.RecorderTask("Two", "two.dat", inst_.Path("rec2.txt")));
  }
  void TearDown() override {
    if (service_.joinable()) service_.join();
    if (!kelm::TaskList.empty()) kelm::StopTasks();
    kelm::SetStatusSenderForTesting(nullptr);
    kelm::ResetServiceStateForTesting(nullptr);
    kelm::SetModuleDirForTesting(nullptr);
    gRecorder = nullptr;
  }

  // The service thread as ServiceMain runs it once its control handler is registered (outside
  // a service manager the registration itself fails, so ServiceMain cannot be called here).
  void StartServiceThread() {
    service_ = std::thread([] {
      if (kelm::ReportServiceStatus(kelm::ServiceStartPending, 0, kelm::kStartHint1Ms)) {
        kelm::RunService();
      }
      kelm::ReportServiceStatus(kelm::ServiceStopped, 0, 0);
    });
  }
  bool WaitForReports(std::size_t n) {
    std::unique_lock<std::mutex> lock(rec_.mu);
    return rec_.changed.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return rec_.reports.size() >= n; });
  }
  bool JoinService() {
    bool ended = testenv::WaitFor([&] {
      std::lock_guard<std::mutex> lock(rec_.mu);
      return !rec_.reports.empty() && rec_.reports.back().currentState == kelm::ServiceStopped;
    });
    if (ended) service_.join();
    return ended;
  }
  std::vector<plat::ServiceStatus> Reports() {
    std::lock_guard<std::mutex> lock(rec_.mu);
    return rec_.reports;
  }
  void ExpectReports(const std::vector<Expected>& expected) {
    auto got = Reports();
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      SCOPED_TRACE("report " + std::to_string(i));
      EXPECT_EQ(got[i].currentState, expected[i].state);
      EXPECT_EQ(got[i].controlsAccepted, expected[i].accepts);
      EXPECT_EQ(got[i].checkPoint, expected[i].checkPoint);
      EXPECT_EQ(got[i].waitHint, expected[i].waitHint);
      EXPECT_EQ(got[i].win32ExitCode, 0u);
      EXPECT_EQ(got[i].serviceSpecificExitCode, 0u);
    }
    std::lock_guard<std::mutex> lock(rec_.mu);
    for (plat::Handle h : rec_.handles) EXPECT_EQ(h, kStatusHandle);
  }
  void ExpectEvents(const std::vector<EventRecord>& expected) {
    if (!testenv::EventSink::InProcess()) return;  // Wine: seen through the program instead
    auto got = sink_.Take();
    EXPECT_EQ(got, expected) << testenv::ToString(got);
  }

  testenv::EventSink sink_;
  Installation inst_;
  Recorder rec_;
  std::string record_;
  std::thread service_;
};

constexpr std::uint32_t kStartPending = kelm::ServiceStartPending;
constexpr std::uint32_t kRunning = kelm::ServiceRunning;
constexpr std::uint32_t kStopPending = kelm::ServiceStopPending;
constexpr std::uint32_t kStopped = kelm::ServiceStopped;
const EventRecord kStarting{4, kelm::EventServiceStarting};
const EventRecord kServiceStopped{4, kelm::EventServiceStopped};
const EventRecord kStatusFailed{1, kelm::EventStatusFailed};
const EventRecord kConfigFailed{1, kelm::EventTaskConfigFailed};

TEST_F(ServiceTest, RunInterrogateAndStopReportEveryFieldAndContinueTheCheckPoints) {
  StartServiceThread();
  ASSERT_TRUE(WaitForReports(3));
  // The tasks watch while running.
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("one.dat"), "x"));
  ASSERT_TRUE(testenv::WaitFor([&] { return inst_.Records(record_).size() == 1; }));

  kelm::ServiceCtrlHandler(kelm::ControlInterrogate);
  ASSERT_EQ(Reports().size(), 4u);
  kelm::ServiceCtrlHandler(kelm::ControlStop);  // returns once the watchers have ended
  EXPECT_TRUE(kelm::TaskList.empty());
  ASSERT_TRUE(JoinService());
  ExpectReports({{kStartPending, 0, 1, 3000},
                 {kStartPending, 0, 2, 5000},
                 {kRunning, 5, 0, 0},
                 {kRunning, 5, 0, 0},
                 {kStopPending, 5, 3, 5000},
                 {kStopped, 5, 0, 0}});
  EXPECT_EQ(kelm::ServiceStopEvent, nullptr);
  auto lines = inst_.LogLines();
  EXPECT_EQ(CountLines(lines, Msg(kelm::msg::kServiceStarted)), 1);
  EXPECT_EQ(CountLines(lines, Msg(kelm::msg::kServiceEnded)), 1);
  ExpectEvents({kStarting, kServiceStopped});

  // The counter is never reset: a later pending report goes on from 4.
  ASSERT_TRUE(kelm::ReportServiceStatus(kStartPending, 0, 7));
  EXPECT_EQ(Reports().back().checkPoint, 4u);
  EXPECT_EQ(Reports().back().waitHint, 7u);
}

TEST_F(ServiceTest, ShutdownStopsLikeStopAndOtherControlsRepeatTheState) {
  StartServiceThread();
  ASSERT_TRUE(WaitForReports(3));
  kelm::ServiceCtrlHandler(2);  // pause: not handled, reported as the current state
  kelm::ServiceCtrlHandler(kelm::ControlShutdown);
  ASSERT_TRUE(JoinService());
  ExpectReports({{kStartPending, 0, 1, 3000},
                 {kStartPending, 0, 2, 5000},
                 {kRunning, 5, 0, 0},
                 {kRunning, 5, 0, 0},
                 {kStopPending, 5, 3, 5000},
                 {kStopped, 5, 0, 0}});
  // A stop after the end has nothing to stop and reports nothing.
  kelm::ServiceCtrlHandler(kelm::ControlStop);
  kelm::ServiceCtrlHandler(kelm::ControlInterrogate);
  EXPECT_EQ(Reports().size(), 6u);
  EXPECT_EQ(CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceEnded)), 1);
}

TEST_F(ServiceTest, SecondStopControlWhileStoppingAddsNothing) {
  StartServiceThread();
  ASSERT_TRUE(WaitForReports(3));
  kelm::ServiceCtrlHandler(kelm::ControlStop);
  // Delivered before the service thread has woken: the tasks are being stopped already.
  kelm::ServiceCtrlHandler(kelm::ControlShutdown);
  ASSERT_TRUE(JoinService());
  ExpectReports({{kStartPending, 0, 1, 3000},
                 {kStartPending, 0, 2, 5000},
                 {kRunning, 5, 0, 0},
                 {kStopPending, 5, 3, 5000},
                 {kStopped, 5, 0, 0}});
  EXPECT_EQ(CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceEnded)), 1);
}

TEST_F(ServiceTest, PendingStateReportedAgainAdvancesTheCheckPoint) {
  ASSERT_TRUE(kelm::ReportServiceStatus(kStartPending, 0, 3000));
  kelm::ServiceCtrlHandler(kelm::ControlInterrogate);
  ExpectReports({{kStartPending, 0, 1, 3000}, {kStartPending, 0, 2, 0}});
}

TEST_F(ServiceTest, RefusedSecondStartReportSkipsToStoppedWithARecord) {
  // Refuse only the second start-pending report.
  rec_.onReport = [this](const plat::ServiceStatus& s) {
    if (s.currentState == kStartPending && s.checkPoint == 1) {
      std::lock_guard<std::mutex> lock(rec_.mu);
      rec_.refuseState = kStartPending;
    }
  };
  StartServiceThread();
  ASSERT_TRUE(JoinService());
  ExpectReports({{kStartPending, 0, 1, 3000}, {kStartPending, 0, 2, 5000}, {kStopped, 5, 0, 0}});
  EXPECT_TRUE(kelm::TaskList.empty());
  EXPECT_EQ(kelm::ServiceStopEvent, nullptr);
  EXPECT_EQ(CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceStarted)), 0);
  ExpectEvents({kStatusFailed});
}

TEST_F(ServiceTest, RefusedRunningReportSkipsTheWaitAndLeavesTheWatchersRunning) {
  rec_.refuseState = kRunning;
  StartServiceThread();
  ASSERT_TRUE(JoinService());
  ExpectReports({{kStartPending, 0, 1, 3000},
                 {kStartPending, 0, 2, 5000},
                 {kRunning, 5, 0, 0},
                 {kStopped, 5, 0, 0}});
  EXPECT_EQ(kelm::TaskList.size(), 2u);
  EXPECT_EQ(kelm::ServiceStopEvent, nullptr);
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("one.dat"), "x"));
  EXPECT_TRUE(testenv::WaitFor([&] { return inst_.Records(record_).size() == 1; }));
  ExpectEvents({kStarting, kStatusFailed});
}

TEST_F(ServiceTest, AbandonedStartReportsRunningThenStopped) {
  inst_.WriteTaskIni("; no task\r\n");
  StartServiceThread();
  ASSERT_TRUE(JoinService());
  ExpectReports({{kStartPending, 0, 1, 3000},
                 {kStartPending, 0, 2, 5000},
                 {kRunning, 5, 0, 0},
                 {kStopped, 5, 0, 0}});
  auto lines = inst_.LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(CountLines({lines[0]}, Msg(kelm::msg::kNoTask)), 1);
  EXPECT_EQ(CountLines({lines[1]}, Msg(kelm::msg::kServiceEnded)), 1);
  ExpectEvents({kStarting, kServiceStopped});
}

// A stop control sent from another thread the moment running is reported, while the abandoned
// start is already on its way to stopped: whichever wins, the reports stay in order and the
// closed stop event is never set. Repeated with the control held back a little longer each
// time, so that it lands at different points of the service thread's end (now and then before
// the service thread has left its wait: then stop-pending comes between running and stopped).
TEST_F(ServiceTest, StopRacingTheEndOfAnAbandonedStartNeverFollowsStopped) {
  inst_.WriteTaskIni("[Bad]\r\nCheckFile=x\r\n");
  constexpr int kRounds = 100;
  int stopsTaken = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    {
      std::lock_guard<std::mutex> lock(rec_.mu);
      rec_.reports.clear();
      rec_.handles.clear();
    }
    kelm::ResetServiceStateForTesting(kStatusHandle);
    std::thread control;
    std::atomic<bool> controlStarted{false}, controlDone{false};
    rec_.onReport = [&](const plat::ServiceStatus& s) {
      if (s.currentState != kRunning) return;
      control = std::thread([&, round] {
        controlStarted = true;
        // Odd rounds send at once, to be waiting for the status lock when running is out.
        if (round % 2 == 0) BusyWait(std::chrono::microseconds(round * 10));
        kelm::ServiceCtrlHandler(kelm::ControlStop);
        controlDone = true;
      });
      while (!controlStarted) std::this_thread::yield();
      if (round % 2 == 1) BusyWait(std::chrono::microseconds(100));
    };
    StartServiceThread();
    bool ended = JoinService();
    bool controlled = testenv::WaitFor([&] { return controlDone.load(); });
    if (control.joinable()) {
      if (controlled) {
        control.join();
      } else {
        control.detach();  // stuck: fail rather than hang
      }
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(controlled) << "the stop control never returned";
    rec_.onReport = nullptr;

    auto got = Reports();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got[2].currentState, kRunning);
    EXPECT_EQ(got.back().currentState, kStopped);
    for (std::size_t i = 0; i + 1 < got.size(); ++i) {
      EXPECT_NE(got[i].currentState, kStopped) << "a report after stopped";
    }
    if (got.size() == 5) {
      ++stopsTaken;
      EXPECT_EQ(got[3].currentState, kStopPending);
      EXPECT_EQ(got[3].checkPoint, 3u);
    } else {
      EXPECT_EQ(got.size(), 4u);
    }
    EXPECT_EQ(kelm::ServiceStopEvent, nullptr);
  }
  RecordProperty("stops_taken_before_the_end", stopsTaken);
  // Each abandoned start stopped its tasks once; a stop control that was taken did so again.
  EXPECT_EQ(CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceEnded)), kRounds + stopsTaken);
}

TEST(ConsoleCtrlHandlerTest, OnlyLogOffAndShutDownAreHandled) {
  EXPECT_FALSE(kelm::ConsoleCtrlHandler(0));  // Ctrl+C
  EXPECT_FALSE(kelm::ConsoleCtrlHandler(1));  // Ctrl+Break
  EXPECT_FALSE(kelm::ConsoleCtrlHandler(2));  // close
  EXPECT_TRUE(kelm::ConsoleCtrlHandler(5));   // log-off
  EXPECT_TRUE(kelm::ConsoleCtrlHandler(6));   // shut-down
  EXPECT_FALSE(kelm::ConsoleCtrlHandler(7));
}

}  // namespace
