// The watch task: its settings and its watcher thread.
#include "tasks/watch_task.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "diag/error_text.h"
#include "diag/log.h"
#include "diag/messages.h"
#include "platform/fs.h"
#include "platform/module.h"
#include "platform/notify.h"
#include "platform/profile.h"
#include "platform/shell.h"
#include "platform/sync.h"

namespace kelm {

namespace {

constexpr int kAttempts = 10;
constexpr std::uint32_t kRetryPauseMs = 100;
constexpr std::uint32_t kStopPauseMs = 200;
// A wait that keeps failing is retried after a pause that grows to this, so it never spins.
constexpr std::uint32_t kMaxFailurePauseMs = 1000;
// A folder that cannot be watched (gone, or never there) is tried again after a pause that
// starts here and doubles up to the most, so it is back soon after a short absence and costs
// next to nothing during a long one.
constexpr std::uint32_t kFirstRearmPauseMs = 100;
constexpr std::uint32_t kMaxRearmPauseMs = 3000;

bool IsHandle(plat::Handle h) { return h != plat::kNoHandle && h != nullptr; }

}  // namespace

int WatchTask::ReadCheckDir(const char* iniPath, const char* section) {
  if (!plat::PathAttributesReadable(iniPath)) return ErrorIniMissing;
  plat::ProfileString(iniPath, section, msg::kCheckDirKey, checkDir, sizeof checkDir);
  if (checkDir[0] == '\0') return ErrorCheckDirInvalid;
  if (!plat::PathAttributesReadable(checkDir)) return ErrorCheckDirInvalid;
  return 0;
}

int WatchTask::ReadTaskSettings(const char* taskIniPath, const char* taskName) {
  if (!plat::PathAttributesReadable(taskIniPath)) return ErrorIniMissing;

  char name[kTextField];
  plat::ProfileString(taskIniPath, taskName, msg::kCheckFileKey, name, sizeof name);
  if (name[0] == '\0') return ErrorKeyMissing;
  // A joined path that does not fit its field is refused rather than cut: a cut path would
  // watch a different file.
  int n =
      std::snprintf(checkFile, sizeof checkFile, "%s%c%s", checkDir, plat::kPathSeparator, name);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof checkFile) {
    checkFile[0] = '\0';
    return ErrorKeyMissing;
  }

  plat::ProfileString(taskIniPath, taskName, msg::kTaskKey, program, sizeof program);
  if (program[0] == '\0') return ErrorKeyMissing;

  lastWriteLow = lastWriteHigh = 0;
  plat::Handle file = plat::OpenExclusive(checkFile);
  if (file != plat::kNoHandle) {
    if (!plat::FileWriteTime(file, &lastWriteLow, &lastWriteHigh)) lastWriteLow = lastWriteHigh = 0;
    plat::CloseObject(file);
  }

  plat::ProfileString(taskIniPath, taskName, msg::kParaKey, params, sizeof params);
  return 0;
}

int WatchTask::StartWatch() {
  // The stop event and the notification exist before the thread does: a stop requested at any
  // moment of the watcher's life reaches it, and a file written as soon as the start has been
  // logged is seen. A notification that cannot be armed is reported by the thread, as if it
  // had tried itself.
  stopEvent = plat::NewEvent();
  if (stopEvent == nullptr) {
    thread = nullptr;
    return ErrorWatchFailed;
  }
  notification = plat::ArmNotification(checkDir, CheckFileName());
  if (notification == nullptr) notification = plat::kNoHandle;
  thread = plat::StartThread(&WatchThreadProc, this);
  return thread == nullptr ? ErrorWatchFailed : 0;
}

bool WatchTask::SignalStop() {
  if (!IsHandle(stopEvent)) return false;
  plat::SignalEvent(stopEvent);
  return true;
}

void WatchTask::FinishStop() {
  if (thread != plat::kNoHandle) {
    if (thread != nullptr) {
      plat::WaitOne(thread, plat::kInfinite);
      plat::CloseObject(thread);
    }
  }
  if (IsHandle(notification)) plat::CloseObject(notification);
  if (IsHandle(stopEvent)) plat::CloseObject(stopEvent);
  thread = stopEvent = notification = plat::kNoHandle;
}

void WatchTask::StopWatch() {
  if (SignalStop()) plat::SleepMs(kStopPauseMs);
  FinishStop();
}

const char* WatchTask::CheckFileName() const {
  const std::size_t dirLength = std::strlen(checkDir);
  if (std::strncmp(checkFile, checkDir, dirLength) == 0 &&
      checkFile[dirLength] == plat::kPathSeparator) {
    return checkFile + dirLength + 1;
  }
  const char* last = std::strrchr(checkFile, plat::kPathSeparator);
  return last ? last + 1 : checkFile;
}

bool WatchTask::StopRequested() { return plat::WaitOne(stopEvent, 0) == 0; }

bool WatchTask::PauseUnlessStopped(std::uint32_t ms) {
  const int r = plat::WaitOne(stopEvent, ms);
  if (r == 0) return true;
  // A stop event that cannot be waited on must still not turn the pause into a spin.
  if (r != plat::kWaitTimeout) plat::SleepMs(ms);
  return false;
}

bool WatchTask::CheckFile() {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // A file rewritten without pause keeps every attempt busy opening and starting; the stop
    // must get through between them, not only in the pause after a failed open.
    if (StopRequested()) return false;
    std::uint32_t mark = plat::CloseMark(notification);
    bool undecided = false;
    plat::Handle file = plat::OpenExclusive(checkFile, &undecided);
    if (undecided) {
      // The platform cannot tell whether the writer still holds the file: that must never
      // pass for its having let go, so wait until it has settled instead, and say so once.
      if (!weakerCheckLogged) {
        WriteLog(msg::kWeakerCheck, checkFile, GetLastErrorText());
        weakerCheckLogged = true;
      }
      file = plat::OpenSettled(notification, checkFile);
    }
    bool timeRead = false;
    std::uint32_t low = 0, high = 0;
    if (file != plat::kNoHandle) {
      timeRead = plat::FileWriteTime(file, &low, &high);
      plat::CloseObject(file);
    }
    if (!timeRead) {
      // Still held by its writer, not there, or its time unreadable: never start on a time
      // that was not read. The pause ends early on a stop and, where the platform can tell,
      // when the writer closes the file.
      const int paused = plat::PauseForFile(notification, mark, stopEvent, kRetryPauseMs);
      if (paused == 1) return false;
      if (paused == 2) --attempt;  // failed only while the writer's close completed: not counted
      continue;
    }
    if (low == lastWriteLow && high == lastWriteHigh) break;
    lastWriteLow = low;
    lastWriteHigh = high;
    // The write counts as seen either way: a program that cannot start is reported once per
    // write, not retried.
    if (plat::ShellOpen(program, params)) {
      WriteLog(msg::kStartedProgram, checkFile, params);
    } else {
      char reason[kTextField];
      WriteLog(msg::kProgramNotStarted, checkFile, params,
               LastErrorTextInto(reason, sizeof reason));
    }
  }
  return true;
}

bool WatchTask::Reattach() {
  if (IsHandle(notification)) plat::CloseObject(notification);
  notification = plat::kNoHandle;
  // Nothing wakes this thread while it waits here but the stop and its own pause.
  std::uint32_t pause = kFirstRearmPauseMs;
  for (;;) {
    if (PauseUnlessStopped(pause)) return false;
    plat::Handle armed = plat::ArmNotification(checkDir, CheckFileName());
    if (IsHandle(armed)) {
      notification = armed;
      break;
    }
    pause = std::min(pause * 2, kMaxRearmPauseMs);
  }
  WriteLog(msg::kWatchResumed);
  // Whatever was written while nobody watched has no change left to report it: look now.
  return CheckFile();
}

void WatchTask::WatchLoop() {
  if (!IsHandle(notification)) {
    // Not armed at start: the folder may yet appear.
    WriteLog(msg::kWatchFailed);
    if (!Reattach()) return;
  }
  std::uint32_t failurePause = 0;
  for (;;) {
    int which = plat::WaitAny(notification, stopEvent, plat::kInfinite);
    if (which == 1) return;
    if (which == 0) {
      failurePause = 0;
      if (!CheckFile()) return;
    } else {
      // A failed wait: try again, but after a pause that grows, ended early by a stop.
      failurePause = failurePause == 0 ? 10 : std::min(failurePause * 2, kMaxFailurePauseMs);
      if (PauseUnlessStopped(failurePause)) return;
    }
    if (!plat::RearmNotification(notification)) {
      // The folder can no longer be watched (removed or unmounted, for instance): say so once,
      // then arm anew by its path until it is back.
      WriteLog(msg::kWatchFailed);
      if (!Reattach()) return;
    }
  }
}

unsigned WatchThreadProc(void* arg) {
  auto* task = static_cast<WatchTask*>(arg);
  task->WatchLoop();
  // Stopped while its folder could not be watched.
  return IsHandle(task->notification) ? 0 : ErrorWatchFailed;
}

}  // namespace kelm
