// Linux backend: the lock of the checks (checks_lock.h).
//
// A check holds it alone; starts share it, so several can be under way at once while no check
// has the file open. Checks first: a start waits while a check waits, so a stream of starts
// cannot keep the checks out. A start's share is given back by whoever is first able to: the
// child, which runs while the starting thread is still suspended in its vfork, or that thread,
// where the child's memory is its own. So the count of shares is a bare atomic word, given back
// with an atomic decrement and a futex wake, which are all a vfork child may do; a check waits
// on that word.
#include "platform/linux/checks_lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <mutex>

namespace plat::lnx {
namespace {

struct CheckLock {
  std::mutex mu;
  std::condition_variable cv;
  bool checking = false;  // guarded by mu
  int checksWaiting = 0;  // guarded by mu
  std::atomic<int> starts{0};
};
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "the futex word");

CheckLock& TheCheckLock() {
  // Never destroyed: a start or a check may still be under way while static destructors run.
  static CheckLock* lock = new CheckLock;
  return *lock;
}

long Futex(std::atomic<int>* word, int op, int value) {
  return syscall(SYS_futex, reinterpret_cast<int*>(word), op, value, nullptr, nullptr, 0);
}

thread_local bool holdsCheckLock = false;

}  // namespace

bool LockChecks() {
  if (holdsCheckLock) return false;
  CheckLock& lock = TheCheckLock();
  {
    std::unique_lock<std::mutex> guard(lock.mu);
    ++lock.checksWaiting;
    lock.cv.wait(guard, [&] { return !lock.checking; });
    --lock.checksWaiting;
    lock.checking = true;
  }
  // No start takes a share from here on; wait out those that have one.
  for (;;) {
    const int starts = lock.starts.load(std::memory_order_acquire);
    if (starts == 0) break;
    Futex(&lock.starts, FUTEX_WAIT_PRIVATE, starts);
  }
  holdsCheckLock = true;
  return true;
}

void UnlockChecks() {
  holdsCheckLock = false;
  CheckLock& lock = TheCheckLock();
  {
    std::lock_guard<std::mutex> guard(lock.mu);
    lock.checking = false;
  }
  lock.cv.notify_all();
}

bool LockForStart() {
  if (holdsCheckLock) return false;
  CheckLock& lock = TheCheckLock();
  std::unique_lock<std::mutex> guard(lock.mu);
  lock.cv.wait(guard, [&] { return !lock.checking && lock.checksWaiting == 0; });
  lock.starts.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void UnlockForStart() {
  CheckLock& lock = TheCheckLock();
  if (lock.starts.fetch_sub(1, std::memory_order_release) == 1) {
    Futex(&lock.starts, FUTEX_WAKE_PRIVATE, INT_MAX);
  }
}

}  // namespace plat::lnx
