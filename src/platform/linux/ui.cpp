// Linux backend of platform/ui.h: a message box on the terminal, outcome lines on standard
// error.
//
// The caption and the text go to standard output, one line each, and the box counts as
// dismissed on Enter, end of input (or no usable standard input), SIGINT or SIGTERM.
//
// The two signals are caught with a handler for the duration rather than taken with signalfd:
// signalfd only sees a signal that every thread blocks, and a box may be shown while threads
// run that were started with whatever mask their starter had, so a process-directed SIGINT may
// land on any of them. A handler runs in whichever thread receives the signal and only raises
// an eventfd, which the waiting thread polls beside standard input. The signal is thereby
// consumed; the earlier dispositions and mask come back afterwards.
//
// The foreground run holds the two signals from before it builds its tasks (HoldDismissSignals):
// a Ctrl+C while hundreds of tasks are being built then stays pending, and dismisses the box
// the moment it is up, so the tasks are stopped and the end is logged.
#include "platform/ui.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace plat {
namespace {

// The eventfd the handler raises. Made once and never closed: a handler still running in
// another thread while a box ends must not write into a descriptor that was reused. A
// lock-free atomic, since the handler may run on any thread.
std::atomic<int> g_dismissFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads it");

int DismissFd() {
  if (g_dismissFd.load(std::memory_order_acquire) < 0) {
    g_dismissFd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), std::memory_order_release);
  }
  int fd = g_dismissFd.load(std::memory_order_acquire);
  if (fd >= 0) {
    std::uint64_t stale;
    while (read(fd, &stale, sizeof stale) > 0) {
    }
  }
  return fd;
}

extern "C" void OnDismissSignal(int) {
  int saved = errno;
  std::uint64_t one = 1;
  ssize_t ignored = write(g_dismissFd.load(std::memory_order_acquire), &one, sizeof one);
  (void)ignored;
  errno = saved;
}

// Reads standard input until a line feed or its end. False when neither has arrived yet.
bool InputDismisses() {
  char buf[256];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 || errno != EAGAIN;
    if (std::memchr(buf, '\n', static_cast<std::size_t>(n)) != nullptr) return true;
    return false;  // poll again rather than block in read
  }
}

}  // namespace

void ShowMessage(const char* text, const char* caption) {
  static std::mutex oneBoxAtATime;
  std::lock_guard<std::mutex> lock(oneBoxAtATime);

  std::printf("%s\n%s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  std::fflush(stdout);

  int fd = DismissFd();
  struct sigaction onSignal {};
  onSignal.sa_handler = OnDismissSignal;
  sigemptyset(&onSignal.sa_mask);
  struct sigaction oldInt {
  }, oldTerm{};
  sigset_t both, oldMask;
  sigemptyset(&both);
  sigaddset(&both, SIGINT);
  sigaddset(&both, SIGTERM);
  if (fd >= 0) {
    sigaction(SIGINT, &onSignal, &oldInt);
    sigaction(SIGTERM, &onSignal, &oldTerm);
    // A signal already pending here, or sent later to a process whose threads all block it,
    // reaches this thread.
    pthread_sigmask(SIG_UNBLOCK, &both, &oldMask);
  }

  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {fd, POLLIN, 0}};
    int n = poll(fds, fd >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fd >= 0 && (fds[1].revents & POLLIN)) break;
    if (fds[0].revents & POLLNVAL) break;  // no standard input at all
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && InputDismisses()) break;
  }

  if (fd >= 0) {
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
  }
}

void HoldDismissSignals() {
  sigset_t both;
  sigemptyset(&both);
  sigaddset(&both, SIGINT);
  sigaddset(&both, SIGTERM);
  // Threads inherit the mask, so the watchers started from here on block them as well, and a
  // signal to the process waits until a box unblocks it.
  pthread_sigmask(SIG_BLOCK, &both, nullptr);
}

void ShowNotice(const char* text, const char* caption) {
  std::printf("%s\n%s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  std::fflush(stdout);
}

void ShowOutcome(const char* text) {
  if (text == nullptr) return;
  std::fputs(text, stderr);
  std::fflush(stderr);
}

}  // namespace plat
