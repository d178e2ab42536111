// Events, threads and waits.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace plat {

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// Results of the waits other than the index of the signalled object.
constexpr int kWaitTimeout = -2;
constexpr int kWaitFailed = -1;

// A manual-reset event, initially not set, unnamed. Null on failure.
Handle NewEvent();
// Sets the event; it stays set (manual reset). False on failure.
bool SignalEvent(Handle event);

// Waits until one of the objects is signalled or the time-out (ms, kInfinite for none) passes.
// Returns the index of the signalled object, the lowest when several are; kWaitTimeout; or
// kWaitFailed. Objects: events, threads (signalled once ended), change notifications.
// Waiting on a change notification that is signalled consumes what it reported (see notify.h).
int WaitAny(Handle a, Handle b, std::uint32_t timeoutMs);
int WaitOne(Handle h, std::uint32_t timeoutMs);

void SleepMs(std::uint32_t ms);

// Starts a thread running fn(arg) at once, with the default stack size. Returns its handle
// (signalled when the thread ends), or null when the thread cannot be created.
using ThreadProc = unsigned (*)(void* arg);
Handle StartThread(ThreadProc fn, void* arg);
// The exit code (fn's result) of an ended thread; false while it runs or on failure.
bool ThreadExitCode(Handle thread, std::uint32_t* code);

}  // namespace plat
