// Linux backend of platform/sync.h: events and thread ends are eventfds that are never read
// (manual reset), and every wait is one poll() over them.
#include "platform/sync.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <new>
#include <thread>

#include "platform/linux/fdwait.h"
#include "platform/linux/object.h"

namespace plat {
namespace lnx {

int NewSignalFd() { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void RaiseSignalFd(int fd) {
  const std::uint64_t one = 1;
  // EAGAIN would mean the counter is full, which leaves it readable just the same.
  while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void DrainSignalFd(int fd) {
  std::uint64_t count = 0;
  while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

int PollFor(pollfd* fds, nfds_t count, std::int64_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int slice = -1;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      slice = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
    }
    const int n = poll(fds, count, slice);
    if (n > 0) return n;
    if (n < 0 && errno != EINTR) return -1;
    // A time-out of a slice shorter than the whole wait, or a signal: go on with what is left.
    if (n == 0 && timeoutMs >= 0 && Clock::now() >= deadline) return 0;
  }
}

namespace {

class EventObject final : public Object {
 public:
  explicit EventObject(int fd) : fd_(fd) {}
  ~EventObject() override { close(fd_); }
  int WaitFd() const override { return fd_; }
  void Signal() { RaiseSignalFd(fd_); }

 private:
  int fd_;
};

// Shared by the handle and the running thread, so either may go first.
struct ThreadState {
  ThreadProc fn = nullptr;
  void* arg = nullptr;
  int fd = -1;
  std::uint32_t code = 0;
  std::atomic<bool> ended{false};
  std::atomic<int> refs{2};

  void Release() {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      close(fd);
      delete this;
    }
  }
};

class ThreadObject final : public Object {
 public:
  ThreadObject(pthread_t tid, ThreadState* state) : tid_(tid), state_(state) {}
  ~ThreadObject() override {
    // An ended thread is joined (it is past its procedure, so this returns at once); a running
    // one is let go, as closing a thread handle on Windows does not stop or wait for it.
    if (state_->ended.load(std::memory_order_acquire)) {
      pthread_join(tid_, nullptr);
    } else {
      pthread_detach(tid_);
    }
    state_->Release();
  }
  int WaitFd() const override { return state_->fd; }
  bool ExitCode(std::uint32_t* code) const {
    if (!state_->ended.load(std::memory_order_acquire)) return false;
    *code = state_->code;
    return true;
  }

 private:
  pthread_t tid_;
  ThreadState* state_;
};

void* ThreadMain(void* p) {
  auto* state = static_cast<ThreadState*>(p);
  state->code = state->fn(state->arg);
  state->ended.store(true, std::memory_order_release);
  RaiseSignalFd(state->fd);
  state->Release();
  return nullptr;
}

}  // namespace
}  // namespace lnx

Handle NewEvent() {
  const int fd = lnx::NewSignalFd();
  if (fd < 0) return nullptr;
  auto* event = new (std::nothrow) lnx::EventObject(fd);
  if (event == nullptr) {
    close(fd);
    errno = ENOMEM;
  }
  return event;
}

bool SignalEvent(Handle event) {
  auto* e = dynamic_cast<lnx::EventObject*>(lnx::AsObject(event));
  if (e == nullptr) {
    errno = EINVAL;
    return false;
  }
  e->Signal();
  return true;
}

int WaitAny(Handle a, Handle b, std::uint32_t timeoutMs) {
  lnx::Object* objects[2] = {lnx::AsObject(a), lnx::AsObject(b)};
  pollfd fds[2];
  for (int i = 0; i < 2; ++i) {
    if (objects[i] == nullptr || objects[i]->WaitFd() < 0) {
      errno = EINVAL;
      return kWaitFailed;
    }
    fds[i] = {objects[i]->WaitFd(), POLLIN, 0};
  }
  const int n =
      lnx::PollFor(fds, 2, timeoutMs == kInfinite ? -1 : static_cast<std::int64_t>(timeoutMs));
  if (n < 0) return kWaitFailed;
  if (n == 0) return kWaitTimeout;
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents & POLLIN) {
      objects[i]->OnWaitSatisfied();
      return i;
    }
  }
  errno = EBADF;
  return kWaitFailed;
}

int WaitOne(Handle h, std::uint32_t timeoutMs) {
  lnx::Object* object = lnx::AsObject(h);
  if (object == nullptr || object->WaitFd() < 0) {
    errno = EINVAL;
    return kWaitFailed;
  }
  pollfd fd = {object->WaitFd(), POLLIN, 0};
  const int n =
      lnx::PollFor(&fd, 1, timeoutMs == kInfinite ? -1 : static_cast<std::int64_t>(timeoutMs));
  if (n < 0) return kWaitFailed;
  if (n == 0) return kWaitTimeout;
  if (!(fd.revents & POLLIN)) {
    errno = EBADF;
    return kWaitFailed;
  }
  object->OnWaitSatisfied();
  return 0;
}

void SleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

Handle StartThread(ThreadProc fn, void* arg) {
  if (fn == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  auto* state = new (std::nothrow) lnx::ThreadState;
  if (state == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  state->fn = fn;
  state->arg = arg;
  state->fd = lnx::NewSignalFd();
  // Allocated before the thread starts, so a failure leaves no thread without a handle.
  auto* object =
      static_cast<lnx::ThreadObject*>(::operator new(sizeof(lnx::ThreadObject), std::nothrow));
  if (state->fd < 0 || object == nullptr) {
    const int err = state->fd < 0 ? errno : ENOMEM;
    if (state->fd >= 0) close(state->fd);
    ::operator delete(object);
    delete state;
    errno = err;
    return nullptr;
  }
  pthread_t tid;
  const int err = pthread_create(&tid, nullptr, lnx::ThreadMain, state);
  if (err != 0) {
    close(state->fd);
    ::operator delete(object);
    delete state;
    errno = err;
    return nullptr;
  }
  return new (object) lnx::ThreadObject(tid, state);
}

bool ThreadExitCode(Handle thread, std::uint32_t* code) {
  auto* t = dynamic_cast<lnx::ThreadObject*>(lnx::AsObject(thread));
  if (t == nullptr || code == nullptr) {
    errno = EINVAL;
    return false;
  }
  return t->ExitCode(code);
}

}  // namespace plat
