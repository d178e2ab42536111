// Linux backend of the message box: the caption and the text on standard output, dismissed by
// Enter, the end of input, SIGINT or SIGTERM, which must not end the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/ui.h"
#include "support/testenv.h"

namespace {

// Shows a box on a thread of its own, with a pipe as standard input and a file as standard
// output for as long as it lives.
class BoxOnThread {
 public:
  explicit BoxOnThread(const std::string& outPath) {
    int fds[2];
    ok_ = pipe2(fds, O_CLOEXEC) == 0;
    if (!ok_) return;
    writeEnd_ = fds[1];
    savedIn_ = dup(STDIN_FILENO);
    savedOut_ = dup(STDOUT_FILENO);
    std::fflush(stdout);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(fds[0], STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    close(fds[0]);
    close(out);
    thread_ = std::thread([this] {
      plat::ShowMessage("Terminate ?", "zup service - debug mode");
      done_ = true;
    });
  }
  ~BoxOnThread() {
    CloseInput();  // never leave the box waiting
    if (thread_.joinable()) thread_.join();
    std::fflush(stdout);
    dup2(savedIn_, STDIN_FILENO);
    dup2(savedOut_, STDOUT_FILENO);
    close(savedIn_);
    close(savedOut_);
  }
  bool ok() const { return ok_; }
  bool done() const { return done_; }
  pthread_t handle() { return thread_.native_handle(); }
  void Type(const std::string& s) {
    ASSERT_EQ(write(writeEnd_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  void CloseInput() {
    if (writeEnd_ >= 0) close(writeEnd_);
    writeEnd_ = -1;
  }
  bool InputConsumed() {
    int pending = -1;
    return ioctl(STDIN_FILENO, FIONREAD, &pending) == 0 && pending == 0;
  }

 private:
  bool ok_ = false;
  int writeEnd_ = -1, savedIn_ = -1, savedOut_ = -1;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(PosixShowMessage, PrintsCaptionAndTextAndWaitsForAWholeLine) {
  std::string out = testenv::FreshDir() + "/out.txt";
  {
    BoxOnThread box(out);
    ASSERT_TRUE(box.ok());
    box.Type("partial");
    ASSERT_TRUE(testenv::WaitFor([&] { return box.InputConsumed(); }));
    EXPECT_FALSE(box.done()) << "input without Enter dismissed the box";
    box.Type(" line\n");
    EXPECT_TRUE(testenv::WaitFor([&] { return box.done(); }));
  }
  EXPECT_EQ(testenv::ReadFile(out), "zup service - debug mode\nTerminate ?\n");
}

TEST(PosixShowMessage, EndOfInputDismisses) {
  std::string out = testenv::FreshDir() + "/out.txt";
  BoxOnThread box(out);
  ASSERT_TRUE(box.ok());
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::ReadFile(out).size() > 0; }));
  EXPECT_FALSE(box.done());
  box.CloseInput();
  EXPECT_TRUE(testenv::WaitFor([&] { return box.done(); }));
}

bool SignalIsDefault(int sig) {
  struct sigaction now {};
  sigaction(sig, nullptr, &now);
  return now.sa_handler == SIG_DFL;
}

TEST(PosixShowMessage, SigTermToTheProcessDismissesWithoutEndingIt) {
  std::string out = testenv::FreshDir() + "/out.txt";
  ASSERT_TRUE(SignalIsDefault(SIGTERM));
  {
    BoxOnThread box(out);
    ASSERT_TRUE(box.ok());
    // The handler is in place once the box has printed and sits in its wait; a signal sent
    // earlier would end the test process, so keep sending only while the box is up.
    ASSERT_TRUE(testenv::WaitFor([&] { return !SignalIsDefault(SIGTERM); }));
    kill(getpid(), SIGTERM);
    EXPECT_TRUE(testenv::WaitFor([&] { return box.done(); }));
  }
  EXPECT_TRUE(SignalIsDefault(SIGTERM));
  EXPECT_TRUE(SignalIsDefault(SIGINT));
}

TEST(PosixShowMessage, SigIntReachesTheBoxEvenWhenItsThreadBlockedIt) {
  std::string out = testenv::FreshDir() + "/out.txt";
  sigset_t intOnly, old;
  sigemptyset(&intOnly);
  sigaddset(&intOnly, SIGINT);
  // The box's thread inherits this mask, as a service thread would.
  pthread_sigmask(SIG_BLOCK, &intOnly, &old);
  {
    BoxOnThread box(out);
    ASSERT_TRUE(box.ok());
    ASSERT_TRUE(testenv::WaitFor([&] { return !SignalIsDefault(SIGINT); }));
    pthread_kill(box.handle(), SIGINT);
    EXPECT_TRUE(testenv::WaitFor([&] { return box.done(); }));
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_TRUE(SignalIsDefault(SIGINT));
}

}  // namespace
