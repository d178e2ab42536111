// Linux backend of platform/pause.h: the pause between attempts at a file, ended early by the
// stop and by a close of the file after the attempt's mark.
//
// An exclusive open can still fail for a moment after the writer's close has been reported (the
// close event is queued before the file is released), so a check that fails after a close, with
// nobody known to hold the file, is tried again after a short pause that grows, a few times per
// close, without counting the attempt.
#include "platform/pause.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "platform/linux/checks_lock.h"
#include "platform/linux/dir_watch.h"
#include "platform/linux/fdwait.h"
#include "platform/linux/notification.h"
#include "platform/sync.h"

namespace plat {
namespace lnx {
namespace {

// The quick retries' pauses (microseconds, doubling, about 50 ms in all): the release behind a
// close event takes microseconds on an idle machine, but many milliseconds when the writer is
// preempted in it, as it is while several watchers of its file and their programs take both
// processors.
constexpr int kQuickRetries = 10;
constexpr long kFirstQuickRetryUs = 50;

// How long to wait before trying a failed check again out of turn; 0 for the full pause. Only
// for a check by the exclusive open that failed after a close of the file while nobody is known
// to hold it: then the refusal is most likely that close still completing.
long QuickRetryDelayUs(Notification* n) {
  const std::uint32_t closes = n->closes.load(std::memory_order_acquire);
  if (closes == 0 || n->settling) return 0;
  if (closes != n->quickClose) {
    n->quickClose = closes;
    n->quickRetries = 0;
  }
  if (n->quickRetries >= kQuickRetries) return 0;
  int openers = 0;
  {
    // With the lock of the checks, no probe of ours (which the events count too) is open.
    const bool locked = LockChecks();
    n->dir->Drain();
    openers = n->dir->ActivityOf(n->name).openers;
    if (locked) UnlockChecks();
  }
  if (openers > 0) {
    n->quickRetries = kQuickRetries;  // a real holder: its close ends the pause
    return 0;
  }
  return kFirstQuickRetryUs << n->quickRetries++;
}

bool IsSignalled(int fd) {
  pollfd p = {fd, POLLIN, 0};
  return PollFor(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

}  // namespace
}  // namespace lnx

std::uint32_t CloseMark(Handle notification) {
  lnx::Notification* n = lnx::AsNotification(notification);
  if (n == nullptr) return 0;
  n->settling = false;  // a new attempt begins
  return n->closes.load(std::memory_order_acquire);
}

int PauseForFile(Handle notification, std::uint32_t mark, Handle stop, std::uint32_t ms) {
  lnx::Object* stopObject = lnx::AsObject(stop);
  const int stopFd = stopObject != nullptr ? stopObject->WaitFd() : -1;
  if (stopFd >= 0 && lnx::IsSignalled(stopFd)) return 1;

  auto* n = dynamic_cast<lnx::Notification*>(lnx::AsObject(notification));
  auto closedSinceMark = [&] {
    return n != nullptr && n->closes.load(std::memory_order_acquire) != mark;
  };
  if (closedSinceMark()) return 0;

  const long quickUs = n != nullptr ? lnx::QuickRetryDelayUs(n) : 0;
  if (quickUs > 0) {
    const timespec wait = {0, quickUs * 1000};
    if (stopFd < 0) {
      nanosleep(&wait, nullptr);
      return 2;
    }
    pollfd p = {stopFd, POLLIN, 0};
    const int r = ppoll(&p, 1, &wait, nullptr);
    return r > 0 && (p.revents & POLLIN) ? 1 : 2;
  }

  // A private signal for this pause, raised by the reader on each close of the file. It lives
  // only while the pause does, so idle notifications hold one descriptor each.
  int closeFd = n != nullptr ? lnx::NewSignalFd() : -1;
  if (closeFd >= 0) n->dir->AddPauser(n, closeFd);

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  int result = 0;
  // Checked again once registered: a close between the first look and now raised no one.
  while (!closedSinceMark()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd fds[2];
    nfds_t count = 0;
    if (stopFd >= 0) fds[count++] = {stopFd, POLLIN, 0};
    if (closeFd >= 0) fds[count++] = {closeFd, POLLIN, 0};
    const int r = count > 0 ? lnx::PollFor(fds, count, left) : -1;
    bool broken = r < 0;
    for (nfds_t i = 0; r > 0 && i < count; ++i) {
      if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) broken = true;
    }
    if (broken) {
      // Nothing to wait on, or a broken stop handle: the pause must still last.
      SleepMs(static_cast<std::uint32_t>(left));
      break;
    }
    if (r == 0) break;
    if (stopFd >= 0 && (fds[0].revents & POLLIN)) {
      result = 1;
      break;
    }
    if (closeFd >= 0) lnx::DrainSignalFd(closeFd);
  }

  if (closeFd >= 0) {
    n->dir->RemovePauser(n, closeFd);
    close(closeFd);
  }
  return result;
}

}  // namespace plat
