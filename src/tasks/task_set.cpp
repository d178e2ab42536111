// The task set.
#include "tasks/task_set.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "diag/error_text.h"
#include "diag/event_log.h"
#include "diag/log.h"
#include "platform/errors.h"
#include "platform/lock.h"
#include "platform/module.h"
#include "platform/profile.h"
#include "platform/sync.h"
#include "tasks/state_keeper.h"
#include "text/messages.h"

namespace kelm {

std::vector<WatchTask*> TaskList;
plat::Handle ServiceStopEvent = nullptr;

namespace {

constexpr std::uint32_t kStopPauseMs = 200;

int gAbandonCode = 0;

// Never destroyed: watchers may outlive the entry when the service ends without stopping them.
plat::Lock& StopEventLock() {
  static plat::Lock* lock = new plat::Lock;
  return *lock;
}

bool SettingsPath(char* out, const char* name) {
  // Without the executable's folder there are no settings: never read them from the root.
  if (GetModuleDir()[0] == '\0') return false;
  int n = std::snprintf(out, kTextField, "%s%c%s", GetModuleDir(), plat::kPathSeparator, name);
  return n > 0 && static_cast<std::size_t>(n) < kTextField;
}

constexpr std::uint32_t kStopSliceMs = 500;
StopProgress gStopProgress = nullptr;

// What a stop left behind, held up in a folder that did not answer; never freed.
struct LeftBehind {
  std::vector<WatchTask*> tasks;
  std::vector<StateKeeper*> keepers;
};
LeftBehind& HeldUp() {
  static LeftBehind* left = new LeftBehind;
  return *left;
}

// The stamps the tasks' programs were started for, kept across a stop; null while no task runs.
StateKeeper* gKeeper = nullptr;
char gStatePath[kTextField];

void StateNotWritten(std::uint32_t error) {
  char reason[kTextField];
  plat::SetLastErrorCode(error);
  WriteLog(msg::kStateNotWritten, gStatePath, LastErrorTextInto(reason, sizeof reason));
}

// Opens the state file beside the executable. Missing: a fresh installation, said nowhere.
// Unreadable or damaged: said once; the tasks then start from the files as they are, and the
// first stamp remembered replaces it. Without the executable's folder nothing is kept.
StateKeeper* OpenKeeper() {
  if (!SettingsPath(gStatePath, msg::kStateFile)) return nullptr;
  auto* keeper = new (std::nothrow) StateKeeper(&StateNotWritten);
  if (keeper == nullptr) return nullptr;
  std::string reason;
  if (keeper->Load(gStatePath, &reason) == StateKeeper::Loaded::Refused) {
    WriteLog(msg::kStateUnusable, gStatePath, (reason + "\n").c_str());
  }
  return keeper;
}

// The reason line is a resource text used as the format itself: each task code that leads to
// it has one, and none holds a conversion.
constexpr bool IsReasonFor(std::uint32_t code) {
  for (const msg::TextById& entry : msg::kStringResources) {
    if (entry.id != code) continue;
    for (const char* p = entry.text; *p != '\0'; ++p) {
      if (*p == '%') return false;
    }
    return true;
  }
  return false;
}
static_assert(IsReasonFor(ErrorIniMissing) && IsReasonFor(ErrorKeyMissing));

// The abandon branch for a task whose settings are wrong.
int AbandonForTask(const char* section, int code) {
  gAbandonCode = code;
  WriteEvent(EventTaskConfigFailed);
  WriteLog(msg::kThreadCreateFailed, section);
  // The resource text is the program's own and serves as the format itself.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  WriteLog(LoadResString(static_cast<unsigned>(code)));
#pragma GCC diagnostic pop
  StopTasks();
  return 0;
}

}  // namespace

void OpenServiceStopEvent() {
  plat::LockGuard guard(StopEventLock());
  ServiceStopEvent = plat::NewEvent();
}

void CloseServiceStopEvent() {
  plat::LockGuard guard(StopEventLock());
  if (ServiceStopEvent != nullptr) plat::CloseObject(ServiceStopEvent);
  ServiceStopEvent = nullptr;
}

int StartAbandonCode() { return gAbandonCode; }

int StartTasks() {
  gAbandonCode = 0;
  char serviceIni[kTextField];
  char taskIni[kTextField];
  // A folder too long for the paths reads as missing settings files.
  if (!SettingsPath(serviceIni, msg::kServiceIni)) serviceIni[0] = '\0';
  if (!SettingsPath(taskIni, msg::kTaskIni)) taskIni[0] = '\0';

  static char names[kSectionNamesSize];
  std::memset(names, 0, sizeof names);
  if (taskIni[0] != '\0') plat::ProfileSectionNames(taskIni, names, sizeof names);
  names[sizeof names - 1] = '\0';  // whatever the platform wrote, never read past the buffer

  const char* end = names + sizeof names;
  for (const char* section = names; section < end && *section != '\0';
       section += std::strlen(section) + 1) {
    WatchTask* task = new (std::nothrow) WatchTask;
    if (task == nullptr) return AbandonForTask(section, ErrorWatchFailed);

    int code = task->ReadCheckDir(serviceIni, msg::kCheckDirSection);
    if (code != 0) {
      delete task;
      gAbandonCode = code;
      WriteEvent(EventTaskConfigFailed);
      WriteLog(msg::kSettingsFileBad);
      StopTasks();
      return 0;
    }
    code = task->ReadTaskSettings(taskIni, section);
    if (code != 0) {
      delete task;
      return AbandonForTask(section, code);
    }
    try {
      task->taskSection = section;
    } catch (const std::bad_alloc&) {
      delete task;
      return AbandonForTask(section, ErrorWatchFailed);
    }
    WriteLog(msg::kThreadCreated, section);
    try {
      TaskList.push_back(task);
    } catch (const std::bad_alloc&) {
      delete task;
      return AbandonForTask(section, ErrorWatchFailed);
    }
  }

  if (TaskList.empty()) {
    gAbandonCode = ErrorNoTask;
    WriteLog(msg::kNoTask);
    StopTasks();
    return 0;
  }

  gKeeper = OpenKeeper();
  for (WatchTask* task : TaskList) task->Resume(gKeeper);
  for (WatchTask* task : TaskList) {
    if (task->StartWatch() != 0) WriteLog(msg::kStartFailed);
  }
  WriteLog(msg::kServiceStarted);
  return 1;
}

void SetStopProgress(StopProgress progress) { gStopProgress = progress; }

namespace {

// Frees what an earlier stop left behind once its watchers have ended after all (their folder
// answered again).
void ReapLeftBehind() {
  auto& tasks = HeldUp().tasks;
  for (auto it = tasks.begin(); it != tasks.end();) {
    if (!(*it)->AwaitEnd(0)) {
      ++it;
      continue;
    }
    (*it)->FinishStop();
    delete *it;
    it = tasks.erase(it);
  }
  if (!tasks.empty()) return;
  for (StateKeeper* keeper : HeldUp().keepers) delete keeper;
  HeldUp().keepers.clear();
}

}  // namespace

void StopTasks() {
  // Tell every watcher first and pause once, then join and free them in list order: one pause
  // in all rather than one per task, so that many tasks stop within the time Windows gives
  // a service at shutdown.
  bool signalled = false;
  for (WatchTask* task : TaskList) {
    if (task != nullptr && task->SignalStop()) signalled = true;
  }
  if (signalled) plat::SleepMs(kStopPauseMs);
  // A watcher held up in its folder (a look or an open that a gone server never answers) must
  // not hold up the stop: each is waited for until the time is spent, the others meanwhile.
  std::uint32_t slices = kStopWaitMs / kStopSliceMs;
  bool heldUp = false;
  for (WatchTask* task : TaskList) {
    if (task == nullptr) continue;
    while (!task->AwaitEnd(slices > 0 ? kStopSliceMs : 0)) {
      if (slices == 0) {
        heldUp = true;
        WriteLog(msg::kWatcherHeldUp, task->taskSection.c_str(), task->checkDir);
        break;
      }
      --slices;
      if (gStopProgress != nullptr) gStopProgress();
    }
  }
  ReapLeftBehind();
  // With one held up, nothing is closed or freed: it may still use its own, and another's
  // handles may be waiting on the same folder. They go with the process, kept in reach, unless
  // a later stop finds them ended.
  for (WatchTask* task : TaskList) {
    if (task == nullptr) continue;
    if (heldUp) {
      HeldUp().tasks.push_back(task);
      continue;
    }
    task->FinishStop();
    delete task;
  }
  TaskList.clear();
  // What the watchers remembered is written before the end is logged.
  if (gKeeper != nullptr) {
    gKeeper->Stop();
    if (heldUp) {
      HeldUp().keepers.push_back(gKeeper);
    } else {
      delete gKeeper;
    }
    gKeeper = nullptr;
  }

  WriteLog(msg::kServiceEnded);
  WriteEvent(EventServiceStopped);

  plat::LockGuard guard(StopEventLock());
  if (ServiceStopEvent != nullptr) plat::SignalEvent(ServiceStopEvent);
}

}  // namespace kelm
