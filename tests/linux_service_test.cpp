// Linux backend of the service manager: status reports as systemd notify datagrams, on a path
// and on an abstract socket, and the dispatcher with SIGTERM as the stop control, played
// in-process by the test.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/handle.h"
#include "platform/service.h"
#include "support/posix_socket.h"
#include "support/testenv.h"

namespace {

// The service manager's end of $NOTIFY_SOCKET.
class NotifyListener {
 public:
  // address: a path, or "@name" for an abstract socket.
  explicit NotifyListener(const std::string& address) : address_(address) {
    fd_ = testenv::BindDatagram(address);
    bound_ = fd_ >= 0;
  }
  ~NotifyListener() {
    if (fd_ >= 0) close(fd_);
    if (address_[0] != '@') unlink(address_.c_str());
  }
  bool bound() const { return bound_; }

  // The next datagram, "" when none arrives within the deadline.
  std::string Next(int timeoutMs = 10000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return "";
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
  }

 private:
  std::string address_;
  int fd_ = -1;
  bool bound_ = false;
};

// $NOTIFY_SOCKET for the length of a test.
class NotifyEnv {
 public:
  explicit NotifyEnv(const char* value) {
    if (value != nullptr)
      setenv("NOTIFY_SOCKET", value, 1);
    else
      unsetenv("NOTIFY_SOCKET");
  }
  ~NotifyEnv() { unsetenv("NOTIFY_SOCKET"); }
};

plat::ServiceStatus Status(std::uint32_t state, std::uint32_t checkPoint, std::uint32_t waitHint) {
  std::uint32_t accepts = state == 2 ? 0 : 5;
  return plat::ServiceStatus{0x10, state, accepts, 0, 0, checkPoint, waitHint};
}

// A socket path short enough for sun_path wherever the build folder lies.
std::string SocketPath() {
  static int serial = 0;
  return "/tmp/kelm-notify-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
}

const std::string kPid = "MAINPID=" + std::to_string(getpid()) + "\n";

void NoControl(std::uint32_t) {}

TEST(PosixServiceStatus, ReportsBecomeNotifyMessagesOnAPathSocket) {
  std::string path = SocketPath();
  NotifyListener manager(path);
  ASSERT_TRUE(manager.bound());
  NotifyEnv env(path.c_str());
  plat::Handle h = plat::RegisterServiceControl("KelmService", NoControl);
  ASSERT_NE(h, nullptr);
  ASSERT_NE(h, plat::kNoHandle);

  EXPECT_TRUE(plat::SendServiceStatus(h, Status(2, 1, 3000)));
  EXPECT_EQ(manager.Next(),
            "STATUS=Starting (check point 1)\nEXTEND_TIMEOUT_USEC=3000000\n" + kPid);
  EXPECT_TRUE(plat::SendServiceStatus(h, Status(2, 2, 5000)));
  EXPECT_EQ(manager.Next(),
            "STATUS=Starting (check point 2)\nEXTEND_TIMEOUT_USEC=5000000\n" + kPid);
  EXPECT_TRUE(plat::SendServiceStatus(h, Status(4, 0, 0)));
  EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=Running\n" + kPid);
  EXPECT_TRUE(plat::SendServiceStatus(h, Status(3, 3, 0)));
  EXPECT_EQ(manager.Next(), "STOPPING=1\nSTATUS=Stopping (check point 3)\n" + kPid);
  EXPECT_TRUE(plat::SendServiceStatus(h, Status(3, 4, 4294967)));
  EXPECT_EQ(manager.Next(),
            "STOPPING=1\nSTATUS=Stopping (check point 4)\nEXTEND_TIMEOUT_USEC=4294967000\n" + kPid);
  EXPECT_TRUE(plat::SendServiceStatus(h, Status(1, 0, 0)));
  EXPECT_EQ(manager.Next(), "STATUS=Stopped\n" + kPid);
  // A start-pending report without a wait hint must not shrink systemd's time-out to nothing.
  EXPECT_TRUE(plat::SendServiceStatus(h, Status(2, 5, 0)));
  EXPECT_EQ(manager.Next(), "STATUS=Starting (check point 5)\n" + kPid);
  plat::CloseObject(h);
}

TEST(PosixServiceStatus, AbstractAddressIsTheNameAlone) {
  // Bound with the exact length: a sender that counted the whole sun_path would name another
  // socket and be refused.
  std::string address = "@kelm-test-notify-" + std::to_string(getpid());
  NotifyListener manager(address);
  ASSERT_TRUE(manager.bound());
  NotifyEnv env(address.c_str());
  plat::Handle h = plat::RegisterServiceControl("KelmService", NoControl);
  EXPECT_TRUE(plat::SendServiceStatus(h, Status(4, 0, 0)));
  EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=Running\n" + kPid);
  plat::CloseObject(h);
}

TEST(PosixServiceStatus, RefusedWhenNoManagerListens) {
  std::string dir = testenv::FreshDir();
  plat::Handle h = plat::RegisterServiceControl("KelmService", NoControl);
  {
    NotifyEnv env((dir + "/nobody").c_str());
    EXPECT_FALSE(plat::SendServiceStatus(h, Status(4, 0, 0)));
    EXPECT_NE(plat::LastError(), 0u);
  }
  {
    NotifyEnv env(nullptr);
    EXPECT_FALSE(plat::SendServiceStatus(h, Status(4, 0, 0)));
  }
  {
    NotifyEnv env("relative/path");
    EXPECT_FALSE(plat::SendServiceStatus(h, Status(4, 0, 0)));
  }
  EXPECT_FALSE(plat::SendServiceStatus(nullptr, Status(4, 0, 0)));
  plat::CloseObject(h);
}

std::atomic<int> g_mainCalls{0};
void CountingMain(unsigned, char**) { ++g_mainCalls; }

TEST(PosixServiceDispatcher, FailsAtOnceWithoutAServiceManager) {
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    NotifyEnv env(value);
    g_mainCalls = 0;
    plat::SetLastErrorCode(0);
    EXPECT_FALSE(plat::RunServiceDispatcher("KelmService", CountingMain));
    EXPECT_EQ(plat::LastError(), static_cast<std::uint32_t>(ENOTCONN));
    EXPECT_EQ(g_mainCalls.load(), 0);
  }
}

// --- A whole run under a manager played by the test -------------------------------------------

struct ServiceRun {
  pthread_t entry{};
  pid_t entryTid = 0;
  plat::Handle status = nullptr;
  std::atomic<bool> stopRequested{false};
  std::atomic<int> handlerCalls{0};
  std::atomic<bool> handlerOnEntryThread{false};
  std::atomic<std::uint32_t> lastSent{0};
  std::atomic<std::uint32_t> stateAtHandler{0};
  std::atomic<bool> handlerBeforeRunning{false};
  unsigned argc = 0;
  std::string argv0;
  bool mainOnOtherThread = false;
  bool reportRunning = true;
};
ServiceRun* g_run = nullptr;

void Send(std::uint32_t state, std::uint32_t cp, std::uint32_t hint) {
  g_run->lastSent = state;
  plat::SendServiceStatus(g_run->status, Status(state, cp, hint));
}

// True when SIGTERM is no longer pending for the entry thread: the dispatcher has taken it.
bool SigTermTaken() {
  std::ifstream f("/proc/self/task/" + std::to_string(g_run->entryTid) + "/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("SigPnd:", 0) == 0) {
      unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask & (1ull << (SIGTERM - 1))) == 0;
    }
  }
  return false;
}

void TestHandler(std::uint32_t control) {
  ++g_run->handlerCalls;
  g_run->handlerOnEntryThread = pthread_equal(pthread_self(), g_run->entry) != 0;
  g_run->stateAtHandler = g_run->lastSent.load();
  if (control == 1) {
    Send(3, 3, 0);
    g_run->stopRequested = true;
    // Another stop while stop-pending: the manager would not deliver it.
    pthread_kill(g_run->entry, SIGTERM);
  }
}

void TestMain(unsigned argc, char** argv) {
  g_run->argc = argc;
  g_run->argv0 = argv[0];
  g_run->mainOnOtherThread = pthread_equal(pthread_self(), g_run->entry) == 0;
  g_run->status = plat::RegisterServiceControl(argv[0], TestHandler);
  Send(2, 1, 3000);
  // A stop while start-pending is held until running is reported.
  pthread_kill(g_run->entry, SIGTERM);
  testenv::WaitFor(SigTermTaken);
  g_run->handlerBeforeRunning = g_run->handlerCalls.load() != 0;
  Send(2, 2, 5000);
  if (g_run->reportRunning) {
    Send(4, 0, 0);
    testenv::WaitFor([] { return g_run->stopRequested.load(); });
  }
  Send(1, 0, 0);
  plat::CloseObject(g_run->status);
}

class PosixServiceDispatcherRun : public ::testing::Test {
 protected:
  void SetUp() override {
    run_.entry = pthread_self();
    run_.entryTid = gettid();
    g_run = &run_;
  }
  void TearDown() override { g_run = nullptr; }
  ServiceRun run_;
};

TEST_F(PosixServiceDispatcherRun, SigTermStopsTheRunningService) {
  std::string path = SocketPath();
  NotifyListener manager(path);
  ASSERT_TRUE(manager.bound());
  NotifyEnv env(path.c_str());
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);

  ASSERT_TRUE(plat::RunServiceDispatcher("KelmService", TestMain));

  EXPECT_EQ(run_.argc, 1u);
  EXPECT_EQ(run_.argv0, "KelmService");
  EXPECT_TRUE(run_.mainOnOtherThread);
  EXPECT_FALSE(run_.handlerBeforeRunning);
  EXPECT_EQ(run_.handlerCalls.load(), 1);
  EXPECT_TRUE(run_.handlerOnEntryThread);
  EXPECT_EQ(run_.stateAtHandler.load(), 4u);
  EXPECT_EQ(manager.Next(),
            "STATUS=Starting (check point 1)\nEXTEND_TIMEOUT_USEC=3000000\n" + kPid);
  EXPECT_EQ(manager.Next(),
            "STATUS=Starting (check point 2)\nEXTEND_TIMEOUT_USEC=5000000\n" + kPid);
  EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=Running\n" + kPid);
  EXPECT_EQ(manager.Next(), "STOPPING=1\nSTATUS=Stopping (check point 3)\n" + kPid);
  EXPECT_EQ(manager.Next(), "STATUS=Stopped\n" + kPid);
  // The manager's address is not handed on to the programs the service starts.
  EXPECT_EQ(std::getenv("NOTIFY_SOCKET"), nullptr);
  // The entry thread's mask is back, with no stop signal left to end the process.
  sigset_t after;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  EXPECT_EQ(sigismember(&after, SIGTERM), sigismember(&before, SIGTERM));
  EXPECT_TRUE(SigTermTaken());
}

TEST_F(PosixServiceDispatcherRun, StopDuringAStartThatNeverRunsIsDropped) {
  std::string path = SocketPath();
  NotifyListener manager(path);
  ASSERT_TRUE(manager.bound());
  NotifyEnv env(path.c_str());
  run_.reportRunning = false;

  ASSERT_TRUE(plat::RunServiceDispatcher("KelmService", TestMain));

  EXPECT_EQ(run_.handlerCalls.load(), 0);
  EXPECT_EQ(manager.Next(),
            "STATUS=Starting (check point 1)\nEXTEND_TIMEOUT_USEC=3000000\n" + kPid);
  EXPECT_EQ(manager.Next(),
            "STATUS=Starting (check point 2)\nEXTEND_TIMEOUT_USEC=5000000\n" + kPid);
  EXPECT_EQ(manager.Next(), "STATUS=Stopped\n" + kPid);
}

}  // namespace
