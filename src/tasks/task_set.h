// The task set: every section of task.ini becomes a task; all start and stop together.
#pragma once

#include <vector>

#include "platform/handle.h"
#include "tasks/watch_task.h"

namespace kelm {

// Every task, in the order of the sections of task.ini; owns the records it points to.
extern std::vector<WatchTask*> TaskList;

// Set by StopTasks to wake the service thread; null unless the service has created it.
extern plat::Handle ServiceStopEvent;

// The service creates and closes ServiceStopEvent through these, so that a StopTasks running
// on another thread never sets an event that has been closed.
void OpenServiceStopEvent();   // creates it (null on failure)
void CloseServiceStopEvent();  // closes it and leaves null

// Builds every task and starts the watchers: 1, or 0 when the start was abandoned (after
// having run StopTasks).
int StartTasks();

// The code for "task.ini names no task", beside the task codes of watch_task.h.
constexpr int ErrorNoTask = 2004;

// Why the last StartTasks abandoned the start: the failing task's code (ErrorIniMissing,
// ErrorKeyMissing, ErrorCheckDirInvalid, ErrorWatchFailed) or ErrorNoTask; 0 after a start
// that was not abandoned.
int StartAbandonCode();

// Stops and frees every task, logs the end, writes the stop record, wakes the service.
// Safe to call more than once and with an empty list. Watchers that have not ended after
// kStopWaitMs (their folder does not answer: a network server gone, a file system daemon
// stopped) are named in the log and left as they are, to end with the process.
void StopTasks();
constexpr std::uint32_t kStopWaitMs = 4000;

// Called about twice a second while StopTasks waits for the watchers (null: nothing is): the
// service reports its stop as still pending with it.
using StopProgress = void (*)();
void SetStopProgress(StopProgress progress);

// The size of the buffer the section names of task.ini are read into.
constexpr std::size_t kSectionNamesSize = 2049;

}  // namespace kelm
