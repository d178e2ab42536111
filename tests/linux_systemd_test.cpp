// The real executable as a systemd service (Type=notify): the test plays systemd, binding the
// notify socket, starting the program with NOTIFY_SOCKET, reading every notify message and
// sending SIGTERM, and checks the exact sequence, the log, the records and the started programs.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "diag/event_log.h"
#include "support/events.h"
#include "support/install.h"
#include "support/posix_socket.h"
#include "support/program.h"
#include "support/testenv.h"
#include "text/messages.h"

using testenv::EventRecord;
using testenv::Line;
using testenv::Msg;

namespace {

std::atomic<int> gSocketCount{0};

// systemd's end of the notify socket: "@name" (abstract) or a path.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& address) : address_(address) {
    fd_ = testenv::BindDatagram(address);
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
    if (address_[0] != '@') unlink(address_.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool bound() const { return fd_ >= 0; }
  const std::string& address() const { return address_; }

  // Reads messages into *got until one holds `last` or the deadline passes; false then.
  bool ReadUntil(const std::string& last, std::vector<std::string>* got, int deadlineMs = 30000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      end - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) != 1) continue;
      char buf[4096];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) continue;
      got->emplace_back(buf, static_cast<std::size_t>(n));
      if (got->back().find(last) != std::string::npos) return true;
    }
  }
  // Whatever has arrived by now, without waiting.
  std::vector<std::string> Drain() {
    std::vector<std::string> out;
    char buf[4096];
    for (;;) {
      ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) return out;
      out.emplace_back(buf, static_cast<std::size_t>(n));
    }
  }

 private:
  std::string address_;
  int fd_ = -1;
};

std::string AbstractName() {
  return "@kelm-systemd-" + std::to_string(getpid()) + "-" + std::to_string(gSocketCount++);
}

const EventRecord kStarting{4, kelm::EventServiceStarting};
const EventRecord kStopped{4, kelm::EventServiceStopped};
const EventRecord kConfigFailed{1, kelm::EventTaskConfigFailed};

class SystemdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = testenv::CopyServiceExe(inst_);
    ASSERT_FALSE(exe_.empty());
    inst_.WriteServiceIni(inst_.watched);
    record_ = inst_.Path("rec.txt");
  }
  void TearDown() override {
    if (child_.valid()) testenv::Kill(child_);
  }

  void StartService(const NotifySocket& sock, std::vector<std::string> env = {}) {
    ASSERT_TRUE(sock.bound()) << sock.address();
    for (const std::string& e : sink_.ChildEnv()) env.push_back(e);
    env.push_back("NOTIFY_SOCKET=" + sock.address());
    child_ = testenv::Start(exe_, {}, env, inst_.Path("stdout.txt"), inst_.Path("stderr.txt"));
    ASSERT_TRUE(child_.valid());
    pid_ = "MAINPID=" + std::to_string(child_.id) + "\n";
  }

  std::vector<std::string> StartUpMessages() const {
    return {"STATUS=Starting (check point 1)\nEXTEND_TIMEOUT_USEC=3000000\n" + pid_,
            "STATUS=Starting (check point 2)\nEXTEND_TIMEOUT_USEC=5000000\n" + pid_,
            "READY=1\nSTATUS=Running\n" + pid_};
  }

  // An abandoned start: the start-up messages, then stopped with the reason, in a way that
  // leaves the unit failed: the error and exit status 78, which the unit does not restart.
  void ExpectStartAbandonedWith(int code) {
    NotifySocket sock(AbstractName());
    StartService(sock);
    std::vector<std::string> got;
    ASSERT_TRUE(sock.ReadUntil("STATUS=Stopped", &got)) << ::testing::PrintToString(got);
    EXPECT_EQ(testenv::Wait(child_), 78);
    std::vector<std::string> expected = StartUpMessages();
    expected.push_back("STATUS=Stopped: the start was abandoned (service-specific error " +
                       std::to_string(code) + ")\nERRNO=22\n" + pid_);
    EXPECT_EQ(got, expected);
  }

  // A run with one recorder task: started, its program started once, stopped by SIGTERM.
  void RunAndStopWithSigTerm(NotifySocket& sock) {
    inst_.WriteTaskIni(inst_.RecorderTask("Only", "in.dat", record_));
    StartService(sock);
    std::vector<std::string> got;
    ASSERT_TRUE(sock.ReadUntil("READY=1", &got)) << ::testing::PrintToString(got);
    ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "x"));
    ASSERT_TRUE(testenv::WaitFor([&] { return inst_.Records(record_).size() == 1; }));
    testenv::Terminate(child_);
    ASSERT_TRUE(sock.ReadUntil("STATUS=Stopped", &got)) << ::testing::PrintToString(got);
    EXPECT_EQ(testenv::Wait(child_), 0);
    std::vector<std::string> expected = StartUpMessages();
    expected.push_back(
        "STOPPING=1\nSTATUS=Stopping (check point 3)\nEXTEND_TIMEOUT_USEC=5000000\n" + pid_);
    expected.push_back("STATUS=Stopped\n" + pid_);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(sock.Drain().empty());
  }

  testenv::EventSink sink_;
  testenv::Installation inst_;
  std::string exe_, record_, pid_;
  testenv::Process child_;
};

TEST_F(SystemdTest, NormalRunOnAnAbstractSocketSendsTheExactSequence) {
  NotifySocket sock(AbstractName());
  RunAndStopWithSigTerm(sock);
  EXPECT_TRUE(
      testenv::LogIs(inst_.LogBytes(),
                     {Line(testenv::SeparatorText()), Line(Msg(kelm::msg::kThreadCreated, "Only")),
                      Line(Msg(kelm::msg::kServiceStarted)),
                      Line(Msg(kelm::msg::kStartedProgram, inst_.Watched("in.dat"), record_)),
                      Line(Msg(kelm::msg::kServiceEnded))}));
  auto events = sink_.Take();
  EXPECT_EQ(events, (std::vector<EventRecord>{kStarting, kStopped})) << testenv::ToString(events);
}

TEST_F(SystemdTest, PathSocketGetsTheSameSequence) {
  NotifySocket sock(inst_.Path("notify"));
  RunAndStopWithSigTerm(sock);
  EXPECT_EQ(testenv::CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceEnded)), 1);
}

TEST_F(SystemdTest, AbandonedStartGoesFromRunningToAFailedStopWithoutASignal) {
  inst_.WriteTaskIni("[Only]\r\nCheckFile=in.dat\r\n");
  ASSERT_NO_FATAL_FAILURE(ExpectStartAbandonedWith(2002));
  EXPECT_TRUE(testenv::LogIs(
      inst_.LogBytes(),
      {Line(testenv::SeparatorText()), Line(Msg(kelm::msg::kThreadCreateFailed, "Only")),
       Line(Msg(kelm::msg::kReasonKeyMissing)), Line(Msg(kelm::msg::kServiceEnded))}));
  auto events = sink_.Take();
  EXPECT_EQ(events, (std::vector<EventRecord>{kStarting, kConfigFailed, kStopped}))
      << testenv::ToString(events);
  // Each journal record reads as a sentence.
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].text, "サービスを開始しています。");
  EXPECT_EQ(events[1].text, kelm::msg::kEventTaskConfigFailedText);
  EXPECT_EQ(events[2].text, kelm::msg::kEventServiceStoppedText);
}

TEST_F(SystemdTest, EmptyTaskIniGivesTheNoTaskLineAndAFailedStop) {
  inst_.WriteTaskIni("");
  ASSERT_NO_FATAL_FAILURE(ExpectStartAbandonedWith(2004));
  EXPECT_TRUE(testenv::LogIs(inst_.LogBytes(),
                             {Line(testenv::SeparatorText()), Line(Msg(kelm::msg::kNoTask)),
                              Line(Msg(kelm::msg::kServiceEnded))}));
  auto events = sink_.Take();
  EXPECT_EQ(events, (std::vector<EventRecord>{kStarting, kStopped})) << testenv::ToString(events);
}

// The processes whose command line names the given argument (the record file is unique to the
// test), with their state letter from /proc/<pid>/stat.
std::vector<std::pair<pid_t, char>> ProcessesWithArgument(const std::string& arg) {
  std::vector<std::pair<pid_t, char>> found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* e = readdir(proc)) {
    pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::string base = std::string("/proc/") + e->d_name;
    std::string cmdline = testenv::ReadFile(base + "/cmdline");
    std::vector<std::string> args;
    std::istringstream in(cmdline);
    for (std::string a; std::getline(in, a, '\0');) args.push_back(a);
    bool named = false;
    for (const std::string& a : args) named = named || a == arg;
    if (!named) continue;
    std::string stat = testenv::ReadFile(base + "/stat");
    std::size_t paren = stat.rfind(')');
    char state = paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
    found.emplace_back(pid, state);
  }
  closedir(proc);
  return found;
}

TEST_F(SystemdTest, StartedProgramOutlivesTheStopAndIsNotTakenForTheService) {
  inst_.WriteTaskIni(inst_.RecorderTask("Only", "in.dat", record_));
  NotifySocket sock(AbstractName());
  StartService(sock, {"RECORDER_SLEEP_MS=60000"});
  std::vector<std::string> got;
  ASSERT_TRUE(sock.ReadUntil("READY=1", &got));
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "x"));
  ASSERT_TRUE(testenv::WaitFor([&] { return inst_.Records(record_).size() == 1; }));
  testenv::Terminate(child_);
  ASSERT_TRUE(sock.ReadUntil("STATUS=Stopped", &got));
  EXPECT_EQ(testenv::Wait(child_), 0);

  auto programs = ProcessesWithArgument(record_);
  ASSERT_EQ(programs.size(), 1u) << "the started program did not outlive the service";
  EXPECT_NE(programs[0].second, 'Z');
  // The notify address is the service's alone: the program sees no NOTIFY_SOCKET.
  std::string environ =
      testenv::ReadFile("/proc/" + std::to_string(programs[0].first) + "/environ");
  EXPECT_EQ(environ.find("NOTIFY_SOCKET="), std::string::npos);
  EXPECT_NE(environ.find("RECORDER_SLEEP_MS=60000"), std::string::npos);
  kill(programs[0].first, SIGKILL);
}

// systemd starts services with a soft descriptor limit below the hard one; the service raises
// its own, but the programs it starts must get the soft limit it was given.
TEST_F(SystemdTest, StartedProgramGetsTheDescriptorLimitTheServiceWasGiven) {
  rlimit mine{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &mine), 0);
  if (mine.rlim_max <= 512) GTEST_SKIP() << "the hard descriptor limit is too low to lower";
  const std::string info = inst_.Path("info.txt");
  inst_.WriteTaskIni("[Only]\r\nCheckFile=in.dat\r\nTask=" + testenv::ToolPath("linux_startinfo") +
                     "\r\nPara=\"" + info + "\"\r\n");
  NotifySocket sock(AbstractName());
  rlimit lowered = mine;
  lowered.rlim_cur = 512;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  StartService(sock);
  setrlimit(RLIMIT_NOFILE, &mine);
  std::vector<std::string> got;
  ASSERT_TRUE(sock.ReadUntil("READY=1", &got));
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "x"));
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::Exists(info); }));

  const std::string text = testenv::ReadFile(info);
  EXPECT_NE(text.find("\nnofile=512 " + std::to_string(mine.rlim_max) + "\n"), std::string::npos)
      << text;
  // The service itself did raise its own.
  const std::string limits = testenv::ReadFile("/proc/" + std::to_string(child_.id) + "/limits");
  std::istringstream lines(limits);
  std::string line, soft, hard;
  while (std::getline(lines, line)) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(14));
    fields >> soft >> hard;
  }
  EXPECT_FALSE(soft.empty()) << limits;
  EXPECT_EQ(soft, hard) << limits;
  testenv::Terminate(child_);
  EXPECT_EQ(testenv::Wait(child_), 0);
}

}  // namespace
