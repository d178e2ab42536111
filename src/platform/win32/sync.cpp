// Win32 backend of platform/sync.h: manual-reset events, waits, sleeps and C run-time threads.
#include "platform/sync.h"

#include <process.h>
#include <windows.h>

#include <new>

namespace plat {
namespace {

int WaitResult(DWORD r, DWORD count) {
  if (r < WAIT_OBJECT_0 + count) return static_cast<int>(r - WAIT_OBJECT_0);
  if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + count) {
    return static_cast<int>(r - WAIT_ABANDONED_0);
  }
  if (r == WAIT_TIMEOUT) return kWaitTimeout;
  return kWaitFailed;
}

struct ThreadStart {
  ThreadProc fn;
  void* arg;
};

unsigned __stdcall ThreadTrampoline(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  return start.fn(start.arg);
}

}  // namespace

Handle NewEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

bool SignalEvent(Handle event) {
  if (event == nullptr || event == kNoHandle) return false;
  return SetEvent(event) != 0;
}

int WaitAny(Handle a, Handle b, std::uint32_t timeoutMs) {
  const HANDLE objects[2] = {a, b};
  return WaitResult(WaitForMultipleObjects(2, objects, FALSE, timeoutMs), 2);
}

int WaitOne(Handle h, std::uint32_t timeoutMs) {
  return WaitResult(WaitForSingleObject(h, timeoutMs), 1);
}

void SleepMs(std::uint32_t ms) { Sleep(ms); }

Handle StartThread(ThreadProc fn, void* arg) {
  if (fn == nullptr) return nullptr;
  auto* start = new (std::nothrow) ThreadStart{fn, arg};
  if (start == nullptr) return nullptr;
  // Through the C run-time, so the thread's run-time state is set up and freed with it.
  unsigned id = 0;
  const std::uintptr_t h = _beginthreadex(nullptr, 0, ThreadTrampoline, start, 0, &id);
  if (h == 0) {
    delete start;
    return nullptr;
  }
  return reinterpret_cast<Handle>(h);
}

bool ThreadExitCode(Handle thread, std::uint32_t* code) {
  if (thread == nullptr || thread == kNoHandle || code == nullptr) return false;
  // Asking whether it ended first: a thread may well return 259, which is STILL_ACTIVE.
  if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) return false;
  DWORD exitCode = 0;
  if (!GetExitCodeThread(thread, &exitCode)) return false;
  *code = exitCode;
  return true;
}

}  // namespace plat
