// The real executable started by a user: the dispatcher failure without a switch, the version
// box, the foreground run and programs that cannot be started, checked by the log's bytes, the
// event records, the started programs and the boxes (Linux: the terminal; Wine: windows under X
// pressed by a helper).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diag/event_log.h"
#include "support/events.h"
#include "support/install.h"
#include "support/program.h"
#include "support/testenv.h"
#include "text/messages.h"

#ifndef _WIN32
#include <signal.h>

#include <fstream>
#include <sstream>
#endif

using testenv::EventRecord;
using testenv::Installation;
using testenv::Line;
using testenv::LogIs;
using testenv::Msg;
using testenv::Process;

namespace {

const EventRecord kDispatcherFailed{1, kelm::EventDispatcherFailed};
const EventRecord kConfigFailed{1, kelm::EventTaskConfigFailed};
const EventRecord kStopped{4, kelm::EventServiceStopped};

const char kVersion[] = "Version:1.0.2005.1117";
const char kDebugCaption[] = "zup service - debug mode";
const char kDebugText[] = "Terminate ?";

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = testenv::CopyServiceExe(inst_);
    ASSERT_FALSE(exe_.empty()) << "could not copy " << testenv::ServiceExePath();
    out_ = inst_.Path("stdout.txt");
    err_ = inst_.Path("stderr.txt");
  }
  void TearDown() override {
    if (child_.valid()) testenv::Kill(child_);
  }

  void Run(const std::vector<std::string>& args, bool withStdin = true) {
    std::vector<std::string> env = sink_.ChildEnv();
#ifndef _WIN32
    // Started by a user, never by a service manager, whatever runs the tests.
    env.push_back("NOTIFY_SOCKET=");
#endif
    child_ = testenv::Start(exe_, args, env, out_, err_, withStdin);
    ASSERT_TRUE(child_.valid());
  }
  int WaitExit() { return testenv::Wait(child_, std::chrono::seconds(60)); }
  std::vector<EventRecord> Events() { return sink_.Take(err_); }
  // Linux keeps each record's text with it; Windows leaves it to the message table.
  void ExpectTexts(const std::vector<EventRecord>& events) {
    if (!testenv::EventSink::InProcess()) return;
    for (const EventRecord& r : events) {
      const char* text = kelm::msg::TextOf(kelm::msg::kEventMessages, r.id);
      ASSERT_NE(text, nullptr) << std::hex << r.id;
      EXPECT_EQ(r.text, text) << std::hex << r.id;
    }
  }
  bool LogHas(const std::string& text, int times = 1) {
    return testenv::WaitFor([&] { return testenv::CountLines(inst_.LogLines(), text) >= times; });
  }

  // Ends the foreground run's box the way a user would and returns the box's text as seen.
  std::string DismissDebugBox() {
#ifdef _WIN32
    std::string text;
    EXPECT_EQ(testenv::PressBox(child_, inst_.dir, kDebugCaption, &text), 0);
    return text;
#else
    testenv::CloseStdin(child_);
    return kDebugText;
#endif
  }

  testenv::EventSink sink_;
  Installation inst_;
  std::string exe_, out_, err_;
  Process child_;
};

TEST_F(ProgramTest, NoSwitchStartedByAUserFailsTheDispatcher) {
  Run({});
  EXPECT_EQ(WaitExit(), 0);
  std::string log = inst_.LogBytes();
  EXPECT_TRUE(LogIs(log, {Line(testenv::SeparatorText()),
                          Line("StartServiceCtrlDispatcher()に失敗しました。.")}));
#ifdef _WIN32
  // The Japanese text is code page 932 ("に" is 82 C9), not UTF-8.
  EXPECT_NE(log.find("\x82\xc9"), std::string::npos);
  EXPECT_EQ(log.find('\xe3'), std::string::npos);
#endif
  auto events = Events();
  EXPECT_EQ(events, std::vector<EventRecord>{kDispatcherFailed}) << testenv::ToString(events);
  ExpectTexts(events);
}

TEST_F(ProgramTest, TextThatIsNoSwitchAlsoStartsTheDispatcher) {
  // "-install now" is not "-install"; "ver" lacks its dash (a box here would hang the test).
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-install", "now"}, std::vector<std::string>{"ver"}}) {
    testenv::RemoveTree(inst_.logDir);
    testenv::MakeDir(inst_.logDir);
    Run(args);
    EXPECT_EQ(WaitExit(), 0) << args[0];
    EXPECT_TRUE(LogIs(inst_.LogBytes(),
                      {Line(testenv::SeparatorText()), Line(Msg(kelm::msg::kDispatcherFailed))}))
        << args[0];
    auto events = Events();
    EXPECT_EQ(events, std::vector<EventRecord>{kDispatcherFailed}) << testenv::ToString(events);
  }
}

TEST_F(ProgramTest, VersionBoxShowsTheVersionAsTextAndCaption) {
  SKIP_WITHOUT_BOXES();
  Run({"-ver"});
#ifdef _WIN32
  std::string text;
  EXPECT_EQ(testenv::PressBox(child_, inst_.dir, kVersion, &text), 0);
  EXPECT_EQ(text, kVersion);
#endif
  // On Linux the version is printed, caption then text, and nothing is waited for: the
  // program ends with its standard input still open.
  EXPECT_EQ(WaitExit(), 0);
#ifndef _WIN32
  EXPECT_EQ(testenv::ReadFile(out_), std::string(kVersion) + "\n" + kVersion + "\n");
#endif
  EXPECT_TRUE(LogIs(inst_.LogBytes(), {Line(testenv::SeparatorText())}));
  EXPECT_TRUE(Events().empty());
}

class ForegroundRunTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (HasFatalFailure()) return;
    inst_.WriteServiceIni(inst_.watched);
    recA_ = inst_.Path("rec-a.txt");
    recB_ = inst_.Path("rec-b.txt");
    inst_.WriteTaskIni(inst_.RecorderTask("TaskA", "a.dat", recA_) +
                       inst_.RecorderTask("TaskB", "b.dat", recB_));
  }

  // Starts the run and waits for both tasks to watch; checks what the log holds by then.
  void StartAndWaitForTasks() {
    Run({"-debug"});
    ASSERT_TRUE(LogHas(Msg(kelm::msg::kServiceStarted))) << inst_.LogBytes();
    EXPECT_TRUE(LogIs(
        inst_.LogBytes(),
        {Line(testenv::SeparatorText()), Line(Msg(kelm::msg::kThreadCreated, "TaskA")),
         Line(Msg(kelm::msg::kThreadCreated, "TaskB")), Line(Msg(kelm::msg::kServiceStarted))}));
  }

  // Writes TaskA's check file and waits for its program and its log line.
  void DropCheckFileA() {
    ASSERT_TRUE(testenv::WriteFile(inst_.Watched("a.dat"), "payload"));
    ASSERT_TRUE(testenv::WaitFor([&] { return inst_.Records(recA_).size() == 1; }));
    ASSERT_TRUE(LogHas(StartedLineA()));
    EXPECT_TRUE(inst_.Records(recB_).empty());
  }

  std::string StartedLineA() const {
    // The profile reader takes the quotes around a whole value away, as the platform's does.
    return Msg(kelm::msg::kStartedProgram, inst_.Watched("a.dat"), recA_);
  }

  // The whole log of a run in which TaskA's program was started once.
  std::vector<std::string> FullRunLog() const {
    return {Line(testenv::SeparatorText()),
            Line(Msg(kelm::msg::kThreadCreated, "TaskA")),
            Line(Msg(kelm::msg::kThreadCreated, "TaskB")),
            Line(Msg(kelm::msg::kServiceStarted)),
            Line(StartedLineA()),
            Line(Msg(kelm::msg::kServiceEnded))};
  }

  std::string recA_, recB_;
};

// A run ended by a crash, a file delivered before the next: the next run starts its program,
// once; the other task, whose file was never delivered, starts nothing.
TEST_F(ForegroundRunTest, AFileDeliveredAfterACrashStartsAtTheNextRun) {
  SKIP_WITHOUT_BOXES();
  const std::string state = inst_.Path(kelm::msg::kStateFile);
  StartAndWaitForTasks();
  // The start is remembered after it, off its path: wait until the state file says so.
  ASSERT_TRUE(testenv::WaitFor([&] { return !testenv::ReadFile(state).empty(); }));
  const std::string before = testenv::ReadFile(state);
  DropCheckFileA();
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::ReadFile(state) != before; }));
  testenv::Kill(child_);
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("a.dat"), "delivered meanwhile"));
  Run({"-debug"});
  ASSERT_TRUE(LogHas(Msg(kelm::msg::kServiceStarted), 2)) << inst_.LogBytes();
  EXPECT_TRUE(testenv::WaitFor([&] { return inst_.Records(recA_).size() == 2; }));
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(DismissDebugBox(), kDebugText);
  EXPECT_EQ(WaitExit(), 0);
  EXPECT_EQ(inst_.Records(recA_).size(), 2u);
  EXPECT_TRUE(inst_.Records(recB_).empty());
  EXPECT_EQ(
      testenv::CountLines(inst_.LogLines(), Msg(kelm::msg::kCaughtUp, inst_.Watched("a.dat"))), 1)
      << inst_.LogBytes();
}

TEST_F(ForegroundRunTest, TasksRunUntilTheBoxIsDismissed) {
  SKIP_WITHOUT_BOXES();
  StartAndWaitForTasks();
  DropCheckFileA();
  EXPECT_TRUE(testenv::StillRunning(child_));
  EXPECT_EQ(DismissDebugBox(), kDebugText);
  EXPECT_EQ(WaitExit(), 0);
  EXPECT_TRUE(LogIs(inst_.LogBytes(), FullRunLog()));
  auto events = Events();
  EXPECT_EQ(events, std::vector<EventRecord>{kStopped}) << testenv::ToString(events);
  // The watchers are gone: a later write starts nothing.
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("b.dat"), "late"));
  testenv::SleepForChangeToSettle();
  EXPECT_TRUE(inst_.Records(recB_).empty());
#ifndef _WIN32
  EXPECT_EQ(testenv::ReadFile(out_), std::string(kDebugCaption) + "\n" + kDebugText + "\n");
#endif
}

// Programs that cannot be started. Each write of a check file gives one line that says so and
// why, never a started line; a write is reported once, not retried; the other tasks go on.
class LaunchFailureTest : public ProgramTest {
 protected:
  struct Bad {
    const char* section;
    const char* checkFile;
    std::string task;
    unsigned code;     // the system error the line must carry
    const char* text;  // its text where the platform's is known to the test, else ""
  };

  void SetUp() override {
    ProgramTest::SetUp();
    if (HasFatalFailure()) return;
    inst_.WriteServiceIni(inst_.watched);
    ASSERT_TRUE(testenv::MakeDir(inst_.Path("a folder")));
    ASSERT_TRUE(testenv::WriteFile(inst_.Path("report.kelmdoc"), "no application for this"));
#ifdef _WIN32
    // A folder is opened by the shell in a window of its own, which is a start.
    const char* any = "";  // the system's own wording, whatever its language
    bad_.push_back({"Missing", "m.dat", inst_.Path("no-such-program.exe"), 2, any});
    bad_.push_back({"Document", "d.dat", inst_.Path("report.kelmdoc"), 1155, any});
#else
    bad_.push_back(
        {"Missing", "m.dat", inst_.Path("no-such-program"), 2, "No such file or directory"});
    bad_.push_back({"Folder", "f.dat", inst_.Path("a folder"), 21, "Is a directory"});
    bad_.push_back(
        {"Document", "d.dat", inst_.Path("report.kelmdoc"), 95, "Operation not supported"});
#endif
    std::string ini;
    for (const Bad& b : bad_) {
      ini += std::string("[") + b.section + "]\r\nCheckFile=" + b.checkFile + "\r\nTask=" + b.task +
             "\r\nPara=-x \"" + b.section + "\"\r\n";
    }
    rec_ = inst_.Path("rec.txt");
    inst_.WriteTaskIni(ini + inst_.RecorderTask("Good", "g.dat", rec_));
  }

  std::string Para(const Bad& b) { return std::string("-x \"") + b.section + "\""; }

  // The lines "<path> <para> を起動できませんでした。 - <text> (0x<code>)" for b, each ended by
  // the error text's own line end alone: no empty line follows.
  int FailureLines(const Bad& b) {
    const std::string head =
        Msg(kelm::msg::kProgramNotStarted, inst_.Watched(b.checkFile), Para(b), "");
    char tail[16];
    std::snprintf(tail, sizeof tail, " (0x%x)", b.code);
    const std::vector<std::string> lines = inst_.LogLines();
    int n = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string& l = lines[i];
      const std::size_t end = l.rfind(tail);
      if (l.find(head) != 19 || end == std::string::npos) continue;
      const std::string text = l.substr(19 + head.size(), end - 19 - head.size());
      EXPECT_EQ(end + std::strlen(tail), l.size()) << l;
      EXPECT_TRUE(*b.text == '\0' ? !text.empty() : text == b.text) << l;
      if (i + 1 < lines.size()) {
        EXPECT_NE(lines[i + 1], "") << l;
      }
      ++n;
    }
    return n;
  }

  std::vector<Bad> bad_;
  std::string rec_;
};

TEST_F(LaunchFailureTest, MissingProgramFolderAndDocumentWithoutOpenerSayWhyOncePerWrite) {
  SKIP_WITHOUT_BOXES();
#ifdef _WIN32
  Run({"-debug"});
#else
  // A PATH without xdg-open: nothing here opens documents or folders.
  child_ = testenv::Start(exe_, {"-debug"}, {"NOTIFY_SOCKET=", "PATH=" + inst_.Path("a folder")},
                          out_, err_, true);
  ASSERT_TRUE(child_.valid());
#endif
  ASSERT_TRUE(LogHas(Msg(kelm::msg::kServiceStarted))) << inst_.LogBytes();
  for (const Bad& b : bad_) ASSERT_TRUE(testenv::WriteFile(inst_.Watched(b.checkFile), "1"));
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("g.dat"), "1"));
  ASSERT_TRUE(testenv::WaitFor([&] { return inst_.Records(rec_).size() == 1; }));
  for (const Bad& b : bad_) {
    EXPECT_TRUE(testenv::WaitFor([&] { return FailureLines(b) >= 1; })) << b.section << "\n"
                                                                        << inst_.LogBytes();
  }
  // A second write of one check file is reported again; the first writes are not retried.
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("m.dat"), "22"));
  EXPECT_TRUE(testenv::WaitFor([&] { return FailureLines(bad_[0]) == 2; })) << inst_.LogBytes();
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(DismissDebugBox(), kDebugText);
  EXPECT_EQ(WaitExit(), 0);

  EXPECT_EQ(FailureLines(bad_[0]), 2) << inst_.LogBytes();
  for (std::size_t i = 1; i < bad_.size(); ++i) {
    EXPECT_EQ(FailureLines(bad_[i]), 1) << bad_[i].section << "\n" << inst_.LogBytes();
  }
  const std::vector<std::string> lines = inst_.LogLines();
  for (const Bad& b : bad_) {
    const std::string started =
        Msg(kelm::msg::kStartedProgram, inst_.Watched(b.checkFile), Para(b));
    EXPECT_EQ(testenv::CountLines(lines, started), 0) << b.section;
  }
  EXPECT_EQ(
      testenv::CountLines(lines, Msg(kelm::msg::kStartedProgram, inst_.Watched("g.dat"), rec_)), 1);
  EXPECT_EQ(inst_.Records(rec_).size(), 1u);
}

#ifndef _WIN32
// Whether the process has a handler for sig (its SigCgt mask in /proc), i.e. the box is up.
bool CatchesSignal(const Process& p, int sig) {
  std::ifstream f("/proc/" + std::to_string(p.id) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.compare(0, 7, "SigCgt:") == 0) {
      unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> (sig - 1)) & 1;
    }
  }
  return false;
}

TEST_F(ForegroundRunTest, SigIntDismissesTheBoxLikeTheUserAndStopsTheTasks) {
  StartAndWaitForTasks();
  DropCheckFileA();
  // Once the box is up the signal is its dismissal.
  ASSERT_TRUE(testenv::WaitFor([&] { return CatchesSignal(child_, SIGINT); }));
  ASSERT_EQ(kill(static_cast<pid_t>(child_.id), SIGINT), 0);
  EXPECT_EQ(WaitExit(), 0);
  EXPECT_TRUE(LogIs(inst_.LogBytes(), FullRunLog()));
  auto events = Events();
  EXPECT_EQ(events, std::vector<EventRecord>{kStopped}) << testenv::ToString(events);
}
#endif

TEST_F(ForegroundRunTest, AbandonedStartStillShowsTheBoxAndStopsTwice) {
  SKIP_WITHOUT_BOXES();
  inst_.WriteTaskIni("[Only]\r\nCheckFile=a.dat\r\nPara=x\r\n");
  Run({"-debug"});
  ASSERT_TRUE(LogHas(Msg(kelm::msg::kServiceEnded))) << inst_.LogBytes();
  // The start gave up, yet the box waits for the user.
  EXPECT_TRUE(testenv::StillRunning(child_));
  EXPECT_EQ(DismissDebugBox(), kDebugText);
  EXPECT_EQ(WaitExit(), 0);
  // The code's resource text (the executable's string table on Windows) says why.
  const std::string log = inst_.LogBytes();
  EXPECT_TRUE(
      LogIs(log, {Line(testenv::SeparatorText()), Line(Msg(kelm::msg::kThreadCreateFailed, "Only")),
                  Line(Msg(kelm::msg::kReasonKeyMissing)), Line(Msg(kelm::msg::kServiceEnded)),
                  Line(Msg(kelm::msg::kServiceEnded))}));
#ifdef _WIN32
  // "長すぎます。" in code page 932, whatever the test's own texts are compiled to.
  EXPECT_NE(log.find("\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7\x81\x42\r\n"), std::string::npos);
#else
  EXPECT_NE(log.find("長すぎます。\n"), std::string::npos);
#endif
  auto events = Events();
  EXPECT_EQ(events, (std::vector<EventRecord>{kConfigFailed, kStopped, kStopped}))
      << testenv::ToString(events);
  ExpectTexts(events);
}

}  // namespace
